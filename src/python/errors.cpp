// Raising the Python exceptions for failed file operations.
//
// The exceptions are built from a single text argument on purpose: their
// errno, strerror and filename attributes stay None, and OSError does not
// redirect itself to a subclass by the number.
#include "python/errors.hpp"

#include <cerrno>
#include <new>
#include <string>

#include "python/barrier.hpp"

namespace vornish {
namespace {

PyObject* subclass_for(int error_number) {
  switch (error_number) {
    case ENOENT:
      return PyExc_FileNotFoundError;
    case EACCES:
    case EPERM:
      return PyExc_PermissionError;
    case EISDIR:
      return PyExc_IsADirectoryError;
    case ENOTDIR:
      return PyExc_NotADirectoryError;
    case EEXIST:
      return PyExc_FileExistsError;
    case EAGAIN:
      return PyExc_BlockingIOError;
    case EINTR:
      return PyExc_InterruptedError;
    case ETIMEDOUT:
      return PyExc_TimeoutError;
    case EPIPE:
      return PyExc_BrokenPipeError;
    case ECONNREFUSED:
      return PyExc_ConnectionRefusedError;
    case ECONNRESET:
      return PyExc_ConnectionResetError;
    case ECONNABORTED:
      return PyExc_ConnectionAbortedError;
    case ENOMEM:
      return PyExc_MemoryError;
    default:
      return PyExc_OSError;
  }
}

[[noreturn]] void raise_with_text(PyObject* type, const std::string& text) {
  // The C library's descriptions may follow a non-UTF-8 locale.
  PyRef message = own(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  PyRef exception = own(PyObject_CallOneArg(type, message.get()));
  PyErr_SetObject(type, exception.get());
  throw_python_error();
}

}  // namespace

void raise_file_error(const VornishError& error) {
  switch (error.cause()) {
    case VornishError::Cause::OutOfMemory:
      throw std::bad_alloc();
    case VornishError::Cause::Os:
      raise_with_text(subclass_for(error.os_error()), error.message());
    case VornishError::Cause::Truncated:
    case VornishError::Cause::Corrupt:
      raise_with_text(PyExc_ValueError, error.message());
    case VornishError::Cause::NulInPath:
    case VornishError::Cause::WriteZero:
    case VornishError::Cause::SourceFailed:
      break;
  }
  raise_with_text(PyExc_OSError, error.message());
}

void raise_engine_error(const VornishError& error) {
  if (error.cause() == VornishError::Cause::OutOfMemory) {
    throw std::bad_alloc();
  }
  if (error.cause() == VornishError::Cause::Truncated ||
      error.cause() == VornishError::Cause::Corrupt) {
    raise_with_text(PyExc_ValueError, error.message());
  }
  raise_with_text(PyExc_OSError, error.message());
}

}  // namespace vornish
