// RepairRecords: the records are complete and immutable when the object is
// made, so every __arrow_c_stream__ call exports them afresh as one batch;
// the exported stream shares the log and needs no Python to be read.
#include "python/repair_records.hpp"

#include <cerrno>
#include <new>
#include <string>
#include <utility>

#include "engine/arrow_abi.hpp"
#include "engine/repair_log_arrow.hpp"
#include "python/arrow_capsules.hpp"
#include "python/barrier.hpp"
#include "python/binding.hpp"

namespace vornish {
namespace {

using binding::Default;
using binding::Kind;
using binding::Signature;

constexpr Signature<1> kStreamSignature{"RepairRecords.__arrow_c_stream__()",
                                        {{{"requested_schema", Kind::Object, Default::None}}}};
static_assert(binding::well_formed(kStreamSignature));

// --- The C stream: no Python in here ------------------------------------

struct StreamData {
  std::shared_ptr<const RepairLog> log;
  bool sent = false;
  std::string last_error;
};

int get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  auto* data = static_cast<StreamData*>(stream->private_data);
  try {
    export_repair_schema(out);
    return 0;
  } catch (const std::bad_alloc&) {
    data->last_error = "out of memory";
    return ENOMEM;
  }
}

int get_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto* data = static_cast<StreamData*>(stream->private_data);
  try {
    if (data->sent) {
      out->release = nullptr;
      return 0;
    }
    export_repair_batch(*data->log, out);
    data->sent = true;
    return 0;
  } catch (const std::bad_alloc&) {
    data->last_error = "out of memory";
    return ENOMEM;
  }
}

const char* get_last_error(ArrowArrayStream* stream) {
  auto* data = static_cast<StreamData*>(stream->private_data);
  return data->last_error.empty() ? nullptr : data->last_error.c_str();
}

void release_stream(ArrowArrayStream* stream) {
  delete static_cast<StreamData*>(stream->private_data);
  stream->private_data = nullptr;
  stream->release = nullptr;
}

// --- The Python object ---------------------------------------------------

struct PyRepairRecords {
  PyObject_HEAD
  std::shared_ptr<const RepairLog>* log;
};

const RepairLog& log_of(PyObject* self) {
  auto* log = reinterpret_cast<PyRepairRecords*>(self)->log;
  if (log == nullptr || !*log) {
    fail("RepairRecords object without records");
  }
  return **log;
}

PyRef arrow_c_stream(PyObject* self, const binding::Bound<1>& /*args*/) {
  log_of(self);
  auto data = std::make_unique<StreamData>();
  data->log = *reinterpret_cast<PyRepairRecords*>(self)->log;
  auto stream = std::make_unique<ArrowArrayStream>(ArrowArrayStream{
      &get_schema, &get_next, &get_last_error, &release_stream, data.get()});
  static_cast<void>(data.release());
  return stream_capsule(std::move(stream));
}

PyRef arrow_c_schema(PyObject* /*self*/) {
  auto schema = std::make_unique<ArrowSchema>();
  export_repair_schema(schema.get());
  return schema_capsule(std::move(schema));
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete std::exchange(reinterpret_cast<PyRepairRecords*>(self)->log, nullptr);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* arrow_c_stream_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return barrier([&] {
    return arrow_c_stream(self, binding::bind_fast(kStreamSignature, args, nargs, kwnames));
  });
}
PyObject* arrow_c_schema_entry(PyObject* self, PyObject*) {
  return barrier([&] { return arrow_c_schema(self); });
}
Py_ssize_t length_entry(PyObject* self) {
  return barrier([&] { return static_cast<Py_ssize_t>(log_of(self).size()); });
}
void dealloc_entry(PyObject* self) {
  barrier([&] { dealloc(self); });
}

PyMethodDef methods[] = {
    {"__arrow_c_stream__", as_method(arrow_c_stream_entry), METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"
     "The records as an Arrow C stream of one batch in a PyCapsule named "
     "\"arrow_array_stream\"."},
    {"__arrow_c_schema__", arrow_c_schema_entry, METH_NOARGS,
     "__arrow_c_schema__($self)\n--\n\n"
     "The records' schema in a PyCapsule named \"arrow_schema\"."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "The repair record of a run: one row per change, with the columns line, "
                    "offset, column, action, detail and raw.\n\n"
                    "Hand it to pyarrow.table(), polars.DataFrame() and the like.")},
    {Py_tp_dealloc, slot_fn(dealloc_entry)},
    {Py_tp_methods, methods},
    {Py_mp_length, slot_fn(length_entry)},
    {0, nullptr},
};

PyType_Spec spec = {
    "csv_vornish.RepairRecords",
    sizeof(PyRepairRecords),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

}  // namespace

PyTypeObject* records_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = own(PyType_FromSpec(&spec)).release();
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

PyRef new_records(std::shared_ptr<const RepairLog> log) {
  PyTypeObject* type = records_type();
  PyRef object = own(type->tp_alloc(type, 0));
  reinterpret_cast<PyRepairRecords*>(object.get())->log =
      new std::shared_ptr<const RepairLog>(std::move(log));
  return object;
}

}  // namespace vornish
