"""Inputs as they arrive: compressed, in zip archives, as file objects and
URLs; and refusal of what is not CSV.

The rule every case checks: a compressed input gives exactly what the
uncompressed file gives, and an input that cannot be read as CSV is a
ValueError naming it, with nothing written.
"""

from __future__ import annotations

import bz2
import functools
import gzip
import http.server
import io
import lzma
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import zipfile
from collections.abc import Callable, Iterator
from pathlib import Path

import pytest

import csv_vornish
from test_stream import damaged_table

zstandard = pytest.importorskip("zstandard")

DATA = damaged_table(2000)


def _gzip_members(data: bytes) -> bytes:
    # Several members, as concatenated .gz files and BGZF are.
    cut = [0, len(data) // 3, len(data) // 2, len(data)]
    return b"".join(gzip.compress(data[a:b]) for a, b in zip(cut, cut[1:]))


def _zstd_frames(data: bytes) -> bytes:
    half = len(data) // 2
    return b"".join(zstandard.ZstdCompressor().compress(part) for part in (data[:half], data[half:]))


def _zip(data: bytes) -> bytes:
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("export/orders.csv", data)
    return buffer.getvalue()


COMPRESSORS: dict[str, Callable[[bytes], bytes]] = {
    "gzip": _gzip_members,
    "bzip2": lambda data: bz2.compress(data[:1000]) + bz2.compress(data[1000:]),
    "xz": lambda data: lzma.compress(data[:1000]) + lzma.compress(data[1000:]),
    "zstd": _zstd_frames,
    "zip": _zip,
}


@pytest.fixture
def plain(tmp_path: Path) -> Path:
    path = tmp_path / "orders.csv"
    path.write_bytes(DATA)
    return path


def _compressed(tmp_path: Path, codec: str, data: bytes = DATA, name: str = "data.bin") -> Path:
    # Named without a telling extension: the first bytes decide.
    path = tmp_path / name
    path.write_bytes(COMPRESSORS[codec](data))
    return path


def _repair(tmp_path: Path, source: object, tag: str, **options: object) -> tuple[bytes, bytes, dict]:
    out, bad = tmp_path / f"{tag}.clean.csv", tmp_path / f"{tag}.bad.csv"
    summary = csv_vornish.vornish_file(source, out, bad, **options)
    return out.read_bytes(), bad.read_bytes(), summary.to_dict()


OPTIONS = [
    {"threads": 1},
    {"threads": 2, "chunk_size": 1},
    {"threads": 4, "chunk_size": 97, "fill_ragged_rows": False, "merge_overflow": False},
]


@pytest.mark.parametrize("codec", list(COMPRESSORS))
@pytest.mark.parametrize("options", OPTIONS)
def test_compressed_file_repairs_as_the_plain_one(tmp_path: Path, plain: Path, codec: str,
                                                  options: dict) -> None:
    packed = _compressed(tmp_path, codec)
    assert _repair(tmp_path, packed, "packed", **options) == _repair(tmp_path, plain, "plain", **options)


@pytest.mark.parametrize("codec", list(COMPRESSORS))
def test_every_reading_entry_point_takes_compressed_files(tmp_path: Path, plain: Path, codec: str) -> None:
    pyarrow = pytest.importorskip("pyarrow")
    packed = _compressed(tmp_path, codec)
    assert list(csv_vornish.open(packed, delimiter=",")) == list(csv_vornish.open(plain, delimiter=","))
    assert csv_vornish.open(packed).summary.to_dict() == csv_vornish.open(plain).summary.to_dict()
    assert csv_vornish.sniff_dialect(packed) == csv_vornish.sniff_dialect(plain)
    for options in ({"threads": 2, "chunk_size": 50}, {"expected_columns": 0}, {"dialect": "auto"}):
        ours = csv_vornish.read_arrow(packed, **options)
        theirs = csv_vornish.read_arrow(plain, **options)
        assert pyarrow.table(ours).equals(pyarrow.table(theirs))
        assert ours.summary.to_dict() == theirs.summary.to_dict()


@pytest.mark.parametrize("make", [
    lambda path: path.open("rb"),
    lambda path: io.BytesIO(path.read_bytes()),
    # Only read(), and never seekable: read once from start to end.
    lambda path: type("Pipe", (), {"read": io.BytesIO(path.read_bytes()).read})(),
], ids=["file", "bytesio", "read-only"])
@pytest.mark.parametrize("codec", [None, "gzip", "zstd"])
def test_binary_file_objects(tmp_path: Path, plain: Path, make: Callable, codec: str | None) -> None:
    source = plain if codec is None else _compressed(tmp_path, codec)
    readers = [make(source), make(source)]
    assert _repair(tmp_path, readers[0], "obj") == _repair(tmp_path, plain, "plain")
    assert list(csv_vornish.open(readers[1])) == list(csv_vornish.open(plain))
    for reader in readers:
        getattr(reader, "close", lambda: None)()


def test_compression_names_override_detection(tmp_path: Path, plain: Path) -> None:
    packed = _compressed(tmp_path, "gzip")
    assert _repair(tmp_path, packed, "named", compression="gz") == _repair(tmp_path, plain, "plain")
    # None: the bytes as they are, as the backend reads them.
    raw = csv_vornish.vornish_file(packed, tmp_path / "raw.csv", compression=None)
    assert raw.to_dict() == csv_vornish._backend.vornish_file(str(packed), str(tmp_path / "raw2.csv")).to_dict()
    with pytest.raises(ValueError, match="compression must be one of"):
        csv_vornish.open(plain, compression="rar")
    with pytest.raises(ValueError, match=r"orders.csv: corrupt gzip data"):
        csv_vornish.open(plain, compression="gzip")


def test_zip_members(tmp_path: Path, plain: Path) -> None:
    archive = tmp_path / "two.zip"
    with zipfile.ZipFile(archive, "w") as z:
        z.writestr("a.csv", DATA)
        z.writestr("notes/b.csv", b"x;y\n1;2\n")
    with pytest.raises(ValueError) as error:
        csv_vornish.vornish_file(archive, tmp_path / "out.csv")
    assert str(error.value) == (f"{archive}: the zip archive holds 2 files ('a.csv', 'notes/b.csv'); "
                                "choose one with member=")
    assert not (tmp_path / "out.csv").exists()
    assert _repair(tmp_path, archive, "a", member="a.csv") == _repair(tmp_path, plain, "plain")
    assert list(csv_vornish.open(archive, member="notes/b.csv")) == [["x", "y"], ["1", "2"]]
    with pytest.raises(ValueError, match=r"holds no member 'c.csv' \(it holds 'a.csv', 'notes/b.csv'\)"):
        csv_vornish.open(archive, member="c.csv")
    with pytest.raises(ValueError, match="member= is for zip archives"):
        csv_vornish.open(plain, member="a.csv")


def _xlsx() -> bytes:
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as z:
        z.writestr("[Content_Types].xml", "<Types/>")
        z.writestr("xl/workbook.xml", "<workbook/>")
    return buffer.getvalue()


REFUSED = [
    (b"PAR1\x15\x04\x15\x10" + b"\0" * 64 + b"PAR1", "Parquet"),
    (_xlsx(), "Excel workbook (xlsx)"),
    (b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + b"\0" * 504, "Excel (xls) or other OLE2 document"),
    (b"%PDF-1.7\n%\xe2\xe3\xcf\xd3\n1 0 obj\n", "PDF"),
    (b"SQLite format 3\x00" + b"\x10\x00" + b"\0" * 80, "SQLite database"),
    (b"\x89PNG\r\n\x1a\n\0\0\0\rIHDR", "PNG image"),
    (gzip.compress(b"PAR1\x15\x04" + b"\0" * 100), "Parquet"),  # what the decompressor gives counts
    (zstandard.ZstdCompressor().compress(b"%PDF-1.4\n" * 10), "PDF"),
]


@pytest.mark.parametrize("content, kind", REFUSED, ids=[kind for _, kind in REFUSED])
def test_binary_formats_are_refused_before_any_output(tmp_path: Path, content: bytes, kind: str) -> None:
    source = tmp_path / "export.csv"
    source.write_bytes(content)
    out = tmp_path / "clean.csv"
    expected = f"{source}: this is a {kind} file, not CSV text"
    for call in (lambda: csv_vornish.vornish_file(source, out, tmp_path / "q.csv"),
                 lambda: csv_vornish.open(source), lambda: csv_vornish.read_arrow(source),
                 lambda: csv_vornish.sniff_dialect(source)):
        with pytest.raises(ValueError) as error:
            call()
        assert str(error.value).startswith(expected)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["export.csv"]


def _truncated(codec: str) -> bytes:
    return COMPRESSORS[codec](DATA)[:-7]


def _corrupted(codec: str) -> bytes:
    packed = bytearray(COMPRESSORS[codec](DATA))
    middle = len(packed) // 2
    packed[middle : middle + 8] = bytes(b ^ 0x5A for b in packed[middle : middle + 8])
    return bytes(packed)


@pytest.mark.parametrize("codec", ["gzip", "bzip2", "xz", "zstd"])
@pytest.mark.parametrize("damage", [_truncated, _corrupted], ids=["truncated", "corrupted"])
def test_damaged_compressed_data_is_an_error_and_leaves_no_output(tmp_path: Path, codec: str,
                                                                   damage: Callable) -> None:
    source = tmp_path / "orders.csv.z"
    source.write_bytes(damage(codec))
    out = tmp_path / "clean.csv"
    out.write_bytes(b"the previous output\n")
    for threads in (1, 2):
        with pytest.raises(ValueError, match=rf"^{source}: (truncated|corrupt) {codec} data"):
            csv_vornish.vornish_file(source, out, tmp_path / "q.csv", threads=threads, chunk_size=64)
        assert out.read_bytes() == b"the previous output\n"
        assert not (tmp_path / "q.csv").exists()
    with pytest.raises(ValueError, match=rf"^{source}: (truncated|corrupt) {codec} data"):
        csv_vornish.open(source)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["clean.csv", "orders.csv.z"]


def test_an_exception_of_the_file_object_propagates(tmp_path: Path) -> None:
    class Failing(io.RawIOBase):
        def readable(self) -> bool:
            return True

        def readinto(self, buffer: memoryview) -> int:
            raise ConnectionResetError("the peer went away")

    with pytest.raises(ConnectionResetError, match="the peer went away"):
        csv_vornish.vornish_file(Failing(), tmp_path / "out.csv")
    assert not (tmp_path / "out.csv").exists()


def test_an_exception_from_progress_stops_a_compressed_run(tmp_path: Path) -> None:
    source = tmp_path / "big.csv.gz"
    source.write_bytes(gzip.compress(b"1,2,3\n" * 400_000, compresslevel=1))
    calls = []

    def progress(done: int, total: int) -> None:
        calls.append(done)
        if len(calls) == 3:
            raise RuntimeError("enough")

    with pytest.raises(RuntimeError, match="enough"):
        csv_vornish.vornish_file(source, tmp_path / "out.csv", progress=progress, chunk_size=4096)
    assert not (tmp_path / "out.csv").exists()


@pytest.mark.parametrize("threads", [1, 2])
def test_progress_through_a_decoder_counts_the_files_own_bytes(tmp_path: Path, threads: int) -> None:
    # The decoded size is unknown ahead; the compressed file's size is not.
    source = tmp_path / "big.csv.gz"
    source.write_bytes(gzip.compress(b"1,2,3\n" * 400_000, compresslevel=1))
    calls: list[tuple[int, int]] = []
    csv_vornish.vornish_file(source, tmp_path / "out.csv", threads=threads, chunk_size=65536,
                             progress=lambda done, total: calls.append((done, total)))
    size = source.stat().st_size
    assert len(calls) > 3
    assert {total for _, total in calls} == {size}
    done = [d for d, _ in calls]
    assert done == sorted(done) and done[-1] == size


# --- Remote sources ----------------------------------------------------------------


def test_fsspec_memory_urls(tmp_path: Path, plain: Path) -> None:
    fsspec = pytest.importorskip("fsspec")
    pyarrow = pytest.importorskip("pyarrow")
    memory = fsspec.filesystem("memory")
    memory.pipe("/exports/orders.csv.gz", _gzip_members(DATA))
    memory.pipe("/exports/orders.csv", DATA)
    try:
        for url in ("memory://exports/orders.csv.gz", "memory://exports/orders.csv"):
            assert pyarrow.table(csv_vornish.read_arrow(url)).equals(pyarrow.table(csv_vornish.read_arrow(plain)))
            assert list(csv_vornish.open(url)) == list(csv_vornish.open(plain))
            assert _repair(tmp_path, url, "url", dialect="auto") == _repair(tmp_path, plain, "plain",
                                                                            dialect="auto")
    finally:
        memory.rm("/exports", recursive=True)


@pytest.fixture
def http_root(tmp_path: Path) -> Iterator[tuple[str, Path]]:
    handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=str(tmp_path))
    handler.log_message = lambda *args: None  # type: ignore[attr-defined]
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}", tmp_path
    finally:
        server.shutdown()
        server.server_close()
        thread.join()


def test_http_urls_stream(http_root: tuple[str, Path], plain: Path) -> None:
    pytest.importorskip("aiohttp")
    pyarrow = pytest.importorskip("pyarrow")
    base, root = http_root
    (root / "served.csv.gz").write_bytes(_gzip_members(DATA))
    expected = pyarrow.table(csv_vornish.read_arrow(plain))
    assert pyarrow.table(csv_vornish.read_arrow(f"{base}/served.csv.gz")).equals(expected)
    assert list(csv_vornish.open(f"{base}/served.csv.gz")) == list(csv_vornish.open(plain))


# --- Bombs, signals, pipes ------------------------------------------------------------


def _bomb(path: Path, gigabytes: int) -> None:
    # One member of 16 MiB of rows, repeated: a few MB that expand to several GB.
    member = gzip.compress(b"1,2,3,4,5,6,7,8\n" * (1 << 20), compresslevel=9)
    with path.open("wb") as f:
        for _ in range(gigabytes * 64):
            f.write(member)


# The sanitizer runtime the child inherits keeps freed memory in quarantine
# and slows every step: neither the peak nor the second means anything then.
UNDER_SANITIZER = "asan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.skipif(UNDER_SANITIZER, reason="memory and time bounds do not hold under ASan")
def test_decompression_bomb_stays_small_and_stops_on_ctrl_c(tmp_path: Path) -> None:
    bomb = tmp_path / "bomb.csv.gz"
    _bomb(bomb, 8)
    assert bomb.stat().st_size < 64 << 20
    # The peak is read in the child: a waited child's rusage also counts
    # the parent's pages from before exec.
    script = textwrap.dedent(f"""
        import csv_vornish, sys
        print("started", flush=True)
        try:
            csv_vornish.vornish_file({str(bomb)!r}, "/dev/null", threads=2)
        except KeyboardInterrupt:
            with open("/proc/self/status") as status:
                peak = next(line.split()[1] for line in status if line.startswith("VmHWM"))
            print("interrupted", peak, flush=True)
            sys.exit(3)
    """)
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE)
    assert child.stdout is not None and child.stdout.readline() == b"started\n"
    time.sleep(1.5)
    assert child.poll() is None  # still decompressing
    child.send_signal(signal.SIGINT)
    sent = time.monotonic()
    line = child.stdout.readline().split()
    assert child.wait(timeout=10) == 3
    child.stdout.close()
    assert time.monotonic() - sent < 1.0
    assert line[0] == b"interrupted" and int(line[1]) < 128 * 1024  # KiB


def test_cli_reads_compressed_standard_input(tmp_path: Path, plain: Path) -> None:
    expected = _repair(tmp_path, plain, "plain")[0]
    for codec in ("gzip", "xz"):
        packed = _compressed(tmp_path, codec)
        with packed.open("rb") as stdin:
            done = subprocess.run([sys.executable, "-m", "csv_vornish", "repair", "-", "-o", "-"],
                                  stdin=stdin, capture_output=True, check=True)
        assert done.stdout == expected


def test_cli_names_outputs_after_the_stem_and_refuses_binary_files(tmp_path: Path, plain: Path) -> None:
    packed = tmp_path / "orders.csv.gz"
    packed.write_bytes(_gzip_members(DATA))
    plain.unlink()
    subprocess.run([sys.executable, "-m", "csv_vornish", "repair", str(packed)], check=True,
                   capture_output=True)
    assert (tmp_path / "orders.clean.csv").exists()
    sheet = tmp_path / "sheet.csv"
    sheet.write_bytes(_xlsx())
    done = subprocess.run([sys.executable, "-m", "csv_vornish", "repair", str(sheet)], capture_output=True)
    assert done.returncode != 0
    assert b"Excel workbook (xlsx) file, not CSV text" in done.stderr
    assert not (tmp_path / "sheet.clean.csv").exists()


# --- Compressed outputs ----------------------------------------------------------------

DECOMPRESSORS: dict[str, Callable[[bytes], bytes]] = {
    ".gz": gzip.decompress,
    ".bz2": bz2.decompress,
    ".xz": lzma.decompress,
    ".zst": lambda data: zstandard.ZstdDecompressor().decompressobj().decompress(data),
}


@pytest.mark.parametrize("ext", list(DECOMPRESSORS))
def test_outputs_compressed_by_their_extension(tmp_path: Path, plain: Path, ext: str) -> None:
    clean, bad, counts = _repair(tmp_path, plain, "plain", fill_ragged_rows=False)
    summary = csv_vornish.vornish_file(_compressed(tmp_path, "gzip"), tmp_path / f"out.csv{ext}",
                                       tmp_path / f"q.csv{ext}", fill_ragged_rows=False, threads=2,
                                       chunk_size=100)
    assert summary.to_dict() == counts
    assert DECOMPRESSORS[ext]((tmp_path / f"out.csv{ext}").read_bytes()) == clean
    assert DECOMPRESSORS[ext]((tmp_path / f"q.csv{ext}").read_bytes()) == bad
    assert not [p for p in tmp_path.iterdir() if p.name.endswith(".part")]


def test_output_compression_overrides_the_extension(tmp_path: Path, plain: Path) -> None:
    clean = _repair(tmp_path, plain, "plain")[0]
    csv_vornish.vornish_file(plain, tmp_path / "a.gz", output_compression=None)
    assert (tmp_path / "a.gz").read_bytes() == clean
    csv_vornish.vornish_file(plain, tmp_path / "b.csv", output_compression="xz")
    assert lzma.decompress((tmp_path / "b.csv").read_bytes()) == clean
    with pytest.raises(ValueError, match="output_compression must be one of"):
        csv_vornish.vornish_file(plain, tmp_path / "c.csv", output_compression="zip")


def test_a_failed_run_leaves_no_compressed_output(tmp_path: Path) -> None:
    out = tmp_path / "out.csv.gz"
    out.write_bytes(b"before")
    with pytest.raises(OSError, match=r"\(os error 2\)"):
        csv_vornish.vornish_file(tmp_path / "missing.csv", out)
    source = tmp_path / "t.gz"
    source.write_bytes(_truncated("gzip"))
    with pytest.raises(ValueError, match="truncated gzip data"):
        csv_vornish.vornish_file(source, out)
    assert out.read_bytes() == b"before"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.csv.gz", "t.gz"]


def test_cli_writes_compressed_outputs(tmp_path: Path, plain: Path) -> None:
    clean = _repair(tmp_path, plain, "plain")[0]
    subprocess.run([sys.executable, "-m", "csv_vornish", "repair", str(plain), "-o", str(tmp_path / "o.csv.gz")],
                   check=True, capture_output=True)
    assert gzip.decompress((tmp_path / "o.csv.gz").read_bytes()) == clean


def test_the_readme_example_runs(tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                 capsys: pytest.CaptureFixture[str]) -> None:
    import re

    readme = (Path(__file__).resolve().parents[2] / "README.md").read_text(encoding="utf-8")
    section = readme.split("## Sources: compressed, remote, piped", 1)[1]
    example = re.search(r"```python\n(.*?)```", section, re.S)
    assert example is not None
    monkeypatch.chdir(tmp_path)
    exec(compile(example.group(1), "README.md", "exec"), {})
    printed = capsys.readouterr().out.splitlines()
    promised = [line[2:] for line in example.group(1).splitlines() if line.startswith("# <")]
    assert printed[0] == promised[0]
    assert printed[1:4] == ["id;name;qty", "1;Ann;3", "2;Bob;"]
