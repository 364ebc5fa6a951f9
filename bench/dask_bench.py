"""csv_vornish.dask against dask.dataframe.read_csv, on a LocalCluster.

On a folder of ``--files`` generated damaged files (``--size-mb`` in all)
and on one file of ``--size-mb`` split into partitions of ``--blocksize``,
with 1 and with 2 workers:

* ``vornish read_csv().compute()``: ``csv_vornish.dask.read_csv(folder, types="string")``
  brought back whole to this process as pandas;
* ``vornish read_csv, rows counted``: the same frame, only its row count
  brought back (the frames stay on the workers); also on the one file;
* ``vornish repair_files``: the folder repaired to clean CSV;
* ``dask read_csv().compute()``: ``dask.dataframe.read_csv(folder,
  dtype=str, on_bad_lines="skip")``, 2 workers; it gives up on, drops or
  mangles what it cannot parse.

Each clock covers the whole call, planning on this process included. The
workers have run an untimed job on another file before any clock starts,
as on a cluster that has run a job before; their peak memory is reset
before each run.

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


def reset_peak() -> None:
    """Starts a worker's peak resident set afresh (Linux: 5 to clear_refs)."""
    try:
        with open("/proc/self/clear_refs", "w", encoding="ascii") as refs:
            refs.write("5")
    except OSError:
        pass


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
    warm = [datagen.ensure("damaged", 2, args.data_dir, seed=seed) for seed in (98, 99)]
    folder_bytes = sum(p.stat().st_size for p in folder)
    big_bytes = big.stat().st_size
    for path in [big, *folder]:
        benchlib.warm_page_cache(path)

    rows = []

    def measure(label: str, nbytes: int, job, client) -> None:
        client.run(reset_peak)
        kept, seconds = timed(job)
        peak = max(client.run(worker_peak).values())
        rows.append([label, nbytes, seconds, benchlib.mb_per_s(nbytes, seconds), kept, benchlib.mb(peak)])

    def repair(paths: list[Path]) -> int:
        out = Path(tempfile.mkdtemp(prefix="dask_bench_"))
        try:
            return int(cvd.repair_files(paths, out)["vornished_rows"].sum())
        finally:
            shutil.rmtree(out, ignore_errors=True)

    for workers in (1, 2):
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                          dashboard_address=None, silence_logs=50) as cluster, Client(cluster) as client:
            # Untimed, on another file: a worker's first task pays for
            # imports and first allocations, which a cluster that has run a
            # job before has already paid.
            len(cvd.read_csv(warm, types="string").compute())
            repair(warm)
            # Each clock covers the whole call, planning on this process included.
            measure(f"vornish read_csv().compute(), {workers} worker(s)", folder_bytes,
                    lambda: len(cvd.read_csv(folder, blocksize=args.blocksize, types="string").compute()), client)
            measure(f"vornish read_csv, rows counted, {workers} worker(s)", folder_bytes,
                    lambda: int(cvd.read_csv(folder, blocksize=args.blocksize)
                                .map_partitions(len).compute().sum()), client)
            measure(f"vornish read_csv, one file, rows counted, {workers} worker(s)", big_bytes,
                    lambda: int(cvd.read_csv(big, blocksize=args.blocksize)
                                .map_partitions(len).compute().sum()), client)
            measure(f"vornish repair_files, {workers} worker(s)", folder_bytes, lambda: repair(folder), client)

            if workers == 2:
                def peer() -> int:
                    frame = dd.read_csv([str(p) for p in folder], dtype=str, on_bad_lines="skip",
                                        blocksize=args.blocksize, keep_default_na=False)
                    return len(frame.compute())
                try:
                    measure("dask read_csv().compute(), 2 workers", folder_bytes, peer, client)
                except Exception as error:  # a peer failing is a result too
                    rows.append([f"dask read_csv, 2 workers: failed ({type(error).__name__})",
                                 folder_bytes, float("nan"), float("nan"), 0, float("nan")])

    print(f"cores: {os.cpu_count()}, blocksize {args.blocksize}")
    benchlib.print_table(["run", "input bytes", "seconds", "MB/s", "rows kept", "worker peak MB"], rows)
    by_name = {row[0]: row[2] for row in rows}
    for what in ("read_csv().compute()", "read_csv, rows counted", "read_csv, one file, rows counted",
                 "repair_files"):
        one, two = by_name[f"vornish {what}, 1 worker(s)"], by_name[f"vornish {what}, 2 worker(s)"]
        print(f"{what}: 2 workers {one / two:.2f}x the speed of 1")


if __name__ == "__main__":
    main()
