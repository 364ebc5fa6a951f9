"""Where an input's bytes come from, and whether they are CSV at all.

Every front entry point that reads a file passes its ``file_path`` through
``resolve``: a local path, an fsspec URL or a binary file object. The first
bytes decide what the input is, whatever its name says: plain text goes to
the native reader as it always did; gzip, bzip2, xz and, where the build
found libzstd, zstd are decoded by the native engine as it reads; zstd
otherwise (the optional ``zstandard`` package) and zip members (the
standard library) are decoded here and read by the engine as file objects; and a recognised binary format (Parquet, Excel, PDF, SQLite,
...) is refused with a ``ValueError`` before anything is written.

Nothing here imports an optional package unless the input needs it.
"""

from __future__ import annotations

import os
import stat
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import _csv_vornish_backend as _backend

from csv_vornish.encoding import DecodingReader, code_page_table, detect_encoding, iconv_name, text_codec

#: The ``compression=`` names accepted, and the codec each one means.
COMPRESSIONS: dict[str, str] = {
    "gzip": "gzip",
    "gz": "gzip",
    "bz2": "bzip2",
    "bzip2": "bzip2",
    "xz": "xz",
    "lzma": "xz",
    "zstd": "zstd",
    "zst": "zstd",
    "zip": "zip",
}

# Codecs the native engine decodes itself: zstd only where libzstd was
# there when it was built.
_NATIVE: tuple[str, ...] = tuple(_backend._native_codecs)

# Bytes looked at to tell what an input is; tar's mark sits at 257.
_HEAD_SIZE = 512

# (offset, magic bytes, what the input is). Compressed formats first.
_SIGNATURES: tuple[tuple[int, bytes, str], ...] = (
    (0, b"\x1f\x8b", "gzip"),
    (0, b"\xfd7zXZ\x00", "xz"),
    (0, b"\x28\xb5\x2f\xfd", "zstd"),
    (0, b"PK\x03\x04", "zip"),
    (0, b"PK\x05\x06", "zip"),
    # A Parquet file's first page header follows its mark.
    (0, b"PAR1\x15", "Parquet"),
    (0, b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1", "Excel (xls) or other OLE2 document"),
    (0, b"%PDF-", "PDF"),
    (0, b"SQLite format 3\x00", "SQLite database"),
    (0, b"ARROW1", "Arrow IPC (Feather)"),
    (0, b"Obj\x01", "Avro"),
    (0, b"\x89HDF\r\n\x1a\n", "HDF5"),
    (0, b"\x89PNG\r\n\x1a\n", "PNG image"),
    (0, b"\xff\xd8\xff", "JPEG image"),
    (0, b"GIF87a", "GIF image"),
    (0, b"GIF89a", "GIF image"),
    (0, b"\x7fELF", "ELF executable"),
    (0, b"7z\xbc\xaf\x27\x1c", "7-Zip archive"),
    (0, b"Rar!\x1a\x07", "RAR archive"),
    (0, b"\x04\x22\x4d\x18", "LZ4 frame"),
    (0, b"\x1f\x9d", "Unix compress (.Z)"),
    (257, b"ustar", "tar archive"),
)

# bzip2: "BZh", the block size digit, then a block or end-of-stream mark.
_BZIP2_MARKS = (b"1AY&SY", b"\x17\x72\x45\x38\x50\x90")


def detect(head: bytes) -> str | None:
    """What the bytes ``head`` (an input's first bytes) start: a codec name
    of ``COMPRESSIONS``' values, the name of a format that is not CSV, or
    ``None`` for anything else (text, taken as CSV)."""
    if head[:3] == b"BZh" and head[3:4].isdigit() and head[4:10] in _BZIP2_MARKS:
        return "bzip2"
    for offset, magic, name in _SIGNATURES:
        if head[offset : offset + len(magic)] == magic:
            return name
    return None


def _refuse(label: str, what: str) -> ValueError:
    return ValueError(f"{label}: this is a {what} file, not CSV text; csv-vornish reads only CSV "
                      "(plain or compressed with gzip, bzip2, xz, zstd or zip)")


class _Reader:
    """A binary reader for the native engine: ``head`` (bytes already read
    to tell what the input is) then the rest of ``inner``. Files it was
    given to own are closed at the end of the input or when it goes."""

    def __init__(self, head: bytes, inner: Any, owned: list[Any]) -> None:
        self._head = memoryview(head)
        self._inner = inner
        self._readinto: Callable[[Any], Any] | None = getattr(inner, "readinto", None)
        self._owned = owned

    def readinto(self, buffer: Any) -> int:
        if len(self._head):
            n = min(len(buffer), len(self._head))
            buffer[:n] = self._head[:n]
            self._head = self._head[n:]
            return n
        if self._readinto is not None:
            got = self._readinto(buffer)
            n = 0 if got is None else int(got)
        else:
            data = self._inner.read(len(buffer))
            n = len(data)
            buffer[:n] = data
        if n == 0:
            self.close()
        return n

    def peek(self, size: int) -> bytes:
        """The first ``size`` bytes still to come (fewer at the end), which
        are read again afterwards."""
        head = bytes(self._head)
        while len(head) < size:
            chunk = self._inner.read(size - len(head))
            if not chunk:
                break
            head += bytes(chunk)
        self._head = memoryview(head)
        return head[:size]

    def read(self, size: int = -1) -> bytes:
        if size is None or size < 0:
            chunks = []
            while chunk := self.read(1 << 20):
                chunks.append(chunk)
            return b"".join(chunks)
        buffer = bytearray(size)
        n = self.readinto(memoryview(buffer))
        del buffer[n:]
        return bytes(buffer)

    def readable(self) -> bool:
        return True

    def close(self) -> None:
        owned, self._owned = self._owned, []
        for item in reversed(owned):
            item.close()

    def __del__(self) -> None:
        self.close()


@dataclass
class Resolved:
    """How the native entry points read one input.

    ``spec`` is None for a local file read as it is (the native reader opens
    ``path`` itself, on every thread it likes); otherwise the private
    ``_source`` argument: (reader or None, native codec or None, label).
    """

    path: Any
    spec: tuple[Any, str | None, str] | tuple[Any, str | None, str, int] | None = None
    label: str = ""
    # Compressed or otherwise only readable from start to end.
    sequential: bool = False
    owned: list[Any] = field(default_factory=list)
    # The text's encoding (a name of encoding.text_codec; None for UTF-8),
    # and the fallback encoding="auto" chose for stray bytes in UTF-8.
    encoding: str | None = None
    fallback: str | None = None
    # The reader gives the input's own bytes (no codec): a remote file can
    # then be read in ranges, from true row starts.
    plain: bool = False
    # A local file in a single-byte code page that the native reader
    # decodes itself, field by field: the ``_code_page`` argument.
    code_page: tuple[str, str] | None = None

    def close(self) -> None:
        reader = self.spec[0] if self.spec is not None else None
        if isinstance(reader, (_Reader, DecodingReader)):
            reader.close()
        for item in reversed(self.owned):
            item.close()
        self.owned = []


def is_url(value: object) -> bool:
    """Whether ``value`` is a URL for fsspec (``s3://...``, ``memory://...``)."""
    return isinstance(value, str) and "://" in value and not value.startswith("file://")


def is_file_object(value: object) -> bool:
    return not isinstance(value, (str, bytes, os.PathLike)) and (
        hasattr(value, "readinto") or hasattr(value, "read")
    )


def _check_compression(compression: str | None) -> str | None:
    if compression is None or compression == "infer":
        return compression
    if not isinstance(compression, str) or compression not in COMPRESSIONS:
        names = ", ".join(repr(name) for name in ["infer", None, *COMPRESSIONS])
        raise ValueError(f"compression must be one of {names}, not {compression!r}")
    return COMPRESSIONS[compression]


def _read_head(stream: Any, size: int = _HEAD_SIZE) -> bytes:
    chunks: list[bytes] = []
    got = 0
    while got < size:
        chunk = stream.read(size - got)
        if not chunk:
            break
        chunks.append(bytes(chunk))
        got += len(chunk)
    return b"".join(chunks)


class _ZstdReader:
    """zstd frames one after the other, decoded a little input at a time.

    Small input steps bound what one step can expand to (a zstd block
    stands for at most 128 KiB, so a step of 2 KiB for at most a few
    dozen MiB); a stream that ends inside a frame raises ``ValueError``.
    """

    _STEP = 2048

    def __init__(self, inner: Any, label: str) -> None:
        try:
            import zstandard  # type: ignore[import-untyped, import-not-found, unused-ignore]
        except ImportError:
            raise ModuleNotFoundError(
                f"{label}: reading zstd needs the zstandard package: pip install \"csv-vornish[zstd]\""
            ) from None
        self._decompressor = zstandard.ZstdDecompressor()
        self._error: type[Exception] = zstandard.ZstdError
        self._inner = inner
        self._label = label
        self._frame: Any = None
        self._unused = b""
        self._out = memoryview(b"")

    def read(self, size: int = -1) -> bytes:
        while not len(self._out):
            chunk = self._unused or self._inner.read(self._STEP)
            self._unused = b""
            if not chunk:
                if self._frame is not None and not self._frame.eof:
                    raise ValueError(f"{self._label}: truncated zstd data: the compressed stream "
                                     "ends before its end marker")
                return b""
            if self._frame is None or self._frame.eof:
                self._frame = self._decompressor.decompressobj()
            try:
                self._out = memoryview(self._frame.decompress(chunk))
            except self._error as error:
                raise ValueError(f"{self._label}: corrupt zstd data: {error}") from None
            if self._frame.eof:
                self._unused = self._frame.unused_data
        n = len(self._out) if size is None or size < 0 else min(size, len(self._out))
        data = bytes(self._out[:n])
        self._out = self._out[n:]
        return data

    def close(self) -> None:
        pass


def _zip_member(archive: Any, label: str, member: str | None) -> tuple[Any, Any]:
    import zipfile

    try:
        zf = zipfile.ZipFile(archive)
    except zipfile.BadZipFile as error:
        raise ValueError(f"{label}: corrupt zip data: {error}") from None
    names = [info.filename for info in zf.infolist() if not info.is_dir()]
    if "xl/workbook.xml" in names or "xl/workbook.bin" in names:
        zf.close()
        raise _refuse(label, "Excel workbook (xlsx)")
    if "mimetype" in names and "content.xml" in names:
        zf.close()
        raise _refuse(label, "OpenDocument")
    if "word/document.xml" in names:
        zf.close()
        raise _refuse(label, "Word document (docx)")
    if member is None:
        if len(names) != 1:
            zf.close()
            listed = ", ".join(repr(name) for name in names) or "none"
            raise ValueError(f"{label}: the zip archive holds {len(names)} files ({listed}); "
                             "choose one with member=")
        member = names[0]
    elif member not in names:
        zf.close()
        listed = ", ".join(repr(name) for name in names) or "none"
        raise ValueError(f"{label}: the zip archive holds no member {member!r} (it holds {listed})")
    try:
        return zf, zf.open(member)
    except (zipfile.BadZipFile, NotImplementedError, RuntimeError) as error:
        zf.close()
        raise ValueError(f"{label}: cannot read zip member {member!r}: {error}") from None


def _decoded(kind: str, stream: Any, label: str, member: str | None,
             owned: list[Any], seekable_start: int | None) -> tuple[Any, str | None]:
    """The reader and native codec for ``stream`` holding ``kind`` data.

    Nested content is looked at once more: a member of a zip archive or a
    zstd frame may itself hold a format that is not CSV.
    """
    if kind == "zip":
        if seekable_start is None:
            raise ValueError(f"{label}: a zip archive is read from a file that can seek, "
                             "not from a pipe or stream")
        stream.seek(seekable_start)
        zf, opened = _zip_member(stream, label, member)
        owned.extend([zf, opened])
        return _inner(opened, label, owned)
    if member is not None:
        raise ValueError(f"{label}: member= is for zip archives; this input is not one")
    if kind == "zstd":
        reader = _ZstdReader(stream, label)
        owned.append(reader)
        return _inner(reader, label, owned)
    return stream, kind


def _inner(stream: Any, label: str, owned: list[Any]) -> tuple[Any, str | None]:
    """A decoded stream's reader: refused when its own start is not CSV."""
    try:
        head = _read_head(stream)
    except ValueError:
        raise
    except Exception as error:
        raise _decode_error(label, error) from None
    kind = detect(head)
    if kind is not None and kind not in COMPRESSIONS.values():
        raise _refuse(label, kind)
    return _Reader(head, stream, list(owned)), None


def _decode_error(label: str, error: BaseException) -> ValueError:
    return ValueError(f"{label}: the compressed data does not decode: {error}")


def _check_native_head(path_or_stream: Any, codec: str, label: str) -> None:
    """Refuses a native codec's input whose decoded start is not CSV (say a
    Parquet file inside gzip), and a stream whose first bytes do not decode,
    before any output exists."""
    import bz2
    import gzip
    import lzma

    if codec == "zstd":
        head = _backend._decoded_head(path_or_stream, codec)
        if head is not None:
            _refuse_nested(head, label)
        return
    decoded: Any
    try:
        if codec == "gzip":
            decoded = gzip.open(path_or_stream, "rb")
        elif codec == "bzip2":
            decoded = bz2.open(path_or_stream, "rb")
        else:
            decoded = lzma.open(path_or_stream, "rb")
        with decoded:
            head = decoded.read(_HEAD_SIZE)
    except EOFError:
        return  # truncated: the engine says so as it reads, and writes nothing
    except (OSError, lzma.LZMAError, ValueError) as error:
        raise ValueError(f"{label}: corrupt {codec} data: {error}") from None
    _refuse_nested(head, label)


def _refuse_nested(head: bytes, label: str) -> None:
    kind = detect(head)
    if kind is not None and kind not in COMPRESSIONS.values():
        raise _refuse(label, kind)


def resolve(file_path: Any, compression: Any = "infer", member: str | None = None,
            encoding: str | None = None, positional: bool = False) -> Resolved:
    """How to read ``file_path``; raises ``ValueError`` for what is not CSV.

    A path that cannot be opened here is handed on as it is, so the native
    reader raises its own error for it. With ``encoding`` (a codec name or
    ``"auto"``) the text is converted to UTF-8 on the way: by the native
    reader for the codecs iconv converts as Python does, else here. With
    ``positional`` (the caller takes ``_code_page``), a local file in a
    single-byte code page is left to the native reader to decode field by
    field, from any offset: it is then read as a UTF-8 file is, on several
    threads, instead of through a stream converted ahead of the tokenizer.
    """
    if encoding is not None and encoding != "auto":
        codec = text_codec(encoding)  # an unknown name fails before anything is opened
    resolved = _resolve_bytes(file_path, compression, member)
    if encoding is None:
        return resolved
    try:
        if encoding == "auto":
            sample = _sample(resolved)
            if sample is None:
                return resolved
            codec, resolved.fallback = detect_encoding(*sample, label=resolved.label or str(file_path))
        resolved.encoding = codec
        if codec is not None and positional and resolved.spec is None and _local_file(resolved):
            resolved.code_page = code_page_table(codec)
        if codec is not None and resolved.code_page is None:
            _transcoded(resolved, codec)
    except BaseException:
        resolved.close()
        raise
    return resolved


# Bytes of the start of the text encoding="auto" looks at.
_SAMPLE_SIZE = 64 * 1024


def _local_file(resolved: Resolved) -> str | None:
    path = resolved.path
    return path if isinstance(path, str) and path and os.path.isfile(path) else None


def _native_open(codec: str | None, source: Any) -> Any:
    import bz2
    import gzip
    import lzma

    if codec == "gzip":
        return gzip.open(source, "rb")
    if codec == "bzip2":
        return bz2.open(source, "rb")
    if codec == "zstd":
        return _zstd_reader(source)
    return lzma.open(source, "rb")


def _zstd_reader(source: Any) -> Any:
    """zstd decoded in Python, for text that Python's codecs decode next."""
    try:
        import zstandard  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise ModuleNotFoundError(
            "decoding this encoding in a zstd file needs the zstandard package: "
            'pip install "csv-vornish[zstd]"'
        ) from None
    stream = open(source, "rb") if isinstance(source, str) else source  # noqa: SIM115 - closed with the reader
    return zstandard.ZstdDecompressor().stream_reader(stream, read_across_frames=True, closefd=True)


def _sample(resolved: Resolved) -> tuple[bytes, bool] | None:
    """The first bytes of the text (decompressed), and whether they are all
    of it; None when the input cannot be read here."""
    want = _SAMPLE_SIZE + 1
    try:
        if resolved.spec is None:
            path = _local_file(resolved)
            if path is None:
                return None
            with open(path, "rb") as f:
                data = f.read(want)
        else:
            reader, codec, _ = resolved.spec[:3]
            if reader is None and codec == "zstd":
                # The engine's decoder, for a start of the text without
                # the zstandard package.
                return _backend._decoded_head(resolved.path, codec) or b"", False
            elif reader is None:
                with _native_open(codec, resolved.path) as f:
                    data = f.read(want)
            elif codec is None:
                data = reader.peek(want)
            else:
                data = _decompressed_prefix(codec, reader.peek(256 * 1024), want)
    except (OSError, EOFError, ValueError, ModuleNotFoundError):
        return None
    return data[:_SAMPLE_SIZE], len(data) < want


def _decompressed_prefix(codec: str, data: bytes, size: int) -> bytes:
    import bz2
    import lzma
    import zlib

    decoder: Any
    if codec == "zstd":
        try:
            import zstandard
        except ImportError:
            return b""
        try:
            return bytes(zstandard.ZstdDecompressor().decompressobj().decompress(data)[:size])
        except zstandard.ZstdError:
            return b""
    if codec == "gzip":
        decoder = zlib.decompressobj(wbits=47)
    elif codec == "bzip2":
        decoder = bz2.BZ2Decompressor()
    else:
        decoder = lzma.LZMADecompressor()
    try:
        return bytes(decoder.decompress(data, size))
    except (OSError, EOFError, ValueError, zlib.error, lzma.LZMAError):
        return b""


def _transcoded(resolved: Resolved, codec: str) -> None:
    """Sets ``resolved`` to read its text in ``codec`` as UTF-8."""
    iconv = iconv_name(codec)
    spec = resolved.spec
    if iconv is not None:
        if spec is None:
            path = _local_file(resolved)
            if path is None:
                return  # the native reader reports what is wrong with the path
            spec = (None, None, path)
        resolved.spec = (*spec[:3], spec[3] if len(spec) > 3 else 0, iconv)
        resolved.sequential = True
        resolved.plain = False
        return
    owned: list[Any] = []
    if spec is None:
        path = _local_file(resolved)
        if path is None:
            return
        reader: Any = open(path, "rb")  # noqa: SIM115 - owned by the decoding reader
        owned.append(reader)
        label = path
    else:
        reader, native, label = spec[:3]
        if isinstance(reader, _Reader):
            owned.append(reader)
        if reader is None:
            reader = _native_open(native, resolved.path)
            owned.append(reader)
        elif native is not None:
            reader = _native_open(native, reader)
            owned.append(reader)
    decoding = DecodingReader(reader, codec, owned)
    resolved.spec = (decoding, None, label)
    resolved.sequential = True
    resolved.plain = False


def _resolve_bytes(file_path: Any, compression: Any, member: str | None) -> Resolved:
    codec = _check_compression(compression)
    if isinstance(file_path, os.PathLike):
        file_path = os.fspath(file_path)
    if member is not None and not isinstance(member, str):
        raise TypeError(f"member must be a str or None, not {type(member).__name__}")
    if is_url(file_path):
        return _resolve_url(file_path, codec, member)
    if is_file_object(file_path):
        label = str(getattr(file_path, "name", None) or f"<{type(file_path).__name__} object>")
        return _resolve_stream(file_path, label, codec, member, owned=[])
    if not isinstance(file_path, str) or codec is None:
        if member is not None:
            raise ValueError(f"{file_path}: member= is for zip archives")
        return Resolved(file_path)
    try:
        info = os.stat(file_path)
    except (OSError, ValueError):
        return Resolved(file_path)
    if not stat.S_ISREG(info.st_mode):
        if stat.S_ISDIR(info.st_mode):
            return Resolved(file_path)
        # A pipe or device: what is read to look at it is handed on.
        stream = open(file_path, "rb")  # noqa: SIM115 - owned by the result
        return _resolve_stream(stream, file_path, codec, member, owned=[stream])
    if codec == "infer":
        try:
            with open(file_path, "rb") as f:
                head = f.read(_HEAD_SIZE)
        except OSError:
            return Resolved(file_path)
        kind = detect(head)
    else:
        kind = codec
    if kind is None:
        if member is not None:
            raise ValueError(f"{file_path}: member= is for zip archives; this input is not one")
        return Resolved(file_path)
    if kind in _NATIVE:
        if member is not None:
            raise ValueError(f"{file_path}: member= is for zip archives; this input is not one")
        _check_native_head(file_path, kind, file_path)
        return Resolved(file_path, (None, kind, file_path), file_path, sequential=True)
    if kind not in COMPRESSIONS.values():
        raise _refuse(file_path, kind)
    stream = open(file_path, "rb")  # noqa: SIM115 - owned by the result
    try:
        return _resolve_stream(stream, file_path, kind, member, owned=[stream], path=file_path)
    except BaseException:
        stream.close()
        raise


def _fsspec(url: str) -> Any:
    try:
        import fsspec  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise ModuleNotFoundError(
            f"{url}: reading a URL needs fsspec: pip install \"csv-vornish[remote]\""
        ) from None
    return fsspec


def glob_urls(pattern: str) -> list[str]:
    """The URLs a pattern such as ``s3://bucket/exports/*.csv`` matches, sorted."""
    fs, path = _fsspec(pattern).core.url_to_fs(pattern)
    return [fs.unstrip_protocol(found) for found in sorted(fs.glob(path))]


def remote_size(url: str) -> int | None:
    """The size of the file at ``url``, or None when the store does not say."""
    fs, path = _fsspec(url).core.url_to_fs(url)
    try:
        size = fs.size(path)
    except (OSError, NotImplementedError, ValueError):
        return None
    return None if size is None else int(size)


class _RangeReader:
    """A remote file read from one byte on by requests for ranges of it.

    Each request names its own bytes, so pieces of one file read side by
    side never share a position (fsspec's memory file system hands every
    opener the same file object). A request asks for a few MiB, as
    fsspec's own buffered files do.
    """

    _FETCH = 4 << 20

    def __init__(self, fs: Any, path: str, begin: int, size: int) -> None:
        self._fs = fs
        self._path = path
        self._at = begin
        self._size = size
        self._held = memoryview(b"")

    def readinto(self, buffer: Any) -> int:
        if not len(self._held):
            stop = min(self._size, self._at + max(len(buffer), self._FETCH))
            if self._at >= stop:
                return 0
            data = self._fs.cat_file(self._path, start=self._at, end=stop)
            if not data:
                return 0
            self._at += len(data)
            self._held = memoryview(data)
        n = min(len(buffer), len(self._held))
        buffer[:n] = self._held[:n]
        self._held = self._held[n:]
        return n

    def close(self) -> None:
        self._held = memoryview(b"")


def open_range(url: str, begin: int) -> Resolved:
    """A plain remote file read from its byte ``begin`` (a true row start)
    on: the store is asked for that range, nothing before it is fetched."""
    fs, path = _fsspec(url).core.url_to_fs(url)
    reader = _RangeReader(fs, path, begin, int(fs.size(path)))
    return Resolved("", (reader, None, url, begin), url, sequential=True, plain=True)


def _resolve_url(url: str, codec: str | None, member: str | None) -> Resolved:
    stream = _fsspec(url).open(url, "rb").open()
    try:
        return _resolve_stream(stream, url, "infer" if codec is None else codec, member,
                               owned=[stream], raw=codec is None)
    except BaseException:
        stream.close()
        raise


def _resolve_stream(stream: Any, label: str, codec: str | None, member: str | None,
                    owned: list[Any], path: str = "", raw: bool = False) -> Resolved:
    try:
        seekable_start = stream.tell() if stream.seekable() else None
    except (AttributeError, OSError, ValueError):
        seekable_start = None
    if codec is None or raw:
        if member is not None:
            raise ValueError(f"{label}: member= is for zip archives")
        return Resolved(path, (_Reader(b"", stream, owned), None, label), label, sequential=True,
                        owned=[], plain=True)
    head = _read_head(stream)
    kind = detect(head) if codec == "infer" else codec
    if kind is None:
        if member is not None:
            raise ValueError(f"{label}: member= is for zip archives; this input is not one")
        return Resolved(path, (_Reader(head, stream, owned), None, label), label, sequential=True,
                        plain=True)
    if kind not in COMPRESSIONS.values():
        raise _refuse(label, kind)
    if kind in _NATIVE:
        if member is not None:
            raise ValueError(f"{label}: member= is for zip archives; this input is not one")
        return Resolved(path, (_Reader(head, stream, owned), kind, label), label, sequential=True)
    if kind == "zip":
        reader, native = _decoded(kind, stream, label, member, owned, seekable_start)
    else:
        reader, native = _decoded(kind, _Reader(head, stream, []), label, member, owned,
                                  seekable_start)
    return Resolved(path, (reader, native, label), label, sequential=True)
