"""The kernel's share of vornish_file: what reading a file whole and writing
it back in 8 KiB writes costs with no CSV work at all, beside vornish_file
on the same file.

    python bench/io_floor.py [--size-mb 200] [--repeat 5]
                             [--module-path DIR | --build]

The floor reads the input into a fresh anonymous mapping advised for huge
pages, in 16 MiB requests, as the backend does, and writes it to a file in
8192-byte writes, which is the backend's write size. Each measurement runs
in its own process; times are the best of --repeat runs, memory the
largest peak seen. No engine gets below the floor's time on this machine.
"""

from __future__ import annotations

import argparse
import mmap
import os
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import benchlib  # noqa: E402
import datagen  # noqa: E402

READ_REQUEST = 1 << 24
WRITE_SIZE = 8192


def floor_child(source: str, target: str) -> None:
    size = os.path.getsize(source)
    start = time.perf_counter()
    buffer = mmap.mmap(-1, max(size, 1))
    if hasattr(mmap, "MADV_HUGEPAGE"):
        buffer.madvise(mmap.MADV_HUGEPAGE)
    view = memoryview(buffer)
    got = 0
    fd = os.open(source, os.O_RDONLY)
    try:
        while got < size:
            n = os.readv(fd, [view[got:got + READ_REQUEST]])
            if n == 0:
                break
            got += n
    finally:
        os.close(fd)
    read = time.perf_counter()
    out = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        for at in range(0, got, WRITE_SIZE):
            os.write(out, view[at:at + WRITE_SIZE])
    finally:
        os.close(out)
    done = time.perf_counter()
    view.release()
    buffer.close()
    benchlib.emit({"read_s": read - start, "write_s": done - read, "total_s": done - start})


def vornish_child(source: str, target: str) -> None:
    import _csv_vornish_backend as backend
    start = time.perf_counter()
    backend.vornish_file(source, target)
    benchlib.emit({"total_s": time.perf_counter() - start})


def main() -> None:
    if len(sys.argv) == 5 and sys.argv[1] == "--child":
        (floor_child if sys.argv[2] == "floor" else vornish_child)(sys.argv[3], sys.argv[4])
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    benchlib.add_common_args(parser, size_mb=200)
    benchlib.add_module_args(parser)
    args = parser.parse_args()
    args.repeat = max(args.repeat, 1)
    module_path = benchlib.resolve_module_path(args)
    env = benchlib.child_env(module_path)

    rows = []
    for kind in ("clean", "damaged"):
        path = datagen.ensure(kind, args.size_mb, args.data_dir)
        out_dir = path.parent / "out"
        out_dir.mkdir(exist_ok=True)
        target = str(out_dir / f"io-floor-{kind}.csv")
        benchlib.warm_page_cache(path)
        size = path.stat().st_size
        best: dict[str, benchlib.ChildResult] = {}
        for _ in range(args.repeat):
            for mode in ("floor", "vornish_file"):
                got = benchlib.run_child(
                    [sys.executable, __file__, "--child", mode, str(path), target], env)
                if mode not in best or got.payload["total_s"] < best[mode].payload["total_s"]:
                    best[mode] = got
        floor = best["floor"].payload
        whole = best["vornish_file"].payload["total_s"]
        rows.append([f"{kind} ({benchlib.mb(size):.0f} MB)", "floor read", f"{floor['read_s']:.3f}",
                     "", ""])
        rows.append(["", "floor 8 KiB writes", f"{floor['write_s']:.3f}", "", ""])
        rows.append(["", "floor total", f"{floor['total_s']:.3f}",
                     f"{benchlib.mb_per_s(size, floor['total_s']):.1f}",
                     f"{benchlib.mb(best['floor'].peak_rss):.1f}"])
        rows.append(["", "vornish_file", f"{whole:.3f}", f"{benchlib.mb_per_s(size, whole):.1f}",
                     f"{benchlib.mb(best['vornish_file'].peak_rss):.1f}"])
        rows.append(["", "floor share", f"{floor['total_s'] / whole:.0%}", "", ""])
    benchlib.print_table(["input", "step", "best s", "MB/s", "peak MB"], rows)


if __name__ == "__main__":
    main()
