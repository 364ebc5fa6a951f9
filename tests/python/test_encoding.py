"""Mixed files: UTF-8 with rows from a legacy code page, read with ``fallback=``.

Every field must come back as it was written, whichever of the two encodings
its row used, with no U+FFFD, and every field decoded with the fallback on
record.
"""

from __future__ import annotations

import csv
import io
import random
from pathlib import Path

import pytest

import csv_vornish
from csv_vornish.encoding import fallback_table

WORDS = ["München", "José", "Ærøskøbing", "façade", "naïve", "Łódź", "Ελλάδα", "東京", "plain",
         "€uro", "“quoted”", "smørrebrød", "Zürich"]


def mixed_file(seed: int, codec: str, share: float, rows: int = 400) -> tuple[bytes, list[list[str]], set[int]]:
    """UTF-8 rows with about `share` of them encoded with `codec` instead.

    Returns the bytes, the rows' text, and the line numbers of legacy rows
    that hold a character outside ASCII (those must be on record).
    """
    rng = random.Random(seed)
    table: list[list[str]] = [["id", "name", "city"]]
    lines = [b"id;name;city\n"]
    legacy: set[int] = set()
    for r in range(rows):
        use_legacy = rng.random() < share
        row = [str(r)]
        for _ in range(2):
            word = rng.choice(WORDS)
            if use_legacy:
                # Only what the legacy code page can write.
                word = word.encode(codec, "ignore").decode(codec)
            row.append(word)
        text = ";".join(row) + "\n"
        data = text.encode(codec if use_legacy else "utf-8")
        if use_legacy and not data.isascii():
            legacy.add(len(lines) + 1)
        table.append(row)
        lines.append(data)
    return b"".join(lines), table, legacy


def read_csv(data: str) -> list[list[str]]:
    return list(csv.reader(io.StringIO(data), delimiter=";"))


@pytest.mark.parametrize("codec", ["windows-1252", "latin-1", "cp1250"])
@pytest.mark.parametrize("share", [0.01, 0.1])
def test_every_field_comes_back(tmp_path: Path, codec: str, share: float) -> None:
    data, table, legacy = mixed_file(int(share * 100), codec, share)
    source = tmp_path / "in.csv"
    source.write_bytes(data)
    out = tmp_path / "out.csv"
    summary = csv_vornish.vornish_file(source, out, fallback=codec, audit=tmp_path / "audit.csv")
    text = out.read_text(encoding="utf-8")
    assert "\ufffd" not in text
    assert read_csv(text) == table
    with (tmp_path / "audit.csv").open(encoding="utf-8", newline="") as handle:
        records = list(csv.DictReader(handle))
    assert {r["action"] for r in records} <= {"redecoded"}
    assert {int(r["line"]) for r in records} == legacy
    assert summary.actions is not None and summary.actions["redecoded"] == len(records)
    assert all(r["detail"].endswith(f"decoded as {fallback_table(codec)[0]}") for r in records)

    assert list(csv_vornish.open(source, fallback=codec)) == table
    pyarrow = pytest.importorskip("pyarrow")
    for threads in (1, 3):
        stream = csv_vornish.read_arrow(source, fallback=codec, header=False, threads=threads,
                                        chunk_size=512)
        assert [list(row.values()) for row in pyarrow.table(stream).to_pylist()] == table


def test_without_fallback_the_bytes_become_replacement_characters(tmp_path: Path) -> None:
    source = tmp_path / "in.csv"
    source.write_bytes("a;b\nJosé;München\n".encode("utf-8") + "José;München\n".encode("cp1252"))
    assert list(csv_vornish.open(source))[2] == ["Jos\ufffd", "M\ufffdnchen"]
    assert list(csv_vornish.open(source, fallback="cp1252"))[1:] == [["José", "München"]] * 2


def test_undefined_windows_1252_bytes_are_kept_as_controls() -> None:
    name, table = fallback_table("windows-1252")
    assert name == "cp1252"
    assert table[0x81 - 0x80] == "\x81" and table[0x80 - 0x80] == "€"


@pytest.mark.parametrize(("name", "error"), [("no-such-codec", LookupError), ("utf-16", ValueError),
                                             ("utf-8", ValueError), ("shift_jis", ValueError)])
def test_fallback_must_be_a_single_byte_code_page(tmp_path: Path, name: str, error: type) -> None:
    source = tmp_path / "in.csv"
    source.write_text("a\n")
    with pytest.raises(error, match=name):
        csv_vornish.vornish_file(source, tmp_path / "out.csv", fallback=name)
    assert not (tmp_path / "out.csv").exists()


def test_readme_example(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    from test_docs import fenced_blocks, section
    from test_record_docs import expected_output, run_block

    monkeypatch.chdir(tmp_path)
    (block,) = [b for b in fenced_blocks(section("Mixed encodings")) if "import csv_vornish" in b]
    assert run_block(block) == expected_output(block)
