"""csv_vornish.dask against dask.dataframe.read_csv, on a LocalCluster.

On one generated damaged file (``--size-mb``, split into partitions of
``--blocksize``) and a folder of ``--files`` smaller ones:

* ``vornish read_csv``: ``csv_vornish.dask.read_csv(...)``, row count
  only, summed on the workers, with 1 and with 2 workers;
* ``vornish read_csv().compute()``: the same frame brought back whole to
  the client as pandas, with 1 and with 2 workers;
* ``dask read_csv``: ``dask.dataframe.read_csv(..., dtype=str,
  on_bad_lines="skip", engine="python" fallback when the C parser gives
  up)`` with 2 workers; it drops or mangles what it cannot parse;
* ``vornish repair_files``: the folder repaired to clean CSV, 1 and 2
  workers.

Every worker is its own process with one thread. Figures: MB/s of input,
rows kept, and the peak resident memory of the largest worker.

    python bench/dask_bench.py [--size-mb 200] [--files 8] [--blocksize 32MiB]
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import benchlib  # noqa: E402
import datagen  # noqa: E402


def worker_peak() -> int:
    """A worker's own peak resident set (runs there, so it needs nothing of bench/)."""
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def timed(function):
    start = time.perf_counter()
    value = function()
    return value, time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mb", type=float, default=200)
    parser.add_argument("--files", type=int, default=8, help="files in the folder (each size-mb / files)")
    parser.add_argument("--blocksize", default="32MiB")
    parser.add_argument("--data-dir", type=Path, default=None)
    args = parser.parse_args()

    import dask.dataframe as dd
    from distributed import Client, LocalCluster

    import csv_vornish.dask as cvd

    big = datagen.ensure("damaged", args.size_mb, args.data_dir)
    folder = [datagen.ensure("damaged", args.size_mb / args.files, args.data_dir, seed=seed)
              for seed in range(1, args.files + 1)]
    folder_bytes = sum(p.stat().st_size for p in folder)
    big_bytes = big.stat().st_size
    for path in [big, *folder]:
        benchlib.warm_page_cache(path)

    rows = []
    for workers in (1, 2):
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                          dashboard_address=None, silence_logs=50) as cluster, Client(cluster) as client:
            frame = cvd.read_csv(big, blocksize=args.blocksize)
            kept, seconds = timed(lambda: int(frame.map_partitions(len).compute().sum()))
            peak = max(client.run(worker_peak).values())
            rows.append([f"vornish read_csv, {workers} worker(s)", big_bytes, seconds,
                         benchlib.mb_per_s(big_bytes, seconds), kept, benchlib.mb(peak)])
            client.restart()

            # The whole frame brought back to this process, as a user's
            # .compute() does: the transfer and the concatenation are serial.
            frame = cvd.read_csv(big, blocksize=args.blocksize)
            kept, seconds = timed(lambda: len(frame.compute()))
            peak = max(client.run(worker_peak).values())
            rows.append([f"vornish read_csv().compute(), {workers} worker(s)", big_bytes, seconds,
                         benchlib.mb_per_s(big_bytes, seconds), kept, benchlib.mb(peak)])
            client.restart()

            out = Path(tempfile.mkdtemp(prefix="dask_bench_"))
            try:
                report, seconds = timed(lambda: cvd.repair_files(folder, out))
                kept = int(report["vornished_rows"].sum())
            finally:
                shutil.rmtree(out, ignore_errors=True)
            peak = max(client.run(worker_peak).values())
            rows.append([f"vornish repair_files, {workers} worker(s)", folder_bytes, seconds,
                         benchlib.mb_per_s(folder_bytes, seconds), kept, benchlib.mb(peak)])
            client.restart()

            if workers == 2:
                def peer() -> int:
                    frame = dd.read_csv(str(big), dtype=str, on_bad_lines="skip", blocksize=args.blocksize,
                                        keep_default_na=False)
                    return int(frame.map_partitions(len).compute().sum())
                try:
                    kept, seconds = timed(peer)
                    peak = max(client.run(worker_peak).values())
                    rows.append(["dask read_csv, 2 workers", big_bytes, seconds,
                                 benchlib.mb_per_s(big_bytes, seconds), kept, benchlib.mb(peak)])
                except Exception as error:  # a peer failing is a result too
                    rows.append([f"dask read_csv, 2 workers: failed ({type(error).__name__})",
                                 big_bytes, float("nan"), float("nan"), 0, float("nan")])

    print(f"cores: {os.cpu_count()}, blocksize {args.blocksize}")
    benchlib.print_table(["run", "input bytes", "seconds", "MB/s", "rows kept", "worker peak MB"], rows)
    by_name = {row[0]: row[2] for row in rows}
    for what in ("read_csv", "read_csv().compute()", "repair_files"):
        one, two = by_name[f"vornish {what}, 1 worker(s)"], by_name[f"vornish {what}, 2 worker(s)"]
        print(f"{what}: 2 workers {one / two:.2f}x the speed of 1")


if __name__ == "__main__":
    main()
