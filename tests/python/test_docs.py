"""The README's promises, checked against the package.

Every row of the repair-rules table is run through both the file repair and
the reader, and the quarantine-file example is reproduced byte for byte, so
the documentation cannot drift from the behaviour.
"""

from __future__ import annotations

import ast
import codecs
import contextlib
import inspect
import io
import os
import pathlib
import re
from typing import Any

import pytest

import csv_vornish

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
TEXT = README.read_text(encoding="utf-8")


def section(title: str) -> str:
    match = re.search(rf"^## {re.escape(title)}\n(.*?)(?=^## |\Z)", TEXT, re.M | re.S)
    assert match, f"README has no section {title!r}"
    return match.group(1)


def code(cell: str) -> str:
    cell = cell.strip()
    if not cell:
        return ""
    assert cell.startswith("`") and cell.endswith("`"), cell
    return cell[1:-1]


def as_bytes(escaped: str) -> bytes:
    """Python escapes (\\n, \\xff) in a README cell, as the bytes they stand for."""
    return codecs.escape_decode(escaped.encode("utf-8"))[0]


def as_options(text: str) -> dict[str, Any]:
    call = ast.parse(f"f({text})", mode="eval").body
    assert isinstance(call, ast.Call) and not call.args
    return {kw.arg: ast.literal_eval(kw.value) for kw in call.keywords if kw.arg}


def rule_rows() -> list[Any]:
    rows = []
    # The table's cells hold no "|" of their own, so a plain split works.
    for line in section("Repair rules").splitlines():
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        if len(cells) < 5 or not cells[1].startswith("`"):
            continue
        rows.append(
            pytest.param(
                as_bytes(code(cells[1])),
                as_options(code(cells[2])),
                ast.literal_eval(code(cells[3])),
                as_bytes(code(cells[4])),
                id=cells[0],
            )
        )
    return rows


RULES = rule_rows()


def test_rules_table_is_found() -> None:
    assert len(RULES) >= 15


@pytest.mark.parametrize("data, options, rows, clean", RULES)
def test_repair_rule(tmp_path: pathlib.Path, data: bytes, options: dict[str, Any], rows: list[list[str]], clean: bytes) -> None:
    source = tmp_path / "in.csv"
    source.write_bytes(data)
    summary = csv_vornish.vornish_file(source, tmp_path / "out.csv", tmp_path / "bad.csv", **options)
    assert (tmp_path / "out.csv").read_bytes() == clean
    if set(options) <= set(inspect.signature(csv_vornish.open).parameters):
        assert list(csv_vornish.open(source, **options)) == rows
    else:  # the front-only options: the rows as the Arrow stream hands them out
        pa = pytest.importorskip("pyarrow")
        table = pa.table(csv_vornish.read_arrow(source, **options, header=False))
        assert [list(row.values()) for row in table.to_pylist()] == rows
    assert summary.vornished_rows == len(rows)
    quarantined = (tmp_path / "bad.csv").read_text(encoding="utf-8").splitlines()[1:]
    assert summary.quarantined_rows == len(quarantined)


def fenced_blocks(text: str) -> list[str]:
    return re.findall(r"^```[a-z]*\n(.*?)^```", text, re.M | re.S)


def test_quarantine_example(tmp_path: pathlib.Path) -> None:
    text = section("Quarantine file")
    people, quarantine = fenced_blocks(text)
    (tmp_path / "people.csv").write_text(people, encoding="utf-8")
    csv_vornish.vornish_file(
        tmp_path / "people.csv", tmp_path / "people.clean.csv", tmp_path / "people.rejects.csv",
        fill_ragged_rows=False, merge_overflow=False,
    )
    assert (tmp_path / "people.rejects.csv").read_text(encoding="utf-8") == quarantine
    assert "--no-fill --no-merge --quarantine people.rejects.csv" in text


def test_command_line_example(tmp_path: pathlib.Path) -> None:
    from csv_vornish import cli

    people = fenced_blocks(section("Quarantine file"))[0]
    (tmp_path / "people.csv").write_text(people, encoding="utf-8")
    session = fenced_blocks(section("Command line"))[1].splitlines()
    assert session[0] == "$ csv-vornish repair people.csv --no-fill --no-merge --quarantine people.rejects.csv"
    summary = csv_vornish.vornish_file(
        tmp_path / "people.csv", tmp_path / "people.clean.csv", tmp_path / "people.rejects.csv",
        fill_ragged_rows=False, merge_overflow=False, record=True,  # as the command line counts
    )
    result = cli.RepairResult(
        cli.RepairJob("people.csv", "people.clean.csv", "people.rejects.csv"), summary=cli.summary_dict(summary)
    )
    assert session[1] == cli.summary_line(result)
    sniffed = csv_vornish.open(tmp_path / "people.csv").summary
    assert session[2:] == [
        "$ csv-vornish sniff people.csv",
        f"delimiter: {sniffed.detected_delimiter!r}",
        f"columns: {sniffed.inferred_columns}",
    ]


def test_dialect_detection_example(tmp_path: pathlib.Path) -> None:
    (example,) = fenced_blocks(section("Dialect detection"))
    expected = [line[2:] for line in example.splitlines() if line.startswith("# ")]
    printed = io.StringIO()
    cwd = os.getcwd()
    os.chdir(tmp_path)
    try:
        with contextlib.redirect_stdout(printed):
            exec(compile(example, "README.md", "exec"), {})
    finally:
        os.chdir(cwd)
    assert printed.getvalue().splitlines() == expected


def test_table_inside_the_file_example(tmp_path: pathlib.Path) -> None:
    (example,) = fenced_blocks(section("The table inside the file"))
    expected = [line[2:] for line in example.splitlines() if line.startswith("# ")]
    printed = io.StringIO()
    cwd = os.getcwd()
    os.chdir(tmp_path)
    try:
        with contextlib.redirect_stdout(printed):
            exec(compile(example, "README.md", "exec"), {})
    finally:
        os.chdir(cwd)
    assert printed.getvalue().splitlines() == expected
