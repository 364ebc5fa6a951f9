"""VornishReader against csv.reader on the same large clean CSV.

Each measurement runs in its own Python process, which reports its own
peak resident memory (VmHWM), so the native memory of the reader (file
buffer, row index) is counted, which tracemalloc would miss. A child that only starts the interpreter (and one that also imports
the module) gives the baseline the other figures are set against.

    python bench/reader_bench.py [--size-mb 200] [--repeat 3]
                                 [--module-path DIR | --build] [--materialize]
                                 [--quarantine-all]

Times are the best of --repeat runs, measured inside the child (interpreter
start-up excluded); memory is the largest peak seen.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import benchlib  # noqa: E402
import datagen  # noqa: E402

MODES = ("baseline", "import", "vornish", "csv", "vornish_list", "csv_list",
         "vornish_quarantine_all")
# The clean input has ten columns; expecting eleven with padding off sets
# every row aside, the reader's largest transient memory.
QUARANTINE_ALL = {"expected_columns": 11, "fill_ragged_rows": False}


def child(mode: str, path: str) -> None:
    """One measurement in this process; prints one JSON line."""
    result: dict = {"mode": mode}
    if mode == "baseline":
        benchlib.emit(result)
        return
    if mode == "csv" or mode == "csv_list":
        import csv
        start = time.perf_counter()
        with open(path, newline="", encoding="utf-8") as handle:
            reader = csv.reader(handle)
            constructed = time.perf_counter()
            rows, fields = _consume(reader, keep=mode == "csv_list")
        done = time.perf_counter()
    else:
        import _csv_vornish_backend as backend
        result["module_file"] = backend.__file__
        if mode == "import":
            benchlib.emit(result)
            return
        options = QUARANTINE_ALL if mode == "vornish_quarantine_all" else {}
        start = time.perf_counter()
        reader = backend.VornishReader(path, **options)
        constructed = time.perf_counter()
        rows, fields = _consume(reader, keep=mode == "vornish_list")
        done = time.perf_counter()
        result["len"] = len(reader)
        result["summary"] = reader.summary.to_dict()
    result.update(rows=rows, fields=fields, construct_s=constructed - start,
                  iterate_s=done - constructed, total_s=done - start)
    benchlib.emit(result)


def _consume(rows_iter, keep: bool) -> tuple[int, int]:
    rows = fields = 0
    if keep:
        kept = list(rows_iter)
        return len(kept), sum(map(len, kept))
    for row in rows_iter:
        rows += 1
        fields += len(row)
    return rows, fields


def main() -> None:
    if len(sys.argv) == 4 and sys.argv[1] == "--child":
        child(sys.argv[2], sys.argv[3])
        return
    parser = argparse.ArgumentParser(description="VornishReader against csv.reader.")
    benchlib.add_common_args(parser, size_mb=200)
    benchlib.add_module_args(parser)
    parser.add_argument("--materialize", action="store_true",
                        help="also time list(reader) for both, holding every row at once")
    parser.add_argument("--quarantine-all", action="store_true",
                        help="also construct a reader that quarantines every row "
                             "(expected_columns=11, fill_ragged_rows=False)")
    args = parser.parse_args()

    env = benchlib.child_env(benchlib.resolve_module_path(args))
    path = datagen.ensure("clean", args.size_mb, args.data_dir)
    size = path.stat().st_size
    benchlib.warm_page_cache(path)

    modes = ["vornish", "csv"] + (["vornish_list", "csv_list"] if args.materialize else [])
    if args.quarantine_all:
        modes.append("vornish_quarantine_all")
    best: dict[str, benchlib.ChildResult] = {}
    peak: dict[str, int] = {}
    for mode in ["baseline", "import"] + modes * max(1, args.repeat):
        got = benchlib.run_child([sys.executable, __file__, "--child", mode, str(path)], env)
        peak[mode] = max(peak.get(mode, 0), got.peak_rss)
        if mode not in best or got.payload.get("total_s", 0) < best[mode].payload["total_s"]:
            best[mode] = got

    base = peak["baseline"]
    print(f"# {path.name}: {benchlib.mb(size):.1f} MB, Python {sys.version.split()[0]}, "
          f"module {best['import'].payload['module_file']}")
    print(f"# baseline peak RSS: bare interpreter {benchlib.mb(base):.1f} MB, "
          f"with module imported {benchlib.mb(peak['import']):.1f} MB")
    table = []
    for mode in modes:
        p = best[mode].payload
        extra = peak[mode] - base
        table.append([mode, p["rows"], p["fields"], p["construct_s"], p["iterate_s"],
                      p["total_s"], benchlib.mb_per_s(size, p["total_s"]),
                      benchlib.mb(peak[mode]), benchlib.mb(extra), extra / size])
    benchlib.print_table(["mode", "rows", "fields", "construct s", "iterate s", "total s",
                          "MB/s", "peak MB", "over base MB", "x file"], table)
    for fast, slow in (("vornish", "csv"), ("vornish_list", "csv_list")):
        if fast in best and slow in best:
            ratio = best[slow].payload["total_s"] / best[fast].payload["total_s"]
            print(f"{slow} time / {fast} time: {ratio:.2f}")
    v = best["vornish"].payload
    if v["rows"] != best["csv"].payload["rows"]:
        print(f"note: row counts differ (vornish {v['rows']}, csv {best['csv'].payload['rows']})")
    for mode in modes:
        if "summary" in best[mode].payload:
            print(f"{mode} summary: {best[mode].payload['summary']}")


if __name__ == "__main__":
    main()
