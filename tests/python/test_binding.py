"""Argument binding and conversion, shared by every callable of the module.

The messages are exact; each conversion failure carries one note naming the
parameter, and nothing is read or written before all arguments converted.
"""

import pytest

import _csv_vornish_backend as backend


@pytest.fixture
def csv_path(tmp_path):
    path = tmp_path / "in.csv"
    path.write_text("a,b,c\n1,2\nx,y,z,w,v\n")
    return str(path)


def raises(expected_type, message, call, /, *args, **kwargs):
    with pytest.raises(expected_type) as info:
        call(*args, **kwargs)
    assert type(info.value) is expected_type
    assert str(info.value) == message
    return info.value


# The reader is made through open() (fast calling convention), through the
# class (tuple and dict) and through its __new__ (tuple and dict again).
READER_MAKERS = {
    "open()": backend.open,
    "VornishReader.__new__()": backend.VornishReader,
    "VornishReader.__new__() via __new__": lambda *a, **k: backend.VornishReader.__new__(
        backend.VornishReader, *a, **k
    ),
}

READER_BINDING = [
    ((), {}, "{D} missing 1 required positional argument: 'file_path'"),
    (("p", None, '"', True, True, None, True, 8), {},
     "{D} takes from 1 to 7 positional arguments but 8 were given"),
    (("p",), {"bogus": 1}, "{D} got an unexpected keyword argument 'bogus'"),
    (("p",), {"file_path": "q"}, "{D} got multiple values for argument 'file_path'"),
    # Keywords are judged in the order passed.
    (("p",), {"bogus": 1, "file_path": "q"}, "{D} got an unexpected keyword argument 'bogus'"),
    (("p",), {"file_path": "q", "bogus": 1}, "{D} got multiple values for argument 'file_path'"),
    # Positional excess is checked before keywords, keywords before missing.
    (("p", None, '"', True, True, None, True, 8), {"bogus": 1},
     "{D} takes from 1 to 7 positional arguments but 8 were given"),
    ((), {"bogus": 1}, "{D} got an unexpected keyword argument 'bogus'"),
    ((), {"Delimiter": ","}, "{D} got an unexpected keyword argument 'Delimiter'"),
]


@pytest.mark.parametrize("maker", list(READER_MAKERS))
@pytest.mark.parametrize(("args", "kwargs", "message"), READER_BINDING)
def test_reader_binding_messages(maker, args, kwargs, message):
    display = maker.split(" via ")[0]
    raises(TypeError, message.format(D=display), READER_MAKERS[maker], *args, **kwargs)


@pytest.mark.parametrize(
    ("call", "args", "kwargs", "message"),
    [
        (backend.sniff, (), {}, "sniff() missing 1 required positional argument: 'sample'"),
        (backend.sniff, ("a", "b"), {}, "sniff() takes 1 positional arguments but 2 were given"),
        (backend.sniff, (), {"text": "x"}, "sniff() got an unexpected keyword argument 'text'"),
        (backend.sniff, ("a",), {"sample": "b"},
         "sniff() got multiple values for argument 'sample'"),
        (backend.vornish_file, (), {},
         "vornish_file() missing 2 required positional arguments: 'input_path' and 'output_path'"),
        (backend.vornish_file, ("in.csv",), {},
         "vornish_file() missing 1 required positional argument: 'output_path'"),
        (backend.vornish_file, (), {"output_path": "o"},
         "vornish_file() missing 1 required positional argument: 'input_path'"),
        (backend.vornish_file, tuple("abcdefghij"), {},
         "vornish_file() takes from 2 to 9 positional arguments but 10 were given"),
        (backend.vornish_file, ("a", "b"), {"input_path": "c"},
         "vornish_file() got multiple values for argument 'input_path'"),
        (backend.vornish_file, ("a", "b"), {"quarantine": "c"},
         "vornish_file() got an unexpected keyword argument 'quarantine'"),
    ],
)
def test_function_binding_messages(call, args, kwargs, message):
    raises(TypeError, message, call, *args, **kwargs)


def test_exit_binding(csv_path):
    reader = backend.open(csv_path)
    raises(TypeError, "VornishReader.__exit__() takes from 0 to 3 positional arguments but 4 were given",
           reader.__exit__, 1, 2, 3, 4)
    raises(TypeError, "VornishReader.__exit__() got an unexpected keyword argument 'exc_type'",
           reader.__exit__, exc_type=None)
    raises(TypeError, "VornishReader.__exit__() got multiple values for argument '_exc_type'",
           reader.__exit__, 1, _exc_type=2)
    assert reader.__exit__() is False
    assert reader.__exit__(_exc_tb=object(), _exc_type=1) is False


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BadIndex:
    def __index__(self):
        raise LookupError("no index")


FakeNumpyBoolWithoutTruth = type("bool_", (), {"__module__": "numpy"})


class RaisingTruth:
    def __bool__(self):
        raise ArithmeticError("no truth")


FakeNumpyBoolRaising = type("bool", (RaisingTruth,), {"__module__": "numpy"})
NotNumpyBool = type("bool_", (), {"__module__": "notnumpy", "__bool__": lambda self: True})

CONVERSION_FAILURES = [
    ("file_path", b"a,b", TypeError, "'bytes' object is not an instance of 'str'"),
    ("file_path", None, TypeError, "'None' is not an instance of 'str'"),
    ("file_path", "\ud800", UnicodeEncodeError, None),
    ("delimiter", 44, TypeError, "'int' object is not an instance of 'str'"),
    ("delimiter", "\udc80", UnicodeEncodeError, None),
    ("quote_char", None, TypeError, "'None' is not an instance of 'str'"),
    ("quote_char", b'"', TypeError, "'bytes' object is not an instance of 'str'"),
    ("fill_ragged_rows", 1, TypeError, "'int' object is not an instance of 'bool'"),
    ("merge_overflow", None, TypeError, "'None' is not an instance of 'bool'"),
    ("repair_quotes", "yes", TypeError, "'str' object is not an instance of 'bool'"),
    ("repair_quotes", Index(1), TypeError, "'Index' object is not an instance of 'bool'"),
    ("repair_quotes", NotNumpyBool(), TypeError, "'bool_' object is not an instance of 'bool'"),
    ("fill_ragged_rows", FakeNumpyBoolWithoutTruth(), TypeError,
     "object of type 'bool_' does not define a '__bool__' conversion"),
    ("fill_ragged_rows", FakeNumpyBoolRaising(), ArithmeticError, "no truth"),
    ("expected_columns", 4294967296, OverflowError, "out of range integral type conversion attempted"),
    ("expected_columns", 2**64 - 1, OverflowError, "out of range integral type conversion attempted"),
    ("expected_columns", 2**64, OverflowError, "int too big to convert"),
    ("expected_columns", -1, OverflowError, "can't convert negative int to unsigned"),
    ("expected_columns", 3.0, TypeError, "'float' object cannot be interpreted as an integer"),
    ("expected_columns", "3", TypeError, "'str' object cannot be interpreted as an integer"),
    ("expected_columns", BadIndex(), LookupError, "no index"),
]


@pytest.mark.parametrize("via", ["vornish_file", "VornishReader"])
@pytest.mark.parametrize(("name", "value", "exc_type", "message"), CONVERSION_FAILURES)
def test_conversion_failures(tmp_path, csv_path, via, name, value, exc_type, message):
    out = tmp_path / "out.csv"
    if via == "vornish_file":
        kwargs = {"input_path": csv_path, "output_path": str(out), name: value}
        if name == "file_path":
            kwargs["input_path"] = kwargs.pop("file_path")
            name = "input_path"
        call = backend.vornish_file
    else:
        kwargs = {"file_path": csv_path, name: value}
        call = backend.VornishReader
    with pytest.raises(exc_type) as info:
        call(**kwargs)
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{name}'"]
    assert not out.exists()


def test_qualified_type_name_in_messages(csv_path):
    class Outer:
        class Inner:
            pass

    error = raises(TypeError, "'test_qualified_type_name_in_messages.<locals>.Outer.Inner' object "
                   "is not an instance of 'str'", backend.sniff, Outer.Inner())
    assert error.__notes__ == ["while processing 'sample'"]


def test_earlier_parameter_is_reported_first(tmp_path):
    error = raises(TypeError, "'int' object is not an instance of 'str'", backend.vornish_file, 1, 2)
    assert error.__notes__ == ["while processing 'input_path'"]
    # Conversion runs in parameter order, not in the order keywords came.
    error = raises(TypeError, "'int' object is not an instance of 'bool'", backend.open,
                   repair_quotes=1, file_path=str(tmp_path / "x"), fill_ragged_rows=0)
    assert error.__notes__ == ["while processing 'fill_ragged_rows'"]


def test_failing_add_note_keeps_the_original_exception(csv_path):
    class Stubborn(Exception):
        pass

    error = Stubborn("original")
    error.__notes__ = ()  # add_note refuses a non-list

    class Raising:
        def __index__(self):
            raise error

    with pytest.raises(Stubborn) as info:
        backend.open(csv_path, expected_columns=Raising())
    assert info.value is error
    assert info.value.__notes__ == ()


@pytest.mark.parametrize("truth", [False, True])
def test_numpy_bool_is_a_switch(csv_path, truth):
    np = pytest.importorskip("numpy")
    value = np.bool_(truth)
    assert type(value).__module__ == "numpy"
    reader = backend.open(csv_path, expected_columns=3, fill_ragged_rows=value)
    plain = backend.open(csv_path, expected_columns=3, fill_ragged_rows=truth)
    assert list(reader) == list(plain)
    assert reader.summary.quarantined_rows == (0 if truth else 1)


@pytest.mark.parametrize(
    ("kwargs", "delimiter", "columns"),
    [
        ({"delimiter": ""}, ",", 5),  # sniffed
        ({"delimiter": None}, ",", 5),
        ({"delimiter": ";;"}, ";", 1),
        ({"delimiter": "é"}, "\u00c3", 1),  # first UTF-8 byte of é
        ({"expected_columns": 0}, ",", 0),
        ({"expected_columns": True}, ",", 1),
        ({"expected_columns": Index(2)}, ",", 2),
        # Padding to that width would not fit in memory; with both repairs
        # off the rows are quarantined instead.
        ({"expected_columns": 2**32 - 1, "fill_ragged_rows": False, "merge_overflow": False},
         ",", 2**32 - 1),
    ],
)
def test_accepted_values_reach_the_run(csv_path, kwargs, delimiter, columns):
    summary = backend.open(csv_path, **kwargs).summary
    assert summary.detected_delimiter == delimiter
    assert summary.inferred_columns == columns


@pytest.mark.parametrize(
    ("kwargs", "expected"),
    [
        ({}, [["a", 'he said "hi" ok', "c"], ["1", "2", "3"]]),
        ({"quote_char": ""}, [["a", 'he said "hi" ok', "c"], ["1", "2", "3"]]),
        ({"quote_char": "'"}, [["a", '"he said "hi" ok"', "c"], ["1", "2", "3"]]),
        ({"quote_char": "'\""}, [["a", '"he said "hi" ok"', "c"], ["1", "2", "3"]]),
        ({"repair_quotes": False}, [["a", 'he said hi" ok"', "c"], ["1", "2", "3"]]),
    ],
)
def test_quote_options_reach_the_parser(tmp_path, kwargs, expected):
    path = tmp_path / "q.csv"
    path.write_bytes(b'a,"he said "hi" ok",c\n1,2,3\n')
    assert list(backend.open(str(path), **kwargs)) == expected


def test_merge_overflow_reaches_the_run(csv_path):
    reader = backend.open(csv_path, expected_columns=3, merge_overflow=False)
    assert list(reader) == [["a", "b", "c"], ["1", "2", ""]]
    assert reader.summary.quarantined_rows == 1
    assert list(backend.open(csv_path, expected_columns=3))[2] == ["x", "y", "z,w,v"]


def test_text_accepts_str_subclass_and_path_objects_are_refused(tmp_path, csv_path):
    import pathlib

    class Text(str):
        pass

    assert len(backend.open(Text(csv_path))) == 3
    raises(TypeError, "'PosixPath' object is not an instance of 'str'", backend.open,
           pathlib.Path(csv_path))
