// Translation of C++ exceptions into Python exceptions, and the
// internal-fault exception type that stands for bugs of the native code.
#include "python/barrier.hpp"

#include <cstring>
#include <new>

namespace vornish {
namespace {

// Created on first use and kept for the life of the process; it is not a
// module attribute, so user code cannot catch it by name, only as
// BaseException.
PyObject* internal_fault_type() noexcept {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "_csv_vornish_backend.InternalFault",
        "A bug in the native code of _csv_vornish_backend: an invariant was\n"
        "broken or the interpreter failed where it cannot fail. Please report it.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

}  // namespace

void raise_internal_fault(const char* message) noexcept {
  PyObject* type = internal_fault_type();
  if (type == nullptr) {
    return;  // creating the type failed; its error stays set
  }
  // The message may come from a library that does not speak UTF-8.
  PyObject* text = PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)),
                                        "replace");
  if (text == nullptr) {
    return;
  }
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

void translate_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonErrorSet&) {
    if (PyErr_Occurred() == nullptr) {
      raise_internal_fault("a failure was signalled without a Python exception");
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal_fault(e.what());
  } catch (...) {
    raise_internal_fault("an unrecognised native exception reached the module boundary");
  }
}

}  // namespace vornish
