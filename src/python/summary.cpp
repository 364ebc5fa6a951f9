// VornishSummary: an immutable record of one run's counts, readable through
// six properties, to_dict() and its repr. Python code can neither create nor
// change one; only vornish_file and VornishReader.summary hand them out.
#include "python/summary.hpp"

#include <new>

#include "python/barrier.hpp"

namespace vornish {
namespace {

struct PyVornishSummary {
  PyObject_HEAD
  VornishStats stats;
};

const VornishStats& stats_of(PyObject* self) {
  return reinterpret_cast<PyVornishSummary*>(self)->stats;
}

PyRef delimiter_text(const VornishStats& stats) {
  return own(PyUnicode_FromOrdinal(static_cast<int>(stats.detected_delimiter)));
}

PyRef count(std::size_t value) { return own(PyLong_FromSize_t(value)); }

PyRef to_dict(PyObject* self) {
  const VornishStats& s = stats_of(self);
  PyRef dict = own(PyDict_New());
  const auto put = [&dict](const char* key, PyRef value) {
    check(PyDict_SetItemString(dict.get(), key, value.get()));
  };
  put("total_rows", count(s.total_rows));
  put("vornished_rows", count(s.vornished_rows));
  put("repaired_rows", count(s.repaired_rows));
  put("quarantined_rows", count(s.quarantined_rows));
  put("detected_delimiter", delimiter_text(s));
  put("inferred_columns", count(s.inferred_columns));
  return dict;
}

PyRef repr(PyObject* self) {
  const VornishStats& s = stats_of(self);
  PyRef delimiter = delimiter_text(s);
  return own(PyUnicode_FromFormat(
      "<VornishSummary total_rows=%zu vornished_rows=%zu repaired_rows=%zu quarantined_rows=%zu "
      "delimiter='%U' inferred_columns=%zu>",
      s.total_rows, s.vornished_rows, s.repaired_rows, s.quarantined_rows, delimiter.get(),
      s.inferred_columns));
}

// The object refers to no Python object but its heap type.
int traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// C entry points: one line each, through the barrier.
PyObject* total_rows_get(PyObject* self, void*) {
  return barrier([&] { return count(stats_of(self).total_rows); });
}
PyObject* vornished_rows_get(PyObject* self, void*) {
  return barrier([&] { return count(stats_of(self).vornished_rows); });
}
PyObject* repaired_rows_get(PyObject* self, void*) {
  return barrier([&] { return count(stats_of(self).repaired_rows); });
}
PyObject* quarantined_rows_get(PyObject* self, void*) {
  return barrier([&] { return count(stats_of(self).quarantined_rows); });
}
PyObject* detected_delimiter_get(PyObject* self, void*) {
  return barrier([&] { return delimiter_text(stats_of(self)); });
}
PyObject* inferred_columns_get(PyObject* self, void*) {
  return barrier([&] { return count(stats_of(self).inferred_columns); });
}
PyObject* to_dict_entry(PyObject* self, PyObject*) {
  return barrier([&] { return to_dict(self); });
}
PyObject* repr_entry(PyObject* self) {
  return barrier([&] { return repr(self); });
}
int traverse_entry(PyObject* self, visitproc visit, void* arg) {
  return barrier([&] { return traverse(self, visit, arg); });
}
int clear_entry(PyObject*) {
  return barrier([] { return 0; });
}
void dealloc_entry(PyObject* self) {
  barrier([&] { dealloc(self); });
}

PyGetSetDef getset[] = {
    {"total_rows", total_rows_get, nullptr, nullptr, nullptr},
    {"vornished_rows", vornished_rows_get, nullptr, nullptr, nullptr},
    {"repaired_rows", repaired_rows_get, nullptr, nullptr, nullptr},
    {"quarantined_rows", quarantined_rows_get, nullptr, nullptr, nullptr},
    {"detected_delimiter", detected_delimiter_get, nullptr, nullptr, nullptr},
    {"inferred_columns", inferred_columns_get, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"to_dict", to_dict_entry, METH_NOARGS,
     "to_dict($self)\n--\n\nConverts the summary into a native Python dictionary."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Python-exposed summary of a vornish operation.")},
    {Py_tp_dealloc, slot_fn(dealloc_entry)},
    {Py_tp_traverse, slot_fn(traverse_entry)},
    {Py_tp_clear, slot_fn(clear_entry)},
    {Py_tp_repr, slot_fn(repr_entry)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

// Immutable, like the built-in types: the one type object is shared by
// every module object of the process.
PyType_Spec spec = {
    "builtins.VornishSummary",
    sizeof(PyVornishSummary),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

PyTypeObject* summary_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = own(PyType_FromSpec(&spec)).release();
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

PyRef new_summary(const VornishStats& stats) {
  PyTypeObject* type = summary_type();
  PyRef object = own(type->tp_alloc(type, 0));
  new (&reinterpret_cast<PyVornishSummary*>(object.get())->stats) VornishStats(stats);
  return object;
}

PyRef new_action_counts(const ActionCounts& counts) {
  PyRef dict = own(PyDict_New());
  for (std::size_t i = 0; i < kRepairActions; ++i) {
    const std::string_view name = action_name(static_cast<RepairAction>(i));
    PyRef key = own(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    PyRef value = own(PyLong_FromUnsignedLongLong(counts[i]));
    check(PyDict_SetItem(dict.get(), key.get(), value.get()));
  }
  return dict;
}

PyRef new_front_result(const VornishStats& stats, const ActionCounts& counts) {
  PyRef summary = new_summary(stats);
  PyRef actions = new_action_counts(counts);
  return own(PyTuple_Pack(2, summary.get(), actions.get()));
}

}  // namespace vornish
