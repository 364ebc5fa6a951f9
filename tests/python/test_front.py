"""The csv_vornish front package: the backend's API, plus os.PathLike paths.

The front functions promise to be the backend's functions with path objects
turned into strings; everything else (results, binding and conversion
errors, notes) must be indistinguishable from calling the backend directly.
"""

from __future__ import annotations

import inspect
import os
import pathlib
from typing import Any

import pytest

import _csv_vornish_backend as backend
import csv_vornish

SAMPLE = b"id;name;score\r\n1;ann;3\r\n2;bob\r\n3;cy;4;extra\r\n"


class FsPath:
    """A minimal os.PathLike that is not a pathlib object."""

    def __init__(self, path: str | bytes) -> None:
        self.path = path

    def __fspath__(self) -> str | bytes:
        return self.path


@pytest.fixture
def sample(tmp_path: pathlib.Path) -> pathlib.Path:
    path = tmp_path / "in.csv"
    path.write_bytes(SAMPLE)
    return path


def test_reexports_are_the_backend_objects() -> None:
    assert csv_vornish.VornishSummary is backend.VornishSummary
    assert csv_vornish.VornishReader is backend.VornishReader
    assert csv_vornish.__version__ == backend.__version__
    # The front offers the backend's names first, then its own.
    assert csv_vornish.__all__[: len(backend.__all__)] == backend.__all__
    for name in csv_vornish.__all__:
        assert getattr(csv_vornish, name) is not None


@pytest.mark.parametrize("name", ["vornish_file", "open", "sniff"])
def test_signatures_match_the_backend(name: str) -> None:
    front = inspect.signature(getattr(csv_vornish, name))
    native = inspect.signature(getattr(backend, name))
    # The streaming vornish_file adds keyword-only knobs after the shared ones.
    shared = [p for p in front.parameters.values() if p.kind is not p.KEYWORD_ONLY]
    assert [(p.name, p.kind, p.default) for p in shared] == [
        (p.name, p.kind, p.default) for p in native.parameters.values()
    ]
    assert getattr(csv_vornish, name).__doc__.strip()


PATH_KINDS = {
    "str": str,
    "pathlib": pathlib.Path,
    "custom": lambda p: FsPath(str(p)),
}


@pytest.mark.parametrize("kind", PATH_KINDS)
@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
def test_vornish_file_takes_path_like(tmp_path: pathlib.Path, sample: pathlib.Path, kind: str, by_keyword: bool) -> None:
    make = PATH_KINDS[kind]
    paths = (make(sample), make(tmp_path / "out.csv"), make(tmp_path / "bad.csv"))
    if by_keyword:
        summary = csv_vornish.vornish_file(
            input_path=paths[0], output_path=paths[1], quarantine_path=paths[2], merge_overflow=False
        )
    else:
        summary = csv_vornish.vornish_file(*paths, merge_overflow=False)

    expected = backend.vornish_file(
        str(sample), str(tmp_path / "ref.csv"), str(tmp_path / "ref_bad.csv"), merge_overflow=False
    )
    assert summary.to_dict() == expected.to_dict()
    assert (tmp_path / "out.csv").read_bytes() == (tmp_path / "ref.csv").read_bytes()
    assert (tmp_path / "bad.csv").read_bytes() == (tmp_path / "ref_bad.csv").read_bytes()


@pytest.mark.parametrize("kind", PATH_KINDS)
@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
def test_open_takes_path_like(sample: pathlib.Path, kind: str, by_keyword: bool) -> None:
    path = PATH_KINDS[kind](sample)
    reader = csv_vornish.open(file_path=path, delimiter=";") if by_keyword else csv_vornish.open(path, ";")
    assert isinstance(reader, csv_vornish.RepairReader)
    assert isinstance(reader.reader, csv_vornish.VornishReader)
    assert list(reader) == list(backend.open(str(sample), ";"))


def test_only_path_parameters_are_converted(sample: pathlib.Path) -> None:
    # A path object where text is expected is still the backend's error.
    with pytest.raises(TypeError) as raised:
        csv_vornish.open(sample, delimiter=FsPath(";"))  # type: ignore[arg-type]
    assert str(raised.value) == "'FsPath' object is not an instance of 'str'"
    assert raised.value.__notes__ == ["while processing 'delimiter'"]


def _outcome(call: Any) -> tuple[type[BaseException], str, list[str]]:
    with pytest.raises(BaseException) as raised:
        call()
    return type(raised.value), str(raised.value), getattr(raised.value, "__notes__", [])


# (function name, positional arguments, keyword arguments); "IN" stands for
# the sample path, given to the front function as a pathlib.Path and to the
# backend as a str.
BAD_CALLS = [
    ("vornish_file", (), {}),
    ("vornish_file", ("IN",), {}),
    ("vornish_file", ("IN", "o", None, None, '"', True, True, None, True, "extra"), {}),
    ("vornish_file", ("IN", "o"), {"input_path": "c"}),
    ("vornish_file", ("IN", "o"), {"bogus": 1}),
    ("vornish_file", ("IN", "o", None, None, '"', True, True, None, True, "extra"), {"bogus": 1}),
    ("vornish_file", (1, 2), {}),
    ("vornish_file", (b"in.csv", "o"), {}),
    ("vornish_file", (FsPath(b"in.csv"), "o"), {}),
    ("vornish_file", ("IN", "o"), {"quote_char": None}),
    ("vornish_file", ("IN", "o"), {"fill_ragged_rows": 1}),
    ("vornish_file", ("IN", "o"), {"expected_columns": -1}),
    ("vornish_file", ("missing.csv", "o"), {}),
    ("vornish_file", ("IN", "no/such/dir/out.csv"), {}),
    ("vornish_file", ("in\x00.csv", "o"), {}),
    ("open", (), {}),
    ("open", ("IN",), {"file_path": "x"}),
    ("open", ("IN",), {"path": "x"}),
    ("open", ("IN", None, '"', True, True, None, True, "extra"), {}),
    ("open", (b"in.csv",), {}),
    ("open", ("missing.csv",), {}),
    ("open", ("",), {}),
    ("sniff", (), {}),
    ("sniff", ("a", "b"), {}),
    ("sniff", ("a",), {"sample": "b"}),
    ("sniff", (b"a,b",), {}),
]


@pytest.mark.parametrize("name, args, kwargs", BAD_CALLS)
def test_errors_are_the_backends(
    tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch, sample: pathlib.Path, name: str, args: tuple[Any, ...], kwargs: dict[str, Any]
) -> None:
    monkeypatch.chdir(tmp_path)
    front_args = tuple(sample if a == "IN" else a for a in args)
    native_args = tuple(str(sample) if a == "IN" else (os.fspath(a) if isinstance(a, FsPath) else a) for a in args)
    front = _outcome(lambda: getattr(csv_vornish, name)(*front_args, **kwargs))
    native = _outcome(lambda: getattr(backend, name)(*native_args, **kwargs))
    assert front == native
    assert not (tmp_path / "o").exists()


def test_vornish_file_error_keeps_plain_oserror(tmp_path: pathlib.Path) -> None:
    with pytest.raises(OSError) as raised:
        csv_vornish.vornish_file(tmp_path / "missing.csv", tmp_path / "out.csv")
    assert type(raised.value) is OSError
    assert raised.value.errno is None
    assert str(raised.value).endswith("(os error 2)")
    assert not (tmp_path / "out.csv").exists()


def test_path_like_whose_fspath_fails_propagates(tmp_path: pathlib.Path) -> None:
    class Broken:
        def __fspath__(self) -> str:
            raise RuntimeError("no path today")

    with pytest.raises(RuntimeError, match="no path today"):
        csv_vornish.vornish_file(Broken(), tmp_path / "out.csv")  # type: ignore[arg-type]
    assert not (tmp_path / "out.csv").exists()


def test_sniff_forwards() -> None:
    assert csv_vornish.sniff("a;b;c\n1;2;3\n4;5;6\n") == ";"
    assert csv_vornish.sniff("") == ","
