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

__all__ = ["fallback_table"]

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
