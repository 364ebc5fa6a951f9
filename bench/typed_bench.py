"""Typed tables: read_arrow's whole-file type inference beside the peers'
own CSV readers with their default inference, on a clean and a damaged
file of integer, float, date, timestamp, boolean and text columns, in one
run.

    python bench/typed_bench.py [--size-mb 200] [--repeat 1] [--module-path DIR | --build]

Measured, each in its own child process, 2 threads each:

* ``vornish_polars``: ``polars.DataFrame(csv_vornish.read_arrow(p, threads=2))``
* ``vornish_pyarrow``: ``pyarrow.table(csv_vornish.read_arrow(p, threads=2))``
* ``polars_read_csv``: ``polars.read_csv(p)`` (POLARS_MAX_THREADS=2)
* ``polars_hinted``: ``polars.read_csv(p, null_values=["NA"], try_parse_dates=True)``,
  told what its sample cannot show it, so it reaches the same types when
  it does not abort
* ``pyarrow_csv``: ``pyarrow.csv.read_csv(p)`` (``pyarrow.set_cpu_count(2)``)
* ``duckdb``: DuckDB (2 threads) ``read_csv(p)`` fetched as a pyarrow table
* ``pandas_pyarrow``: ``pandas.read_csv(p, engine="pyarrow")``

The damaged file is the clean one with ragged rows (short and long),
stray quotes inside fields and invalid UTF-8 in a text column; its cells
are otherwise the clean file's, so a reader that keeps every row gives
the clean file's types. For each run: rows, the column types (i int64,
f float64, D date, T timestamp, b bool, s string, other letters as
named), MB/s, peak resident memory and the peak over the table's size;
a reader that fails prints its error instead. Nothing asserts on a timing.

With ``--repeat N`` the modes take turns, N rounds, so that a slow spell of
the machine falls on all of them; the table shows each mode's best run
(its memory figures from that run) and the median of its N clocks, and
the ratios are given on both: a fresh process's first large read is far
steadier for some readers than for others, which a best-of-N alone hides.
"""

from __future__ import annotations

import argparse
import datetime as dt
import os
import random
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import benchlib  # noqa: E402

MODES = ("vornish_polars", "vornish_pyarrow", "polars_read_csv", "polars_hinted", "pyarrow_csv", "duckdb",
         "pandas_pyarrow")
HEADER = "id,qty,price,ratio,day,at,ok,city,note\n"
CITIES = ["Oslo", "Graz", "Lyon", "Porto", "Zürich", "Kraków", "São Paulo", "Reykjavík"]
NOTES = ["", "fragile", "leave at door", "gift, wrapped", 'say "hi"', "call first", "n/a"]


def _row_tails(rng: random.Random, n: int) -> list[str]:
    tails = []
    start = dt.datetime(2015, 1, 1)
    for _ in range(n):
        when = start + dt.timedelta(seconds=rng.randrange(300_000_000))
        note = rng.choice(NOTES)
        if "," in note or '"' in note:
            note = '"' + note.replace('"', '""') + '"'
        tails.append(
            f"{rng.randrange(1, 500) if rng.random() > 0.02 else 'NA'},"
            f"{rng.uniform(0, 5000):.2f},{rng.uniform(-1, 1):.6e},"
            f"{when.date().isoformat()},{when.isoformat(sep='T')}.{rng.randrange(10**6):06},"
            f"{rng.choice(['true', 'false'])},{rng.choice(CITIES)},{note}\n")
    return tails


def _damage(tail: str, k: int) -> str:
    kind = k % 4
    fields = tail.rstrip("\n").split(",")
    if kind == 0:
        return ",".join(fields[:-2]) + "\n"  # short row: padded, cells null
    if kind == 1:
        return tail.rstrip("\n") + ",extra,fields\n"  # long row: merged into the note
    if kind == 2:
        return tail.replace(",Oslo,", ",Os\xfflo,").replace(",Graz,", ",Gr\xffaz,")
    return tail.rstrip("\n") + ' with a "stray" quote\n' if not tail.rstrip("\n").endswith('"') else tail


def ensure(kind: str, size_mb: float, data_dir: Path | None) -> Path:
    folder = data_dir or (Path(__file__).resolve().parent / "data")
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / f"typed_{kind}_{size_mb:g}mb.csv"
    if path.exists():
        return path
    rng = random.Random(25)
    tails = _row_tails(rng, 20_000)
    target = int(size_mb * 1_000_000)
    written = 0
    scratch = path.with_suffix(".part")
    with open(scratch, "w", encoding="utf-8", errors="surrogateescape", newline="") as out:
        out.write(HEADER)
        i = 0
        while written < target:
            lines = []
            for _ in range(10_000):
                tail = tails[rng.randrange(len(tails))]
                if kind == "damaged" and i % 97 == 0:
                    tail = _damage(tail, i // 97)
                lines.append(f"{i},{tail}")
                i += 1
            text = "".join(lines)
            if kind == "damaged":
                # Invalid UTF-8 as real bytes, not as the character U+00FF.
                text = text.replace("\xff", "\udcff")
            out.write(text)
            written += len(text)
    scratch.rename(path)
    return path


def _letters(types: list[str]) -> str:
    short = {"int64": "i", "double": "f", "float64": "f", "Float64": "f", "Int64": "i", "date32[day]": "D",
             "Date": "D", "bool": "b", "Boolean": "b", "string": "s", "large_string": "s", "String": "s",
             "date": "D", "object": "o", "int64[pyarrow]": "i", "double[pyarrow]": "f",
             "string[pyarrow]": "s", "bool[pyarrow]": "b", "date32[day][pyarrow]": "D"}
    return "".join(short.get(t, "T" if "timestamp" in t.lower() or "datetime" in t.lower() else "?")
                   for t in types)


def child(mode: str, path: str) -> None:
    import duckdb
    import pandas as pd
    import polars as pl
    import pyarrow as pa
    import pyarrow.csv

    import csv_vornish

    pa.set_cpu_count(2)
    pa.set_io_thread_count(2)
    result: dict = {"mode": mode}
    tiny = Path(path).with_suffix(".tiny.csv")
    tiny.write_text("a,b\n1,2\n")
    pl.DataFrame(csv_vornish.read_arrow(tiny))
    pa.table(csv_vornish.read_arrow(tiny))
    tiny.unlink()
    result["rss_start"] = benchlib.rss_now() if hasattr(benchlib, "rss_now") else _rss_now()
    start = time.perf_counter()
    try:
        if mode == "vornish_polars":
            frame = pl.DataFrame(csv_vornish.read_arrow(path, threads=2))
            result.update(rows=frame.height, types=_letters([_polars_name(t) for t in frame.dtypes]))
        elif mode == "vornish_pyarrow":
            table = pa.table(csv_vornish.read_arrow(path, threads=2))
            result.update(rows=table.num_rows, table_bytes=table.nbytes,
                          types=_letters([str(t) for t in table.schema.types]))
        elif mode == "polars_read_csv":
            frame = pl.read_csv(path)
            result.update(rows=frame.height, types=_letters([_polars_name(t) for t in frame.dtypes]))
        elif mode == "polars_hinted":
            frame = pl.read_csv(path, null_values=["NA"], try_parse_dates=True)
            result.update(rows=frame.height, types=_letters([_polars_name(t) for t in frame.dtypes]))
        elif mode == "pyarrow_csv":
            table = pyarrow.csv.read_csv(path)
            result.update(rows=table.num_rows, table_bytes=table.nbytes,
                          types=_letters([str(t) for t in table.schema.types]))
        elif mode == "duckdb":
            con = duckdb.connect(config={"threads": 2})
            relation = con.sql(f"SELECT * FROM read_csv('{path}')")
            table = relation.fetch_arrow_table() if hasattr(relation, "fetch_arrow_table") else relation.arrow()
            result.update(rows=table.num_rows, table_bytes=table.nbytes,
                          types=_letters([str(t) for t in table.schema.types]))
        elif mode == "pandas_pyarrow":
            frame = pd.read_csv(path, engine="pyarrow")
            result.update(rows=len(frame), table_bytes=int(frame.memory_usage(deep=True).sum()),
                          types=_letters([str(t) for t in frame.dtypes]))
        else:
            raise SystemExit(f"unknown mode {mode}")
    except Exception as error:  # a peer giving up is a result, not a failure of the run
        result["error"] = f"{type(error).__name__}: {str(error).splitlines()[0][:90]}"
    result["total_s"] = time.perf_counter() - start
    if "error" not in result and mode in ("vornish_polars", "polars_read_csv", "polars_hinted"):
        result["table_bytes"] = _polars_bytes(frame)
    benchlib.emit(result)


def _polars_bytes(frame: object) -> int:
    """The frame's memory as its own buffers hold it. polars' estimated_size
    counts a string column by its text alone and leaves out the 16-byte view
    of every cell, a third of the frame here; its Arrow export in the newest
    layout shares those buffers, so their sum is what the frame occupies."""
    import polars as pl

    return frame.to_arrow(compat_level=pl.CompatLevel.newest()).nbytes


def _polars_name(dtype: object) -> str:
    text = str(dtype)
    return {"Int64": "int64", "Float64": "double", "Date": "date32[day]", "Boolean": "bool",
            "String": "string"}.get(text, text)


def _rss_now() -> int:
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("VmRSS missing")


def main() -> None:
    if len(sys.argv) == 4 and sys.argv[1] == "--child":
        child(sys.argv[2], sys.argv[3])
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    benchlib.add_common_args(parser, size_mb=200)
    benchlib.add_module_args(parser)
    parser.set_defaults(repeat=1)
    args = parser.parse_args()
    env = benchlib.child_env(benchlib.resolve_module_path(args))
    env["POLARS_MAX_THREADS"] = "2"
    print(f"# Python {sys.version.split()[0]}; 2 threads each; types: i int64, f float64, D date, "
          "T timestamp, b bool, s string")
    for kind in ("clean", "damaged"):
        path = ensure(kind, args.size_mb, args.data_dir)
        size = path.stat().st_size
        rows = []
        seconds: dict[str, float] = {}
        medians: dict[str, float] = {}
        runs: dict[str, list[benchlib.ChildResult]] = {mode: [] for mode in MODES}
        for _ in range(max(1, args.repeat)):
            for mode in MODES:
                benchlib.warm_page_cache(path)
                runs[mode].append(benchlib.run_child([sys.executable, __file__, "--child", mode, str(path)], env))
        for mode in MODES:
            best = min(runs[mode], key=lambda got: got.payload["total_s"])
            median = statistics.median(got.payload["total_s"] for got in runs[mode])
            p = best.payload
            over = best.peak_rss - p["rss_start"]
            if "error" in p:
                rows.append([mode, "-", p["error"], p["total_s"], "-", "-", benchlib.mb(best.peak_rss), "-"])
                continue
            seconds[mode] = p["total_s"]
            medians[mode] = median
            rows.append([mode, p["rows"], p["types"], p["total_s"], median,
                         benchlib.mb_per_s(size, p["total_s"]), benchlib.mb(best.peak_rss),
                         over / p["table_bytes"] if p["table_bytes"] else float("nan")])
        print(f"\n# {path.name}: {benchlib.mb(size):.1f} MB {kind} CSV")
        benchlib.print_table(["mode", "rows", "types", "best s", "median s", "MB/s", "peak MB", "x table"], rows)
        for ours in ("vornish_polars", "vornish_pyarrow"):
            for peer, peer_s in seconds.items():
                if ours in seconds and not peer.startswith("vornish"):
                    print(f"# {path.name}: {ours} is {peer_s / seconds[ours]:.2f} x as fast as {peer} "
                          f"(best runs), {medians[peer] / medians[ours]:.2f} x (medians)")


if __name__ == "__main__":
    main()
