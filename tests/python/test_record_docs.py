"""The README's repair record section and the records column of its repair-rules table, run."""

from __future__ import annotations

import contextlib
import csv
import io
import os
import pathlib
import re
import subprocess
from typing import Any

import pytest

import csv_vornish
from csv_vornish.record import ACTIONS, AUDIT_HEADER

from test_cli import command
from test_docs import RULES, TEXT, as_bytes, as_options, code, fenced_blocks, section

RECORD = section("Repair record")


def table(text: str, first: str) -> list[list[str]]:
    """The cells of the table in ``text`` whose header starts with ``first``."""
    lines = text.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith(f"| {first} |"))
    rows = []
    for line in lines[start + 2 :]:
        if not line.startswith("|"):
            break
        rows.append([cell.strip() for cell in line.strip().strip("|").split("|")])
    return rows


def written_records(path: pathlib.Path) -> list[tuple[str, str]]:
    with path.open(newline="", encoding="utf-8") as record:
        return [(row["action"], row["column"]) for row in csv.DictReader(record)]


def listed_records(cell: str) -> list[tuple[str, str]]:
    """`merged`, `bare_quote` (2), ... as (action, column) pairs; none gives none."""
    if cell == "none":
        return []
    return [(action, column) for action, column in re.findall(r"`(\w+)`(?: \((\d+)\))?", cell)]


def rule_records() -> list[Any]:
    rows = []
    for cells in table(section("Repair rules"), "Rule"):
        assert len(cells) == 6, cells
        rows.append(pytest.param(as_bytes(code(cells[1])), as_options(code(cells[2])), cells[5], id=cells[0]))
    return rows


def test_every_rule_has_its_records() -> None:
    assert len(rule_records()) == len(RULES)


@pytest.mark.parametrize("data, options, cell", rule_records())
def test_rule_records(tmp_path: pathlib.Path, data: bytes, options: dict[str, Any], cell: str) -> None:
    source = tmp_path / "in.csv"
    source.write_bytes(data)
    summary = csv_vornish.vornish_file(source, tmp_path / "out.csv", audit=tmp_path / "audit.csv", **options)
    assert written_records(tmp_path / "audit.csv") == listed_records(cell)
    assert sum(summary.actions.values()) == len(listed_records(cell))


def test_tables_name_every_field_and_action() -> None:
    assert [cells[0] for cells in table(RECORD, "Field")] == [f"`{name}`" for name in AUDIT_HEADER.split(",")]
    assert [cells[0] for cells in table(RECORD, "Action")] == [f"`{name}`" for name in ACTIONS]


def run_block(block: str) -> list[str]:
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(block, "README.md", "exec"), {})
    return printed.getvalue().splitlines()


def expected_output(block: str) -> list[str]:
    return [line[2:] for line in block.splitlines() if line.startswith("# ")]


@pytest.fixture
def in_tmp(tmp_path: pathlib.Path):
    cwd = os.getcwd()
    os.chdir(tmp_path)
    try:
        yield tmp_path
    finally:
        os.chdir(cwd)


def test_examples(in_tmp: pathlib.Path) -> None:
    blocks = fenced_blocks(RECORD)
    python = [b for b in blocks if "import csv_vornish" in b]
    assert len(python) == 3
    files, arrow, dask = python
    assert run_block(files) == expected_output(files)
    (shown,) = [b for b in blocks if b.startswith(AUDIT_HEADER)]
    assert (in_tmp / "orders.audit.csv").read_text(encoding="utf-8") == shown

    pytest.importorskip("pyarrow")
    pytest.importorskip("polars")
    assert run_block(arrow) == expected_output(arrow)

    pytest.importorskip("dask.dataframe")
    pytest.importorskip("pandas")
    assert run_block(dask) == expected_output(dask)

    (session,) = [b for b in blocks if b.startswith("$ ")]
    args, line = session.splitlines()
    (in_tmp / "orders.audit.csv").unlink()
    done = subprocess.run([*command(), *args.split()[2:]], capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stderr.decode("utf-8").splitlines() == [line]
    assert (in_tmp / "orders.audit.csv").read_text(encoding="utf-8") == shown


def test_readme_mentions_the_new_results() -> None:
    assert "returns a VornishSummary" not in TEXT
    assert "RepairSummary" in TEXT and "RepairReader" in TEXT
