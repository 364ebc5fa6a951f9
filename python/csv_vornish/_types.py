"""Column types as ``read_arrow`` takes them, turned into the native spelling.

The native entry point takes ``types=None`` (every column text, no nulls)
or a tuple of ``(column, code)`` pairs that override inference for single
columns, a column being a name or a 1-based position. Types are spelled as
Arrow spells them, or given as pyarrow types when pyarrow is installed
(their ``str()`` is that spelling); nothing here imports pyarrow.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

#: Arrow's spellings of the types a column may be given, and their codes.
_CODES = {
    "string": "string",
    "utf8": "string",
    "large_string": "string",
    "large_utf8": "string",
    "bool": "bool",
    "boolean": "bool",
    "int64": "int64",
    "float64": "float64",
    "double": "float64",
    "date32": "date32",
    "date32[day]": "date32",
    "timestamp[us]": "timestamp[us]",
    "timestamp[ns]": "timestamp[ns]",
    "timestamp[us, tz=UTC]": "timestamp[us, tz=UTC]",
    "timestamp[ns, tz=UTC]": "timestamp[ns, tz=UTC]",
}

TYPE_NAMES = tuple(_CODES)


def type_code(spelled: Any) -> str:
    """The native code of one column's type (a str, or a pyarrow type)."""
    text = spelled if isinstance(spelled, str) else str(spelled)
    if not isinstance(spelled, str) and type(spelled).__module__.split(".")[0] != "pyarrow":
        raise TypeError(f"a column type must be a str or a pyarrow type, not {type(spelled).__name__}")
    try:
        return _CODES[text]
    except KeyError:
        raise ValueError(
            f"unsupported column type {text!r}; use one of: {', '.join(TYPE_NAMES)}"
        ) from None


def native_types(types: Any) -> tuple[tuple[str | int, str], ...] | None:
    """``types=`` of ``read_arrow`` as the native entry point takes it."""
    if isinstance(types, str):
        if types == "infer":
            return ()
        if types == "string":
            return None
        raise ValueError(f"types must be 'infer', 'string' or a mapping, not {types!r}")
    if not isinstance(types, Mapping):
        raise TypeError(f"types must be 'infer', 'string' or a mapping, not {type(types).__name__}")
    pairs: list[tuple[str | int, str]] = []
    for column, spelled in types.items():
        if isinstance(column, bool) or not isinstance(column, (str, int)):
            raise TypeError(f"a column in types is a name or a 1-based position, not {column!r}")
        if isinstance(column, int) and column < 1:
            raise ValueError(f"a column position in types counts from 1, not {column}")
        pairs.append((column, type_code(spelled)))
    return tuple(pairs)


def native_null_values(null_values: Any) -> list[str] | None:
    if null_values is None:
        return None
    if isinstance(null_values, str):
        return [null_values]
    values = list(null_values)
    if not all(isinstance(value, str) for value in values):
        raise TypeError("null_values must be strings")
    return values
