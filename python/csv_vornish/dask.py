# The integrations are optional extras: where they are not installed, or
# ship no types, the type checker must not fail on their imports.
# mypy: disable-error-code="import-not-found"
"""Damaged CSV on a Dask cluster: load many (and large) files, repair many files.

``read_csv`` gives a typed ``dask.dataframe.DataFrame`` whose rows are
exactly those ``csv_vornish.read_arrow`` gives file by file;
``repair_files`` repairs files to clean CSV as tasks on the current client.
Dask is an optional extra (``pip install "csv-vornish[dask]"``); this module
imports it, ``import csv_vornish`` does not.

How a file is split: its dialect (delimiter, column count, header) is
settled once on the client from the start of the file, then a fast pass that
only counts rows finds true row starts near every ``blocksize`` bytes, so a
quoted line end never splits a row. Each partition repairs exactly its byte
range with the file's dialect and the file's line numbers.

The repair record (``audit=``): ``read_csv`` is lazy and its partitions run
wherever the scheduler puts them, so each partition writes the records of
its own byte range to a part file of its own in the ``audit`` directory,
``<stem>.audit.<I>-of-<N>.csv`` (I the partition's index within the
file's N, zero padded to one width, so that name order is partition
order). The parts of a file, in name order and each without its header
line, are exactly the record ``csv_vornish.vornish_file(..., audit=...)``
writes for that file; ``join_audit`` joins them into that one file. A part
appears under its name only once complete, so a task cut short (a worker
killed) never leaves a truncated part that looks whole. ``repair_files``
writes one ``<stem>.audit.csv`` per input beside its outputs.
"""

from __future__ import annotations

import dataclasses
import glob as _glob
import os
import re
import secrets
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Literal, SupportsIndex, Union

import _csv_vornish_backend as _backend

import csv_vornish
from csv_vornish import _read_one_table, _sources, _types
from csv_vornish.dialect import Dialect, resolve_options, sniff_dialect
from csv_vornish.encoding import fallback_table, text_codec
from csv_vornish.record import ACTIONS, AUDIT_HEADER

if TYPE_CHECKING:  # pragma: no cover
    import dask.dataframe as dd
    import pandas as _pd  # type: ignore[import-untyped, unused-ignore]

__all__ = ["read_csv", "repair_files", "summary", "join_audit"]

StrPath = Union[str, "os.PathLike[str]"]

#: The summary fields that add up over partitions and files.
COUNT_FIELDS = ("total_rows", "vornished_rows", "repaired_rows", "quarantined_rows")

# A part file of read_csv's repair record after the stem:
# .audit.<index>-of-<count>.csv, and while it is written a temporary
# name with .<random>.tmp appended.
_AUDIT_PART = re.compile(r"\.audit\.(\d+)-of-(\d+)\.csv")
_AUDIT_PART_OR_TEMP = re.compile(r"\.audit\.\d+-of-\d+\.csv(\.[0-9a-f]+\.tmp)?")

# The column of each partition's frame that carries its counts, dropped
# before the user sees the frame; see _PartitionCounts.
_SUMMARY_ATTR = "csv_vornish_summary"


@dataclass(frozen=True)
class _Part:
    """One partition: a byte range of a file and how to read it. Plain data, so it pickles."""

    path: str
    # The keyword arguments of the native reader for this piece: the repair
    # options, header and preamble, and for a file in several pieces its
    # byte range and the dialect settled from its start.
    kwargs: dict[str, Any]
    names: tuple[str, ...]
    # The part file of the repair record this piece writes, if any.
    audit: str | None = None
    # Count the changes by action (always with a record).
    record: bool = False
    # Typed frames: the type arguments of the native reader (with the
    # type counts of the whole table once settled), the frame's columns and
    # their Arrow types (the union of every file's with union_by_name),
    # and the name of the column holding the file's path, if any.
    typing: dict[str, Any] | None = None
    columns: tuple[str, ...] = ()
    arrow_types: tuple[Any, ...] = ()
    path_column: str | None = None


@dataclass(frozen=True)
class _FileDialect:
    delimiter: str | None  # None: an empty file, nothing settled
    expected_columns: int  # 0: rows keep their widths
    names: tuple[str, ...]
    data_begin: int  # where the rows after the preamble and the header start


def _expand(paths: StrPath | Iterable[StrPath]) -> list[str]:
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    found: list[str] = []
    for entry in paths:
        text = os.fspath(entry)
        if _glob.has_magic(text):
            matches = _sources.glob_urls(text) if _sources.is_url(text) else sorted(_glob.glob(text))
            if not matches:
                raise FileNotFoundError(f"no file matches {text!r}")
            found.extend(matches)
        else:
            found.append(text)
    if not found:
        raise ValueError("read_csv() needs at least one path")
    return found


def _parse_blocksize(blocksize: int | str | None) -> int | None:
    if blocksize is None:
        return None
    if isinstance(blocksize, str):
        from dask.utils import parse_bytes

        blocksize = parse_bytes(blocksize)
    if isinstance(blocksize, bool) or not isinstance(blocksize, int):
        raise TypeError(f"blocksize must be an int, a size such as '256MiB' or None, not {type(blocksize).__name__}")
    if blocksize < 1:
        raise ValueError(f"blocksize must be at least 1, got {blocksize}")
    return blocksize


def _arrow(path: str, **kwargs: Any) -> Any:
    """The native Arrow stream of ``path``; a compressed file, a URL or a
    file in another encoding than UTF-8 is read through its source, from
    start to end, and a piece of a plain remote file from its first byte
    on."""
    encoding = kwargs.pop("encoding", None)
    begin = kwargs.get("range_begin") or 0
    resolved = (_sources.open_range(path, begin) if begin and _sources.is_url(path)
                else _sources.resolve(path, encoding=encoding))
    if resolved.spec is None:
        return _backend._read_arrow(path, **kwargs)
    return _backend._read_arrow(resolved.path or "", **kwargs, _source=resolved.spec)


def _settle(path: str, options: dict[str, Any]) -> tuple[_FileDialect, bool]:
    """The file's dialect and column names, from its start only, and
    whether it can only be read from start to end (compressed; a remote
    file without a codec can be read in ranges).

    Reads no more of the file than the dialect needs, except with
    ``expected_columns=0`` (rows keeping their widths), where the table's
    width is that of the widest row and the whole file is counted.
    """
    options = dict(options)
    resolved = _sources.resolve(path, encoding=options.pop("encoding", None))
    if resolved.spec is None:
        stream = _backend._read_arrow(path, **options)
    else:
        stream = _backend._read_arrow(resolved.path or "", **options, _source=resolved.spec)
    delimiter, expected, data_begin = stream._dialect()
    dialect = _FileDialect(delimiter, expected, tuple(stream.column_names), data_begin)
    del stream
    resolved.close()
    return dialect, resolved.spec is not None and not (resolved.plain and _sources.is_url(path))


def _plan(path: str, options: dict[str, Any], blocksize: int | None,
          names: tuple[str, ...] | None) -> tuple[_FileDialect, list[_Part]]:
    dialect, sequential = _settle(path, options)
    if names is not None and dialect.names != names:
        raise ValueError(
            f"{path}: its columns {list(dialect.names)} differ from those of the first file {list(names)}"
        )
    # A compressed file, or one in another encoding than UTF-8, is one
    # partition: it is only read from its start.
    # A plain remote one is read once here to find its row starts, as a
    # local one is, and each piece then asks the store for its own range.
    # A file whose footer, joined header or table end only a read from its
    # start can tell is one partition too.
    in_order = (bool(options.get("skip_footer")) or options.get("header_rows") == 2
                or options.get("_table_rows") is not None)
    remote = _sources.is_url(path)
    size = None if sequential else _sources.remote_size(path) if remote else os.path.getsize(path)
    if blocksize is None or dialect.delimiter is None or size is None or size <= blocksize or in_order:
        return dialect, [_Part(path, dict(options), dialect.names)]
    whole = _sources.resolve(path) if remote else None
    try:
        starts = _backend._row_starts(
            path,
            dialect.delimiter,
            options["quote_char"],
            options["repair_quotes"],
            options["skip_initial_space"],
            blocksize,
            _source=None if whole is None else whole.spec,
        )
    finally:
        if whole is not None:
            whole.close()
    # A block smaller than the preamble and the header would put a start
    # among their rows, which only the first piece may read as such.
    starts = [start for start in starts if start[0] == 0 or start[0] >= dialect.data_begin]
    fixed = dict(options, delimiter=dialect.delimiter, expected_columns=dialect.expected_columns,
                 table_columns=len(dialect.names))
    parts = []
    for index, (begin, line) in enumerate(starts):
        kwargs = dict(fixed, range_begin=begin, first_line=line)
        if index + 1 < len(starts):
            kwargs["range_end"] = starts[index + 1][0]
        if index > 0:
            # The header and the preamble are at the start of the file only.
            kwargs.update(header=False, skip_rows=0)
        parts.append(_Part(path, kwargs, dialect.names))
    return dialect, parts


def _file_encoding(path: str, encoding: str | None) -> dict[str, Any]:
    """The native reader's options for ``path``'s encoding: ``encoding``
    (Python's name, for the source) and, for UTF-8 with stray bytes that
    ``"auto"`` found, the ``fallback`` table."""
    if encoding is None:
        return {}
    if encoding != "auto":
        codec = text_codec(encoding)
        return {} if codec is None else {"encoding": codec}
    resolved = _sources.resolve(path, encoding="auto")
    resolved.close()
    if resolved.encoding is not None:
        return {"encoding": resolved.encoding}
    return {} if resolved.fallback is None else {"fallback": fallback_table(resolved.fallback)}


def _string_frame(table: Any, names: Sequence[str]) -> "_pd.DataFrame":
    import pandas as pd  # type: ignore[import-untyped, unused-ignore]
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

    dtype = pd.StringDtype("pyarrow")
    table = table.rename_columns(list(names))
    mapping = {pa.string(): dtype, pa.large_string(): dtype, pa.string_view(): dtype}
    # Named, so that the result is typed whether or not pandas has stubs.
    frame: "_pd.DataFrame" = table.to_pandas(types_mapper=mapping.get)
    return frame


def _typed_frame(table: Any, part: _Part, path: str) -> "_pd.DataFrame":
    """A piece's table as the frame's columns: Arrow-backed pandas dtypes,
    missing columns null, the path column added."""
    import pandas as pd  # type: ignore[import-untyped, unused-ignore]
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

    table = table.rename_columns(list(part.names))
    arrays = []
    for name, arrow_type in zip(part.columns, part.arrow_types):
        if name in part.names:
            arrays.append(table.column(name).cast(arrow_type))
        else:
            arrays.append(pa.nulls(table.num_rows, arrow_type))
    names = list(part.columns)
    if part.path_column is not None:
        arrays.append(pa.array([path] * table.num_rows, pa.large_string()))
        names.append(part.path_column)
    typed = pa.Table.from_arrays(arrays, names=names)
    strings = pd.StringDtype("pyarrow")

    def mapper(arrow_type: Any) -> Any:
        if arrow_type in (pa.string(), pa.large_string()):
            return strings
        return pd.ArrowDtype(arrow_type)

    frame: "_pd.DataFrame" = typed.to_pandas(types_mapper=mapper)
    return frame


def _read_part(part: _Part) -> "_pd.DataFrame":
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

    # The scheduler already runs partitions side by side, one per worker
    # thread; more threads per partition would only compete with them.
    # Large strings are what pandas' pyarrow strings hold, so the frame
    # takes the batches' buffers as they are instead of copying them.
    # The record is written under a name of this run's own and renamed
    # once complete: a task the scheduler runs again (or twice at once)
    # then puts the same whole bytes in place, never a mix.
    scratch = None if part.audit is None else f"{part.audit}.{secrets.token_hex(8)}.tmp"
    try:
        stream = _arrow(
            part.path, threads=1, large_strings=True, audit=scratch, record=part.record, **part.kwargs,
            **(part.typing or {}),
        )
        table = pa.table(stream)
        if scratch is not None:
            assert part.audit is not None
            os.replace(scratch, part.audit)
    finally:
        if scratch is not None and os.path.exists(scratch):
            os.remove(scratch)
    if part.typing is None:
        frame = _string_frame(table, part.names)
    else:
        frame = _typed_frame(table, part, part.path)
    counts = stream.summary
    actions = stream.actions
    frame.attrs[_SUMMARY_ATTR] = {name: getattr(counts, name) for name in COUNT_FIELDS} | (
        dict.fromkeys(ACTIONS) if actions is None else actions
    )
    return frame


def _scan_part(part: _Part) -> list[list[int]]:
    """What each cell of a piece could be, counted: added up on the client."""
    stream: _backend._ArrowRowStream = _arrow(part.path, threads=1, **part.kwargs, **(part.typing or {}))
    return stream._type_counts()


def _file_typing(typing: dict[str, Any], names: tuple[str, ...], order: Sequence[str]) -> dict[str, Any]:
    """The type arguments for one file: only the choices naming its columns,
    as positions in the file (a position given counts in ``order``, the
    frame's columns)."""
    choices = []
    for column, code in typing["types"]:
        name = order[column - 1] if isinstance(column, int) and 0 < column <= len(order) else column
        if isinstance(name, int):
            raise ValueError(f"types names no column of the frame: #{name}")
        if name in names:
            # By position: a piece after a file's first has no header, and
            # its columns are only numbered.
            choices.append((names.index(name) + 1, code))
    return dict(typing, types=tuple(choices))


def _settle_types(parts: list[_Part], order: tuple[str, ...], typing: dict[str, Any],
                  path_column: str | None) -> list[_Part]:
    """Scans every piece as a task, adds the counts up per column on the
    client and gives each piece the counts and the frame's column types."""
    import dask
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

    for column, _ in typing["types"]:
        if isinstance(column, str) and column not in order:
            raise ValueError(f"types names no column of the frame: {column}")
    scanning = [dataclasses.replace(part, typing=_file_typing(typing, part.names, order)) for part in parts]
    scanned = dask.compute(  # type: ignore[attr-defined, no-untyped-call, unused-ignore]
        *[dask.delayed(_scan_part, pure=True)(part) for part in scanning])  # type: ignore[attr-defined, unused-ignore]
    totals: dict[str, list[int]] = {}
    for part, counts in zip(scanning, scanned):
        for name, column in zip(part.names, counts):
            total = totals.setdefault(name, [0] * len(column))
            for k, n in enumerate(column):
                total[k] += n
    settled = []
    arrow_types: dict[str, Any] = {}
    first_of_file: dict[str, _Part] = {}
    for part in scanning:
        kwargs = dict(part.typing or {}, type_counts=[totals.get(name, []) or [0] * 21 for name in part.names])
        settled.append(dataclasses.replace(part, typing=kwargs))
        first_of_file.setdefault(part.path, settled[-1])
    # Each file's start, opened on the client with the added-up counts,
    # says its columns' types; a name has one type in every file.
    for part in first_of_file.values():
        schema = pa.schema(_arrow(part.path, **part.kwargs, **(part.typing or {})))
        for name, field_ in zip(part.names, schema):
            arrow_types.setdefault(name, field_.type)
    types = tuple(arrow_types.get(name, pa.large_string()) for name in order)
    widened = tuple(pa.large_string() if t == pa.string() else t for t in types)
    return [dataclasses.replace(part, columns=order, arrow_types=widened, path_column=path_column)
            for part in settled]


def read_csv(
    paths: StrPath | Iterable[StrPath],
    delimiter: str | None = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: SupportsIndex | None = None,
    repair_quotes: bool = True,
    *,
    header: bool = True,
    blocksize: int | str | None = "256MiB",
    dialect: "Dialect | Literal['auto'] | None" = None,
    audit: StrPath | None = None,
    record: bool = False,
    types: Any = "infer",
    null_values: Sequence[str] | None = None,
    decimal: str | None = None,
    thousands: str | None = None,
    date_format: str | None = None,
    union_by_name: bool = False,
    include_path_column: bool | str = False,
    encoding: str | None = None,
) -> "dd.DataFrame":
    """Loads damaged CSV files into a typed Dask DataFrame, repairing as ``read_arrow`` does.

    Args:
        paths: A path, a glob pattern, or a list of them; matches of a
            pattern are taken in sorted order.
        delimiter, quote_char, fill_ragged_rows, merge_overflow,
            expected_columns, repair_quotes, header: as for
            ``csv_vornish.read_arrow``.
        blocksize: Bytes per partition (an int or a size such as
            ``"64MiB"``); a larger file is split at true row starts.
            ``None`` gives one partition per file. A compressed file
            (gzip, bzip2, xz, zstd, zip: told by its first bytes) is
            always one partition, read from start to end. A plain URL
            (``s3://``, ``https://``, ... through fsspec) is split as a
            local file is: the client reads it once to find true row
            starts, and each partition asks the store for its own byte
            range (the store must answer range requests, as object stores
            do; one whose size is unknown is one partition).
        dialect: ``"auto"`` or a ``Dialect``, as for ``read_arrow``: it
            fills the options left unset, for each file on its own
            (``"auto"`` detects each file's dialect). ``header`` stays as
            given.
        audit: A directory (created if needed) for the repair record: each
            partition writes the records of its rows, when it is computed,
            to ``<stem>.audit.<I>-of-<N>.csv`` there (a CSV file with the
            header ``line,offset,column,action,detail,raw``; lines and
            offsets are the file's own). ``join_audit`` joins a file's parts
            into the one record ``csv_vornish.vornish_file`` would write.
            Part files an earlier call left there for the same stems are
            removed now, so that no stale part is mistaken for a new one;
            two inputs with the same stem are a ``ValueError``.
        record: Count the changes by action for ``summary(frame)``
            without writing them anywhere (``audit`` counts them too);
            either makes each partition read again the rows that may hold
            a change.
        types, null_values, decimal, thousands, date_format: as for
            ``read_arrow``. The types are settled before the graph is
            built, from every cell of every file: each partition is
            scanned as a task and the counts are added up on the client,
            so all partitions have the same dtypes, Arrow-backed
            (``int64[pyarrow]``: an integer column with nulls stays
            integers). ``types="string"`` gives string columns, unscanned.
        union_by_name: Files may have different columns: the frame has
            every file's columns in order of first appearance, a file's
            missing columns are null, and a column's type is the narrowest
            that holds its cells in every file (int64 with float64 gives
            float64, anything with text gives string).
        include_path_column: ``True`` (a column ``path``) or a column name:
            each row's file.
        encoding: The files' text encoding, as for ``read_arrow``:
            ``"auto"`` (implied by ``dialect="auto"``) detects each file's
            own. A file in another encoding than UTF-8 is one partition,
            read from start to end (a block boundary of UTF-16 or
            Shift-JIS bytes is no row start the native scan can find).

    The columns are those of the first file (its header with
    ``header=True``, else ``column_1``, ``column_2``, ...); without
    ``union_by_name`` every other file must have the same columns, or a
    ``ValueError`` names it. Missing cells are null. Rows set aside by the
    repair are dropped and counted: ``csv_vornish.dask.summary(frame)``
    gives the counts, and the changes by action with ``audit`` or
    ``record=True``.

    Raises (on the client, before any task runs):
        FileNotFoundError, PermissionError, ...: a file could not be read.
        TypeError, ValueError: a bad argument.
        LookupError: ``encoding`` names no text encoding.
    """
    import dask.dataframe as dd

    if encoding is None and isinstance(dialect, str) and dialect == "auto":
        encoding = "auto"
    if encoding is not None and encoding != "auto":
        text_codec(encoding)
    files = _expand(paths)
    size = _parse_blocksize(blocksize)
    given: dict[str, Any] = {
        "delimiter": delimiter,
        "quote_char": quote_char,
        "fill_ragged_rows": fill_ragged_rows,
        "merge_overflow": merge_overflow,
        "expected_columns": expected_columns,
        "repair_quotes": repair_quotes,
        "skip_initial_space": False,
        "skip_rows": 0,
    }
    native_types = _types.native_types(types)
    path_column = "path" if include_path_column is True else include_path_column or None
    if path_column is not None and not isinstance(path_column, str):
        raise TypeError("include_path_column must be a bool or a column name")
    names: tuple[str, ...] | None = None
    order: list[str] = []
    parts: list[_Part] = []
    for path in files:
        file_dialect = dialect
        if isinstance(dialect, str) and dialect == "auto":
            file_dialect = sniff_dialect(path, encoding=encoding)
        options = resolve_options(file_dialect, path, given)
        options.update(_file_encoding(path, encoding))
        options["header"] = header
        if isinstance(file_dialect, Dialect):
            # Of several tables the first is read and the others set aside,
            # as read_arrow does, never merged into its columns.
            _read_one_table(file_dialect, given, options, takes_header=False)
        settled, planned = _plan(path, options, size, None if union_by_name else names)
        if names is None:
            names = settled.names
        order.extend(name for name in settled.names if name not in order)
        parts.extend(planned)
    assert names is not None
    if audit is not None:
        parts = _with_audit_parts(parts, os.fspath(audit))
    elif record:
        parts = [_Part(part.path, part.kwargs, part.names, None, True) for part in parts]
    if path_column is not None and path_column in order:
        raise ValueError(f"include_path_column: the files already have a column {path_column!r}")
    if native_types is None and not union_by_name and path_column is None:
        meta = _string_frame(_empty_table(names), names)
    else:
        typing: dict[str, Any] = {
            "types": native_types if native_types is not None else (),
            "null_values": _types.native_null_values(null_values),
            "decimal": decimal, "thousands": thousands, "date_format": date_format,
        }
        if native_types is None:
            # Strings all through: no scan, every column a string column.
            typing["types"] = tuple((name, "string") for name in order)
        parts = _settle_types(parts, tuple(order), typing, path_column)
        meta = _typed_frame(_empty_table(order), dataclasses.replace(parts[0], names=tuple(order)), "")
        if native_types is None:
            parts = [dataclasses.replace(part, typing={"types": None}) for part in parts]
    frame: dd.DataFrame = dd.from_map(  # type: ignore[no-untyped-call, unused-ignore]
        _read_part, parts, meta=meta, enforce_metadata=False, label="csv-vornish-read"
    )
    return frame


def _with_audit_parts(parts: list[_Part], directory: str) -> list[_Part]:
    """The parts, each naming the part file of the record it writes."""
    by_file: dict[str, list[_Part]] = {}
    for part in parts:
        by_file.setdefault(part.path, []).append(part)
    stems: dict[str, str] = {}
    for path in by_file:
        stem = _stem(path)
        if stem in stems:
            raise ValueError(f"{stems[stem]} and {path} would both write {stem}.audit.*.csv")
        stems[stem] = path
    os.makedirs(directory, exist_ok=True)
    for stem in stems:
        for stale in _audit_parts(directory, stem, _AUDIT_PART_OR_TEMP):
            os.remove(stale)
    named = []
    for path, pieces in by_file.items():
        count = len(pieces)
        width = max(5, len(str(count)))
        for index, piece in enumerate(pieces):
            name = f"{_stem(path)}.audit.{index:0{width}d}-of-{count:0{width}d}.csv"
            named.append(_Part(piece.path, piece.kwargs, piece.names, os.path.join(directory, name), True))
    return named


def _audit_parts(directory: str, stem: str, pattern: re.Pattern[str] = _AUDIT_PART) -> list[str]:
    """The part files of ``stem``'s record in ``directory``, in name order."""
    try:
        entries = os.listdir(directory)
    except FileNotFoundError:
        return []
    return sorted(
        os.path.join(directory, entry)
        for entry in entries
        if entry.startswith(stem) and pattern.fullmatch(entry, len(stem))
    )


def join_audit(audit: StrPath, path: StrPath, target: StrPath | None = None) -> str:
    """Joins the repair record parts ``read_csv(..., audit=audit)`` wrote for the input ``path``.

    Writes ``target`` (default ``<audit>/<stem>.audit.csv``): the header,
    then every part's records in partition order, which is byte for byte
    the record ``csv_vornish.vornish_file(path, ..., audit=target)`` writes
    with the same repair options. Returns the path written.

    Raises:
        FileNotFoundError: a part is missing (its partition was never
            computed, for example after ``frame.head()``), or none exists.
        ValueError: parts of two different splits of the file are there.
    """
    directory = os.fspath(audit)
    stem = _stem(os.fspath(path))
    found = _audit_parts(directory, stem)
    if not found:
        raise FileNotFoundError(f"no part of the repair record of {stem} in {directory}")
    splits = {os.path.basename(part).rsplit("-of-", 1)[1][: -len(".csv")] for part in found}
    if len(splits) > 1:
        raise ValueError(f"{directory} holds parts of {stem} from different splits: {sorted(splits)}")
    (count_text,) = splits
    count = int(count_text)
    width = len(count_text)
    names = {os.path.basename(part) for part in found}
    for index in range(count):
        name = f"{stem}.audit.{index:0{width}d}-of-{count_text}.csv"
        if name not in names:
            raise FileNotFoundError(f"{os.path.join(directory, name)} is missing: its partition was not computed")
    joined = os.fspath(target) if target is not None else os.path.join(directory, f"{stem}.audit.csv")
    header = (AUDIT_HEADER + "\n").encode()
    with open(joined, "wb") as out:
        out.write(header)
        for part in found:
            with open(part, "rb") as source:
                first = source.readline()
                if first != header:
                    raise ValueError(f"{part} is not a part of a repair record")
                while block := source.read(1 << 20):
                    out.write(block)
    return joined


def _empty_table(names: Sequence[str]) -> Any:
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

    return pa.table({name: pa.array([], pa.string()) for name in names})


def _partition_counts(frame: "_pd.DataFrame") -> "_pd.DataFrame":
    import pandas as pd  # type: ignore[import-untyped, unused-ignore]

    counts = frame.attrs.get(_SUMMARY_ATTR)
    if counts is None:
        raise ValueError("summary() needs a frame straight from csv_vornish.dask.read_csv")
    frame = pd.DataFrame([{name: counts[name] for name in COUNT_FIELDS}])
    for name in ACTIONS:
        frame[name] = pd.Series([counts[name]], dtype="Int64")
    return frame


def summary(frame: "dd.DataFrame") -> dict[str, Any]:
    """The repair counts of a ``read_csv`` frame, summed over its partitions.

    The four counts that add up (``total_rows``, ``vornished_rows``,
    ``repaired_rows``, ``quarantined_rows``) and ``actions``: the changes
    by action, every action listed, as ``RepairSummary.actions`` gives them
    (``None`` unless ``read_csv`` had ``audit`` or ``record=True``).

    Reads every partition (so compute it alongside your own work with
    ``dask.compute`` when you can). The frame must come straight from
    ``read_csv``: once it has been filtered or reshaped its partitions no
    longer carry their counts.
    """
    import pandas as pd  # type: ignore[import-untyped, unused-ignore]

    meta = pd.DataFrame({name: pd.Series([], dtype="int64") for name in COUNT_FIELDS})
    for name in ACTIONS:
        meta[name] = pd.Series([], dtype="Int64")
    per_part = frame.map_partitions(_partition_counts, meta=meta).compute()  # type: ignore[no-untyped-call, unused-ignore]
    totals: dict[str, Any] = {name: int(per_part[name].sum()) for name in COUNT_FIELDS}
    counted = not per_part[list(ACTIONS)].isna().any().any()
    totals["actions"] = {name: int(per_part[name].sum()) for name in ACTIONS} if counted else None
    return totals


@dataclass(frozen=True)
class _RepairTask:
    input: str
    output: str
    quarantine: str | None
    options: dict[str, Any] = field(default_factory=dict)
    audit: str | None = None
    record: bool = False


def _repair_one(task: _RepairTask) -> dict[str, Any]:
    row: dict[str, Any] = {"path": task.input}
    try:
        # One thread, as for read_csv's partitions: the scheduler already
        # runs a task on every worker thread.
        result = csv_vornish.vornish_file(
            task.input, task.output, task.quarantine, threads=1, audit=task.audit, record=task.record,
            **task.options,
        )
    except Exception as error:  # one failing file never stops the others
        row.update(dict.fromkeys((*COUNT_FIELDS, *ACTIONS)), detected_delimiter=None, inferred_columns=None)
        row["error"] = f"{type(error).__name__}: {error}"
        return row
    row.update({name: getattr(result, name) for name in COUNT_FIELDS})
    row.update(result.actions or dict.fromkeys(ACTIONS))
    row["detected_delimiter"] = result.detected_delimiter
    row["inferred_columns"] = result.inferred_columns
    row["error"] = None
    return row


def _stem(path: str) -> str:
    name = os.path.basename(path)
    stem, ext = os.path.splitext(name)
    if ext.lower() in (".gz", ".bz2", ".xz", ".zst", ".zip") and os.path.splitext(stem)[1]:
        stem = os.path.splitext(stem)[0]
    return stem if ext else name


def repair_files(
    inputs: StrPath | Iterable[StrPath],
    output_dir: StrPath,
    delimiter: str | None = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: SupportsIndex | None = None,
    repair_quotes: bool = True,
    *,
    quarantine: bool = True,
    audit: bool | StrPath = False,
    record: bool = False,
    encoding: str | None = None,
) -> "_pd.DataFrame":
    """Repairs each input to ``output_dir/<stem>.clean.csv`` as tasks on the current Dask client.

    With ``quarantine=True`` the rows set aside go to
    ``output_dir/<stem>.quarantine.csv``. With ``audit=True`` the repair
    record of each input goes to ``output_dir/<stem>.audit.csv`` (``audit``
    a directory: to ``<stem>.audit.csv`` there), exactly as
    ``csv_vornish.vornish_file(..., audit=...)`` writes it; with it, or
    with ``record=True``, the changes are counted by action. Uses the running
    ``distributed`` client, or a local cluster for the length of the call when
    there is none. One failing file never stops the others. ``encoding`` is
    the inputs' text encoding, as for ``csv_vornish.vornish_file``
    (``"auto"``: each file's own, detected in its task).

    Returns:
        A pandas DataFrame with one row per input, in input order: ``path``,
        the summary's fields, one column per action (``padded``,
        ``merged``, ... as in ``csv_vornish.record.ACTIONS``: the changes
        of that kind, missing when not counted), and ``error`` (``None``, or the error's type and
        text for a file that failed; its counts are missing).

    Raises:
        ValueError: two inputs would write the same output file.
        TypeError: a bad repair argument (checked before any task runs).
        LookupError: ``encoding`` names no text encoding.
    """
    import pandas as pd  # type: ignore[import-untyped, unused-ignore]

    files = _expand(inputs)
    out = os.fspath(output_dir)
    if isinstance(audit, bool):
        audit_dir = out if audit else None
    else:
        audit_dir = os.fspath(audit)
    options: dict[str, Any] = {
        "delimiter": delimiter,
        "quote_char": quote_char,
        "fill_ragged_rows": fill_ragged_rows,
        "merge_overflow": merge_overflow,
        "expected_columns": expected_columns,
        "repair_quotes": repair_quotes,
    }
    # Argument errors are the caller's, not a file's: check them once here,
    # with the binder's own messages, on an empty input.
    _backend.open(os.devnull, **options)
    if encoding is not None:
        if encoding != "auto":
            text_codec(encoding)
        options["encoding"] = encoding
    seen: dict[str, str] = {}
    tasks = []
    for path in files:
        stem = _stem(path)
        if stem in seen:
            raise ValueError(f"{seen[stem]} and {path} would both be written to {stem}.clean.csv")
        seen[stem] = path
        tasks.append(
            _RepairTask(
                path,
                os.path.join(out, f"{stem}.clean.csv"),
                os.path.join(out, f"{stem}.quarantine.csv") if quarantine else None,
                options,
                os.path.join(audit_dir, f"{stem}.audit.csv") if audit_dir is not None else None,
                record,
            )
        )
    os.makedirs(out, exist_ok=True)
    if audit_dir is not None:
        os.makedirs(audit_dir, exist_ok=True)
    rows = _run_on_client(tasks)
    # Counts are nullable integers (missing for a file that failed) and the
    # error column holds None, not NaN, for a file that did not fail.
    columns: dict[str, Any] = {"path": pd.Series([row["path"] for row in rows], dtype=object)}
    for name in (*COUNT_FIELDS, "inferred_columns", *ACTIONS):
        columns[name] = pd.Series([row[name] for row in rows], dtype="Int64")
    for name in ("detected_delimiter", "error"):
        columns[name] = pd.Series([row[name] for row in rows], dtype=object)
    order = ["path", *COUNT_FIELDS, "detected_delimiter", "inferred_columns", *ACTIONS, "error"]
    return pd.DataFrame({name: columns[name] for name in order})


def _run_on_client(tasks: list[_RepairTask]) -> list[dict[str, Any]]:
    from distributed import Client, get_client

    try:
        client = get_client()
    except ValueError:
        with Client(processes=True, dashboard_address=None) as local:  # type: ignore[no-untyped-call, unused-ignore]
            return _gather(local, tasks)
    return _gather(client, tasks)


def _gather(client: Any, tasks: list[_RepairTask]) -> list[dict[str, Any]]:
    futures = client.map(_repair_one, tasks, pure=False)
    return list(client.gather(futures))
