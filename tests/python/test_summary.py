"""VornishSummary: a read-only record that Python code cannot create or change."""

import gc
import weakref

import pytest

import _csv_vornish_backend as backend

FIELDS = ["total_rows", "vornished_rows", "repaired_rows", "quarantined_rows",
          "detected_delimiter", "inferred_columns"]


@pytest.fixture
def summary(tmp_path):
    path = tmp_path / "in.csv"
    path.write_text("a,b,c\n1,2\nx,y,z,w,v\n")
    return backend.vornish_file(str(path), str(tmp_path / "out.csv"), expected_columns=3)


def summary_of(tmp_path, content, **options):
    path = tmp_path / "s.csv"
    path.write_bytes(content)
    return backend.open(str(path), **options).summary


def test_values_and_to_dict(summary):
    expected = {"total_rows": 3, "vornished_rows": 3, "repaired_rows": 2, "quarantined_rows": 0,
                "detected_delimiter": ",", "inferred_columns": 3}
    assert {name: getattr(summary, name) for name in FIELDS} == expected
    first, second = summary.to_dict(), summary.to_dict()
    assert list(first) == FIELDS
    assert first == expected and first is not second
    first["total_rows"] = 99
    assert summary.total_rows == 3 and summary.to_dict() == expected


@pytest.mark.parametrize(
    ("content", "options", "text"),
    [
        (b"", {}, "<VornishSummary total_rows=0 vornished_rows=0 repaired_rows=0 "
                  "quarantined_rows=0 delimiter=',' inferred_columns=0>"),
        (b"a\tb\n1\t2\n", {}, "<VornishSummary total_rows=2 vornished_rows=2 repaired_rows=0 "
                              "quarantined_rows=0 delimiter='\t' inferred_columns=2>"),
        (b"a,b\n1\n", {"fill_ragged_rows": False, "delimiter": "\u00e9"},
         "<VornishSummary total_rows=2 vornished_rows=2 repaired_rows=0 "
         "quarantined_rows=0 delimiter='\u00c3' inferred_columns=1>"),
        (b"a,b\n1\n", {"fill_ragged_rows": False},
         "<VornishSummary total_rows=2 vornished_rows=1 repaired_rows=0 "
         "quarantined_rows=1 delimiter=',' inferred_columns=2>"),
    ],
)
def test_repr(tmp_path, content, options, text):
    s = summary_of(tmp_path, content, **options)
    assert repr(s) == text
    assert str(s) == text
    assert s.total_rows == s.vornished_rows + s.quarantined_rows


def test_type_surface():
    cls = backend.VornishSummary
    assert (cls.__name__, cls.__qualname__, cls.__module__) == ("VornishSummary", "VornishSummary",
                                                                "builtins")
    assert cls.__doc__ == "Python-exposed summary of a vornish operation."
    assert cls.__text_signature__ is None
    assert cls.to_dict.__doc__ == "Converts the summary into a native Python dictionary."
    assert cls.to_dict.__text_signature__ == "($self)"
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError, match=r"^cannot create 'builtins.VornishSummary' instances$"):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("name", FIELDS)
def test_fields_are_read_only(summary, name):
    before = getattr(summary, name)
    with pytest.raises(AttributeError):
        setattr(summary, name, 5)
    with pytest.raises(AttributeError):
        delattr(summary, name)
    assert getattr(summary, name) == before


def test_instances_are_closed(summary):
    with pytest.raises(AttributeError):
        summary.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(summary)
    with pytest.raises(TypeError):
        summary.to_dict(1)
    assert gc.is_tracked(summary)
