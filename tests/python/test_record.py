"""The repair record: every change on record, the same on every path.

A generator injects each kind of damage at known rows of clean tables and
the records must name exactly those rows, columns and actions; then random
damaged inputs must give the same records through every entry point,
thread count and chunk size.
"""

from __future__ import annotations

import csv
import io
import random
from dataclasses import dataclass, field
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _csv_vornish_backend as vb
import csv_vornish
from csv_vornish.record import ACTIONS, AUDIT_HEADER, raw_bytes
from test_roundtrip import DAMAGED

WIDTH = 4
# How each kind of damage is written into one cell, and what it records.
CELL_DAMAGE = {
    "stray_quote": (lambda v: f'"{v} "x" y"', 2),
    "bare_quote": (lambda v: f'{v}"z', 1),
    "text_after_quote": (lambda v: f'"{v}"tail', 4),
    "blanks_dropped": (lambda v: f'"{v}"   ', 3),
    "invalid_utf8": (lambda v: f"{v}\udcff\udcfe", 2),
}


@dataclass
class Table:
    data: bytes
    expected: list[tuple[int, int | None, str]] = field(default_factory=list)
    skip_rows: int = 0


def make_table(seed: int, rows: int = 60) -> Table:
    """A clean table with damage at rows and cells chosen by `seed`.

    Line ends vary (LF, CR LF, CR): every row is one line, so the record of
    row i starts on line i + 1 (after the preamble).
    """
    rng = random.Random(seed)
    lines: list[bytes] = []
    expected: list[tuple[int, int | None, str]] = []
    skip_rows = rng.choice([0, 0, 2])
    for i in range(skip_rows):
        lines.append(f"note {i}: exported by hand".encode())
        expected.append((i + 1, None, "preamble"))
    header = [f"col{c}" for c in range(WIDTH)]
    lines.append(",".join(header).encode())
    for r in range(rows):
        line_number = len(lines) + 1
        cells = [f"v{r}_{c}" if rng.random() < 0.8 else f'"{r}, {c}"' for c in range(WIDTH)]
        changes: list[tuple[int | None, str]] = []
        kind = rng.random()
        if kind < 0.1:
            cells = cells[: rng.randint(1, WIDTH - 1)]
            changes.append((None, "padded"))
        elif kind < 0.2:
            cells += [f"extra{k}" for k in range(rng.randint(1, 3))]
            changes.append((None, "merged"))
        for column in sorted(rng.sample(range(len(cells)), k=min(len(cells), rng.choice([0, 0, 0, 1, 2])))):
            damage = rng.choice(sorted(CELL_DAMAGE))
            value = f"w{r}"
            cells[column] = CELL_DAMAGE[damage][0](value)
            changes.append((column + 1, damage))
        # A later quote that closes a field would make the text-after-quote
        # cell's quote a stray one instead: keep that cell last among quotes.
        for index, (column, action) in enumerate(changes):
            if action == "text_after_quote" and any('"' in cell for cell in cells[column:]):
                cells[column - 1] = CELL_DAMAGE["bare_quote"][0](f"w{r}")
                changes[index] = (column, "bare_quote")
        # Field records first, in column order, then the row's own.
        changes.sort(key=lambda change: (change[0] is None, change[0] or 0))
        expected += [(line_number, column, action) for column, action in changes]
        lines.append(",".join(cells).encode("utf-8", "surrogateescape"))
    ends = [rng.choice([b"\n", b"\n", b"\r\n", b"\r"]) for _ in lines]
    # A CR right before an empty line would read as CR LF; keep ends plain there.
    data = b"".join(line + end for line, end in zip(lines, ends))
    if seed % 3 == 0:
        # An opening quote that is never closed takes the rest of the file.
        lines_so_far = len(lines) + 1
        data += b'a,b,c,"never closed\nmore text\n'
        expected.append((lines_so_far, 4, "unterminated_quote"))
    return Table(data, expected, skip_rows)


def read_records(path: Path) -> list[dict[str, str]]:
    with path.open(encoding="utf-8", newline="") as handle:
        text = handle.read()
    assert text.startswith(AUDIT_HEADER + "\n")
    return list(csv.DictReader(io.StringIO(text, newline="")))


def identity(records: list[dict[str, str]]) -> list[tuple[int, int | None, str]]:
    return [(int(r["line"]), int(r["column"]) if r["column"] else None, r["action"]) for r in records]


@pytest.mark.parametrize("seed", range(12))
def test_records_name_exactly_the_damage_injected(tmp_path: Path, seed: int) -> None:
    table = make_table(seed)
    source = tmp_path / "in.csv"
    source.write_bytes(table.data)
    summary = csv_vornish.vornish_file(source, tmp_path / "out.csv", expected_columns=WIDTH,
                                       skip_rows=table.skip_rows, audit=tmp_path / "audit.csv")
    records = read_records(tmp_path / "audit.csv")
    assert identity(records) == table.expected

    for record in records:
        raw = raw_bytes(record["raw"])
        start = int(record["offset"])
        # The row's bytes exactly, from its first byte up to its line end.
        assert table.data[start : start + len(raw)] == raw
        after = table.data[start + len(raw) : start + len(raw) + 1]
        assert after in (b"\n", b"\r", b"") or record["action"] == "unterminated_quote"
        if record["action"] in ("padded", "merged"):
            assert record["detail"].endswith(f"expected {WIDTH}")
        if record["action"] == "invalid_utf8":
            assert record["detail"] == "2 bytes replaced by 2 U+FFFD"

    actions = summary.actions
    assert actions is not None and list(actions) == list(ACTIONS)
    assert actions["padded"] + actions["merged"] == summary.repaired_rows
    assert actions["quarantined"] + actions["preamble"] == summary.quarantined_rows
    assert sum(actions.values()) == len(records)


@pytest.mark.parametrize("seed", [1, 2])
def test_rows_set_aside_are_on_record_with_the_quarantine_reason(tmp_path: Path, seed: int) -> None:
    table = make_table(seed)
    source = tmp_path / "in.csv"
    source.write_bytes(table.data)
    csv_vornish.vornish_file(source, tmp_path / "out.csv", tmp_path / "bad.csv", expected_columns=WIDTH,
                             fill_ragged_rows=False, merge_overflow=False, skip_rows=table.skip_rows,
                             audit=tmp_path / "audit.csv")
    records = read_records(tmp_path / "audit.csv")
    set_aside = [r for r in records if r["action"] in ("quarantined", "preamble")]
    with (tmp_path / "bad.csv").open(encoding="utf-8", newline="") as handle:
        quarantined = list(csv.DictReader(handle))
    assert [r["detail"] for r in set_aside] == [q["reason"] for q in quarantined]
    assert identity(records) == [(line, column, "quarantined" if action in ("padded", "merged") else action)
                                 for line, column, action in table.expected]


def test_clean_input_has_no_record(tmp_path: Path) -> None:
    source = tmp_path / "in.csv"
    source.write_text('id,name,note\n1,"Ng, Ann","said ""hi"""\n2,Bob,é\n', encoding="utf-8")
    summary = csv_vornish.vornish_file(source, tmp_path / "out.csv", audit=tmp_path / "audit.csv")
    assert (tmp_path / "audit.csv").read_text() == AUDIT_HEADER + "\n"
    assert summary.actions == dict.fromkeys(ACTIONS, 0)


@pytest.mark.parametrize(
    ("row", "expected"),
    [
        # Both changes of one field, each on its own record.
        (b'"abc"  def,x\n', [("1", "blanks_dropped", "2 blanks dropped after the closing quote"),
                            ("1", "text_after_quote", "3 bytes after the closing quote joined to the field")]),
        (b'"a ""doubled"" quote",x\n', []),
        (b'x,"He said "hi" ok"\n', [("2", "stray_quote", "2 quotes kept as text")]),
        (b'x,ab"c"d\n', [("2", "bare_quote", "2 quotes read as text")]),
        # Only the blanks right after a closing quote are a change.
        (b' a ,"b"\t,c\n', [("2", "blanks_dropped", "1 blank dropped after the closing quote")]),
        # A quote after a blank does not open a field: both quotes are text.
        (b'a, "b"\n', [("2", "bare_quote", "2 quotes read as text")]),
        (b'x,"open\n', [("2", "unterminated_quote", "quote never closed: the field took the remaining 6 bytes")]),
        (b'\xe2\x82,\xc3\xa9\n', [("1", "invalid_utf8", "2 bytes replaced by 1 U+FFFD")]),
    ],
    ids=["blanks-and-text", "doubled", "stray", "bare", "blanks-only", "blank-then-quote", "unterminated",
         "invalid"],
)
def test_field_changes_and_their_details(tmp_path: Path, row: bytes, expected: list) -> None:
    source = tmp_path / "in.csv"
    source.write_bytes(row)
    csv_vornish.vornish_file(source, tmp_path / "out.csv", delimiter=",", expected_columns=0,
                             audit=tmp_path / "a.csv")
    assert [(r["column"], r["action"], r["detail"]) for r in read_records(tmp_path / "a.csv")] == expected


def test_raw_escaping_gives_back_every_byte() -> None:
    assert raw_bytes("a\\\\b") == b"a\\b"
    assert raw_bytes("\\xff\\xfe\u00e9") == b"\xff\xfe\xc3\xa9"
    assert raw_bytes("x\\\\xff") == b"x\\xff"


def records_of(tmp_path: Path, name: str, call) -> list[tuple]:
    audit = tmp_path / f"{name}.audit.csv"
    call(audit)
    return [(r["line"], r["offset"], r["column"], r["action"], r["detail"], raw_bytes(r["raw"]))
            for r in read_records(audit)]


def consume(stream: object) -> None:
    pyarrow = pytest.importorskip("pyarrow")
    pyarrow.table(stream)


def arrow_records(source: Path, options: dict, **knobs) -> list[tuple]:
    pyarrow = pytest.importorskip("pyarrow")
    stream = csv_vornish.read_arrow(source, audit=True, **options, **knobs)
    pyarrow.table(stream)
    table = pyarrow.table(stream.audit)
    assert table.schema.field("raw").type == pyarrow.large_binary()
    return [(str(r["line"]), str(r["offset"]), "" if r["column"] is None else str(r["column"]),
             r["action"], r["detail"], r["raw"]) for r in table.to_pylist()]


OPTIONS = st.fixed_dictionaries({
    "delimiter": st.sampled_from([None, ",", ";", "\t"]),
    "quote_char": st.sampled_from(['"', "'"]),
    "fill_ragged_rows": st.booleans(),
    "merge_overflow": st.booleans(),
    "expected_columns": st.sampled_from([None, 0, 1, 3]),
    "repair_quotes": st.booleans(),
})


@settings(max_examples=150, deadline=None, database=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.lists(DAMAGED, max_size=8).map(b"\n".join), options=OPTIONS,
       chunk_size=st.integers(1, 40), threads=st.integers(1, 4))
def test_every_path_records_alike(tmp_path: Path, data: bytes, options: dict, chunk_size: int,
                                  threads: int) -> None:
    if options["delimiter"] == options["quote_char"]:
        return
    source = tmp_path / "in.csv"
    source.write_bytes(data)
    reference = records_of(tmp_path, "one", lambda audit: csv_vornish.vornish_file(
        source, tmp_path / "o1.csv", **options, threads=1, audit=audit))
    assert records_of(tmp_path, "many", lambda audit: csv_vornish.vornish_file(
        source, tmp_path / "o2.csv", **options, threads=threads, chunk_size=chunk_size,
        audit=audit)) == reference
    assert records_of(tmp_path, "open", lambda audit: csv_vornish.open(
        source, **options, audit=audit)) == reference
    assert records_of(tmp_path, "arrow", lambda audit: consume(csv_vornish.read_arrow(
        source, **options, header=False, threads=threads, chunk_size=chunk_size,
        audit=audit))) == reference
    assert arrow_records(source, options, header=False, threads=threads,
                         chunk_size=chunk_size) == reference

    summary = csv_vornish.vornish_file(source, tmp_path / "o3.csv", **options, record=True)
    actions = summary.actions
    assert actions is not None and sum(actions.values()) == len(reference)
    assert actions["padded"] + actions["merged"] == summary.repaired_rows
    assert actions["quarantined"] + actions["preamble"] == summary.quarantined_rows


def test_big_file_in_tiny_chunks_on_four_threads(tmp_path: Path) -> None:
    table = make_table(7, rows=3000)
    source = tmp_path / "in.csv"
    source.write_bytes(table.data)
    options = {"expected_columns": WIDTH, "skip_rows": 0}
    reference = records_of(tmp_path, "one", lambda audit: csv_vornish.vornish_file(
        source, tmp_path / "o1.csv", **options, threads=1, audit=audit))
    for threads, chunk_size in [(2, 4096), (4, 1000), (3, 257)]:
        assert records_of(tmp_path, f"t{threads}", lambda audit: csv_vornish.vornish_file(
            source, tmp_path / "o.csv", **options, threads=threads, chunk_size=chunk_size,
            audit=audit)) == reference
        assert arrow_records(source, options, header=False, threads=threads,
                             chunk_size=chunk_size) == reference


def test_counts_only_when_asked(tmp_path: Path) -> None:
    source = tmp_path / "in.csv"
    source.write_text("a,b\n1\n")
    assert csv_vornish.vornish_file(source, tmp_path / "o.csv").actions is None
    assert csv_vornish.open(source).actions is None
    assert csv_vornish.open(source, record=True).actions["padded"] == 1
    stream = csv_vornish.read_arrow(source)
    with pytest.raises(RuntimeError, match="audit=True"):
        stream.audit
    assert vb._read_arrow(str(source), record=True) is not None


def test_audit_errors(tmp_path: Path) -> None:
    source = tmp_path / "in.csv"
    source.write_text("a,b\n1\n")
    with pytest.raises(TypeError, match="audit must be a path, True or None"):
        csv_vornish.read_arrow(source, audit=3)  # type: ignore[arg-type]
    with pytest.raises(OSError, match=r"\(os error 21\)$"):
        csv_vornish.vornish_file(source, tmp_path / "o.csv", audit=tmp_path)
    with pytest.raises(IsADirectoryError):
        csv_vornish.open(source, audit=tmp_path)
    stream = csv_vornish.read_arrow(source, audit=True)
    with pytest.raises(RuntimeError, match="read to its end"):
        stream.audit
