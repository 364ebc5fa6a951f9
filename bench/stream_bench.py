"""The streaming vornish_file against the backend and the streaming peers.

On the same files, one process per run, each reporting its own peak RSS:

* ``front1`` / ``front2``: ``csv_vornish.vornish_file`` with ``threads=1``
  and ``threads=2`` (``front`` in the big-file table: the defaults);
* ``backend``: ``_csv_vornish_backend.vornish_file`` (whole file in memory);
* ``polars``: ``scan_csv(...).sink_csv(...)`` with two threads
  (``POLARS_MAX_THREADS=2``), every column read as text, bad rows ignored
  (on the damaged file it stops even so, and runs with ``quote_char=None``);
* ``duckdb``: ``COPY (SELECT * FROM read_csv(...)) TO ...`` with
  ``SET threads = 2``, every column as text, bad rows ignored, not strict.

The peers drop or mangle what they cannot parse; only the vornish modes
repair it. A peer that fails on an input is reported as failed.

    python bench/stream_bench.py [--size-mb 200] [--big-mb 4000] [--repeat 2]
                                 [--big-peers] [--module-path DIR | --build]

Inputs are generated into bench/data/ on first use; outputs go to
bench/data/out/ and are deleted after each run.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import benchlib  # noqa: E402
import datagen  # noqa: E402

MODES = ["front1", "front2", "backend", "polars", "duckdb"]


def child(mode: str, source: str, output: str, quarantine: str) -> None:
    """One run in this process; prints one JSON line."""
    result: dict = {"mode": mode}
    start = time.perf_counter()
    try:
        if mode.startswith("front"):
            import csv_vornish
            threads = {"front1": 1, "front2": 2}.get(mode)
            kwargs = {} if threads is None else {"threads": threads}
            summary = csv_vornish.vornish_file(source, output, quarantine, **kwargs)
            result["summary"] = summary.to_dict()
        elif mode == "backend":
            import _csv_vornish_backend as backend
            result["summary"] = backend.vornish_file(source, output, quarantine).to_dict()
        elif mode == "polars":
            import polars as pl

            def sink(**quoting: object) -> None:
                pl.scan_csv(source, has_header=False, infer_schema=False, ignore_errors=True,
                            truncate_ragged_lines=True, encoding="utf8-lossy",
                            **quoting).sink_csv(output, include_header=False)

            try:
                sink()
            except pl.exceptions.ComputeError:
                # Stray quotes stop it even with ignore_errors; without
                # quoting it gets through (splitting quoted fields).
                start = time.perf_counter()
                sink(quote_char=None)
                result["note"] = "quote_char=None"
        elif mode == "duckdb":
            import duckdb
            con = duckdb.connect()
            con.execute("SET threads = 2")
            con.execute(
                "COPY (SELECT * FROM read_csv(?, header = false, all_varchar = true, "
                "ignore_errors = true, null_padding = true, strict_mode = false)) TO '" + output.replace("'", "''")
                + "' (HEADER false)", [source])
        else:
            raise ValueError(mode)
    except Exception as error:  # a peer that cannot take the input
        result["error"] = f"{type(error).__name__}: {str(error)[:120]}"
    result["total_s"] = time.perf_counter() - start
    benchlib.emit(result)


def main() -> None:
    if len(sys.argv) == 6 and sys.argv[1] == "--child":
        child(*sys.argv[2:6])
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    benchlib.add_common_args(parser, size_mb=200)
    parser.set_defaults(repeat=2)
    benchlib.add_module_args(parser)
    parser.add_argument("--big-mb", type=float, default=4000,
                        help="size of the big file, run with the defaults only (0: skip)")
    parser.add_argument("--big-peers", action="store_true",
                        help="also run the backend and the peers on the big file")
    args = parser.parse_args()

    env = benchlib.child_env(benchlib.resolve_module_path(args))
    env["POLARS_MAX_THREADS"] = "2"
    out_dir = (args.data_dir or datagen.DATA_DIR) / "out"
    out_dir.mkdir(parents=True, exist_ok=True)

    def run(mode: str, source: Path) -> benchlib.ChildResult:
        output, quarantine = out_dir / f"{mode}.csv", out_dir / f"{mode}.q.csv"
        try:
            return benchlib.run_child([sys.executable, __file__, "--child", mode, str(source),
                                       str(output), str(quarantine)], env)
        finally:
            for leftover in (output, quarantine):
                leftover.unlink(missing_ok=True)

    print(f"# Python {sys.version.split()[0]}, {os.cpu_count()} CPUs, load average "
          f"{os.getloadavg()[0]:.1f}; figures on a shared machine vary by tens of percent")
    plans = [(datagen.ensure("clean", args.size_mb, args.data_dir), MODES),
             (datagen.ensure("damaged", args.size_mb, args.data_dir), MODES)]
    if args.big_mb > 0:
        big_modes = ["front"] + (["backend", "polars", "duckdb"] if args.big_peers else [])
        plans.append((datagen.ensure("clean", args.big_mb, args.data_dir), big_modes))

    table = []
    notes = []
    for source, modes in plans:
        size = source.stat().st_size
        benchlib.warm_page_cache(source)
        best: dict[str, benchlib.ChildResult] = {}
        peak: dict[str, int] = {}
        repeat = max(1, args.repeat) if size < 1e9 else 1
        for _ in range(repeat):
            for mode in modes:
                got = run(mode, source)
                peak[mode] = max(peak.get(mode, 0), got.peak_rss)
                if mode not in best or got.payload["total_s"] < best[mode].payload["total_s"]:
                    best[mode] = got
        for mode in modes:
            p = best[mode].payload
            failed = "error" in p
            table.append([f"{source.name} ({benchlib.mb(size):.0f} MB)", mode,
                          "failed" if failed else p["total_s"],
                          "-" if failed else benchlib.mb_per_s(size, p["total_s"]),
                          benchlib.mb(peak[mode])])
            if failed:
                notes.append(f"{source.name} {mode}: {p['error']}")
            if "note" in p:
                notes.append(f"{source.name} {mode}: ran with {p['note']}")
        seconds = {m: best[m].payload["total_s"] for m in modes if "error" not in best[m].payload}
        if "front2" in seconds:
            for other in ("backend", "polars", "duckdb", "front1"):
                if other in seconds:
                    notes.append(f"{source.name}: front2 is {seconds[other] / seconds['front2']:.2f}"
                                 f" x as fast as {other}")
        summaries = {str(best[m].payload.get("summary")) for m in modes if m.startswith(("front", "backend"))}
        if len(summaries) > 1:
            notes.append(f"{source.name}: summaries DIFFER: {summaries}")
    benchlib.print_table(["input", "mode", "best s", "MB/s", "peak MB"], table)
    for note in notes:
        print("#", note)


if __name__ == "__main__":
    main()
