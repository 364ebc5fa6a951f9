"""Typed use of the package, as a user's editor and type checker see it.

test_stubs.py type-checks this file with ``mypy --strict`` and also runs
``exercise`` so that the types asserted here are the types the calls really
return.
"""

from __future__ import annotations

import pathlib
from collections.abc import Iterator
from typing import Literal, assert_type

import _csv_vornish_backend
import csv_vornish
from csv_vornish import RepairReader, RepairSummary, VornishReader, VornishSummary


def exercise(directory: pathlib.Path) -> dict[str, object]:
    source = directory / "typed.csv"
    source.write_text("a;b;c\n1;2;3\n4;5\n6;7;8;9\n", encoding="utf-8")

    summary = csv_vornish.vornish_file(source, directory / "typed.clean.csv", directory / "typed.bad.csv")
    assert_type(summary, RepairSummary)
    assert_type(summary.summary, VornishSummary)
    assert_type(summary.actions, dict[str, int] | None)
    assert_type(summary.total_rows, int)
    assert_type(summary.detected_delimiter, str)
    counts: dict[str, object] = dict(summary.to_dict())
    assert_type(summary.to_dict()["inferred_columns"], int)
    assert_type(summary.to_dict()["detected_delimiter"], str)

    native = _csv_vornish_backend.vornish_file(str(source), str(directory / "typed.native.csv"), expected_columns=3)
    assert_type(native, VornishSummary)

    with csv_vornish.open(source, delimiter=";", fill_ragged_rows=False) as reader:
        assert_type(reader, RepairReader)
        assert_type(reader.reader, VornishReader)
        rows: Iterator[list[str]] = reader
        first = next(rows)
        assert_type(first, list[str])
        assert_type(len(reader), int)
        assert_type(reader.summary, RepairSummary)
        assert_type(reader.__exit__(None, None, None), Literal[False])
    # Reachable: the reader never swallows an exception.
    direct = VornishReader(str(source), quote_char="'", repair_quotes=False)
    assert_type([row for row in direct], list[list[str]])

    stream = csv_vornish.read_arrow(source, delimiter=";", expected_columns=0, header=False)
    assert_type(stream, csv_vornish.ArrowRowStream)
    assert_type(stream.column_names, list[str])
    assert_type(stream.__arrow_c_stream__(), object)

    assert_type(csv_vornish.sniff("a|b\n1|2\n"), str)
    assert_type(csv_vornish.__version__, str)
    counts["first_row"] = first
    return counts
