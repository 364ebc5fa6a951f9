"""vornish_file end to end against a csv-module read-and-write.

Both sides read the same input and write a CSV with LF line ends: the
module's vornish_file (with a quarantine file), and csv.reader feeding
csv.writer (reading with errors="replace" so invalid bytes become U+FFFD
as they do in the engine). Run on a large clean CSV and on a damaged one
(ragged rows, stray quotes, invalid bytes, mixed LF / CR LF / CR line
ends). Each run is its own process, reporting its own peak RSS;
a bare interpreter and one that only imports the module are the baselines.

    python bench/file_bench.py [--size-mb 200] [--repeat 2]
                               [--module-path DIR | --build] [--strict]

Outputs go to bench/data/out/ and are deleted after the run.
"""

from __future__ import annotations

import argparse
import filecmp
import os
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import benchlib  # noqa: E402
import datagen  # noqa: E402


def child(mode: str, source: str, output: str, quarantine: str) -> None:
    # "vornish_strict": both repair switches off, so ragged rows are
    # quarantined and the quarantine writer is exercised too.
    # "vornish_quarantine_all": eleven columns expected of ten-column rows
    # with padding off, so every row goes to the quarantine file.
    """One run in this process; prints one JSON line."""
    result: dict = {"mode": mode}
    if mode == "baseline":
        benchlib.emit(result)
        return
    if mode == "csv":
        import csv
        csv.field_size_limit(sys.maxsize)  # an unterminated quote may make one huge field
        start = time.perf_counter()
        with open(source, newline="", encoding="utf-8", errors="replace") as src, \
                open(output, "w", newline="", encoding="utf-8") as dst:
            csv.writer(dst, lineterminator="\n").writerows(csv.reader(src))
        result["total_s"] = time.perf_counter() - start
    else:
        import _csv_vornish_backend as backend
        result["module_file"] = backend.__file__
        if mode == "import":
            benchlib.emit(result)
            return
        start = time.perf_counter()
        options: dict = {}
        if mode == "vornish_strict":
            options = {"fill_ragged_rows": False, "merge_overflow": False}
        elif mode == "vornish_quarantine_all":
            options = {"fill_ragged_rows": False, "expected_columns": 11}
        summary = backend.vornish_file(source, output, quarantine, **options)
        result["total_s"] = time.perf_counter() - start
        result["summary"] = summary.to_dict()
    result["output_bytes"] = os.path.getsize(output)
    if mode != "csv":
        result["quarantine_bytes"] = os.path.getsize(quarantine)
    benchlib.emit(result)


def main() -> None:
    if len(sys.argv) == 6 and sys.argv[1] == "--child":
        child(*sys.argv[2:6])
        return
    parser = argparse.ArgumentParser(description="vornish_file against csv read-and-write.")
    benchlib.add_common_args(parser, size_mb=200)
    parser.set_defaults(repeat=2)
    benchlib.add_module_args(parser)
    parser.add_argument("--strict", action="store_true",
                        help="also run vornish_file on the damaged input with padding and "
                             "merging off (rows quarantined), and on the clean one with "
                             "every row quarantined")
    args = parser.parse_args()

    env = benchlib.child_env(benchlib.resolve_module_path(args))
    out_dir = (args.data_dir or datagen.DATA_DIR) / "out"
    out_dir.mkdir(parents=True, exist_ok=True)

    def run(mode: str, source: Path, tag: str) -> benchlib.ChildResult:
        argv = [sys.executable, __file__, "--child", mode, str(source),
                str(out_dir / f"{tag}-{mode}.csv"), str(out_dir / f"{tag}-quarantine.csv")]
        return benchlib.run_child(argv, env)

    inputs = [("clean", datagen.ensure("clean", args.size_mb, args.data_dir)),
              ("damaged", datagen.ensure("damaged", args.size_mb, args.data_dir))]
    base = run("baseline", inputs[0][1], "base").peak_rss
    imported = run("import", inputs[0][1], "base")
    print(f"# Python {sys.version.split()[0]}, module {imported.payload['module_file']}")
    print(f"# baseline peak RSS: bare interpreter {benchlib.mb(base):.1f} MB, "
          f"with module imported {benchlib.mb(imported.peak_rss):.1f} MB")

    table = []
    notes = []
    try:
        for tag, source in inputs:
            size = source.stat().st_size
            benchlib.warm_page_cache(source)
            best: dict[str, benchlib.ChildResult] = {}
            peak: dict[str, int] = {}
            modes = ["vornish", "csv"]
            if args.strict:
                modes.append("vornish_strict" if tag == "damaged" else "vornish_quarantine_all")
            for mode in modes * max(1, args.repeat):
                got = run(mode, source, tag)
                peak[mode] = max(peak.get(mode, 0), got.peak_rss)
                if mode not in best or got.payload["total_s"] < best[mode].payload["total_s"]:
                    best[mode] = got
            for mode in modes:
                p = best[mode].payload
                extra = peak[mode] - base
                table.append([f"{tag} ({benchlib.mb(size):.0f} MB)", mode, p["total_s"],
                              benchlib.mb_per_s(size, p["total_s"]), benchlib.mb(p["output_bytes"]),
                              benchlib.mb(peak[mode]), benchlib.mb(extra), extra / size])
            ratio = best["csv"].payload["total_s"] / best["vornish"].payload["total_s"]
            same = filecmp.cmp(out_dir / f"{tag}-vornish.csv", out_dir / f"{tag}-csv.csv",
                               shallow=False)
            notes.append(f"{tag}: csv time / vornish time {ratio:.2f}; outputs "
                         f"{'identical' if same else 'differ'}; "
                         f"summary {best['vornish'].payload['summary']}")
            for extra_mode in ("vornish_strict", "vornish_quarantine_all"):
                if extra_mode in best:
                    p = best[extra_mode].payload
                    notes.append(f"{tag} {extra_mode}: quarantine file "
                                 f"{benchlib.mb(p['quarantine_bytes']):.1f} MB; "
                                 f"summary {p['summary']}")
    finally:
        for leftover in out_dir.glob("*.csv"):
            leftover.unlink()
    benchlib.print_table(["input", "mode", "best s", "MB/s", "out MB", "peak MB",
                          "over base MB", "x file"], table)
    for note in notes:
        print(note)


if __name__ == "__main__":
    main()
