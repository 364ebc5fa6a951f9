"""The repair record: every change a run makes, and the results that carry its counts.

A run records one entry per change, in input order: the row's first line and
byte offset, the field's 1-based position as read (empty for a change to the
whole row), the action, a short detail, and the row's bytes exactly as read.
The entry points write it as an audit CSV file (``audit=path``) with the
header ``line,offset,column,action,detail,raw``; ``read_arrow(audit=True)``
also hands it out as an Arrow stream. In the CSV file ``raw`` is valid UTF-8
that gives the bytes back exactly: a byte that is not part of well-formed
UTF-8 is written ``\\xNN`` and a backslash is doubled; ``raw_bytes`` undoes
that.

A front call asked for the record (``audit=``) or only for its counts
(``record=True``) counts its changes by action; ``RepairSummary`` and
``RepairReader`` carry those counts beside the backend's ``VornishSummary``.
"""

from __future__ import annotations

import re
from collections.abc import Iterator, Mapping
from types import TracebackType
from typing import TYPE_CHECKING, Literal

from _csv_vornish_backend import VornishReader, VornishSummary

if TYPE_CHECKING:
    from _csv_vornish_backend import _SummaryDict

__all__ = ["ACTIONS", "AUDIT_HEADER", "RepairSummary", "RepairReader", "raw_bytes"]

#: Every action a record can carry, in the order the counts list them.
ACTIONS: tuple[str, ...] = (
    "padded",
    "merged",
    "quarantined",
    "preamble",
    "stray_quote",
    "bare_quote",
    "text_after_quote",
    "blanks_dropped",
    "unterminated_quote",
    "invalid_utf8",
    "redecoded",
    "type_null",
    "comment",
    "footer",
    "table",
)

#: The first line of an audit CSV file.
AUDIT_HEADER = "line,offset,column,action,detail,raw"

_ESCAPE = re.compile(r"\\(\\|x[0-9a-f]{2})")


def raw_bytes(raw: str) -> bytes:
    """The bytes of a row from the ``raw`` column of an audit CSV file.

    ``raw_bytes(record["raw"])`` is exactly what the input held from the
    row's first byte up to its line end.
    """
    out = bytearray()
    at = 0
    for escape in _ESCAPE.finditer(raw):
        out += raw[at : escape.start()].encode("utf-8")
        code = escape.group(1)
        out += b"\\" if code == "\\" else bytes([int(code[1:], 16)])
        at = escape.end()
    out += raw[at:].encode("utf-8")
    return bytes(out)


class RepairSummary:
    """The summary of a front run: ``VornishSummary``'s counts and the changes by action.

    It reads like the backend's ``VornishSummary`` (the same six read-only
    attributes, and ``to_dict`` gives the same six keys) and adds
    ``actions``: how many records each action got, every action listed. ``padded + merged`` is
    ``repaired_rows``; ``quarantined + preamble + comment`` is
    ``quarantined_rows``.
    """

    __slots__ = ("_summary", "_actions")

    def __init__(self, summary: VornishSummary, actions: Mapping[str, int] | None) -> None:
        self._summary = summary
        self._actions = None if actions is None else {name: int(actions.get(name, 0)) for name in ACTIONS}

    @property
    def summary(self) -> VornishSummary:
        """The backend's summary of the run."""
        return self._summary

    @property
    def total_rows(self) -> int:
        return self._summary.total_rows

    @property
    def vornished_rows(self) -> int:
        return self._summary.vornished_rows

    @property
    def repaired_rows(self) -> int:
        return self._summary.repaired_rows

    @property
    def quarantined_rows(self) -> int:
        return self._summary.quarantined_rows

    @property
    def detected_delimiter(self) -> str:
        return self._summary.detected_delimiter

    @property
    def inferred_columns(self) -> int:
        return self._summary.inferred_columns

    @property
    def actions(self) -> dict[str, int] | None:
        """Records per action, in the order of ``ACTIONS`` (a new dict on every access).

        None when the run was not asked to count them (``audit=`` or
        ``record=True``).
        """
        return None if self._actions is None else dict(self._actions)

    def to_dict(self) -> _SummaryDict:
        """The backend's six counts, as ``VornishSummary.to_dict()`` gives them."""
        return self._summary.to_dict()

    def __repr__(self) -> str:
        text = repr(self._summary).replace("<VornishSummary", "<RepairSummary", 1)
        if self._actions is None:
            return text
        changed = {name: n for name, n in self._actions.items() if n}
        return text[:-1] + f" actions={changed}>"


class RepairReader:
    """The kept rows of ``csv_vornish.open``, with the run's changes by action.

    Iterating it iterates the backend's ``VornishReader`` itself, so rows
    cost what they cost there; ``summary`` is a ``RepairSummary``.
    """

    __slots__ = ("_reader", "_actions")

    def __init__(self, reader: VornishReader, actions: Mapping[str, int] | None) -> None:
        self._reader = reader
        self._actions = None if actions is None else dict(actions)

    def __iter__(self) -> Iterator[list[str]]:
        return self._reader

    def __next__(self) -> list[str]:
        return next(self._reader)

    def __len__(self) -> int:
        return len(self._reader)

    @property
    def reader(self) -> VornishReader:
        """The backend's reader behind this one (they share their position)."""
        return self._reader

    @property
    def summary(self) -> RepairSummary:
        return RepairSummary(self._reader.summary, self._actions)

    @property
    def actions(self) -> dict[str, int] | None:
        return self.summary.actions

    def __enter__(self) -> RepairReader:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_val: BaseException | None,
        exc_tb: TracebackType | None,
    ) -> Literal[False]:
        return False
