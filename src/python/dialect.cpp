// _sniff_dialect(file_path, sample_size=None): reads the start of a file
// and returns the dialect detected in it as a plain tuple, which the front
// package turns into its Dialect class.
//
// The file read and the detection run without the interpreter lock: they
// touch no Python object.
#include "python/dialect.hpp"

#include <optional>
#include <string>

#include "engine/io.hpp"
#include "heuristics/dialect.hpp"
#include "python/barrier.hpp"
#include "python/binding.hpp"
#include "python/errors.hpp"
#include "python/source.hpp"
#include "python/without_gil.hpp"

namespace vornish {
namespace {

using binding::Default;
using binding::Kind;
using binding::Signature;

// How much of the file is read when the caller does not say.
constexpr std::size_t kDefaultSampleSize = std::size_t{64} << 10;

constexpr Signature<3> kSniffDialectSignature{
    "_sniff_dialect()",
    {{{"file_path", Kind::Text, Default::Required},
      {"sample_size", Kind::OptionalPositive, Default::None},
      // The front's source spec (python/source.hpp).
      {"_source", Kind::Object, Default::None, true}}}};
static_assert(binding::well_formed(kSniffDialectSignature));

PyRef sniff_dialect(const binding::Bound<3>& args) {
  const std::string path(args[0].text());
  const std::size_t sample_size = args[1].count().value_or(kDefaultSampleSize);
  std::optional<OpenedSource> source;
  if (args[2].object() != Py_None) {
    source.emplace(open_source(args[2].object(), path));
  }
  std::optional<Result<FileHead>> head;
  SniffedDialect dialect;
  {
    WithoutGil unlocked;
    head.emplace(source ? read_source_head(*source->bytes, sample_size)
                        : read_file_head(path, sample_size));
    if (*head) {
      dialect = detect_dialect(head->value().bytes, head->value().whole);
    }
  }
  if (!*head) {
    if (source) {
      raise_source_error(*source, head->error(), true);
    }
    raise_file_error(head->error());
  }
  // A table of one column has no delimiter: None rather than a made-up one.
  PyRef delimiter = dialect.delimiter == 0 ? PyRef::borrow(Py_None) : own(PyUnicode_FromOrdinal(dialect.delimiter));
  PyRef quote_char = own(PyUnicode_FromOrdinal(dialect.quote_char));
  PyRef comment = dialect.comment.empty()
                      ? PyRef::borrow(Py_None)
                      : own(PyUnicode_FromStringAndSize(dialect.comment.data(),
                                                        static_cast<Py_ssize_t>(dialect.comment.size())));
  PyRef tables = own(PyTuple_New(static_cast<Py_ssize_t>(dialect.tables.size())));
  for (std::size_t i = 0; i < dialect.tables.size(); ++i) {
    const SniffedTable& t = dialect.tables[i];
    PyObject* entry = Py_BuildValue("(nnnnO)", static_cast<Py_ssize_t>(t.skip_rows),
                                    static_cast<Py_ssize_t>(t.columns), static_cast<Py_ssize_t>(t.header_rows),
                                    static_cast<Py_ssize_t>(t.rows), t.ends ? Py_True : Py_False);
    PyTuple_SET_ITEM(tables.get(), static_cast<Py_ssize_t>(i), own(entry).release());
  }
  return own(Py_BuildValue("(OOOnOnOnnO)", delimiter.get(), quote_char.get(),
                           dialect.skip_initial_space ? Py_True : Py_False,
                           static_cast<Py_ssize_t>(dialect.skip_rows),
                           dialect.header ? Py_True : Py_False,
                           static_cast<Py_ssize_t>(dialect.columns), comment.get(),
                           static_cast<Py_ssize_t>(dialect.header_rows),
                           static_cast<Py_ssize_t>(dialect.skip_footer), tables.get()));
}

PyObject* sniff_dialect_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return barrier(
      [&] { return sniff_dialect(binding::bind_fast(kSniffDialectSignature, args, nargs, kwnames)); });
}

PyMethodDef sniff_dialect_def = {
    "_sniff_dialect",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sniff_dialect_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "_sniff_dialect(file_path, sample_size=None, *, _source=None)\n--\n\n"
    "Detects the dialect of the first sample_size bytes (default 65536) of a CSV file.\n"
    "Returns (delimiter, quote_char, skip_initial_space, skip_rows, header, columns,\n"
    "comment, header_rows, skip_footer, tables), each table (skip_rows, columns, header_rows, rows, ends)."};

}  // namespace

PyMethodDef* sniff_dialect_method() { return &sniff_dialect_def; }

}  // namespace vornish
