// The module object of _csv_vornish_backend: its definition, its one
// execution slot, and the module functions sniff() and vornish_file().
// open() lives with the reader it makes (reader.cpp).
#include <optional>
#include <string>

#include "engine/decompress.hpp"
#include "engine/vornish.hpp"
#include "heuristics/sniff.hpp"
#include "python/arrow_stream.hpp"
#include "python/barrier.hpp"
#include "python/binding.hpp"
#include "python/dialect.hpp"
#include "python/errors.hpp"
#include "python/reader.hpp"
#include "python/source.hpp"
#include "python/stream.hpp"
#include "python/summary.hpp"

namespace vornish {
namespace {

using binding::Default;
using binding::Kind;
using binding::Signature;
using binding::bind_fast;

constexpr const char* kModuleDoc =
    "High-performance, fault-tolerant CSV vornish and reconstruction engine.\n"
    "\n"
    "Rescues corrupted, broken, and malformed CSV files where strict parsers\n"
    "(Polars, DuckDB, Pandas) abort with ParserError.";

constexpr Signature<1> kSniffSignature{"sniff()", {{{"sample", Kind::Text, Default::Required}}}};

constexpr std::array<binding::Param, 3> kVornishFileHead = {{
    {"input_path", Kind::Text, Default::Required},
    {"output_path", Kind::Text, Default::Required},
    {"quarantine_path", Kind::OptionalText, Default::None},
}};
constexpr Signature<9> kVornishFileSignature{"vornish_file()",
                                             binding::with_options(kVornishFileHead)};
static_assert(binding::well_formed(kSniffSignature));
static_assert(binding::well_formed(kVornishFileSignature));

PyRef sniff(const binding::Bound<1>& args) {
  return own(PyUnicode_FromOrdinal(sniff_delimiter(args[0].text())));
}

PyRef vornish_file_call(const binding::Bound<9>& args) {
  std::optional<std::string> quarantine_path;
  if (const auto path = args[2].optional_text()) {
    quarantine_path.emplace(*path);  // "" stays a path, and fails when opened
  }
  Result<VornishStats> stats =
      vornish_file(std::string(args[0].text()), std::string(args[1].text()), quarantine_path,
                   binding::options_from(args, 3));
  if (!stats) {
    raise_engine_error(stats.error());
  }
  return new_summary(stats.value());
}

// C entry points: one line each, through the barrier.
PyObject* sniff_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return barrier([&] { return sniff(bind_fast(kSniffSignature, args, nargs, kwnames)); });
}
PyObject* vornish_file_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return barrier(
      [&] { return vornish_file_call(bind_fast(kVornishFileSignature, args, nargs, kwnames)); });
}


PyMethodDef vornish_file_def = {
    "vornish_file", as_method(vornish_file_entry), METH_FASTCALL | METH_KEYWORDS,
    "vornish_file(input_path, output_path, quarantine_path=None, delimiter=None, "
    "quote_char=\"\\\"\", fill_ragged_rows=True, merge_overflow=True, expected_columns=None, "
    "repair_quotes=True)\n"
    "--\n"
    "\n"
    "Vornishes a corrupted CSV file and writes a clean, standard RFC-4180 file.\n"
    "\n"
    "Args:\n"
    "    input_path: Path to the corrupted CSV file.\n"
    "    output_path: Path where the repaired CSV file will be written.\n"
    "    quarantine_path: Optional path to write unrecoverable / quarantined rows.\n"
    "    delimiter: Optional single-character delimiter (e.g. \",\" or \";\"). If None, "
    "auto-sniffed.\n"
    "    quote_char: Optional single-character quote enclosure (default '\"').\n"
    "    fill_ragged_rows: If True, pads short rows with empty strings. Default True.\n"
    "    merge_overflow: If True, merges extra tokens into the last column. Default True.\n"
    "    expected_columns: Optional explicit column count. If None, inferred automatically.\n"
    "    repair_quotes: If True, disambiguates and repairs stray internal quotes. Default True."};

PyMethodDef sniff_def = {"sniff", as_method(sniff_entry), METH_FASTCALL | METH_KEYWORDS,
                         "sniff(sample)\n--\n\nDetects the most likely delimiter from a CSV "
                         "string sample."};

void add(PyObject* module, const char* name, PyObject* value) {
  check(PyModule_AddObjectRef(module, name, value));
}

// The attributes are set in this order; the first failure fails the import.
int exec(PyObject* module) {
  add(module, "__version__", own(PyUnicode_FromString("0.1.0")).get());
  add(module, "__doc__", own(PyUnicode_FromString(kModuleDoc)).get());
  PyRef all = own(Py_BuildValue("[sssss]", "vornish_file", "sniff", "open", "VornishSummary",
                                "VornishReader"));
  add(module, "__all__", all.get());

  PyRef module_name = own(PyModule_GetNameObject(module));
  for (PyMethodDef* def :
       {&vornish_file_def, &sniff_def, open_method(), sniff_dialect_method(), stream_method(),
        decoded_head_method()}) {
    PyRef function = own(PyCMethod_New(def, module, module_name.get(), nullptr));
    add(module, def->ml_name, function.get());
  }

  add(module, "VornishSummary", reinterpret_cast<PyObject*>(summary_type()));
  add(module, "VornishReader", reinterpret_cast<PyObject*>(reader_type()));
  // The front package's private entry points, outside __all__.
  add_arrow_entries(module);
  PyRef front_open = own(PyCMethod_New(front_open_method(), module, module_name.get(), nullptr));
  add(module, front_open_method()->ml_name, front_open.get());
  // The codecs the engine decodes itself; the front decodes the others.
  const std::span<const Codec> codecs = native_codecs();
  PyRef codec_names = own(PyTuple_New(static_cast<Py_ssize_t>(codecs.size())));
  for (std::size_t i = 0; i < codecs.size(); ++i) {
    const std::string_view name = codec_name(codecs[i]);
    PyTuple_SET_ITEM(codec_names.get(), static_cast<Py_ssize_t>(i),
                     own(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()))).release());
  }
  add(module, "_native_codecs", codec_names.get());
  return 0;
}

int exec_entry(PyObject* module) {
  return barrier([&] { return exec(module); });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_entry)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_csv_vornish_backend",
    "The native _csv_vornish_backend Python module.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vornish

PyMODINIT_FUNC PyInit__csv_vornish_backend(void) { return PyModuleDef_Init(&vornish::module_def); }
