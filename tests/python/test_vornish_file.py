"""vornish_file(): file-to-file repair and its errors, always plain OSError."""

import errno
import os

import pytest

import _csv_vornish_backend as backend

DAMAGED = "a,b,c\n1,2\nx,y,z,w,v\n"


@pytest.fixture
def paths(tmp_path):
    source = tmp_path / "in.csv"
    source.write_text(DAMAGED)
    return source, tmp_path / "out.csv", tmp_path / "bad.csv"


def test_repair_with_and_without_quarantine(paths):
    source, out, bad = paths
    summary = backend.vornish_file(str(source), str(out), expected_columns=3)
    assert type(summary) is backend.VornishSummary
    assert summary.to_dict() == {"total_rows": 3, "vornished_rows": 3, "repaired_rows": 2,
                                 "quarantined_rows": 0, "detected_delimiter": ",",
                                 "inferred_columns": 3}
    assert out.read_text() == 'a,b,c\n1,2,\nx,y,"z,w,v"\n'
    assert not bad.exists()

    summary = backend.vornish_file(str(source), str(out), str(bad), None, '"', False, False, 3, True)
    assert (summary.vornished_rows, summary.quarantined_rows) == (1, 2)
    assert out.read_text() == "a,b,c\n"
    assert bad.read_text().splitlines()[0] == "line,reason,raw_content"


def assert_plain_os_error(info, text):
    assert type(info.value) is OSError
    assert str(info.value) == text
    assert info.value.args == (text,)
    assert (info.value.errno, info.value.strerror, info.value.filename) == (None, None, None)


def os_error_text(number):
    return f"{os.strerror(number)} (os error {number})"


@pytest.mark.parametrize(
    ("input_name", "output_name", "text"),
    [
        ("missing.csv", "out.csv", os_error_text(errno.ENOENT)),
        ("in.csv", "no-such-dir/out.csv", os_error_text(errno.ENOENT)),
        ("in.csv\x00", "out.csv", "file name contained an unexpected NUL byte"),
        ("in.csv", "out\x00.csv", "file name contained an unexpected NUL byte"),
        ("", "out.csv", os_error_text(errno.ENOENT)),
    ],
)
def test_file_errors_are_plain_os_error(paths, input_name, output_name, text):
    source, out, _ = paths
    directory = source.parent
    with pytest.raises(OSError) as info:
        backend.vornish_file(str(directory / input_name) if input_name else "",
                             str(directory / output_name))
    assert_plain_os_error(info, text)
    assert sorted(os.listdir(directory)) == ["in.csv"]  # nothing created


def test_directory_as_input(paths):
    source, out, _ = paths
    with pytest.raises(OSError) as info:
        backend.vornish_file(str(source.parent), str(out))
    assert type(info.value) is OSError
    assert info.value.errno is None
    assert str(info.value).endswith(f"(os error {errno.EISDIR})")


def test_empty_quarantine_path_fails_after_the_output_is_complete(paths):
    source, out, _ = paths
    with pytest.raises(OSError) as info:
        backend.vornish_file(str(source), str(out), "", expected_columns=3,
                             fill_ragged_rows=False)
    assert_plain_os_error(info, os_error_text(errno.ENOENT))
    assert out.read_text() == 'a,b,c\nx,y,"z,w,v"\n'
