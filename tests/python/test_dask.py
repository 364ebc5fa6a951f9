"""The Dask integration on a real two-process local cluster."""

from __future__ import annotations

import csv
import io
import os
import threading
import time
from pathlib import Path

import pytest

import csv_vornish
from csv_vornish.record import ACTIONS, AUDIT_HEADER

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
pa = pytest.importorskip("pyarrow")

from csv_vornish import dask as cvd  # noqa: E402

if "asan" in os.environ.get("LD_PRELOAD", ""):
    # The worker processes would inherit the preloaded sanitizer runtime and
    # crawl; the native paths they run are covered by the in-process tests.
    pytest.skip("no process clusters under the sanitizer", allow_module_level=True)


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=40
    )
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


def single_machine_rows(path: Path, **options) -> list[list[str | None]]:
    table = pa.table(csv_vornish.read_arrow(path, **options))
    return [list(row.values()) for row in table.to_pylist()]


def frame_rows(frame) -> list[list[str | None]]:
    import pandas as pd

    return [[None if pd.isna(v) else v for v in row] for row in frame.compute().itertuples(index=False)]


def write_damaged(path: Path, rows: int, quoted_breaks: bool = True) -> None:
    """Ragged rows, stray quotes and quoted line ends everywhere, so block edges land inside them."""
    with path.open("w", newline="") as out:
        out.write("id,name,note,value\n")
        for i in range(rows):
            if i % 7 == 0:
                out.write(f'{i},"multi\nline {i}",x,{i}\n' if quoted_breaks else f"{i},a,b,{i}\n")
            elif i % 11 == 0:
                out.write(f"{i},short\n")
            elif i % 13 == 0:
                out.write(f'{i},ex"tra,a,b,c,d\n')
            else:
                out.write(f"{i},name {i},plain,{i * 3}\n")


def single_machine_counts(path: Path, **options) -> dict[str, object]:
    stream = csv_vornish.read_arrow(path, **options)
    pa.table(stream)
    return {**{name: getattr(stream.summary, name) for name in cvd.COUNT_FIELDS}, "actions": stream.actions}


def single_machine_audit(path: Path, tmp_path: Path, **options) -> bytes:
    """The record vornish_file writes for the whole file with the same options."""
    reference = tmp_path / "reference"  # out of the way of the tests' globs
    reference.mkdir(exist_ok=True)
    record = reference / f"{path.stem}.audit.csv"
    csv_vornish.vornish_file(path, reference / f"{path.stem}.clean.csv", audit=record, **options)
    return record.read_bytes()


def test_large_file_partitions_equal_single_machine(client, tmp_path):
    path = tmp_path / "big.csv"
    write_damaged(path, 20_000)
    frame = cvd.read_csv(path, blocksize=16 * 1024)
    assert frame.npartitions > 10
    assert list(frame.columns) == ["id", "name", "note", "value"]
    assert frame_rows(frame) == single_machine_rows(path)
    assert cvd.summary(frame) == single_machine_counts(path)


@pytest.mark.parametrize("expected_columns", [None, 0])
def test_preamble_and_dialect_split_over_partitions(client, tmp_path, expected_columns):
    """A preamble is set aside by the first partition only; widths kept (E=0) agree across partitions."""
    path = tmp_path / "export.csv"
    lines = ["Export of 2026-12-01; all branches", "", "id; city; amount"]
    lines += [f"{i}; city {i}; {i * 7}" + ("; extra; more" if i % 9 == 0 else "") for i in range(3000)]
    path.write_text("\n".join(lines) + "\n")
    options = {"dialect": "auto", "expected_columns": expected_columns}
    frame = cvd.read_csv(path, blocksize=4096, **options)
    assert frame.npartitions > 5
    single = csv_vornish.read_arrow(path, **options)
    assert list(frame.columns) == single.column_names
    assert frame_rows(frame) == single_machine_rows(path, **options)
    assert cvd.summary(frame) == single_machine_counts(path, **options)


@pytest.mark.parametrize("header", [True, False])
def test_block_smaller_than_preamble_and_header(client, tmp_path, header):
    """Starts among the preamble's rows or in the header would read them as data."""
    path = tmp_path / "titled.csv"
    lines = [f"Report line {i} of the preamble, quoted \"{i}\"" for i in range(40)]
    lines += ["id,name,amount"] + [f"{i},name {i},{i * 3}" for i in range(300)]
    path.write_text("\n".join(lines) + "\n")
    dialect = csv_vornish.Dialect(delimiter=",", skip_rows=40, header=header, columns=3)
    frame = cvd.read_csv(path, blocksize=64, header=header, dialect=dialect)
    assert frame.npartitions > 5
    options = {"dialect": dialect, "header": header}
    assert frame_rows(frame) == single_machine_rows(path, **options)
    assert cvd.summary(frame) == single_machine_counts(path, **options)


def test_import_csv_vornish_leaves_dask_alone():
    import subprocess
    import sys

    code = "import sys, csv_vornish; print(sorted(m for m in sys.modules if m.split('.')[0] in ('dask', 'distributed')))"
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout
    assert out.strip() == "[]"


def test_many_files_of_different_dialects(client, tmp_path):
    expected = []
    for index, delimiter in enumerate([",", ";", "\t", "|"]):
        path = tmp_path / f"part{index}.csv"
        lines = [delimiter.join(["a", "b", "c"])] + [
            delimiter.join([str(index), f"r{r}", "x" * r]) for r in range(50)
        ]
        lines.append(delimiter.join(["ragged"]))
        path.write_text("\n".join(lines) + "\n")
        expected += single_machine_rows(path)
    frame = cvd.read_csv(str(tmp_path / "part*.csv"), blocksize=200)
    assert frame_rows(frame) == expected
    totals = cvd.summary(frame)
    assert totals["vornished_rows"] == len(expected) + 4  # each file's header is a kept row
    assert totals["repaired_rows"] == 4


def test_header_that_differs_names_the_file(client, tmp_path):
    (tmp_path / "a.csv").write_text("x,y\n1,2\n")
    (tmp_path / "b.csv").write_text("x,z\n1,2\n")
    with pytest.raises(ValueError, match=r"b\.csv"):
        cvd.read_csv([tmp_path / "a.csv", tmp_path / "b.csv"])


def test_missing_and_unreadable_files(client, tmp_path):
    with pytest.raises(FileNotFoundError):
        cvd.read_csv(tmp_path / "nope.csv")
    with pytest.raises(FileNotFoundError):
        cvd.read_csv(str(tmp_path / "nothing*.csv"))
    good = tmp_path / "good.csv"
    good.write_text("a,b\n1,2\n")
    locked = tmp_path / "locked.csv"
    locked.write_text("a,b\n1,2\n")
    locked.chmod(0)
    report = cvd.repair_files([good, tmp_path / "nope.csv", locked, tmp_path], tmp_path / "out")
    by_name = {Path(p).name: e for p, e in zip(report["path"], report["error"])}
    assert by_name["good.csv"] is None
    # vornish_file's own errors: OSError with the system's text.
    assert by_name["nope.csv"] == "OSError: No such file or directory (os error 2)"
    if os.geteuid() != 0:  # root reads anything
        assert by_name["locked.csv"] == "OSError: Permission denied (os error 13)"
    assert by_name[tmp_path.name] == "OSError: Is a directory (os error 21)"
    assert (tmp_path / "out" / "good.clean.csv").read_text() == "a,b\n1,2\n"
    assert (tmp_path / "out" / "good.quarantine.csv").read_text() == "line,reason,raw_content\n"


def test_repair_files_summaries_and_argument_errors(client, tmp_path):
    src = tmp_path / "in.csv"
    src.write_text("a,b,c\n1,2\n3,4,5,6\n")
    report = cvd.repair_files([src], tmp_path / "out", expected_columns=3, merge_overflow=False, quarantine=False)
    row = report.iloc[0]
    assert (row["total_rows"], row["vornished_rows"], row["quarantined_rows"]) == (3, 2, 1)
    assert not (tmp_path / "out" / "in.quarantine.csv").exists()
    with pytest.raises(TypeError):
        cvd.repair_files([src], tmp_path / "out", fill_ragged_rows="yes")
    other = tmp_path / "sub"
    other.mkdir()
    (other / "in.csv").write_text("a\n")
    with pytest.raises(ValueError, match="in.clean.csv"):
        cvd.repair_files([src, other / "in.csv"], tmp_path / "out")


def test_worker_killed_during_a_task_is_retried_exactly(client, tmp_path):
    path = tmp_path / "big.csv"
    write_damaged(path, 200_000)
    expected = single_machine_rows(path)
    frame = cvd.read_csv(path, blocksize=256 * 1024, audit=tmp_path / "audit")
    killed = threading.Event()
    done = threading.Event()

    def kill_a_busy_worker() -> None:
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and not done.is_set():
            busy = [w for w, tasks in client.processing().items() if tasks]
            if busy:
                pid = client.run(os.getpid, workers=[busy[0]])[busy[0]]
                os.kill(pid, 9)
                killed.set()
                return
            time.sleep(0.01)

    killer = threading.Thread(target=kill_a_busy_worker)
    killer.start()
    try:
        rows = frame_rows(frame)
    finally:
        done.set()
        killer.join()
    assert killed.is_set(), "no task was running to be killed"
    assert rows == expected
    # The killed task's part was written again, whole.
    joined = cvd.join_audit(tmp_path / "audit", path)
    assert Path(joined).read_bytes() == single_machine_audit(path, tmp_path)


def test_types_are_settled_over_every_partition(client, tmp_path):
    path = tmp_path / "late.csv"
    lines = [f"{i},{i if i % 50 else 'NA'},2024-01-{1 + i % 28:02},{i / 4}" for i in range(5000)]
    lines[-1] = "4999,8011-N,2024-01-01,0.5"
    path.write_text("id,qty,day,share\n" + "\n".join(lines) + "\n")
    frame = cvd.read_csv(path, blocksize=8192)
    assert frame.npartitions > 5
    dtypes = {name: str(dtype) for name, dtype in frame.dtypes.items()}
    assert dtypes == {"id": "int64[pyarrow]", "qty": "string", "day": "date32[day][pyarrow]",
                      "share": "double[pyarrow]"}
    computed = frame.compute()
    assert {name: str(dtype) for name, dtype in computed.dtypes.items()} == dtypes
    assert frame_rows(frame) == single_machine_rows(path)
    # An integer column with nulls stays integers.
    lines[-1] = "4999,7,2024-01-01,0.5"
    path.write_text("id,qty,day,share\n" + "\n".join(lines) + "\n")
    frame = cvd.read_csv(path, blocksize=8192)
    assert str(frame.dtypes["qty"]) == "int64[pyarrow]"
    assert int(frame["qty"].isna().sum().compute()) == 100
    assert str(cvd.read_csv(path, blocksize=8192, types="string").dtypes["id"]) == "string"
    assert str(cvd.read_csv(path, blocksize=8192, types={"id": "float64"}).dtypes["id"]) == "double[pyarrow]"


def test_union_by_name_widens_and_names_each_rows_file(client, tmp_path):
    (tmp_path / "a.csv").write_text("id,price,city\n1,2,Oslo\n2,3,Graz\n")
    (tmp_path / "b.csv").write_text("id,when,price\n3,2024-01-31,2.5\n4,2024-02-01,NA\n")
    (tmp_path / "c.csv").write_text("city,id\nLyon,x9\n")
    with pytest.raises(ValueError, match="differ from those of the first file"):
        cvd.read_csv(tmp_path / "*.csv")
    frame = cvd.read_csv(tmp_path / "*.csv", union_by_name=True, include_path_column=True)
    assert list(frame.columns) == ["id", "price", "city", "when", "path"]
    dtypes = {name: str(dtype) for name, dtype in frame.dtypes.items()}
    assert dtypes == {"id": "string", "price": "double[pyarrow]", "city": "string",
                      "when": "date32[day][pyarrow]", "path": "string"}
    rows = frame_rows(frame)
    import datetime

    a, b, c = (str(tmp_path / name) for name in ("a.csv", "b.csv", "c.csv"))
    assert rows == [
        ["1", 2.0, "Oslo", None, a],
        ["2", 3.0, "Graz", None, a],
        ["3", 2.5, None, datetime.date(2024, 1, 31), b],
        ["4", None, None, datetime.date(2024, 2, 1), b],
        ["x9", None, "Lyon", None, c],
    ]
    named = cvd.read_csv([tmp_path / "a.csv", tmp_path / "b.csv"], union_by_name=True, include_path_column="file")
    assert list(named.columns) == ["id", "price", "city", "when", "file"]
    assert str(named.dtypes["id"]) == "int64[pyarrow]"



AUDIT_CASES = [
    pytest.param("damaged", {}, id="damaged"),
    pytest.param("damaged", {"merge_overflow": False, "fill_ragged_rows": False}, id="quarantining"),
    pytest.param("preamble", {"dialect": "auto"}, id="preamble"),
    pytest.param("preamble", {"dialect": "auto", "expected_columns": 0}, id="widths-kept"),
]


def write_audit_input(path: Path, kind: str) -> None:
    if kind == "damaged":
        write_damaged(path, 6000)
        with path.open("ab") as out:  # invalid bytes and blanks and text after a closing quote
            out.write(b'9001,"ab"  c,\xff\xfe,1\n9002,x,y,"open\nto the end\n')
    else:
        lines = ["Export of 2026-12-01; all branches", "", "id; city; amount"]
        lines += [f'{i}; "city {i}"x; {i * 7}' + ("; extra; more" if i % 9 == 0 else "") for i in range(3000)]
        path.write_text("\n".join(lines) + "\n")


@pytest.mark.parametrize("kind, options", AUDIT_CASES)
def test_partition_records_together_are_the_whole_files(client, tmp_path, kind, options):
    path = tmp_path / "in.csv"
    write_audit_input(path, kind)
    audit = tmp_path / "audit"
    frame = cvd.read_csv(path, blocksize=8 * 1024, audit=audit, **options)
    assert frame.npartitions > 5
    totals = cvd.summary(frame)  # computes every partition, so every part is written
    whole = single_machine_audit(path, tmp_path, **options)
    assert whole.count(b"\n") > 100
    parts = sorted(audit.iterdir())
    assert [p.name for p in parts] == [
        f"in.audit.{i:05d}-of-{frame.npartitions:05d}.csv" for i in range(frame.npartitions)
    ]
    header = AUDIT_HEADER.encode() + b"\n"
    bodies = []
    for part in parts:
        data = part.read_bytes()
        assert data.startswith(header)
        bodies.append(data[len(header):])
    assert header + b"".join(bodies) == whole
    assert Path(cvd.join_audit(audit, path)).read_bytes() == whole
    assert cvd.join_audit(audit, path, tmp_path / "joined.csv") == str(tmp_path / "joined.csv")
    assert (tmp_path / "joined.csv").read_bytes() == whole
    # The counts by action reach summary(), and add up to the whole file's.
    assert totals == single_machine_counts(path, record=True, **options)
    assert list(totals["actions"]) == list(ACTIONS)
    records = list(csv.reader(io.StringIO(whole.decode("utf-8"), newline="")))[1:]
    assert sum(totals["actions"].values()) == len(records)


def test_audit_of_several_files_and_stale_parts(client, tmp_path):
    for name in ("a", "b"):
        write_damaged(tmp_path / f"{name}.csv", 800, quoted_breaks=False)
    audit = tmp_path / "audit"
    frame = cvd.read_csv(str(tmp_path / "*.csv"), blocksize=4096, audit=audit)
    frame.head(3)  # computes the first partition only
    with pytest.raises(FileNotFoundError, match=r"a\.audit\.00001-of-\d+\.csv is missing"):
        cvd.join_audit(audit, tmp_path / "a.csv")
    # A new read of the same files in other blocks drops the earlier parts.
    frame = cvd.read_csv(str(tmp_path / "*.csv"), blocksize=16 * 1024, audit=audit)
    assert not list(audit.iterdir())
    frame.compute()
    for name in ("a", "b"):
        path = tmp_path / f"{name}.csv"
        assert Path(cvd.join_audit(audit, path)).read_bytes() == single_machine_audit(path, tmp_path)
    # A temporary part a killed task left is ignored, then removed by the next read.
    leftover = audit / "a.audit.00000-of-00002.csv.0123abcd.tmp"
    leftover.write_text("line,offset")
    assert Path(cvd.join_audit(audit, tmp_path / "a.csv")).read_bytes() == single_machine_audit(
        tmp_path / "a.csv", tmp_path
    )
    cvd.read_csv(str(tmp_path / "*.csv"), blocksize=16 * 1024, audit=audit)
    assert not leftover.exists()
    frame.compute()
    # Parts left from two splits cannot be joined.
    (audit / "a.audit.00000-of-00099.csv").write_text(AUDIT_HEADER + "\n")
    with pytest.raises(ValueError, match="different splits"):
        cvd.join_audit(audit, tmp_path / "a.csv")
    with pytest.raises(FileNotFoundError):
        cvd.join_audit(audit, tmp_path / "c.csv")


def test_audit_refuses_two_inputs_of_one_stem(client, tmp_path):
    (tmp_path / "x").mkdir()
    (tmp_path / "a.csv").write_text("a,b\n1,2\n")
    (tmp_path / "x" / "a.csv").write_text("a,b\n3,4\n")
    paths = [tmp_path / "a.csv", tmp_path / "x" / "a.csv"]
    with pytest.raises(ValueError, match=r"a\.audit"):
        cvd.read_csv(paths, audit=tmp_path / "audit")
    assert cvd.read_csv(paths).npartitions == 2  # without a record the stems may repeat


def test_repair_files_audit_beside_the_outputs(client, tmp_path):
    damaged = tmp_path / "damaged.csv"
    write_damaged(damaged, 500)
    plain = tmp_path / "plain.csv"
    plain.write_text("a,b\n1,2\n")
    report = cvd.repair_files([damaged, plain, tmp_path / "missing.csv"], tmp_path / "out", audit=True)
    assert (tmp_path / "out" / "damaged.audit.csv").read_bytes() == single_machine_audit(damaged, tmp_path)
    assert (tmp_path / "out" / "plain.audit.csv").read_text() == AUDIT_HEADER + "\n"
    expected = csv_vornish.vornish_file(damaged, tmp_path / "ref.csv", record=True).actions
    assert list(report.columns[report.columns.get_loc("padded"):][:len(ACTIONS)]) == list(ACTIONS)
    assert {name: report[name][0] for name in ACTIONS} == expected
    assert all(report[name][1] == 0 for name in ACTIONS)
    assert all(report[name].isna()[2] for name in ACTIONS)  # a file that failed has no counts
    # A directory of its own for the records.
    cvd.repair_files([damaged], tmp_path / "out2", audit=tmp_path / "records", quarantine=False)
    assert (tmp_path / "records" / "damaged.audit.csv").read_bytes() == single_machine_audit(damaged, tmp_path)
    assert not (tmp_path / "out2" / "damaged.audit.csv").exists()


def test_changes_are_counted_only_when_asked(client, tmp_path):
    path = tmp_path / "in.csv"
    write_damaged(path, 3000)
    assert cvd.summary(cvd.read_csv(path, blocksize=8 * 1024))["actions"] is None
    counted = cvd.summary(cvd.read_csv(path, blocksize=8 * 1024, record=True))
    assert counted == single_machine_counts(path, record=True)
    assert counted["actions"]["padded"] > 0
    report = cvd.repair_files([path], tmp_path / "out")
    assert all(report[name].isna()[0] for name in ACTIONS)
    report = cvd.repair_files([path], tmp_path / "out", record=True)
    assert {name: report[name][0] for name in ACTIONS} == counted["actions"]
    assert not (tmp_path / "out" / "in.audit.csv").exists()


# --- Compressed and remote inputs ------------------------------------------------


def test_compressed_files_are_one_partition_each(client, tmp_path: Path) -> None:
    import gzip
    import lzma

    plain = tmp_path / "a.csv"
    write_damaged(plain, 3000)
    (tmp_path / "b.csv.gz").write_bytes(gzip.compress(plain.read_bytes()))
    (tmp_path / "c.csv.xz").write_bytes(lzma.compress(plain.read_bytes()))
    frame = cvd.read_csv([tmp_path / "b.csv.gz", tmp_path / "c.csv.xz"], blocksize=1000)
    assert frame.npartitions == 2
    assert frame_rows(frame) == single_machine_rows(plain) * 2
    stream = csv_vornish.read_arrow(plain)
    pa.table(stream)
    assert cvd.summary(frame)["total_rows"] == 2 * stream.summary.total_rows

    report = cvd.repair_files([tmp_path / "b.csv.gz"], tmp_path / "clean")
    assert report["error"].tolist() == [None]
    csv_vornish.vornish_file(plain, tmp_path / "expected.csv")
    assert (tmp_path / "clean" / "b.clean.csv").read_bytes() == (tmp_path / "expected.csv").read_bytes()


def test_urls_on_the_cluster(client, tmp_path: Path) -> None:
    import functools
    import gzip
    import http.server

    pytest.importorskip("aiohttp")
    plain = tmp_path / "a.csv"
    write_damaged(plain, 2000)
    (tmp_path / "a.csv.gz").write_bytes(gzip.compress(plain.read_bytes()))
    handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=str(tmp_path))
    handler.log_message = lambda *args: None  # type: ignore[attr-defined]
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        base = f"http://127.0.0.1:{server.server_address[1]}"
        frame = cvd.read_csv([f"{base}/a.csv.gz", f"{base}/a.csv"], dialect="auto")
        assert frame_rows(frame) == single_machine_rows(plain, dialect="auto") * 2
    finally:
        server.shutdown()
        server.server_close()
        thread.join()


class _RangeHandler:
    """A static file server that answers byte ranges, as object stores do."""

    @staticmethod
    def make(directory: Path):
        import http.server

        class Handler(http.server.SimpleHTTPRequestHandler):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, directory=str(directory), **kwargs)

            def log_message(self, *args):
                pass

            def do_GET(self):
                asked = self.headers.get("Range")
                if not asked:
                    return super().do_GET()
                data = (directory / self.path.lstrip("/")).read_bytes()
                first, _, last = asked.removeprefix("bytes=").partition("-")
                end = min(int(last) + 1 if last else len(data), len(data))
                body = data[int(first):end]
                self.send_response(206)
                self.send_header("Content-Range", f"bytes {first}-{end - 1}/{len(data)}")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

        return Handler


def test_plain_urls_split_at_row_starts_on_the_cluster(client, tmp_path: Path) -> None:
    import http.server

    pytest.importorskip("aiohttp")
    write_audit_input(tmp_path / "in.csv", "damaged")
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _RangeHandler.make(tmp_path))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        url = f"http://127.0.0.1:{server.server_address[1]}/in.csv"
        local = cvd.read_csv(tmp_path / "in.csv", blocksize=8 * 1024, audit=tmp_path / "local")
        remote = cvd.read_csv(url, blocksize=8 * 1024, audit=tmp_path / "remote")
        assert remote.npartitions == local.npartitions > 5
        assert frame_rows(remote) == frame_rows(local)
        assert cvd.summary(remote) == cvd.summary(local)
        # Offsets and lines in each piece's record are the file's own.
        for ours, theirs in zip(sorted((tmp_path / "remote").iterdir()), sorted((tmp_path / "local").iterdir())):
            assert ours.read_bytes() == theirs.read_bytes()
    finally:
        server.shutdown()
        server.server_close()
        thread.join()


def test_memory_urls_on_an_in_process_cluster(tmp_path: Path) -> None:
    import gzip

    fsspec = pytest.importorskip("fsspec")
    plain = tmp_path / "a.csv"
    write_damaged(plain, 2000)
    memory = fsspec.filesystem("memory")
    memory.pipe("/dask/a.csv.gz", gzip.compress(plain.read_bytes()))
    # The memory file system lives in this process: so must the workers.
    cluster = distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                       dashboard_address=":0", silence_logs=40)
    try:
        with distributed.Client(cluster):
            frame = cvd.read_csv("memory://dask/a.csv.gz")
            assert frame_rows(frame) == single_machine_rows(plain)
            # Compressed: one piece whatever the block size; plain: pieces.
            assert cvd.read_csv("memory://dask/a.csv.gz", blocksize=4096).npartitions == 1
            memory.pipe("/dask/a.csv", plain.read_bytes())
            frame = cvd.read_csv("memory://dask/a.csv", blocksize=4096)
            assert frame.npartitions > 5
            assert frame_rows(frame) == single_machine_rows(plain)
            # A pattern is matched in the store: a.csv, then a.csv.gz.
            both = cvd.read_csv("memory://dask/a.csv*", blocksize=4096)
            assert both.npartitions == frame.npartitions + 1
            assert frame_rows(both) == single_machine_rows(plain) * 2
    finally:
        cluster.close()
        memory.rm("/dask", recursive=True)
