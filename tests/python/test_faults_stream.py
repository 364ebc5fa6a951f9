"""Faults while csv_vornish.vornish_file streams: the disk filling up, the
input changing size under it, a progress callback that raises, memory
running out on a worker thread.

Each case runs in a child process, so that a crash or a hang fails the test
instead of the suite, and so that the child can set its own limits. Every
case must end with a result or a Python exception, all threads joined and
all files closed.
"""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import _csv_vornish_backend as vb

UNDER_SANITIZER = "asan" in os.environ.get("LD_PRELOAD", "")

# Prints how the call ended, then the native threads and open descriptors
# left over compared with before it.
PRELUDE = textwrap.dedent("""
    import os, resource, sys, threading, time
    import csv_vornish

    def census():
        return len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd"))

    def report(call):
        before = census()
        try:
            summary = call()
            print("ok", summary.total_rows, summary.vornished_rows, summary.quarantined_rows)
        except BaseException as error:
            print("raised", type(error).__name__, error)
        # A joined thread can stay listed for a moment while the kernel
        # finishes tearing it down; give it a second to go.
        deadline = time.monotonic() + 1.0
        after = census()
        while after[0] > before[0] and time.monotonic() < deadline:
            time.sleep(0.01)
            after = census()
        print("threads", after[0] - before[0], "fds", after[1] - before[1])
""")


def run_child(body: str, *args: object, timeout: int = 300) -> list[str]:
    child = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body),
                            *map(str, args)], capture_output=True, text=True, timeout=timeout)
    assert child.returncode == 0, child.stderr[-3000:]
    lines = child.stdout.splitlines()
    assert "threads 0 fds 0" in lines, lines
    return [line for line in lines if not line.startswith("threads ")]


def table(rows: int) -> bytes:
    return b"".join(b'%d,"name %d",x\n' % (i, i) if i % 7 else b"%d,short\n" % i
                    for i in range(rows))


# --- The disk filling up -------------------------------------------------------------

FSIZE = """
source, out, quarantine, threads, limit = sys.argv[1:6]
resource.setrlimit(resource.RLIMIT_FSIZE, (int(limit), resource.RLIM_INFINITY))
report(lambda: csv_vornish.vornish_file(source, out, quarantine or None, fill_ragged_rows=False,
                                        threads=int(threads), chunk_size=4096))
"""


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("target", ["other", "input", "quarantine"])
def test_disk_filling_up(tmp_path: Path, threads: int, target: str) -> None:
    # "quarantine": the output fits, the quarantined rows (every row short
    # but the first) do not.
    data = (b"a,b,c\n" + b"1,2\n" * 60_000) if target == "quarantine" else table(40_000)
    source = tmp_path / "in.csv"
    source.write_bytes(data)
    out = source if target == "input" else tmp_path / "out.csv"
    quarantine = tmp_path / "q.csv" if target == "quarantine" else ""
    lines = run_child(FSIZE, source, out, quarantine, threads, 100_000)
    assert lines == ["raised OSError File too large (os error 27)"]
    assert source.read_bytes() == data
    left = sorted(p.name for p in tmp_path.iterdir())
    # No temporary output or spill file stays; a failed run leaves no
    # quarantine file.
    assert left == (["in.csv"] if target == "input" else ["in.csv", "out.csv"])
    if target == "other":
        written = (tmp_path / "out.csv").read_bytes()
        assert 0 < len(written) <= 100_000


# --- The input changing size while it streams ----------------------------------------

RESIZE = """
source, out, threads, action = sys.argv[1:5]
calls = [0]

def progress(done, total):
    calls[0] += 1
    if calls[0] != 3:
        return
    if action == "truncate-half":
        os.truncate(source, os.path.getsize(source) // 2)
    elif action == "truncate-empty":
        os.truncate(source, 0)
    elif action == "truncate-mid-row":
        os.truncate(source, done + 3)
    elif action == "append-rows":
        with open(source, "ab") as f:
            f.write(b"9,appended,z\\n" * 20_000)
    elif action == "append-open-quote":
        with open(source, "ab") as f:
            f.write(b'9,"never closed\\n' * 1000)

report(lambda: csv_vornish.vornish_file(source, out, threads=int(threads), chunk_size=2048,
                                        progress=progress))
"""


@pytest.mark.parametrize("threads", [1, 2, 4])
@pytest.mark.parametrize("action", ["truncate-half", "truncate-empty", "truncate-mid-row",
                                    "append-rows", "append-open-quote"])
def test_input_changing_size_while_it_streams(tmp_path: Path, threads: int, action: str) -> None:
    source, out = tmp_path / "in.csv", tmp_path / "out.csv"
    data = table(20_000)
    source.write_bytes(data)
    reference = tmp_path / "reference.csv"
    vb.vornish_file(str(source), str(reference))
    expected = reference.read_bytes()
    reference.unlink()
    lines = run_child(RESIZE, source, out, threads, action, timeout=120)
    assert len(lines) == 1
    outcome = lines[0].split()
    if outcome[0] == "raised":
        assert outcome[1] == "OSError", lines
        return
    total, kept, quarantined = map(int, outcome[1:])
    assert total == kept + quarantined
    written = out.read_bytes()
    # The rows before the change came out as they were.
    assert written[:1000] == expected[:1000]
    if action.startswith("truncate"):
        assert total <= 20_000
    else:
        assert total >= 20_000 or total == 0


# --- A progress callback that raises ---------------------------------------------------

RAISING = """
source, out, threads, when, exception = sys.argv[1:6]
calls = [0]

def progress(done, total):
    calls[0] += 1
    if calls[0] == int(when):
        raise {"KeyboardInterrupt": KeyboardInterrupt, "LookupError": LookupError}[exception](
            "from progress")

report(lambda: csv_vornish.vornish_file(source, out, "", threads=int(threads), chunk_size=4096,
                                        progress=progress))
print("calls", calls[0])
"""


@pytest.mark.parametrize("threads", [1, 2, 4])
@pytest.mark.parametrize("when", [1, 5])
@pytest.mark.parametrize("exception", ["LookupError", "KeyboardInterrupt"])
@pytest.mark.parametrize("over_input", [False, True])
def test_progress_that_raises_stops_the_run(tmp_path: Path, threads: int, when: int,
                                            exception: str, over_input: bool) -> None:
    source = tmp_path / "in.csv"
    data = table(30_000)
    source.write_bytes(data)
    out = source if over_input else tmp_path / "out.csv"
    # An empty quarantine path is refused only once the output is complete,
    # which the run never reaches.
    lines = run_child(RAISING, source, out, threads, when, exception)
    assert lines == [f"raised {exception} from progress", f"calls {when}"]
    assert source.read_bytes() == data
    assert sorted(p.name for p in tmp_path.iterdir()) == (
        ["in.csv"] if over_input else ["in.csv", "out.csv"])


# --- Memory running out on a worker thread --------------------------------------------

MEMORY = """
source, out, threads = sys.argv[1:4]
with open("/proc/self/status") as status:
    used = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (used + (160 << 20), used + (160 << 20)))
report(lambda: csv_vornish.vornish_file(source, out, threads=int(threads), chunk_size=1 << 16))
"""


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer runtime needs an unlimited address space")
@pytest.mark.parametrize("threads", [1, 2])
def test_memory_running_out_on_a_huge_row(tmp_path: Path, threads: int) -> None:
    # A few rows, then one 300 MB row (one field): no window can hold it.
    source, out = tmp_path / "in.csv", tmp_path / "out.csv"
    with source.open("wb") as f:
        f.write(table(5000))
        block = b"y" * (1 << 20)
        for _ in range(300):
            f.write(block)
        f.write(b"\n1,2,3\n")
    lines = run_child(MEMORY, source, out, threads)
    assert len(lines) == 1 and lines[0].startswith("raised MemoryError"), lines
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv", "out.csv"]


# --- A parallel Arrow stream dropped half-read ---------------------------------------

ARROW_DROPPED = """
source, helpers, threads, taken = sys.argv[1:5]
sys.path.insert(0, helpers)
from arrow_capsule import read_batches

def call():
    stream = csv_vornish.read_arrow(source, threads=int(threads), chunk_size=4096)
    capsule = stream.__arrow_c_stream__()
    assert len(read_batches(capsule, limit=int(taken))) == int(taken)
    del capsule, stream
    return csv_vornish.open(source).summary

report(call)
"""


@pytest.mark.parametrize("taken", [0, 1, 5])
@pytest.mark.parametrize("threads", [2, 4])
def test_a_parallel_arrow_stream_dropped_half_read_joins_its_threads(tmp_path: Path, threads: int,
                                                                       taken: int) -> None:
    source = tmp_path / "in.csv"
    source.write_bytes(b"a,b,c\n" + table(200_000))
    lines = run_child(ARROW_DROPPED, source, Path(__file__).parent, threads, taken)
    assert lines == ["ok 200001 200001 0"]
