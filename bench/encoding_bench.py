"""One run, side by side: the same damaged table in UTF-8, windows-1252 and
UTF-16, turned into clean UTF-8 CSV by the front and by its peers.

The content (Western European text that windows-1252 can write, with short
and long rows and stray quotes; ``--size-mb`` of it as UTF-8) is written
once in each encoding. Every run is its own process with its own peak RSS:

* ``front``: ``csv_vornish.vornish_file(src, out, quarantine, threads=2,
  encoding=...)``;
* ``pandas``: ``read_csv(src, encoding=..., dtype=str, on_bad_lines="skip")
  .to_csv(out)``;
* ``duckdb``: ``COPY (SELECT * FROM read_csv(src, encoding=...)) TO out``
  with 2 threads; DuckDB knows utf-8, utf-16 and latin-1, so the
  windows-1252 file is read as latin-1 (the same letters here but for
  bytes 0x80 to 0x9F);
* ``iconv|polars``: ``iconv -f ENC -t UTF-8 src`` piped into
  ``polars.read_csv(...).write_csv(out)`` with POLARS_MAX_THREADS=2 (polars
  reads UTF-8 only); the peak is the polars process's.

Times are the best of --repeat; MB/s are of the UTF-8 size of the content,
so the rows of one table compare the same work.

    python bench/encoding_bench.py [--size-mb 200] [--repeat 2]

Inputs are kept in bench/data/; outputs go to bench/data/out/ and are
deleted after each run.
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import random
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import benchlib  # noqa: E402
import datagen  # noqa: E402
import encoding_corpus  # noqa: E402

THREADS = 2
ENCODINGS = {"utf-8": "utf-8", "windows-1252": "cp1252", "utf-16": "utf-16"}
DUCKDB_NAME = {"utf-8": "utf-8", "windows-1252": "latin-1", "utf-16": "utf-16"}
ICONV_NAME = {"utf-8": "UTF-8", "windows-1252": "WINDOWS-1252", "utf-16": "UTF-16"}
MODES = ("front", "pandas", "duckdb", "iconv|polars")
PEER_MODULE = {"pandas": "pandas", "duckdb": "duckdb", "iconv|polars": "polars"}


def child(mode: str, encoding: str, source: str, output: str) -> None:
    """One run in this process; prints one JSON line."""
    result: dict = {"mode": mode}
    start = time.perf_counter()
    try:
        if mode == "front":
            import csv_vornish
            csv_vornish.vornish_file(source, output, output + ".quarantine", threads=THREADS,
                                     encoding=encoding)
        elif mode == "pandas":
            import pandas as pd
            frame = pd.read_csv(source, sep=";", dtype=str, on_bad_lines="skip", header=None, engine="c",
                                encoding=ENCODINGS[encoding])
            frame.to_csv(output, index=False, header=False)
        elif mode == "duckdb":
            import duckdb
            con = duckdb.connect()
            con.execute(f"SET threads={THREADS}")
            con.execute(
                f"COPY (SELECT * FROM read_csv('{source}', delim=';', all_varchar=true, null_padding=true, "
                f"strict_mode=false, ignore_errors=true, encoding='{DUCKDB_NAME[encoding]}')) "
                f"TO '{output}' (HEADER false)")
        elif mode == "iconv|polars":
            import polars as pl
            read = dict(separator=";", infer_schema=False, truncate_ragged_lines=True, ignore_errors=True,
                        quote_char=None)
            if encoding == "utf-8":
                frame = pl.read_csv(source, **read)
            else:
                pipe = subprocess.Popen(["iconv", "-f", ICONV_NAME[encoding], "-t", "UTF-8", source],
                                        stdout=subprocess.PIPE)
                assert pipe.stdout is not None
                data = pipe.stdout.read()
                pipe.wait()
                frame = pl.read_csv(data, **read)
                del data
            frame.write_csv(output)
        else:
            raise SystemExit(f"unknown mode {mode}")
    except Exception as error:  # a peer that cannot read the input is reported, not fatal
        result["failed"] = f"{type(error).__name__}: {str(error)[:160]}"
    result["total_s"] = time.perf_counter() - start
    benchlib.emit(result)


def content(size_mb: float) -> str:
    """About ``size_mb`` MB (as UTF-8) of damaged tables in French, German,
    Spanish, Portuguese and Danish: a block of them, repeated."""
    rng = random.Random(11)
    block = "".join(encoding_corpus.table(rng, language, 400_000, "cp1252").replace("|", ";").replace("\t", ";")
                    for language in ("french", "german", "spanish", "portuguese", "nordic"))
    lines = block.splitlines(keepends=True)
    block = lines[0] + "".join(line for line in lines[1:] if not line.startswith("id"))
    copies = max(1, round(size_mb * 1e6 / len(block.encode("utf-8"))))
    return block * copies


def inputs(size_mb: float, data_dir: Path) -> dict[str, Path]:
    paths = {name: data_dir / f"encoded-{size_mb:g}mb.{name}.csv" for name in ENCODINGS}
    if not all(path.exists() for path in paths.values()):
        text = content(size_mb)
        for name, path in paths.items():
            path.with_suffix(".tmp").write_bytes(text.encode(ENCODINGS[name]))
            path.with_suffix(".tmp").replace(path)
    return paths


def main() -> None:
    if len(sys.argv) == 6 and sys.argv[1] == "--child":
        child(*sys.argv[2:6])
        return
    parser = argparse.ArgumentParser(description="Encodings: the front against its peers.")
    benchlib.add_common_args(parser, size_mb=200)
    parser.set_defaults(repeat=2)
    args = parser.parse_args()

    env = dict(os.environ, POLARS_MAX_THREADS=str(THREADS))
    data_dir = args.data_dir or datagen.DATA_DIR
    out_dir = data_dir / "out"
    out_dir.mkdir(parents=True, exist_ok=True)
    paths = inputs(args.size_mb, data_dir)
    size = paths["utf-8"].stat().st_size
    modes = [m for m in MODES if m not in PEER_MODULE or importlib.util.find_spec(PEER_MODULE[m])]
    print(f"# Python {sys.version.split()[0]}; {THREADS} threads everywhere; the same content in each "
          f"encoding, {benchlib.mb(size):.0f} MB as UTF-8; MB/s are of the UTF-8 size")
    table: list[list[object]] = []
    notes: list[str] = []
    best: dict[tuple[str, str], float] = {}
    try:
        for name, source in paths.items():
            benchlib.warm_page_cache(source)
            label = f"{name} ({benchlib.mb(source.stat().st_size):.0f} MB)"
            peak: dict[str, int] = {}
            for _ in range(max(1, args.repeat)):
                for mode in modes:
                    output = out_dir / "out.csv"
                    got = benchlib.run_child(
                        [sys.executable, __file__, "--child", mode, name, str(source), str(output)], env)
                    for leftover in out_dir.glob("*"):
                        leftover.unlink()
                    if "failed" in got.payload:
                        notes.append(f"{label} {mode}: failed: {got.payload['failed']}")
                        continue
                    best[name, mode] = min(best.get((name, mode), float("inf")), got.payload["total_s"])
                    peak[mode] = max(peak.get(mode, 0), got.peak_rss)
            for mode in modes:
                if (name, mode) in best:
                    seconds = best[name, mode]
                    table.append([label, mode, seconds, benchlib.mb_per_s(size, seconds), benchlib.mb(peak[mode])])
            for mode in modes:
                if mode != "front" and (name, mode) in best and (name, "front") in best:
                    notes.append(f"{name}: front / {mode} speed {best[name, mode] / best[name, 'front']:.2f}x")
    finally:
        for leftover in out_dir.glob("*"):
            leftover.unlink()
    benchlib.print_table(["input", "mode", "best s", "MB/s", "peak MB"], table)
    for name in ("windows-1252", "utf-16"):
        if (name, "front") in best and ("utf-8", "front") in best:
            notes.append(f"front: {name} time / utf-8 time {best[name, 'front'] / best['utf-8', 'front']:.2f}")
    for note in dict.fromkeys(notes):
        print(note)


if __name__ == "__main__":
    main()
