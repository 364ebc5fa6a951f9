"""What the repair record costs, beside DuckDB's rejects tables, on the same file.

On the generated damaged file (short and long rows, stray and bare quotes,
invalid UTF-8, mixed line ends), one process per run, each reporting its
own peak RSS:

* ``vornish_file``: ``csv_vornish.vornish_file`` with ``threads=2``,
  ``vornish_file+record`` the same counting the changes by action
  (``record=True``), ``vornish_file+audit`` with ``audit=path`` (the
  record written beside the output);
* ``read_arrow``: ``pyarrow.table(csv_vornish.read_arrow(p, threads=2))``,
  ``read_arrow+record`` with ``record=True``, ``read_arrow+audit`` with
  ``audit=path``, and ``read_arrow+records`` with ``audit=True`` and the
  records taken into ``pyarrow.table(stream.audit)`` as well;
* ``duckdb``: ``read_csv(p, all_varchar=true, null_padding=true,
  strict_mode=false, ignore_errors=true)`` into an Arrow table with ``SET
  threads = 2``, and ``duckdb+rejects`` the same with ``store_rejects=true``
  (the rejected lines kept in DuckDB's ``reject_errors`` table).

With ``--mix F`` the input is instead a file whose rows are drawn from
the damaged generator with probability F and from the clean one otherwise
(about a quarter of the damaged generator's rows need a change, so
``--mix 0.22`` changes about 5% of the rows); ``rows changed`` counts them.

Each figure is the best of ``--repeat`` runs (``cpu s``: the least CPU
time, all threads of the process, which a busy machine disturbs less than
the clock); the ratios compare best times. DuckDB records only the lines it rejects; the record here names
every change, so the record counts differ by design.

    python bench/audit_bench.py [--size-mb 200] [--repeat 3] [--kind damaged | --mix F]
                                [--modes MODE...] [--module-path DIR | --build]

Inputs are generated into bench/data/ on first use; outputs go to
bench/data/out/ and are deleted after each run.
"""

from __future__ import annotations

import argparse
import os
import random
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import benchlib  # noqa: E402
import datagen  # noqa: E402

MODES = [
    "vornish_file", "vornish_file+record", "vornish_file+audit",
    "read_arrow", "read_arrow+record", "read_arrow+audit", "read_arrow+records",
    "duckdb", "duckdb+rejects",
]
# Each mode and the run it is measured against.
PAIRS = [
    ("vornish_file+record", "vornish_file"),
    ("vornish_file+audit", "vornish_file"),
    ("vornish_file+audit", "vornish_file+record"),
    ("read_arrow+record", "read_arrow"),
    ("read_arrow+audit", "read_arrow"),
    ("read_arrow+records", "read_arrow"),
    ("duckdb+rejects", "duckdb"),
]
THREADS = 2


def ensure_mixed(size_mb: float, share: float, data_dir: Path | None) -> Path:
    """A file of clean rows with a ``share`` of rows from the damaged generator, made once."""
    directory = Path(data_dir) if data_dir else datagen.DATA_DIR
    directory.mkdir(parents=True, exist_ok=True)
    path = directory / f"mixed-{size_mb:g}mb-{share:g}.csv".replace("0.", "0p")
    if path.exists():
        return path
    clean, damaged = datagen._pool("clean", 7), datagen._pool("damaged", 7)
    rng = random.Random(8)
    size = int(size_mb * 1_000_000)
    tmp = path.with_suffix(".tmp")
    with open(tmp, "wb") as out:
        out.write(datagen.HEADER)
        written, row_id = len(datagen.HEADER), 0
        while written < size:
            lines = []
            for _ in range(10_000):
                body = rng.choice(damaged) if rng.random() < share else rng.choice(clean)
                lines.append(b"%d,%s\n" % (row_id, body))
                row_id += 1
            block = b"".join(lines)
            out.write(block)
            written += len(block)
    os.replace(tmp, path)
    return path


def measure(mode: str, source: str, output: str, audit: str) -> dict:
    """Runs ``mode`` on ``source`` once; the counts it reports, untimed."""
    import csv_vornish

    result: dict = {}
    extra: dict = {}
    if mode.endswith("+record"):
        extra["record"] = True
    elif mode.endswith("+audit"):
        extra["audit"] = audit
    elif mode.endswith("+records"):
        extra["audit"] = True
    if mode.startswith("vornish_file"):
        summary = csv_vornish.vornish_file(source, output, threads=THREADS, **extra)
        result["rows"] = summary.total_rows
        if summary.actions is not None:
            result["records"] = sum(summary.actions.values())
    elif mode.startswith("read_arrow"):
        import pyarrow as pa

        stream = csv_vornish.read_arrow(source, threads=THREADS, **extra)
        table = pa.table(stream)
        result["rows"] = table.num_rows
        if mode.endswith("+records"):
            result["records"] = pa.table(stream.audit).num_rows
        elif stream.actions is not None:
            result["records"] = sum(stream.actions.values())
    elif mode.startswith("duckdb"):
        import duckdb

        con = duckdb.connect()
        con.execute(f"SET threads = {THREADS}")
        keep = "store_rejects = true" if mode.endswith("+rejects") else "ignore_errors = true"
        table = con.sql(
            "SELECT * FROM read_csv('" + source.replace("'", "''") + "', header = true, "
            f"all_varchar = true, null_padding = true, strict_mode = false, {keep})"
        ).to_arrow_table()
        result["rows"] = table.num_rows
        if mode.endswith("+rejects"):
            result["records"] = con.execute("SELECT count(*) FROM reject_errors").fetchone()[0]
    else:
        raise ValueError(mode)
    return result


def child(mode: str, source: str, output: str, audit: str) -> None:
    """One run in this process; prints one JSON line.

    A first run on a small damaged file loads the modules and lets each
    library set itself up (allocators, thread pools), so the timed run
    measures the reading alone.
    """
    result: dict = {"mode": mode}
    warm = Path(output).with_name("audit_bench.warm.csv")
    try:
        warm.write_bytes(b"id,a,b\n1,2\n3,\"x\"y\",4,5\n6,\xff,7\n")
        measure(mode, str(warm), output, audit)
        start, cpu = time.perf_counter(), time.process_time()
        try:
            result.update(measure(mode, source, output, audit))
        finally:
            result["total_s"] = time.perf_counter() - start
            result["cpu_s"] = time.process_time() - cpu
        if mode == "vornish_file+audit":
            import csv

            with open(audit, newline="", encoding="utf-8") as record:
                result["rows_changed"] = len({row[1] for row in csv.reader(record)}) - 1
    except Exception as error:  # a peer that cannot take the input, or is not installed
        result["error"] = f"{type(error).__name__}: {str(error)[:160]}"
        result.setdefault("total_s", 0.0)
    finally:
        warm.unlink(missing_ok=True)
    benchlib.emit(result)


def main() -> None:
    if len(sys.argv) == 6 and sys.argv[1] == "--child":
        child(*sys.argv[2:6])
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    benchlib.add_common_args(parser, size_mb=200)
    benchlib.add_module_args(parser)
    parser.add_argument("--kind", default="damaged", choices=["damaged", "clean"],
                        help="which generated file to read (default damaged)")
    parser.add_argument("--mix", type=float, default=None, metavar="F",
                        help="read a file of clean rows with a share F drawn from the damaged generator")
    parser.add_argument("--modes", nargs="+", choices=MODES, default=MODES, metavar="MODE",
                        help="run only these modes (default all: " + ", ".join(MODES) + ")")
    args = parser.parse_args()

    env = benchlib.child_env(benchlib.resolve_module_path(args))
    out_dir = (args.data_dir or datagen.DATA_DIR) / "out"
    out_dir.mkdir(parents=True, exist_ok=True)
    if args.mix is not None:
        source = ensure_mixed(args.size_mb, args.mix, args.data_dir)
    else:
        source = datagen.ensure(args.kind, args.size_mb, args.data_dir)
    size = source.stat().st_size

    def run(mode: str) -> benchlib.ChildResult:
        output, audit = out_dir / "audit_bench.csv", out_dir / "audit_bench.audit.csv"
        try:
            return benchlib.run_child(
                [sys.executable, __file__, "--child", mode, str(source), str(output), str(audit)], env
            )
        finally:
            for leftover in (output, audit):
                leftover.unlink(missing_ok=True)

    print(f"# Python {sys.version.split()[0]}, {os.cpu_count()} CPUs, load average "
          f"{os.getloadavg()[0]:.1f}; figures on a shared machine vary by tens of percent")
    benchlib.warm_page_cache(source)
    best: dict[str, benchlib.ChildResult] = {}
    peak: dict[str, int] = {}
    # The least CPU time of any run: on a machine shared with other work
    # it is steadier than the clock, which also counts waiting for a core.
    cpu: dict[str, float] = {}
    for _ in range(max(1, args.repeat)):
        # Interleaved, so that a burst of load elsewhere hits every mode alike.
        for mode in args.modes:
            got = run(mode)
            peak[mode] = max(peak.get(mode, 0), got.peak_rss)
            if "error" not in got.payload:
                cpu[mode] = min(cpu.get(mode, float("inf")), got.payload["cpu_s"])
            if mode not in best or got.payload["total_s"] < best[mode].payload["total_s"]:
                best[mode] = got

    table = []
    notes = []
    for mode in args.modes:
        p = best[mode].payload
        failed = "error" in p
        table.append([mode, "failed" if failed else p["total_s"],
                      "-" if failed else benchlib.mb_per_s(size, p["total_s"]),
                      "-" if failed else cpu[mode],
                      benchlib.mb(peak[mode]), p.get("rows", "-"), p.get("records", "-")])
        if failed:
            notes.append(f"{mode}: {p['error']}")
        if "rows_changed" in p:
            notes.append(f"{p['rows_changed']} of {p['rows']} rows changed "
                         f"({p['rows_changed'] / max(1, p['rows']) * 100:.1f} %), {p['records']} records")
    seconds = {m: best[m].payload["total_s"] for m in args.modes if "error" not in best[m].payload}
    print(f"# {source.name}: {benchlib.mb(size):.0f} MB, best of {max(1, args.repeat)}, {THREADS} threads each")
    benchlib.print_table(["mode", "best s", "MB/s", "cpu s", "peak MB", "rows", "records"], table)
    for audited, plain in PAIRS:
        if audited in seconds and plain in seconds:
            notes.append(f"{audited} / {plain}: clock {(seconds[audited] / seconds[plain] - 1) * 100:+.1f} %, "
                         f"cpu {(cpu[audited] / cpu[plain] - 1) * 100:+.1f} %")
    for note in notes:
        print("#", note)


if __name__ == "__main__":
    main()
