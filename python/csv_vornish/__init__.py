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
"""

from __future__ import annotations

import functools
import os
from collections.abc import Callable
from typing import Any, SupportsIndex, TypeAlias, TypeVar, Union, cast

import _csv_vornish_backend as _backend
from _csv_vornish_backend import VornishReader, VornishSummary

__all__ = ["vornish_file", "sniff", "open", "VornishSummary", "VornishReader"]
__version__: str = _backend.__version__

#: A file system path the functions of this package accept.
StrPath: TypeAlias = Union[str, "os.PathLike[str]"]

_F = TypeVar("_F", bound=Callable[..., Any])


def _forwarding_to(backend_function: Callable[..., Any], *path_parameters: str) -> Callable[[_F], _F]:
    """Turns a typed template into a forwarder to ``backend_function``.

    The template supplies the signature, annotations and docstring (what
    editors, ``help()`` and type checkers see); its body never runs. The
    forwarder replaces each ``os.PathLike`` among ``path_parameters`` by its
    ``os.fspath`` and passes the call on as it was made, positions and
    keywords alike. Binding the arguments is left to the backend, so a wrong
    call fails exactly as it would against the backend itself.
    """

    def decorate(template: _F) -> _F:
        names = template.__code__.co_varnames[: template.__code__.co_argcount]
        positions = tuple(names.index(name) for name in path_parameters)

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
            return backend_function(*args, **kwargs)

        return cast(_F, forward)

    return decorate


@_forwarding_to(_backend._vornish_file, "input_path", "output_path", "quarantine_path")
def vornish_file(
    input_path: StrPath,
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
) -> VornishSummary:
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
            call having ``bytes_done == bytes_total``. An exception it
            raises stops the run and propagates, as KeyboardInterrupt does.

    Returns:
        The ``VornishSummary`` of the run.

    Raises:
        TypeError: An argument of the wrong type (its note names the
            parameter).
        ValueError: ``threads`` or ``chunk_size`` below 1.
        OverflowError: ``expected_columns`` negative or 2**32 or more.
        OSError: A file could not be read or written; its text ends with the
            operating system's error number, as in ``(os error 2)``.
    """
    raise AssertionError("replaced by the backend call")  # pragma: no cover


@_forwarding_to(_backend.open, "file_path")
def open(  # shadows the built-in on purpose, as the backend does
    file_path: StrPath,
    delimiter: str | None = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: SupportsIndex | None = None,
    repair_quotes: bool = True,
) -> VornishReader:
    """Repairs the CSV file ``file_path`` in memory and returns a reader of its rows.

    The file is read and repaired completely before this returns; the reader
    then hands out the kept rows one by one as lists of ``str``, all of the
    same width. Rows set aside are dropped and only counted in
    ``reader.summary.quarantined_rows``. ``len(reader)`` is the number of
    kept rows. The reader is also a context manager (it holds no open file,
    so leaving the block changes nothing).

    The repair arguments mean what they mean for ``vornish_file``.

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
