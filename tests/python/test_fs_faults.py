"""File-system faults met by vornish_file and the reader.

A full disk, a folder we may not write to, paths through a file, a
directory, a FIFO or a /proc file as input, and an input that changes while
it is read. Every failure must come back as the right OSError text, leave
on disk exactly what the failure rules say (the input is read before the
output is created; the output is complete before the quarantine file is
created; nothing partial is deleted), and never look like success.
"""

from __future__ import annotations

import errno
import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import pytest

import _csv_vornish_backend as vb

# Two ragged rows, so a run with padding off quarantines one of them.
SOURCE = "id,name,city\n1,Ada,Paris\n2,Bob\n3,Cy,Rome,Italy\n"
CLEAN = "id,name,city\n1,Ada,Paris\n2,Bob,\n3,Cy,\"Rome,Italy\"\n"


def os_text(code: int) -> str:
    return f"{os.strerror(code)} (os error {code})"


def assert_plain_oserror(excinfo: pytest.ExceptionInfo, text: str) -> None:
    # vornish_file reports every file failure as OSError itself, built from
    # the text alone.
    assert type(excinfo.value) is OSError
    assert str(excinfo.value) == text
    assert excinfo.value.errno is None


@pytest.fixture
def source(tmp_path: Path) -> Path:
    path = tmp_path / "in.csv"
    path.write_text(SOURCE)
    return path


# --- The failure table of vornish_file ----------------------------------------

def test_output_to_full_disk_fails_with_enospc(source: Path) -> None:
    with pytest.raises(OSError) as excinfo:
        vb.vornish_file(str(source), "/dev/full")
    assert_plain_oserror(excinfo, os_text(errno.ENOSPC))


@pytest.mark.parametrize("line_bytes", [10, 8191, 8192, 100_000])
def test_full_disk_is_reported_whatever_the_line_size(tmp_path: Path, line_bytes: int) -> None:
    # Lines below, at and above the write buffer's size take different
    # roads to the file (buffered, flushed early, written directly).
    path = tmp_path / "in.csv"
    path.write_text(("x" * (line_bytes - 1) + "\n") * 5)
    with pytest.raises(OSError) as excinfo:
        vb.vornish_file(str(path), "/dev/full")
    assert_plain_oserror(excinfo, os_text(errno.ENOSPC))


def test_quarantine_to_full_disk_leaves_the_output_complete(source: Path, tmp_path: Path) -> None:
    out = tmp_path / "out.csv"
    with pytest.raises(OSError) as excinfo:
        vb.vornish_file(str(source), str(out), "/dev/full", fill_ragged_rows=False)
    assert_plain_oserror(excinfo, os_text(errno.ENOSPC))
    assert out.read_text() == "id,name,city\n1,Ada,Paris\n3,Cy,\"Rome,Italy\"\n"


@pytest.mark.parametrize(
    "where, code",
    [
        ("missing-dir/out.csv", errno.ENOENT),
        ("a-file/out.csv", errno.ENOTDIR),
        ("a-dir", errno.EISDIR),
        ("", errno.ENOENT),
    ],
)
def test_output_that_cannot_be_created(source: Path, tmp_path: Path, where: str, code: int) -> None:
    (tmp_path / "a-file").write_text("keep me")
    (tmp_path / "a-dir").mkdir()
    target = str(tmp_path / where) if where else ""
    before = sorted(p.name for p in tmp_path.iterdir())
    with pytest.raises(OSError) as excinfo:
        vb.vornish_file(str(source), target, str(tmp_path / "bad.csv"))
    assert_plain_oserror(excinfo, os_text(code))
    # Nothing was created or changed: not the output, not the quarantine.
    assert sorted(p.name for p in tmp_path.iterdir()) == before
    assert (tmp_path / "a-file").read_text() == "keep me"
    assert source.read_text() == SOURCE


@pytest.mark.parametrize(
    "where, code",
    [
        ("missing-dir/bad.csv", errno.ENOENT),
        ("a-file/bad.csv", errno.ENOTDIR),
        ("a-dir", errno.EISDIR),
        ("", errno.ENOENT),
    ],
)
def test_quarantine_that_cannot_be_created(source: Path, tmp_path: Path, where: str, code: int) -> None:
    (tmp_path / "a-file").write_text("keep me")
    (tmp_path / "a-dir").mkdir()
    out = tmp_path / "out.csv"
    target = str(tmp_path / where) if where else ""
    with pytest.raises(OSError) as excinfo:
        vb.vornish_file(str(source), str(out), target)
    assert_plain_oserror(excinfo, os_text(code))
    assert out.read_text() == CLEAN
    assert (tmp_path / "a-file").read_text() == "keep me"


@pytest.mark.parametrize(
    "make_input, code",
    [
        (lambda d: d / "missing.csv", errno.ENOENT),
        (lambda d: d / "a-file" / "in.csv", errno.ENOTDIR),
        (lambda d: d / "a-dir", errno.EISDIR),
    ],
    ids=["missing", "through-a-file", "directory"],
)
def test_unreadable_input_touches_nothing(tmp_path: Path, make_input, code: int) -> None:
    (tmp_path / "a-file").write_text("x")
    (tmp_path / "a-dir").mkdir()
    out = tmp_path / "out.csv"
    out.write_text("previous output")
    with pytest.raises(OSError) as excinfo:
        vb.vornish_file(str(make_input(tmp_path)), str(out), str(tmp_path / "bad.csv"))
    assert_plain_oserror(excinfo, os_text(code))
    assert out.read_text() == "previous output"
    assert not (tmp_path / "bad.csv").exists()


@pytest.mark.parametrize("argument", ["input", "output", "quarantine"])
def test_nul_in_a_path(source: Path, tmp_path: Path, argument: str) -> None:
    out = tmp_path / "out.csv"
    paths = {"input": str(source), "output": str(out), "quarantine": str(tmp_path / "bad.csv")}
    paths[argument] = str(tmp_path / "x\x00y.csv")
    with pytest.raises(OSError) as excinfo:
        vb.vornish_file(paths["input"], paths["output"], paths["quarantine"])
    assert_plain_oserror(excinfo, "file name contained an unexpected NUL byte")
    # Only a bad quarantine path comes after the output was written.
    assert out.exists() == (argument == "quarantine")
    if argument == "quarantine":
        assert out.read_text() == CLEAN


# --- The reader's view of the same faults ---------------------------------------

@pytest.mark.parametrize(
    "make_input, exception, code",
    [
        (lambda d: d / "missing.csv", FileNotFoundError, errno.ENOENT),
        (lambda d: d / "a-file" / "in.csv", NotADirectoryError, errno.ENOTDIR),
        (lambda d: d / "a-dir", IsADirectoryError, errno.EISDIR),
    ],
    ids=["missing", "through-a-file", "directory"],
)
def test_reader_maps_the_error_to_its_subclass(tmp_path: Path, make_input, exception, code) -> None:
    (tmp_path / "a-file").write_text("x")
    (tmp_path / "a-dir").mkdir()
    for make in (vb.VornishReader, vb.open):
        with pytest.raises(exception) as excinfo:
            make(str(make_input(tmp_path)))
        assert type(excinfo.value) is exception
        assert str(excinfo.value) == os_text(code)
        assert excinfo.value.errno is None


# --- Permissions: a folder we may not write to, a file we may not read -------------
#
# Root ignores permission bits, so the calls run in a forked child that first
# gives up root's effective identity. The module is already loaded there, so
# the child needs no access to where it is installed.

NOBODY = 65534


@pytest.fixture
def shared_dir():
    # Outside pytest's private temporary tree, which the child could not enter.
    path = Path(tempfile.mkdtemp(prefix="vornish-perm-"))
    path.chmod(0o755)
    yield path
    for p in path.rglob("*"):
        if p.is_dir():
            p.chmod(0o755)
    shutil.rmtree(path)


def call_as_unprivileged(func) -> list:
    """Runs func() in a forked child without root's rights; returns
    [exception type name, message] or ["ok", repr of the result]."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # child: never return into pytest
        try:
            os.close(read_end)
            try:
                if os.geteuid() == 0:
                    os.setegid(NOBODY)
                    os.seteuid(NOBODY)
            except OSError as exc:
                outcome = ["cannot drop root", str(exc)]
            else:
                try:
                    outcome = ["ok", repr(func())]
                except BaseException as exc:  # noqa: BLE001 - reported to the parent
                    outcome = [type(exc).__name__, str(exc)]
            os.write(write_end, json.dumps(outcome).encode())
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        data = pipe.read()
    os.waitpid(pid, 0)
    if not data:
        pytest.fail("the unprivileged child reported nothing")
    return json.loads(data)


def permissions_enforced(directory: Path) -> bool:
    probe = directory / "probe-ro"
    probe.mkdir()
    probe.chmod(0o555)
    try:
        result = call_as_unprivileged(lambda: (probe / "f").write_text("x"))
    finally:
        probe.chmod(0o755)
        shutil.rmtree(probe)
    return result[0] == "PermissionError"


def test_output_in_a_read_only_folder(shared_dir: Path) -> None:
    if not permissions_enforced(shared_dir):
        pytest.skip("permission bits are not enforced here")
    source = shared_dir / "in.csv"
    source.write_text(SOURCE)
    source.chmod(0o644)
    locked = shared_dir / "locked"
    locked.mkdir()
    locked.chmod(0o555)
    result = call_as_unprivileged(
        lambda: vb.vornish_file(str(source), str(locked / "out.csv"), str(locked / "bad.csv")))
    assert result == ["OSError", os_text(errno.EACCES)]
    assert list(locked.iterdir()) == []


def test_quarantine_in_a_read_only_folder(shared_dir: Path) -> None:
    if not permissions_enforced(shared_dir):
        pytest.skip("permission bits are not enforced here")
    source = shared_dir / "in.csv"
    source.write_text(SOURCE)
    source.chmod(0o644)
    writable = shared_dir / "open"
    writable.mkdir()
    writable.chmod(0o777)
    locked = shared_dir / "locked"
    locked.mkdir()
    locked.chmod(0o555)
    out = writable / "out.csv"
    result = call_as_unprivileged(
        lambda: vb.vornish_file(str(source), str(out), str(locked / "bad.csv")))
    assert result == ["OSError", os_text(errno.EACCES)]
    assert out.read_text() == CLEAN
    assert list(locked.iterdir()) == []


def test_unreadable_input(shared_dir: Path) -> None:
    if not permissions_enforced(shared_dir):
        pytest.skip("permission bits are not enforced here")
    source = shared_dir / "secret.csv"
    source.write_text(SOURCE)
    source.chmod(0o600)
    out_dir = shared_dir / "open"
    out_dir.mkdir()
    out_dir.chmod(0o777)
    assert call_as_unprivileged(lambda: vb.VornishReader(str(source))) == [
        "PermissionError", os_text(errno.EACCES)]
    assert call_as_unprivileged(lambda: vb.vornish_file(str(source), str(out_dir / "o.csv"))) == [
        "OSError", os_text(errno.EACCES)]
    assert list(out_dir.iterdir()) == []


# --- Inputs that are not regular files ---------------------------------------------

def feed_fifo(fifo: Path, payload: bytes) -> subprocess.Popen:
    # A separate process: the call holds the interpreter lock while it waits
    # for the writer, so a thread of this process could never write.
    writer = textwrap.dedent(
        """
        import sys
        data = sys.stdin.buffer.read()
        with open(sys.argv[1], "wb") as f:
            for i in range(0, len(data), 4096):
                f.write(data[i:i + 4096])
        """)
    proc = subprocess.Popen([sys.executable, "-c", writer, str(fifo)], stdin=subprocess.PIPE)
    assert proc.stdin is not None
    proc.stdin.write(payload)
    proc.stdin.close()
    return proc


@pytest.mark.parametrize("rows", [3, 100_000])
def test_fifo_input_is_read_to_its_end(tmp_path: Path, rows: int) -> None:
    # A FIFO reports size 0; reading must go on to the end of the stream
    # (100 000 rows is well past any first guess of a buffer size).
    payload = "".join(f"{i},name {i},\"q\"\"{i}\"\n" for i in range(rows)).encode()
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)

    writer = feed_fifo(fifo, payload)
    try:
        reader = vb.VornishReader(str(fifo))
    finally:
        assert writer.wait(timeout=60) == 0
    assert len(reader) == rows
    first = next(reader)
    assert first == ["0", "name 0", 'q"0']

    out = tmp_path / "out.csv"
    writer = feed_fifo(fifo, payload)
    try:
        summary = vb.vornish_file(str(fifo), str(out))
    finally:
        assert writer.wait(timeout=60) == 0
    assert summary.total_rows == rows
    assert out.read_bytes() == payload


def test_fifo_whose_writer_stops_early(tmp_path: Path) -> None:
    # The writer goes away in the middle of a row: what arrived is the input.
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    writer = feed_fifo(fifo, b'a,b,c\n1,2,3\n4,"5')
    try:
        reader = vb.VornishReader(str(fifo))
    finally:
        assert writer.wait(timeout=60) == 0
    assert list(reader) == [["a", "b", "c"], ["1", "2", "3"], ["4", "5", ""]]


def test_proc_file_reporting_size_zero_is_read_whole(tmp_path: Path) -> None:
    proc_file = Path("/proc/self/mountinfo")
    if not proc_file.exists() or proc_file.stat().st_size != 0:
        pytest.skip("no /proc file of size 0 here")
    expected = proc_file.read_bytes()
    summary = vb.vornish_file(str(proc_file), str(tmp_path / "out.csv"), delimiter=" ",
                              expected_columns=0)
    # Each line is one row; the exact count may differ by a mount or two
    # between the two reads, but never drops to nothing.
    assert abs(summary.total_rows - expected.count(b"\n")) <= 2
    assert summary.total_rows > 0


# --- An input that changes while it is read -----------------------------------------

CHURN_CHILD = textwrap.dedent(
    """
    import os, sys, time
    import _csv_vornish_backend as vb

    path, out = sys.argv[1], sys.argv[2]
    seen = {"ok": 0, "FileNotFoundError": 0, "OSError": 0}
    # A read racing a truncation may see the cut-off tail as zero bytes
    # (the kernel zeroes it in the page cache), so NUL is the one byte the
    # rows may hold besides those written. A read that spans a rewrite can
    # see more than three fields on a line, which merging joins with ",".
    allowed = set("xyz,\\x00")
    deadline = time.monotonic() + 3
    while time.monotonic() < deadline:
        try:
            for row in vb.VornishReader(path, delimiter=",", expected_columns=3):
                assert len(row) == 3 and set("".join(row)) <= allowed, row
            seen["ok"] += 1
        except FileNotFoundError:
            seen["FileNotFoundError"] += 1
        try:
            summary = vb.vornish_file(path, out, delimiter=",", expected_columns=3)
            assert summary.total_rows == summary.vornished_rows
            seen["ok"] += 1
        except OSError as exc:
            assert type(exc) is OSError and str(exc).endswith("(os error 2)"), exc
            seen["OSError"] += 1
    print(seen)
    """)

CHURNER = textwrap.dedent(
    """
    import os, sys, time
    path = sys.argv[1]
    data = b"x,y,z\\n" * 200_000
    deadline = time.monotonic() + 4
    while time.monotonic() < deadline:
        with open(path, "wb") as f:
            f.write(data)
        with open(path, "r+b") as f:
            f.truncate(len(data) // 3)
        os.unlink(path)
    """)


def test_input_shrinking_and_vanishing_while_read(tmp_path: Path) -> None:
    # Another process rewrites, truncates and removes the input in a loop.
    # Whatever moment a read catches, the call must end: with rows made of
    # the bytes it saw (a row cut short is padded), or with the missing-file
    # error. Run in a child so that a hang fails the test instead of CI.
    path = tmp_path / "churn.csv"
    out = tmp_path / "out.csv"
    churner = subprocess.Popen([sys.executable, "-c", CHURNER, str(path)])
    try:
        child = subprocess.run([sys.executable, "-c", CHURN_CHILD, str(path), str(out)],
                               capture_output=True, text=True, timeout=300)
    finally:
        churner.wait(timeout=60)
    assert child.returncode == 0, child.stderr
    assert "'ok'" in child.stdout
