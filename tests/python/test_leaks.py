"""Reference leaks and memory growth at every entry point.

Each case calls one entry point many thousands of times, on a successful
path or on one of its failure paths (every binding error, every conversion
error, every file error), after a warm-up. Leaked Python objects show up in
the interpreter's traced memory; leaked native memory shows up in the
process's resident size. Both must stay flat. The classes' garbage
collector hooks (traverse, clear, dealloc) are driven through collections
of unreachable cycles.
"""

from __future__ import annotations

import gc
import importlib.util
import os
import sys
import tracemalloc
from pathlib import Path
from typing import Callable

import pytest

import _csv_vornish_backend as vb
from arrow_capsule import read_batches

np = pytest.importorskip("numpy")

# Under the address sanitizer freed memory is held back in quarantine, so
# the resident size grows whatever happens; only traced memory tells then.
UNDER_SANITIZER = "asan" in os.environ.get("LD_PRELOAD", "")

CALLS = 5000
WARM_UP = 2000
# A leak costs at least one small allocation per call (16 bytes or more);
# half of that per call is far above any noise from caches and arenas.
BYTES_PER_CALL = 8
ROUNDS = 3

SOURCE = "id,name,city\n1,Ada,Paris\n2,Bob\n3,Cy,Rome,Italy\n\"4\",\"Di\"x\",Oslo\n"


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def growth(call: Callable[[], object], calls: int = CALLS) -> tuple[int, int]:
    """(traced Python bytes, resident bytes) gained over `calls` calls."""
    for _ in range(WARM_UP):
        call()
    gc.collect()
    traced_before = tracemalloc.get_traced_memory()[0]
    rss_before = rss_bytes()
    for _ in range(calls):
        call()
    gc.collect()
    resident = 0 if UNDER_SANITIZER else rss_bytes() - rss_before
    return tracemalloc.get_traced_memory()[0] - traced_before, resident


def expect(exception: type[BaseException], func: Callable, *args, **kwargs) -> Callable[[], None]:
    def call() -> None:
        try:
            func(*args, **kwargs)
        except exception:
            return
        raise AssertionError(f"{func} did not raise {exception.__name__}")
    return call


@pytest.fixture(scope="module", autouse=True)
def tracing():
    tracemalloc.start()
    yield
    tracemalloc.stop()


@pytest.fixture(scope="module")
def files(tmp_path_factory) -> dict[str, str]:
    d = tmp_path_factory.mktemp("leaks")
    (d / "in.csv").write_text(SOURCE)
    (d / "empty.csv").write_text("")
    (d / "a-dir").mkdir()
    return {name: str(d / name) for name in
            ("in.csv", "empty.csv", "a-dir", "missing.csv")}


class Index:
    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


class BadIndex:
    def __index__(self) -> int:
        raise ZeroDivisionError("no index")


def fake_numpy_bool(truth: Callable[[object], bool] | None) -> object:
    # Seen by the switch conversion as NumPy's boolean scalar type.
    namespace = {} if truth is None else {"__bool__": truth}
    cls = type("bool_", (), namespace)
    cls.__module__ = "numpy"
    return cls()


def raise_value_error(self) -> bool:
    raise ValueError("no truth")


def reader_walk(path: str) -> Callable[[], None]:
    def call() -> None:
        with vb.open(path, fill_ragged_rows=False) as reader:
            assert iter(reader) is reader
            rows = list(reader)
            assert len(rows) == len(reader)
            assert next(reader, None) is None
            summary = reader.summary
            summary.to_dict()
            repr(summary)
            for name in ("total_rows", "vornished_rows", "repaired_rows", "quarantined_rows",
                         "detected_delimiter", "inferred_columns"):
                getattr(summary, name)
            reader.__exit__(ValueError, ValueError("x"), None)
    return call


def arrow_walk(path: str) -> Callable[[], None]:
    def call() -> None:
        stream = vb._read_arrow(path, expected_columns=0, fill_ragged_rows=False)
        stream.column_names
        read_batches(stream.__arrow_c_stream__())
        stream.summary.to_dict()
    return call


def arrow_walk_audit(path: str, audit: str) -> Callable[[], None]:
    def call() -> None:
        stream = vb._read_arrow(path, expected_columns=3, audit=audit, threads=2, chunk_size=5)
        read_batches(stream.__arrow_c_stream__())
    return call


def audit_walk(path: str) -> Callable[[], None]:
    def call() -> None:
        stream = vb._read_arrow(path, expected_columns=3, audit=True)
        read_batches(stream.__arrow_c_stream__())
        stream.actions
        records = stream.audit
        records.__arrow_c_schema__()
        read_batches(records.__arrow_c_stream__())
        records.__arrow_c_stream__()  # dropped unread
    return call


def consumed(path: str) -> object:
    stream = vb._read_arrow(path)
    stream.__arrow_c_stream__()
    return stream


def _stop_progress(done: int, total: int) -> None:
    raise LookupError(done)


def cases(f: dict[str, str]) -> list[tuple[str, Callable[[], object]]]:
    # Outputs go to /dev/null: rewriting a real file thousands of times
    # measures the file system, not this module.
    src, out, bad = f["in.csv"], os.devnull, os.devnull
    reader = vb.VornishReader(src)
    summary = reader.summary
    return [
        # Successful paths.
        ("sniff", lambda: vb.sniff("a;b;c\n1;2;3\n")),
        ("sniff-empty", lambda: vb.sniff("")),
        ("vornish_file", lambda: vb.vornish_file(src, out)),
        ("vornish_file-quarantine",
         lambda: vb.vornish_file(src, out, bad, ";", "'", False, False, 3, False)),
        ("vornish_file-keywords",
         lambda: vb.vornish_file(input_path=src, output_path=out, quarantine_path=None,
                                 delimiter="", quote_char="", fill_ragged_rows=np.bool_(True),
                                 merge_overflow=True, expected_columns=Index(2),
                                 repair_quotes=np.True_)),
        ("vornish_file-empty", lambda: vb.vornish_file(f["empty.csv"], out, bad)),
        ("stream", lambda: vb._vornish_file(src, out, bad, threads=1)),
        ("stream-threads-progress",
         lambda: vb._vornish_file(src, out, bad, None, '"', False, False, threads=2, chunk_size=8,
                                  progress=lambda done, total: None)),
        ("stream-progress-raises", expect(LookupError, vb._vornish_file, src, out, bad,
                                          chunk_size=8, progress=_stop_progress)),
        ("stream-bad-threads", expect(ValueError, vb._vornish_file, src, out, threads=0)),
        ("stream-not-found", expect(OSError, vb._vornish_file, f["missing.csv"], out, threads=2)),
        ("reader-walk", reader_walk(src)),
        ("reader-empty", lambda: list(vb.VornishReader(f["empty.csv"]))),
        ("reader-len-summary", lambda: (len(reader), reader.summary, reader.__enter__())),
        ("summary-methods", lambda: (summary.to_dict(), repr(summary), str(summary),
                                     summary.detected_delimiter)),
        # Binding errors, for each kind of callable.
        ("sniff-too-many", expect(TypeError, vb.sniff, "a", "b")),
        ("sniff-missing", expect(TypeError, vb.sniff)),
        ("sniff-unknown-keyword", expect(TypeError, vb.sniff, text="x")),
        ("sniff-twice", expect(TypeError, vb.sniff, "a", sample="b")),
        ("vornish_file-missing-two", expect(TypeError, vb.vornish_file)),
        ("vornish_file-too-many", expect(TypeError, vb.vornish_file, *["x"] * 10)),
        ("vornish_file-twice", expect(TypeError, vb.vornish_file, "a", "b", input_path="c")),
        ("open-unknown-keyword", expect(TypeError, vb.open, src, bogus=1)),
        ("reader-missing", expect(TypeError, vb.VornishReader)),
        ("reader-twice", expect(TypeError, vb.VornishReader, src, file_path=src)),
        ("exit-too-many", expect(TypeError, reader.__exit__, 1, 2, 3, 4)),
        ("exit-unknown-keyword", expect(TypeError, reader.__exit__, tb=None)),
        # Conversion errors, for each kind.
        ("text-bytes", expect(TypeError, vb.sniff, b"a,b")),
        ("text-none", expect(TypeError, vb.vornish_file, None, out)),
        ("text-surrogate", expect(UnicodeEncodeError, vb.sniff, "a\udc80b")),
        ("optional-text-int", expect(TypeError, vb.vornish_file, src, out, 5)),
        ("optional-text-surrogate", expect(UnicodeEncodeError, vb.vornish_file, src, out, "\ud800")),
        ("delimiter-bytes", expect(TypeError, vb.open, src, delimiter=b",")),
        ("quote-none", expect(TypeError, vb.open, src, quote_char=None)),
        ("switch-int", expect(TypeError, vb.open, src, fill_ragged_rows=1)),
        ("switch-fake-numpy-no-bool", expect(TypeError, vb.open, src,
                                             merge_overflow=fake_numpy_bool(None))),
        ("switch-fake-numpy-raises", expect(ValueError, vb.open, src,
                                            repair_quotes=fake_numpy_bool(raise_value_error))),
        ("count-float", expect(TypeError, vb.open, src, expected_columns=3.0)),
        ("count-negative", expect(OverflowError, vb.open, src, expected_columns=-1)),
        ("count-32-bit", expect(OverflowError, vb.open, src, expected_columns=2**32)),
        ("count-64-bit", expect(OverflowError, vb.open, src, expected_columns=2**64)),
        ("count-index-raises", expect(ZeroDivisionError, vb.open, src, expected_columns=BadIndex())),
        ("count-index-negative", expect(OverflowError, vb.open, src, expected_columns=Index(-5))),
        # File errors.
        ("reader-not-found", expect(FileNotFoundError, vb.VornishReader, f["missing.csv"])),
        ("reader-directory", expect(IsADirectoryError, vb.open, f["a-dir"])),
        ("reader-nul", expect(OSError, vb.VornishReader, "a\x00b")),
        ("vornish_file-not-found", expect(OSError, vb.vornish_file, f["missing.csv"], out)),
        ("vornish_file-output-dir", expect(OSError, vb.vornish_file, src, f["a-dir"])),
        ("vornish_file-empty-quarantine", expect(OSError, vb.vornish_file, src, out, "")),
        ("vornish_file-nul", expect(OSError, vb.vornish_file, src, "o\x00ut")),
        # Errors on the objects themselves.
        ("summary-instantiate", expect(TypeError, vb.VornishSummary)),
        ("summary-set", expect(AttributeError, setattr, summary, "total_rows", 5)),
        ("summary-to_dict-argument", expect(TypeError, summary.to_dict, 1)),
        ("reader-set", expect(AttributeError, setattr, reader, "summary", None)),
        ("reader-new-attribute", expect(AttributeError, setattr, reader, "other", 1)),
        # The Arrow stream: never read, read whole, misused.
        ("read_arrow-never-read", lambda: vb._read_arrow(src)),
        ("read_arrow-capsule-dropped", lambda: vb._read_arrow(src).__arrow_c_stream__()),
        ("read_arrow-schema", lambda: vb._read_arrow(src, expected_columns=0).__arrow_c_schema__()),
        ("read_arrow-walk", arrow_walk(src)),
        ("read_arrow-empty", arrow_walk(f["empty.csv"])),
        ("read_arrow-summary-early", expect(RuntimeError, getattr, vb._read_arrow(src), "summary")),
        ("read_arrow-second-use", expect(RuntimeError, consumed(src).__arrow_c_stream__)),
        ("read_arrow-missing", expect(TypeError, vb._read_arrow)),
        ("read_arrow-threads", expect(ValueError, vb._read_arrow, src, threads=0)),
        ("read_arrow-skip-rows", expect(ValueError, vb._read_arrow, src, skip_rows=-1)),
        ("read_arrow-not-found", expect(FileNotFoundError, vb._read_arrow, f["missing.csv"])),
        ("read_arrow-directory", expect(IsADirectoryError, vb._read_arrow, f["a-dir"])),
        # The repair record on every front entry point, and its errors.
        ("record-vornish_file", lambda: vb._vornish_file(src, out, expected_columns=3, audit=bad,
                                                         threads=2, chunk_size=7)),
        ("record-open", lambda: vb._open(src, expected_columns=3, audit=bad)),
        ("record-open-count", lambda: vb._open(src, expected_columns=3, record=True)),
        ("record-read_arrow", audit_walk(src)),
        ("record-read_arrow-file", arrow_walk_audit(src, bad)),
        ("record-audit-early", expect(RuntimeError, getattr, vb._read_arrow(src, audit=True), "audit")),
        ("record-audit-not-kept", expect(RuntimeError, getattr, consumed(src), "audit")),
        ("record-audit-type", expect(TypeError, vb._read_arrow, src, audit=3)),
        ("record-audit-directory", expect(OSError, vb._vornish_file, src, out, audit=f["a-dir"])),
        ("record-open-audit-directory", expect(IsADirectoryError, vb._open, src, audit=f["a-dir"])),
    ]


def leaked_rounds(call: Callable[[], object], limit: int, calls: int = CALLS) -> list[tuple[int, int]]:
    """The rounds of `calls` calls, each (traced, resident) growth, when
    every one of them grew by more than `limit`; else []. A leak grows in
    every round; the allocator's per-thread arenas and page rounding can
    step the resident size once in a while."""
    rounds = [growth(call, calls)]
    while len(rounds) < ROUNDS and all(t > limit or r > limit for t, r in rounds):
        rounds.append(growth(call, calls))
    return rounds if all(t > limit or r > limit for t, r in rounds) else []


def test_every_entry_point_keeps_memory_flat(files: dict[str, str]) -> None:
    limit = BYTES_PER_CALL * CALLS
    grown = {}
    for name, call in cases(files):
        if rounds := leaked_rounds(call, limit):
            grown[name] = rounds
    assert grown == {}, f"grew by more than {limit} bytes over {CALLS} calls: {grown}"


def test_garbage_collector_hooks(files: dict[str, str]) -> None:
    # A reader or summary made before the list that holds it lies earlier in
    # the collector's list, so collecting the cycle calls its clear hook,
    # then frees it when the list lets go; one made after it is freed by
    # the list's clear alone. Both orders, many times.
    src = files["in.csv"]
    reader = vb.VornishReader(src)
    for obj in (reader, reader.summary):
        assert gc.is_tracked(obj)
        # Nothing but the object's own (heap) type, which it keeps alive.
        assert gc.get_referents(obj) in ([], [type(obj)])

    def cycles() -> None:
        early = vb.VornishReader(src)
        early_summary = early.summary
        holder: list = [early, early_summary]
        holder.append(holder)
        holder.append(vb.open(src))
        holder.append(vb.vornish_file(src, os.devnull))
        del early, early_summary, holder
        gc.collect(0)

    gc.collect()
    garbage_before = len(gc.garbage)
    assert leaked_rounds(cycles, BYTES_PER_CALL * 2000, calls=2000) == []
    assert len(gc.garbage) == garbage_before


def test_new_module_objects_share_and_keep_their_types() -> None:
    # Every module object made from the definition gets the same two types,
    # and making them again and again does not grow memory.
    spec = importlib.util.find_spec("_csv_vornish_backend")
    assert spec is not None

    def make() -> object:
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        assert module.VornishReader is vb.VornishReader
        assert module.VornishSummary is vb.VornishSummary
        return module

    assert leaked_rounds(make, BYTES_PER_CALL * 2000 * 4, calls=2000) == []
    assert sys.modules["_csv_vornish_backend"] is vb


def test_arrow_streams_dropped_half_read_free_their_batches_and_file(tmp_path) -> None:
    # Several batches each; the consumer takes one and drops the stream, or
    # drops the capsule before reading, or reads all after the object died.
    path = tmp_path / "long.csv"
    path.write_text("".join(f"{i},{i * 7},x{i}\n" for i in range(140_000)))
    src = str(path)

    def half_read() -> None:
        read_batches(vb._read_arrow(src, header=False).__arrow_c_stream__(), limit=1)

    def outlived() -> None:
        capsule = vb._read_arrow(src, header=False).__arrow_c_stream__()
        read_batches(capsule)

    calls = 40
    for call in (half_read, outlived):
        for _ in range(5):
            call()
        gc.collect()
        rss_before = rss_bytes()
        traced_before = tracemalloc.get_traced_memory()[0]
        for _ in range(calls):
            call()
        gc.collect()
        traced = tracemalloc.get_traced_memory()[0] - traced_before
        resident = 0 if UNDER_SANITIZER else rss_bytes() - rss_before
        # One leaked batch is over a megabyte; the file is almost two.
        assert traced < 64 * calls and resident < (256 << 10) * calls // 8, (call, traced, resident)


def test_runs_and_streams_interrupted_by_keyboard_interrupt_free_everything(tmp_path) -> None:
    # KeyboardInterrupt raised from progress part way through a parallel run,
    # and by a consumer after the first batch of a stream: memory, threads
    # and descriptors all come back.
    import csv_vornish

    path = tmp_path / "long.csv"
    path.write_text("".join(f"{i},{i * 7},x{i}\n" if i % 9 else f"{i}\n" for i in range(140_000)))
    src, out = str(path), str(tmp_path / "out.csv")

    def interrupt(done: int, total: int) -> None:
        if done > 0:
            raise KeyboardInterrupt

    def interrupted_run() -> None:
        try:
            csv_vornish.vornish_file(src, out, str(tmp_path / "q.csv"), threads=2,
                                     chunk_size=16384, progress=interrupt)
        except KeyboardInterrupt:
            return
        raise AssertionError("the run was not interrupted")

    def interrupted_stream() -> None:
        capsule = vb._read_arrow(src, header=False, threads=2).__arrow_c_stream__()
        try:
            read_batches(capsule, limit=1)
            raise KeyboardInterrupt
        except KeyboardInterrupt:
            pass

    calls = 40
    for call in (interrupted_run, interrupted_stream):
        for _ in range(5):
            call()
        gc.collect()
        tasks, fds = len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd"))
        rss_before = rss_bytes()
        traced_before = tracemalloc.get_traced_memory()[0]
        for _ in range(calls):
            call()
        gc.collect()
        traced = tracemalloc.get_traced_memory()[0] - traced_before
        resident = 0 if UNDER_SANITIZER else rss_bytes() - rss_before
        assert traced < 64 * calls and resident < (256 << 10) * calls // 8, (call, traced, resident)
        assert len(os.listdir("/proc/self/task")) == tasks
        assert len(os.listdir("/proc/self/fd")) == fds
