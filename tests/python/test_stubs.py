"""The type information shipped with the package: precise, and true to the module.

stubtest compares the backend's stub with the compiled module (names,
parameters, defaults), mypy --strict checks a typed example and the package
itself, and a table of misuses shows the stubs are strict enough to reject
them. Works against the installed package (stubs found as PEP 561 packages)
and against a source tree on PYTHONPATH (stubs found through MYPYPATH).
"""

from __future__ import annotations

import os
import pathlib
import re
import subprocess
import sys

import pytest

import _csv_vornish_backend
import csv_vornish

pytest.importorskip("mypy")

HERE = pathlib.Path(__file__).resolve().parent
PACKAGE_ROOT = pathlib.Path(csv_vornish.__file__).resolve().parent.parent
INSTALLED = "site-packages" in PACKAGE_ROOT.parts or "dist-packages" in PACKAGE_ROOT.parts


@pytest.fixture(scope="module")
def mypy_env(tmp_path_factory: pytest.TempPathFactory) -> dict[str, str]:
    env = dict(os.environ)
    env["MYPY_CACHE_DIR"] = str(tmp_path_factory.mktemp("mypy-cache"))
    if INSTALLED:
        # mypy refuses site-packages on MYPYPATH; installed stubs must be
        # found the way a user's mypy finds them.
        env.pop("MYPYPATH", None)
    else:
        env["MYPYPATH"] = str(PACKAGE_ROOT)
    return env


def run(args: list[str], env: dict[str, str], cwd: pathlib.Path = HERE) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=600)


def test_stubtest_finds_no_drift(mypy_env: dict[str, str]) -> None:
    result = run(["mypy.stubtest", "_csv_vornish_backend", "csv_vornish"], mypy_env)
    assert result.returncode == 0, result.stdout + result.stderr


def test_typed_example_and_package_pass_strict_mypy(mypy_env: dict[str, str], tmp_path: pathlib.Path) -> None:
    # --disallow-any-expr: a stub that mypy cannot find turns every type
    # into Any, which would otherwise pass every assert_type silently. It is
    # meant for the example, not for the package's own forwarding code,
    # which mypy only looks into when the package comes from a source tree.
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\n[mypy-csv_vornish.*]\ndisallow_any_expr = False\n", encoding="utf-8")
    result = run(["mypy", "--config-file", str(config), "--strict", "--disallow-any-expr", "typed_example.py"], mypy_env)
    assert result.returncode == 0, result.stdout + result.stderr
    result = run(["mypy", "--strict", "-p", "csv_vornish"], mypy_env)
    assert result.returncode == 0, result.stdout + result.stderr


def test_typed_example_runs(tmp_path: pathlib.Path) -> None:
    import typed_example

    counts = typed_example.exercise(tmp_path)
    assert counts["first_row"] == ["a", "b", "c"]
    assert counts["inferred_columns"] == 3
    assert counts["detected_delimiter"] == ";"


# Each line must be rejected by mypy --strict with the given error code.
MISUSES = [
    ("summary.total_rows = 3", "misc"),
    ("reader.summary = summary", "misc"),
    ("csv_vornish.vornish_file(b'in.csv', 'out.csv')", "arg-type"),
    ("_csv_vornish_backend.vornish_file(pathlib.Path('in.csv'), 'out.csv')", "arg-type"),
    ("_csv_vornish_backend.open(pathlib.Path('in.csv'))", "arg-type"),
    ("csv_vornish.open('in.csv', quote_char=None)", "arg-type"),
    ("csv_vornish.open('in.csv', expected_columns='3')", "arg-type"),
    ("csv_vornish.open('in.csv', fill_ragged_rows=1)", "arg-type"),
    ("csv_vornish.open('in.csv', bogus=1)", "call-arg"),
    ("numbers: list[int] = next(reader)", "arg-type"),
    ("width: str = summary.inferred_columns", "assignment"),
    ("total: str = summary.to_dict()['total_rows']", "assignment"),
    ("summary.to_dict()['no_such_key']", "typeddict-item"),
    ("class Mine(csv_vornish.VornishReader): pass", "misc"),
    ("csv_vornish.sniff(b'a,b')", "arg-type"),
]

MISUSE_HEADER = """\
import pathlib
import _csv_vornish_backend
import csv_vornish
summary = csv_vornish.vornish_file('in.csv', 'out.csv')
reader = csv_vornish.open('in.csv')
"""


def test_misuses_are_rejected(tmp_path: pathlib.Path, mypy_env: dict[str, str]) -> None:
    source = MISUSE_HEADER + "".join(f"{line}\n" for line, _ in MISUSES)
    (tmp_path / "misuse.py").write_text(source, encoding="utf-8")
    result = run(["mypy", "--strict", "--show-error-codes", "misuse.py"], mypy_env, cwd=tmp_path)

    first = MISUSE_HEADER.count("\n") + 1
    found: dict[int, set[str]] = {}
    for number, code in re.findall(r"^misuse\.py:(\d+): error: .*\[([a-z-]+)\]$", result.stdout, re.M):
        found.setdefault(int(number), set()).add(code)
    missed = [(line, code) for index, (line, code) in enumerate(MISUSES) if code not in found.get(first + index, set())]
    assert not missed, result.stdout
    assert set(found) <= set(range(first, first + len(MISUSES))), result.stdout


@pytest.mark.skipif(not INSTALLED, reason="the stub package exists only in an installed wheel")
def test_installed_stub_copies_agree() -> None:
    beside = pathlib.Path(_csv_vornish_backend.__file__).with_name("_csv_vornish_backend.pyi")
    package = PACKAGE_ROOT / "_csv_vornish_backend-stubs" / "__init__.pyi"
    assert beside.read_text(encoding="utf-8") == package.read_text(encoding="utf-8")
