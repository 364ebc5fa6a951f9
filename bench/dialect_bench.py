"""Dialect detection: csv_vornish.sniff_dialect against csv.Sniffer.

Both read the same sample (the first --sample-size bytes) of every file of
the generated dialect corpus (bench/dialect_corpus.py). csv.Sniffer gets the
sample decoded as UTF-8 (invalid bytes replaced), the same nine candidate
delimiters, and is asked for ``sniff`` and ``has_header``; it has no notion
of a preamble or a column count, so the shared fields (delimiter, quote,
blanks after delimiters, header) are compared for both, also on the files
without a preamble alone, and the whole dialect for ours. A file on which
the Sniffer raises counts as wrong.

Each detector runs in its own process, which reports its own peak memory.

    python bench/dialect_bench.py [--count 600] [--seed 13] [--sample-size 65536]
                                  [--repeat 3] [--module-path DIR | --build]
"""

from __future__ import annotations

import argparse
import collections
import csv
import json
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import benchlib  # noqa: E402
import dialect_corpus  # noqa: E402

DELIMITERS = "".join(dialect_corpus.DELIMITERS)
SHARED = ["delimiter", "quote_char", "skip_initial_space", "header"]
ALL = ["delimiter", "quote_char", "skip_initial_space", "skip_rows", "header", "columns"]


def detect_ours(path: Path, sample_size: int) -> dict:
    import csv_vornish

    d = csv_vornish.sniff_dialect(path, sample_size=sample_size)
    return {name: getattr(d, name) for name in ALL}


def detect_sniffer(path: Path, sample_size: int) -> dict | None:
    with open(path, "rb") as handle:
        sample = handle.read(sample_size).decode("utf-8", errors="replace")
    sniffer = csv.Sniffer()
    try:
        dialect = sniffer.sniff(sample, delimiters=DELIMITERS)
        header = sniffer.has_header(sample)
    except csv.Error:
        return None
    return {
        "delimiter": dialect.delimiter,
        "quote_char": dialect.quotechar,
        "skip_initial_space": bool(dialect.skipinitialspace),
        "header": header,
    }


def child(detector: str, folder: Path, sample_size: int, repeat: int) -> None:
    truths = dialect_corpus.load_truths(folder)
    paths = [folder / t.file for t in truths]
    for path in paths:
        benchlib.warm_page_cache(path)
    detect = detect_ours if detector == "ours" else detect_sniffer
    best = float("inf")
    results: list[dict | None] = []
    for _ in range(repeat):
        start = time.perf_counter()
        results = [detect(path, sample_size) for path in paths]
        best = min(best, time.perf_counter() - start)
    fields = SHARED if detector == "sniffer" else ALL
    right = collections.Counter()
    exact_shared = exact_all = exact_plain = 0
    for truth, got in zip(truths, results):
        if got is None:
            continue
        hits = {name for name in fields if got[name] == getattr(truth, name)}
        right.update(hits)
        exact_shared += all(name in hits for name in SHARED)
        exact_plain += truth.skip_rows == 0 and all(name in hits for name in SHARED)
        exact_all += detector == "ours" and all(name in hits for name in ALL)
    sample_bytes = sum(min(path.stat().st_size, sample_size) for path in paths)
    benchlib.emit({
        "detector": detector, "files": len(paths), "seconds": best, "bytes": sample_bytes,
        "exact_shared": exact_shared, "exact_plain": exact_plain,
        "plain": sum(t.skip_rows == 0 for t in truths), "exact_all": exact_all if detector == "ours" else None,
        "failed": sum(r is None for r in results), "right": dict(right),
    })


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=600)
    parser.add_argument("--seed", type=int, default=13)
    parser.add_argument("--sample-size", type=int, default=64 * 1024)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--data-dir", type=Path, default=benchlib.BENCH_DIR / "data")
    parser.add_argument("--build-dir", type=Path, default=benchlib.DEFAULT_BUILD_DIR)
    benchlib.add_module_args(parser)
    parser.add_argument("--child", choices=["ours", "sniffer"], help=argparse.SUPPRESS)
    parser.add_argument("--folder", type=Path, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.folder, args.sample_size, args.repeat)
        return

    folder = args.data_dir / f"dialect-{args.count}-{args.seed}"
    dialect_corpus.generate(folder, args.count, args.seed)
    env = benchlib.child_env(benchlib.resolve_module_path(args))
    rows = []
    for detector in ("ours", "sniffer"):
        r = benchlib.run_child([sys.executable, __file__, "--child", detector, "--folder", str(folder),
                                "--sample-size", str(args.sample_size), "--repeat", str(args.repeat)], env).payload
        n = r["files"]
        per_field = {name: r["right"].get(name, 0) / n for name in ALL}
        rows.append([
            "csv_vornish.sniff_dialect" if detector == "ours" else "csv.Sniffer (sniff + has_header)",
            f"{r['exact_all'] / n:.1%}" if r["exact_all"] is not None else "-",
            f"{r['exact_shared'] / n:.1%}",
            f"{r['exact_plain'] / r['plain']:.1%}",
            *(f"{per_field[name]:.1%}" if detector == "ours" or name in SHARED else "-" for name in ALL),
            r["failed"],
            f"{r['seconds'] * 1000 / n:.2f}",
            benchlib.mb_per_s(r["bytes"], r["seconds"]),
            benchlib.mb(r["peak_rss"]),
        ])
    print(f"{args.count} files (seed {args.seed}), sample {args.sample_size} bytes, best of {args.repeat}")
    benchlib.print_table(
        ["detector", "exact (all 6)", "exact (shared 4)", "shared 4, no preamble", *ALL, "raised", "ms/file", "MB/s", "peak MB"], rows
    )


if __name__ == "__main__":
    main()
