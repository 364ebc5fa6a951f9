"""Shared plumbing of the Python benchmark drivers.

Building the native targets into a private CMake build directory, choosing
which ``_csv_vornish_backend`` the measured child processes import, running
one measurement per child process and reading that child's own peak
resident memory, and printing aligned tables. Nothing here asserts on a
timing: benchmarks report, people judge.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
ROOT = BENCH_DIR.parent
DEFAULT_BUILD_DIR = ROOT / "build-bench"
MODULE_ENV = "VORNISH_MODULE_PATH"


def add_common_args(parser: argparse.ArgumentParser, size_mb: float) -> None:
    parser.add_argument("--size-mb", type=float, default=size_mb,
                        help=f"size of the generated input in MB (default {size_mb:g})")
    parser.add_argument("--repeat", type=int, default=3,
                        help="runs per measurement; the best time is reported (default 3)")
    parser.add_argument("--data-dir", type=Path, default=None,
                        help="where generated inputs live (default bench/data)")
    parser.add_argument("--build-dir", type=Path, default=DEFAULT_BUILD_DIR,
                        help="CMake build directory used by --build (default build-bench)")


def add_module_args(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--module-path", type=Path, default=os.environ.get(MODULE_ENV) or None,
        help="directory holding _csv_vornish_backend*.so, put first on PYTHONPATH "
             f"of the measured processes (default ${MODULE_ENV}, else the installed module)")
    parser.add_argument(
        "--build", action="store_true",
        help="build the module (Release) into --build-dir first and measure that build")


def cmake_build(build_dir: Path, targets: list[str], module: bool) -> None:
    """Configures (Release, benchmarks on) and builds `targets` with -j2."""
    configure = [
        "cmake", "-S", str(ROOT), "-B", str(build_dir),
        "-DCMAKE_BUILD_TYPE=Release", "-DVORNISH_BUILD_BENCH=ON",
        f"-DVORNISH_BUILD_MODULE={'ON' if module else 'OFF'}",
    ]
    if module:
        configure.append(f"-DPython_EXECUTABLE={sys.executable}")
    subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    build = ["cmake", "--build", str(build_dir), "-j2"]
    for target in targets:
        build += ["--target", target]
    subprocess.run(build, check=True, stdout=subprocess.DEVNULL)


def child_env(module_path: Path | None) -> dict[str, str]:
    env = dict(os.environ)
    if module_path is not None:
        existing = env.get("PYTHONPATH")
        env["PYTHONPATH"] = str(Path(module_path).resolve()) + (
            os.pathsep + existing if existing else "")
    return env


def resolve_module_path(args: argparse.Namespace) -> Path | None:
    if args.build:
        cmake_build(args.build_dir, ["_csv_vornish_backend"], module=True)
        return args.build_dir
    return args.module_path


@dataclass
class ChildResult:
    payload: dict
    peak_rss: int  # bytes, the child's own high-water mark
    wall_s: float


def run_child(argv: list[str], env: dict[str, str] | None = None) -> ChildResult:
    """Runs one measuring process and returns its JSON line and peak RSS.

    The peak comes from the child itself (VmHWM, see `emit`), not from
    wait4 or getrusage(RUSAGE_CHILDREN): Linux carries the parent's
    high-water mark over into a child's ru_maxrss across fork and exec, so
    a parent that once held a large buffer would inflate every child.
    """
    start = time.perf_counter()
    done = subprocess.run(argv, stdout=subprocess.PIPE, env=env)
    wall = time.perf_counter() - start
    if done.returncode != 0:
        raise RuntimeError(f"benchmark child failed ({done.returncode}): {' '.join(argv)}")
    lines = [line for line in done.stdout.decode().splitlines() if line.startswith("{")]
    if not lines:
        raise RuntimeError(f"benchmark child printed no result: {' '.join(argv)}")
    payload = json.loads(lines[-1])
    return ChildResult(payload, payload["peak_rss"], wall)


def peak_rss() -> int:
    """This process's peak resident set in bytes (VmHWM of its own mm)."""
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("VmHWM missing from /proc/self/status")


def emit(payload: dict) -> None:
    """What a child prints last: one JSON object on one line, with its peak."""
    payload["peak_rss"] = peak_rss()
    print(json.dumps(payload), flush=True)


def warm_page_cache(path: Path) -> None:
    """Reads a file once in small blocks so no run pays for the disk and
    this process's own memory stays small."""
    with open(path, "rb", buffering=0) as handle:
        while handle.read(1 << 20):
            pass


def mb(n_bytes: float) -> float:
    return n_bytes / 1e6


def mb_per_s(n_bytes: int, seconds: float) -> float:
    return n_bytes / 1e6 / seconds if seconds > 0 else float("nan")


def print_table(headers: list[str], rows: list[list[object]]) -> None:
    cells = [[h for h in headers]] + [[_fmt(c) for c in row] for row in rows]
    widths = [max(len(r[i]) for r in cells) for i in range(len(headers))]
    for n, row in enumerate(cells):
        print("  ".join(c.rjust(w) if i else c.ljust(w)
                        for i, (c, w) in enumerate(zip(row, widths))))
        if n == 0:
            print("  ".join("-" * w for w in widths))


def _fmt(value: object) -> str:
    if isinstance(value, float):
        if value != value:  # NaN
            return "-"
        return f"{value:.3f}" if abs(value) < 10 else f"{value:.1f}"
    return str(value)
