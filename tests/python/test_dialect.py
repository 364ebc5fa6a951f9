"""Dialect detection: sniff_dialect, Dialect and resolve_options.

The accuracy test generates the dialect corpus (bench/dialect_corpus.py)
into a temporary folder and checks the share of files whose whole dialect
(delimiter, quote, blank skipping, preamble, header, columns) is detected
exactly.
"""

from __future__ import annotations

import collections
import dataclasses
import importlib.util
import pathlib
import sys
from types import ModuleType
from typing import Any

import pytest

import csv_vornish
from csv_vornish import Dialect, sniff_dialect
from csv_vornish.dialect import resolve_options

ROOT = pathlib.Path(__file__).resolve().parents[2]
FIELDS = ["delimiter", "quote_char", "skip_initial_space", "skip_rows", "header", "columns"]


def load_corpus_module() -> ModuleType:
    path = ROOT / "bench" / "dialect_corpus.py"
    if not path.exists():
        pytest.skip("the corpus generator is not in this tree")
    spec = importlib.util.spec_from_file_location("dialect_corpus", path)
    assert spec and spec.loader
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses looks its module up
    spec.loader.exec_module(module)
    return module


def test_corpus_accuracy(tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str]) -> None:
    corpus = load_corpus_module()
    truths = corpus.generate(tmp_path, count=600, seed=13)
    assert len(truths) >= 500
    exact = 0
    wrong: collections.Counter[str] = collections.Counter()
    for truth in truths:
        got = sniff_dialect(tmp_path / truth.file)
        mismatched = [f for f in FIELDS if getattr(got, f) != getattr(truth, f)]
        wrong.update(mismatched)
        exact += not mismatched
    share = exact / len(truths)
    with capsys.disabled():
        print(f"\ndialect corpus: {exact}/{len(truths)} exact ({share:.1%}); wrong fields: {dict(wrong)}")
    assert share >= 0.97, dict(wrong)


# Per kind of file beyond the plain corpus: the least share whose whole
# layout (the dialect, comment prefix, header rows, footer, every table's
# start, width and header) is detected exactly.
LAYOUT_FLOORS = {
    "comments": 0.97, "footer": 0.97, "stacked tables": 0.97, "two-row header": 0.97,
    "real cells": 0.97, "damaged header": 0.97, "single column": 0.97,
}


def layout_of(dialect: Dialect) -> dict[str, Any]:
    return {
        **{f: getattr(dialect, f) for f in FIELDS},
        "comment": dialect.comment,
        "header_rows": dialect.header_rows if dialect.header else 1,
        "skip_footer": dialect.skip_footer,
        "tables": [(t.skip_rows, t.columns, t.header) for t in dialect.tables],
    }


def test_layout_accuracy(tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str]) -> None:
    corpus = load_corpus_module()
    truths = corpus.generate(tmp_path, count=0, seed=13, layouts=200)
    exact: collections.Counter[str] = collections.Counter()
    total: collections.Counter[str] = collections.Counter()
    wrong: dict[str, collections.Counter[str]] = collections.defaultdict(collections.Counter)
    kept_header = 0
    for truth in truths:
        got = layout_of(sniff_dialect(tmp_path / truth.file))
        want = {
            **{f: getattr(truth, f) for f in FIELDS}, "comment": truth.comment, "header_rows": truth.header_rows,
            "skip_footer": truth.skip_footer, "tables": truth.table_list(),
        }
        mismatched = [name for name in want if got[name] != want[name]]
        total[truth.layout] += 1
        exact[truth.layout] += not mismatched
        wrong[truth.layout].update(mismatched)
        if truth.layout == "damaged header":
            kept_header += got["header"] and got["skip_rows"] == truth.skip_rows
    shares = {layout: exact[layout] / total[layout] for layout in total}
    with capsys.disabled():
        print("\nlayouts exact: " + ", ".join(f"{k} {v:.1%}" for k, v in shares.items())
              + f"; damaged headers kept {kept_header}/{total['damaged header']}")
    assert set(shares) == set(LAYOUT_FLOORS)
    for layout, floor in LAYOUT_FLOORS.items():
        assert shares[layout] >= floor, (layout, shares[layout], dict(wrong[layout]))
    assert kept_header >= 0.99 * total["damaged header"]


LAYOUT_BODY = "".join(f"{i},{['Oslo', 'Lyon', 'Graz'][i % 3]},{i * 2}.50,2024-03-{i + 1:02d}\n" for i in range(8))
LAYOUT_SUM = f"{sum(i * 2 + 0.5 for i in range(8)):.2f}"


@pytest.mark.parametrize(
    "text, expected",
    [
        pytest.param("# exported 2024-05-01\nid,city,price,day\n" + LAYOUT_BODY.replace("3,", "# checked\n3,", 1),
                     {"skip_rows": 1, "comment": "#", "tables": [(1, 4, True)]}, id="comments before and inside"),
        pytest.param("// by the tool\nid;city\n" + "".join(f"{i};Oslo\n" for i in range(6)),
                     {"skip_rows": 1, "comment": "//", "columns": 2}, id="slash comments"),
        pytest.param("colour,n\n" + "".join(f"#{i:02d}FF00,{i}\n" for i in range(10)),
                     {"comment": None, "skip_rows": 0, "header": True}, id="colours are no comments"),
        pytest.param("id,city,price,day\n" + LAYOUT_BODY + f"Total,,{LAYOUT_SUM},\n\nSource: ERP export\n",
                     {"skip_footer": 3, "tables": [(0, 4, True)]}, id="totals and a source line"),
        pytest.param("id,city,price,day\n" + LAYOUT_BODY + "Lisbon,,1.00,\n",
                     {"skip_footer": 0}, id="a word and no sums is data"),
        pytest.param("id,city,price,day\n" + LAYOUT_BODY + "\nname,score\nAnn,3\nBob,4\nCy,5\n",
                     {"columns": 4, "tables": [(0, 4, True), (10, 2, True)]}, id="two tables"),
        pytest.param(",,Revenue,\nid,city,2023,2024\n" + "".join(f"{i},Oslo,{i}.5,{i}\n" for i in range(8)),
                     {"skip_rows": 0, "header": True, "header_rows": 2}, id="two-row header"),
    ],
)
def test_detects_layouts(tmp_path: pathlib.Path, text: str, expected: dict[str, Any]) -> None:
    path = tmp_path / "in.csv"
    path.write_text(text, encoding="utf-8")
    got = layout_of(sniff_dialect(path))
    assert {name: got[name] for name in expected} == expected


def test_footer_needs_the_whole_file(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "in.csv"
    path.write_text("id,city,price,day\n" + LAYOUT_BODY * 40 + "Source: ERP export\n", encoding="utf-8")
    assert sniff_dialect(path).skip_footer == 1
    # A sample that ends early cannot see the end of the file.
    cut = sniff_dialect(path, sample_size=2000)
    assert cut.skip_footer == 0 and cut.tables[-1].rows is None


def table(delimiter: str, rows: int = 12, spaced: bool = False) -> str:
    sep = delimiter + " " if spaced else delimiter
    lines = [sep.join(["id", "city", "price", "day"])]
    cities = ["Oslo", "Lyon", "Porto", "Graz"]
    for i in range(rows):
        lines.append(sep.join([str(100 + i), cities[i % 4], f"{i * 1.5:.2f}", f"2024-03-{i % 28 + 1:02d}"]))
    return "\n".join(lines) + "\n"


CASES = [
    *[
        pytest.param(table(d), Dialect(d, '"', False, 0, True, 4), id=f"delimiter {d!r}")
        for d in [",", ";", "\t", "|", " ", ":", "^", "~", "#"]
    ],
    pytest.param(table(",", spaced=True), Dialect(",", '"', True, 0, True, 4), id="comma and blank"),
    pytest.param(table(";", spaced=True), Dialect(";", '"', True, 0, True, 4), id="semicolon and blank"),
    pytest.param(
        "name,note\n'Ann','a, b'\n'Bob','c'\n'Cy','d, e'\n'Di','f'\n", Dialect(",", "'", False, 0, False, 2),
        id="single quotes",
    ),
    pytest.param(
        'name;note;n\n"Ann";"a; b";1\n"Bob";"c";2\n"Cy";"d";3\n', Dialect(";", '"', False, 0, True, 3),
        id="double quotes",
    ),
    pytest.param(table(",").split("\n", 1)[1], Dialect(",", '"', False, 0, False, 4), id="no header"),
    pytest.param("Monthly report\n" + table(","), Dialect(",", '"', False, 1, True, 4), id="title"),
    pytest.param("Report\n\n=====\n" + table(";"), Dialect(";", '"', False, 3, True, 4), id="title blank rule"),
    pytest.param("# a\n# b\n" + table("|"), Dialect("|", '"', False, 2, True, 4, "#"), id="comments"),
    pytest.param("Source: ERP, north\n" + table(","), Dialect(",", '"', False, 1, True, 4), id="note with delimiter"),
    pytest.param(",,,\n" + table(","), Dialect(",", '"', False, 1, True, 4), id="separators only"),
    pytest.param("Date: 2024\r\n\r\n" + table("\t").replace("\n", "\r\n"), Dialect("\t", '"', False, 2, True, 4), id="crlf"),
    pytest.param("id,city,price,day,note\n" + table(",").split("\n", 1)[1], Dialect(",", '"', False, 0, True, 4),
                 id="header a field too wide"),
    pytest.param("Report\n\nid;city;price\n" + table(";").split("\n", 1)[1], Dialect(";", '"', False, 2, True, 4),
                 id="header a field too narrow"),
    pytest.param('id|ci"ty|price|day\n' + table("|").split("\n", 1)[1], Dialect("|", '"', False, 0, True, 4),
                 id="header with a stray quote"),
    pytest.param("Source: ERP export, region north\n" + table(",").split("\n", 1)[1],
                 Dialect(",", '"', False, 1, False, 4), id="note a field short is no header"),
    pytest.param("amount\n12\n7,5\n3\n", Dialect(None, '"', False, 0, True, 1), id="one column, decimal comma"),
    pytest.param("Oslo\nLyon\nGraz\n", Dialect(None, '"', False, 0, False, 1), id="one column of words"),
]


@pytest.mark.parametrize("text, expected", CASES)
def test_detects(tmp_path: pathlib.Path, text: str, expected: Dialect) -> None:
    path = tmp_path / "in.csv"
    path.write_text(text, encoding="utf-8")
    assert sniff_dialect(path) == expected
    assert sniff_dialect(str(path)) == expected


@pytest.mark.parametrize(
    "data, expected",
    [
        pytest.param(b"", Dialect(), id="empty"),
        pytest.param(b"\xef\xbb\xbf", Dialect(), id="bom alone"),
        pytest.param(b"\n\r\n  \n", Dialect(), id="blank lines"),
        pytest.param(b"\xef\xbb\xbfa;b\n1;2\n3;4\n", Dialect(";", '"', False, 0, True, 2), id="bom"),
        pytest.param(b"a;b\n1;\xff\xfe\n3;x\xc3\n", Dialect(";", '"', False, 0, True, 2), id="invalid utf-8"),
    ],
)
def test_degenerate_files(tmp_path: pathlib.Path, data: bytes, expected: Dialect) -> None:
    path = tmp_path / "in.csv"
    path.write_bytes(data)
    assert sniff_dialect(path) == expected


@pytest.mark.parametrize("seed", range(4))
def test_binary_junk_gives_some_dialect(tmp_path: pathlib.Path, seed: int) -> None:
    import random

    path = tmp_path / "junk.bin"
    path.write_bytes(random.Random(seed).randbytes(20000))
    first = sniff_dialect(path)
    assert first == sniff_dialect(path)
    assert first.delimiter in ",;\t| :^~#" and first.quote_char in "\"'"
    assert 0 <= first.skip_rows <= 20 and first.columns >= 0


def test_sample_size_bounds(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "in.csv"
    # 4000 rows of ";" after 4000 rows of ",": the sample decides.
    path.write_text("a,b,c\n" * 4000 + "x;y\n" * 4000, encoding="utf-8")
    assert sniff_dialect(path).delimiter == ","
    assert sniff_dialect(path, sample_size=6).columns == 3
    assert sniff_dialect(path, sample_size=2**40).delimiter == ","
    # A cut row at the end of the sample does not count.
    assert sniff_dialect(path, sample_size=10).columns == 3
    assert sniff_dialect(path, sample_size=1) == Dialect(delimiter=None, columns=1)


@pytest.mark.parametrize(
    "value, error, message",
    [
        (0, ValueError, "sample_size must be at least 1, got 0"),
        (-5, ValueError, "sample_size must be at least 1, got -5"),
        ("64", TypeError, "'str' object cannot be interpreted as an integer"),
        (1.5, TypeError, "'float' object cannot be interpreted as an integer"),
    ],
)
def test_sample_size_errors(tmp_path: pathlib.Path, value: Any, error: type[Exception], message: str) -> None:
    path = tmp_path / "in.csv"
    path.write_text("a,b\n", encoding="utf-8")
    with pytest.raises(error) as caught:
        sniff_dialect(path, sample_size=value)
    assert str(caught.value) == message
    assert caught.value.__notes__ == ["while processing 'sample_size'"]


def test_file_errors(tmp_path: pathlib.Path) -> None:
    with pytest.raises(FileNotFoundError) as missing:
        sniff_dialect(tmp_path / "none.csv")
    assert str(missing.value) == "No such file or directory (os error 2)"
    with pytest.raises(IsADirectoryError):
        sniff_dialect(tmp_path)
    with pytest.raises(TypeError):
        sniff_dialect(3)  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        sniff_dialect(tmp_path / "in.csv", 10)  # type: ignore[misc]


def test_dialect_is_frozen_and_implies_options() -> None:
    d = Dialect(";", "'", True, 2, True, 5)
    with pytest.raises(dataclasses.FrozenInstanceError):
        d.columns = 3  # type: ignore[misc]
    assert d == Dialect(";", "'", True, 2, True, 5) and hash(d) == hash(Dialect(";", "'", True, 2, True, 5))
    assert d.options() == {
        "delimiter": ";",
        "quote_char": "'",
        "expected_columns": 5,
        "skip_initial_space": True,
        "skip_rows": 2,
    }
    assert Dialect().options()["expected_columns"] is None
    assert "sniff_dialect" in csv_vornish.__all__ and "Dialect" in csv_vornish.__all__
    assert "_sniff_dialect" not in csv_vornish._backend.__all__


DETECTED = Dialect(";", "'", True, 2, True, 5)


@pytest.mark.parametrize(
    "dialect, given, expected",
    [
        pytest.param(None, {"delimiter": None}, {"delimiter": None}, id="no dialect"),
        pytest.param(DETECTED, {}, DETECTED.options(), id="all unset"),
        pytest.param(
            DETECTED,
            {"delimiter": None, "quote_char": '"', "expected_columns": None, "fill_ragged_rows": False},
            {**DETECTED.options(), "fill_ragged_rows": False},
            id="defaults count as unset",
        ),
        pytest.param(DETECTED, {"expected_columns": 7}, {**DETECTED.options(), "expected_columns": 7}, id="given kept"),
        pytest.param(
            DETECTED, {"delimiter": "|"}, {"delimiter": "|", "quote_char": "'"}, id="other delimiter drops the rest"
        ),
        pytest.param(DETECTED, {"delimiter": ";"}, DETECTED.options(), id="same delimiter"),
    ],
)
def test_resolve_options(dialect: Dialect | None, given: dict[str, Any], expected: dict[str, Any]) -> None:
    assert resolve_options(dialect, "unused.csv", given) == expected


def test_resolve_options_auto(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "in.csv"
    path.write_text("Title\n" + table(";", spaced=True), encoding="utf-8")
    options = resolve_options("auto", path, {"merge_overflow": False})
    assert options == {
        "merge_overflow": False,
        "delimiter": ";",
        "quote_char": '"',
        "expected_columns": 4,
        "skip_initial_space": True,
        "skip_rows": 1,
    }
    with pytest.raises(TypeError, match="dialect must be 'auto', a Dialect or None, not str"):
        resolve_options("guess", path, {})  # type: ignore[arg-type]


PREAMBLE_FILE = (
    b"Quarterly export\n"
    b"generated 2026-12-01; do not edit\n"
    b"\n"
    b"id, name, city\n"
    b"1, Ada, Paris\n"
    b"2, Bob\n"
    b'3, "Cy, Jr", Rome\n'
    b"4, Di, Oslo, Norway\n"
)


@pytest.mark.parametrize("threads, chunk_size", [(1, None), (2, 7), (4, 1)])
def test_vornish_file_with_the_detected_dialect(tmp_path: pathlib.Path, threads: int, chunk_size: int | None) -> None:
    source = tmp_path / "in.csv"
    source.write_bytes(PREAMBLE_FILE)
    summary = csv_vornish.vornish_file(
        source, tmp_path / "out.csv", tmp_path / "bad.csv", dialect="auto", threads=threads, chunk_size=chunk_size
    )
    assert (tmp_path / "out.csv").read_bytes() == (
        b'id,name,city\n1,Ada,Paris\n2,Bob,\n3,"Cy, Jr",Rome\n4,Di,"Oslo,Norway"\n'
    )
    assert (tmp_path / "bad.csv").read_bytes() == (
        b"line,reason,raw_content\n"
        b'2,"Row is part of a preamble","Quarterly export"\n'
        b'3,"Row is part of a preamble","generated 2026-12-01; do not edit"\n'
        b'4,"Row is part of a preamble",""\n'
    )
    counts = summary.to_dict()
    assert (counts["total_rows"], counts["quarantined_rows"], counts["repaired_rows"]) == (8, 3, 2)


def test_damaged_header_keeps_the_column_names(tmp_path: pathlib.Path) -> None:
    pa = pytest.importorskip("pyarrow")
    source = tmp_path / "in.csv"
    source.write_bytes(b"Export of 2024-05-01\n\nid;name;price;note\n1;Ann;2,50\n2;Bob;3,10\n3;Cy;1,00\n4;Di;7,25\n")
    assert sniff_dialect(source) == Dialect(";", '"', False, 2, True, 3)
    stream = csv_vornish.read_arrow(source, dialect="auto")
    table = pa.table(stream)
    # The header is merged as any row a field too wide.
    assert table.column_names == ["id", "name", "price;note"]
    assert table.num_rows == 4 and stream.summary.quarantined_rows == 2


def test_read_arrow_with_the_detected_dialect(tmp_path: pathlib.Path) -> None:
    pa = pytest.importorskip("pyarrow")
    source = tmp_path / "in.csv"
    source.write_bytes(PREAMBLE_FILE)
    stream = csv_vornish.read_arrow(source, dialect="auto")
    table = pa.table(stream)
    assert table.column_names == ["id", "name", "city"]
    assert table.to_pylist()[2] == {"id": 3, "name": "Cy, Jr", "city": "Rome"}
    assert stream.summary.quarantined_rows == 3
    # Given options win over the detected ones; a Dialect works as "auto" does.
    dialect = csv_vornish.sniff_dialect(source)
    assert pa.table(csv_vornish.read_arrow(source, dialect=dialect, header=False)).num_rows == 5
    with pytest.raises(TypeError, match="dialect"):
        csv_vornish.read_arrow(source, dialect="excel")


COMMENTED = (
    b"# exported 2024-05-01\n"
    b"id,city,price\n"
    b"1,Oslo,2.5\n"
    b"# checked by finance, ok\n"
    b"2,Lyon,3.5\n"
    b'"# not a comment line",Graz,1.0\n'
    b"#3,Bern\n"
)
COMMENT_QUARANTINE = (
    b"line,reason,raw_content\n"
    b'2,"Row is a comment","# exported 2024-05-01"\n'
    b'5,"Row is a comment","# checked by finance, ok"\n'
    b'8,"Row is a comment","#3,Bern"\n'
)


@pytest.mark.parametrize("threads, chunk_size", [(1, None), (2, 9), (4, 1)])
def test_comment_option_through_vornish_file(tmp_path: pathlib.Path, threads: int, chunk_size: int | None) -> None:
    source = tmp_path / "in.csv"
    source.write_bytes(COMMENTED)
    summary = csv_vornish.vornish_file(
        source, tmp_path / "out.csv", tmp_path / "bad.csv", comment="#", audit=tmp_path / "audit.csv",
        threads=threads, chunk_size=chunk_size,
    )
    # A quoted first field that starts with the prefix is a comment too: the
    # rule reads the first field, as the tokenizer gives it.
    assert (tmp_path / "out.csv").read_bytes() == b"id,city,price\n1,Oslo,2.5\n2,Lyon,3.5\n"
    assert (tmp_path / "bad.csv").read_bytes() == COMMENT_QUARANTINE.replace(
        b'8,"Row is a comment"', b'7,"Row is a comment","# not a comment line,Graz,1.0"\n8,"Row is a comment"'
    )
    assert summary.quarantined_rows == 4 and summary.actions is not None and summary.actions["comment"] == 4
    audit = (tmp_path / "audit.csv").read_text(encoding="utf-8").splitlines()
    assert audit[1] == '1,0,,comment,"Row is a comment","# exported 2024-05-01"'
    assert [line.split(",")[3] for line in audit[1:]] == ["comment"] * 4


def test_comment_option_through_open_and_read_arrow(tmp_path: pathlib.Path) -> None:
    pa = pytest.importorskip("pyarrow")
    source = tmp_path / "in.csv"
    source.write_bytes(COMMENTED.replace(b'"# not a comment line",Graz,1.0\n', b""))
    reader = csv_vornish.open(source, comment="#", record=True)
    assert list(reader) == [["id", "city", "price"], ["1", "Oslo", "2.5"], ["2", "Lyon", "3.5"]]
    assert reader.summary.quarantined_rows == 3 and reader.summary.actions["comment"] == 3
    stream = csv_vornish.read_arrow(source, comment="#", record=True)
    table = pa.table(stream)
    assert table.column_names == ["id", "city", "price"] and table.num_rows == 2
    assert stream.summary.quarantined_rows == 3
    # Without the option the same rows are data, padded or merged.
    assert len(list(csv_vornish.open(source))) == 6


def test_dialect_auto_sets_comments_aside(tmp_path: pathlib.Path) -> None:
    pa = pytest.importorskip("pyarrow")
    source = tmp_path / "in.csv"
    source.write_bytes(b"# exported\nid;price\n1;2,5\n# checked\n2;3,5\n3;1,0\n")
    assert sniff_dialect(source).options()["comment"] == "#"
    table = pa.table(csv_vornish.read_arrow(source, dialect="auto", types="string"))
    assert table.to_pylist() == [{"id": "1", "price": "2,5"}, {"id": "2", "price": "3,5"}, {"id": "3", "price": "1,0"}]
    # Typed, the decimal commas read as numbers.
    typed = pa.table(csv_vornish.read_arrow(source, dialect="auto"))
    assert typed.to_pylist() == [{"id": 1, "price": 2.5}, {"id": 2, "price": 3.5}, {"id": 3, "price": 1.0}]
    summary = csv_vornish.vornish_file(source, tmp_path / "out.csv", tmp_path / "bad.csv", dialect="auto")
    assert (tmp_path / "bad.csv").read_bytes() == (
        b'line,reason,raw_content\n2,"Row is part of a preamble","# exported"\n5,"Row is a comment","# checked"\n'
    )
    assert summary.quarantined_rows == 2
    # "" counts as not given, as for the delimiter; a Dialect without a
    # prefix sets none aside.
    summary = csv_vornish.vornish_file(source, tmp_path / "out.csv", dialect="auto", comment="")
    assert summary.quarantined_rows == 2
    plain = dataclasses.replace(sniff_dialect(source), comment=None)
    assert csv_vornish.vornish_file(source, tmp_path / "out.csv", dialect=plain).quarantined_rows == 1


def test_two_row_header_joins_the_names(tmp_path: pathlib.Path) -> None:
    pa = pytest.importorskip("pyarrow")
    source = tmp_path / "in.csv"
    source.write_bytes(b"Sales\n,Revenue,,Cost,\nid,Q1,Q2,Q1,Q2\n1,10,20,5,6\n2,11,21,4,3\n3,12,22,3,2\n")
    dialect = sniff_dialect(source)
    assert (dialect.skip_rows, dialect.header_rows) == (1, 2)
    assert (dialect.options()["skip_rows"], dialect.options()["header_rows"]) == (1, 2)
    stream = csv_vornish.read_arrow(source, dialect="auto")
    table = pa.table(stream)
    assert table.column_names == ["id", "Revenue Q1", "Revenue Q2", "Cost Q1", "Cost Q2"] and table.num_rows == 3
    assert table.column("Revenue Q1").to_pylist() == [10, 11, 12]
    assert stream.summary.quarantined_rows == 1  # the title; both header rows are the header
