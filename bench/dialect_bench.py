"""Dialect detection: csv_vornish.sniff_dialect beside csv.Sniffer, CleverCSV and DuckDB.

All four read the same generated corpus (bench/dialect_corpus.py): the plain
files and, with --layouts N, N files of each layout kind (comments, footers,
stacked tables, two-row headers, cells of real exports, damaged headers,
single columns). Each detector is asked as a new user would ask it:

- ours: ``csv_vornish.sniff_dialect(path, sample_size=...)``;
- ``csv.Sniffer``: ``sniff`` and ``has_header`` on the sample decoded as
  UTF-8 (invalid bytes replaced), with the nine candidate delimiters;
- CleverCSV (``clevercsv``, a test extra): ``Detector().detect`` and
  ``Detector().has_header`` on the same decoded sample;
- DuckDB: ``SELECT * FROM sniff_csv(path, sample_size=-1)``, which reports
  a preamble (``SkipRows``), a header, the columns and a comment prefix.

A field a detector does not report is left out of its figures ("-"); a
detector that raises on a file gets that file wrong. A detector whose
module is missing is skipped with a note. Quotes: a detector that reports
none (nothing quoted) counts as the double quote, the corpus's convention
for files without quotes. A single-column file has no delimiter: only
``None`` is right there.

Each detector runs in its own process, which reports its own peak memory.

    python bench/dialect_bench.py [--count 600] [--layouts 100] [--seed 13]
                                  [--sample-size 65536] [--repeat 3]
                                  [--module-path DIR | --build]
"""

from __future__ import annotations

import argparse
import collections
import csv
import importlib.util
import sys
import time
from pathlib import Path
from typing import Any, Callable

sys.path.insert(0, str(Path(__file__).resolve().parent))

import benchlib  # noqa: E402
import dialect_corpus  # noqa: E402

DELIMITERS = "".join(dialect_corpus.DELIMITERS)
FIELDS = ["delimiter", "quote_char", "skip_initial_space", "skip_rows", "header", "columns"]
LAYOUT = ["comment", "header_rows", "skip_footer", "tables"]
DETECTORS = {
    "ours": ("csv_vornish.sniff_dialect", "csv_vornish"),
    "sniffer": ("csv.Sniffer (sniff + has_header)", "csv"),
    "clevercsv": ("CleverCSV Detector (detect + has_header)", "clevercsv"),
    "duckdb": ("DuckDB sniff_csv", "duckdb"),
}


def read_sample(path: Path, sample_size: int) -> str:
    with open(path, "rb") as handle:
        return handle.read(sample_size).decode("utf-8", errors="replace")


def detect_ours(path: Path, sample_size: int) -> dict[str, Any]:
    import csv_vornish

    d = csv_vornish.sniff_dialect(path, sample_size=sample_size)
    got: dict[str, Any] = {name: getattr(d, name) for name in FIELDS}
    got.update(comment=d.comment, header_rows=d.header_rows if d.header else 1, skip_footer=d.skip_footer,
               tables=[[t.skip_rows, t.columns, t.header] for t in d.tables])
    return got


def detect_sniffer(path: Path, sample_size: int) -> dict[str, Any]:
    sample = read_sample(path, sample_size)
    sniffer = csv.Sniffer()
    dialect = sniffer.sniff(sample, delimiters=DELIMITERS)
    return {
        "delimiter": dialect.delimiter,
        "quote_char": dialect.quotechar or '"',
        "skip_initial_space": bool(dialect.skipinitialspace),
        "header": sniffer.has_header(sample),
    }


def detect_clevercsv(path: Path, sample_size: int) -> dict[str, Any]:
    import clevercsv

    sample = read_sample(path, sample_size)
    detector = clevercsv.Detector()
    dialect = detector.detect(sample, delimiters=list(DELIMITERS))
    if dialect is None:
        raise ValueError("no dialect")
    return {
        "delimiter": dialect.delimiter or None,
        "quote_char": dialect.quotechar or '"',
        "header": bool(detector.has_header(sample)),
    }


def detect_duckdb(path: Path, sample_size: int) -> dict[str, Any]:
    import duckdb

    rows = duckdb.execute(
        "SELECT Delimiter, Quote, Comment, SkipRows, HasHeader, Columns FROM sniff_csv(?, sample_size=-1)",
        [str(path)],
    ).fetchall()
    delimiter, quote, comment, skip_rows, header, columns = rows[0]
    return {
        "delimiter": delimiter,
        "quote_char": quote if quote and quote != "(empty)" else '"',
        "comment": comment if comment and comment != "(empty)" else None,
        "skip_rows": skip_rows,
        "header": bool(header),
        "columns": len(columns),
    }


DETECT: dict[str, Callable[[Path, int], dict[str, Any]]] = {
    "ours": detect_ours, "sniffer": detect_sniffer, "clevercsv": detect_clevercsv, "duckdb": detect_duckdb,
}


def truth_of(t: dialect_corpus.Truth) -> dict[str, Any]:
    return {
        **{name: getattr(t, name) for name in FIELDS},
        "comment": t.comment, "header_rows": t.header_rows, "skip_footer": t.skip_footer,
        "tables": [list(x) for x in t.table_list()],
    }


def child(detector: str, folder: Path, sample_size: int, repeat: int) -> None:
    truths = dialect_corpus.load_truths(folder)
    paths = [folder / t.file for t in truths]
    for path in paths:
        benchlib.warm_page_cache(path)
    detect = DETECT[detector]
    best = float("inf")
    results: list[dict[str, Any] | None] = []
    for _ in range(repeat):
        results = []
        start = time.perf_counter()
        for path in paths:
            try:
                results.append(detect(path, sample_size))
            except Exception:  # a detector that gives up gets the file wrong
                results.append(None)
        best = min(best, time.perf_counter() - start)
    reported = next((set(r) for r in results if r is not None), set())
    # Per family: files, right per field, all reported fields right.
    right: dict[str, collections.Counter[str]] = collections.defaultdict(collections.Counter)
    files: collections.Counter[str] = collections.Counter()
    for truth, got in zip(truths, results):
        want = truth_of(truth)
        files[truth.layout] += 1
        hits = {name for name in reported if got is not None and got.get(name) == want[name]}
        right[truth.layout].update(hits)
        right[truth.layout]["(all reported)"] += got is not None and hits == reported
    sample_bytes = sum(min(path.stat().st_size, sample_size) for path in paths)
    benchlib.emit({
        "detector": detector, "files": dict(files), "seconds": best, "bytes": sample_bytes,
        "fields": sorted(reported), "right": {k: dict(v) for k, v in right.items()},
        "failed": sum(r is None for r in results),
    })


def share(right: dict[str, dict[str, int]], files: dict[str, int], field: str, layouts: list[str]) -> str:
    n = sum(files.get(layout, 0) for layout in layouts)
    if n == 0:
        return "-"
    return f"{sum(right.get(layout, {}).get(field, 0) for layout in layouts) / n:.1%}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=600)
    parser.add_argument("--layouts", type=int, default=100, help="files of each layout kind (default 100)")
    parser.add_argument("--seed", type=int, default=13)
    parser.add_argument("--sample-size", type=int, default=64 * 1024)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--data-dir", type=Path, default=benchlib.BENCH_DIR / "data")
    parser.add_argument("--build-dir", type=Path, default=benchlib.DEFAULT_BUILD_DIR)
    benchlib.add_module_args(parser)
    parser.add_argument("--child", choices=list(DETECT), help=argparse.SUPPRESS)
    parser.add_argument("--folder", type=Path, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.folder, args.sample_size, args.repeat)
        return

    folder = args.data_dir / f"dialect-{args.count}-{args.layouts}-{args.seed}"
    truths = dialect_corpus.generate(folder, args.count, args.seed, args.layouts)
    env = benchlib.child_env(benchlib.resolve_module_path(args))
    families = list(dict.fromkeys(t.layout for t in truths))
    runs = {}
    for detector, (_, module) in DETECTORS.items():
        if importlib.util.find_spec(module) is None:
            print(f"{detector}: module {module!r} is not installed; skipped (pip install .[test])")
            continue
        runs[detector] = benchlib.run_child(
            [sys.executable, __file__, "--child", detector, "--folder", str(folder),
             "--sample-size", str(args.sample_size), "--repeat", str(args.repeat)], env).payload

    print(f"{len(truths)} files: {args.count} plain and {args.layouts} of each layout (seed {args.seed}); "
          f"sample {args.sample_size} bytes, best of {args.repeat}")
    rows = []
    for detector, r in runs.items():
        files, right, fields = r["files"], r["right"], set(r["fields"])
        n = sum(files.values())
        rows.append([
            DETECTORS[detector][0],
            *(share(right, files, name, families) if name in fields else "-" for name in FIELDS + ["comment"]),
            share(right, files, "(all reported)", families),
            r["failed"], f"{r['seconds'] * 1000 / n:.2f}", benchlib.mb_per_s(r["bytes"], r["seconds"]),
            benchlib.mb(r["peak_rss"]),
        ])
    print("\nEach field over all files (all reported: every field the detector reports is right)")
    benchlib.print_table([ "detector", *FIELDS, "comment", "all reported", "raised", "ms/file", "MB/s", "peak MB"], rows)

    print("\nDelimiter right, per family of files")
    benchlib.print_table(
        ["detector", *families],
        [[DETECTORS[d][0], *(share(r["right"], r["files"], "delimiter", [f]) for f in families)] for d, r in runs.items()],
    )
    if "ours" in runs:
        r = runs["ours"]
        print("\nOurs, per family: the whole layout exact (dialect, comment, header rows, footer, tables)")
        benchlib.print_table(
            ["family", "files", "exact", *LAYOUT],
            [[f, r["files"][f], share(r["right"], r["files"], "(all reported)", [f]),
              *(share(r["right"], r["files"], name, [f]) for name in LAYOUT)] for f in families],
        )


if __name__ == "__main__":
    main()
