// A move-only owner of one strong Python reference.
//
// Every new reference is put into a PyRef the moment it is made, so that no
// early return and no C++ exception can leak it. Python.h is only included
// under src/python; the core never sees this type.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vornish {

class PyRef {
 public:
  PyRef() noexcept = default;
  static PyRef steal(PyObject* o) noexcept { return PyRef(o); }
  static PyRef borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return PyRef(o);
  }

  PyRef(PyRef&& r) noexcept : p_(r.release()) {}
  // Releases the reference held before, unlike an overwrite would.
  PyRef& operator=(PyRef&& r) noexcept {
    reset(r.release());
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  void reset(PyObject* o = nullptr) noexcept { Py_XDECREF(std::exchange(p_, o)); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit PyRef(PyObject* o) noexcept : p_(o) {}
  PyObject* p_ = nullptr;
};

}  // namespace vornish
