"""Drives an "arrow_array_stream" capsule by hand through ctypes.

Lets the tests call the stream's callbacks the way a consumer written in C
does (the calls release the interpreter lock, as ctypes foreign calls do),
without a consumer library's own memory pools in the way.
"""

from __future__ import annotations

import ctypes


class ArrowSchema(ctypes.Structure):
    pass


ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p),
    ("name", ctypes.c_char_p),
    ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))),
    ("dictionary", ctypes.POINTER(ArrowSchema)),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))),
    ("private_data", ctypes.c_void_p),
]


class ArrowArray(ctypes.Structure):
    pass


ArrowArray._fields_ = [
    ("length", ctypes.c_int64),
    ("null_count", ctypes.c_int64),
    ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))),
    ("dictionary", ctypes.POINTER(ArrowArray)),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))),
    ("private_data", ctypes.c_void_p),
]


class ArrowArrayStream(ctypes.Structure):
    pass


ArrowArrayStream._fields_ = [
    ("get_schema", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream),
                                    ctypes.POINTER(ArrowSchema))),
    ("get_next", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream),
                                  ctypes.POINTER(ArrowArray))),
    ("get_last_error", ctypes.CFUNCTYPE(ctypes.c_char_p, ctypes.POINTER(ArrowArrayStream))),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArrayStream))),
    ("private_data", ctypes.c_void_p),
]

_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def stream_of(capsule: object) -> ArrowArrayStream:
    """The stream inside `capsule`, still owned by the capsule."""
    return ArrowArrayStream.from_address(_get_pointer(capsule, b"arrow_array_stream"))


def read_batches(capsule: object, limit: int | None = None) -> list[int]:
    """Calls get_next up to `limit` times (all when None), releasing each
    batch at once; returns the batches' lengths. The stream stays in the
    capsule, whose destructor releases it."""
    stream = stream_of(capsule)
    lengths = []
    while limit is None or len(lengths) < limit:
        batch = ArrowArray()
        status = stream.get_next(ctypes.byref(stream), ctypes.byref(batch))
        if status != 0:
            raise OSError(status, stream.get_last_error(ctypes.byref(stream)))
        if not batch.release:
            break
        lengths.append(batch.length)
        batch.release(ctypes.byref(batch))
    return lengths
