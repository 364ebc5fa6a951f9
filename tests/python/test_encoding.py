"""Mixed files: UTF-8 with rows from a legacy code page, read with ``fallback=``.

Every field must come back as it was written, whichever of the two encodings
its row used, with no U+FFFD, and every field decoded with the fallback on
record.
"""

from __future__ import annotations

import csv
import importlib.util
import io
import random
from pathlib import Path
from typing import Any

import pytest

import csv_vornish
from csv_vornish import _sources
from csv_vornish.encoding import _ICONV, detect_encoding, fallback_table

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
        stream = csv_vornish.read_arrow(source, fallback=codec, header=False, types="string",
                                        threads=threads, chunk_size=512)
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


# --- encoding= ---------------------------------------------------------------

ROOT = Path(__file__).resolve().parents[2]


def load_corpus() -> Any:
    spec = importlib.util.spec_from_file_location("encoding_corpus", ROOT / "bench" / "encoding_corpus.py")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


corpus = load_corpus()

# Every codec the native reader converts with iconv, and a few that are
# decoded with Python's own codec.
ICONV_CODECS = sorted(_ICONV)
PYTHON_CODECS = ["mac-roman", "shift_jis", "cp932", "big5", "gb18030", "cp1255", "cp1258", "cp437"]


def every_character(codec: str) -> str:
    """Each character ``codec`` writes in one or two bytes, bar the line ends,
    the delimiter, the quote and the byte-order mark, as a table of 8 columns."""
    chars: list[str] = []
    seen: set[str] = set()
    pairs = [bytes([b]) for b in range(256)]
    if codec in ("euc_jp", "euc_kr", "cp949", "gbk", "gb2312", "shift_jis", "cp932", "big5", "gb18030"):
        pairs += [bytes([a, b]) for a in range(0x81, 0xFF) for b in range(0x40, 0xFF)]
    for seq in pairs:
        try:
            char = seq.decode(codec)
        except UnicodeDecodeError:
            continue
        if len(char) != 1 or char in seen or char in "\r\n,\"\ufeff" or char < " ":
            continue
        try:
            if char.encode(codec) != seq:
                continue
        except UnicodeEncodeError:
            continue
        seen.add(char)
        chars.append(char)
    fields = ["".join(chars[i : i + 7]) for i in range(0, len(chars), 7)]
    rows = [",".join(fields[i : i + 8]) for i in range(0, len(fields), 8)]
    return "\n".join(rows) + "\n"


def rows_of(stream: Any) -> list[list[str]]:
    pyarrow = pytest.importorskip("pyarrow")
    return [list(row.values()) for row in pyarrow.table(stream).to_pylist()]


@pytest.mark.parametrize("codec", [c for c in ICONV_CODECS if not c.startswith("utf")] + PYTHON_CODECS)
def test_every_character_reads_as_python_decodes_it(tmp_path: Path, codec: str) -> None:
    text = every_character(codec)
    (tmp_path / "in.csv").write_bytes(text.encode(codec))
    got = rows_of(csv_vornish.read_arrow(tmp_path / "in.csv", encoding=codec, types="string", header=False,
                                         expected_columns=0))
    want = [line.split(",") for line in text.split("\n")[:-1]]
    got = [[field for field in row if field is not None] for row in got]
    assert got == want


# --- single-byte code pages, read from any offset -----------------------------

CODE_PAGES = ["windows-1250", "windows-1251", "windows-1252", "windows-1253", "windows-1255",
              "windows-1258", "latin-1", "iso8859-2", "iso8859-7", "iso8859-8", "koi8-r", "koi8-u",
              "mac-roman", "cp437"]


def code_page_table_file(codec: str, seed: int, damaged: bool) -> tuple[bytes, list[list[bytes]]]:
    """A table of random fields in ``codec``, every byte 0x80-0xFF among
    them (unmapped ones too), some quoted around delimiters and line ends;
    with ``damaged``, also short and long rows, stray quotes, and the bytes
    of a UTF-8 byte-order mark at the start (text in a code page).
    Returns the bytes and, for a table without damage, its fields' bytes."""
    rng = random.Random(seed)
    pieces = [bytes([b]) for b in range(0x80, 0x100)] + [b"a", b"bc", b" ", b"Z9"]
    rows: list[list[bytes]] = []
    lines = []
    for _ in range(300):
        width = rng.choice([4, 4, 4, 3, 5]) if damaged else 4
        fields = []
        cells = []
        for _ in range(width):
            field = b"".join(rng.choice(pieces) for _ in range(rng.randint(0, 9)))
            roll = rng.random()
            if roll < 0.1:
                field += rng.choice([b",", b"\n", b"\r\n"])
                cells.append(b'"' + field + b'"')
            elif damaged and roll < 0.13:
                cells.append(field + b'"' + field)
            else:
                cells.append(field)
            fields.append(field)
        rows.append(fields)
        lines.append(b",".join(cells) + b"\n")
    data = b"".join(lines)
    if damaged and seed % 2:
        data = b"\xef\xbb\xbf" + data
    return data, rows


@pytest.mark.parametrize("codec", CODE_PAGES)
def test_code_pages_read_from_any_offset_as_transcoded(tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                                       codec: str) -> None:
    # A file in a single-byte code page is read as a UTF-8 file is, split
    # across threads; the text converted ahead of the tokenizer is the
    # reference, to the byte: output, quarantine and summary.
    source, out, quarantine = tmp_path / "in.csv", tmp_path / "out.csv", tmp_path / "q.csv"

    def run(**options: Any) -> tuple[bytes, bytes, dict[str, Any]]:
        summary = csv_vornish.vornish_file(source, out, quarantine, encoding=codec, **options)
        return out.read_bytes(), quarantine.read_bytes(), summary.to_dict()

    for seed in (1, 2):
        data, rows = code_page_table_file(codec, seed, damaged=True)
        source.write_bytes(data)
        assert _sources.resolve(source, encoding=codec, positional=True).code_page is not None
        for options in ({}, {"fill_ragged_rows": False, "merge_overflow": False}, {"dialect": "auto"}):
            with monkeypatch.context() as patch:
                patch.setattr(_sources, "code_page_table", lambda codec: None)
                expected = run(threads=1, **options)
            for threads in (1, 2, 3, 4):
                for chunk_size in (17, 300, 1 << 20):
                    assert run(threads=threads, chunk_size=chunk_size, **options) == expected, (
                        seed, options, threads, chunk_size)


@pytest.mark.parametrize("codec", CODE_PAGES)
def test_code_page_fields_read_as_python_decodes_them(tmp_path: Path, codec: str) -> None:
    data, rows = code_page_table_file(codec, 3, damaged=False)
    source, out = tmp_path / "in.csv", tmp_path / "out.csv"
    source.write_bytes(data)
    want = [[field.decode(codec, "replace") for field in row] for row in rows]
    for threads, chunk_size in ((1, 1 << 20), (2, 61), (4, 17)):
        csv_vornish.vornish_file(source, out, encoding=codec, threads=threads, chunk_size=chunk_size,
                                 expected_columns=4)
        with out.open(encoding="utf-8", newline="") as handle:
            assert list(csv.reader(handle)) == want


@pytest.mark.parametrize("options", [
    {"comment": "§"}, {"comment": "#", "skip_footer": 2}, {"header_rows": 2},
    {"skip_initial_space": True, "delimiter": ";"}, {"table": 0},
    # A delimiter or quote outside ASCII is a byte of its own in the code
    # page but not in the converted text: such runs read the converted text.
    {"delimiter": "¦"}, {"quote_char": "´"},
])
def test_code_page_layouts_read_as_transcoded(tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                             options: dict[str, Any]) -> None:
    # Comments, footers and joined headers are told by decoded text, not by
    # the file's bytes (a "§" comment is one byte in windows-1252).
    source, out, quarantine = tmp_path / "in.csv", tmp_path / "out.csv", tmp_path / "q.csv"
    source.write_bytes("§ note é\nname;city\nJosé;München\n§ skip\nZoë;Málaga;x\nTotal;ü\n"
                       .encode("cp1252") * 3)

    def run() -> tuple[bytes, bytes, dict[str, Any]]:
        summary = csv_vornish.vornish_file(source, out, quarantine, encoding="windows-1252", threads=2,
                                           chunk_size=16, **options)
        return out.read_bytes(), quarantine.read_bytes(), summary.to_dict()

    with monkeypatch.context() as patch:
        patch.setattr(_sources, "code_page_table", lambda codec: None)
        expected = run()
    assert run() == expected


def test_code_page_records_come_from_the_converted_text(tmp_path: Path) -> None:
    # Records name offsets and bytes of the text as converted: a run that
    # keeps them reads that text, and so records as it always did.
    source, out = tmp_path / "in.csv", tmp_path / "out.csv"
    source.write_bytes("a,b\nJosé,Zoë,extra\nM\x81nchen,x\n".encode("latin-1"))
    csv_vornish.vornish_file(source, out, encoding="windows-1252", audit=tmp_path / "audit.csv")
    with (tmp_path / "audit.csv").open(encoding="utf-8", newline="") as handle:
        records = [(r["line"], r["offset"], r["action"]) for r in csv.DictReader(handle)]
    # 21 = 4 + the UTF-8 size of the row before; in the file it starts at 19.
    assert records == [("2", "4", "merged"), ("3", "21", "invalid_utf8")]
    assert out.read_text(encoding="utf-8") == "a,b\nJosé,\"Zoë,extra\"\nM\ufffdnchen,x\n"


CORPUS_CODECS = sorted({codec for codec, _, _ in corpus.files(0, 1)})


@pytest.mark.parametrize("codec", CORPUS_CODECS)
def test_corpus_reads_as_its_utf8_twin(tmp_path: Path, codec: str) -> None:
    # The same damaged tables in UTF-8 are the reference: every field, every
    # repair and the summary must be those of the UTF-8 file.
    for n, (_, data, text) in enumerate(f for f in corpus.files(7, 2) if f[0] == codec):
        source, twin = tmp_path / f"in{n}.csv", tmp_path / f"twin{n}.csv"
        source.write_bytes(data)
        twin.write_bytes(text.encode("utf-8"))
        got = csv_vornish.read_arrow(source, encoding=codec, types="string", header=False)
        want = csv_vornish.read_arrow(twin, types="string", header=False)
        assert rows_of(got) == rows_of(want)
        out, out_twin = tmp_path / "out.csv", tmp_path / "out_twin.csv"
        summary = csv_vornish.vornish_file(source, out, encoding=codec, threads=2, chunk_size=97)
        twin_summary = csv_vornish.vornish_file(twin, out_twin)
        assert out.read_bytes() == out_twin.read_bytes()
        assert summary.to_dict() == twin_summary.to_dict()
        assert list(csv_vornish.open(source, encoding=codec)) == list(csv_vornish.open(twin))


def test_clean_output_has_no_byte_order_mark(tmp_path: Path) -> None:
    text = "a;b\nJosé;東京\n"
    cases = {"utf-16": text.encode("utf-16"), "utf-16-be": "\ufeff".encode("utf-16-be") + text.encode("utf-16-be"),
             "utf-32": text.encode("utf-32"), "utf-8-sig": text.encode("utf-8-sig")}
    for codec, data in cases.items():
        (tmp_path / "in.csv").write_bytes(data)
        for encoding in (codec, "auto"):
            csv_vornish.vornish_file(tmp_path / "in.csv", tmp_path / "out.csv", encoding=encoding)
            assert (tmp_path / "out.csv").read_bytes() == text.encode("utf-8"), (codec, encoding)
    # A big-endian mark under the name without an order picks big-endian.
    (tmp_path / "in.csv").write_bytes(text.encode("utf-16-be").join([b"\xfe\xff", b""]))
    assert list(csv_vornish.open(tmp_path / "in.csv", encoding="utf-16")) == [["a", "b"], ["José", "東京"]]


@pytest.mark.parametrize(("codec", "data", "line", "row"), [
    # A byte windows-1252 leaves undefined, a lone surrogate in UTF-16, a
    # UTF-16 file cut in the middle of a character, a bad Shift-JIS pair.
    ("windows-1252", b"a,b\nx\x81y,2\n", 2, ["x\ufffdy", "2"]),
    ("utf-16-le", "a,b\n".encode("utf-16-le") + b"\x00\xd8" + "z,2\n".encode("utf-16-le"), 2, ["\ufffdz", "2"]),
    ("utf-16-le", "a,b\nc,d".encode("utf-16-le") + b"e", 2, ["c", "d\ufffd"]),
    ("shift_jis", b"a,b\n\x83\x65,\x81\x7f\n", 2, ["\u30c6", "\ufffd\x7f"]),
])
def test_unmappable_bytes_become_replacement_characters_on_record(
        tmp_path: Path, codec: str, data: bytes, line: int, row: list[str]) -> None:
    (tmp_path / "in.csv").write_bytes(data)
    reader = csv_vornish.open(tmp_path / "in.csv", encoding=codec, audit=tmp_path / "audit.csv")
    assert list(reader)[1] == row
    with (tmp_path / "audit.csv").open(encoding="utf-8", newline="") as handle:
        records = list(csv.DictReader(handle))
    assert [(r["line"], r["action"]) for r in records] == [(str(line), "invalid_utf8")]


@pytest.mark.parametrize("call", ["vornish_file", "open", "read_arrow", "sniff_dialect"])
@pytest.mark.parametrize("name", ["no-such-codec", "base64"])
def test_an_unknown_encoding_fails_before_any_output(tmp_path: Path, call: str, name: str) -> None:
    (tmp_path / "in.csv").write_text("a,b\n")
    out = tmp_path / "out.csv"
    with pytest.raises(LookupError, match=name):
        if call == "vornish_file":
            csv_vornish.vornish_file(tmp_path / "in.csv", out, audit=tmp_path / "audit.csv", encoding=name)
        elif call == "read_arrow":
            csv_vornish.read_arrow(tmp_path / "in.csv", audit=tmp_path / "audit.csv", encoding=name)
        else:
            getattr(csv_vornish, call)(tmp_path / "in.csv", encoding=name)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv"]


def test_fallback_is_for_utf8_only(tmp_path: Path) -> None:
    (tmp_path / "in.csv").write_text("a,b\n")
    with pytest.raises(ValueError, match="fallback"):
        csv_vornish.vornish_file(tmp_path / "in.csv", tmp_path / "out.csv", encoding="latin-1", fallback="cp1252")
    assert not (tmp_path / "out.csv").exists()


def test_utf8_as_named_is_todays_reading(tmp_path: Path) -> None:
    data = b"\xef\xbb\xbfa;b\nJos\xc3\xa9;M\xfcnchen\n"
    (tmp_path / "in.csv").write_bytes(data)
    for name in ("utf-8", "UTF8", None):
        csv_vornish.vornish_file(tmp_path / "in.csv", tmp_path / f"{name}.csv", encoding=name)
    csv_vornish.vornish_file(tmp_path / "in.csv", tmp_path / "plain.csv")
    plain = (tmp_path / "plain.csv").read_bytes()
    assert b"\xef\xbf\xbd" in plain
    assert all((tmp_path / f"{name}.csv").read_bytes() == plain for name in ("utf-8", "UTF8", None))


@pytest.mark.parametrize("compression", ["gzip", "bz2", "xz", "zstd"])
@pytest.mark.parametrize("codec", ["utf-16", "shift_jis"])
def test_compressed_and_file_object_inputs(tmp_path: Path, compression: str, codec: str) -> None:
    import bz2
    import gzip
    import lzma

    if compression == "zstd":
        zstandard = pytest.importorskip("zstandard")
        compress = zstandard.ZstdCompressor().compress
    else:
        compress = {"gzip": gzip.compress, "bz2": bz2.compress, "xz": lzma.compress}[compression]
    words = corpus.LANGUAGES["japanese"]
    text = "id;name\n" + "".join(f"{i};{words[i % len(words)]}{words[i * 7 % len(words)]}\n" for i in range(3000))
    want = [line.split(";") for line in text.splitlines()]
    (tmp_path / "in.csv.z").write_bytes(compress(text.encode(codec)))
    assert list(csv_vornish.open(tmp_path / "in.csv.z", encoding=codec)) == want
    assert list(csv_vornish.open(tmp_path / "in.csv.z", encoding="auto")) == want
    with (tmp_path / "in.csv.z").open("rb") as handle:
        assert rows_of(csv_vornish.read_arrow(handle, encoding=codec, header=False, types="string")) == want
    found = csv_vornish.sniff_dialect(tmp_path / "in.csv.z", encoding="auto").encoding
    assert corpus.same_text(text.encode(codec), found, text)
    with io.BytesIO(text.encode(codec)) as handle:
        assert list(csv_vornish.open(handle, encoding="auto")) == want


@pytest.mark.parametrize(("data", "codec"), [
    ("a;b\nJosé;Zoë\n".encode("utf-16-le"), "utf-16-le"),
    ("a;b\nJosé;Zoë\n".encode("utf-16-be"), "utf-16-be"),
    ("a;b\nJosé;Zoë\n".encode("utf-32-le"), "utf-32-le"),
    ("a;b\nJosé;Zoë\n".encode("utf-32"), "utf-32"),
    ("a;b\nJosé;Zoë\n".encode("utf-8"), "utf-8"),
    (b"a;b\n1;2\n", "utf-8"),
    (b"", "utf-8"),
])
def test_sniff_dialect_reports_the_encoding(tmp_path: Path, data: bytes, codec: str) -> None:
    (tmp_path / "in.csv").write_bytes(data)
    dialect = csv_vornish.sniff_dialect(tmp_path / "in.csv", encoding="auto")
    assert dialect.encoding == codec
    assert csv_vornish.sniff_dialect(tmp_path / "in.csv").encoding is None
    if data:
        assert dialect.delimiter == ";"
        # dialect="auto" reads the encoding too.
        stream = csv_vornish.read_arrow(tmp_path / "in.csv", dialect="auto", header=False, types="string")
        assert rows_of(stream)[0] == ["a", "b"]


def test_detection_accuracy_on_the_corpus() -> None:
    pytest.importorskip("chardet")
    right: dict[str, list[int]] = {}
    for codec, data, text in corpus.files(3, 3):
        found, _ = detect_encoding(data, complete=True)
        counts = right.setdefault(codec, [0, 0])
        counts[0] += corpus.same_text(data, found or "utf-8", text)
        counts[1] += 1
    overall = sum(c[0] for c in right.values()) / sum(c[1] for c in right.values())
    legacy = [c for k, c in right.items() if k in corpus.LEGACY]
    assert overall >= 0.97, right
    assert sum(c[0] for c in legacy) / sum(c[1] for c in legacy) >= 0.95, right


@pytest.mark.parametrize("codec", ["windows-1252", "latin-1"])
@pytest.mark.parametrize("share", [0.01, 0.1])
def test_mixed_files_read_whole_with_auto(tmp_path: Path, codec: str, share: float) -> None:
    data, table, legacy = mixed_file(int(share * 1000) + 1, codec, share, rows=2000)
    source = tmp_path / "in.csv"
    source.write_bytes(data)
    out = tmp_path / "out.csv"
    csv_vornish.vornish_file(source, out, encoding="auto", audit=tmp_path / "audit.csv")
    text = out.read_text(encoding="utf-8")
    assert "\ufffd" not in text
    assert read_csv(text) == table
    with (tmp_path / "audit.csv").open(encoding="utf-8", newline="") as handle:
        records = list(csv.DictReader(handle))
    assert {int(r["line"]) for r in records if r["action"] == "redecoded"} == legacy
    assert rows_of(csv_vornish.read_arrow(source, dialect="auto", header=False, types="string",
                                          expected_columns=3))[1:] == table[1:]


def test_readme_encodings_example(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    from test_docs import fenced_blocks, section
    from test_record_docs import expected_output, run_block

    monkeypatch.chdir(tmp_path)
    (block,) = [b for b in fenced_blocks(section("Encodings")) if "import csv_vornish" in b]
    assert run_block(block) == expected_output(block)
