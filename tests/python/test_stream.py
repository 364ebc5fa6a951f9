"""csv_vornish.vornish_file, the streaming and multi-threaded file repair.

Its results are the backend's byte for byte whatever the chunk size and the
thread count; what differs is that it lets go of the interpreter lock, can
be interrupted, reports progress and holds only a few chunks in memory.
"""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _csv_vornish_backend as vb
import csv_vornish
from test_roundtrip import DAMAGED

UNDER_SANITIZER = "asan" in os.environ.get("LD_PRELOAD", "")

OPTIONS = st.fixed_dictionaries({
    "delimiter": st.sampled_from([None, ",", ";", "\t", "|"]),
    "quote_char": st.sampled_from(['"', "'"]),
    "fill_ragged_rows": st.booleans(),
    "merge_overflow": st.booleans(),
    "expected_columns": st.sampled_from([None, 0, 1, 3]),
    "repair_quotes": st.booleans(),
})


def both(tmp_path: Path, data: bytes, options: dict, **stream) -> tuple:
    """Runs the backend and the front on `data`; returns both results."""
    source = tmp_path / "in.csv"
    source.write_bytes(data)
    results = []
    for name, call in [("backend", vb.vornish_file),
                       ("front", lambda *a, **k: csv_vornish.vornish_file(*a, **k, **stream))]:
        out, quarantine = tmp_path / f"{name}.csv", tmp_path / f"{name}.q.csv"
        summary = call(str(source), str(out), str(quarantine), **options)
        results.append((summary.to_dict(), out.read_bytes(), quarantine.read_bytes()))
    return tuple(results)


@settings(max_examples=500, deadline=None, database=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.lists(DAMAGED, max_size=6).map(b"\n".join), options=OPTIONS,
       chunk_size=st.integers(1, 40), threads=st.integers(1, 4))
def test_same_results_as_the_backend(tmp_path: Path, data: bytes, options: dict, chunk_size: int,
                                     threads: int) -> None:
    if options["delimiter"] == options["quote_char"]:
        return
    backend, front = both(tmp_path, data, options, chunk_size=chunk_size, threads=threads)
    assert front == backend


def damaged_table(rows: int) -> bytes:
    """Rows that put quoted line ends, CR LF pairs, stray quotes and ragged
    widths at every distance from a chunk edge."""
    pieces = [b'1,"two\nlines",3\r\n', b"4,5\n", b'6,"x""y",7,8\r', b'"open ""q" z,9,10\n',
              b"\xef\xbb\xbfa,b,c\n", b'11,"12\r\n13",14\n', b"\n", b'"a"b"c,d,e\n']
    return b"".join(pieces[(i * 7 + i // 3) % len(pieces)] * (1 + i % 3) for i in range(rows))


@pytest.mark.parametrize("chunk_size", [1, 7, 64, 1000, 65536])
@pytest.mark.parametrize("threads", [1, 2, 4])
def test_many_chunks_same_results(tmp_path: Path, chunk_size: int, threads: int) -> None:
    data = damaged_table(3000 if chunk_size >= 64 else 300)
    options = {"fill_ragged_rows": False, "merge_overflow": False}
    backend, front = both(tmp_path, data, options, chunk_size=chunk_size, threads=threads)
    assert front == backend
    assert backend[0]["quarantined_rows"] > 0


@pytest.mark.parametrize("threads", [1, 2])
def test_chunks_read_in_several_pieces_same_results(tmp_path: Path, threads: int) -> None:
    # A chunk far larger than one read: rows, quoted line ends and verbatim
    # copies then straddle the pieces a chunk is read in.
    data = damaged_table(100_000)
    backend, front = both(tmp_path, data, {"fill_ragged_rows": False, "merge_overflow": False},
                          chunk_size=1 << 20, threads=threads)
    assert front == backend
    assert len(data) > 2 << 20


def shaped_table(rows: int) -> bytes:
    """Rows that stand in the input as written but are short or long, so
    they are padded or merged: merged fields unquoted, quoted, or not ASCII;
    kept fields quoted around a delimiter; LF and CR LF."""
    pieces = [b"1,2\n", b'"a,b",c\r\n', b"5,6,7,8,9,10\n", b'x,"y,z",w,v,u\n',
              b'p,q,r,s,"t,u"\n', b"\xc3\xa9,\xc3\xa8,1,2,\xc3\xa0,3\r\n", b"only\n",
              b"1,2,3,4\n", b'"q,1","q,2","q,3","q,4"\n']
    return b"h1,h2,h3,h4\n" + b"".join(pieces[(i * 5 + i // 4) % len(pieces)] for i in range(rows))


@pytest.mark.parametrize("chunk_size", [1, 50, 65536])
@pytest.mark.parametrize("threads", [1, 2, 4])
def test_padded_and_merged_rows_same_results(tmp_path: Path, chunk_size: int, threads: int) -> None:
    backend, front = both(tmp_path, shaped_table(2000), {"expected_columns": 4},
                          chunk_size=chunk_size, threads=threads)
    assert front == backend
    assert backend[0]["repaired_rows"] > 1000


@pytest.mark.parametrize("data", [
    b"",
    b"\xef\xbb\xbf",
    b'a,b\n"never closed\n1,2\n3,4\n' * 50,
    b"a,b\r" * 5000,
    b"x" * 100_000 + b",y\n1,2\n",
], ids=["empty", "bom-only", "open-quote-to-end", "cr-only", "long-first-row"])
@pytest.mark.parametrize("threads", [1, 3])
def test_edge_inputs_same_results(tmp_path: Path, data: bytes, threads: int) -> None:
    backend, front = both(tmp_path, data, {"merge_overflow": False}, chunk_size=100,
                          threads=threads)
    assert front == backend


def test_rows_in_the_first_hundred_settle_the_dialect_past_the_first_chunk(tmp_path: Path) -> None:
    # The delimiter and the width only win on rows far past the first read.
    data = (b"a" * 500 + b"\n") * 40 + b"1;2;3\n" * 90
    backend, front = both(tmp_path, data, {}, chunk_size=16, threads=2)
    assert front == backend
    assert (backend[0]["detected_delimiter"], backend[0]["inferred_columns"]) == (";", 3)


# --- The arguments -----------------------------------------------------------------


@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    (("in.csv",), {}),
    ((1, 2), {}),
    (("a", "b", None, None, '"', True, True, None, True, "extra"), {}),
    (("a", "b"), {"input_path": "c"}),
    (("a", "b"), {"quote_char": None}),
    (("a", "b"), {"fill_ragged_rows": 1}),
    (("a", "b"), {"expected_columns": -1}),
    (("a", "b"), {"expected_columns": 2**32}),
    (("a", "b"), {"expected_columns": 3.0}),
    (("a", "b"), {"nonsense": 1}),
])
def test_shared_parameters_fail_as_in_the_backend(args: tuple, kwargs: dict) -> None:
    with pytest.raises(BaseException) as backend:
        vb.vornish_file(*args, **kwargs)
    with pytest.raises(BaseException) as front:
        csv_vornish.vornish_file(*args, **kwargs)
    assert type(front.value) is type(backend.value)
    assert str(front.value) == str(backend.value)
    assert getattr(front.value, "__notes__", None) == getattr(backend.value, "__notes__", None)


@pytest.mark.parametrize("kwargs, error, text", [
    ({"threads": 0}, ValueError, "threads must be at least 1, got 0"),
    ({"chunk_size": -5}, ValueError, "chunk_size must be at least 1, got -5"),
    ({"threads": "2"}, TypeError, "'str' object cannot be interpreted as an integer"),
    ({"progress": 3}, TypeError, "'int' object is not callable"),
])
def test_own_parameters_are_checked(tmp_path: Path, kwargs: dict, error: type, text: str) -> None:
    with pytest.raises(error, match=text) as raised:
        csv_vornish.vornish_file(tmp_path / "in.csv", tmp_path / "out.csv", **kwargs)
    assert raised.value.__notes__ == [f"while processing '{next(iter(kwargs))}'"]
    assert not (tmp_path / "out.csv").exists()


def test_the_new_parameters_are_keyword_only() -> None:
    with pytest.raises(TypeError, match="takes from 2 to 9 positional arguments but 10 were given"):
        csv_vornish.vornish_file("a", "b", None, None, '"', True, True, None, True, 2)


def test_missing_input_is_a_plain_os_error_and_creates_nothing(tmp_path: Path) -> None:
    out = tmp_path / "out.csv"
    with pytest.raises(OSError) as front:
        csv_vornish.vornish_file(tmp_path / "missing.csv", out)
    with pytest.raises(OSError) as backend:
        vb.vornish_file(str(tmp_path / "missing.csv"), str(out))
    assert type(front.value) is OSError and str(front.value) == str(backend.value)
    assert not out.exists()


def test_bad_quarantine_path_after_a_complete_output(tmp_path: Path) -> None:
    source = tmp_path / "in.csv"
    source.write_bytes(b"a,b\n1,2\n3,4,5\n")
    with pytest.raises(OSError) as raised:
        csv_vornish.vornish_file(source, tmp_path / "out.csv", "", threads=2)
    assert type(raised.value) is OSError and str(raised.value).endswith("(os error 2)")
    assert (tmp_path / "out.csv").read_bytes() == b'a,b\n1,2\n3,"4,5"\n'


# --- Progress, signals and other threads ---------------------------------------------


def test_progress_grows_to_the_total(tmp_path: Path) -> None:
    source = tmp_path / "in.csv"
    source.write_bytes(damaged_table(2000))
    for threads in (1, 2):
        calls: list[tuple[int, int]] = []
        csv_vornish.vornish_file(source, tmp_path / "out.csv", threads=threads, chunk_size=4096,
                                 progress=lambda done, total: calls.append((done, total)))
        size = source.stat().st_size
        assert len(calls) > 3
        assert [done for done, _ in calls] == sorted(done for done, _ in calls)
        assert {total for _, total in calls} == {size}
        assert calls[-1] == (size, size)


def test_an_exception_from_progress_stops_the_run(tmp_path: Path) -> None:
    source = tmp_path / "in.csv"
    source.write_bytes(b"a,b\n" * 100_000)

    def progress(done: int, total: int) -> None:
        raise LookupError(done)

    with pytest.raises(LookupError):
        csv_vornish.vornish_file(source, tmp_path / "out.csv", threads=2, chunk_size=4096,
                                 progress=progress)


class Feeder(threading.Thread):
    """Writes rows into a pipe from a Python thread until told to stop (or,
    so that nothing can hang, for at most a minute)."""

    def __init__(self, path: Path, rows: int | None) -> None:
        super().__init__(daemon=True)
        self.path, self.rows, self.stop = path, rows, threading.Event()

    def run(self) -> None:
        # Unbuffered, so that closing after the reader has gone has nothing
        # left to flush into the broken pipe.
        deadline = time.monotonic() + 60
        try:
            with open(self.path, "wb", buffering=0) as pipe:
                written = 0
                while (not self.stop.wait(0.001) and time.monotonic() < deadline
                       and (self.rows is None or written < self.rows)):
                    pipe.write(b"1,2,3\n" * 1000)
                    written += 1000
        except BrokenPipeError:
            return


def test_other_threads_run_during_a_call(tmp_path: Path) -> None:
    # Reading the pipe only ends if the feeding thread gets to run.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    feeder = Feeder(fifo, 50_000)
    feeder.start()
    summary = csv_vornish.vornish_file(fifo, tmp_path / "out.csv", chunk_size=65536)
    feeder.join()
    assert summary.total_rows == 50_000
    assert (tmp_path / "out.csv").read_bytes() == b"1,2,3\n" * 50_000


@pytest.mark.parametrize("source", ["pipe", "file"])
def test_sigint_raises_keyboard_interrupt(tmp_path: Path, source: str) -> None:
    feeder = None
    if source == "pipe":
        path = tmp_path / "fifo"
        os.mkfifo(path)
        feeder = Feeder(path, None)  # never ends by itself
        feeder.start()
    else:
        # Large enough that the run is still going when the signal comes,
        # however fast the engine gets.
        path = tmp_path / "in.csv"
        with path.open("wb") as f:
            for _ in range(600):
                f.write(b'1,"x\ny",3\n' * 50_000)
    open_fds = len(os.listdir("/proc/self/fd"))
    threads = threading.active_count()
    # A process started in the background by a shell without job control
    # begins with SIGINT ignored, and Python then keeps it ignored: Python's
    # own handler is set (and the signals unblocked) for the test, so that it
    # sees what a user's Ctrl-C does however the tests were started.
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGALRM, signal.SIGINT})
    previous_int = signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.setitimer(signal.ITIMER_REAL, 0.1)
    previous = signal.signal(signal.SIGALRM, lambda *_: signal.raise_signal(signal.SIGINT))
    try:
        with pytest.raises(KeyboardInterrupt):
            csv_vornish.vornish_file(path, tmp_path / "out.csv", threads=2, chunk_size=65536)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        signal.signal(signal.SIGINT, previous_int)
        if feeder is not None:
            feeder.stop.set()
            feeder.join()
    assert threading.active_count() == threads - (feeder is not None)
    assert len(os.listdir("/proc/self/fd")) == open_fds  # every file closed


# --- Output over the input, and memory ---------------------------------------------


def test_output_over_the_input_keeps_its_mode(tmp_path: Path) -> None:
    source = tmp_path / "in.csv"
    data = damaged_table(500)
    source.write_bytes(data)
    source.chmod(0o640)
    expected = tmp_path / "expected.csv"
    vb.vornish_file(str(source), str(expected))
    csv_vornish.vornish_file(source, source, threads=2, chunk_size=512)
    assert source.read_bytes() == expected.read_bytes()
    assert source.stat().st_mode & 0o777 == 0o640
    assert sorted(p.name for p in tmp_path.iterdir()) == ["expected.csv", "in.csv"]


FSIZE_CHILD = """
import resource, sys
import csv_vornish
source = sys.argv[1]
resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, resource.RLIM_INFINITY))
try:
    csv_vornish.vornish_file(source, source, chunk_size=4096)
except OSError as error:
    print(type(error).__name__, error)
"""


def test_failing_write_over_the_input_leaves_it_intact(tmp_path: Path) -> None:
    source = tmp_path / "in.csv"
    data = b'1,"a",2\n' * 50_000  # the output (unquoted) is smaller but still over the limit
    source.write_bytes(data)
    child = subprocess.run([sys.executable, "-c", FSIZE_CHILD, str(source)], capture_output=True,
                           text=True, timeout=300)
    assert child.returncode == 0, child.stderr
    assert child.stdout.startswith("OSError File too large (os error 27)")
    assert source.read_bytes() == data
    assert [p.name for p in tmp_path.iterdir()] == ["in.csv"]


ADDRESS_SPACE_CHILD = """
import resource, sys
import csv_vornish
source, out, quarantine = sys.argv[1:4]
with open("/proc/self/status") as status:
    used = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
limit = used + (200 << 20)
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
summary = csv_vornish.vornish_file(source, out, quarantine, fill_ragged_rows=False, threads=2)
print(summary.total_rows, summary.quarantined_rows, limit)
"""


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer runtime needs an unlimited address space")
def test_file_larger_than_the_address_space_limit(tmp_path: Path) -> None:
    source, out, quarantine = tmp_path / "big.csv", tmp_path / "out.csv", tmp_path / "q.csv"
    block = b"10,20,30\n" * 9_999 + b"short,row\n"
    blocks = (400 << 20) // len(block)
    with source.open("wb") as f:
        for _ in range(blocks):
            f.write(block)
    child = subprocess.run([sys.executable, "-c", ADDRESS_SPACE_CHILD, str(source), str(out),
                            str(quarantine)], capture_output=True, text=True, timeout=600)
    assert child.returncode == 0, child.stderr[-3000:]
    total, quarantined, limit = map(int, child.stdout.split())
    assert source.stat().st_size > limit
    assert (total, quarantined) == (blocks * 10_000, blocks)
    assert out.stat().st_size == source.stat().st_size - blocks * len(b"short,row\n")
    with quarantine.open("rb") as q:
        assert q.readline() == b"line,reason,raw_content\n"
        assert q.readline() == b'10001,"Row has too few columns (expected 3)","short,row"\n'


@pytest.mark.parametrize("threads", [1, 2])
def test_many_quarantined_rows_wait_in_a_temporary_file(tmp_path: Path, threads: int) -> None:
    # Several MB of quarantine records: more than are held in memory.
    data = b"a,b,c\n" + b"1,2\n3,4,5\n" * 150_000
    backend, front = both(tmp_path, data, {"fill_ragged_rows": False}, threads=threads,
                          chunk_size=100_000)
    assert front == backend
    assert len(backend[2]) > 4 << 20
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "backend.csv", "backend.q.csv", "front.csv", "front.q.csv", "in.csv"]


# --- Memory under slow consumers and slow producers --------------------------

MEMORY_CHILD = """
import sys, time
import csv_vornish

def status(key):
    with open("/proc/self/status") as lines:
        return next(int(line.split()[1]) * 1024 for line in lines if line.startswith(key))

source, out, threads, chunk, trickle = sys.argv[1], sys.argv[2], *map(int, sys.argv[3:6])

class Trickle:
    # A few KB per read, now and then a pause: a slow network or pipe.
    def __init__(self, f):
        self.f, self.reads = f, 0
    def read(self, n=-1):
        self.reads += 1
        if self.reads % 256 == 0:
            time.sleep(0.001)
        return self.f.read(min(n, 3000) if n > 0 else 3000)
    def readable(self):
        return True

before = status("VmRSS:")
with open(source, "rb") as f:
    summary = csv_vornish.vornish_file(Trickle(f) if trickle else source, out, threads=threads,
                                       chunk_size=chunk)
print(summary.total_rows, status("VmHWM:") - before)
"""

LONG_ROW = 1 << 20


def _memory_input(path: Path) -> int:
    """About 40 MB of rows, a few damaged, one of them 1 MiB long."""
    block = b"12,hello,\"quoted, field\",3.5\n" * 3000 + b"7,short\n"
    with path.open("wb") as f:
        f.write(b"a,b,c,d\n")
        for i in range(1400):
            f.write(block)
            if i == 700:
                f.write(b"1,\"" + b"x" * LONG_ROW + b"\",3,4\n")
    return 1400 * 3001 + 2


@pytest.mark.skipif(UNDER_SANITIZER, reason="memory bounds do not hold under ASan")
@pytest.mark.parametrize(("threads", "trickle"), [(1, False), (2, False), (2, True)],
                         ids=["one-thread", "two-threads", "trickling-input"])
def test_memory_stays_bounded_behind_a_slowly_read_output_pipe(tmp_path: Path, threads: int,
                                                               trickle: bool) -> None:
    source, pipe = tmp_path / "in.csv", tmp_path / "out.pipe"
    rows = _memory_input(source)
    os.mkfifo(pipe)
    chunk = 1 << 20
    child = subprocess.Popen([sys.executable, "-c", MEMORY_CHILD, str(source), str(pipe),
                              str(threads), str(chunk), str(int(trickle))],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    written = 0
    with open(pipe, "rb", buffering=0) as reader:
        # A consumer far slower than the repair: 64 KiB at a time with pauses
        # (about 0.3 s per 40 MB in all), so the producers always run ahead.
        while block := reader.read(64 << 10):
            written += len(block)
            if written % (1 << 20) < (64 << 10):
                time.sleep(0.005)
    out, err = child.communicate(timeout=120)
    assert child.returncode == 0, err.decode()[-3000:]
    total, grown = map(int, out.split())
    assert total == rows
    assert written > 35 << 20
    # Chunks in flight (two per thread, each read and written), the chunk
    # being committed and the longest row, several times over for the
    # buffers it passes through; far below the 40 MB that went through.
    bound = (2 * threads + 2) * 2 * chunk + 6 * LONG_ROW + (8 << 20)
    assert grown < bound, (grown, bound)
