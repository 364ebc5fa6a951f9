"""One run, side by side: compressed damaged CSV repaired by the front and by its peers.

The damaged file of ``datagen`` (200 MB by default) is compressed once as
``.gz`` and ``.zst``, and as BGZF blocks (``.bgzf.gz``) and 1 MB zstd
frames (``.frames.zst``), whose pieces the front decodes on several
threads; each is then turned into a clean CSV, every run in its
own process with its own peak RSS:

* ``front``: ``csv_vornish.vornish_file(src, out, quarantine, threads=2)``,
  which decompresses as it repairs;
* ``pipe``: ``gzip -dc src | csv-vornish repair - -o out --threads 2`` (or
  ``zstd -dc``), the plain way without built-in decompression (wall time of
  the whole pipeline; peak RSS of the repair's process tree not measured);
* ``polars``: ``read_csv(src, ...).write_csv(out)`` with POLARS_MAX_THREADS=2;
* ``duckdb``: ``COPY (SELECT * FROM read_csv(src, ...)) TO out`` with 2 threads;
* ``pandas``: ``read_csv(src, dtype=str, on_bad_lines="skip").to_csv(out)``.

With ``--big-gb N`` the damaged file is also written N/0.2 times over as
gzip members (N GB uncompressed) and the front's and polars' peak memory
on it are shown: the front streams it, polars holds it.

A peer that is not installed is skipped; a peer that fails on the input is
reported as failed. Times are the best of --repeat.

    python bench/compressed_bench.py [--size-mb 200] [--repeat 2] [--big-gb 4]

Inputs are kept in bench/data/; outputs go to bench/data/out/ and are
deleted after each run.
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import shutil
import subprocess
import sys
import time
import zlib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import benchlib  # noqa: E402
import datagen  # noqa: E402

MODES = ("front", "pipe", "polars", "duckdb", "pandas")
# Files of independent pieces the front decodes on several threads; timed
# against the plain pipe and polars only.
PIECES = (".bgzf.gz", ".frames.zst")
PEER_MODULE = {"polars": "polars", "duckdb": "duckdb", "pandas": "pandas"}
THREADS = 2


def child(mode: str, source: str, output: str) -> None:
    """One run in this process; prints one JSON line."""
    result: dict = {"mode": mode}
    start = time.perf_counter()
    try:
        if mode == "front":
            import csv_vornish
            csv_vornish.vornish_file(source, output, output + ".quarantine", threads=THREADS)
        elif mode == "polars":
            import polars as pl
            read = dict(infer_schema=False, truncate_ragged_lines=True, ignore_errors=True,
                        encoding="utf8-lossy")
            try:
                frame = pl.read_csv(source, **read)
            except pl.exceptions.ComputeError:
                result["note"] = "quoted read failed; timed with quote_char=None"
                start = time.perf_counter()
                frame = pl.read_csv(source, quote_char=None, **read)
            frame.write_csv(output)
        elif mode == "duckdb":
            import duckdb
            con = duckdb.connect()
            con.execute(f"SET threads={THREADS}")
            con.execute(
                f"COPY (SELECT * FROM read_csv('{source}', all_varchar=true, null_padding=true, "
                f"strict_mode=false, ignore_errors=true)) TO '{output}' (HEADER false)")
        elif mode == "pandas":
            import pandas as pd
            frame = pd.read_csv(source, dtype=str, on_bad_lines="skip", encoding_errors="replace",
                                header=None, engine="c")
            frame.to_csv(output, index=False, header=False)
        else:
            raise SystemExit(f"unknown mode {mode}")
    except Exception as error:  # a peer that cannot read the input is reported, not fatal
        result["failed"] = f"{type(error).__name__}: {str(error)[:120]}"
    result["total_s"] = time.perf_counter() - start
    benchlib.emit(result)


def pipe_seconds(tool: list[str], source: Path, output: Path) -> float:
    start = time.perf_counter()
    decoder = subprocess.Popen([*tool, str(source)], stdout=subprocess.PIPE)
    subprocess.run([sys.executable, "-m", "csv_vornish", "repair", "-", "-o", str(output),
                    "--threads", str(THREADS)], stdin=decoder.stdout, check=True,
                   stderr=subprocess.DEVNULL)
    assert decoder.stdout is not None
    decoder.stdout.close()
    decoder.wait()
    return time.perf_counter() - start


def _bgzf_block(data: bytes) -> bytes:
    deflate = zlib.compressobj(6, zlib.DEFLATED, -zlib.MAX_WBITS)
    body = deflate.compress(data) + deflate.flush()
    size = 18 + len(body) + 8
    header = b"\x1f\x8b\x08\x04\0\0\0\0\0\xff\x06\0BC\x02\0" + (size - 1).to_bytes(2, "little")
    return header + body + zlib.crc32(data).to_bytes(4, "little") + len(data).to_bytes(4, "little")


def pieces(plain: Path, suffix: str) -> None:
    """BGZF blocks (.bgzf.gz) or zstd frames of 1 MB each (.frames.zst)."""
    target = plain.with_name(plain.name + suffix)
    piece = 65280 if suffix == ".bgzf.gz" else 1 << 20
    with plain.open("rb") as f, target.with_suffix(".tmp").open("wb") as out:
        if suffix == ".bgzf.gz":
            while data := f.read(piece):
                out.write(_bgzf_block(data))
            out.write(_bgzf_block(b""))
        else:
            import zstandard
            compressor = zstandard.ZstdCompressor(level=3, write_content_size=True)
            while data := f.read(piece):
                out.write(compressor.compress(data))
    target.with_suffix(".tmp").replace(target)


def compressed(plain: Path, suffix: str) -> Path:
    target = plain.with_name(plain.name + suffix)
    if not target.exists() and suffix in PIECES:
        pieces(plain, suffix)
    elif not target.exists():
        tool = ["gzip", "-6", "-c"] if suffix == ".gz" else ["zstd", "-3", "-q", "-c"]
        with target.with_suffix(".tmp").open("wb") as out:
            subprocess.run([*tool, str(plain)], stdout=out, check=True)
        target.with_suffix(".tmp").replace(target)
    return target


def big_gzip(plain: Path, gigabytes: float) -> Path:
    target = plain.with_name(f"{plain.stem}-x{gigabytes:g}gb.csv.gz")
    if not target.exists():
        # One member, written over and over: a gzip file that is many
        # members, as concatenated exports are.
        member = compressed(plain, ".gz").read_bytes()
        copies = max(1, round(gigabytes * 1e9 / plain.stat().st_size))
        with target.with_suffix(".tmp").open("wb") as out:
            for _ in range(copies):
                out.write(member)
        target.with_suffix(".tmp").replace(target)
    return target


def uncompressed_size(path: Path) -> int:
    size = 0
    with path.open("rb") as f:
        decoder = zlib.decompressobj(16 + zlib.MAX_WBITS)
        while chunk := f.read(1 << 20):
            while chunk:
                size += len(decoder.decompress(chunk))
                chunk = decoder.unused_data
                if decoder.eof:
                    decoder = zlib.decompressobj(16 + zlib.MAX_WBITS)
    return size


def main() -> None:
    if len(sys.argv) == 5 and sys.argv[1] == "--child":
        child(*sys.argv[2:5])
        return
    parser = argparse.ArgumentParser(description="Compressed inputs: the front against its peers.")
    benchlib.add_common_args(parser, size_mb=200)
    parser.set_defaults(repeat=2)
    parser.add_argument("--no-pieces", action="store_true",
                        help="skip the BGZF and many-frame zstd files")
    parser.add_argument("--big-gb", type=float, default=0,
                        help="also measure peak memory on a gzip file of this many GB uncompressed")
    args = parser.parse_args()

    env = dict(os.environ, POLARS_MAX_THREADS=str(THREADS))
    out_dir = (args.data_dir or datagen.DATA_DIR) / "out"
    out_dir.mkdir(parents=True, exist_ok=True)
    plain = datagen.ensure("damaged", args.size_mb, args.data_dir)
    size = plain.stat().st_size
    modes = [m for m in MODES if m not in PEER_MODULE or importlib.util.find_spec(PEER_MODULE[m])]
    tools = {".gz": ["gzip", "-dc"], ".zst": ["zstd", "-dcq"], ".bgzf.gz": ["gzip", "-dc"],
             ".frames.zst": ["zstd", "-dcq"]}
    suffixes = [s for s in tools if shutil.which(tools[s][0])]
    if args.no_pieces or importlib.util.find_spec("zstandard") is None:
        suffixes = [s for s in suffixes if s not in PIECES]
    print(f"# Python {sys.version.split()[0]}; {THREADS} threads everywhere; damaged input "
          f"{benchlib.mb(size):.0f} MB uncompressed; MB/s are of uncompressed bytes")

    table: list[list[object]] = []
    notes: list[str] = []
    try:
        for suffix in suffixes:
            source = compressed(plain, suffix)
            benchlib.warm_page_cache(source)
            label = f"damaged{suffix} ({benchlib.mb(source.stat().st_size):.0f} MB)"
            best: dict[str, float] = {}
            peak: dict[str, int] = {}
            for _ in range(max(1, args.repeat)):
                for mode in modes:
                    if suffix in PIECES and mode not in ("front", "pipe", "polars"):
                        continue
                    output = out_dir / f"{mode}.csv"
                    if mode == "pipe":
                        seconds = pipe_seconds(tools[suffix], source, output)
                    else:
                        got = benchlib.run_child(
                            [sys.executable, __file__, "--child", mode, str(source), str(output)], env)
                        if "failed" in got.payload:
                            notes.append(f"{label} {mode}: failed: {got.payload['failed']}")
                            continue
                        if "note" in got.payload:
                            notes.append(f"{label} {mode}: {got.payload['note']}")
                        seconds = got.payload["total_s"]
                        peak[mode] = max(peak.get(mode, 0), got.peak_rss)
                    best[mode] = min(best.get(mode, float("inf")), seconds)
                    for leftover in out_dir.glob("*"):
                        leftover.unlink()
            for mode in modes:
                if mode in best:
                    table.append([label, mode, best[mode], benchlib.mb_per_s(size, best[mode]),
                                  benchlib.mb(peak[mode]) if mode in peak else float("nan")])
            for other in ("polars", "duckdb", "pandas", "pipe"):
                if other in best and "front" in best:
                    notes.append(f"{label}: front / {other} speed {best[other] / best['front']:.2f}x")
        if args.big_gb > 0:
            big = big_gzip(plain, args.big_gb)
            total = uncompressed_size(big)
            label = f"damaged x{args.big_gb:g} GB .gz ({benchlib.mb(big.stat().st_size):.0f} MB)"
            for mode in ("front", "polars"):
                if mode not in modes:
                    continue
                got = benchlib.run_child(
                    [sys.executable, __file__, "--child", mode, str(big), str(out_dir / "big.csv")], env)
                for leftover in out_dir.glob("*"):
                    leftover.unlink()
                if "failed" in got.payload:
                    notes.append(f"{label} {mode}: failed: {got.payload['failed']}")
                table.append([label, mode, got.payload["total_s"],
                              benchlib.mb_per_s(total, got.payload["total_s"]), benchlib.mb(got.peak_rss)])
    finally:
        for leftover in out_dir.glob("*"):
            leftover.unlink()
    benchlib.print_table(["input", "mode", "best s", "MB/s", "peak MB"], table)
    for note in dict.fromkeys(notes):
        print(note)


if __name__ == "__main__":
    main()
