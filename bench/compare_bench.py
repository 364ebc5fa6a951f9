"""One run, side by side: the backend against its peers on the same files.

On a generated clean CSV and a damaged one (ragged rows, stray quotes,
invalid bytes, mixed line ends; ten columns of realistic values), each
measured in its own process with its own peak RSS:

* ``vornish_file``: the backend's file repair (with a quarantine file);
* ``csv_rw``: csv.reader feeding csv.writer;
* ``polars``: ``read_csv(...).write_csv(...)`` with POLARS_MAX_THREADS=1;
* ``duckdb``: ``COPY (SELECT * FROM read_csv(..., all_varchar=true,
  null_padding=true, strict_mode=false, ignore_errors=true)) TO ...`` with
  ``SET threads=1``;
* ``reader``: VornishReader built and iterated, against ``csv_iter``, the
  csv module's plain iteration;
* ``tokenizer``: ``next_row`` alone, from the native parser_bench (needs
  ``--build`` or an existing build-bench/bench/parser_bench).

A peer that is not installed is skipped. Times are the best of --repeat.

    python bench/compare_bench.py [--size-mb 200] [--repeat 2]
                                  [--module-path DIR | --build]

Outputs go to bench/data/out/ and are deleted after the run.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import benchlib  # noqa: E402
import datagen  # noqa: E402

FILE_MODES = ("vornish_file", "csv_rw", "polars", "duckdb")
ITER_MODES = ("reader", "csv_iter")
PEER_MODULE = {"polars": "polars", "duckdb": "duckdb"}


def child(mode: str, source: str, output: str) -> None:
    """One run in this process; prints one JSON line."""
    result: dict = {"mode": mode}
    if mode == "baseline":
        benchlib.emit(result)
        return
    quarantine = output + ".quarantine"
    if mode == "vornish_file":
        import _csv_vornish_backend as backend
        start = time.perf_counter()
        backend.vornish_file(source, output, quarantine)
    elif mode == "csv_rw":
        import csv
        csv.field_size_limit(sys.maxsize)
        start = time.perf_counter()
        with open(source, newline="", encoding="utf-8", errors="replace") as src, \
                open(output, "w", newline="", encoding="utf-8") as dst:
            csv.writer(dst, lineterminator="\n").writerows(csv.reader(src))
    elif mode == "polars":
        import polars as pl
        start = time.perf_counter()
        # Every column as text and ragged rows tolerated, the closest polars
        # comes to a repair of the same input.
        read = dict(infer_schema=False, truncate_ragged_lines=True, ignore_errors=True,
                    encoding="utf8-lossy")
        try:
            frame = pl.read_csv(source, **read)
        except pl.exceptions.ComputeError:
            # Malformed quoting stops polars whatever ignore_errors says;
            # reading without quote handling is the only way through.
            result["note"] = "quoted read failed; timed with quote_char=None"
            start = time.perf_counter()
            frame = pl.read_csv(source, quote_char=None, **read)
        frame.write_csv(output)
    elif mode == "duckdb":
        import duckdb
        con = duckdb.connect()
        con.execute("SET threads=1")
        start = time.perf_counter()
        con.execute(
            f"COPY (SELECT * FROM read_csv('{source}', all_varchar=true, null_padding=true, "
            f"strict_mode=false, ignore_errors=true)) TO '{output}' (HEADER false)")
    elif mode in ITER_MODES:
        start = time.perf_counter()
        rows = 0
        if mode == "reader":
            import _csv_vornish_backend as backend
            for _ in backend.VornishReader(source):
                rows += 1
        else:
            import csv
            csv.field_size_limit(sys.maxsize)
            with open(source, newline="", encoding="utf-8", errors="replace") as handle:
                for _ in csv.reader(handle):
                    rows += 1
        result["rows"] = rows
    else:
        raise SystemExit(f"unknown mode {mode}")
    result["total_s"] = time.perf_counter() - start
    result["output_bytes"] = os.path.getsize(output) if os.path.exists(output) else 0
    benchlib.emit(result)


def tokenizer_mb_s(build_dir: Path, source: Path, repeat: int) -> float | None:
    binary = build_dir / "bench" / "parser_bench"
    if not binary.exists():
        return None
    out = subprocess.run([str(binary), "--json", "--mode=next_row", f"--repeat={repeat}",
                          str(source)], check=True, stdout=subprocess.PIPE, text=True).stdout
    lines = [json.loads(line) for line in out.splitlines() if line.startswith("{")]
    return lines[-1]["best_mb_s"] if lines else None


def main() -> None:
    if len(sys.argv) == 5 and sys.argv[1] == "--child":
        child(*sys.argv[2:5])
        return
    parser = argparse.ArgumentParser(description="The backend against its peers, one run.")
    benchlib.add_common_args(parser, size_mb=200)
    parser.set_defaults(repeat=2)
    benchlib.add_module_args(parser)
    args = parser.parse_args()

    module_path = benchlib.resolve_module_path(args)
    if args.build:
        benchlib.cmake_build(args.build_dir, ["parser_bench"], module=True)
    env = benchlib.child_env(module_path)
    peer_env = dict(env, POLARS_MAX_THREADS="1")
    out_dir = (args.data_dir or datagen.DATA_DIR) / "out"
    out_dir.mkdir(parents=True, exist_ok=True)

    modes = [m for m in FILE_MODES + ITER_MODES
             if m not in PEER_MODULE or importlib.util.find_spec(PEER_MODULE[m]) is not None]
    skipped = [m for m in PEER_MODULE if m not in modes]
    inputs = [("clean", datagen.ensure("clean", args.size_mb, args.data_dir)),
              ("damaged", datagen.ensure("damaged", args.size_mb, args.data_dir))]
    base = benchlib.run_child([sys.executable, __file__, "--child", "baseline", "-", "-"],
                              env).peak_rss
    print(f"# Python {sys.version.split()[0]}; bare interpreter peak RSS "
          f"{benchlib.mb(base):.1f} MB" + (f"; skipped (not installed): {', '.join(skipped)}"
                                           if skipped else ""))

    table = []
    notes = []
    try:
        for tag, source in inputs:
            size = source.stat().st_size
            benchlib.warm_page_cache(source)
            best: dict[str, float] = {}
            peak: dict[str, int] = {}
            for mode in modes * max(1, args.repeat):
                got = benchlib.run_child(
                    [sys.executable, __file__, "--child", mode, str(source),
                     str(out_dir / f"{tag}-{mode}.csv")],
                    peer_env if mode in PEER_MODULE else env)
                peak[mode] = max(peak.get(mode, 0), got.peak_rss)
                best[mode] = min(best.get(mode, float("inf")), got.payload["total_s"])
                if "note" in got.payload:
                    notes.append(f"{tag} {mode}: {got.payload['note']}")
                for leftover in out_dir.glob("*"):
                    leftover.unlink()
            notes = list(dict.fromkeys(notes))
            for mode in modes:
                table.append([f"{tag} ({benchlib.mb(size):.0f} MB)", mode, best[mode],
                              benchlib.mb_per_s(size, best[mode]), benchlib.mb(peak[mode])])
            tok = tokenizer_mb_s(args.build_dir if args.build else Path(module_path or
                                 benchlib.DEFAULT_BUILD_DIR), source, max(3, args.repeat))
            if tok is not None:
                table.append([f"{tag} ({benchlib.mb(size):.0f} MB)", "tokenizer next_row",
                              size / 1e6 / tok, tok, float("nan")])
            for peer in ("polars", "duckdb", "csv_rw"):
                if peer in best:
                    notes.append(f"{tag}: vornish_file / {peer} speed "
                                 f"{best[peer] / best['vornish_file']:.2f}x")
            notes.append(f"{tag}: reader / csv_iter speed "
                         f"{best['csv_iter'] / best['reader']:.2f}x")
    finally:
        for leftover in out_dir.glob("*"):
            leftover.unlink()
    benchlib.print_table(["input", "mode", "best s", "MB/s", "peak MB"], table)
    for note in notes:
        print(note)


if __name__ == "__main__":
    main()
