// The boundary between the interpreter and the native code.
//
// Every C entry point of the module (functions, methods, type slots, the
// module's execution slot) is one line that hands its body to barrier().
// Inside a body, failures travel as C++ exceptions; barrier() turns them
// into the slot's failure return with a Python exception set, so nothing
// unwinds into the interpreter:
//   PythonErrorSet      the Python error is already set, keep it;
//   std::bad_alloc      MemoryError;
//   anything else       the internal-fault exception (a direct subclass of
//                       BaseException, so that `except Exception` in user
//                       code does not swallow a bug of ours).
#pragma once

#include <stdexcept>
#include <type_traits>

#include "python/pyref.hpp"

namespace vornish {

// Thrown once a Python exception has been set.
struct PythonErrorSet {};

// A broken invariant of the native code.
class InternalFault : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

[[noreturn]] inline void throw_python_error() { throw PythonErrorSet{}; }
[[noreturn]] inline void fail(const char* what) { throw InternalFault(what); }

// Takes ownership of a new reference returned by the C API; a null result
// means the call failed with an exception set.
inline PyRef own(PyObject* o) {
  if (o == nullptr) {
    throw_python_error();
  }
  return PyRef::steal(o);
}

// For C API calls that report failure as a negative status.
inline void check(int status) {
  if (status < 0) {
    throw_python_error();
  }
}

// Sets the Python exception for the C++ exception being handled. Only
// callable inside a catch block.
void translate_current_exception() noexcept;

// Raises the internal-fault exception with `message`.
void raise_internal_fault(const char* message) noexcept;

// Runs `body` and returns what the calling slot must return:
//   body returns PyRef      -> PyObject*, nullptr on failure
//   body returns int        -> int, -1 on failure
//   body returns Py_ssize_t -> Py_ssize_t, -1 on failure
//   body returns void       -> void; a failure is reported as unraisable
//                              (only deallocation has no way to fail)
template <class F>
auto barrier(F&& body) noexcept {
  using R = std::invoke_result_t<F&>;
  if constexpr (std::is_same_v<R, PyRef>) {
    try {
      return body().release();
    } catch (...) {
      translate_current_exception();
      return static_cast<PyObject*>(nullptr);
    }
  } else if constexpr (std::is_same_v<R, void>) {
    try {
      body();
    } catch (...) {
      translate_current_exception();
      PyErr_WriteUnraisable(nullptr);
    }
  } else {
    static_assert(std::is_same_v<R, int> || std::is_same_v<R, Py_ssize_t>,
                  "a slot body returns PyRef, int, Py_ssize_t or void");
    try {
      return body();
    } catch (...) {
      translate_current_exception();
      return R{-1};
    }
  }
}

// The casts CPython's method and slot tables need, for entry points of any
// signature.
template <class F>
PyCFunction as_method(F* fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

template <class F>
void* slot_fn(F* fn) {
  return reinterpret_cast<void*>(fn);
}

}  // namespace vornish
