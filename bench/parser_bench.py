"""Builds and runs the native tokenizer benchmark.

Prints ResilientParser throughput (next_row and skip_row, beside a memchr
scan of the same buffer) on a large generated clean CSV, then on the
stray-quote worst case at two sizes with the ratio of their times, which
stays near the ratio of their sizes when the cost is linear. With
--engine it also times the engine below Python (dialect guessing,
vornish_slice, reading kept rows back, vornish_file to /dev/null) on the
clean and on a damaged file. With --worst it runs every adversarial input
shape of datagen at two sizes through next_row and, when the engine is
built, through vornish_slice (heuristics included), and prints the growth.

    python bench/parser_bench.py [--size-mb 200] [--stray-mb 10] [--engine] [--worst]
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import benchlib  # noqa: E402
import datagen  # noqa: E402


def run_native(binary: Path, argv: list[str]) -> list[dict]:
    out = subprocess.run([str(binary), "--json", *argv], check=True,
                         stdout=subprocess.PIPE, text=True).stdout
    return [json.loads(line) for line in out.splitlines() if line.startswith("{")]


def table(results: list[dict], label: str | None = None) -> None:
    rows = []
    for r in results:
        rows.append([label or r["input"], r["name"], benchlib.mb(r["bytes"]), r["rows"],
                     r["best_s"], r["median_s"], r["best_mb_s"]])
    benchlib.print_table(["input", "measure", "MB", "rows", "best s", "median s", "MB/s"], rows)


def worst_case(args: argparse.Namespace, parser_bin: Path, engine_bin: Path | None,
               repeat: list[str]) -> None:
    small_mb, large_mb = args.stray_mb, args.stray_mb * 4
    print(f"# adversarial inputs, {small_mb:g} MB and {large_mb:g} MB; "
          "time ratio near 4 means linear")
    rows = []
    for kind in datagen.WORST_CASES:
        small = datagen.ensure(kind, small_mb, args.data_dir)
        large = datagen.ensure(kind, large_mb, args.data_dir)
        stages = [(parser_bin, "--mode=next_row"), (parser_bin, "--mode=skip_row")]
        if engine_bin is not None:
            stages.append((engine_bin, "--mode=slice"))
        for binary, mode in stages:
            a = run_native(binary, repeat + [mode, str(small)])[0]
            b = run_native(binary, repeat + [mode, str(large)])[0]
            ratio = b["best_s"] / a["best_s"] if a["best_s"] > 0 else float("nan")
            rows.append([kind, a["name"], a["rows"], a["best_s"], b["best_s"], ratio,
                         a["best_mb_s"], b["best_mb_s"]])
    benchlib.print_table(["input", "measure", "rows (small)", "small s", "large s",
                          "time ratio", "MB/s small", "MB/s large"], rows)
    print()


def main() -> None:
    parser = argparse.ArgumentParser(description="Tokenizer throughput.")
    benchlib.add_common_args(parser, size_mb=200)
    parser.add_argument("--stray-mb", type=float, default=10,
                        help="size of the smaller stray-quote input; the larger is 4x (default 10)")
    parser.add_argument("--engine", action="store_true",
                        help="also time dialect guessing, vornish_slice, read-back and vornish_file")
    parser.add_argument("--worst", action="store_true",
                        help="time every adversarial input shape at --stray-mb and 4x that")
    parser.add_argument("--no-build", action="store_true",
                        help="use the binaries already in --build-dir")
    args = parser.parse_args()

    targets = ["parser_bench"]
    engine_present = (benchlib.ROOT / "src/engine/vornish.cpp").exists()
    if args.engine and not engine_present:
        parser.error("--engine needs src/engine/vornish.cpp")
    if engine_present and (args.engine or args.worst):
        targets.append("pipeline_bench")
    if not args.no_build:
        benchlib.cmake_build(args.build_dir, targets, module=False)
    parser_bin = args.build_dir / "bench" / "parser_bench"
    repeat = [f"--repeat={args.repeat}"]

    clean = datagen.ensure("clean", args.size_mb, args.data_dir)
    print(f"# clean CSV, {benchlib.mb(clean.stat().st_size):.1f} MB: {clean}")
    table(run_native(parser_bin, repeat + [str(clean)]))

    small = datagen.ensure("stray", args.stray_mb, args.data_dir)
    large = datagen.ensure("stray", args.stray_mb * 4, args.data_dir)
    print(f"\n# stray-quote worst case: one line '\"' + 'a\"' * n + 'a\",x', "
          f"{args.stray_mb:g} MB and {args.stray_mb * 4:g} MB")
    stray_rows: list[dict] = []
    ratios = []
    for flag, label in ((None, "repair on"), ("--no-repair", "repair off")):
        extra = [flag] if flag else []
        by_size = {}
        for path in (small, large):
            results = run_native(parser_bin, repeat + extra + ["--mode=next_row", str(path)])
            results += run_native(parser_bin, repeat + extra + ["--mode=skip_row", str(path)])
            by_size[path] = {r["name"]: r for r in results}
            for r in results:
                r["input"] = f"{path.name} ({label})"
                stray_rows.append(r)
        for name in ("next_row", "skip_row"):
            a, b = by_size[small][name], by_size[large][name]
            ratio = b["best_s"] / a["best_s"] if a["best_s"] > 0 else float("nan")
            ratios.append(f"  {name} ({label}): size x{b['bytes'] / a['bytes']:.2f}, "
                          f"time x{ratio:.2f}")
    table(stray_rows)
    print("\n".join(ratios))
    print()

    engine_bin = args.build_dir / "bench" / "pipeline_bench"
    if args.worst:
        worst_case(args, parser_bin, engine_bin if engine_present else None, repeat)

    if args.engine:
        engine_bin = args.build_dir / "bench" / "pipeline_bench"
        damaged = datagen.ensure("damaged", args.size_mb, args.data_dir)
        for path in (clean, damaged):
            print(f"# engine on {path.name}")
            table(run_native(engine_bin, repeat + [str(path)]))
            print()


if __name__ == "__main__":
    main()
