"""Typed tables from read_arrow: the README's type rules, a lossless check
written from the rules alone, explicit types, and sameness across threads.
"""

from __future__ import annotations

import ast
import csv
import datetime as dt
import io
import math
import pathlib
import random
import re
from collections.abc import Mapping, Sequence
from typing import Any

import pytest

import csv_vornish
from test_docs import as_options, code, section

pa = pytest.importorskip("pyarrow")


def shown(value: Any) -> Any:
    if isinstance(value, float) and math.isinf(value):
        return "inf" if value > 0 else "-inf"
    if isinstance(value, (dt.date, dt.datetime)) or type(value).__name__ == "Timestamp":
        return str(value)
    return value


def write_column(path: pathlib.Path, cells: list[str], quoting: int) -> None:
    out = io.StringIO()
    writer = csv.writer(out, quoting=quoting, lineterminator="\n")
    writer.writerow(["i", "col"])
    for i, cell in enumerate(cells):
        writer.writerow([i, cell])
    path.write_text(out.getvalue(), encoding="utf-8")


def type_rows() -> list[Any]:
    rows = []
    for line in section("Type rules").splitlines():
        cells = [cell.strip() for cell in re.split(r"(?<!\\)\|", line.strip().strip("|"))]
        if len(cells) != 5 or not cells[1].startswith("`"):
            continue
        rows.append(pytest.param(
            ast.literal_eval(code(cells[1])), as_options(code(cells[2])), code(cells[3]),
            ast.literal_eval(code(cells[4])), id=cells[0]))
    return rows


TYPE_RULES = type_rows()


def test_type_rules_table_is_found() -> None:
    assert len(TYPE_RULES) >= 30


@pytest.mark.parametrize("quoting", [csv.QUOTE_MINIMAL, csv.QUOTE_ALL], ids=["plain", "quoted"])
@pytest.mark.parametrize("cells, options, arrow_type, values", TYPE_RULES)
def test_type_rule(tmp_path: pathlib.Path, cells: list[str], options: dict[str, Any],
                   arrow_type: str, values: list[Any], quoting: int) -> None:
    path = tmp_path / "t.csv"
    write_column(path, cells, quoting)
    column = pa.table(csv_vornish.read_arrow(path, **options)).column("col")
    assert str(column.type) == arrow_type
    if column.type == pa.timestamp("ns"):
        column = column.cast(pa.int64())
    assert [shown(v) for v in column.to_pylist()] == values


# --- The lossless checker: the rules restated, independently of the engine ---

NULLS = {"", "NA", "N/A", "n/a", "NULL", "null", "None", "#N/A"}
EXP = r"(?:[eE][+-]?\d+)?"
SPECIAL = re.compile(r"[+-]?(?:inf|infinity|nan)", re.I)
NUMBER_FORMATS = {  # name: (integer part, decimal mark, thousands separator)
    "point": (r"(?:0|[1-9]\d*)", ".", ""),
    "point_comma": (r"(?:0|[1-9]\d{0,2}(?:,\d{3})*)", ".", ","),
    "comma": (r"(?:0|[1-9]\d*)", ",", ""),
    "comma_dot": (r"(?:0|[1-9]\d{0,2}(?:\.\d{3})*)", ",", "."),
    "comma_blank": (r"(?:0|[1-9]\d{0,2}(?: \d{3})*)", ",", " "),
}
DATE_FORMATS = {  # name: (regex, order of year, month, day groups)
    "iso": (r"(\d{4})-(\d{1,2})-(\d{1,2})", (1, 2, 3)),
    "ymd": (r"(\d{4})/(\d{1,2})/(\d{1,2})", (1, 2, 3)),
    "dmy_dot": (r"(\d{1,2})\.(\d{1,2})\.(\d{4})", (3, 2, 1)),
    "dmy": (r"(\d{1,2})/(\d{1,2})/(\d{4})", (3, 2, 1)),
    "mdy": (r"(\d{1,2})/(\d{1,2})/(\d{4})", (3, 1, 2)),
}
STAMP = re.compile(r"(\d{4}-\d{1,2}-\d{1,2})[Tt ](\d\d):(\d\d):(\d\d)(?:\.(\d{1,9}))?(Z|z|[+-]\d\d:\d\d)?")
INT64 = (-(2**63), 2**63 - 1)


def as_number(cell: str, fmt: str) -> tuple[float, int | None] | None:
    """(float value, int value or None) of a cell in a number format, or None."""
    if SPECIAL.fullmatch(cell):
        return float(cell), None
    integer, mark, group = NUMBER_FORMATS[fmt]
    pattern = rf"([+-]?)({integer}?)(?:{re.escape(mark)}(\d*))?({EXP})"
    m = re.fullmatch(pattern, cell)
    if not m or not (m.group(2) or m.group(3)):
        return None
    digits = m.group(2).replace(group, "") if group else m.group(2)
    if fmt != "point" and fmt != "comma" and len(digits) >= 4 and group not in m.group(2):
        return None
    plain = m.group(1) + digits + ("." + m.group(3) if m.group(3) is not None else "") + m.group(4)
    is_int = m.group(3) is None and "." not in cell.replace(group, "") and not m.group(4) and mark not in cell
    if is_int:
        value = int(plain)
        if not INT64[0] <= value <= INT64[1]:
            return None
        return float(plain), (value if not (value == 0 and m.group(1) == "-") else None)
    return float(plain), None


def as_date(cell: str, fmt: str) -> dt.date | None:
    pattern, order = DATE_FORMATS[fmt]
    m = re.fullmatch(pattern, cell)
    if not m:
        return None
    try:
        return dt.date(*(int(m.group(k)) for k in order))
    except ValueError:
        return None


def as_stamp(cell: str) -> tuple[int, int, bool] | None:
    """(nanoseconds since 1970 UTC, fraction digits, has offset) or None."""
    m = STAMP.fullmatch(cell)
    if not m or not as_date(m.group(1), "iso") or int(m.group(2)) > 23 or int(m.group(3)) > 59 or int(m.group(4)) > 59:
        return None
    day = as_date(m.group(1), "iso")
    seconds = (day - dt.date(1970, 1, 1)).days * 86400 + int(m.group(2)) * 3600 + int(m.group(3)) * 60 + int(m.group(4))
    offset = m.group(6)
    if offset and offset not in "Zz":
        sign = -1 if offset[0] == "-" else 1
        seconds -= sign * (int(offset[1:3]) * 3600 + int(offset[4:6]) * 60)
    fraction = m.group(5) or ""
    return seconds * 10**9 + int((fraction + "000000000")[:9]), len(fraction), bool(offset)


def expected_column(cells: list[str | None]) -> tuple[str, list[Any]]:
    """The narrowest lossless type of a column and its values, from the rules."""
    values = [c for c in cells if c is not None and c not in NULLS and c.strip(" \t") not in NULLS]
    trimmed = [c.strip(" \t") for c in values]

    def typed(convert: Any) -> list[Any]:
        return [None if c is None or c in NULLS or c.strip(" \t") in NULLS else convert(c.strip(" \t")) for c in cells]

    def text() -> list[Any]:
        return [None if c is None or c in NULLS else c for c in cells]

    if not values:
        return "string", text()
    if all(v.lower() in ("true", "false") for v in trimmed):
        return "bool", typed(lambda v: v.lower() == "true")
    fits = {f: all(as_number(v, f) for v in trimmed) for f in NUMBER_FORMATS}
    point = fits["point"] or fits["point_comma"]
    comma = fits["comma"] or fits["comma_dot"] or fits["comma_blank"]
    if point and comma and any(ch in v for v in trimmed for ch in ".,  "):
        return "string", text()
    family = ["point", "point_comma"] if point else ["comma", "comma_dot", "comma_blank"] if comma else []
    for f in family:
        if fits[f] and all(as_number(v, f)[1] is not None for v in trimmed):
            return "int64", typed(lambda v, f=f: as_number(v, f)[1])
    for f in family:
        if fits[f]:
            return "double", typed(lambda v, f=f: as_number(v, f)[0])
    dates = [f for f in DATE_FORMATS if all(as_date(v, f) for v in trimmed)]
    if len(dates) == 1:
        return "date32[day]", typed(lambda v: as_date(v, dates[0]))
    if dates:
        return "string", text()
    stamps = [as_stamp(v) for v in trimmed]
    if all(stamps):
        offsets = {s[2] for s in stamps}
        nanos = any(s[1] > 6 for s in stamps)
        if len(offsets) == 1 and (not nanos or all(-(2**63) <= s[0] < 2**63 for s in stamps)):
            unit = "ns" if nanos else "us"
            name = f"timestamp[{unit}, tz=UTC]" if offsets.pop() else f"timestamp[{unit}]"
            scale = 1 if nanos else 1000
            return name, typed(lambda v: as_stamp(v)[0] // scale)
    return "string", text()


def engine_values(column: Any) -> list[Any]:
    if pa.types.is_timestamp(column.type):
        column = column.cast(pa.int64())
    values = column.to_pylist()
    return values


def same(a: Any, b: Any) -> bool:
    if isinstance(a, float) and isinstance(b, float):
        return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))
    return a == b and type(a) is type(b)


def check_lossless(path: pathlib.Path, columns: dict[str, list[str | None]], **options: Any) -> Any:
    table = pa.table(csv_vornish.read_arrow(path, **options))
    for name, cells in columns.items():
        want_type, want = expected_column(cells)
        got = table.column(name)
        assert str(got.type) == want_type, (name, cells[:20])
        values = engine_values(got)
        bad = [(i, cells[i], g, w) for i, (g, w) in enumerate(zip(values, want)) if not same(g, w)]
        assert not bad, (name, bad[:5])
    return table


# --- A generator of dirty tables ----------------------------------------------

def cell_makers(rng: random.Random) -> dict[str, Any]:
    def day() -> dt.date:
        return dt.date(1990, 1, 1) + dt.timedelta(days=rng.randrange(15000))

    return {
        "int": lambda: str(rng.randrange(-10**12, 10**12)),
        "grouped": lambda: f"{rng.randrange(10**9):,}",
        "float": lambda: repr(rng.uniform(-1e6, 1e6)),
        "tiny": lambda: f"{rng.uniform(0, 1):.{rng.randrange(1, 20)}e}",
        "comma": lambda: f"{rng.uniform(0, 1e4):.2f}".replace(".", ","),
        "dotted": lambda: f"{rng.randrange(1000, 10**8):,}".replace(",", ".") + "," + str(rng.randrange(100)),
        "bool": lambda: rng.choice(["true", "false", "TRUE", "False"]),
        "iso": lambda: day().isoformat(),
        "dmy": lambda: day().strftime("%d/%m/%Y"),
        "mdy": lambda: day().strftime("%m/%d/%Y"),
        "stamp": lambda: f"{day().isoformat()}T{rng.randrange(24):02}:{rng.randrange(60):02}:{rng.randrange(60):02}"
                         + rng.choice(["", ".5", ".123456"]),
        "stamp_tz": lambda: f"{day().isoformat()} 0{rng.randrange(10)}:00:00" + rng.choice(["Z", "+05:30", "-01:00"]),
        "stamp_ns": lambda: f"{day().isoformat()}T10:00:00.{rng.randrange(10**9):09}",
        "zip": lambda: f"{rng.randrange(100000):05}",
        "text": lambda: rng.choice(["Oslo", "Graz, AT", 'say "hi"', "a\nb", "Zoë"]),
    }


# A bad cell for each kind, put deep in the file, past any sample.
SPOILERS = {
    "int": "8011-N", "grouped": "12345", "float": "1.5.5", "tiny": "1e", "comma": "1.234,5,6",
    "dotted": "x", "bool": "yes", "iso": "2023-02-29", "dmy": "13/13/2020", "mdy": "02/30/2020",
    "stamp": "2024-01-01T10:00:00Z", "stamp_tz": "2024-01-01T10:00", "stamp_ns": "2024-01-01T10:00:00.1234567890",
    "zip": "-", "text": "1",
}


def dirty_table(path: pathlib.Path, rows: int, seed: int, spoil: set[str]) -> dict[str, list[str | None]]:
    rng = random.Random(seed)
    makers = cell_makers(rng)
    names = list(makers)
    columns: dict[str, list[str | None]] = {name: [] for name in names}
    for r in range(rows):
        for name in names:
            roll = rng.random()
            if roll < 0.03:
                cell = rng.choice(["", "NA", "null", "  ", " N/A "])
            elif name in spoil and r == rows - 3:
                cell = SPOILERS[name]
            else:
                cell = makers[name]()
                if roll > 0.97 and name not in ("text", "zip"):
                    cell = f"  {cell} "
            columns[name].append(cell)
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(names)
    for r in range(rows):
        writer.writerow([columns[name][r] for name in names])
    path.write_text(out.getvalue(), encoding="utf-8")
    return columns


@pytest.mark.parametrize("spoiled", [False, True], ids=["clean", "spoiled"])
def test_inference_never_loses_a_cell(tmp_path: pathlib.Path, spoiled: bool) -> None:
    path = tmp_path / "dirty.csv"
    columns = dirty_table(path, 3000, seed=7, spoil=set(SPOILERS) if spoiled else set())
    table = check_lossless(path, columns)
    types = {name: str(table.column(name).type) for name in columns}
    if not spoiled:
        assert types == {
            "int": "int64", "grouped": "int64", "float": "double", "tiny": "double", "comma": "double",
            "dotted": "double", "bool": "bool", "iso": "date32[day]", "dmy": "date32[day]",
            "mdy": "date32[day]", "stamp": "timestamp[us]", "stamp_tz": "timestamp[us, tz=UTC]",
            "stamp_ns": "timestamp[ns]", "zip": "string", "text": "string",
        }
    else:
        assert set(types.values()) == {"string"}


def test_same_table_for_any_threads_and_chunk_size(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "dirty.csv"
    columns = dirty_table(path, 6000, seed=11, spoil={"int", "iso", "stamp"})
    whole = check_lossless(path, columns, threads=1)
    for threads, chunk_size in [(2, 4096), (3, 10_000), (4, 700), (2, None)]:
        other = pa.table(csv_vornish.read_arrow(path, threads=threads, chunk_size=chunk_size))
        assert other.equals(whole), (threads, chunk_size)


# Columns whose first and second halves narrow to different readings, so
# that pieces of the file scanned apart see different columns: the type is
# the whole column's. Each entry: (first half, second half, last cell,
# type).
HALVES = {
    "two_readings": ("1.234", "12", None, "string"),
    "point_then_groups": ("1.5", "1.234", None, "double"),
    "ints_then_a_float": ("17", "4096", "2.5", "double"),
    # 4096 rules out `,` thousands groups: a decimal comma is left.
    "ints_then_a_comma": ("17", "4096", "1,234", "double"),
    "dates_then_no_date": ("2024-01-31", "1999-12-01", "2023-02-29", "string"),
    "stamps_then_an_offset": ("2024-01-31T10:00:00", "2024-01-31 10:00:00.5", "2024-01-31T10:00:00Z",
                              "string"),
    "bools_then_a_word": ("true", "FALSE", "yes", "string"),
    "decimals_then_exponents": ("2782.02", "-1.251428e-02", "1e400", "double"),
}


@pytest.mark.parametrize("threads, chunk_size", [(1, None), (2, 4096), (2, 700)])
def test_pieces_narrowing_apart_settle_the_whole_columns_type(tmp_path: pathlib.Path, threads: int,
                                                              chunk_size: int | None) -> None:
    rows = 4000
    path = tmp_path / "halves.csv"
    with path.open("w", encoding="utf-8", newline="") as out:
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(list(HALVES))
        for r in range(rows):
            cells = []
            for first, second, last, _ in HALVES.values():
                cell = first if r < rows // 2 else second
                cells.append(last if last is not None and r == rows - 1 else cell)
            writer.writerow(cells)
    table = pa.table(csv_vornish.read_arrow(path, threads=threads, chunk_size=chunk_size))
    assert {name: str(table.column(name).type) for name in HALVES} == {
        name: kind for name, (_, _, _, kind) in HALVES.items()}
    assert table.num_rows == rows
    assert table.column("decimals_then_exponents")[-1].as_py() == math.inf
    assert table.column("point_then_groups")[-1].as_py() == 1.234
    assert table.column("ints_then_a_comma")[-1].as_py() == 1.234


def test_a_bad_cell_on_the_last_row_is_kept(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "late.csv"
    rows = [f"{i},{i * 0.5},2024-01-{1 + i % 28:02}" for i in range(200_000)]
    rows.append("8011-N,x,31/12/2024")
    path.write_text("id,half,day\n" + "\n".join(rows) + "\n")
    table = pa.table(csv_vornish.read_arrow(path, threads=2, chunk_size=1 << 16))
    assert [str(t) for t in table.schema.types] == ["string", "string", "string"]
    assert table.num_rows == 200_001
    assert table.column("id")[-1].as_py() == "8011-N"
    fine = pa.table(csv_vornish.read_arrow(path, types={"id": "int64", "half": "float64", "day": "date32"}))
    assert fine.column("id").null_count == 1 and fine.column("half").null_count == 1


def test_chosen_types_null_exactly_the_cells_that_do_not_read(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "chosen.csv"
    path.write_text("qty,price,when,flag,at\n"
                    "007,\"1,5\",31.12.2024,true,2024-01-01T10:00:00Z\n"
                    "12,x,2024-01-01,maybe,2024-01-01T10:00:00\n"
                    "  ,\"2,25\",1.1.2024,FALSE,nonsense\n"
                    "9223372036854775808,\"3\",,true,2024-01-01T11:00:00+01:00\n")
    stream = csv_vornish.read_arrow(path, types={"qty": "int64", "price": pa.float64(), "when": "date32",
                                                 4: "bool", "at": "timestamp[us, tz=UTC]"})
    table = pa.table(stream)
    assert table.column("qty").to_pylist() == [7, 12, None, None]
    assert table.column("price").to_pylist() == [1.5, None, 2.25, 3.0]
    assert [shown(v) for v in table.column("when").to_pylist()] == ["2024-12-31", None, "2024-01-01", None]
    assert table.column("flag").to_pylist() == [True, None, False, True]
    assert [shown(v) for v in table.column("at").to_pylist()] == [
        "2024-01-01 10:00:00+00:00", "2024-01-01 10:00:00+00:00", None, "2024-01-01 10:00:00+00:00"]
    # Blank and empty cells are nulls, not failures.
    assert stream.nulled_cells == {"qty": 1, "price": 1, "when": 1, "flag": 1, "at": 1}


def test_string_types_give_every_cell_as_it_is(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "s.csv"
    path.write_text("a,b\n1,NA\n,  \n")
    table = pa.table(csv_vornish.read_arrow(path, types="string"))
    assert table.to_pylist() == [{"a": "1", "b": "NA"}, {"a": "", "b": "  "}]
    assert table.column("a").null_count == 0


@pytest.mark.parametrize("kwargs, error, message", [
    ({"types": "auto"}, ValueError, "types must be"),
    ({"types": {"a": "int32"}}, ValueError, "unsupported column type 'int32'"),
    ({"types": {"zzz": "int64"}}, ValueError, "names no column of the table: zzz"),
    ({"types": {0: "int64"}}, ValueError, "counts from 1"),
    ({"types": {1.5: "int64"}}, TypeError, "name or a 1-based position"),
    ({"decimal": ";"}, ValueError, "decimal must be"),
    ({"thousands": "_"}, ValueError, "thousands must be"),
    ({"date_format": "%d-%m-%Y"}, ValueError, "date_format must be"),
    ({"null_values": [1]}, TypeError, "null_values"),
])
def test_bad_type_arguments(tmp_path: pathlib.Path, kwargs: dict[str, Any], error: type, message: str) -> None:
    path = tmp_path / "x.csv"
    path.write_text("a,b\n1,2\n")
    with pytest.raises(error, match=re.escape(message)):
        csv_vornish.read_arrow(path, **kwargs)


def test_schema_is_typed_before_the_first_batch(tmp_path: pathlib.Path) -> None:
    duckdb = pytest.importorskip("duckdb")
    path = tmp_path / "d.csv"
    path.write_text("n,x\n1,2.5\n2,NA\n")
    stream = csv_vornish.read_arrow(path)
    assert str(pa.schema(stream)) == "n: int64\nx: double"
    stream = csv_vornish.read_arrow(path)
    assert duckdb.sql("SELECT sum(n), sum(x) FROM stream").fetchall() == [(3, 2.5)]


def test_a_pipe_is_typed_from_all_its_rows(tmp_path: pathlib.Path) -> None:
    import os
    import threading

    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    text = "a,b\n" + "".join(f"{i},{i}\n" for i in range(100_000)) + "x,1\n"
    writer = threading.Thread(target=lambda: fifo.write_text(text))
    writer.start()
    table = pa.table(csv_vornish.read_arrow(fifo))
    writer.join()
    assert [str(t) for t in table.schema.types] == ["string", "int64"]
    assert table.num_rows == 100_001


@pytest.mark.parametrize("threads, chunk_size", [(1, None), (2, 5)])
def test_cells_a_chosen_type_nulls_are_on_the_repair_record(tmp_path: pathlib.Path, threads: int,
                                                            chunk_size: int | None) -> None:
    path = tmp_path / "r.csv"
    path.write_text("a,b\n1,x\n2,3\n007,\n4,5,6\n")
    stream = csv_vornish.read_arrow(path, types={"a": "int64", "b": "int64"}, audit=True,
                                    threads=threads, chunk_size=chunk_size)
    assert pa.table(stream).to_pylist() == [{"a": 1, "b": None}, {"a": 2, "b": 3},
                                            {"a": 7, "b": None}, {"a": 4, "b": None}]
    assert stream.nulled_cells == {"b": 2}
    assert stream.actions["type_null"] == 2 and stream.actions["merged"] == 1
    records = [(r["line"], r["column"], r["action"], r["detail"], r["raw"]) for r in pa.table(stream.audit).to_pylist()]
    assert records == [
        (2, 2, "type_null", "not read as int64: null", b"1,x"),
        (5, None, "merged", "had 3 fields, expected 2", b"4,5,6"),
        (5, 2, "type_null", "not read as int64: null", b"4,5,6"),
    ]
    # Inference never nulls a cell, so it never records one.
    inferred = csv_vornish.read_arrow(path, record=True)
    pa.table(inferred)
    assert inferred.actions["type_null"] == 0


# The threaded scan builds the batches with types guessed from the table's
# first rows and keeps them where the settled types agree; elsewhere the
# table is built again. Either way every table, record and count must be
# that of one thread reading the file once the types are settled.
def read_everything(path: pathlib.Path, **options: Any) -> tuple[Any, ...]:
    stream = csv_vornish.read_arrow(path, audit=True, **options)
    table = pa.table(stream)
    records = pa.table(stream.audit).to_pylist()
    summary = stream.summary
    counts = (summary.total_rows, summary.vornished_rows, summary.repaired_rows, summary.quarantined_rows)
    return table, dict(stream.actions), stream.nulled_cells, records, counts


def damaged_typed_file(path: pathlib.Path, rows: int, spoil_at: int | None) -> None:
    """Numbers, dates and text with ragged rows, stray quotes and invalid
    bytes; with `spoil_at`, one cell there keeps `qty` from being int64."""
    rng = random.Random(rows)
    lines = [b"id,qty,price,day,note\n"]
    for r in range(rows):
        qty = b"8011-N" if r == spoil_at else str(rng.randrange(500)).encode()
        cells = [str(r).encode(), qty, f"{rng.uniform(0, 99):.2f}".encode(),
                 (dt.date(2020, 1, 1) + dt.timedelta(days=r % 900)).isoformat().encode(),
                 rng.choice([b"ok", b"Gr\xffaz", b'"a, b"', b"", b"NA"])]
        if r % 53 == 7:
            cells = cells[:3]
        elif r % 61 == 5:
            cells.append(b"extra")
        elif r % 71 == 3:
            cells[4] = b'say "hi" twice'
        lines.append(b",".join(cells) + b"\n")
    path.write_bytes(b"".join(lines))


@pytest.mark.parametrize("spoil_at", [None, 5, 45_000, 59_990], ids=["clean", "in-guess", "past-guess", "last"])
def test_scan_built_batches_equal_one_threads(tmp_path: pathlib.Path, spoil_at: int | None) -> None:
    path = tmp_path / "damaged.csv"
    damaged_typed_file(path, 60_000, spoil_at)
    expected = read_everything(path, threads=1)
    assert str(expected[0].schema.field("qty").type) == ("int64" if spoil_at is None else "string")
    assert expected[1]["merged"] > 0 and expected[1]["padded"] > 0
    for threads, chunk_size in [(2, None), (2, 4096), (3, 70_000), (4, 997)]:
        got = read_everything(path, threads=threads, chunk_size=chunk_size)
        assert got[0].equals(expected[0]), (threads, chunk_size)
        assert got[1:] == expected[1:], (threads, chunk_size)


def test_scan_built_batches_with_chosen_types_null_the_same_cells(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "chosen.csv"
    damaged_typed_file(path, 40_000, 20_000)
    chosen = {"qty": "int64", "note": "float64"}
    expected = read_everything(path, threads=1, types=chosen)
    assert expected[2]["qty"] == 1 and expected[1]["type_null"] > 1
    for threads, chunk_size in [(2, 4096), (4, 50_000)]:
        got = read_everything(path, threads=threads, chunk_size=chunk_size, types=chosen)
        assert got[0].equals(expected[0]) and got[1:] == expected[1:], (threads, chunk_size)


def test_a_string_layout_asked_for_after_the_scan_gives_the_same_table(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "views.csv"
    damaged_typed_file(path, 30_000, None)
    stream = csv_vornish.read_arrow(path, threads=2, chunk_size=8192)
    wanted = pa.schema([(name, pa.string_view() if kind == pa.string() else kind)
                        for name, kind in zip(stream.column_names, pa.schema(stream).types)])
    views = pa.RecordBatchReader.from_stream(stream, schema=wanted).read_all()
    assert views.schema.field("note").type == pa.string_view()
    assert views.cast(pa.table(csv_vornish.read_arrow(path, threads=1)).schema).equals(
        pa.table(csv_vornish.read_arrow(path, threads=1)))


# --- Values found while classifying, against Python's own parsing ------------

EDGE_COLUMNS = {
    "float": ["3.141592653589793238462643383279", "0.30000000000000004", "1e22", "1e23", "-1.5e-22",
              "1e-23", "4.9e-324", "2.2250738585072011e-308", "1.7976931348623157e308", "-0.0", "-0",
              "0.0", "9007199254740992", "9007199254740993", "9007199254740993.0", "4503599627370497.5",
              "123456789.123456789", "-3.456789e-01", "1.5E+3", " 2.5 ", "5.", ".5", "NA", "7",
              # Digit runs ending on the last byte of an eight-byte word, or just past it.
              "1234567.5", "12345678", "1234567.", "123.4567", "1.2345678", "12345678.5",
              "1.23456789e5", "-1234567.8", "+9.8765432e-3"],
    "int": ["9223372036854775807", "-9223372036854775808", "-9223372036854775807", "0", "-1", "+5",
            "999999999999999999", "1000000000000000000", "9007199254740993", " 42 ", "NA", "12",
            "12345678", "123456789", "-87654321", "1234567812345678"],
    "day": ["2024-02-29", "2000-02-29", "1900-02-28", "2023-02-28", "2024-12-31", "2024-04-30",
            "0001-01-01", "9999-12-31", "1969-12-31", "1970-01-01", "NULL", "2024-06-15"],
    "at": ["2024-02-29T23:59:59.999999", "1969-12-31T23:59:59.5", "2024-12-31 00:00:00",
           "1900-03-01T12:00:00.000001", "9999-12-31T23:59:59.123456", "", "2024-06-15T08:30:00.25",
           "2024-06-15t08:30:00", "2024-6-15T08:30:00", "2024-06-15 08:30:00.1"],
    "at_utc": ["2024-02-29T23:59:59.999999+01:00", "2024-01-01T00:00:00Z", "1970-01-01T00:30:00-00:30",
               "2024-12-31 23:00:00-23:59", "2024-06-15T08:30:00.25z"],
    "ok": ["true", "FALSE", "True", "fAlSe", " true ", "None"],
}


def columns_as_csv(columns: Mapping[str, Sequence[str | None]]) -> str:
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(list(columns))
    writer.writerows(zip(*columns.values()))
    return out.getvalue()


@pytest.mark.parametrize("threads, chunk_size", [(1, None), (2, 4096), (3, 1500), (2, None)])
def test_values_read_while_classifying_equal_pythons(tmp_path: pathlib.Path, threads: int,
                                                     chunk_size: int | None) -> None:
    # Mostly ordinary cells, so that each chunk narrows its columns first and
    # the edge cells then meet the quick classify-and-read shapes.
    rng = random.Random(2525)
    ordinary = {"float": lambda: f"{rng.uniform(-1e4, 1e4):.{rng.randrange(7)}f}",
                "int": lambda: str(rng.randrange(-10**6, 10**6)),
                "day": lambda: (dt.date(2000, 1, 1) + dt.timedelta(days=rng.randrange(9000))).isoformat(),
                "at": lambda: f"2020-05-{rng.randrange(1, 29):02}T10:{rng.randrange(60):02}:00.{rng.randrange(10**6):06}",
                "at_utc": lambda: f"2020-05-{rng.randrange(1, 29):02}T10:00:00+02:00",
                "ok": lambda: rng.choice(["true", "false"])}
    columns: dict[str, list[str | None]] = {name: [] for name in EDGE_COLUMNS}
    for _ in range(4000):
        for name, edges in EDGE_COLUMNS.items():
            columns[name].append(rng.choice(edges) if rng.random() < 0.2 else ordinary[name]())
    path = tmp_path / "edges.csv"
    path.write_text(columns_as_csv(columns), encoding="utf-8")
    table = check_lossless(path, columns, threads=threads, chunk_size=chunk_size)
    assert [str(t) for t in table.schema.types] == [
        "double", "int64", "date32[day]", "timestamp[us]", "timestamp[us, tz=UTC]", "bool"]
    # The checker above states the rules; Python's own parsers say the same.
    for name, convert in [("float", float), ("int", int), ("day", dt.date.fromisoformat)]:
        got = table.column(name).to_pylist()
        for cell, value in zip(columns[name], got):
            if cell is not None and cell.strip() not in NULLS:
                assert same(value, convert(cell.strip())), (name, cell, value)


@pytest.mark.parametrize("threads, chunk_size", [(1, None), (2, 4096)])
def test_null_cells_of_typed_columns_hold_zero_bytes(tmp_path: pathlib.Path, threads: int,
                                                     chunk_size: int | None) -> None:
    # Each null follows a value, whose bytes must not stay behind in the
    # null's slot: the same cells give the same buffers however read.
    base = {"int": ["5", "", "-7", "NA"], "float": ["2.5", "NA", "-1.5", " "],
            "day": ["2021-03-04", "", "1999-12-31", "null"],
            "at": ["2021-03-04T05:06:07", "N/A", "2021-03-04 05:06:07.5", ""],
            "ok": ["true", "", "TRUE", "None"]}
    columns = {name: cells * 3000 for name, cells in base.items()}
    path = tmp_path / "nulls.csv"
    path.write_text(columns_as_csv(columns), encoding="utf-8")
    table = pa.table(csv_vornish.read_arrow(path, threads=threads, chunk_size=chunk_size))
    assert [str(t) for t in table.schema.types] == ["int64", "double", "date32[day]", "timestamp[us]", "bool"]
    for column in table.columns:
        for chunk in column.chunks:
            data = chunk.buffers()[1].to_pybytes()
            width = chunk.type.bit_width
            for row in range(len(chunk)):
                if chunk[row].is_valid:
                    continue
                at = chunk.offset + row
                if width == 1:
                    assert not data[at // 8] >> (at % 8) & 1, (column.type, row)
                else:
                    assert data[at * width // 8:(at + 1) * width // 8].count(0) == width // 8, (column.type, row)


CHOSEN_EDGES = {"float": "float64", "int": "int64", "day": "date32", "at": "timestamp[us]",
                "at_utc": "timestamp[us, tz=UTC]", "ok": "bool", "grouped": "float64", "zeros": "int64"}


@pytest.mark.parametrize("threads, chunk_size", [(1, None), (2, 4096)])
def test_chosen_types_read_alike_while_classifying_and_in_the_builder(tmp_path: pathlib.Path, threads: int,
                                                                      chunk_size: int | None) -> None:
    # A file's chosen columns take the values its type scan reads; a pipe's
    # are read by the batch builder alone. Leading zeros and thousands
    # groups read only under a chosen type; cells that read as nothing are
    # nulled alike.
    import os
    import threading

    rng = random.Random(77)
    cells = {name: [rng.choice(edges) for _ in range(3000)] for name, edges in EDGE_COLUMNS.items()}
    cells["grouped"] = [rng.choice(["1,234.5", "12", "-7,000,001.25", "0.5", "x", "", "1,2"]) for _ in range(3000)]
    cells["zeros"] = [rng.choice(["007", "0", "-0", "42", "00", "1e3", "12,345"]) for _ in range(3000)]
    text = columns_as_csv(cells)
    path = tmp_path / "chosen.csv"
    path.write_text(text, encoding="utf-8")
    stream = csv_vornish.read_arrow(path, types=CHOSEN_EDGES, threads=threads, chunk_size=chunk_size)
    table = pa.table(stream)
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    feeder = threading.Thread(target=lambda: fifo.write_text(text, encoding="utf-8"))
    feeder.start()
    piped = csv_vornish.read_arrow(fifo, types=CHOSEN_EDGES)
    expected = pa.table(piped)
    feeder.join()
    assert table.equals(expected)
    assert stream.nulled_cells == piped.nulled_cells
    assert 7 in table.column("zeros").to_pylist()
    assert -7000001.25 in table.column("grouped").to_pylist()


@pytest.mark.parametrize("spoil_at", [None, 100, 19_990])
def test_the_type_scan_before_the_batches_is_the_same_on_any_threads(tmp_path: pathlib.Path,
                                                                     spoil_at: int | None) -> None:
    # A preamble keeps the batches on one thread and the type scan apart
    # from them, on as many threads as asked for.
    path = tmp_path / "damaged.csv"
    damaged_typed_file(path, 20_000, spoil_at)
    path.write_bytes(b"exported by hand\n" + path.read_bytes())
    expected = read_everything(path, threads=1, skip_rows=1)
    assert str(expected[0].schema.field("qty").type) == ("int64" if spoil_at is None else "string")
    for threads, chunk_size in [(2, 4096), (3, 997), (4, 30_000)]:
        got = read_everything(path, threads=threads, chunk_size=chunk_size, skip_rows=1)
        assert got[0].equals(expected[0]) and got[1:] == expected[1:], (threads, chunk_size)
