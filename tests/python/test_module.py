"""The module object: its attributes, function docstrings and sniff()."""

import importlib.util

import pytest

import _csv_vornish_backend as backend

PUBLIC = ["vornish_file", "sniff", "open", "VornishSummary", "VornishReader"]

MODULE_DOC = (
    "High-performance, fault-tolerant CSV vornish and reconstruction engine.\n"
    "\n"
    "Rescues corrupted, broken, and malformed CSV files where strict parsers\n"
    "(Polars, DuckDB, Pandas) abort with ParserError."
)

OPTIONS_SIGNATURE = (
    'delimiter=None, quote_char="\\"", fill_ragged_rows=True, merge_overflow=True, '
    "expected_columns=None, repair_quotes=True)"
)

VORNISH_FILE_DOC = """Vornishes a corrupted CSV file and writes a clean, standard RFC-4180 file.

Args:
    input_path: Path to the corrupted CSV file.
    output_path: Path where the repaired CSV file will be written.
    quarantine_path: Optional path to write unrecoverable / quarantined rows.
    delimiter: Optional single-character delimiter (e.g. "," or ";"). If None, auto-sniffed.
    quote_char: Optional single-character quote enclosure (default '"').
    fill_ragged_rows: If True, pads short rows with empty strings. Default True.
    merge_overflow: If True, merges extra tokens into the last column. Default True.
    expected_columns: Optional explicit column count. If None, inferred automatically.
    repair_quotes: If True, disambiguates and repairs stray internal quotes. Default True."""


def test_module_attributes():
    assert backend.__version__ == "0.1.0"
    assert backend.__doc__ == MODULE_DOC
    assert len(backend.__doc__) == 193
    assert backend.__all__ == PUBLIC
    # Execution sets the attributes in this order.
    names = ["__version__", "__all__", *PUBLIC]
    assert [k for k in vars(backend) if k in names] == names


@pytest.mark.parametrize(
    ("function", "signature", "doc"),
    [
        ("sniff", "(sample)", "Detects the most likely delimiter from a CSV string sample."),
        ("open", "(file_path, " + OPTIONS_SIGNATURE,
         "Convenience function to open and stream a vornished CSV file."),
        ("vornish_file", "(input_path, output_path, quarantine_path=None, " + OPTIONS_SIGNATURE,
         VORNISH_FILE_DOC),
    ],
)
def test_function_docstrings(function, signature, doc):
    f = getattr(backend, function)
    assert f.__text_signature__ == signature
    assert f.__doc__ == doc
    assert f.__module__ == "_csv_vornish_backend"
    assert f.__self__ is backend
    assert f.__name__ == function


def test_star_import_binds_public_names_and_shadows_open():
    namespace = {}
    exec("from _csv_vornish_backend import *", namespace)
    assert {k for k in namespace if k != "__builtins__"} == set(PUBLIC)
    assert namespace["open"] is backend.open


def test_a_second_module_object_shares_the_type_objects():
    spec = importlib.util.find_spec("_csv_vornish_backend")
    other = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(other)
    assert other is not backend
    assert other.VornishSummary is backend.VornishSummary
    assert other.VornishReader is backend.VornishReader
    assert other.sniff is not backend.sniff
    assert other.sniff.__self__ is other


@pytest.mark.parametrize(
    ("sample", "expected"),
    [
        ("", ","),
        ("a;b;c\n1;2;3\n4;5;6\n", ";"),
        ("a\tb\tc\n1\t2\t3\n", "\t"),
        ("a|b|c\n1|2|3\n", "|"),
        ("a,b,c\n1,2,3\n", ","),
        ("\ufeffa;b\n1;2\n", ";"),
        ("é;ü;ß\n1;2;3\n", ";"),
    ],
)
def test_sniff(sample, expected):
    result = backend.sniff(sample)
    assert type(result) is str
    assert result == expected
