// Lets other Python threads run while the engine works.
//
// Only the front's entry points use it: the backend's reader keeps the lock
// for the whole call. Nothing Python may be touched while it is held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vornish {

// Gives up the interpreter lock for its lifetime and takes it back on every
// path out, exceptions included.
class WithoutGil {
 public:
  WithoutGil() noexcept : saved_(PyEval_SaveThread()) {}
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;
  ~WithoutGil() { PyEval_RestoreThread(saved_); }

  // Runs `body` holding the lock again (a hook that calls back into
  // Python), and gives it up once more afterwards.
  template <class F>
  bool locked(F&& body) noexcept {
    PyEval_RestoreThread(saved_);
    const bool ok = body();
    saved_ = PyEval_SaveThread();
    return ok;
  }

 private:
  PyThreadState* saved_;
};

}  // namespace vornish
