"""The ``csv-vornish`` command line: repair CSV files and guess their dialect.

Two commands, ``repair`` and ``sniff``. Each file is repaired by the
streaming engine on ``--threads`` threads; several inputs are also spread
over ``-j`` worker processes. Results are reported in input order, one line
per file on stderr (stdout stays free for ``-o -``). When stderr is a
terminal (and without ``--json``) a progress bar shows how far a file
repaired in this process has got, if the optional ``tqdm`` is installed
(``pip install csv-vornish[cli]``). ``--audit``/``--audit-each`` write the
repair record of a file (every change made, see ``csv_vornish.record``).

Exit codes: 0 success; 1 ``--strict`` and a row was quarantined; 2 usage
error; 3 a file could not be read or written; 4 a repair failed for any
other reason (a worker process died, memory ran out, an internal fault).
With several inputs the worst outcome decides.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import functools
import inspect
import json
import multiprocessing
import os
import shutil
import sys
import tempfile
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import Future, ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass, field
from typing import Any, Literal, TextIO

import csv_vornish
from csv_vornish._table_out import MissingExtra, is_table_output, write_table
from csv_vornish.dialect import resolve_options
from csv_vornish.encoding import text_codec
from csv_vornish.record import ACTIONS

PROG = "csv-vornish"
STDIO = "-"

EXIT_OK = 0
EXIT_QUARANTINED = 1
EXIT_USAGE = 2
EXIT_IO = 3
EXIT_FAILURE = 4
EXIT_INTERRUPTED = 130

# expected_columns is a 32-bit count in the backend.
MAX_COLUMNS = 2**32 - 1


@dataclass(frozen=True)
class RepairJob:
    """One input file and where its results go; plain data, so it pickles."""

    input: str
    output: str
    quarantine: str | None
    options: dict[str, Any] = field(default_factory=dict)
    # "auto": the options left unset are filled from the detected dialect.
    dialect: Literal["auto"] | None = None
    # Where the repair record goes, if anywhere.
    audit: str | None = None


@dataclass(frozen=True)
class RepairResult:
    job: RepairJob
    summary: dict[str, Any] | None = None
    error: str | None = None
    exit_code: int = EXIT_OK


@contextlib.contextmanager
def progress_bar(label: str, enabled: bool) -> Iterator[Callable[[int, int], None] | None]:
    """A callback drawing a byte-count bar on stderr, or None.

    None when not ``enabled`` or when tqdm is not installed: the bar is a
    convenience, never a reason to fail. The bar only appears once a file
    has taken half a second, so quick repairs print nothing extra.
    """
    if not enabled:
        yield None
        return
    try:
        from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        yield None
        return
    with tqdm(total=0, desc=label, unit="B", unit_scale=True, unit_divisor=1024, file=sys.stderr,
              leave=False, delay=0.5, dynamic_ncols=True) as bar:

        def update(done: int, total: int) -> None:
            if bar.total != total:
                bar.total = total
            bar.update(done - bar.n)

        yield update


def run_job(job: RepairJob, show_progress: bool = False) -> RepairResult:
    """Repairs one file. Runs in a worker process; never raises for a file's fault."""
    try:
        with contextlib.ExitStack() as stack:
            input_path, output_path = job.input, job.output
            if STDIO in (input_path, output_path):
                scratch = stack.enter_context(tempfile.TemporaryDirectory(prefix="csv-vornish-"))
                if input_path == STDIO:
                    input_path = os.path.join(scratch, "stdin.csv")
                    with open(input_path, "wb") as spool:
                        shutil.copyfileobj(sys.stdin.buffer, spool)
                if output_path == STDIO:
                    output_path = os.path.join(scratch, "stdout.csv")
            options = _dialect_options(job, input_path)
            progress = stack.enter_context(progress_bar(_describe(job.input, "<stdin>"), show_progress))
            summary: csv_vornish.VornishSummary | csv_vornish.RepairSummary
            if job.output != STDIO and is_table_output(job.output):
                summary = write_table(input_path, output_path, job.quarantine, options, job.audit)
            else:
                # The report lists the changes by action, so they are counted
                # even without a record to write.
                summary = csv_vornish.vornish_file(
                    input_path, output_path, job.quarantine, **options, progress=progress, audit=job.audit,
                    record=True,
                )
            if job.output == STDIO:
                with open(output_path, "rb") as clean:
                    shutil.copyfileobj(clean, sys.stdout.buffer)
                sys.stdout.buffer.flush()
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # the backend's internal-fault type is not an Exception
        message, code = describe_failure(error)
        return RepairResult(job, error=message, exit_code=code)
    return RepairResult(job, summary=summary_dict(summary))


def summary_dict(summary: csv_vornish.RepairSummary) -> dict[str, Any]:
    """A run's summary as plain data: the backend's counts and ``actions``, every action listed
    (``None`` for a run that did not count them)."""
    return {**summary.to_dict(), "actions": summary.actions}


class DialectNotApplicable(Exception):
    """The detected dialect needs an option this repair cannot take."""


def _dialect_options(job: RepairJob, input_path: str) -> dict[str, Any]:
    """The job's options, filled from the detected dialect when it asks for that."""
    if job.dialect is None:
        return job.options
    options = resolve_options(job.dialect, input_path, job.options)
    accepted = inspect.signature(csv_vornish.vornish_file).parameters
    for name in ("skip_initial_space", "skip_rows"):
        if name in options and name not in accepted:
            value = options.pop(name)
            if value:
                raise DialectNotApplicable(
                    f"the detected dialect needs {name}={value!r}, which repair cannot apply yet; "
                    "give the dialect with -d, -q and --columns instead"
                )
    return options


def describe_failure(error: BaseException) -> tuple[str, int]:
    """The message and exit status for a file that could not be handled."""
    if isinstance(error, UnicodeEncodeError) and error.encoding == "utf-8":
        # The engine takes file names as UTF-8 text; a name holding other
        # bytes reaches us with surrogate escapes and cannot be passed on.
        return "file names must be valid UTF-8", EXIT_IO
    if isinstance(error, OSError):
        return str(error) or type(error).__name__, EXIT_IO
    if isinstance(error, MemoryError):
        return "out of memory", EXIT_FAILURE
    if isinstance(error, (DialectNotApplicable, MissingExtra)):
        return str(error), EXIT_FAILURE
    if isinstance(error, (ValueError, ImportError)):
        # Not CSV, corrupt compressed data, a codec's missing package: the
        # message says which.
        return str(error), EXIT_FAILURE
    return f"internal error: {type(error).__name__}: {error}", EXIT_FAILURE


Worker = Callable[[RepairJob], RepairResult]


def _run_isolated(job: RepairJob, context: Any, worker: Worker) -> RepairResult:
    with ProcessPoolExecutor(max_workers=1, mp_context=context) as pool:
        try:
            return pool.submit(worker, job).result()
        except BrokenProcessPool:
            return RepairResult(job, error="the repair process died unexpectedly", exit_code=EXIT_FAILURE)


def run_jobs(jobs: Sequence[RepairJob], workers: int, worker: Worker = run_job) -> Iterator[RepairResult]:
    """Yields the result of every job, in the order of ``jobs``.

    ``worker`` must be a module-level function, since it is sent to the
    worker processes by name.
    """
    if workers <= 1 or len(jobs) <= 1:
        for job in jobs:
            yield worker(job)
        return

    # Spawned workers inherit no locks or threads from this process.
    context = multiprocessing.get_context("spawn")
    pool = ProcessPoolExecutor(max_workers=min(workers, len(jobs)), mp_context=context)
    futures: list[Future[RepairResult]] = []
    try:
        futures = [pool.submit(worker, job) for job in jobs]
        for index, future in enumerate(futures):
            try:
                yield future.result()
            except BrokenProcessPool:
                break
        else:
            return
    finally:
        pool.shutdown(wait=True, cancel_futures=True)

    # A worker died (killed by the system, or a crash in native code) and
    # took the pool with it. Which file caused it is unknown, so each file
    # without a result is retried in a process of its own: the culprit fails
    # alone and the others still get repaired.
    for job, future in zip(jobs[index:], futures[index:]):
        if future.done() and not future.cancelled() and future.exception() is None:
            yield future.result()
        else:
            yield _run_isolated(job, context, worker)


# ---------------------------------------------------------------- reporting


def _describe(path: str | None, stdio_name: str) -> str:
    return stdio_name if path == STDIO else str(path)


def summary_line(result: RepairResult) -> str:
    job, summary = result.job, result.summary
    assert summary is not None
    line = (
        f"{_describe(job.input, '<stdin>')}: {summary['total_rows']} rows read, "
        f"{summary['vornished_rows']} written ({summary['repaired_rows']} repaired), "
        f"{summary['quarantined_rows']} quarantined; "
        f"delimiter {summary['detected_delimiter']!r}, {summary['inferred_columns']} columns"
    )
    actions = summary.get("actions") or {}
    changes = [f"{name} {actions[name]}" for name in ACTIONS if actions.get(name)]
    if changes:
        line += "; " + ", ".join(changes)
    line += f" -> {_describe(job.output, '<stdout>')}"
    if job.quarantine is not None:
        line += f", quarantine -> {job.quarantine}"
    if job.audit is not None:
        line += f", audit -> {job.audit}"
    return line


def summary_json(result: RepairResult) -> str:
    job = result.job
    record: dict[str, Any] = {
        "input": job.input, "output": job.output, "quarantine": job.quarantine, "audit": job.audit,
    }
    if result.summary is not None:
        record.update(result.summary)
    else:
        record["error"] = result.error
    return json.dumps(record, ensure_ascii=False)


def report(result: RepairResult, as_json: bool, stream: TextIO) -> None:
    if as_json:
        print(summary_json(result), file=stream, flush=True)
    elif result.summary is not None:
        print(summary_line(result), file=stream, flush=True)
    else:
        print(f"{PROG}: {_describe(result.job.input, '<stdin>')}: {result.error}", file=stream, flush=True)


# ------------------------------------------------------------------ parsing


def _single_character(what: str) -> Any:
    def parse(text: str) -> str:
        if text == "\\t":
            text = "\t"
        if len(text) != 1 or not text.isascii() or text in "\r\n":
            raise argparse.ArgumentTypeError(f"{what} must be one ASCII character other than a line end, got {text!r}")
        return text

    parse.__name__ = what
    return parse


def _column_count(text: str) -> int:
    try:
        count = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 0 <= count <= MAX_COLUMNS:
        raise argparse.ArgumentTypeError(f"must be between 0 and {MAX_COLUMNS}, got {count}")
    return count


def _encoding(text: str) -> str:
    if text == "auto":
        return text
    try:
        text_codec(text)
    except LookupError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return text


ENCODING_HELP = ("the input's text encoding: auto (the default) detects it (a byte-order mark, UTF-16, "
                 "UTF-8 with stray legacy bytes, else a code page); a name such as utf-8, windows-1252, "
                 "latin-1, utf-16, shift_jis or gb18030 says which. The output is always UTF-8")


def _job_count(text: str) -> int:
    try:
        count = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if count < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {count}")
    return count


def _default_workers() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Repair damaged CSV files: tolerant tokenizing, dialect guessing, row repair and quarantine.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {csv_vornish.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    repair = commands.add_parser(
        "repair",
        help="repair CSV files into clean ones",
        description=(
            "Repair each INPUT into a clean CSV file, by default <stem>.clean.csv beside it. "
            "Short rows are padded and surplus fields merged into the last column unless "
            "--no-fill or --no-merge asks to quarantine such rows instead. "
            "The summary of each file goes to stderr, with the number of changes of each kind "
            "(padded, merged, quarantined, preamble, stray_quote, bare_quote, text_after_quote, "
            "blanks_dropped, unterminated_quote, invalid_utf8) that the file needed."
        ),
        epilog=(
            "exit status: 0 success; 1 --strict and a row was quarantined; 2 usage error; "
            "3 a file could not be read or written; 4 any other failure. "
            "With several inputs the worst status wins."
        ),
    )
    repair.add_argument("inputs", nargs="+", metavar="INPUT", help="damaged CSV file; - reads standard input")
    repair.add_argument(
        "-o", "--output", metavar="OUTPUT",
        help="clean CSV file (single INPUT only); - writes standard output; a name ending in .parquet, "
             ".arrow or .feather gets the typed table (needs pyarrow)"
    )
    quarantine = repair.add_mutually_exclusive_group()
    quarantine.add_argument(
        "--quarantine", metavar="FILE", help="write the quarantined rows to FILE (single INPUT only)"
    )
    quarantine.add_argument(
        "--quarantine-each",
        action="store_true",
        help="write the quarantined rows of each INPUT to <stem>.quarantine.csv beside it",
    )
    audit = repair.add_mutually_exclusive_group()
    audit.add_argument(
        "--audit", metavar="FILE",
        help="write the repair record to FILE (single INPUT only): a CSV file with the header "
             "line,offset,column,action,detail,raw and one line per change made to a row",
    )
    audit.add_argument(
        "--audit-each", action="store_true",
        help="write the repair record of each INPUT to <stem>.audit.csv beside it",
    )
    repair.add_argument(
        "-d",
        "--delimiter",
        type=_single_character("delimiter"),
        metavar="DELIM",
        help="field delimiter of the input (\\t for tab); guessed when omitted",
    )
    repair.add_argument("-t", "--tabs", action="store_true", help="the input is tab-delimited (overrides -d)")
    repair.add_argument(
        "-q", "--quote", type=_single_character("quote character"), default='"', metavar="CHAR",
        help='quote character (default ")',
    )
    repair.add_argument("--no-fill", action="store_true", help="quarantine short rows instead of padding them")
    repair.add_argument(
        "--no-merge", action="store_true", help="quarantine rows with surplus fields instead of merging them"
    )
    repair.add_argument(
        "--columns", type=_column_count, metavar="N", help="expected number of columns; inferred when omitted"
    )
    repair.add_argument(
        "--no-repair-quotes",
        action="store_true",
        help="treat every quote followed by other text inside a quoted field as its closing quote",
    )
    repair.add_argument(
        "--comment", metavar="PREFIX",
        help='set aside the rows whose first field starts with PREFIX (such as "#") as comments',
    )
    repair.add_argument(
        "--skip-footer", type=_column_count, metavar="N",
        help="set aside the last N rows (notes, a source line, a totals row) as the footer",
    )
    repair.add_argument(
        "--table", type=_column_count, metavar="K",
        help="read table K of a file of several (0 for the first), setting the others aside",
    )
    repair.add_argument(
        "--header-rows", type=int, choices=[1, 2], metavar="{1,2}",
        help="2: the header is a row of group names over the row of names, which join both",
    )
    repair.add_argument(
        "--dialect", choices=["auto"],
        help="auto: detect the dialect of each INPUT and fill the options not given from it",
    )
    repair.add_argument("--encoding", type=_encoding, default="auto", metavar="NAME|auto", help=ENCODING_HELP)
    repair.add_argument("--strict", action="store_true", help="exit with status 1 when a row was quarantined")
    repair.add_argument(
        "--json", action="store_true",
        help='report each file as one JSON object per line, with "actions": the changes of each kind',
    )
    repair.add_argument(
        "-j", "--jobs", type=_job_count, metavar="N",
        help="repair up to N files at once in worker processes (default: one per CPU)",
    )
    repair.add_argument(
        "--threads", type=_job_count, metavar="N",
        help="threads per file (default: the CPUs shared out among the files repaired at once)",
    )

    sniff = commands.add_parser(
        "sniff",
        help="print the guessed delimiter and column count of a CSV file",
        description=(
            "Print the delimiter and the column count that repair would use for FILE. "
            "The whole file is read, so the answer matches repair exactly."
        ),
    )
    sniff.add_argument("file", metavar="FILE", help="CSV file; - reads standard input")
    sniff.add_argument("--json", action="store_true", help="print a JSON object")
    sniff.add_argument(
        "--dialect", choices=["auto"],
        help="auto: print the whole detected dialect (delimiter, quote, blanks after delimiters, "
             "preamble rows, header, columns) from the start of FILE",
    )
    sniff.add_argument("--encoding", type=_encoding, default="auto", metavar="NAME|auto", help=ENCODING_HELP)
    return parser


# Compression suffixes that go with the extension before them ("a.csv.gz").
_COMPRESSED_SUFFIXES = (".gz", ".bz2", ".xz", ".zst", ".zip")


def _stem_of(path: str) -> str:
    root, ext = os.path.splitext(path)
    if ext.lower() in _COMPRESSED_SUFFIXES:
        root, _ = os.path.splitext(root)
    return root


def _clean_name(path: str) -> str:
    return _stem_of(path) + ".clean.csv"


def _quarantine_name(path: str) -> str:
    return _stem_of(path) + ".quarantine.csv"


def _audit_name(path: str) -> str:
    root, _ = os.path.splitext(path)
    return root + ".audit.csv"


def _same_file_key(path: str) -> str:
    return os.path.realpath(path)


def plan_jobs(parser: argparse.ArgumentParser, args: argparse.Namespace) -> list[RepairJob]:
    """Turns the repair arguments into jobs, refusing plans that would lose data."""
    inputs: list[str] = args.inputs
    several = len(inputs) > 1
    if several and args.output is not None:
        parser.error("-o/--output needs a single INPUT; with several, each goes to <stem>.clean.csv")
    if several and args.quarantine is not None:
        parser.error("--quarantine needs a single INPUT; use --quarantine-each with several")
    if STDIO in inputs and several:
        parser.error("standard input (-) can only be repaired alone")
    if args.quarantine == STDIO:
        parser.error("--quarantine needs a file name")
    if args.quarantine_each and inputs == [STDIO]:
        parser.error("--quarantine-each needs a named INPUT; use --quarantine FILE")
    if several and args.audit is not None:
        parser.error("--audit needs a single INPUT; use --audit-each with several")
    if args.audit == STDIO:
        parser.error("--audit needs a file name")
    if args.audit_each and inputs == [STDIO]:
        parser.error("--audit-each needs a named INPUT; use --audit FILE")

    delimiter = "\t" if args.tabs else args.delimiter
    if delimiter is not None and delimiter == args.quote:
        parser.error("the delimiter and the quote character must differ")
    options = {
        "delimiter": delimiter,
        "quote_char": args.quote,
        "fill_ragged_rows": not args.no_fill,
        "merge_overflow": not args.no_merge,
        "expected_columns": args.columns,
        "repair_quotes": not args.no_repair_quotes,
        "encoding": args.encoding,
    }
    if args.comment:
        options["comment"] = args.comment
    if args.skip_footer:
        options["skip_footer"] = args.skip_footer
    if args.header_rows is not None:
        options["header_rows"] = args.header_rows
    if args.table is not None:
        options["table"] = args.table
    elif args.dialect == "auto":
        # Of a file of several tables the first is read, the others set aside.
        options["table"] = 0

    jobs = []
    for path in inputs:
        if args.output is not None:
            output = args.output
        else:
            output = STDIO if path == STDIO else _clean_name(path)
        quarantine = _quarantine_name(path) if args.quarantine_each else args.quarantine
        audit = _audit_name(path) if args.audit_each else args.audit
        jobs.append(RepairJob(path, output, quarantine, options, args.dialect, audit))

    # The backend overwrites without asking and writes the quarantine file
    # after the clean output; refuse the plans in which one result would
    # destroy another result or an input still to be read. Only the clean
    # output may replace its own input (it is swapped in once complete).
    input_keys = {_same_file_key(job.input): job.input for job in jobs if job.input != STDIO}
    written: dict[str, str] = {}
    for job in jobs:
        own_input = None if job.input == STDIO else _same_file_key(job.input)
        for target in (job.output, job.quarantine, job.audit):
            if target is None or target == STDIO:
                continue
            key = _same_file_key(target)
            if key in written:
                parser.error(f"{target} would be written twice (also as {written[key]})")
            written[key] = target
            if key in input_keys and (key != own_input or target != job.output):
                parser.error(f"{target} is an input and would be overwritten")
    return jobs


# -------------------------------------------------------------------- main


def _repair(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    jobs = plan_jobs(parser, args)
    cores = _default_workers()
    workers = args.jobs if args.jobs is not None else cores
    at_once = max(1, min(workers, len(jobs)))
    # Files repaired at once share the CPUs rather than each taking all.
    threads = args.threads if args.threads is not None else max(1, cores // at_once)
    jobs = [dataclasses.replace(job, options={**job.options, "threads": threads}) for job in jobs]
    worker: Worker = run_job
    if at_once == 1 and not args.json and sys.stderr.isatty():
        # Only a file repaired in this process can draw on our stderr.
        worker = functools.partial(run_job, show_progress=True)
    worst = EXIT_OK
    for result in run_jobs(jobs, workers, worker):
        report(result, args.json, sys.stderr)
        code = result.exit_code
        if code == EXIT_OK and args.strict and result.summary and result.summary["quarantined_rows"] > 0:
            code = EXIT_QUARANTINED
        worst = max(worst, code)
    return worst


def _sniff(args: argparse.Namespace) -> int:
    try:
        with contextlib.ExitStack() as stack:
            path = args.file
            if path == STDIO:
                scratch = stack.enter_context(tempfile.TemporaryDirectory(prefix="csv-vornish-"))
                path = os.path.join(scratch, "stdin.csv")
                with open(path, "wb") as spool:
                    shutil.copyfileobj(sys.stdin.buffer, spool)
            if args.dialect is not None:
                dialect = csv_vornish.sniff_dialect(path, encoding=args.encoding)
            else:
                # The reader settles the dialect exactly as a repair would.
                summary = csv_vornish.open(path, encoding=args.encoding).summary
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:
        message, code = describe_failure(error)
        print(f"{PROG}: {_describe(args.file, '<stdin>')}: {message}", file=sys.stderr)
        return code
    if args.dialect is not None:
        fields = dataclasses.asdict(dialect)
        if args.json:
            print(json.dumps(fields))
        else:
            tables = fields.pop("tables")
            for name, value in fields.items():
                print(f"{name}: {value!r}")
            # One line per table of the file, numbered as --table counts them.
            print(f"tables: {len(tables)}")
            for number, table in enumerate(tables):
                print(f"  table {number}: " + " ".join(f"{name}={value!r}" for name, value in table.items()))
    elif args.json:
        print(json.dumps({"delimiter": summary.detected_delimiter, "columns": summary.inferred_columns}))
    else:
        print(f"delimiter: {summary.detected_delimiter!r}")
        print(f"columns: {summary.inferred_columns}")
    return EXIT_OK


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        if args.command == "repair":
            return _repair(parser, args)
        return _sniff(args)
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader of our standard output went away; stop quietly and keep
        # the interpreter from complaining when it flushes at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_IO
