"""A table with a footer: what setting the footer aside costs, beside pandas' skipfooter.

The generated clean file gets a totals row and a source line at its end.
One process per run, each reporting its own peak RSS:

* ``plain1`` / ``plain2``: ``csv_vornish.vornish_file`` with ``threads=1``
  / ``2`` and no footer (the two rows are read as data);
* ``footer1`` / ``footer2``: the same with ``skip_footer=2``: the last two
  rows are held back until the end and set aside (such a run stays on one
  thread, whatever ``threads`` says);
* ``arrow``: ``pyarrow.table(csv_vornish.read_arrow(..., skip_footer=2))``
  with the column types inferred (the footer is left out of them);
* ``pandas``: ``pandas.read_csv(..., skipfooter=2, engine="python",
  dtype=str)``: pandas sets a footer aside only with its Python engine.
  polars and DuckDB have no footer option (the rows would have to be
  counted first), so they are not in the table.

    python bench/layout_bench.py [--size-mb 100] [--repeat 2]
                                 [--module-path DIR | --build]
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import benchlib  # noqa: E402
import datagen  # noqa: E402

MODES = ["plain1", "plain2", "footer1", "footer2", "arrow", "pandas"]
FOOTER = b"Total" + b"," * 9 + b"\nSource: the generator\n"


def child(mode: str, source: str, output: str) -> None:
    """One run in this process; prints one JSON line."""
    result: dict = {"mode": mode}
    start = time.perf_counter()
    try:
        if mode in ("plain1", "plain2", "footer1", "footer2"):
            import csv_vornish
            footer = 2 if mode.startswith("footer") else 0
            summary = csv_vornish.vornish_file(source, output, threads=int(mode[-1]), skip_footer=footer)
            result["rows"] = summary.vornished_rows
        elif mode == "arrow":
            import pyarrow as pa

            import csv_vornish
            result["rows"] = pa.table(csv_vornish.read_arrow(source, skip_footer=2)).num_rows
        elif mode == "pandas":
            import pandas as pd
            result["rows"] = len(pd.read_csv(source, skipfooter=2, engine="python", dtype=str))
        else:
            raise ValueError(mode)
    except Exception as error:  # a peer that cannot take the input
        result["error"] = f"{type(error).__name__}: {str(error)[:120]}"
    result["total_s"] = time.perf_counter() - start
    benchlib.emit(result)


def with_footer(size_mb: float, data_dir: Path | None) -> Path:
    clean = datagen.ensure("clean", size_mb, data_dir)
    path = clean.with_name(clean.stem + "-footer.csv")
    if not path.exists():
        tmp = path.with_suffix(".tmp")
        with open(clean, "rb") as src, open(tmp, "wb") as out:
            shutil.copyfileobj(src, out)
            out.write(FOOTER)
        os.replace(tmp, path)
    return path


def main() -> None:
    if len(sys.argv) == 5 and sys.argv[1] == "--child":
        child(*sys.argv[2:5])
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    benchlib.add_common_args(parser, size_mb=100)
    parser.set_defaults(repeat=2)
    benchlib.add_module_args(parser)
    args = parser.parse_args()

    env = benchlib.child_env(benchlib.resolve_module_path(args))
    out_dir = (args.data_dir or datagen.DATA_DIR) / "out"
    out_dir.mkdir(parents=True, exist_ok=True)
    source = with_footer(args.size_mb, args.data_dir)
    size = source.stat().st_size
    benchlib.warm_page_cache(source)

    print(f"# Python {sys.version.split()[0]}, {os.cpu_count()} CPUs, load average "
          f"{os.getloadavg()[0]:.1f}; figures on a shared machine vary by tens of percent")
    best: dict[str, dict] = {}
    peak: dict[str, int] = {}
    for _ in range(max(1, args.repeat)):
        for mode in MODES:
            output = out_dir / f"layout-{mode}.csv"
            try:
                got = benchlib.run_child([sys.executable, __file__, "--child", mode, str(source), str(output)], env)
            finally:
                output.unlink(missing_ok=True)
            peak[mode] = max(peak.get(mode, 0), got.peak_rss)
            if mode not in best or got.payload["total_s"] < best[mode]["total_s"]:
                best[mode] = got.payload
    table = []
    for mode in MODES:
        p = best[mode]
        failed = "error" in p
        table.append([f"{source.name} ({benchlib.mb(size):.0f} MB)", mode, "failed" if failed else p["total_s"],
                      "-" if failed else benchlib.mb_per_s(size, p["total_s"]), benchlib.mb(peak[mode]),
                      p.get("rows", "-")])
    benchlib.print_table(["input", "mode", "best s", "MB/s", "peak MB", "rows"], table)
    for mode in MODES:
        if "error" in best[mode]:
            print(f"# {mode}: {best[mode]['error']}")


if __name__ == "__main__":
    main()
