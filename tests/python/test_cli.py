"""The csv-vornish command line, run as a real program on damaged files.

Uses the installed console script when the package is installed, and
``python -m csv_vornish`` when testing a source tree on PYTHONPATH. The
library itself is the reference: a command must produce the same files and
counts as the equivalent library call.
"""

from __future__ import annotations

import inspect
import json
import os
import pathlib
import subprocess
import sys
import sysconfig
from typing import Any

import pytest

import csv_vornish
from csv_vornish.record import ACTIONS, AUDIT_HEADER

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "damaged.csv"
DAMAGED = (
    b"\xef\xbb\xbfid;name;note\r\n"
    b'1;"Ann "the axe" Lee";ok\r\n'
    b"2;Bo\r\n"
    b"3;Cy;late;again\n"
    b"4;D\xffn;x\r\n"
    b"5;Ed;'quoted;apostrophes'\r\n"
)
INSTALLED = "site-packages" in pathlib.Path(csv_vornish.__file__).parts


def command() -> list[str]:
    script = pathlib.Path(sysconfig.get_path("scripts")) / "csv-vornish"
    if script.exists():
        return [str(script)]
    assert not INSTALLED, f"the package is installed but its console script {script} is missing"
    return [sys.executable, "-m", "csv_vornish"]


def cli(*args: str | os.PathLike[str], cwd: pathlib.Path, stdin: bytes = b"") -> subprocess.CompletedProcess[bytes]:
    return subprocess.run(
        [*command(), *map(os.fspath, args)], cwd=cwd, input=stdin, capture_output=True, timeout=300
    )


def stderr_lines(result: subprocess.CompletedProcess[bytes]) -> list[str]:
    return result.stderr.decode("utf-8").splitlines()


@pytest.fixture
def work(tmp_path: pathlib.Path) -> pathlib.Path:
    (tmp_path / "damaged.csv").write_bytes(DAMAGED)
    return tmp_path


def reference(work: pathlib.Path, quarantine: bool = True, **options: Any) -> tuple[bytes, bytes, dict[str, Any]]:
    """What the library makes of damaged.csv: clean bytes, quarantine bytes, summary with actions."""
    ref = work / "reference"
    ref.mkdir(exist_ok=True)
    options.setdefault("encoding", "auto")  # the command line's default
    summary = csv_vornish.vornish_file(
        work / "damaged.csv", ref / "clean.csv", ref / "bad.csv" if quarantine else None, record=True, **options
    )
    bad = (ref / "bad.csv").read_bytes() if quarantine else b""
    return (ref / "clean.csv").read_bytes(), bad, {**summary.to_dict(), "actions": summary.actions}


def reference_audit(work: pathlib.Path, **options: Any) -> bytes:
    """The repair record the library writes for damaged.csv."""
    ref = work / "reference"
    ref.mkdir(exist_ok=True)
    options.setdefault("encoding", "auto")  # the command line's default
    csv_vornish.vornish_file(work / "damaged.csv", ref / "clean.csv", audit=ref / "audit.csv", **options)
    return (ref / "audit.csv").read_bytes()


def changes(summary: dict[str, Any]) -> str:
    """The summary line's list of changes: the non-zero actions in their order."""
    listed = ", ".join(f"{name} {summary['actions'][name]}" for name in ACTIONS if summary["actions"][name])
    return f"; {listed}" if listed else ""


def test_repair_writes_clean_file_beside_input_and_reports_on_stderr(work: pathlib.Path) -> None:
    result = cli("repair", "damaged.csv", cwd=work)
    assert result.returncode == 0, result.stderr
    assert result.stdout == b""
    clean, _, summary = reference(work)
    assert (work / "damaged.clean.csv").read_bytes() == clean
    assert stderr_lines(result) == [
        f"damaged.csv: {summary['total_rows']} rows read, {summary['vornished_rows']} written "
        f"({summary['repaired_rows']} repaired), {summary['quarantined_rows']} quarantined; "
        f"delimiter ';', {summary['inferred_columns']} columns{changes(summary)} -> damaged.clean.csv"
    ]
    # Every kind of damage in the sample shows in the line, in the order of ACTIONS.
    # The byte 0xFF that is not UTF-8 reads as windows-1252 under the default --encoding auto.
    assert changes(summary) == "; padded 1, merged 2, stray_quote 1, redecoded 1"


# Each flag must reach the library as the matching argument.
OPTION_CASES = [
    ([], {}),
    (["--no-fill"], {"fill_ragged_rows": False}),
    (["--no-merge"], {"merge_overflow": False}),
    (["--no-fill", "--no-merge"], {"fill_ragged_rows": False, "merge_overflow": False}),
    (["--columns", "2"], {"expected_columns": 2}),
    (["--columns", "0"], {"expected_columns": 0}),
    (["-d", ","], {"delimiter": ","}),
    (["--delimiter", "\\t"], {"delimiter": "\t"}),
    (["-t", "-d", ";"], {"delimiter": "\t"}),
    (["-q", "'"], {"quote_char": "'"}),
    (["--quote", "'", "--no-repair-quotes"], {"quote_char": "'", "repair_quotes": False}),
    (["--no-repair-quotes"], {"repair_quotes": False}),
]


@pytest.mark.parametrize("flags, options", OPTION_CASES, ids=[" ".join(f) or "defaults" for f, _ in OPTION_CASES])
def test_flags_map_to_library_options(work: pathlib.Path, flags: list[str], options: dict[str, Any]) -> None:
    result = cli("repair", "damaged.csv", "-o", "out.csv", "--quarantine", "bad.csv", "--json", *flags, cwd=work)
    assert result.returncode == 0, result.stderr
    clean, bad, summary = reference(work, **options)
    assert (work / "out.csv").read_bytes() == clean
    assert (work / "bad.csv").read_bytes() == bad
    reported = json.loads(result.stderr)
    assert reported == {"input": "damaged.csv", "output": "out.csv", "quarantine": "bad.csv", "audit": None, **summary}
    assert list(reported["actions"]) == list(ACTIONS)


@pytest.mark.parametrize(
    "flags, expected",
    [([], 0), (["--strict"], 0), (["--no-merge"], 0), (["--no-merge", "--strict"], 1), (["--no-fill", "--strict"], 1)],
)
def test_strict_exit_status(work: pathlib.Path, flags: list[str], expected: int) -> None:
    result = cli("repair", "damaged.csv", *flags, cwd=work)
    assert result.returncode == expected, result.stderr
    assert (work / "damaged.clean.csv").exists()


def test_several_inputs_in_parallel_each_get_their_own_files(work: pathlib.Path) -> None:
    (work / "sub").mkdir()
    names = ["damaged.csv", "second.csv", "sub/third.txt"]
    for name in names[1:]:
        (work / name).write_bytes(DAMAGED)
    result = cli("repair", *names, "--quarantine-each", "--no-merge", "-j", "2", cwd=work)
    assert result.returncode == 0, result.stderr
    clean, bad, _ = reference(work, merge_overflow=False)
    for name, stem in zip(names, ["damaged", "second", "sub/third"]):
        assert (work / f"{stem}.clean.csv").read_bytes() == clean
        assert (work / f"{stem}.quarantine.csv").read_bytes() == bad
    lines = stderr_lines(result)
    assert [line.split(":")[0] for line in lines] == names
    assert lines[2].endswith("-> sub/third.clean.csv, quarantine -> sub/third.quarantine.csv")


@pytest.mark.parametrize("jobs", ["1", "3"])
def test_one_failing_input_does_not_stop_the_others(work: pathlib.Path, jobs: str) -> None:
    (work / "last.csv").write_bytes(DAMAGED)
    result = cli("repair", "damaged.csv", "missing.csv", "last.csv", "--no-fill", "--strict", "-j", jobs, cwd=work)
    # The I/O error outranks the quarantined rows of the other files.
    assert result.returncode == 3
    lines = stderr_lines(result)
    assert len(lines) == 3
    assert lines[0].startswith("damaged.csv: ")
    assert lines[1].startswith("csv-vornish: missing.csv: ") and lines[1].endswith("(os error 2)")
    assert lines[2].startswith("last.csv: ")
    assert (work / "damaged.clean.csv").exists() and (work / "last.clean.csv").exists()
    assert not (work / "missing.clean.csv").exists()


def test_json_reports_errors_as_objects(work: pathlib.Path) -> None:
    result = cli("repair", "damaged.csv", "missing.csv", "--json", cwd=work)
    assert result.returncode == 3
    first, second = (json.loads(line) for line in stderr_lines(result))
    assert first["input"] == "damaged.csv" and first["quarantined_rows"] == 0
    assert second["input"] == "missing.csv" and second["error"].endswith("(os error 2)")
    assert "total_rows" not in second


@pytest.mark.parametrize(
    "args, message",
    [
        (["repair", "nowhere/in.csv"], "(os error 2)"),
        (["repair", "damaged.csv", "-o", "nowhere/out.csv"], "(os error 2)"),
        (["repair", "damaged.csv", "--quarantine", "nowhere/bad.csv"], "(os error 2)"),
        (["repair", "."], "(os error 21)"),
        (["sniff", "nowhere.csv"], "(os error 2)"),
        (["sniff", "."], "(os error 21)"),
        (["repair", os.fsdecode(b"bad\xffname.csv")], "file names must be valid UTF-8"),
        (["repair", "damaged.csv", "-o", os.fsdecode(b"out\xff.csv")], "file names must be valid UTF-8"),
        (["sniff", os.fsdecode(b"bad\xffname.csv")], "file names must be valid UTF-8"),
    ],
)
def test_io_errors_exit_3_with_the_system_text(work: pathlib.Path, args: list[str], message: str) -> None:
    result = cli(*args, cwd=work)
    assert result.returncode == 3
    (line,) = stderr_lines(result)
    assert line.startswith("csv-vornish: ") and line.endswith(message)


USAGE_ERRORS = [
    ([], "required: COMMAND"),
    (["repair"], "the following arguments are required: INPUT"),
    (["fix", "damaged.csv"], "invalid choice: 'fix'"),
    (["repair", "damaged.csv", "--bogus"], "unrecognized arguments: --bogus"),
    (["repair", "damaged.csv", "-d", ";;"], "delimiter must be one ASCII character"),
    (["repair", "damaged.csv", "-d", ""], "delimiter must be one ASCII character"),
    (["repair", "damaged.csv", "-d", "é"], "delimiter must be one ASCII character"),
    (["repair", "damaged.csv", "-q", "\n"], "quote character must be one ASCII character"),
    (["repair", "damaged.csv", "-d", '"'], "the delimiter and the quote character must differ"),
    (["repair", "damaged.csv", "--columns", "-1"], "must be between 0 and 4294967295"),
    (["repair", "damaged.csv", "--columns", "4294967296"], "must be between 0 and 4294967295"),
    (["repair", "damaged.csv", "--columns", "three"], "not a whole number"),
    (["repair", "damaged.csv", "-j", "0"], "must be at least 1"),
    (["repair", "damaged.csv", "copy.csv", "-o", "out.csv"], "-o/--output needs a single INPUT"),
    (["repair", "damaged.csv", "copy.csv", "--quarantine", "bad.csv"], "--quarantine needs a single INPUT"),
    (["repair", "damaged.csv", "--quarantine", "q.csv", "--quarantine-each"], "not allowed with argument"),
    (["repair", "damaged.csv", "-", "-j", "1"], "standard input (-) can only be repaired alone"),
    (["repair", "-", "--quarantine-each"], "--quarantine-each needs a named INPUT"),
    (["repair", "damaged.csv", "--quarantine", "-"], "--quarantine needs a file name"),
    (["repair", "damaged.csv", "copy.csv", "--audit", "a.csv"], "--audit needs a single INPUT"),
    (["repair", "damaged.csv", "--audit", "a.csv", "--audit-each"], "not allowed with argument"),
    (["repair", "-", "--audit-each"], "--audit-each needs a named INPUT"),
    (["repair", "damaged.csv", "--audit", "-"], "--audit needs a file name"),
    (["repair", "damaged.csv", "--audit", "damaged.csv"], "is an input and would be overwritten"),
    (["repair", "damaged.csv", "-o", "same.csv", "--audit", "same.csv"], "would be written twice"),
    (["repair", "damaged.csv", "--quarantine", "same.csv", "--audit", "same.csv"], "would be written twice"),
    (["repair", "damaged.csv", "--audit", "damaged.clean.csv"], "would be written twice"),
    (["repair", "damaged.csv", "damaged.audit.csv", "--audit-each"], "is an input and would be overwritten"),
    (["repair", "damaged.csv", "--quarantine-each", "--audit", "damaged.quarantine.csv"], "would be written twice"),
    # Plans that would destroy data: two results in one file, an input
    # overwritten before or after it is read, the original replaced by rejects.
    (["repair", "damaged.csv", "-o", "same.csv", "--quarantine", "same.csv"], "would be written twice"),
    (["repair", "damaged.csv", "--quarantine", "damaged.csv"], "is an input and would be overwritten"),
    (["repair", "damaged.csv", "damaged.csv"], "would be written twice"),
    (["repair", "damaged.csv", "damaged.tsv"], "would be written twice"),
    (["repair", "damaged.csv", "damaged.clean.csv"], "is an input and would be overwritten"),
    (["sniff"], "the following arguments are required: FILE"),
]


@pytest.mark.parametrize("args, message", USAGE_ERRORS, ids=[" ".join(a) or "nothing" for a, _ in USAGE_ERRORS])
def test_usage_errors_exit_2_and_touch_nothing(work: pathlib.Path, args: list[str], message: str) -> None:
    for name in ["copy.csv", "damaged.tsv", "damaged.clean.csv", "damaged.audit.csv"]:
        (work / name).write_bytes(DAMAGED)
    before = sorted(p.name for p in work.iterdir())
    result = cli(*args, cwd=work)
    assert result.returncode == 2
    assert message in result.stderr.decode("utf-8")
    assert sorted(p.name for p in work.iterdir()) == before
    assert (work / "damaged.csv").read_bytes() == DAMAGED


def test_output_may_replace_the_input(work: pathlib.Path) -> None:
    clean, _, _ = reference(work)
    result = cli("repair", "damaged.csv", "-o", "damaged.csv", cwd=work)
    assert result.returncode == 0, result.stderr
    assert (work / "damaged.csv").read_bytes() == clean


def test_standard_input_and_output(work: pathlib.Path) -> None:
    clean, bad, summary = reference(work)
    result = cli("repair", "-", "--quarantine", "bad.csv", cwd=work, stdin=DAMAGED)
    assert result.returncode == 0, result.stderr
    assert result.stdout == clean
    assert (work / "bad.csv").read_bytes() == bad
    (line,) = stderr_lines(result)
    assert line.startswith(f"<stdin>: {summary['total_rows']} rows read") and "-> <stdout>, quarantine -> bad.csv" in line

    result = cli("repair", "damaged.csv", "-o", "-", cwd=work)
    assert result.returncode == 0 and result.stdout == clean
    assert sorted(p.name for p in work.iterdir()) == ["bad.csv", "damaged.csv", "reference"]


@pytest.mark.parametrize(
    "content, delimiter, columns",
    [
        (DAMAGED, "';'", 3),
        (b"a|b\n1|2\n", "'|'", 2),
        (b"a\tb\tc\n1\t2\t3\n", "'\\t'", 3),
        (b"", "','", 0),
    ],
)
def test_sniff_prints_delimiter_and_columns(work: pathlib.Path, content: bytes, delimiter: str, columns: int) -> None:
    (work / "in.csv").write_bytes(content)
    result = cli("sniff", "in.csv", cwd=work)
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode("utf-8").splitlines() == [f"delimiter: {delimiter}", f"columns: {columns}"]

    result = cli("sniff", "--json", "-", cwd=work, stdin=content)
    assert result.returncode == 0, result.stderr
    summary = csv_vornish.open(work / "in.csv").summary
    assert json.loads(result.stdout) == {"delimiter": summary.detected_delimiter, "columns": summary.inferred_columns}


PREAMBLE = b"Sales report\n\nid, city, price\n1, Oslo, 2.5\n2, Lyon, 3.5\n3, \"Graz, AT\", 4\n"


def test_sniff_dialect_auto_prints_the_whole_dialect(work: pathlib.Path) -> None:
    (work / "in.csv").write_bytes(PREAMBLE)
    result = cli("sniff", "--dialect", "auto", "in.csv", cwd=work)
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode("utf-8").splitlines() == [
        "delimiter: ','",
        "quote_char: '\"'",
        "skip_initial_space: True",
        "skip_rows: 2",
        "header: True",
        "columns: 3",
        "comment: None",
        "header_rows: 1",
        "skip_footer: 0",
        "encoding: 'utf-8'",
        "tables: 1",
        "  table 0: skip_rows=2 columns=3 header_rows=1 rows=4",
    ]
    result = cli("sniff", "--dialect", "auto", "--json", "-", cwd=work, stdin=PREAMBLE)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == {
        "delimiter": ",", "quote_char": '"', "skip_initial_space": True, "skip_rows": 2, "header": True, "columns": 3,
        "comment": None, "header_rows": 1, "skip_footer": 0,
        "tables": [{"skip_rows": 2, "columns": 3, "header_rows": 1, "rows": 4}], "encoding": "utf-8",
    }


def test_sniff_dialect_auto_lists_comments_footer_and_tables(work: pathlib.Path) -> None:
    content = (b"# exported 2024-05-01\nid,price\n1,2.5\n2,3.5\n3,1.0\n\nname,city,n\nAnn,Oslo,1\nBob,Lyon,2\n"
               b"Cy,Graz,3\nTotal,,6\n")
    (work / "in.csv").write_bytes(content)
    result = cli("sniff", "--dialect", "auto", "in.csv", cwd=work)
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode("utf-8").splitlines()[6:] == [
        "comment: '#'",
        "header_rows: 1",
        "skip_footer: 1",
        "encoding: 'utf-8'",
        "tables: 2",
        "  table 0: skip_rows=1 columns=2 header_rows=1 rows=4",
        "  table 1: skip_rows=6 columns=3 header_rows=1 rows=4",
    ]


def test_repair_dialect_auto_fills_unset_options(work: pathlib.Path) -> None:
    # Single quotes that the default guess would not see: with them, 2 columns.
    content = b"name:note\n'Ann':'a:b'\n'Bo':'c'\n'Cy':'d:e'\n"
    (work / "in.csv").write_bytes(content)
    result = cli("repair", "--dialect", "auto", "in.csv", "-o", "-", cwd=work)
    assert result.returncode == 0, result.stderr
    assert result.stdout == b"name:note\nAnn:'a:b'\nBo:c\nCy:'d:e'\n"
    # An option given on the command line wins over the detected one.
    result = cli("repair", "--dialect", "auto", "--columns", "3", "in.csv", "-o", "-", cwd=work)
    assert result.stdout.splitlines()[0] == b"name:note:"


def test_repair_dialect_auto_refuses_what_it_cannot_apply(work: pathlib.Path) -> None:
    if "skip_rows" in inspect.signature(csv_vornish.vornish_file).parameters:
        pytest.skip("vornish_file takes the preamble options")
    (work / "in.csv").write_bytes(PREAMBLE)
    result = cli("repair", "--dialect", "auto", "in.csv", "-o", "-", cwd=work)
    assert result.returncode == 4
    assert stderr_lines(result) == [
        "csv-vornish: in.csv: the detected dialect needs skip_initial_space=True, which repair cannot apply yet; "
        "give the dialect with -d, -q and --columns instead"
    ]


def test_version_and_module_entry_point(work: pathlib.Path) -> None:
    result = cli("--version", cwd=work)
    assert result.returncode == 0
    assert result.stdout.decode("utf-8").strip() == f"csv-vornish {csv_vornish.__version__}"
    as_module = subprocess.run(
        [sys.executable, "-m", "csv_vornish", "repair", "damaged.csv", "-o", "-"], cwd=work, capture_output=True
    )
    assert as_module.returncode == 0
    assert as_module.stdout == reference(work)[0]


def test_shipped_example_repairs(tmp_path: pathlib.Path) -> None:
    (tmp_path / "damaged.csv").write_bytes(EXAMPLE.read_bytes())
    result = cli("repair", "damaged.csv", "--no-merge", "--quarantine-each", "--strict", cwd=tmp_path)
    assert result.returncode == 1
    quarantine = (tmp_path / "damaged.quarantine.csv").read_text(encoding="utf-8")
    assert quarantine.startswith("line,reason,raw_content\n")
    assert "Row has extra columns (expected 4)" in quarantine


def crash_on_marked_input(job: Any) -> Any:
    """A worker that dies the way a killed process does, for one input only."""
    from csv_vornish import cli as cli_module

    if job.input.endswith("crash.csv"):
        os._exit(70)
    return cli_module.run_job(job)


def test_a_dying_worker_fails_only_its_own_file(work: pathlib.Path) -> None:
    from csv_vornish import cli as cli_module

    names = ["a.csv", "crash.csv", "b.csv", "c.csv", "d.csv"]
    for name in names:
        (work / name).write_bytes(DAMAGED)
    jobs = [cli_module.RepairJob(str(work / n), str(work / f"{n}.out"), None, {}) for n in names]
    results = list(cli_module.run_jobs(jobs, 2, crash_on_marked_input))
    assert [r.job.input for r in results] == [job.input for job in jobs]
    assert [r.exit_code for r in results] == [0, 4, 0, 0, 0]
    assert results[1].error == "the repair process died unexpectedly"
    clean = reference(work, encoding=None)[0]
    assert all((work / f"{n}.out").read_bytes() == clean for n in names if n != "crash.csv")


@pytest.mark.parametrize("flags", [["--threads", "1"], ["--threads", "3", "-j", "2"], ["-j", "1"]])
def test_threads_give_the_same_files(work: pathlib.Path, flags: list[str]) -> None:
    result = cli("repair", "damaged.csv", "--no-fill", "--quarantine-each", *flags, cwd=work)
    assert result.returncode == 0, result.stderr
    clean, bad, _ = reference(work, fill_ragged_rows=False)
    assert (work / "damaged.clean.csv").read_bytes() == clean
    assert (work / "damaged.quarantine.csv").read_bytes() == bad


def test_threads_must_be_positive(work: pathlib.Path) -> None:
    result = cli("repair", "damaged.csv", "--threads", "0", cwd=work)
    assert result.returncode == 2
    assert "must be at least 1, got 0" in result.stderr.decode()
    assert not (work / "damaged.clean.csv").exists()


def test_progress_bar_is_optional(monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]) -> None:
    from csv_vornish import cli as cli_module

    with cli_module.progress_bar("x", enabled=False) as update:
        assert update is None
    monkeypatch.setitem(sys.modules, "tqdm", None)  # as if not installed
    with cli_module.progress_bar("x", enabled=True) as update:
        assert update is None
    monkeypatch.undo()
    pytest.importorskip("tqdm")
    with cli_module.progress_bar("x", enabled=True) as update:
        assert update is not None
        update(10, 100)
        update(100, 100)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("suffix", [".parquet", ".arrow", ".feather"])
def test_repair_to_a_typed_table(work: pathlib.Path, suffix: str) -> None:
    pa = pytest.importorskip("pyarrow")
    import pyarrow.feather
    import pyarrow.parquet

    (work / "typed.csv").write_bytes(b"id;amount;day\n1;2.5;2024-01-31\n2;x;2024-02-01\n3;4\n4;1;2;3;4\n")
    out = work / f"typed{suffix}"
    result = cli("repair", "typed.csv", "-o", out.name, "--no-merge", "--quarantine", "bad.csv", "--json", cwd=work)
    assert result.returncode == 0, result.stderr
    table = pa.parquet.read_table(out) if suffix == ".parquet" else pa.feather.read_table(out)
    assert table.equals(pa.table(csv_vornish.read_arrow(work / "typed.csv", merge_overflow=False)))
    assert [str(t) for t in table.schema.types] == ["int64", "string", "date32[day]"]
    assert table.column("id").to_pylist() == [1, 2, 3]
    reference_bad = work / "ref-bad.csv"
    csv_vornish.vornish_file(work / "typed.csv", os.devnull, reference_bad, merge_overflow=False)
    assert (work / "bad.csv").read_bytes() == reference_bad.read_bytes()
    reported = json.loads(result.stderr.decode().splitlines()[-1])
    assert (reported["total_rows"], reported["quarantined_rows"]) == (5, 1)
    assert [p.name for p in work.iterdir() if p.name.startswith(".csv-vornish-")] == []


def test_a_table_output_without_pyarrow_says_what_to_install(work: pathlib.Path, monkeypatch: pytest.MonkeyPatch) -> None:
    from csv_vornish import cli as cli_module

    monkeypatch.setitem(sys.modules, "pyarrow", None)
    job = cli_module.RepairJob(str(work / "damaged.csv"), str(work / "out.parquet"), None)
    result = cli_module.run_job(job)
    assert result.exit_code == cli_module.EXIT_FAILURE
    assert "pip install \"csv-vornish[parquet]\"" in (result.error or "")
    assert not (work / "out.parquet").exists()


def test_repair_sets_comments_aside(work: pathlib.Path) -> None:
    (work / "in.csv").write_bytes(b"id,n\n1,2\n# checked, ok\n3,4\n")
    result = cli("repair", "--comment", "#", "in.csv", "-o", "-", "--quarantine", "bad.csv", cwd=work)
    assert result.returncode == 0, result.stderr
    assert result.stdout == b"id,n\n1,2\n3,4\n"
    assert (work / "bad.csv").read_bytes() == b'line,reason,raw_content\n4,"Row is a comment","# checked, ok"\n'
    # --dialect auto finds the prefix itself.
    result = cli("repair", "--dialect", "auto", "in.csv", "-o", "-", cwd=work)
    assert result.returncode == 0, result.stderr
    assert result.stdout == b"id,n\n1,2\n3,4\n"


def test_audit_file_is_the_librarys_record(work: pathlib.Path) -> None:
    expected = reference_audit(work, fill_ragged_rows=False)
    _, _, summary = reference(work, fill_ragged_rows=False)
    result = cli("repair", "damaged.csv", "--no-fill", "--audit", "record.csv", "--threads", "2", cwd=work)
    assert result.returncode == 0, result.stderr
    assert (work / "record.csv").read_bytes() == expected
    assert expected.startswith(AUDIT_HEADER.encode() + b"\n") and expected.count(b"\n") > 4
    (line,) = stderr_lines(result)
    assert line.endswith(f"{changes(summary)} -> damaged.clean.csv, audit -> record.csv")
    assert "quarantined 1" in line


def test_audit_each_with_several_inputs_and_workers(work: pathlib.Path) -> None:
    (work / "sub").mkdir()
    (work / "sub" / "second.txt").write_bytes(DAMAGED)
    (work / "plain.csv").write_bytes(b"a,b\n1,2\n")
    names = ["damaged.csv", "sub/second.txt", "plain.csv"]
    result = cli("repair", *names, "--audit-each", "--quarantine-each", "--json", "-j", "2", cwd=work)
    assert result.returncode == 0, result.stderr
    expected = reference_audit(work)
    assert (work / "damaged.audit.csv").read_bytes() == expected
    assert (work / "sub" / "second.audit.csv").read_bytes() == expected
    # A file without damage gets the header alone, and no change is counted.
    assert (work / "plain.audit.csv").read_bytes() == AUDIT_HEADER.encode() + b"\n"
    reports = [json.loads(line) for line in stderr_lines(result)]
    assert [r["audit"] for r in reports] == ["damaged.audit.csv", "sub/second.audit.csv", "plain.audit.csv"]
    assert reports[0]["actions"] == reports[1]["actions"] == reference(work)[2]["actions"]
    assert reports[2]["actions"] == dict.fromkeys(ACTIONS, 0)


def test_audit_of_standard_input_and_a_clean_file_line(work: pathlib.Path) -> None:
    result = cli("repair", "-", "--audit", "record.csv", cwd=work, stdin=DAMAGED)
    assert result.returncode == 0, result.stderr
    assert (work / "record.csv").read_bytes() == reference_audit(work)
    (work / "plain.csv").write_bytes(b"a,b\n1,2\n")
    result = cli("repair", "plain.csv", cwd=work)
    # Nothing changed: the line lists no changes.
    assert stderr_lines(result) == [
        "plain.csv: 2 rows read, 2 written (0 repaired), 0 quarantined; delimiter ',', 2 columns -> plain.clean.csv"
    ]


def test_audit_options_are_in_the_help(work: pathlib.Path) -> None:
    text = cli("repair", "--help", cwd=work).stdout.decode()
    assert "--audit FILE" in text and "--audit-each" in text and "<stem>.audit.csv" in text


@pytest.mark.parametrize(("data", "flags", "clean"), [
    # The default detects: Latin-1 letters and UTF-16 come back as written.
    ("name;city\nJosé;München\n".encode("latin-1"), [], "name;city\nJosé;München\n".encode("utf-8")),
    ("name;city\nJosé;東京\n".encode("utf-16"), [], "name;city\nJosé;東京\n".encode("utf-8")),
    ("name;city\nJosé;München\n".encode("latin-1"), ["--encoding", "latin-1"],
     "name;city\nJosé;München\n".encode("utf-8")),
    # UTF-8 as the library reads it by default.
    ("name;city\nJosé;München\n".encode("latin-1"), ["--encoding", "utf-8"],
     "name;city\nJos\ufffd;M\ufffdnchen\n".encode("utf-8")),
])
def test_repair_encoding(work: pathlib.Path, data: bytes, flags: list[str], clean: bytes) -> None:
    (work / "in.csv").write_bytes(data)
    result = cli("repair", "in.csv", *flags, cwd=work)
    assert result.returncode == 0, result.stderr
    assert (work / "in.clean.csv").read_bytes() == clean
    sniffed = cli("sniff", "--dialect", "auto", "in.csv", *flags, cwd=work)
    assert sniffed.returncode == 0, sniffed.stderr
    assert "delimiter: ';'" in sniffed.stdout.decode("utf-8")


def test_unknown_encoding_is_a_usage_error(work: pathlib.Path) -> None:
    for command_name in ("repair", "sniff"):
        result = cli(command_name, "damaged.csv", "--encoding", "no-such", cwd=work)
        assert result.returncode == 2
        assert "unknown encoding: no-such" in result.stderr.decode("utf-8")
    assert not (work / "damaged.clean.csv").exists()
