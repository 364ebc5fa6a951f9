// Python file objects as byte sources, and the source specs of the front
// package.
//
// The engine reads a source with the interpreter lock released; a Python
// file object's read takes it back for that call only. An exception the
// call raises (Ctrl-C included) is kept by the source, the read fails, and
// the entry point that ran the engine raises it again once the engine has
// stopped.
#include "python/source.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

#include "engine/decompress.hpp"
#include "engine/parallel_decode.hpp"
#include "engine/transcode.hpp"
#include "engine/io.hpp"
#include "python/barrier.hpp"
#include "python/binding.hpp"
#include "python/errors.hpp"

namespace vornish {

class PyFileSource final : public ByteSource {
 public:
  explicit PyFileSource(PyObject* reader) : reader_(PyRef::borrow(reader)) {
    readinto_ = PyObject_HasAttrString(reader, "readinto") == 1;
  }
  // The last reference may go on any thread (an Arrow stream is released
  // wherever its consumer drops it), so the lock is taken for it.
  ~PyFileSource() override {
    if (!Py_IsInitialized() || _Py_IsFinalizing()) {
      static_cast<void>(reader_.release());
      static_cast<void>(type_.release());
      static_cast<void>(value_.release());
      static_cast<void>(traceback_.release());
      return;
    }
    const PyGILState_STATE state = PyGILState_Ensure();
    reader_.reset();
    type_.reset();
    value_.reset();
    traceback_.reset();
    PyGILState_Release(state);
  }

  Result<std::size_t> read(char* out, std::size_t size) override {
    const PyGILState_STATE state = PyGILState_Ensure();
    Result<std::size_t> got = read_locked(out, std::min(size, std::size_t{1} << 30));
    PyGILState_Release(state);
    return got;
  }

  // Sets the kept exception as the current one; false when there is none.
  bool restore() noexcept {
    if (!type_) {
      return false;
    }
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
    return true;
  }

 private:
  Result<std::size_t> read_locked(char* out, std::size_t size) {
    if (type_) {
      return VornishError::source_failed();
    }
    const Py_ssize_t n = readinto_ ? call_readinto(out, size) : call_read(out, size);
    if (n < 0 || PyErr_CheckSignals() != 0) {
      PyObject* type = nullptr;
      PyObject* value = nullptr;
      PyObject* traceback = nullptr;
      PyErr_Fetch(&type, &value, &traceback);
      type_.reset(type);
      value_.reset(value);
      traceback_.reset(traceback);
      return VornishError::source_failed();
    }
    return static_cast<std::size_t>(n);
  }

  // -1 with an exception set, else the bytes read.
  Py_ssize_t call_readinto(char* out, std::size_t size) {
    PyRef view = PyRef::steal(
        PyMemoryView_FromMemory(out, static_cast<Py_ssize_t>(size), PyBUF_WRITE));
    if (!view) {
      return -1;
    }
    PyRef got = PyRef::steal(PyObject_CallMethod(reader_.get(), "readinto", "O", view.get()));
    // The buffer is the engine's: no reference to it may outlive the call.
    // The read's own exception, if any, is the one that counts.
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyRef released = PyRef::steal(PyObject_CallMethod(view.get(), "release", nullptr));
    if (type != nullptr) {
      PyErr_Clear();
      PyErr_Restore(type, value, traceback);
      return -1;
    }
    if (!released) {
      return -1;
    }
    return count_from(got.get(), size);
  }

  Py_ssize_t call_read(char* out, std::size_t size) {
    PyRef got = PyRef::steal(
        PyObject_CallMethod(reader_.get(), "read", "n", static_cast<Py_ssize_t>(size)));
    if (!got) {
      return -1;
    }
    if (got.get() == Py_None) {
      return count_from(got.get(), size);
    }
    Py_buffer buffer;
    if (PyObject_GetBuffer(got.get(), &buffer, PyBUF_SIMPLE) != 0) {
      return -1;
    }
    const Py_ssize_t n = buffer.len;
    if (static_cast<std::size_t>(n) > size) {
      PyBuffer_Release(&buffer);
      PyErr_Format(PyExc_ValueError, "read() returned %zd bytes, more than the %zu asked for", n,
                   size);
      return -1;
    }
    std::memcpy(out, buffer.buf, static_cast<std::size_t>(n));
    PyBuffer_Release(&buffer);
    return n;
  }

  static Py_ssize_t count_from(PyObject* got, std::size_t size) {
    if (got == Py_None) {
      PyErr_SetString(PyExc_BlockingIOError, "the file object has no data ready (non-blocking)");
      return -1;
    }
    const Py_ssize_t n = PyLong_AsSsize_t(got);
    if (n == -1 && PyErr_Occurred()) {
      return -1;
    }
    if (n < 0 || static_cast<std::size_t>(n) > size) {
      PyErr_Format(PyExc_ValueError, "readinto() returned %zd for a buffer of %zu bytes", n, size);
      return -1;
    }
    return n;
  }

  PyRef reader_;
  bool readinto_ = false;
  PyRef type_;
  PyRef value_;
  PyRef traceback_;
};

OpenedSource open_source(PyObject* spec, std::string_view path, std::size_t threads) {
  if (!PyTuple_Check(spec) || PyTuple_GET_SIZE(spec) < 3 || PyTuple_GET_SIZE(spec) > 5 ||
      !PyUnicode_Check(PyTuple_GET_ITEM(spec, 2)) ||
      (PyTuple_GET_SIZE(spec) == 5 && PyTuple_GET_ITEM(spec, 4) != Py_None &&
       !PyUnicode_Check(PyTuple_GET_ITEM(spec, 4)))) {
    PyErr_SetString(PyExc_TypeError,
                    "_source must be a (reader, codec, label[, offset[, encoding]]) tuple");
    throw_python_error();
  }
  PyObject* reader = PyTuple_GET_ITEM(spec, 0);
  PyObject* codec_name = PyTuple_GET_ITEM(spec, 1);
  OpenedSource opened;
  Py_ssize_t label_size = 0;
  const char* label = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(spec, 2), &label_size);
  if (label == nullptr) {
    throw_python_error();
  }
  opened.label.assign(label, static_cast<std::size_t>(label_size));

  if (PyTuple_GET_SIZE(spec) >= 4) {
    const unsigned long long offset = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(spec, 3));
    if (offset == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      throw_python_error();
    }
    if (offset > 0 && codec_name != Py_None) {
      PyErr_SetString(PyExc_ValueError, "a compressed source is read from its start");
      throw_python_error();
    }
    opened.offset = offset;
  }
  std::optional<Codec> codec;
  if (codec_name != Py_None) {
    const char* name = PyUnicode_Check(codec_name) ? PyUnicode_AsUTF8(codec_name) : nullptr;
    if (name == nullptr) {
      if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_TypeError, "the codec must be a str or None");
      }
      throw_python_error();
    }
    codec = codec_named(name);
    if (!codec) {
      PyErr_Format(PyExc_ValueError, "unknown codec %R", codec_name);
      throw_python_error();
    }
  }

  std::unique_ptr<ByteSource> bytes;
  if (reader == Py_None) {
    Result<std::unique_ptr<FdSource>> file = open_fd_source(std::string(path));
    if (!file) {
      raise_file_error(file.error());
    }
    opened.file = file.value().get();
    opened.file_size = opened.file->file_size();
    bytes = std::move(file).value();
  } else {
    auto python = std::make_unique<PyFileSource>(reader);
    opened.python = python.get();
    bytes = std::move(python);
  }
  if (codec) {
    bytes = decompressing_in_parallel(*codec, std::move(bytes), threads);
    opened.decompressed = true;
  }
  PyObject* encoding = PyTuple_GET_SIZE(spec) == 5 ? PyTuple_GET_ITEM(spec, 4) : Py_None;
  if (encoding != Py_None) {
    Py_ssize_t encoding_size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(encoding, &encoding_size);
    if (name == nullptr) {
      throw_python_error();
    }
    Result<std::unique_ptr<ByteSource>> text = transcoding(
        std::string_view(name, static_cast<std::size_t>(encoding_size)), std::move(bytes));
    if (!text) {
      PyErr_Format(PyExc_LookupError, "unknown encoding: %U", encoding);
      throw_python_error();
    }
    bytes = std::move(text).value();
    opened.transcoded = true;
  }
  opened.bytes = std::move(bytes);
  return opened;
}

void raise_source_error(const OpenedSource& source, const VornishError& error, bool file_error) {
  switch (error.cause()) {
    case VornishError::Cause::SourceFailed:
      if (source.python != nullptr && source.python->restore()) {
        throw_python_error();
      }
      break;
    case VornishError::Cause::Truncated:
    case VornishError::Cause::Corrupt: {
      const std::string text = source.label + ": " + error.message();
      PyErr_SetString(PyExc_ValueError, text.c_str());
      throw_python_error();
    }
    default:
      break;
  }
  if (file_error) {
    raise_file_error(error);
  }
  raise_engine_error(error);
}

namespace {

constexpr binding::Signature<2> kDecodedHeadSignature{
    "_decoded_head()",
    {{{"file_path", binding::Kind::Text, binding::Default::Required},
      {"codec", binding::Kind::Text, binding::Default::Required}}}};
static_assert(binding::well_formed(kDecodedHeadSignature));

// Enough to recognise any format the front refuses (tar's mark is at 257).
constexpr std::size_t kHeadSize = 512;

// The first decoded bytes of a compressed local file, or None when the
// data ends before its end marker (the run says so as it reads), so the
// front can refuse a binary format inside a codec it does not decode
// itself. Small enough to read with the interpreter lock held.
PyRef decoded_head(const binding::Bound<2>& args) {
  const std::string path(args[0].text());
  PyRef spec = own(Py_BuildValue("(Os#s#)", Py_None, args[1].text().data(),
                                 static_cast<Py_ssize_t>(args[1].text().size()), path.data(),
                                 static_cast<Py_ssize_t>(path.size())));
  const OpenedSource source = open_source(spec.get(), path);
  Result<FileHead> head = read_source_head(*source.bytes, kHeadSize);
  if (!head) {
    if (head.error().cause() == VornishError::Cause::Truncated) {
      return PyRef::borrow(Py_None);
    }
    raise_source_error(source, head.error(), true);
  }
  const std::string& bytes = head.value().bytes;
  return own(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

PyObject* decoded_head_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return barrier([&] { return decoded_head(binding::bind_fast(kDecodedHeadSignature, args, nargs, kwnames)); });
}

PyMethodDef decoded_head_def = {
    "_decoded_head",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decoded_head_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "_decoded_head(file_path, codec)\n--\n\n"
    "The first 512 decoded bytes of a compressed file, or None when it is truncated."};

}  // namespace

PyMethodDef* decoded_head_method() { return &decoded_head_def; }

}  // namespace vornish
