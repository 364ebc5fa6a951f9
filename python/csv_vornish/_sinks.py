"""Compressed outputs: ``clean.csv.gz`` written as a stream.

The native engine writes plain bytes to a path; for a compressed output
that path is the write end of a pipe, and a thread of the same call
compresses what comes out of it into a temporary file beside the target.
The file takes the target's name only once the engine and the compressor
have both finished: a failed or interrupted run leaves no half-written
output, and an existing file stays as it was.
"""

from __future__ import annotations

import contextlib
import os
import tempfile
import threading
from collections.abc import Iterator
from typing import Any

from csv_vornish._sources import COMPRESSIONS

#: Output extensions that ask for compression (``compression="infer"``).
EXTENSIONS = {".gz": "gzip", ".bz2": "bzip2", ".xz": "xz", ".zst": "zstd"}

_BLOCK = 1 << 20


def output_codec(path: object, compression: Any) -> str | None:
    """The codec an output is written with, or None for plain bytes."""
    if compression is None or not isinstance(path, str):
        return None
    if compression == "infer":
        return EXTENSIONS.get(os.path.splitext(path)[1].lower())
    codec = COMPRESSIONS.get(compression) if isinstance(compression, str) else None
    if codec is None or codec == "zip":
        names = ", ".join(repr(name) for name in ["infer", None, *EXTENSIONS.values()])
        raise ValueError(f"output_compression must be one of {names}, not {compression!r}")
    return codec


def _umask() -> int:
    # Read, not set: os.umask() would change it for a moment for every thread.
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except OSError:
        pass
    return 0o022


def _writer(codec: str, raw: Any) -> Any:
    if codec == "gzip":
        import gzip

        return gzip.GzipFile(fileobj=raw, mode="wb", compresslevel=6, mtime=0)
    if codec == "bzip2":
        import bz2

        return bz2.BZ2File(raw, "wb")
    if codec == "xz":
        import lzma

        return lzma.LZMAFile(raw, "wb")
    return _zstandard().ZstdCompressor().stream_writer(raw, closefd=False)


def _zstandard() -> Any:
    try:
        import zstandard  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise ModuleNotFoundError('writing zstd needs the zstandard package: pip install "csv-vornish[zstd]"') from None
    return zstandard


@contextlib.contextmanager
def compressed_target(path: str, codec: str) -> Iterator[str]:
    """Yields the path the engine writes to; ``path`` holds the compressed
    bytes once the block has ended without an exception."""
    if codec == "zstd":
        _zstandard()  # a missing package fails before anything is made
    directory = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(dir=directory, prefix=f".{os.path.basename(path)}.", suffix=".part")
    read_end, write_end = os.pipe()
    failure: list[BaseException] = []

    def pump() -> None:
        try:
            with os.fdopen(handle, "wb") as raw, _writer(codec, raw) as out:
                while block := os.read(read_end, _BLOCK):
                    out.write(block)
        except BaseException as error:  # reported by the call, after the engine is done
            failure.append(error)
            while os.read(read_end, _BLOCK):  # the engine must never block on a full pipe
                pass
        finally:
            os.close(read_end)

    thread = threading.Thread(target=pump, name="csv-vornish-compress", daemon=True)
    thread.start()
    completed = False
    try:
        yield f"/proc/self/fd/{write_end}"
        completed = True
    finally:
        os.close(write_end)
        thread.join()
        if completed and not failure:
            os.chmod(temporary, 0o666 & ~_umask())
            os.replace(temporary, path)
        else:
            os.unlink(temporary)
    if failure:
        raise failure[0]
