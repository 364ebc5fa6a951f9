"""read_arrow into polars and pyarrow against the peers' own CSV readers
and against the list route, on the same damaged CSV in one run.

    python bench/arrow_bench.py [--size-mb 200] [--list-mb 20] [--repeat 1]
                                [--module-path DIR | --build]

Measured, each in its own child process (POLARS_MAX_THREADS=2):

* ``vornish_polars``: ``polars.DataFrame(csv_vornish.read_arrow(p, types="string"))``
* ``vornish_pyarrow``: ``pyarrow.table(csv_vornish.read_arrow(p, types="string"))``
* ``vornish_pyarrow_one_thread``: the same with ``threads=1``, the figure
  that the parallel batch source is measured against
* a suffix on a ``vornish_*`` mode: ``_view`` lays the string columns out as
  ``string_layout="string_view"`` (which polars keeps as it is), ``_large``
  as ``"large_string"``; ``_typed`` reads with the default ``types="infer"``
* ``polars_read_csv``: ``polars.read_csv(p, infer_schema=False,
  truncate_ragged_lines=True, ignore_errors=True)``
* ``polars_read_csv_lossy``: the same with ``encoding="utf8-lossy"``, for a
  figure where the strict call gives up on the invalid UTF-8 of the file
* ``duckdb_arrow``: DuckDB (2 threads) ``read_csv(p, all_varchar=true,
  null_padding=true, strict_mode=false)`` fetched as a pyarrow table
* ``duckdb_arrow_ignore_errors``: the same with ``ignore_errors=true``, which
  drops the rows that the strict call stops at
* ``*_on_clean``: ``vornish_polars``, ``polars_read_csv`` and ``duckdb_arrow``
  on the clean file of the same size and shape, where the peers' strict
  calls succeed: their speed for reference
* ``list_pandas`` / ``list_polars``: ``pandas.DataFrame(list(open(q)))`` and
  ``polars.DataFrame(list(open(q)), orient="row")`` on a smaller file q of
  the same generator (--list-mb), their time scaled up to the full size.

Each child reports its time (imports excluded), its peak resident memory
(VmHWM), its resident memory after the imports and the size of the table
it made; "x table" is the peak over the post-import memory divided by that
size, as the library itself reports it; "x result" divides it by the
resident memory the finished result holds (the child's memory after the
call, less its memory before). Times are the best of --repeat runs.
Every route makes string columns (``types="string"`` for read_arrow);
``typed_bench.py`` measures typed tables. Nothing asserts on a timing.
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

FULL_MODES = ("vornish_polars", "vornish_polars_view", "vornish_polars_large", "vornish_polars_typed",
              "vornish_polars_typed_view", "vornish_pyarrow", "vornish_pyarrow_view", "vornish_pyarrow_typed",
              "vornish_pyarrow_one_thread", "polars_read_csv", "polars_read_csv_lossy",
              "duckdb_arrow", "duckdb_arrow_ignore_errors")
# The peers' strict calls give up on the damaged file, so the same calls on
# the clean file of the same size and shape give their speed for reference.
CLEAN_MODES = ("vornish_polars_on_clean", "polars_read_csv_on_clean", "duckdb_arrow_on_clean")
LIST_MODES = ("list_pandas", "list_polars")


def rss_now() -> int:
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("VmRSS missing")


def child(mode: str, path: str) -> None:
    import duckdb
    import pandas as pd
    import polars as pl
    import pyarrow as pa

    import csv_vornish

    result: dict = {"mode": mode}
    # Warm the libraries' lazy imports on a tiny input, outside the timing.
    tiny = Path(path).with_suffix(".tiny.csv")
    tiny.write_text("a,b\n1,2\n")
    pl.DataFrame(csv_vornish.read_arrow(tiny))
    pa.table(csv_vornish.read_arrow(tiny))
    tiny.unlink()
    result["rss_start"] = rss_now()
    mode = mode.removesuffix("_on_clean")

    options: dict = {"types": "string"}
    for suffix, option in (("_view", {"string_layout": "string_view"}),
                           ("_large", {"string_layout": "large_string"}), ("_typed", {"types": "infer"})):
        if mode.startswith("vornish_") and mode.endswith(suffix):
            options.update(option)
            mode = mode.removesuffix(suffix)

    start = time.perf_counter()
    if mode == "vornish_polars":
        stream = csv_vornish.read_arrow(path, **options)
        frame = pl.DataFrame(stream)
        result.update(rows=frame.height, columns=frame.width, table_bytes=frame.estimated_size(),
                      summary=stream.summary.to_dict())
    elif mode.startswith("vornish_pyarrow"):
        stream = csv_vornish.read_arrow(path, threads=1 if mode.endswith("one_thread") else None,
                                        **options)
        table = pa.table(stream)
        result.update(rows=table.num_rows, columns=table.num_columns, table_bytes=table.nbytes,
                      summary=stream.summary.to_dict())
    elif mode.startswith("polars_read_csv"):
        lossy = {"encoding": "utf8-lossy"} if mode.endswith("lossy") else {}
        frame = pl.read_csv(path, infer_schema=False, truncate_ragged_lines=True,
                            ignore_errors=True, **lossy)
        result.update(rows=frame.height, columns=frame.width, table_bytes=frame.estimated_size())
    elif mode.startswith("duckdb_arrow"):
        con = duckdb.connect(config={"threads": 2})
        lenient = ", ignore_errors=true" if mode.endswith("ignore_errors") else ""
        relation = con.sql(
            f"SELECT * FROM read_csv('{path}', all_varchar=true, null_padding=true, "
            f"strict_mode=false{lenient})")
        table = relation.fetch_arrow_table() if hasattr(relation, "fetch_arrow_table") \
            else relation.arrow()
        result.update(rows=table.num_rows, columns=table.num_columns, table_bytes=table.nbytes)
    elif mode == "list_pandas":
        frame = pd.DataFrame(list(csv_vornish.open(path)))
        result.update(rows=len(frame), columns=frame.shape[1],
                      table_bytes=int(frame.memory_usage(deep=True).sum()))
    elif mode == "list_polars":
        frame = pl.DataFrame(list(csv_vornish.open(path)), orient="row")
        result.update(rows=frame.height, columns=frame.width, table_bytes=frame.estimated_size())
    else:
        raise SystemExit(f"unknown mode {mode}")
    result["total_s"] = time.perf_counter() - start
    import gc
    gc.collect()
    # What the result really holds: a library's own size estimate can be
    # far from it (polars counts neither its 16-byte string views nor
    # shared buffers the way the process pays for them).
    result["rss_end"] = rss_now()
    benchlib.emit(result)


def main() -> None:
    if len(sys.argv) == 4 and sys.argv[1] == "--child":
        child(sys.argv[2], sys.argv[3])
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    benchlib.add_common_args(parser, size_mb=200)
    benchlib.add_module_args(parser)
    parser.add_argument("--list-mb", type=float, default=20,
                        help="size of the file for the list route, scaled up (default 20)")
    parser.add_argument("--only", default="",
                        help="comma-separated modes to run (default: every mode)")
    parser.set_defaults(repeat=1)
    args = parser.parse_args()
    wanted = set(filter(None, args.only.split(",")))

    env = benchlib.child_env(benchlib.resolve_module_path(args))
    env["POLARS_MAX_THREADS"] = "2"
    full = datagen.ensure("damaged", args.size_mb, args.data_dir)
    small = datagen.ensure("damaged", args.list_mb, args.data_dir)
    clean = datagen.ensure("clean", args.size_mb, args.data_dir)
    size, small_size = full.stat().st_size, small.stat().st_size
    scale = size / small_size

    best: dict[str, benchlib.ChildResult] = {}
    for _ in range(max(1, args.repeat)):
        for mode in FULL_MODES + CLEAN_MODES + LIST_MODES:
            if wanted and mode not in wanted:
                continue
            path = small if mode in LIST_MODES else clean if mode in CLEAN_MODES else full
            benchlib.warm_page_cache(path)
            try:
                got = benchlib.run_child([sys.executable, __file__, "--child", mode, str(path)], env)
            except RuntimeError:
                print(f"# {mode} failed on this file (its error is above)")
                continue
            if mode not in best or got.payload["total_s"] < best[mode].payload["total_s"]:
                best[mode] = got

    print(f"# {full.name}: {benchlib.mb(size):.1f} MB damaged CSV; list route on "
          f"{small.name} ({benchlib.mb(small_size):.1f} MB), times scaled x{scale:.2f}; "
          f"Python {sys.version.split()[0]}, POLARS_MAX_THREADS=2")
    rows = []
    for mode, got in best.items():
        p = got.payload
        seconds = p["total_s"] * (scale if mode in LIST_MODES else 1)
        over = got.peak_rss - p["rss_start"]
        held = p["rss_end"] - p["rss_start"]
        rows.append([mode, p["rows"], p["columns"], seconds,
                     benchlib.mb_per_s(size, seconds), benchlib.mb(got.peak_rss),
                     benchlib.mb(over), benchlib.mb(p["table_bytes"]),
                     over / p["table_bytes"] if p["table_bytes"] else float("nan"),
                     benchlib.mb(held), over / held if held > 0 else float("nan")])
    benchlib.print_table(["mode", "rows", "cols", "seconds", "MB/s", "peak MB",
                          "over start MB", "table MB", "x table", "result MB", "x result"],
                         rows)
    for own in ("vornish_polars", "vornish_polars_view", "vornish_polars_typed", "vornish_polars_typed_view",
                "vornish_pyarrow", "vornish_pyarrow_typed", "vornish_pyarrow_one_thread"):
        if own not in best:
            continue
        ours = best[own].payload["total_s"]
        for peer in ("polars_read_csv", "polars_read_csv_lossy", "duckdb_arrow",
                     "duckdb_arrow_ignore_errors", "polars_read_csv_on_clean",
                     "duckdb_arrow_on_clean", "list_pandas", "list_polars"):
            if peer in best:
                theirs = best[peer].payload["total_s"] * (scale if peer in LIST_MODES else 1)
                print(f"{peer} time / {own} time: {theirs / ours:.2f}")
    if "vornish_polars" in best:
        print(f"vornish summary: {best['vornish_polars'].payload['summary']}")


if __name__ == "__main__":
    main()
