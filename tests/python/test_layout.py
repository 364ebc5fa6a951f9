"""The table inside the file: skip_footer=, table= and header_rows= on every entry point.

Each layout is read through vornish_file, open, read_arrow and the command
line; the kept rows, the rows set aside with their reasons and the repair
record must agree, and must not depend on threads or chunk sizes.
"""

from __future__ import annotations

import csv
import io
import pathlib
import subprocess
import sys
from typing import Any

import pytest

import csv_vornish

FOOTER = b"id,name,amount\n1,a,10\n2,b,20\n3,c,30\nTotal,,60\nSource: the ledger\n"
STACKED = b"id,price\n1,2.5\n2,3.5\n\nname,city,n\nAnn,Oslo,1\nBob,Lyon,2\n"
TWO_ROW = b"Region,Revenue,,Cost,\n,2023,2024,2023,2024\nN,1,2,3,4\nS,5,6,7,8\n"

FOOTER_REASON = "Row is part of a footer"
TABLE_REASON = "Row belongs to another table"

# (file, options, kept rows with the header, (line, reason, raw) set aside, actions counted)
CASES: list[Any] = [
    pytest.param(
        FOOTER, {"skip_footer": 2},
        [["id", "name", "amount"], ["1", "a", "10"], ["2", "b", "20"], ["3", "c", "30"]],
        [("6", FOOTER_REASON, "Total,,60"), ("7", FOOTER_REASON, "Source: the ledger")],
        {"footer": 2}, id="footer"),
    pytest.param(
        FOOTER, {"dialect": "auto"},
        [["id", "name", "amount"], ["1", "a", "10"], ["2", "b", "20"], ["3", "c", "30"]],
        [("6", FOOTER_REASON, "Total,,60"), ("7", FOOTER_REASON, "Source: the ledger")],
        {"footer": 2}, id="footer detected"),
    pytest.param(
        STACKED, {"dialect": "auto"},
        [["id", "price"], ["1", "2.5"], ["2", "3.5"]],
        [("5", TABLE_REASON, ""), ("6", TABLE_REASON, "name,city,n"), ("7", TABLE_REASON, "Ann,Oslo,1"),
         ("8", TABLE_REASON, "Bob,Lyon,2")],
        {"table": 4}, id="first of stacked tables"),
    pytest.param(
        STACKED, {"table": 1},
        [["name", "city", "n"], ["Ann", "Oslo", "1"], ["Bob", "Lyon", "2"]],
        [("2", "Row is part of a preamble", "id,price"), ("3", "Row is part of a preamble", "1,2.5"),
         ("4", "Row is part of a preamble", "2,3.5"), ("5", "Row is part of a preamble", "")],
        {"preamble": 4}, id="second of stacked tables"),
    pytest.param(
        TWO_ROW, {"header_rows": 2},
        [["Region", "Revenue 2023", "Revenue 2024", "Cost 2023", "Cost 2024"], ["N", "1", "2", "3", "4"],
         ["S", "5", "6", "7", "8"]],
        [], {}, id="two-row header"),
]


def actions_of(counts: dict[str, int] | None) -> dict[str, int]:
    assert counts is not None
    return {name: n for name, n in counts.items() if n}


@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize(("content", "options", "kept", "aside", "actions"), CASES)
def test_vornish_file(tmp_path: pathlib.Path, content: bytes, options: dict[str, Any], kept: list[list[str]],
                      aside: list[tuple[str, str, str]], actions: dict[str, int], threads: int) -> None:
    source = tmp_path / "in.csv"
    source.write_bytes(content)
    summary = csv_vornish.vornish_file(source, tmp_path / "out.csv", tmp_path / "q.csv", **options,
                                       threads=threads, chunk_size=8, audit=tmp_path / "audit.csv")
    assert list(csv.reader(io.StringIO((tmp_path / "out.csv").read_text()))) == kept
    quarantine = list(csv.reader(io.StringIO((tmp_path / "q.csv").read_text())))[1:]
    assert [tuple(row) for row in quarantine] == aside
    assert actions_of(summary.actions) == actions
    assert summary.quarantined_rows == len(aside)
    with open(tmp_path / "audit.csv", newline="") as audit:
        records = list(csv.DictReader(audit))
    assert [(r["action"], r["detail"]) for r in records] == [
        (action, reason) for _, reason, _ in aside
        for action in [{FOOTER_REASON: "footer", TABLE_REASON: "table"}.get(reason, "preamble")]
    ]


@pytest.mark.parametrize(("content", "options", "kept", "aside", "actions"), CASES)
def test_open(tmp_path: pathlib.Path, content: bytes, options: dict[str, Any], kept: list[list[str]],
              aside: list[tuple[str, str, str]], actions: dict[str, int]) -> None:
    source = tmp_path / "in.csv"
    source.write_bytes(content)
    with csv_vornish.open(source, **options, record=True) as reader:
        assert list(reader) == kept
    assert reader.summary.quarantined_rows == len(aside)
    assert actions_of(reader.summary.actions) == actions


@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize(("content", "options", "kept", "aside", "actions"), CASES)
def test_read_arrow(tmp_path: pathlib.Path, content: bytes, options: dict[str, Any], kept: list[list[str]],
                    aside: list[tuple[str, str, str]], actions: dict[str, int], threads: int) -> None:
    pa = pytest.importorskip("pyarrow")
    source = tmp_path / "in.csv"
    source.write_bytes(content)
    stream = csv_vornish.read_arrow(source, **options, types="string", threads=threads, chunk_size=8,
                                    record=True)
    table = pa.table(stream)
    assert table.column_names == kept[0]
    assert [list(row.values()) for row in table.to_pylist()] == kept[1:]
    assert stream.summary.quarantined_rows == len(aside)
    assert actions_of(stream.actions) == actions


@pytest.mark.parametrize("threads", [1, 3])
def test_footer_is_left_out_of_the_types(tmp_path: pathlib.Path, threads: int) -> None:
    pa = pytest.importorskip("pyarrow")
    source = tmp_path / "in.csv"
    source.write_bytes(b"id,amount\n" + b"".join(b"%d,%d\n" % (i, i * 10) for i in range(1, 200))
                       + b"Total,199000\nSource: the ledger\n")
    table = pa.table(csv_vornish.read_arrow(source, skip_footer=2, threads=threads, chunk_size=64))
    assert table.schema.field("id").type == pa.int64()
    assert table.num_rows == 199 and table.column("amount")[-1].as_py() == 1990
    # Without it the totals row is data, and the id column is text.
    assert pa.table(csv_vornish.read_arrow(source, threads=threads)).schema.field("id").type == pa.string()


@pytest.mark.parametrize("threads", [1, 3])
def test_footer_longer_than_the_table_takes_every_row(tmp_path: pathlib.Path, threads: int) -> None:
    source = tmp_path / "in.csv"
    source.write_bytes(b"a,b\n1,2\n")
    summary = csv_vornish.vornish_file(source, tmp_path / "out.csv", skip_footer=5, threads=threads)
    assert (tmp_path / "out.csv").read_bytes() == b""
    assert (summary.total_rows, summary.quarantined_rows) == (2, 2)


def test_a_large_footer_run_matches_on_every_thread_count(tmp_path: pathlib.Path) -> None:
    # Rows held back cross many chunks and keep their quoted, multi-line fields.
    rows = [b'%d,"note %d\nsecond line",x\n' % (i, i) for i in range(3000)]
    source = tmp_path / "in.csv"
    source.write_bytes(b"id,note,flag\n" + b"".join(rows) + b"Total,,\n")
    outputs = []
    for threads, chunk_size in [(1, None), (3, 256), (2, 4096)]:
        out = tmp_path / f"out{threads}.csv"
        summary = csv_vornish.vornish_file(source, out, skip_footer=1, threads=threads, chunk_size=chunk_size,
                                           record=True)
        outputs.append((out.read_bytes(), summary.quarantined_rows, summary.actions))
    assert outputs[0] == outputs[1] == outputs[2]
    assert outputs[0][0] == b"id,note,flag\n" + b"".join(rows)


@pytest.mark.parametrize(("options", "message"), [
    ({"table": 2}, "table=2 is out of range: the file has 2 tables"),
    ({"header_rows": 3}, "header_rows must be 1 or 2, not 3"),
])
def test_wrong_layout_options(tmp_path: pathlib.Path, options: dict[str, Any], message: str) -> None:
    source = tmp_path / "in.csv"
    source.write_bytes(STACKED)
    with pytest.raises(ValueError) as error:
        csv_vornish.vornish_file(source, tmp_path / "out.csv", **options)
    assert str(error.value) == message


def cli(*args: str, cwd: pathlib.Path) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([sys.executable, "-m", "csv_vornish", *args], cwd=cwd, capture_output=True,
                          check=False)


@pytest.mark.parametrize(("content", "args", "output", "quarantined"), [
    (FOOTER, ["--skip-footer", "2"], b"id,name,amount\n1,a,10\n2,b,20\n3,c,30\n", 2),
    (STACKED, ["--dialect", "auto"], b"id,price\n1,2.5\n2,3.5\n", 4),
    (STACKED, ["--table", "1"], b"name,city,n\nAnn,Oslo,1\nBob,Lyon,2\n", 4),
    (TWO_ROW, ["--header-rows", "2"],
     b"Region,Revenue 2023,Revenue 2024,Cost 2023,Cost 2024\nN,1,2,3,4\nS,5,6,7,8\n", 0),
])
def test_command_line(tmp_path: pathlib.Path, content: bytes, args: list[str], output: bytes,
                      quarantined: int) -> None:
    (tmp_path / "in.csv").write_bytes(content)
    result = cli("repair", *args, "in.csv", "-o", "-", "--quarantine", "q.csv", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout == output
    assert len((tmp_path / "q.csv").read_text().splitlines()) == 1 + quarantined


def test_dask_reads_a_footer_and_a_joined_header_in_one_piece(tmp_path: pathlib.Path) -> None:
    pytest.importorskip("dask.dataframe")
    from csv_vornish import dask as cvd

    source = tmp_path / "in.csv"
    body = b"".join(b"%d,%d,%d\n" % (i, i, 2 * i) for i in range(1, 60))
    source.write_bytes(b"Report\n,Revenue,\nid,2023,2024\n" + body + b"Total,1770,3540\n")
    frame = cvd.read_csv(source, blocksize=64, dialect="auto").compute()
    assert list(frame.columns) == ["id", "Revenue 2023", "Revenue 2024"]
    assert len(frame) == 59 and "Total" not in set(frame["id"].astype(str))


def test_dask_reads_the_first_of_stacked_tables_and_sets_the_others_aside(tmp_path: pathlib.Path) -> None:
    pytest.importorskip("dask.dataframe")
    from csv_vornish import dask as cvd

    source = tmp_path / "in.csv"
    first = b"".join(b"%d,%d.5\n" % (i, i) for i in range(200))
    source.write_bytes(b"id,price\n" + first + b"\nname,city,n\n" + b"Ann,Oslo,1\n" * 50)
    frame = cvd.read_csv(source, blocksize=256, dialect="auto")
    assert frame.npartitions == 1
    assert list(frame.columns) == ["id", "price"]
    assert len(frame.compute()) == 200
    summary = cvd.summary(cvd.read_csv(source, blocksize=256, dialect="auto", record=True))
    assert summary["quarantined_rows"] == 52 and summary["actions"]["table"] == 52


@pytest.mark.parametrize(("table", "names", "types"), [
    (None, ["id", "price"], ["int64", "double"]),
    (1, ["name", "city", "n"], ["string", "string", "int64"]),
])
def test_stacked_tables_are_typed_apart(tmp_path: pathlib.Path, table: int | None, names: list[str],
                                        types: list[str]) -> None:
    pa = pytest.importorskip("pyarrow")
    source = tmp_path / "in.csv"
    source.write_bytes(STACKED)
    read = pa.table(csv_vornish.read_arrow(source, dialect="auto", table=table))
    assert read.column_names == names
    assert [str(field.type) for field in read.schema] == types
