"""Repairs damaged CSV files.

The friendly face of the native ``_csv_vornish_backend`` module. The backend
takes paths as ``str`` only; the functions here also take ``os.PathLike``
paths (``pathlib.Path`` and the like) and otherwise hand every argument to the
backend untouched, so argument checking, error types and error texts stay the
backend's own.

Quick tour::

    import csv_vornish

    summary = csv_vornish.vornish_file("in.csv", "clean.csv", "bad.csv")
    print(summary.quarantined_rows)

    with csv_vornish.open("in.csv", delimiter=";") as reader:
        for row in reader:
            ...

    csv_vornish.sniff("a;b\\n1;2\\n")  # ';'
    csv_vornish.sniff_dialect("in.csv")  # Dialect(delimiter=';', ..., columns=7)
"""

from __future__ import annotations

import contextlib
import functools
import operator
import os
from collections.abc import Callable, Mapping, Sequence
from typing import Any, BinaryIO, Literal, SupportsIndex, TypeAlias, TypeVar, Union, cast

import _csv_vornish_backend as _backend
from _csv_vornish_backend import VornishReader, VornishSummary

from csv_vornish import _sinks, _sources, _types
from csv_vornish.dialect import Dialect, resolve_options, sniff_dialect
from csv_vornish.encoding import fallback_table, text_codec
from csv_vornish.record import RepairReader, RepairSummary

__all__ = [
    "vornish_file", "sniff", "open", "VornishSummary", "VornishReader", "sniff_dialect", "Dialect",
    "read_arrow", "ArrowRowStream", "RepairSummary", "RepairReader", "RepairRecords",
]
__version__: str = _backend.__version__

#: A file system path the functions of this package accept.
StrPath: TypeAlias = Union[str, "os.PathLike[str]"]

#: An input: a path, an fsspec URL (``"s3://bucket/key.csv.gz"``), or a
#: binary file object (``readinto`` or ``read``).
Source: TypeAlias = Union[str, "os.PathLike[str]", BinaryIO]

#: ``compression=``: ``"infer"`` (from the first bytes), ``None`` (the bytes
#: as they are) or a codec name.
Compression: TypeAlias = Union[
    Literal["infer", "gzip", "gz", "bz2", "bzip2", "xz", "lzma", "zstd", "zst", "zip"], None
]

_F = TypeVar("_F", bound=Callable[..., Any])


def _with_dialect(names: Sequence[str], path_parameter: str, args: tuple[Any, ...],
                  kwargs: dict[str, Any], takes_header: bool,
                  source: dict[str, Any] | None = None) -> tuple[tuple[Any, ...], dict[str, Any]]:
    """The call with ``dialect=`` turned into the repair options it implies.

    The options the caller left unset are filled from the dialect (detected
    from the file for ``"auto"``); with ``takes_header`` so is ``header``.
    A call that binds wrongly is passed on untouched, so that the backend
    reports it as it would without a dialect.
    """
    dialect = kwargs.pop("dialect", None)
    if dialect is None or len(args) > len(names) or any(name in kwargs for name in names[: len(args)]):
        return args, kwargs
    given = dict(zip(names, args), **kwargs)
    path = given.get(path_parameter)
    if isinstance(dialect, str) and dialect == "auto":
        if not isinstance(path, str) and not _sources.is_file_object(path):
            return args, kwargs  # the backend says what is wrong with the path
        if _sources.is_file_object(path) and not getattr(path, "seekable", lambda: False)():
            raise ValueError('dialect="auto" reads the start of the input twice: give a path, a '
                             "seekable file object or a Dialect")
        dialect = sniff_dialect(path, **(source or {}))
    options = resolve_options(dialect, path if isinstance(path, str) else "", given)
    if takes_header and "header" not in given and isinstance(dialect, Dialect):
        options["header"] = dialect.header
    if isinstance(dialect, Dialect):
        _read_one_table(dialect, given, options, takes_header)
    return (), options


def _read_one_table(dialect: Dialect, given: dict[str, Any], options: dict[str, Any], takes_header: bool) -> None:
    """Narrows ``options`` to one table of ``dialect``: ``table=`` or, of several, the first.

    The table's own preamble, width and header replace the dialect's; its
    rows end the read, and the rows after them (the other tables) are set
    aside. A file of one table is read as the dialect says.
    """
    index = options.pop("table", None)
    if index is None and len(dialect.tables) < 2:
        return
    position = 0 if index is None else operator.index(index)
    if not 0 <= position < max(len(dialect.tables), 1):
        raise ValueError(f"table={position} is out of range: the file has {max(len(dialect.tables), 1)} "
                         f"table{'s' if len(dialect.tables) > 1 else ''}")
    if not dialect.tables:
        return
    table = dialect.tables[position]
    if index is not None:
        options["skip_rows"] = table.skip_rows
        if given.get("expected_columns") is None:
            options["expected_columns"] = table.columns or None
        if takes_header and "header" not in given:
            options["header"] = table.header
        if given.get("header_rows") is None:
            options["header_rows"] = max(table.header_rows, 1)
    if table.rows is not None:
        options["_table_rows"] = table.rows


def _encoding_of(kwargs: dict[str, Any]) -> str | None:
    """``encoding=`` of a call, checked, with what ``dialect=`` implies:
    ``"auto"`` detects the encoding too, a ``Dialect`` carries one."""
    encoding: str | None = kwargs.pop("encoding", None)
    dialect = kwargs.get("dialect")
    if encoding is None and isinstance(dialect, str) and dialect == "auto":
        return "auto"
    if encoding is None and isinstance(dialect, Dialect) and dialect.encoding not in (None, "utf-8"):
        encoding = dialect.encoding
    if encoding is None or encoding == "auto":
        return encoding
    if text_codec(encoding) is not None and kwargs.get("fallback") is not None:
        raise ValueError(f"fallback= is for stray bytes in UTF-8 text; the input is read as {encoding!r}")
    return encoding


def _forwarding_to(
    backend_function: Callable[..., Any],
    *path_parameters: str,
    dialect_from: str | None = None,
    recorded: Callable[[Any, bool], Any] | None = None,
    source_from: str | None = None,
    lazy: bool = False,
    sinks: tuple[str, ...] = (),
) -> Callable[[_F], _F]:
    """Turns a typed template into a forwarder to ``backend_function``.

    The template supplies the signature, annotations and docstring (what
    editors, ``help()`` and type checkers see); its body never runs. The
    forwarder replaces each ``os.PathLike`` among ``path_parameters`` by its
    ``os.fspath`` and passes the call on as it was made, positions and
    keywords alike. Binding the arguments is left to the backend, so a wrong
    call fails exactly as it would against the backend itself.

    With ``recorded``, ``recorded(result, counted)`` turns what the backend
    function returns into the package's result; ``counted`` says whether
    the run counted its changes by action (``record=True`` or an
    ``audit``).

    With ``source_from`` the ``compression=`` and ``member=`` keywords are
    taken, and that parameter may be a compressed file, a URL or a file
    object (see ``_sources``): such an input goes to the backend function
    with the private ``_source`` argument. Unless ``lazy`` (the result
    reads the input later), what was opened for it is closed when the call
    returns. Each output among ``sinks`` whose name ends in ``.gz``,
    ``.bz2``, ``.xz`` or ``.zst`` (or any, with the ``output_compression=``
    keyword naming a codec) is written compressed.
    """

    def decorate(template: _F) -> _F:
        names = template.__code__.co_varnames[: template.__code__.co_argcount]
        positions = tuple(names.index(name) for name in path_parameters if name in names)
        keyword_only = template.__code__.co_varnames[
            template.__code__.co_argcount : template.__code__.co_argcount + template.__code__.co_kwonlyargcount
        ]
        takes_header = "header" in keyword_only

        @functools.wraps(template)
        def forward(*args: Any, **kwargs: Any) -> Any:
            if any(isinstance(arg, os.PathLike) for arg in args):
                args = tuple(
                    os.fspath(arg) if index in positions and isinstance(arg, os.PathLike) else arg
                    for index, arg in enumerate(args)
                )
            for name in path_parameters:
                value = kwargs.get(name)
                if isinstance(value, os.PathLike):
                    kwargs[name] = os.fspath(value)
            if dialect_from is not None and kwargs.get("table") is not None and kwargs.get("dialect") is None:
                # A table is one of the file's own: they are detected.
                kwargs["dialect"] = "auto"
            if "table" in kwargs and kwargs["table"] is None:
                del kwargs["table"]
            _check_header_rows(kwargs)
            if source_from is None:
                if dialect_from is not None and "dialect" in kwargs:
                    args, kwargs = _with_dialect(names, dialect_from, args, kwargs, takes_header)
                return call(args, kwargs)
            source = {"compression": kwargs.pop("compression", "infer"), "member": kwargs.pop("member", None)}
            encoding = _encoding_of(kwargs)
            if encoding is not None:
                source["encoding"] = encoding
            if dialect_from is not None and "dialect" in kwargs:
                args, kwargs = _with_dialect(names, dialect_from, args, kwargs, takes_header, source)
            position = names.index(source_from)
            in_args = len(args) > position
            if not in_args and source_from not in kwargs:
                return call(args, kwargs)  # the backend reports the missing argument
            # A code page's rows can be read from any offset: the native
            # file run then splits the file across threads as for UTF-8. Its
            # records name offsets and bytes of the converted text, so a run
            # that keeps them reads that text.
            source["positional"] = backend_function is _backend._vornish_file and not kwargs.get(
                "record") and kwargs.get("audit") in (None, False) and _ascii_syntax(names, args, kwargs)
            resolved = _sources.resolve(args[position] if in_args else kwargs[source_from], **source)
            if resolved.code_page is not None:
                kwargs["_code_page"] = resolved.code_page
            if resolved.encoding is not None:
                kwargs.pop("fallback", None)  # stray bytes in UTF-8 only
            elif resolved.fallback is not None and kwargs.get("fallback") is None:
                kwargs["fallback"] = resolved.fallback
            if resolved.spec is None:
                return call(args, kwargs)
            path = resolved.path if isinstance(resolved.path, str) else ""
            if in_args:
                args = (*args[:position], path, *args[position + 1 :])
            else:
                kwargs[source_from] = path
            kwargs["_source"] = resolved.spec
            try:
                return call(args, kwargs)
            finally:
                if not lazy:
                    resolved.close()

        def call(args: tuple[Any, ...], kwargs: dict[str, Any]) -> Any:
            if kwargs.get("fallback") is not None:
                kwargs["fallback"] = fallback_table(kwargs["fallback"])
            if recorded is None:
                return backend_function(*args, **kwargs)
            counted = bool(kwargs.get("record")) or kwargs.get("audit") not in (None, False)
            return recorded(backend_function(*args, **kwargs), counted)

        if sinks:
            plain_forward = forward

            @functools.wraps(template)
            def forward(*args: Any, **kwargs: Any) -> Any:  # noqa: F811 - the outputs around it
                codec_choice = kwargs.pop("output_compression", "infer")
                with contextlib.ExitStack() as stack:
                    for name in sinks:
                        position = names.index(name) if name in names else -1
                        in_args = 0 <= position < len(args)
                        value = args[position] if in_args else kwargs.get(name)
                        value = os.fspath(value) if isinstance(value, os.PathLike) else value
                        codec = _sinks.output_codec(value, codec_choice)
                        if codec is None or not isinstance(value, str):
                            continue
                        target = stack.enter_context(_sinks.compressed_target(value, codec))
                        if in_args:
                            args = (*args[:position], target, *args[position + 1 :])
                        else:
                            kwargs[name] = target
                    return plain_forward(*args, **kwargs)

        return cast(_F, forward)

    return decorate


def _ascii_syntax(names: Sequence[str], args: tuple[Any, ...], kwargs: dict[str, Any]) -> bool:
    """Whether the delimiter and quote are ASCII (or left to detection).

    A code page's bytes above 0x7F are characters of their own, so a
    delimiter or quote among them would split the raw bytes where the
    converted text has other bytes: such a run reads the converted text.
    """
    for name in ("delimiter", "quote_char"):
        position = names.index(name) if name in names else len(args)
        value = args[position] if position < len(args) else kwargs.get(name)
        if value is not None and not (isinstance(value, str) and value.isascii()):
            return False
    return True


def _check_header_rows(kwargs: dict[str, Any]) -> None:
    rows = kwargs.get("header_rows")
    if rows is not None and not isinstance(rows, bool) and isinstance(rows, int) and rows not in (1, 2):
        raise ValueError(f"header_rows must be 1 or 2, not {rows}")


def _repair_summary(result: tuple[VornishSummary, dict[str, int]], counted: bool) -> RepairSummary:
    return RepairSummary(result[0], result[1] if counted else None)


def _repair_reader(result: tuple[VornishReader, dict[str, int]], counted: bool) -> RepairReader:
    return RepairReader(result[0], result[1] if counted else None)


@_forwarding_to(
    _backend._vornish_file, "input_path", "output_path", "quarantine_path", "audit",
    dialect_from="input_path", recorded=_repair_summary, source_from="input_path",
    sinks=("output_path", "quarantine_path", "audit"),
)
def vornish_file(
    input_path: Source,
    output_path: StrPath,
    quarantine_path: StrPath | None = None,
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
    dialect: Dialect | Literal["auto"] | None = None,
    compression: Compression = "infer",
    member: str | None = None,
    output_compression: Literal["infer", "gzip", "gz", "bz2", "bzip2", "xz", "lzma", "zstd", "zst"] | None = "infer",
    audit: StrPath | None = None,
    record: bool = False,
    fallback: str | None = None,
    comment: str | None = None,
    skip_footer: SupportsIndex = 0,
    table: SupportsIndex | None = None,
    header_rows: SupportsIndex | None = None,
    encoding: str | None = None,
) -> RepairSummary:
    """Repairs the CSV file ``input_path`` into a clean CSV file ``output_path``.

    Rows are brought to the expected width: short rows are padded with empty
    fields, long rows have their surplus fields merged into the last column
    (joined with the delimiter). Rows that may not be repaired
    (``fill_ragged_rows=False`` or ``merge_overflow=False``) are set aside
    and, when ``quarantine_path`` is given, written there after the clean
    output is complete, with their line number and the reason.

    The file is read in chunks and repaired as it is read, on several threads
    and without holding the interpreter lock, so files larger than memory
    can be repaired and other Python threads keep running meanwhile. The
    clean output, the quarantine file and the summary are byte for byte
    those of ``_csv_vornish_backend.vornish_file``, whatever ``threads`` and
    ``chunk_size`` are. Only the order of effects differs: the backend reads
    the whole input before it creates the output, while here the output is
    created as soon as the start of the input has settled the delimiter and
    the column count, so an error reading the input later on (or Ctrl-C)
    leaves a partial output behind. When ``output_path`` is the input file
    itself, the output is written to a temporary file beside it that
    replaces the input only once complete (with the input's permission
    bits); on any failure the input stays as it was.

    Args:
        input_path: The damaged CSV file.
        output_path: Where the clean CSV file is written (created or
            truncated). It uses the input's delimiter, quotes only the fields
            that need it, and ends every line with LF.
        quarantine_path: Optional file for the rows set aside, as the CSV
            columns ``line,reason,raw_content``; written even when no row was
            set aside. It must differ from ``output_path``.
        delimiter: The field delimiter; ``None`` (or ``""``) guesses it among
            ``,``, ``;``, tab and ``|``. Only its first byte is used.
        quote_char: The quote character; ``""`` means the double quote.
        fill_ragged_rows: Pad short rows instead of setting them aside.
        merge_overflow: Merge surplus fields into the last column instead of
            setting the row aside.
        expected_columns: The number of columns; ``None`` infers it from the
            most common width of the first rows. ``0`` keeps every row as is.
        repair_quotes: Treat a quote inside a quoted field that a later quote
            on the same line can close as text rather than as the closing
            quote.
        threads: Threads that parse the input; ``None`` uses every core this
            process may run on (``os.sched_getaffinity(0)``), ``1`` does all
            the work on the calling thread.
        chunk_size: Bytes read per chunk (default 4 MiB). Memory use is about
            two chunks per thread plus the longest row.
        progress: Called as ``progress(bytes_done, bytes_total)`` on the
            calling thread between chunks, with growing values, the last
            call having ``bytes_done == bytes_total``. A compressed file or
            one in another encoding, read from its path, is counted in its
            bytes as stored. An exception it raises stops the run and
            propagates, as KeyboardInterrupt does.
        skip_initial_space: Blanks right after a delimiter are not part of
            the next field (``a, b`` gives ``b``); a quote after them opens a
            quoted field.
        skip_rows: The first rows are a preamble (titles, notes): they are
            set aside with the reason "Row is part of a preamble", counted
            as quarantined, and the column count is guessed after them.
        dialect: ``"auto"`` detects the file's dialect (``sniff_dialect``)
            and ``Dialect`` gives one: it fills the options left unset
            (delimiter, quote character, column count, the two above).
        audit: Where the repair record goes: a CSV file with the header
            ``line,offset,column,action,detail,raw`` and one line per change
            the run made (see ``csv_vornish.record``), created with the
            output and written as the rows are repaired; header only when
            nothing changed.
        record: Count the changes by action (``summary.actions``) without
            writing them anywhere; ``audit`` counts them too. Either makes
            the run read again the rows that may hold a change.
        fallback: A single-byte code page (``"windows-1252"``,
            ``"latin-1"``, ...) for the bytes that are not UTF-8: each is
            decoded with it instead of becoming U+FFFD, so a mostly UTF-8
            file with a few legacy rows keeps every character; each field
            so decoded is on record as ``redecoded``.
        compression: ``"infer"`` (the default) tells gzip, bzip2, xz,
            zstd and zip from the input's first bytes, whatever its name;
            ``None`` reads the bytes as they are; a name (``"gzip"``,
            ``"bz2"``, ``"xz"``, ``"zstd"``, ``"zip"``) says which.
        member: The file to read from a zip archive holding several.
        output_compression: ``"infer"`` (the default) compresses an output
            or quarantine file named ``*.gz``, ``*.bz2``, ``*.xz`` or
            ``*.zst`` (zstd needs ``csv-vornish[zstd]``); ``None`` writes
            plain CSV whatever the name; a codec name compresses both.
            A compressed output is written as a stream to a temporary file
            beside it, renamed into place once complete.
        comment: A prefix such as ``"#"`` or ``"//"``: the rows after the
            preamble whose first field starts with it are set aside with the
            reason "Row is a comment" and a ``comment`` record, counted as
            quarantined. ``None`` (or ``""``) sets none aside. ``dialect``
            fills it from ``Dialect.comment``.
        skip_footer: The last rows of the input (notes, a source line, a
            totals row) are set aside with the reason "Row is part of a
            footer" and a ``footer`` record, counted as quarantined. The run
            holds that many rows back until the input ends, on one thread.
            ``dialect`` fills it from ``Dialect.skip_footer``.
        table: Which table of a file of several (``Dialect.tables``, an
            index) to read: its own preamble, width and header are used and
            the rows after it are set aside with the reason "Row belongs to
            another table" and a ``table`` record. Without it, a dialect
            (``"auto"`` or given) of several tables reads the first. Giving it
            detects the dialect when ``dialect`` is not given.
        header_rows: ``2``: the header is a row of group names over the
            row of column names, and the names join both (``Revenue 2023``,
            a group name standing over the empty cells after it); the two
            rows become one header row. ``dialect`` fills it.
        encoding: The input's text encoding: ``None`` or ``"utf-8"``
            reads UTF-8 (a byte that is not UTF-8 becomes U+FFFD); a codec
            name Python knows (``"windows-1252"``, ``"latin-1"``,
            ``"utf-16"``, ``"shift_jis"``, ``"gb18030"``, ...) converts
            the text to UTF-8 as it is read, a sequence the codec cannot
            map becoming U+FFFD on record as ``invalid_utf8``; ``"auto"``
            detects it from the start of the input (a byte-order mark,
            UTF-16 without one, UTF-8, else a detector, with
            ``csv-vornish[detect]``) and, for UTF-8, sets ``fallback`` to
            the code page of any stray bytes (windows-1252 when nothing
            fits better). ``dialect="auto"`` implies ``"auto"``. The
            outputs are UTF-8 without a byte-order mark.

    Returns:
        The ``RepairSummary`` of the run: the backend's counts and the
        changes by action.

    Raises:
        TypeError: An argument of the wrong type (its note names the
            parameter).
        ValueError: ``threads`` or ``chunk_size`` below 1; an input that is
            not CSV (Parquet, Excel, PDF, SQLite, ...) or whose compressed
            data is corrupt or truncated, naming the input; nothing is
            written then.
        LookupError: ``encoding`` names no text encoding; raised before
            any output exists.
        OverflowError: ``expected_columns`` negative or 2**32 or more.
        OSError: A file could not be read or written; its text ends with the
            operating system's error number, as in ``(os error 2)``.
    """
    raise AssertionError("replaced by the backend call")  # pragma: no cover


@_forwarding_to(_backend._open, "file_path", "audit", dialect_from="file_path", recorded=_repair_reader,
                source_from="file_path")
def open(  # shadows the built-in on purpose, as the backend does
    file_path: Source,
    delimiter: str | None = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: SupportsIndex | None = None,
    repair_quotes: bool = True,
    *,
    audit: StrPath | None = None,
    record: bool = False,
    fallback: str | None = None,
    compression: Compression = "infer",
    member: str | None = None,
    comment: str | None = None,
    skip_footer: SupportsIndex = 0,
    table: SupportsIndex | None = None,
    header_rows: SupportsIndex | None = None,
    encoding: str | None = None,
) -> RepairReader:
    """Repairs the CSV file ``file_path`` in memory and returns a reader of its rows.

    The file is read and repaired completely before this returns; the reader
    then hands out the kept rows one by one as lists of ``str``, all of the
    same width. Rows set aside are dropped and only counted in
    ``reader.summary.quarantined_rows``. ``len(reader)`` is the number of
    kept rows. The reader is also a context manager (it holds no open file,
    so leaving the block changes nothing).

    The repair arguments mean what they mean for ``vornish_file``.
    ``audit`` names a file for the repair record, written once the file is
    repaired; ``reader.summary`` is a ``RepairSummary``, whose ``actions``
    counts the changes by action with ``audit`` or ``record=True``;
    ``fallback`` is as for ``vornish_file``. ``comment`` sets aside the rows
    whose first field starts with it, as for ``vornish_file``; so do
    ``skip_footer``, ``table``, ``header_rows`` (the first row the reader
    gives of a two-row header holds the joined names) and ``encoding``. Other Python
    threads run while the file is read and repaired.

    ``file_path`` may also be a compressed file, an fsspec URL or a binary
    file object, as for ``read_arrow``; ``compression`` and ``member`` mean
    what they mean there.

    Raises:
        TypeError: An argument of the wrong type (its note names the
            parameter).
        OSError: The file could not be read; the subclass follows the error
            (``FileNotFoundError``, ``PermissionError``,
            ``IsADirectoryError``, ...).
    """
    raise AssertionError("replaced by the backend call")  # pragma: no cover


@_forwarding_to(_backend.sniff)
def sniff(sample: str) -> str:
    """Guesses the delimiter of a CSV text sample.

    Tries ``,``, ``;``, tab and ``|`` on the first 50 non-blank rows of the
    sample and returns the one that splits them most consistently into the
    most fields; ``,`` when none does better (an empty sample included).
    The result is always one of those four characters.
    """
    raise AssertionError("replaced by the backend call")  # pragma: no cover


#: What ``read_arrow`` returns: a one-shot stream of Arrow record batches.
ArrowRowStream: TypeAlias = _backend._ArrowRowStream

#: ``types=`` of ``read_arrow``: ``"infer"``, ``"string"``, or a mapping from a
#: column's name or 1-based position to its type (as Arrow spells it, or a
#: pyarrow type).
ColumnTypes: TypeAlias = Union[Literal["infer", "string"], "Mapping[str | int, Any]"]


def _read_arrow_typed(*args: Any, **kwargs: Any) -> Any:
    """The native read with ``types=`` and ``null_values=`` in its spelling."""
    kwargs["types"] = _types.native_types(kwargs.get("types", "infer"))
    if "null_values" in kwargs:
        kwargs["null_values"] = _types.native_null_values(kwargs["null_values"])
    return _backend._read_arrow(*args, **kwargs)


#: What ``ArrowRowStream.audit`` returns: the repair record as an Arrow stream.
RepairRecords: TypeAlias = _backend._RepairRecords


def _stream(stream: ArrowRowStream, counted: bool) -> ArrowRowStream:
    return stream


@_forwarding_to(_read_arrow_typed, "file_path", "audit", dialect_from="file_path", recorded=_stream,
                source_from="file_path", lazy=True)
def read_arrow(
    file_path: Source,
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
    dialect: Dialect | Literal["auto"] | None = None,
    audit: StrPath | bool | None = None,
    record: bool = False,
    fallback: str | None = None,
    types: ColumnTypes = "infer",
    null_values: Sequence[str] | None = None,
    decimal: str | None = None,
    thousands: str | None = None,
    date_format: str | None = None,
    compression: Compression = "infer",
    member: str | None = None,
    comment: str | None = None,
    skip_footer: SupportsIndex = 0,
    table: SupportsIndex | None = None,
    header_rows: SupportsIndex | None = None,
    string_layout: Literal["string", "large_string", "string_view"] | None = None,
    encoding: str | None = None,
) -> ArrowRowStream:
    """Repairs the CSV file ``file_path`` into Arrow record batches for a dataframe library.

    The result implements the Arrow PyCapsule interface
    (``__arrow_c_stream__`` and ``__arrow_c_schema__``), so any consumer of
    it takes it directly, without a Python object per field::

        table = pyarrow.table(csv_vornish.read_arrow("in.csv"))
        frame = polars.DataFrame(csv_vornish.read_arrow("in.csv"))
        frame = pandas.DataFrame.from_arrow(csv_vornish.read_arrow("in.csv"))
        stream = csv_vornish.read_arrow("in.csv")
        duckdb.sql("SELECT * FROM stream")

    The rows are those that ``open()`` hands out for the same repair
    arguments, read batch by batch as the consumer asks for them, so memory
    stays near the size of the resulting table.

    Types: by default each column gets the narrowest type that every
    non-null cell of the whole table reads as without loss (bool, int64,
    float64, date32, timestamp, else string), settled by a pass over the
    table before the first batch; no cell is ever nulled by inference (see
    the README's type rules). ``types="string"`` gives string columns
    holding every cell as it is, with no nulls.

    Columns: with ``header=True`` the first kept row names the columns and
    is not a row of the table. An empty name becomes ``column_N``, N being
    the column's 1-based position; a name that an earlier column already
    has gets ``_2``, ``_3``, ... appended, the first suffix that gives a name
    neither used before nor in the header row itself (``a,a,,a`` gives
    ``a``, ``a_2``, ``column_3``, ``a_3``). With ``header=False`` the columns
    are ``column_1``, ``column_2``, ... With ``expected_columns=0`` rows keep
    their widths: the table has as many columns as the widest row (found by
    a counting pass over the file before the first batch) and the missing
    cells of shorter rows are null. An empty file gives a table with no
    columns and no rows; a file holding only a header row gives the named
    columns and no rows.

    The stream is consumed once: a second ``__arrow_c_stream__`` call raises
    ``RuntimeError``. Its ``summary`` is the run's ``VornishSummary``,
    counted as ``open()`` counts (the header row is a kept row; rows set
    aside are dropped and counted in ``quarantined_rows``); it is known
    once a consumer has read the stream to its end, and asking before that
    raises ``RuntimeError``. ``column_names`` lists the columns at once.
    ``actions`` counts the run's changes by action once the stream has
    been read to its end (with ``audit`` or ``record=True``; else None).

    Args:
        file_path: The damaged CSV file.
        delimiter, quote_char, fill_ragged_rows, merge_overflow,
        expected_columns, repair_quotes: As for ``vornish_file``, bound,
            converted and checked the same way.
        header: The first kept row names the columns.
        threads: Threads building batches, at least 1; ``None`` uses every
            core the process may run on. A regular file larger than one
            chunk and without a preamble (``skip_rows=0``) is cut into
            chunks built side by side; the rows, their order, the summary
            and any error are those of ``threads=1``, only the batches may
            end earlier (at chunk edges).
        chunk_size: Bytes of the file per chunk when several threads read
            it (default 4 MiB), at least 1; at most two chunks per thread
            are built ahead of the consumer, which bounds the memory held.
        skip_initial_space: Blanks right after a delimiter are not part of
            the next field (``a, b`` gives ``b``); a quote after them opens a
            quoted field.
        skip_rows: The first rows are a preamble (titles, notes): they are
            set aside with the reason "Row is part of a preamble", counted
            as quarantined, and the column count is guessed after them.
        dialect: ``"auto"`` detects the file's dialect (``sniff_dialect``)
            and ``Dialect`` gives one: it fills the options left unset
            (delimiter, quote character, column count, the two above and,
            when not given, ``header``).
        audit: A path: the repair record is written there as a CSV file,
            created now and written as the batches are made. ``True``: the
            records are kept, and once the stream has been read to its end
            ``stream.audit`` hands them out as an Arrow stream
            (``pyarrow.table(stream.audit)``) with the columns line, offset,
            column, action, detail and raw (binary).
        fallback: As for ``vornish_file``.
        types: ``"infer"`` (the default), ``"string"``, or a mapping from a
            column's name or 1-based position to its type, the other
            columns being inferred: ``"string"``, ``"bool"``, ``"int64"``,
            ``"float64"`` (``"double"``), ``"date32"``, ``"timestamp[us]"``,
            ``"timestamp[ns]"``, ``"timestamp[us, tz=UTC]"``,
            ``"timestamp[ns, tz=UTC]"``, or the pyarrow type. Under a chosen
            type leading zeros read (``007`` is 7) and a cell that does not
            read becomes null, counted in ``stream.nulled_cells``.
        null_values: The texts that are null, instead of ``NA``, ``N/A``,
            ``n/a``, ``NULL``, ``null``, ``None``, ``#N/A`` (an empty cell
            is always null).
        decimal: ``"."`` or ``","``: the numbers' decimal mark, when a
            column could read either way.
        thousands: ``","``, ``"."``, ``" "`` or ``""`` (none): the
            numbers' thousands separator.
        date_format: ``"%Y-%m-%d"``, ``"%Y/%m/%d"``, ``"%d.%m.%Y"``,
            ``"%d/%m/%Y"`` or ``"%m/%d/%Y"``: the dates' format, for a
            column that reads as day-first and as month-first.
        compression: ``"infer"`` (the default) tells gzip, bzip2, xz,
            zstd and zip from the input's first bytes, whatever its name;
            ``None`` reads the bytes as they are; a name (``"gzip"``,
            ``"bz2"``, ``"xz"``, ``"zstd"``, ``"zip"``) says which.
        member: The file to read from a zip archive holding several.
        comment: Rows whose first field starts with it are set aside as
            comments, as for ``vornish_file``.
        skip_footer, table, header_rows: The footer, the table of several
            and the header of two rows, as for ``vornish_file``; the column
            names of a two-row header join both rows, and the footer is left
            out of the type inference, so a totals row cannot turn a column of
            numbers into text. A byte range (the cluster reader) takes none.
        string_layout: How string columns are laid out: ``"string"``
            (32-bit offsets), ``"large_string"`` (64-bit offsets) or
            ``"string_view"``, which polars takes without converting
            (pyarrow, pandas and DuckDB import it too, but most of
            pyarrow's compute functions refuse it). ``None`` (the default)
            gives ``"string"``, or ``"large_string"`` for an input of more
            than about 700 MB. A consumer that passes a requested schema to
            ``__arrow_c_stream__`` gets the layout its first string column
            asks for instead.
        encoding: The input's text encoding, as for ``vornish_file``.

    Raises:
        TypeError: An argument of the wrong type (its note names the
            parameter).
        ValueError: ``threads`` or ``chunk_size`` below 1; an unknown type,
            separator or date format; ``types`` naming no column.
        OSError: The file could not be read, as for ``open()``
            (``FileNotFoundError``, ``IsADirectoryError``, ...).
    """
    raise AssertionError("replaced by the backend call")  # pragma: no cover
