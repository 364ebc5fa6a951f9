// VornishReader: repairs a whole file in memory at construction, then hands
// out its kept rows one by one as fresh lists of fresh str objects.
//
// The reader owns the file's bytes and the kept rows' offsets into them; a
// row is read back from the bytes only when it is handed out, so the
// rows cost eight bytes each while they wait. No Python object is held,
// hence the empty garbage-collector hooks.
#include "python/reader.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "engine/io.hpp"
#include "engine/vornish.hpp"
#include "python/barrier.hpp"
#include "python/binding.hpp"
#include "python/errors.hpp"
#include "python/source.hpp"
#include "python/summary.hpp"
#include "python/without_gil.hpp"

namespace vornish {
namespace {

using binding::Default;
using binding::Kind;
using binding::Signature;

constexpr std::array<binding::Param, 1> kReaderHead = {
    {{"file_path", Kind::Text, Default::Required}}};
constexpr Signature<7> kNewSignature{"VornishReader.__new__()", binding::with_options(kReaderHead)};
constexpr Signature<7> kOpenSignature{"open()", binding::with_options(kReaderHead)};
constexpr Signature<3> kExitSignature{"VornishReader.__exit__()",
                                      {{{"_exc_type", Kind::Object, Default::None},
                                        {"_exc_val", Kind::Object, Default::None},
                                        {"_exc_tb", Kind::Object, Default::None}}}};
static_assert(binding::well_formed(kNewSignature));
static_assert(binding::well_formed(kOpenSignature));
static_assert(binding::well_formed(kExitSignature));

// The front's open(): the reader's parameters, then where the repair record
// goes (`audit`, a CSV file), whether the changes are counted at all, the
// code page for bytes that are not UTF-8, and the prefix of comment lines
// to set aside.
constexpr std::array<binding::Param, 10> kFrontOpenTail = {{
    {"audit", Kind::OptionalText, Default::None, true},
    {"record", Kind::Switch, Default::False, true},
    {"fallback", Kind::Object, Default::None, true},
    // The front's source spec (python/source.hpp): the whole decompressed
    // input (or file object's) is read into memory instead of the file.
    {"_source", Kind::Object, Default::None, true},
    {"comment", Kind::OptionalText, Default::None, true},
    // The table's layout: its preamble, the rows of a footer at the end, the
    // rows of the table before the other tables (the front's table=), a
    // header of two rows.
    {"skip_rows", Kind::Count, Default::Zero, true},
    {"skip_footer", Kind::Count, Default::Zero, true},
    {"_table_rows", Kind::OptionalCount, Default::None, true},
    {"header_rows", Kind::OptionalCount, Default::None, true},
    {"skip_initial_space", Kind::Switch, Default::False, true},
}};
consteval std::array<binding::Param, 17> front_open_params() {
  const std::array<binding::Param, 7> head = binding::with_options(kReaderHead);
  std::array<binding::Param, 17> all{};
  for (std::size_t i = 0; i < head.size(); ++i) {
    all[i] = head[i];
  }
  for (std::size_t i = 0; i < kFrontOpenTail.size(); ++i) {
    all[head.size() + i] = kFrontOpenTail[i];
  }
  return all;
}
constexpr Signature<17> kFrontOpenSignature{"open()", front_open_params()};
static_assert(binding::well_formed(kFrontOpenSignature));

struct ReaderState {
  ByteBuffer bytes;
  KeptRows rows;  // borrows `bytes`
  VornishStats stats;
  std::size_t next_index = 0;
  // Made on the first row handed out; reuses its scratch for every row.
  std::optional<KeptRows::Cursor> cursor;
};

struct PyVornishReader {
  PyObject_HEAD
  ReaderState* state;
};

ReaderState& state_of(PyObject* self) {
  ReaderState* state = reinterpret_cast<PyVornishReader*>(self)->state;
  if (state == nullptr) {
    fail("VornishReader object without state");
  }
  return *state;
}

PyRef make_reader(PyTypeObject* type, const binding::Bound<7>& args) {
  auto state = std::make_unique<ReaderState>();
  Result<ByteBuffer> file = read_whole_file(std::string(args[0].text()));
  if (!file) {
    raise_file_error(file.error());
  }
  state->bytes = std::move(file).value();
  // The reader never shows quarantined rows, so they are only counted.
  VornishOutcome outcome = vornish_slice_kept(state->bytes.view(), binding::options_from(args, 1));
  state->rows = std::move(outcome.rows);
  state->stats = outcome.stats;

  PyRef object = own(type->tp_alloc(type, 0));
  reinterpret_cast<PyVornishReader*>(object.get())->state = state.release();
  return object;
}

// The front's open(): (reader, changes by action). The file is read and
// repaired without the interpreter lock; the audit file, when asked for,
// is written after the repair, so a file that cannot be read leaves none.
PyRef make_front_reader(const binding::Bound<17>& args) {
  auto state = std::make_unique<ReaderState>();
  VornishOptions options = binding::options_from(args, 1);
  options.fallback = binding::fallback_from(args[9].object());
  options.comment = args[11].optional_text().value_or("");
  options.skip_rows = *args[12].count();
  options.skip_footer = *args[13].count();
  options.table_rows = args[14].count();
  options.join_header = args[15].count() == std::optional<std::size_t>(2);
  options.skip_initial_space = args[16].flag();
  const std::optional<std::string_view> audit_path = args[7].optional_text();
  RepairLog log(audit_path.has_value());
  if (options.fallback) log.set_fallback_name(options.fallback->name());
  const bool record = args[8].flag() || audit_path.has_value();
  std::optional<OpenedSource> source;
  if (args[10].object() != Py_None) {
    source.emplace(open_source(args[10].object(), args[0].text()));
  }
  std::optional<VornishError> failed;
  {
    WithoutGil released;
    Result<ByteBuffer> file = source ? read_whole_source(*source->bytes)
                                     : read_whole_file(std::string(args[0].text()));
    if (!file) {
      failed = file.error();
    } else {
      state->bytes = std::move(file).value();
      VornishOutcome outcome =
          vornish_slice_kept(state->bytes.view(), options, record ? &log : nullptr);
      state->rows = std::move(outcome.rows);
      state->stats = outcome.stats;
      if (audit_path) {
        Result<AuditFile> audit = AuditFile::create(std::string(*audit_path));
        Status written = audit ? audit.value().write(log) : Status(audit.error());
        if (written) {
          written = audit.value().finish();
        }
        if (!written) {
          failed = written.error();
        }
      }
    }
  }
  if (failed) {
    if (source) {
      raise_source_error(*source, *failed, true);
    }
    raise_file_error(*failed);
  }
  PyTypeObject* type = reader_type();
  PyRef object = own(type->tp_alloc(type, 0));
  reinterpret_cast<PyVornishReader*>(object.get())->state = state.release();
  PyRef actions = new_action_counts(log.counts());
  return own(PyTuple_Pack(2, object.get(), actions.get()));
}

// Builds the str of a field the tokenizer has already found well-formed:
// the lead bytes alone tell the length and the widest character, so the
// string is made at its final size and kind and filled in one pass,
// without the general decoder's error handling and resizing.
PyRef decode_valid_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  Py_ssize_t length = 0;
  Py_UCS4 widest = 0;
  for (std::size_t i = 0; i < n; ++length) {
    const unsigned char lead = p[i];
    if (lead < 0x80) {
      i += 1;
    } else if (lead < 0xE0) {
      // C2 and C3 lead U+0080..U+00FF; later two-byte leads go beyond.
      widest = std::max<Py_UCS4>(widest, lead < 0xC4 ? 0xFF : 0xFFFF);
      i += 2;
    } else if (lead < 0xF0) {
      widest = std::max<Py_UCS4>(widest, 0xFFFF);
      i += 3;
    } else {
      widest = 0x10FFFF;
      i += 4;
    }
  }
  PyRef object = own(PyUnicode_New(length, widest == 0 ? 127 : widest));
  const int kind = PyUnicode_KIND(object.get());
  void* out = PyUnicode_DATA(object.get());
  Py_ssize_t at = 0;
  for (std::size_t i = 0; i < n; ++at) {
    const unsigned char lead = p[i];
    Py_UCS4 c;
    if (lead < 0x80) {
      c = lead;
      i += 1;
    } else if (lead < 0xE0) {
      c = (static_cast<Py_UCS4>(lead & 0x1F) << 6) | (p[i + 1] & 0x3Fu);
      i += 2;
    } else if (lead < 0xF0) {
      c = (static_cast<Py_UCS4>(lead & 0x0F) << 12) | (static_cast<Py_UCS4>(p[i + 1] & 0x3F) << 6) |
          (p[i + 2] & 0x3Fu);
      i += 3;
    } else {
      c = (static_cast<Py_UCS4>(lead & 0x07) << 18) | (static_cast<Py_UCS4>(p[i + 1] & 0x3F) << 12) |
          (static_cast<Py_UCS4>(p[i + 2] & 0x3F) << 6) | (p[i + 3] & 0x3Fu);
      i += 4;
    }
    PyUnicode_WRITE(kind, out, at, c);
  }
  return object;
}

// Fields arrive as valid UTF-8 with an ASCII flag; ASCII ones are copied
// straight into a compact ASCII str without decoding.
PyRef field_text(const FieldView& field) {
  const auto size = static_cast<Py_ssize_t>(field.text.size());
  if (!field.ascii) {
    return decode_valid_utf8(field.text);
  }
  PyRef text = own(PyUnicode_New(size, 127));
  if (size > 0) {
    std::memcpy(PyUnicode_DATA(text.get()), field.text.data(), field.text.size());
  }
  return text;
}

PyRef next_row(PyObject* self) {
  ReaderState& s = state_of(self);
  if (s.next_index >= s.rows.size()) {
    return PyRef();  // no exception set: the iteration ends
  }
  if (!s.cursor) {
    s.cursor.emplace(s.rows);
  }
  const RowView row = s.cursor->read(s.next_index);
  PyRef list = own(PyList_New(static_cast<Py_ssize_t>(row.size())));
  for (std::size_t i = 0; i < row.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), field_text(row[i]).release());
  }
  // Moved on only once the row is built, so a failure (memory) loses no row.
  ++s.next_index;
  return list;
}

Py_ssize_t length(PyObject* self) { return static_cast<Py_ssize_t>(state_of(self).rows.size()); }

int traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  delete std::exchange(reinterpret_cast<PyVornishReader*>(self)->state, nullptr);
  type->tp_free(self);
  Py_DECREF(type);
}

// C entry points: one line each, through the barrier.
PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return barrier([&] {
    return make_reader(type, binding::bind_tuple(kNewSignature, args, kwargs));
  });
}
PyObject* open_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return barrier([&] {
    return make_reader(reader_type(), binding::bind_fast(kOpenSignature, args, nargs, kwnames));
  });
}
PyObject* front_open_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return barrier([&] {
    return make_front_reader(binding::bind_fast(kFrontOpenSignature, args, nargs, kwnames));
  });
}
PyObject* iter_entry(PyObject* self) {
  return barrier([&] { return PyRef::borrow(self); });
}
PyObject* next_entry(PyObject* self) {
  return barrier([&] { return next_row(self); });
}
Py_ssize_t length_entry(PyObject* self) {
  return barrier([&] { return length(self); });
}
PyObject* summary_get(PyObject* self, void*) {
  return barrier([&] { return new_summary(state_of(self).stats); });
}
PyObject* enter_entry(PyObject* self, PyObject*) {
  return barrier([&] { return PyRef::borrow(self); });
}
PyObject* exit_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return barrier([&] {
    binding::bind_fast(kExitSignature, args, nargs, kwnames);
    return PyRef::borrow(Py_False);
  });
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


PyMethodDef methods[] = {
    {"__enter__", enter_entry, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", as_method(exit_entry), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, _exc_type=None, _exc_val=None, _exc_tb=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"summary", summary_get, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "VornishReader(file_path, delimiter=None, quote_char=\"\\\"\", "
                    "fill_ragged_rows=True, merge_overflow=True, expected_columns=None, "
                    "repair_quotes=True)\n--\n\n"
                    "In-memory streaming reader iterating over vornished rows.")},
    {Py_tp_new, slot_fn(new_entry)},
    {Py_tp_dealloc, slot_fn(dealloc_entry)},
    {Py_tp_traverse, slot_fn(traverse_entry)},
    {Py_tp_clear, slot_fn(clear_entry)},
    {Py_tp_iter, slot_fn(iter_entry)},
    {Py_tp_iternext, slot_fn(next_entry)},
    {Py_mp_length, slot_fn(length_entry)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

// Immutable, like the built-in types: the one type object is shared by
// every module object of the process.
PyType_Spec spec = {
    "builtins.VornishReader",
    sizeof(PyVornishReader),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

PyMethodDef open_def = {
    "open", as_method(open_entry), METH_FASTCALL | METH_KEYWORDS,
    "open(file_path, delimiter=None, quote_char=\"\\\"\", fill_ragged_rows=True, "
    "merge_overflow=True, expected_columns=None, repair_quotes=True)\n--\n\n"
    "Convenience function to open and stream a vornished CSV file."};

PyMethodDef front_open_def = {
    "_open", as_method(front_open_entry), METH_FASTCALL | METH_KEYWORDS,
    "_open(file_path, delimiter=None, quote_char=\"\\\"\", fill_ragged_rows=True, "
    "merge_overflow=True, expected_columns=None, repair_quotes=True, *, audit=None, "
    "record=False, fallback=None, _source=None, comment=None, skip_rows=0, skip_footer=0, "
    "_table_rows=None, header_rows=None, skip_initial_space=False)\n--\n\n"
    "open() for csv_vornish: (reader, changes by action), read without the interpreter "
    "lock."};

}  // namespace

PyTypeObject* reader_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = own(PyType_FromSpec(&spec)).release();
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

PyMethodDef* open_method() { return &open_def; }

PyMethodDef* front_open_method() { return &front_open_def; }

}  // namespace vornish
