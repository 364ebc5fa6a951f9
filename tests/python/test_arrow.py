"""csv_vornish.read_arrow: repaired rows handed to pyarrow, polars, pandas
and DuckDB through the Arrow PyCapsule interface, row for row what open()
hands out."""

from __future__ import annotations

import threading
from pathlib import Path
from typing import Any, Callable

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _csv_vornish_backend as vb
import csv_vornish
from arrow_capsule import read_batches, stream_of
from test_roundtrip import DAMAGED

pa = pytest.importorskip("pyarrow")

Rows = list[list[Any]]


def read_text(*args: Any, **kw: Any) -> Any:
    """read_arrow with string columns: the rows compare with open()'s."""
    kw.setdefault("types", "string")
    return csv_vornish.read_arrow(*args, **kw)


def via_pyarrow(path: Path, **kw: Any) -> tuple[list[str], Rows]:
    table = pa.table(read_text(path, **kw))
    return table.column_names, [list(r.values()) for r in table.to_pylist()]


def via_polars(path: Path, **kw: Any) -> tuple[list[str], Rows]:
    pl = pytest.importorskip("polars")
    frame = pl.DataFrame(read_text(path, **kw))
    return frame.columns, [list(r) for r in frame.rows()]


def via_pandas(path: Path, **kw: Any) -> tuple[list[str], Rows]:
    pd = pytest.importorskip("pandas")
    stream = read_text(path, **kw)
    if hasattr(pd.DataFrame, "from_arrow"):
        frame = pd.DataFrame.from_arrow(stream)
    else:
        frame = pa.table(stream).to_pandas()
    rows = [[None if pd.isna(v) else v for v in row] for row in frame.itertuples(index=False)]
    return [str(c) for c in frame.columns], rows


def via_duckdb(path: Path, **kw: Any) -> tuple[list[str], Rows]:
    duckdb = pytest.importorskip("duckdb")
    stream = read_text(path, **kw)
    relation = duckdb.sql("SELECT * FROM stream")
    return relation.columns, [list(r) for r in relation.fetchall()]


CONSUMERS: dict[str, Callable[..., tuple[list[str], Rows]]] = {
    "pyarrow": via_pyarrow, "polars": via_polars, "pandas": via_pandas, "duckdb": via_duckdb,
}

SAMPLE = ("id,name,name,\n1,Zoë,x,y\n2,Bob\n3,\"Cy\"x\",Rome,Italy,extra\n"
          "4,\xff\xfeend,\"a\nb\",\n").encode("latin-1")


@pytest.fixture
def sample(tmp_path: Path) -> Path:
    path = tmp_path / "sample.csv"
    path.write_bytes(SAMPLE.replace(b"Zo\xeb", "Zoë".encode()))
    return path


LAYOUTS = (None, "string", "large_string", "string_view")


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("consumer", CONSUMERS)
def test_every_consumer_sees_the_readers_rows(consumer: str, layout: str | None, sample: Path) -> None:
    names, rows = CONSUMERS[consumer](sample, string_layout=layout)
    expected = list(csv_vornish.open(sample))
    assert names == ["id", "name", "name_2", "column_4"]
    assert rows == expected[1:]
    assert rows[3][1] == "\ufffd\ufffdend" and rows[3][2] == "a\nb"


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("consumer", CONSUMERS)
def test_ragged_rows_keep_their_widths_with_nulls(consumer: str, layout: str | None, tmp_path: Path) -> None:
    path = tmp_path / "ragged.csv"
    path.write_text("a,b\n1\n2,3,4\n\n5,6\n")
    names, rows = CONSUMERS[consumer](path, expected_columns=0, string_layout=layout)
    assert names == ["a", "b", "column_3"]
    assert rows == [["1", None, None], ["2", "3", "4"], ["", None, None], ["5", "6", None]]


@pytest.mark.parametrize(("header", "names"), [
    ("a,b,c", ["a", "b", "c"]),
    ("a,a,,a", ["a", "a_2", "column_3", "a_3"]),
    ("a,a,a_2", ["a", "a_3", "a_2"]),
    (",,", ["column_1", "column_2", "column_3"]),
    (",column_1,x", ["column_1", "column_1_2", "x"]),
    ("Straße,日付,x", ["Straße", "日付", "x"]),
])
def test_header_names(tmp_path: Path, header: str, names: list[str]) -> None:
    path = tmp_path / "h.csv"
    path.write_text(f"{header}\n1,2,3\n", encoding="utf-8")
    stream = read_text(path)
    assert stream.column_names == names
    table = pa.table(stream)
    assert table.column_names == names
    assert table.num_rows == 1


def test_without_header_every_row_is_data(sample: Path) -> None:
    names, rows = via_pyarrow(sample, header=False)
    assert names == ["column_1", "column_2", "column_3", "column_4"]
    assert rows == list(csv_vornish.open(sample))


def test_empty_and_header_only_files(tmp_path: Path) -> None:
    empty, header_only = tmp_path / "empty.csv", tmp_path / "header.csv"
    empty.write_bytes(b"")
    header_only.write_text("a;b\n")
    for header in (True, False):
        table = pa.table(read_text(empty, header=header))
        assert (table.num_columns, table.num_rows) == (0, 0)
    pl = pytest.importorskip("polars")
    assert pl.DataFrame(read_text(empty)).shape == (0, 0)
    table = pa.table(read_text(header_only, delimiter=";"))
    assert table.column_names == ["a", "b"] and table.num_rows == 0
    stream = read_text(header_only, delimiter=";")
    assert via_duckdb_stream(stream) == (["a", "b"], [])


def via_duckdb_stream(stream: csv_vornish.ArrowRowStream) -> tuple[list[str], Rows]:
    duckdb = pytest.importorskip("duckdb")
    relation = duckdb.sql("SELECT * FROM stream")
    return relation.columns, [list(r) for r in relation.fetchall()]


def test_a_hundred_megabyte_field(tmp_path: Path) -> None:
    path = tmp_path / "big.csv"
    size = 100 << 20
    with path.open("wb") as f:
        f.write(b"a,b\n1,")
        f.write(b"x" * size)
        f.write(b"\n2,y\n")
    try:
        table = pa.table(read_text(path))
        assert table.num_rows == 2
        column = table.column("b")
        assert column[0].as_py() == "x" * size
        assert column[1].as_py() == "y"
    finally:
        path.unlink()


def test_batches_are_bounded_and_cover_every_row(tmp_path: Path) -> None:
    path = tmp_path / "long.csv"
    path.write_text("n\n" + "".join(f"{i}\n" for i in range(150_000)))
    reader = pa.RecordBatchReader.from_stream(read_text(path))
    lengths = [batch.num_rows for batch in reader]
    assert len(lengths) > 1 and max(lengths) <= 1 << 16
    assert sum(lengths) == 150_000


def test_consumed_once_and_the_schema_stays(sample: Path) -> None:
    stream = read_text(sample)
    pa.table(stream)
    with pytest.raises(RuntimeError) as info:
        pa.table(stream)
    assert str(info.value) == ("this ArrowRowStream has already been consumed; "
                               "call read_arrow() again to read the file again")
    with pytest.raises(RuntimeError):
        stream.__arrow_c_stream__()
    assert pa.schema(stream).names == ["id", "name", "name_2", "column_4"]
    assert all(field.type == pa.string() for field in pa.schema(stream))


def test_summary_once_read_to_the_end(sample: Path) -> None:
    message = "the summary is known once the stream has been read to its end"
    stream = read_text(sample, fill_ragged_rows=False)
    with pytest.raises(RuntimeError) as info:
        stream.summary
    assert str(info.value) == message
    capsule = stream.__arrow_c_stream__()
    with pytest.raises(RuntimeError):
        stream.summary
    assert read_batches(capsule) == [3]
    expected = csv_vornish.open(sample, fill_ragged_rows=False).summary.to_dict()
    assert stream.summary.to_dict() == expected
    assert expected["quarantined_rows"] == 1


def test_summary_stays_unknown_for_a_stream_dropped_half_read(tmp_path: Path) -> None:
    path = tmp_path / "long.csv"
    path.write_text("".join(f"{i}\n" for i in range(100_000)))
    stream = read_text(path, header=False)
    capsule = stream.__arrow_c_stream__()
    assert read_batches(capsule, limit=1) == [1 << 16]
    del capsule
    with pytest.raises(RuntimeError):
        stream.summary


def test_callbacks_run_on_other_threads_without_the_lock(tmp_path: Path) -> None:
    path = tmp_path / "long.csv"
    path.write_text("".join(f"{i},{i}\n" for i in range(200_000)))
    stream = read_text(path, header=False)
    capsule = stream.__arrow_c_stream__()
    lengths: list[int] = []
    worker = threading.Thread(target=lambda: lengths.extend(read_batches(capsule)))
    worker.start()
    while worker.is_alive():
        # The summary waits for the stream's mutex, never for the consumer.
        try:
            stream.summary
        except RuntimeError:
            pass
    worker.join()
    assert sum(lengths) == 200_000
    assert stream.summary.vornished_rows == 200_000


def test_requested_schema_is_answered_with_the_streams_own(sample: Path) -> None:
    stream = read_text(sample)
    capsule = stream.__arrow_c_stream__(requested_schema=stream.__arrow_c_schema__())
    assert stream_of(capsule).release
    assert sum(read_batches(capsule)) == 4


@pytest.mark.parametrize(("kwargs", "exc_type", "message"), [
    ({"file_path": None}, TypeError, "'None' is not an instance of 'str'"),
    ({"header": 1}, TypeError, "'int' object is not an instance of 'bool'"),
    ({"threads": 0}, ValueError, "threads must be at least 1, got 0"),
    ({"chunk_size": -3}, ValueError, "chunk_size must be at least 1, got -3"),
    ({"expected_columns": -1}, OverflowError, None),
    ({"quote_char": None}, TypeError, "'None' is not an instance of 'str'"),
])
def test_arguments_convert_as_the_readers(sample: Path, kwargs: dict, exc_type: type,
                                          message: str | None) -> None:
    kwargs = {"file_path": str(sample), **kwargs}
    with pytest.raises(exc_type) as info:
        read_text(**kwargs)
    if message is not None:
        assert str(info.value) == message
    name = next(k for k in kwargs if k != "file_path") if len(kwargs) > 1 else "file_path"
    assert info.value.__notes__ == [f"while processing '{name}'"]


def test_binding_errors_name_read_arrow(sample: Path) -> None:
    cases = [
        ((), {}, "read_arrow() missing 1 required positional argument: 'file_path'"),
        ((str(sample),) * 8, {}, "read_arrow() takes from 1 to 7 positional arguments but 8 were given"),
        ((str(sample),), {"bogus": 1}, "read_arrow() got an unexpected keyword argument 'bogus'"),
        ((str(sample),), {"file_path": "x"}, "read_arrow() got multiple values for argument 'file_path'"),
    ]
    for args, kwargs, message in cases:
        with pytest.raises(TypeError) as info:
            read_text(*args, **kwargs)
        assert str(info.value) == message
    with pytest.raises(ValueError, match="skip_rows must be at least 0, got -1"):
        vb._read_arrow(str(sample), skip_rows=-1)


RAGGED = b'id,name,v\n1,"a\nb",2\n2\r\n3,x,"y,4,5\n\xff\xfe,z\r4,"",\xe2\x82\n' * 40


@pytest.mark.parametrize(
    ("text", "kwargs"),
    [
        (RAGGED, {}),
        (RAGGED, {"header": False, "threads": 2, "chunk_size": 16}),
        (RAGGED, {"expected_columns": 0}),
        (b"", {}),
        (b"a,b\n", {}),
        (b"a,b\n1,2\n3,4\n", {"delimiter": ",", "expected_columns": 2, "range_begin": 4, "range_end": 8, "header": False}),
    ],
)
def test_large_strings_change_only_the_offsets(tmp_path: Path, text: bytes, kwargs: dict[str, Any]) -> None:
    path = tmp_path / "in.csv"
    path.write_bytes(text)
    plain = pa.table(vb._read_arrow(str(path), **kwargs))
    large = pa.table(vb._read_arrow(str(path), large_strings=True, **kwargs))
    assert all(field.type == pa.large_string() for field in large.schema)
    assert all(field.type == pa.string() for field in plain.schema)
    assert large.column_names == plain.column_names
    assert large.to_pylist() == plain.to_pylist()


# Cells on both sides of the 12 bytes a view holds in place, multi-byte
# characters across that edge, empty cells and missing ones.
EDGES = ("a,b,c\n" + "".join(
    f"{'x' * n},{'é' * (n // 2)}{'y' * (n % 2)},{n}\n" for n in range(0, 30)) + "short\n,,\n").encode()


@pytest.mark.parametrize(
    ("text", "kwargs"),
    [
        (RAGGED, {}),
        (RAGGED, {"header": False, "threads": 2, "chunk_size": 16}),
        (RAGGED, {"expected_columns": 0, "threads": 3, "chunk_size": 7}),
        (EDGES, {"expected_columns": 0}),
        (EDGES, {"threads": 4, "chunk_size": 1}),
        (b"", {}),
        (b"a,b\n", {}),
    ],
    ids=["ragged", "ragged-chunks", "ragged-widths", "edges-widths", "edges-chunks", "empty", "header"],
)
@pytest.mark.parametrize("types", ["string", "infer"])
def test_every_string_layout_holds_the_same_cells(tmp_path: Path, text: bytes, kwargs: dict[str, Any],
                                                  types: str) -> None:
    path = tmp_path / "in.csv"
    path.write_bytes(text)
    one_thread = {k: v for k, v in kwargs.items() if k not in ("threads", "chunk_size")}
    plain = pa.table(csv_vornish.read_arrow(path, types=types, threads=1, **one_thread))
    for layout, arrow_type in (("string", pa.string()), ("large_string", pa.large_string()),
                               ("string_view", pa.string_view())):
        table = pa.table(csv_vornish.read_arrow(path, types=types, string_layout=layout, **kwargs))
        table.validate(full=True)
        assert table.column_names == plain.column_names
        for field, before in zip(table.schema, plain.schema):
            assert field.type == (arrow_type if before.type == pa.string() else before.type)
        assert table.to_pylist() == plain.to_pylist(), layout


def produced(stream: Any, requested: Any) -> Any:
    """The producer's own answer to a requested schema, with no cast after it."""
    capsule = stream.__arrow_c_stream__(requested.__arrow_c_schema__())
    return pa.RecordBatchReader._import_from_c_capsule(capsule)


def test_a_requested_schema_chooses_the_string_layout(sample: Path) -> None:
    for arrow_type in (pa.string(), pa.large_string(), pa.string_view()):
        # Only the first string column's layout is honoured, not the other
        # columns' types.
        requested = pa.schema([("id", arrow_type), ("name", pa.string()), ("name_2", pa.binary())])
        for layout in LAYOUTS:
            reader = produced(read_text(sample, string_layout=layout), requested)
            assert reader.schema.types == [arrow_type] * 4
            table = reader.read_all()
            table.validate(full=True)
            assert [list(r.values()) for r in table.to_pylist()] == list(csv_vornish.open(sample))[1:]
    path = sample.with_name("typed.csv")
    path.write_text("a,b\n1,x\n2,y\n")
    # Typed columns stay as they are: the first string column is b.
    reader = produced(csv_vornish.read_arrow(path), pa.schema([("a", pa.string()), ("b", pa.string_view())]))
    assert reader.schema.types == [pa.int64(), pa.string_view()]
    assert reader.read_all().to_pylist() == [{"a": 1, "b": "x"}, {"a": 2, "b": "y"}]
    # A request for anything else leaves the layout as it was.
    for requested in (pa.schema([("b", pa.int32())]), pa.schema([])):
        assert produced(csv_vornish.read_arrow(path), requested).schema.types == [pa.int64(), pa.string()]
    # Through pyarrow's own entry point, which casts what it is given.
    reader = pa.RecordBatchReader.from_stream(read_text(sample), schema=pa.schema(
        [(name, pa.string_view()) for name in ("id", "name", "name_2", "column_4")]))
    assert reader.read_all().schema.types == [pa.string_view()] * 4


def test_string_layout_errors(sample: Path) -> None:
    with pytest.raises(ValueError) as info:
        read_text(sample, string_layout="utf8")
    assert str(info.value) == "string_layout must be 'string', 'large_string' or 'string_view'"
    with pytest.raises(TypeError) as type_info:
        read_text(sample, string_layout=1)
    assert str(type_info.value) == "'int' object is not an instance of 'str'"
    assert type_info.value.__notes__ == ["while processing 'string_layout'"]
    with pytest.raises(TypeError) as capsule_info:
        read_text(sample).__arrow_c_stream__(requested_schema=object())
    assert str(capsule_info.value) == "requested_schema must be an 'arrow_schema' capsule"
    # large_strings is the cluster reader's switch; an explicit layout wins.
    table = pa.table(vb._read_arrow(str(sample), large_strings=True, string_layout="string_view"))
    assert {field.type for field in table.schema} == {pa.string_view()}


def test_file_errors_are_the_readers(tmp_path: Path) -> None:
    with pytest.raises(FileNotFoundError, match=r"\(os error 2\)$"):
        read_text(tmp_path / "missing.csv")
    with pytest.raises(IsADirectoryError, match=r"\(os error 21\)$"):
        read_text(tmp_path)
    with pytest.raises(OSError, match="^file name contained an unexpected NUL byte$"):
        read_text("a\x00b")


def strip_nulls(row: list[Any]) -> list[Any]:
    while row and row[-1] is None:
        row = row[:-1]
    return row


@settings(max_examples=300, deadline=None, database=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=DAMAGED,
       delimiter=st.sampled_from([None, ",", ";", "\t", "|", " "]),
       quote=st.sampled_from(['"', "'", "|"]),
       switches=st.tuples(st.booleans(), st.booleans(), st.booleans()),
       width=st.sampled_from([None, 0, 1, 2, 4]))
def test_damaged_input_gives_the_readers_rows(tmp_path: Path, data: bytes, delimiter, quote,
                                               switches, width) -> None:
    fill, merge, repair = switches
    source = tmp_path / "in.csv"
    source.write_bytes(data)
    options = dict(delimiter=delimiter, quote_char=quote, fill_ragged_rows=fill,
                   merge_overflow=merge, expected_columns=width, repair_quotes=repair)
    reader = csv_vornish.open(source, **options)
    expected = list(reader)
    stream = read_text(source, header=False, **options)
    table = pa.table(stream)
    rows = [strip_nulls(list(r.values())) for r in table.to_pylist()]
    assert rows == expected
    assert stream.summary.to_dict() == reader.summary.to_dict()
    if expected:
        assert table.num_columns == max(len(r) for r in expected)


def table_and_summary(path: Path, **kw: Any) -> tuple[list[str], Rows, dict]:
    stream = read_text(path, **kw)
    table = pa.table(stream)
    return table.column_names, [list(r.values()) for r in table.to_pylist()], \
        stream.summary.to_dict()


def tricky_inputs() -> dict[str, tuple[bytes, dict]]:
    quoted = b"id,note,n\n" + b"".join(
        b'%d,"two\nlines %d\r\nthree",%d\n' % (i, i, i) if i % 3 == 0 else b"%d,plain,%d\n" % (i, i)
        for i in range(300))
    ragged = b"a,b,c\n" + b"".join(
        b"%d\n" % i if i % 4 == 0 else b"%d,1,2,3,4\n" % i if i % 4 == 1 else b"%d,1,2\n" % i
        for i in range(300))
    crlf = b"a,b\r\n" + b"".join(b'%d,"q\r\n%d"\r\n' % (i, i) for i in range(300))
    plain = b"".join(b"%d,%d\n" % (i, i) for i in range(300))
    return {
        "quoted line ends": (quoted, {}),
        "crlf in quotes and at row ends": (crlf, {}),
        "byte-order mark and header": (b"\xef\xbb\xbf" + quoted, {}),
        "unterminated quote takes the rest": (plain + b'x,"open\n' + plain, {"header": False}),
        "widths kept": (ragged, {"expected_columns": 0}),
        "ragged rows quarantined": (ragged, {"fill_ragged_rows": False, "merge_overflow": False}),
        "a preamble stays on one thread": (b"title\nnotes\n" + quoted, {"skip_rows": 2}),
    }


@pytest.mark.parametrize("name", list(tricky_inputs()))
def test_threads_give_the_one_thread_table_and_summary(tmp_path: Path, name: str) -> None:
    data, kw = tricky_inputs()[name]
    path = tmp_path / "in.csv"
    path.write_bytes(data)
    expected = table_and_summary(path, threads=1, **kw)
    for threads in (2, 3, 4):
        for chunk_size in (1, 50, 999):
            got = table_and_summary(path, threads=threads, chunk_size=chunk_size, **kw)
            assert got == expected, (threads, chunk_size)


@settings(max_examples=150, deadline=None, database=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=DAMAGED, header=st.booleans(), width=st.sampled_from([None, 0, 2]),
       threads=st.integers(2, 4), chunk_size=st.integers(1, 40))
def test_threads_agree_with_one_thread_on_damaged_input(tmp_path: Path, data: bytes, header: bool,
                                                         width, threads: int,
                                                         chunk_size: int) -> None:
    path = tmp_path / "in.csv"
    path.write_bytes(data * 3)
    kw = dict(header=header, expected_columns=width)
    assert table_and_summary(path, threads=threads, chunk_size=chunk_size, **kw) == \
        table_and_summary(path, threads=1, **kw)


def test_readme_examples_run(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    import re

    from test_docs import section

    for library in ("polars", "pandas", "duckdb"):
        pytest.importorskip(library)
    blocks = re.findall(r"```python\n(.*?)```", section("Dataframes: pyarrow, polars, pandas, DuckDB"),
                        re.S)
    assert len(blocks) == 4
    monkeypatch.chdir(tmp_path)
    namespace: dict[str, Any] = {}
    exec(blocks[0], namespace)
    assert [str(t) for t in namespace["table"].schema.types] == [
        "int64", "string", "int64", "double", "bool", "date32[day]", "timestamp[us, tz=UTC]"]
    exec(blocks[1], namespace)
    assert namespace["frame"].shape == (2, 7) and namespace["frame"]["qty"].isna().to_list() == [False, True]
    exec("orders = csv_vornish.read_arrow('orders.csv')\n"
         "counted = duckdb.sql('SELECT sum(qty), count(*) FROM orders').fetchall()", namespace)
    assert namespace["counted"] == [(3, 2)]
    exec(blocks[2], namespace)
    assert namespace["stream"].nulled_cells == {}
    assert namespace["table"].column("zip").to_pylist() == [1234, 10115]
    exec(blocks[3], namespace)
    assert namespace["frame"]["zip"].to_list() == ["01234", "10115"]
