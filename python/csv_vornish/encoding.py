"""Text that is not UTF-8: the fallback code page for mixed files.

Many files are UTF-8 but for a few rows pasted from a legacy system, in
windows-1252 or latin-1. Decoding the whole file with the legacy code page
garbles every real UTF-8 character; replacing the bad bytes with U+FFFD
loses the legacy ones. With ``fallback="windows-1252"`` each byte of a
sequence that is not UTF-8 is decoded with that code page instead, field by
field, so both kinds of text survive, and each field so decoded gets a
``redecoded`` record in the repair record.
"""

from __future__ import annotations

import codecs
from typing import Any

__all__ = ["fallback_table", "code_page_table", "text_codec", "iconv_name", "detect_encoding"]

# A single-byte code page decodes (almost) every byte on its own; a
# multi-byte one leaves most bytes above 0x7F without a character of their
# own (shift_jis has 63, as its half-width katakana).
_LEAST_SINGLE_BYTES = 96


def fallback_table(name: str) -> tuple[str, str]:
    """(the code page's name, the characters of bytes 0x80 to 0xFF) for ``fallback=``.

    A byte the code page leaves undefined stands for the control character
    of the same number, as the WHATWG Encoding Standard maps windows-1252,
    so no byte is ever replaced.

    Raises:
        LookupError: ``name`` is no codec Python knows.
        ValueError: the codec is not a single-byte code page that keeps
            ASCII as it is (UTF-8, UTF-16, Shift-JIS, ...).
    """
    info = codecs.lookup(name)
    ascii_bytes = bytes(range(0x80))
    try:
        ascii_kept = ascii_bytes.decode(info.name) == ascii_bytes.decode("ascii")
    except UnicodeDecodeError:
        ascii_kept = False
    characters = []
    defined = 0
    for byte in range(0x80, 0x100):
        try:
            text = bytes([byte]).decode(info.name)
        except UnicodeDecodeError:
            text = chr(byte)
        else:
            defined += len(text) == 1
        characters.append(text if len(text) == 1 else chr(byte))
    if not ascii_kept or defined < _LEAST_SINGLE_BYTES or info.name.startswith("utf"):
        raise ValueError(f"fallback {name!r} is not a single-byte code page that keeps ASCII as it is")
    return info.name, "".join(characters)


def code_page_table(codec: str) -> tuple[str, str] | None:
    """(``codec``, the characters of bytes 0x80 to 0xFF) for reading a file
    in the single-byte code page ``codec`` (a name of ``text_codec``) field by
    field, as the native reader reads UTF-8: from any offset, on several
    threads. A byte the codec leaves unmapped is a surrogate in the table:
    it reads as U+FFFD and is on record, as when the text is transcoded.
    None for a codec that is not such a code page (UTF-16, Shift-JIS, ...,
    or one decoding a byte to more than one character)."""
    try:
        fallback_table(codec)
    except (LookupError, ValueError):
        # A code page with many bytes undefined (iso8859-8, ...) is still
        # one when its codec is a plain byte-to-character table.
        if not _charmap(codec):
            return None
    characters = []
    for byte in range(0x80, 0x100):
        try:
            text = bytes([byte]).decode(codec)
        except UnicodeDecodeError:
            text = chr(0xDC00 + byte)
        if len(text) != 1:
            return None
        characters.append(text)
    return codec, "".join(characters)


def _charmap(codec: str) -> bool:
    """Whether Python decodes ``codec`` byte by byte through a table of 256
    characters that keeps ASCII as it is."""
    import importlib

    try:
        module = importlib.import_module("encodings." + codecs.lookup(codec).name.replace("-", "_"))
    except (ImportError, LookupError):
        return False
    table = getattr(module, "decoding_table", None)
    return isinstance(table, str) and len(table) == 256 and table[:128] == "".join(map(chr, range(128)))


# --- encoding= -------------------------------------------------------------

# Codecs the native reader converts with iconv, by Python's name for them:
# only those whose every character iconv maps as Python does (the tests
# compare both on every byte and byte pair). The others (mac-roman,
# shift_jis, big5, gb18030, windows-1255 and -1258, whose marks iconv
# composes, ...) are decoded here with Python's own codec.
_ICONV: dict[str, str] = {
    "utf-16": "UTF-16", "utf-16-le": "UTF-16LE", "utf-16-be": "UTF-16BE",
    "utf-32": "UTF-32", "utf-32-le": "UTF-32LE", "utf-32-be": "UTF-32BE",
    "utf-8-sig": "UTF-8",
    **{f"cp{n}": f"WINDOWS-{n}" for n in (1250, 1251, 1252, 1253, 1254, 1256, 1257)},
    **{f"iso8859-{n}": f"ISO-8859-{n}" for n in (1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 14, 15, 16)},
    "koi8-r": "KOI8-R", "koi8-u": "KOI8-U",
    "euc_jp": "EUC-JP", "euc_kr": "EUC-KR", "cp949": "CP949", "gbk": "GBK", "gb2312": "EUC-CN",
}

# A decoding error handler of this package: an unmapped sequence becomes
# the byte 0xFF in the UTF-8 handed on (never part of UTF-8), which the
# tokenizer turns into U+FFFD and puts on record.
_UNMAPPED = "csv_vornish.unmapped"
_MARK = "\udcff"


def _unmapped(error: UnicodeError) -> tuple[str, int]:
    if not isinstance(error, UnicodeDecodeError):
        raise error
    return _MARK, error.end


def text_codec(name: object) -> str | None:
    """Python's name of the text encoding ``name``; ``None`` for UTF-8 as it is.

    Raises:
        TypeError: ``name`` is not a str.
        LookupError: no text encoding has that name.
    """
    if not isinstance(name, str):
        raise TypeError(f"encoding must be a str or None, not {type(name).__name__}")
    try:
        info = codecs.lookup(name)
    except LookupError:
        raise LookupError(f"unknown encoding: {name}") from None
    if not getattr(info, "_is_text_encoding", True):
        raise LookupError(f"{name!r} is not a text encoding")
    return None if info.name == "utf-8" else info.name


def iconv_name(codec: str) -> str | None:
    """The name iconv knows ``codec`` (a name of ``text_codec``) by, when the
    native reader converts it itself."""
    return _ICONV.get(codec)


class DecodingReader:
    """The UTF-8 of a binary reader's text in ``codec``, for a codec the
    native reader does not convert: Python's incremental decoder, a chunk
    at a time, so a character cut between chunks is never split. What it
    was given to own is closed at the end of the input or when it goes."""

    _CHUNK = 1 << 20

    def __init__(self, inner: Any, codec: str, owned: list[Any] | None = None) -> None:
        codecs.register_error(_UNMAPPED, _unmapped)
        self._inner = inner
        self._owned = owned or []
        self._decoder = codecs.getincrementaldecoder(codec)(_UNMAPPED)
        self._out = memoryview(b"")
        self._started = False
        self._ended = False

    def _more(self) -> None:
        while not len(self._out) and not self._ended:
            chunk = self._inner.read(self._CHUNK)
            self._ended = not chunk
            text = self._decoder.decode(bytes(chunk or b""), final=self._ended)
            if not self._started and text:
                self._started = True
                text = text.removeprefix("\ufeff")
            self._out = memoryview(text.encode("utf-8", "surrogateescape"))
        if self._ended and not len(self._out):
            self.close()

    def readinto(self, buffer: Any) -> int:
        self._more()
        n = min(len(buffer), len(self._out))
        buffer[:n] = self._out[:n]
        self._out = self._out[n:]
        return n

    def read(self, size: int = -1) -> bytes:
        self._more()
        n = len(self._out) if size is None or size < 0 else min(size, len(self._out))
        data = bytes(self._out[:n])
        self._out = self._out[n:]
        return data

    def readable(self) -> bool:
        return True

    def close(self) -> None:
        owned, self._owned = self._owned, []
        for item in reversed(owned):
            item.close()

    def __del__(self) -> None:
        self.close()



# --- encoding="auto" -------------------------------------------------------

_BOMS: tuple[tuple[bytes, str | None], ...] = (
    (b"\xff\xfe\x00\x00", "utf-32"),
    (b"\x00\x00\xfe\xff", "utf-32"),
    (b"\xff\xfe", "utf-16"),
    (b"\xfe\xff", "utf-16"),
    (b"\xef\xbb\xbf", None),
)

# Codes a detector may name that read the same text as a wider code page
# the fallback prefers: latin-1 and ASCII text read the same in cp1252
# except for C1 control characters, which no real text holds.
_WIDER = {"iso8859-1": "cp1252", "ascii": "cp1252"}

# The detector's answer for a code page other than windows-1252 is taken
# for the stray rows of a mixed file only when at least this sure: a few
# short fields say little, and windows-1252 is by far the most common.
_SURE = 0.8


def _unicode_without_mark(sample: bytes) -> str | None:
    """UTF-32 or UTF-16 told by where the zero bytes stand: ASCII in UTF-16LE
    has a zero at every odd position, and no code page text has zeros."""
    n4 = len(sample) // 4 * 4
    if n4 >= 8:
        quads = n4 // 4
        if sample[3:n4:4].count(0) == quads and sample[2:n4:4].count(0) * 10 >= quads * 9:
            return "utf-32-le"
        if sample[0:n4:4].count(0) == quads and sample[1:n4:4].count(0) * 10 >= quads * 9:
            return "utf-32-be"
    n2 = len(sample) // 2 * 2
    if n2 >= 4:
        pairs = n2 // 2
        even = sample[0:n2:2].count(0)
        odd = sample[1:n2:2].count(0)
        if odd * 10 >= pairs and even * 10 < odd:
            return "utf-16-le"
        if even * 10 >= pairs and odd * 10 < even:
            return "utf-16-be"
    return None


def _utf8_runs(sample: bytes, complete: bool) -> tuple[int, int, list[bytes]]:
    """(characters beyond ASCII that are UTF-8, sequences that are not, the
    lines holding the latter with their UTF-8 characters taken out)."""
    decoder = codecs.getincrementaldecoder("utf-8")("surrogateescape")
    text = decoder.decode(sample, final=complete)
    good = bad = 0
    stray: list[bytes] = []
    for line in text.splitlines():
        if line.isascii():
            continue
        kept = []
        in_bad = False
        has_bad = False
        for char in line:
            if "\udc80" <= char <= "\udcff":
                bad += not in_bad
                in_bad = has_bad = True
                kept.append(char)
            else:
                in_bad = False
                if char >= "\x80":
                    good += 1
                else:
                    kept.append(char)
        if has_bad:
            stray.append("".join(kept).encode("utf-8", "surrogateescape"))
    return good, bad, stray


def _detected(data: bytes) -> tuple[str, float] | None:
    """The detector's codec (Python's name) for ``data`` and how sure it is;
    None when it names none, or when there is no detector."""
    try:
        import chardet  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        return None
    found = chardet.detect(data)
    name = found.get("encoding")
    if not name:
        return None
    try:
        codec = codecs.lookup(name).name
    except LookupError:
        return None
    return _WIDER.get(codec, codec), float(found.get("confidence") or 0.0)


def _no_detector(what: str) -> None:
    import warnings

    warnings.warn(f'encoding="auto": {what} is not UTF-8 and no detector is installed '
                  '(pip install "csv-vornish[detect]"); reading it as windows-1252',
                  stacklevel=4)


def detect_encoding(sample: bytes, complete: bool = False,
                    label: str = "the input") -> tuple[str | None, str | None]:
    """``(encoding, fallback)`` for ``encoding="auto"``, from a file's first bytes.

    ``encoding`` is a name of ``text_codec`` (``None``: UTF-8 as it is);
    ``fallback`` the code page for the bytes that are not UTF-8 when the
    file is UTF-8. ``complete`` says the sample is the whole file (a
    character cut at its end is then not UTF-8).

    1. A byte-order mark decides.
    2. Zero bytes at every other position (or three of four) are UTF-16
       (UTF-32) without a mark.
    3. UTF-8 throughout: UTF-8, and windows-1252 for any stray bytes later.
    4. Mostly UTF-8 (at least as many UTF-8 characters beyond ASCII as
       sequences that are not), or marked as UTF-8: a mixed file; the detector, asked about
       the lines holding those sequences, names the fallback when sure,
       else windows-1252.
    5. Otherwise the detector names the code page (windows-1252 without
       one, with a warning).
    """
    marked = False
    for mark, codec in _BOMS:
        if sample.startswith(mark):
            if codec is not None:
                return codec, None
            sample = sample[len(mark):]
            marked = True
            break
    else:
        unmarked = _unicode_without_mark(sample)
        if unmarked is not None:
            return unmarked, None
    good, bad, stray = _utf8_runs(sample, complete)
    if bad == 0:
        return None, "cp1252"
    if good >= bad or marked:
        found = _detected(b"\n".join(stray))
        fallback = "cp1252"
        if found is not None and found[1] >= _SURE:
            try:
                fallback_table(found[0])
            except ValueError:
                pass
            else:
                fallback = found[0]
        return None, fallback
    found = _detected(sample)
    if found is None:
        _no_detector(label)
        return "cp1252", None
    return found[0], None
