"""VornishReader and open(): repaired rows handed out one by one."""

import errno
import os
import sys

import pytest

import _csv_vornish_backend as backend

ROWS = [["a", "b", "c"], ["1", "2", ""], ["x", "y", "z,w,v"]]


@pytest.fixture
def csv_path(tmp_path):
    path = tmp_path / "in.csv"
    path.write_text("a,b,c\n1,2\nx,y,z,w,v\n")
    return str(path)


@pytest.fixture
def reader(csv_path):
    return backend.open(csv_path, expected_columns=3)


def test_type_surface():
    cls = backend.VornishReader
    assert (cls.__name__, cls.__qualname__, cls.__module__) == ("VornishReader", "VornishReader",
                                                                "builtins")
    assert cls.__doc__ == "In-memory streaming reader iterating over vornished rows."
    assert cls.__text_signature__ == (
        '(file_path, delimiter=None, quote_char="\\"", fill_ragged_rows=True, '
        "merge_overflow=True, expected_columns=None, repair_quotes=True)")
    assert cls.__enter__.__text_signature__ == "($self)"
    assert cls.__exit__.__text_signature__ == "($self, _exc_type=None, _exc_val=None, _exc_tb=None)"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_iteration_len_and_exhaustion(reader):
    assert iter(reader) is reader
    assert len(reader) == 3 and bool(reader)
    assert next(reader) == ROWS[0]
    assert len(reader) == 3
    assert list(reader) == ROWS[1:]
    assert len(reader) == 3 and bool(reader)
    assert list(reader) == []
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(reader)


def test_rows_are_fresh_lists_of_str(csv_path):
    first = backend.open(csv_path, expected_columns=3)
    second = backend.open(csv_path, expected_columns=3)
    row = next(first)
    row.append("changed")
    row[0] = "changed"
    assert next(second) == ROWS[0]
    assert list(first) == ROWS[1:]
    assert all(type(field) is str for row in backend.open(csv_path) for field in row)


def test_empty_file(tmp_path):
    path = tmp_path / "empty.csv"
    path.write_bytes(b"")
    reader = backend.VornishReader(str(path))
    assert len(reader) == 0 and not reader
    with pytest.raises(StopIteration):
        next(reader)
    assert repr(reader.summary) == ("<VornishSummary total_rows=0 vornished_rows=0 repaired_rows=0 "
                                    "quarantined_rows=0 delimiter=',' inferred_columns=0>")


def test_summary_is_a_new_object_each_time(reader):
    assert reader.summary is not reader.summary
    assert reader.summary.to_dict() == reader.summary.to_dict()
    with pytest.raises(AttributeError):
        reader.summary = None
    with pytest.raises(AttributeError):
        del reader.summary
    with pytest.raises(AttributeError):
        reader.extra = 1


def test_context_manager(reader):
    assert reader.__enter__() is reader
    with pytest.raises(ValueError, match="inside"):
        with reader as bound:
            assert bound is reader
            assert next(bound) == ROWS[0]
            raise ValueError("inside")
    assert reader.__exit__(ValueError, ValueError("x"), None) is False
    assert list(reader) == ROWS[1:]  # still usable after the block


def test_quarantined_rows_are_left_out(csv_path):
    reader = backend.VornishReader(csv_path, expected_columns=3, fill_ragged_rows=False,
                                   merge_overflow=False)
    assert list(reader) == [ROWS[0]]
    assert len(reader) == 1
    summary = reader.summary
    assert (summary.total_rows, summary.vornished_rows, summary.quarantined_rows) == (3, 1, 2)


@pytest.mark.parametrize(
    ("content", "rows"),
    [
        (b"\xef\xbb\xbfh1,h2\n\xc3\xa9,\xe2\x82\xac\n", [["h1", "h2"], ["\u00e9", "\u20ac"]]),
        (b"a,\xff\xfeb\n", [["a", "\ufffd\ufffdb"]]),
        (b"a,,\r\n,,\r\n", [["a", "", ""], ["", "", ""]]),
        (b'"multi\nline",x\n', [["multi\nline", "x"]]),
        (b"\xf0\x9f\x98\x80,\x00\n", [["\U0001f600", "\x00"]]),
    ],
)
def test_field_text(tmp_path, content, rows):
    path = tmp_path / "f.csv"
    path.write_bytes(content)
    assert list(backend.open(str(path))) == rows


def test_many_rows_read_back_in_order(tmp_path):
    path = tmp_path / "big.csv"
    lines = [f"{i},{'x' * (i % 7)},\u00e9{i}" for i in range(5000)]
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    reader = backend.open(str(path))
    assert len(reader) == 5000
    assert [",".join(row) for row in reader] == lines


def os_error_text(number):
    return f"{os.strerror(number)} (os error {number})"


def file_errors(tmp_path):
    (tmp_path / "file.csv").write_text("a\n")
    loop = tmp_path / "loop"
    loop.symlink_to(loop)
    return [
        (str(tmp_path / "missing.csv"), FileNotFoundError, os_error_text(errno.ENOENT)),
        ("", FileNotFoundError, os_error_text(errno.ENOENT)),
        (str(tmp_path), IsADirectoryError, os_error_text(errno.EISDIR)),
        (str(tmp_path / "file.csv" / "x"), NotADirectoryError, os_error_text(errno.ENOTDIR)),
        (str(loop), OSError, os_error_text(errno.ELOOP)),
        (str(tmp_path / ("n" * 300)), OSError, os_error_text(errno.ENAMETOOLONG)),
        ("a\x00b", OSError, "file name contained an unexpected NUL byte"),
    ]


@pytest.mark.parametrize("make", [backend.open, backend.VornishReader])
def test_file_errors(tmp_path, make):
    for path, exc_type, text in file_errors(tmp_path):
        with pytest.raises(OSError) as info:
            make(path)
        assert type(info.value) is exc_type, path
        assert str(info.value) == text
        assert info.value.args == (text,)
        assert (info.value.errno, info.value.strerror, info.value.filename) == (None, None, None)


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files regardless of permissions")
def test_unreadable_file(tmp_path):
    path = tmp_path / "locked.csv"
    path.write_text("a\n")
    path.chmod(0)
    with pytest.raises(PermissionError, match=r"\(os error 13\)$"):
        backend.open(str(path))


# Each width of character CPython stores (ASCII, Latin-1, two and four
# bytes), alone and mixed, plus invalid bytes that become U+FFFD and a
# merged last field: every str handed out equals Python's own decoding, in
# the same compact form (hence the same size).
@pytest.mark.parametrize("delimiter", [",", ";"])
def test_non_ascii_fields_decode_like_python(tmp_path, delimiter):
    fields = ["plain", "caf\u00e9", "\u00ff\u00e9", "\u20ac5", "\u03a9\u00e9a", "\ud55c\uae00",
              "\U0001f600", "a\U0001f600\u00e9\u20ac", "\x7f\u0080\u07ff\u0800\uffff\U00010000",
              "\U0010ffff"]
    sep = delimiter.encode()
    raw = sep.join(f.encode() for f in fields) + b"\n" + sep.join([b"\xff\xc3x", b"y"] * 5) + b"\n"
    raw += sep.join(f.encode() for f in fields + ["extra\u00e9"]) + b"\n"
    path = tmp_path / "wide.csv"
    path.write_bytes(raw)
    rows = list(backend.open(str(path), delimiter=delimiter))
    expected = [[f.decode("utf-8", "replace") for f in line.split(sep)]
                for line in raw.split(b"\n")[:3]]
    expected[2] = expected[2][:9] + [delimiter.join(expected[2][9:])]
    assert rows == expected
    for got_row, want_row in zip(rows, expected):
        assert [sys.getsizeof(s) for s in got_row] == [sys.getsizeof(s) for s in want_row]
