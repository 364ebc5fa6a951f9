# Type stubs of the native repair module, installed beside the extension.
#
# Kept honest by tests/python/test_stubs.py, which runs mypy's stubtest
# against the built module: a renamed parameter, a changed default or a
# missing attribute fails there.

from collections.abc import Callable
from typing import Final, Literal, Self, SupportsIndex, TypeAlias, TypedDict, final, type_check_only

__version__: Final[str]
__all__ = ["vornish_file", "sniff", "open", "VornishSummary", "VornishReader"]

@type_check_only
class _SummaryDict(TypedDict):
    total_rows: int
    vornished_rows: int
    repaired_rows: int
    quarantined_rows: int
    detected_delimiter: str
    inferred_columns: int

@final
class VornishSummary:
    """Python-exposed summary of a vornish operation."""

    @property
    def total_rows(self) -> int: ...
    @property
    def vornished_rows(self) -> int: ...
    @property
    def repaired_rows(self) -> int: ...
    @property
    def quarantined_rows(self) -> int: ...
    @property
    def detected_delimiter(self) -> str: ...
    @property
    def inferred_columns(self) -> int: ...
    def to_dict(self) -> _SummaryDict: ...

@final
class VornishReader:
    """In-memory streaming reader iterating over vornished rows."""

    def __new__(
        cls,
        file_path: str,
        delimiter: str | None = None,
        quote_char: str = '"',
        fill_ragged_rows: bool = True,
        merge_overflow: bool = True,
        expected_columns: SupportsIndex | None = None,
        repair_quotes: bool = True,
    ) -> Self: ...
    def __iter__(self) -> Self: ...
    def __next__(self) -> list[str]: ...
    def __len__(self) -> int: ...
    @property
    def summary(self) -> VornishSummary: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self, _exc_type: object = None, _exc_val: object = None, _exc_tb: object = None
    ) -> Literal[False]: ...

def vornish_file(
    input_path: str,
    output_path: str,
    quarantine_path: str | None = None,
    delimiter: str | None = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: SupportsIndex | None = None,
    repair_quotes: bool = True,
) -> VornishSummary:
    """Vornishes a corrupted CSV file and writes a clean, standard RFC-4180 file."""

def sniff(sample: str) -> str:
    """Detects the most likely delimiter from a CSV string sample."""

def open(
    file_path: str,
    delimiter: str | None = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: SupportsIndex | None = None,
    repair_quotes: bool = True,
) -> VornishReader:
    """Convenience function to open and stream a vornished CSV file."""

# Private entry points of the front package csv_vornish; not part of __all__.

#: What the front package hands the engine for an input that is not a plain
#: local file: (file object or None, one of _native_codecs or None, label[, offset]), offset being
#: the input's byte the file object starts at (a range of a remote file; only without a codec).
_SourceSpec: TypeAlias = tuple[object | None, str | None, str] | tuple[object | None, str | None, str, int]

#: The codecs this build decodes natively ("zstd" only where libzstd was found).
_native_codecs: Final[tuple[str, ...]]

def _decoded_head(file_path: str, codec: str) -> bytes | None:
    """The first 512 decoded bytes of a compressed file, or None when it is truncated."""

def _sniff_dialect(
    file_path: str, sample_size: SupportsIndex | None = None, *, _source: _SourceSpec | None = None
) -> tuple[
    str | None, str, bool, int, bool, int, str | None, int, int, tuple[tuple[int, int, int, int, bool], ...]
]:
    """Detects the dialect of the first sample_size bytes (default 65536) of a CSV file.

    Returns (delimiter, quote_char, skip_initial_space, skip_rows, header, columns,
    comment, header_rows, skip_footer, tables), each table
    (skip_rows, columns, header_rows, rows, ends).
    """

@final
class _ArrowRowStream:
    """Repaired rows of a CSV file as a stream of Arrow record batches."""

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...
    def __arrow_c_schema__(self) -> object: ...
    @property
    def summary(self) -> VornishSummary: ...
    @property
    def column_names(self) -> list[str]: ...
    @property
    def actions(self) -> dict[str, int] | None: ...
    @property
    def audit(self) -> _RepairRecords: ...
    def _dialect(self) -> tuple[str | None, int, int]:
        """(delimiter, expected columns (0 keeps widths), where the rows after the preamble and header start)."""
    @property
    def nulled_cells(self) -> dict[str, int]: ...
    def _type_counts(self) -> list[list[int]]:
        """Per column [values, count per reading]: what the column types were settled from."""

@final
class _RepairRecords:
    """The repair record of a run: one row per change (line, offset, column, action, detail, raw)."""

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...
    def __arrow_c_schema__(self) -> object: ...
    def __len__(self) -> int: ...

def _read_arrow(
    file_path: str,
    delimiter: str | None = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: SupportsIndex | None = None,
    repair_quotes: bool = True,
    *,
    header: bool = True,
    threads: SupportsIndex | None = None,
    chunk_size: SupportsIndex | None = None,
    skip_initial_space: bool = False,
    skip_rows: SupportsIndex = 0,
    range_begin: SupportsIndex | None = None,
    range_end: SupportsIndex | None = None,
    first_line: SupportsIndex | None = None,
    table_columns: SupportsIndex | None = None,
    large_strings: bool = False,
    audit: str | bool | None = None,
    record: bool = False,
    fallback: tuple[str, str] | None = None,
    types: tuple[tuple[str | int, str], ...] | None = None,
    null_values: list[str] | None = None,
    decimal: str | None = None,
    thousands: str | None = None,
    date_format: str | None = None,
    type_counts: list[list[int]] | None = None,
    _source: _SourceSpec | None = None,
    comment: str | None = None,
    skip_footer: SupportsIndex = 0,
    _table_rows: SupportsIndex | None = None,
    header_rows: SupportsIndex | None = None,
    string_layout: str | None = None,
) -> _ArrowRowStream:
    """With any of the last four, only the rows that start in [range_begin, range_end) (None: to the
    end of the file) are read; range_begin must be a true row start (see _row_starts) with line
    number first_line (default 1). The dialect is then the caller's: delimiter is required,
    expected_columns None means 0 (rows keep their widths), table_columns is the table's width
    (default expected_columns). Nothing is guessed and a byte-order mark is skipped only at 0.
    large_strings: columns of large_string (64-bit offsets) whatever the file's size.
    string_layout: "string", "large_string" or "string_view", overriding large_strings.
    types: None (string columns, every cell as it is) or (column, type code) pairs overriding the
    inferred types; type_counts: the added-up _type_counts() of the pieces of a table, which then
    settle its types without a scan."""

def _row_starts(
    file_path: str,
    delimiter: str | None = None,
    quote_char: str = '"',
    repair_quotes: bool = True,
    skip_initial_space: bool = False,
    every: SupportsIndex | None = None,
    *,
    _source: _SourceSpec | None = None,
) -> list[tuple[int, int]]:
    """[(offset, line), ...]: true row starts about every `every` bytes (default 256 MiB), the first
    (0, 1), found by a pass that only counts rows. File errors are OSErrors."""

def _vornish_file(
    input_path: str,
    output_path: str,
    quarantine_path: str | None = None,
    delimiter: str | None = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: SupportsIndex | None = None,
    repair_quotes: bool = True,
    *,
    threads: SupportsIndex | None = None,
    chunk_size: SupportsIndex | None = None,
    progress: Callable[[int, int], object] | None = None,
    skip_initial_space: bool = False,
    skip_rows: SupportsIndex = 0,
    audit: str | None = None,
    record: bool = False,
    fallback: tuple[str, str] | None = None,
    _source: _SourceSpec | None = None,
    comment: str | None = None,
    skip_footer: SupportsIndex = 0,
    _table_rows: SupportsIndex | None = None,
    header_rows: SupportsIndex | None = None,
    _code_page: tuple[str, str] | None = None,
) -> tuple[VornishSummary, dict[str, int]]:
    """The streaming, multi-threaded vornish_file behind csv_vornish.vornish_file: (summary, changes by
    action); audit names the repair record's CSV file, record counts the changes without it."""

def _open(
    file_path: str,
    delimiter: str | None = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: SupportsIndex | None = None,
    repair_quotes: bool = True,
    *,
    audit: str | None = None,
    record: bool = False,
    fallback: tuple[str, str] | None = None,
    _source: _SourceSpec | None = None,
    comment: str | None = None,
    skip_rows: SupportsIndex = 0,
    skip_footer: SupportsIndex = 0,
    _table_rows: SupportsIndex | None = None,
    header_rows: SupportsIndex | None = None,
    skip_initial_space: bool = False,
) -> tuple[VornishReader, dict[str, int]]:
    """open() behind csv_vornish.open: (reader, changes by action), read without the interpreter lock."""
