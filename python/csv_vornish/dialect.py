"""Dialect detection: what a CSV file looks like, from a sample of its start.

``sniff_dialect`` reads the first ``sample_size`` bytes of a file and returns
a ``Dialect``: the delimiter (among ``,`` ``;`` tab ``|`` space ``:`` ``^``
``~`` ``#``), the quote character (``"`` or ``'``), whether blanks after a
delimiter belong to the delimiter (``a, b, c``), how many leading rows are a
preamble (titles, notes, blank and separator rows before the table), whether
the table's first row is a header, and the number of columns.

It also finds what wraps the table: comment lines, a header of two rows,
a footer (notes, a source line, a totals row) and further tables after the
first (``Dialect.tables``).

``Dialect.options()`` turns a detected dialect into the repair options it
implies; ``resolve_options`` fills the options a caller left unset from
``dialect="auto"`` or a given ``Dialect``.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import Any, Literal, SupportsIndex, TypeAlias, Union

import _csv_vornish_backend as _backend

from csv_vornish import _sources

#: A file system path the functions of this package accept.
StrPath: TypeAlias = Union[str, "os.PathLike[str]"]

#: Bytes read from the start of a file when no sample size is given.
DEFAULT_SAMPLE_SIZE = 64 * 1024


@dataclass(frozen=True)
class Table:
    """One table of a file that holds several, one after another.

    Attributes:
        skip_rows: Rows before it, from the start of the file, counted as
            the tokenizer reads them (a blank line is a row).
        columns: Its number of columns.
        header_rows: Rows its header spans: 0 without a header, 1, or 2 for
            a row of group names over the row of column names.
        rows: Its rows, header included, up to the blank rows before the
            next table or the footer; ``None`` when it runs on past the
            sample read.
    """

    skip_rows: int
    columns: int
    header_rows: int = 0
    rows: int | None = None

    @property
    def header(self) -> bool:
        """The table has a header."""
        return self.header_rows > 0


@dataclass(frozen=True)
class Dialect:
    """The dialect of a CSV file, as ``sniff_dialect`` detects it.

    Attributes:
        delimiter: The field delimiter, one character; ``None`` for a table
            of a single column, in which no candidate separates fields.
        quote_char: The quote character, ``'"'`` or ``"'"``.
        skip_initial_space: Blanks right after a delimiter are not part of
            the next field.
        skip_rows: Rows before the table (a preamble), counted as the
            tokenizer reads them (a blank line is a row).
        header: The table's first row is a header.
        columns: The table's number of columns; 0 for a file without rows.
        comment: The prefix of comment lines (``"#"`` or ``"//"``) when
            lines start with it and no table row holds a value that merely
            starts so; ``None`` otherwise.
        header_rows: Rows the header spans when there is one: 2 for a row
            of group names over the row of column names (the names join
            both, ``Revenue 2023``), 1 otherwise.
        skip_footer: Rows at the end that are notes, a source line or a
            totals row (blank rows before them included); 0 when the
            sample is not the whole file.
        tables: Every table of the sample, the first (the one the other
            fields describe) first. Not part of equality: its first entry
            repeats the fields above.
        encoding: The text's encoding when ``sniff_dialect`` was asked
            for it (``encoding=``): Python's name of the codec, ``"utf-8"``
            for UTF-8; ``None`` when it was not asked.
    """

    delimiter: str | None = ","
    quote_char: str = '"'
    skip_initial_space: bool = False
    skip_rows: int = 0
    header: bool = False
    columns: int = 0
    comment: str | None = None
    header_rows: int = 1
    skip_footer: int = 0
    tables: tuple[Table, ...] = field(default=(), compare=False)
    encoding: str | None = None

    def options(self) -> dict[str, Any]:
        """The repair keyword arguments this dialect implies.

        ``expected_columns`` is ``None`` (left to the repair's own guess)
        for a dialect without columns; so is ``delimiter`` for one without
        a delimiter (a single column, whose overflow the repair merges back).
        ``comment`` is there only for a dialect with a comment prefix,
        ``skip_footer`` only for one with a footer, and ``header_rows`` only
        for a header of two rows (whose names the repair joins).
        """
        options = {
            "delimiter": self.delimiter,
            "quote_char": self.quote_char,
            "expected_columns": self.columns or None,
            "skip_initial_space": self.skip_initial_space,
            "skip_rows": self.skip_rows,
        }
        if self.comment:
            options["comment"] = self.comment
        if self.skip_footer:
            options["skip_footer"] = self.skip_footer
        if self.header and self.header_rows == 2:
            options["header_rows"] = 2
        return options


def sniff_dialect(file_path: Any, *, sample_size: SupportsIndex = DEFAULT_SAMPLE_SIZE,
                  compression: Any = "infer", member: str | None = None,
                  encoding: str | None = None) -> Dialect:
    """Detects the dialect of the CSV file ``file_path`` from its first bytes.

    Reads at most ``sample_size`` bytes (a row cut short at the end of the
    sample is ignored). Any bytes are accepted: invalid UTF-8, a byte-order
    mark, an empty file (which gives ``Dialect()``, with 0 columns).

    ``encoding`` (a codec name, or ``"auto"`` to detect it) reads the
    sample as text in that encoding, and ``Dialect.encoding`` says which.

    Raises:
        TypeError: ``file_path`` is not a path, or ``sample_size`` not an
            integer (its note names the parameter).
        ValueError: ``sample_size`` is below 1.
        LookupError: ``encoding`` names no text encoding.
        OSError: The file could not be read; the subclass follows the error
            (``FileNotFoundError``, ``PermissionError``, ...).
    """
    path = os.fspath(file_path) if isinstance(file_path, os.PathLike) else file_path
    resolved = _sources.resolve(path, compression, member, encoding)
    if resolved.spec is None:
        sniffed = _backend._sniff_dialect(path, sample_size)
    else:
        # A file object given is left where it was, for the read that follows.
        start = file_path.tell() if _sources.is_file_object(file_path) and file_path.seekable() else None
        try:
            sniffed = _backend._sniff_dialect(resolved.path if isinstance(resolved.path, str) else "",
                                              sample_size, _source=resolved.spec)
        finally:
            resolved.close()
            if start is not None:
                file_path.seek(start)
    (delimiter, quote_char, skip_initial_space, skip_rows, header, columns, comment, header_rows, skip_footer,
     tables) = sniffed
    return Dialect(
        delimiter, quote_char, skip_initial_space, skip_rows, header, columns, comment, max(header_rows, 1),
        skip_footer, tuple(Table(start, width, spans, rows if ends else None)
                           for start, width, spans, rows, ends in tables),
        None if encoding is None else resolved.encoding or "utf-8",
    )


#: Values of the repair options that mean "not given by the caller".
_UNSET: dict[str, Any] = {
    "delimiter": (None, ""),
    "quote_char": ('"', ""),
    "expected_columns": (None,),
    "skip_initial_space": (False,),
    "skip_rows": (0, None),
    "comment": (None, ""),
    "skip_footer": (0, None),
    "header_rows": (None,),
}

# Options that only hold under the detected delimiter and quote character.
_DEPENDENT = ("expected_columns", "skip_initial_space", "skip_rows")


def _is_unset(name: str, value: Any) -> bool:
    return any(value is unset or (type(value) is type(unset) and value == unset) for unset in _UNSET[name])


def resolve_options(
    dialect: Literal["auto"] | Dialect | None, file_path: StrPath, given: dict[str, Any]
) -> dict[str, Any]:
    """The repair options ``given``, with the ones left unset filled from ``dialect``.

    ``dialect`` is ``None`` (``given`` is returned as it is, copied),
    ``"auto"`` (the dialect of ``file_path`` is detected) or a ``Dialect``.
    An option is unset when it is missing from ``given`` or holds its
    default (``None``, ``'"'`` for the quote character, ``False``, ``0``).
    When the caller gave a delimiter or quote character other than the
    dialect's, the column count, preamble and blank skipping of the dialect
    no longer apply and are left to the repair as well.

    Raises:
        TypeError: ``dialect`` is none of the above.
        OSError: ``"auto"`` and the file could not be read.
    """
    options = dict(given)
    if dialect is None:
        return options
    if isinstance(dialect, str) and dialect == "auto":
        dialect = sniff_dialect(file_path)
    elif not isinstance(dialect, Dialect):
        raise TypeError(f"dialect must be 'auto', a Dialect or None, not {type(dialect).__name__}")
    implied = dialect.options()
    for name in ("delimiter", "quote_char"):
        value = options.get(name)
        if isinstance(value, str) and not _is_unset(name, value) and value[:1] != implied[name]:
            implied = {key: value for key, value in implied.items() if key not in _DEPENDENT}
            break
    for name, value in implied.items():
        if name not in options or _is_unset(name, options[name]):
            options[name] = value
    return options
