"""Writing the typed table of a repair as Parquet or Arrow IPC, batch by batch.

Needs pyarrow (``pip install "csv-vornish[parquet]"``), imported only when a
table is written. The batches go from ``read_arrow`` to the file one at a
time, so memory stays near a few batches whatever the file's size. The
file is written beside its destination and moved there once complete, so a
failure never leaves a half-written table under the name asked for.
"""

from __future__ import annotations

import os
import tempfile
from typing import Any

import csv_vornish

#: Output suffixes that get a typed table instead of a clean CSV.
TABLE_SUFFIXES = (".parquet", ".arrow", ".feather")


class MissingExtra(Exception):
    """An optional dependency the asked-for output needs is not installed."""


def is_table_output(path: str) -> bool:
    return path.lower().endswith(TABLE_SUFFIXES)


def _pyarrow() -> Any:
    try:
        import pyarrow  # type: ignore[import-untyped, import-not-found, unused-ignore]
        import pyarrow.ipc  # type: ignore[import-untyped, import-not-found, unused-ignore]
        import pyarrow.parquet  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise MissingExtra(
            "writing .parquet, .arrow or .feather needs pyarrow: pip install \"csv-vornish[parquet]\""
        ) from None
    return pyarrow


def write_table(input_path: str, output_path: str, quarantine_path: str | None,
                options: dict[str, Any], audit: str | None = None) -> csv_vornish.RepairSummary:
    """Repairs ``input_path`` into the typed table ``output_path``; returns the run's summary.

    The quarantine file, when asked for, is the one ``vornish_file`` writes
    for the same options: the rows set aside are found by a second, cheap
    pass that writes no clean output. ``audit`` is the repair record's file,
    as for a CSV output; the changes are counted by action either way.
    """
    pa = _pyarrow()
    options = {name: value for name, value in options.items() if name != "progress"}
    stream = csv_vornish.read_arrow(input_path, **options, audit=audit, record=True)
    reader = pa.RecordBatchReader.from_stream(stream)
    folder = os.path.dirname(os.path.abspath(output_path))
    handle, scratch = tempfile.mkstemp(prefix=".csv-vornish-", suffix=".part", dir=folder)
    os.close(handle)
    try:
        if output_path.lower().endswith(".parquet"):
            with pa.parquet.ParquetWriter(scratch, reader.schema) as writer:
                for batch in reader:
                    writer.write_batch(batch)
        else:
            with pa.OSFile(scratch, "wb") as sink, pa.ipc.new_file(sink, reader.schema) as writer:
                for batch in reader:
                    writer.write_batch(batch)
        os.replace(scratch, output_path)
    except BaseException:
        os.unlink(scratch)
        raise
    summary = csv_vornish.RepairSummary(stream.summary, stream.actions)
    if quarantine_path is not None:
        csv_vornish.vornish_file(input_path, os.devnull, quarantine_path, **options)
    return summary
