"""The clean output is standard CSV: Python's own strict csv reader reads it
back as exactly the rows that a VornishReader hands out for the damaged input."""

import csv
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _csv_vornish_backend as vb

# Pieces chosen so that quotes, delimiters, blanks and line ends collide often.
DAMAGED = st.lists(
    st.sampled_from([",", ";", "\t", "|", " ", '"', "'", '""', "\n", "\r", "\r\n", "a", "bc",
                     "é", "\ufeff", "\ufffd"]).map(str.encode)
    | st.sampled_from([b"\xff", b"\xe2\x82", b"\xef\xbb\xbf"]),
    max_size=80,
).map(b"".join)


def read_strictly(path: Path, delimiter: str, quote: str) -> list[list[str]]:
    with path.open(newline="", encoding="utf-8") as handle:
        rows = list(csv.reader(handle, delimiter=delimiter, quotechar=quote, strict=True))
    # The csv module reads an empty line as no fields; here it is one empty field.
    return [row or [""] for row in rows]


@settings(max_examples=400, deadline=None, database=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=DAMAGED,
       delimiter=st.sampled_from([None, ",", ";", "\t", "|", " "]),
       quote=st.sampled_from(['"', "'", "|"]),
       switches=st.tuples(st.booleans(), st.booleans(), st.booleans()),
       width=st.sampled_from([None, 0, 1, 2, 4]))
def test_clean_output_reads_back_strictly(tmp_path: Path, data: bytes, delimiter, quote,
                                          switches, width) -> None:
    if delimiter == quote:
        return
    fill, merge, repair = switches
    source, out = tmp_path / "in.csv", tmp_path / "out.csv"
    source.write_bytes(data)
    options = dict(delimiter=delimiter, quote_char=quote, fill_ragged_rows=fill,
                   merge_overflow=merge, expected_columns=width, repair_quotes=repair)

    expected = list(vb.open(str(source), **options))
    summary = vb.vornish_file(str(source), str(out), **options)
    if summary.detected_delimiter == quote:
        return  # a sniffed delimiter that equals the quote is not standard CSV
    assert read_strictly(out, summary.detected_delimiter, quote) == expected


@pytest.mark.parametrize("damaged, delimiter", [
    (b'id,name\n1,"Ben "the hammer" Ortiz"\n2,"open quote\n', ","),
    (b'\xef\xbb\xbfa;b;c\r\n1;2\r\nx;y;z;w\r\n', ";"),
    (b'a\tb\n"tab\tinside"\t"x"\n\n', "\t"),
])
def test_known_damage_reads_back_strictly(tmp_path: Path, damaged: bytes, delimiter: str) -> None:
    source, out = tmp_path / "in.csv", tmp_path / "out.csv"
    source.write_bytes(damaged)
    summary = vb.vornish_file(str(source), str(out))
    assert summary.detected_delimiter == delimiter
    assert read_strictly(out, delimiter, '"') == list(vb.open(str(source)))
