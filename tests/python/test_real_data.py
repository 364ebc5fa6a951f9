"""Real tables: the CSV files that PyPI data packages ship (installed as
test extras, never downloaded at run time), typed by read_arrow and checked
against the lossless rules of test_types, cell by cell, with the cells read
by Python's own csv module.
"""

from __future__ import annotations

import csv
import importlib.resources
from pathlib import Path
from typing import Any

import pytest

import csv_vornish
from test_types import engine_values, expected_column, same

pa = pytest.importorskip("pyarrow")

PACKAGES = {"vega_datasets": "_data", "palmerpenguins": "data"}


def shipped_csv_files() -> list[Any]:
    found = []
    for package, folder in PACKAGES.items():
        try:
            root = importlib.resources.files(package) / folder
        except ModuleNotFoundError:
            found.append(pytest.param(None, id=f"{package}-missing",
                                      marks=pytest.mark.skip(reason=f"{package} is not installed")))
            continue
        found += [pytest.param(Path(str(p)), id=p.name) for p in sorted(root.iterdir(), key=str)
                  if p.name.endswith(".csv")]
    return found


FILES = shipped_csv_files()


def test_the_data_packages_ship_tables() -> None:
    assert len([f for f in FILES if f.values[0] is not None]) >= 8


@pytest.mark.parametrize("path", FILES)
def test_shipped_table_is_typed_without_loss(path: Path) -> None:
    with path.open(newline="", encoding="utf-8") as handle:
        header, *body = list(csv.reader(handle))
    table = pa.table(csv_vornish.read_arrow(path))
    assert table.column_names == header
    assert table.num_rows == len(body)
    for i, name in enumerate(header):
        cells = [row[i] if i < len(row) else None for row in body]
        want_type, want = expected_column(cells)
        got = table.column(name)
        assert str(got.type) == want_type, name
        bad = [(cell, g, w) for cell, g, w in zip(cells, engine_values(got), want) if not same(g, w)]
        assert not bad, (name, bad[:5])
    # Some columns of these tables are typed: the test is not vacuous.
    if len(body) > 50:
        assert any(not pa.types.is_string(t) for t in table.schema.types)


def test_penguins_types() -> None:
    pytest.importorskip("palmerpenguins")
    path = Path(str(importlib.resources.files("palmerpenguins") / "data" / "penguins.csv"))
    table = pa.table(csv_vornish.read_arrow(path))
    assert {n: str(t) for n, t in zip(table.column_names, table.schema.types)} == {
        "species": "string", "island": "string", "bill_length_mm": "double", "bill_depth_mm": "double",
        "flipper_length_mm": "int64", "body_mass_g": "int64", "sex": "string", "year": "int64"}
    # "NA" cells are nulls, not a reason to fall back to strings.
    assert table.column("body_mass_g").null_count == 2
