// _read_arrow(): repaired rows as an Arrow C stream behind a PyCapsule.
//
// The stream's callbacks are called by consumers on any thread, with or
// without the interpreter lock, so nothing behind them touches a Python
// object: they share a mutex-guarded state with the Python object, which
// reads the summary from it once the consumer has read to the end. The
// stream owns the engine's source; releasing the stream (the consumer's
// job, or the capsule's when no consumer took it) frees the source and
// its file mapping at once, whatever the Python object does.
#include "python/arrow_stream.hpp"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/arrow_abi.hpp"
#include "engine/batch_source.hpp"
#include "engine/repair_log_arrow.hpp"
#include "python/arrow_capsules.hpp"
#include "python/barrier.hpp"
#include "python/binding.hpp"
#include "python/errors.hpp"
#include "python/repair_records.hpp"
#include "python/source.hpp"
#include "python/summary.hpp"
#include "python/without_gil.hpp"

namespace vornish {
namespace {

using binding::Default;
using binding::Kind;
using binding::Signature;

constexpr std::array<binding::Param, 1> kReadArrowHead = {
    {{"file_path", Kind::Text, Default::Required}}};
// range_begin to table_columns read one byte range of a file with a
// dialect settled from its start by the caller (the delimiter and
// expected_columns given above); the front's cluster reader splits files
// with them. large_strings gives 64-bit offsets whatever the size, which is
// what a pandas string column holds: converting to it is then no copy.
// audit: a path for the repair record's CSV file, or True to keep the
// records for `ArrowRowStream.audit`; record: count the changes by action.
constexpr std::array<binding::Param, 13> kReadArrowTail = {{
    {"header", Kind::Switch, Default::True, true},
    {"threads", Kind::OptionalPositive, Default::None, true},
    {"chunk_size", Kind::OptionalPositive, Default::None, true},
    {"skip_initial_space", Kind::Switch, Default::False, true},
    {"skip_rows", Kind::Count, Default::Zero, true},
    {"range_begin", Kind::OptionalCount, Default::None, true},
    {"range_end", Kind::OptionalCount, Default::None, true},
    {"first_line", Kind::OptionalCount, Default::None, true},
    {"table_columns", Kind::OptionalCount, Default::None, true},
    {"large_strings", Kind::Switch, Default::False, true},
    {"audit", Kind::Object, Default::None, true},
    {"record", Kind::Switch, Default::False, true},
    {"fallback", Kind::Object, Default::None, true},
}};
// Typed columns, in the front's canonical spelling: `types` None (every
// column text) or a tuple of (name or 1-based position, type code) pairs
// overriding inference; `null_values` None or a list of str.
// `type_counts`: None, or per column the list that _type_counts() gives,
// added up over the pieces of a table read apart.
constexpr std::array<binding::Param, 6> kReadArrowTypes = {{
    {"types", Kind::Object, Default::None, true},
    {"null_values", Kind::Object, Default::None, true},
    {"decimal", Kind::OptionalText, Default::None, true},
    {"thousands", Kind::OptionalText, Default::None, true},
    {"date_format", Kind::OptionalText, Default::None, true},
    {"type_counts", Kind::Object, Default::None, true},
}};
// The front's source spec (python/source.hpp): compressed files, file
// objects.
constexpr binding::Param kReadArrowSource = {"_source", Kind::Object, Default::None, true};
// comment: rows whose first field starts with it are set aside.
constexpr binding::Param kReadArrowComment = {"comment", Kind::OptionalText, Default::None, true};
// The table's layout: rows of a footer at the end, the rows of the table
// before the other tables (the front's table=), a header of two rows.
constexpr std::array<binding::Param, 3> kReadArrowTableLayout = {{
    {"skip_footer", Kind::Count, Default::Zero, true},
    {"_table_rows", Kind::OptionalCount, Default::None, true},
    {"header_rows", Kind::OptionalCount, Default::None, true},
}};

// string_layout: "string", "large_string" or "string_view", overriding
// large_strings; None: as large_strings and the input's size say.
constexpr binding::Param kReadArrowStringLayout = {"string_layout", Kind::OptionalText,
                                                   Default::None, true};

consteval std::array<binding::Param, 32> read_arrow_params() {
  const std::array<binding::Param, 7> head = binding::with_options(kReadArrowHead);
  std::array<binding::Param, 32> all{};
  for (std::size_t i = 0; i < 7; ++i) {
    all[i] = head[i];
  }
  for (std::size_t i = 0; i < kReadArrowTail.size(); ++i) {
    all[7 + i] = kReadArrowTail[i];
  }
  for (std::size_t i = 0; i < kReadArrowTypes.size(); ++i) {
    all[20 + i] = kReadArrowTypes[i];
  }
  all[26] = kReadArrowSource;
  all[27] = kReadArrowComment;
  for (std::size_t i = 0; i < kReadArrowTableLayout.size(); ++i) {
    all[28 + i] = kReadArrowTableLayout[i];
  }
  all[31] = kReadArrowStringLayout;
  return all;
}

constexpr Signature<32> kReadArrowSignature{"read_arrow()", read_arrow_params()};

constexpr Signature<7> kRowStartsSignature{"_row_starts()",
                                           {{{"file_path", Kind::Text, Default::Required},
                                             {"delimiter", Kind::DelimiterByte, Default::None},
                                             {"quote_char", Kind::QuoteByte, Default::DoubleQuote},
                                             {"repair_quotes", Kind::Switch, Default::True},
                                             {"skip_initial_space", Kind::Switch, Default::False},
                                             {"every", Kind::OptionalPositive, Default::None},
                                             kReadArrowSource}}};
constexpr Signature<1> kStreamSignature{"ArrowRowStream.__arrow_c_stream__()",
                                        {{{"requested_schema", Kind::Object, Default::None}}}};
static_assert(binding::well_formed(kReadArrowSignature));
static_assert(binding::well_formed(kStreamSignature));
static_assert(binding::well_formed(kRowStartsSignature));

constexpr const char* kConsumed =
    "this ArrowRowStream has already been consumed; call read_arrow() again to read the "
    "file again";
constexpr const char* kNotFinished =
    "the summary is known once the stream has been read to its end";
constexpr const char* kRecordsNotFinished =
    "the repair record is known once the stream has been read to its end";
constexpr const char* kNoRecords =
    "read_arrow() kept no repair record: pass audit=True to keep it";

// What the Python object and the exported stream share.
struct Shared {
  std::mutex mutex;
  std::unique_ptr<BatchSource> source;  // null once the stream is released
  VornishStats stats;
  std::vector<std::uint64_t> nulled;
  // Taken from the source when it ends: the counts, and the records when
  // they were asked to be kept.
  std::shared_ptr<const RepairLog> log;
  bool finished = false;
};

struct StreamData {
  std::shared_ptr<Shared> shared;
  std::vector<std::string> names;
  StringWidth width;
  std::shared_ptr<const TableTypes> types;
  std::string last_error;
};

// --- The C stream: no Python in here ------------------------------------

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  auto* data = static_cast<StreamData*>(stream->private_data);
  try {
    export_schema(data->names, data->width, out, data->types.get());
    return 0;
  } catch (const std::bad_alloc&) {
    data->last_error = "out of memory";
    return ENOMEM;
  } catch (...) {
    data->last_error = "exporting the schema failed";
    return EIO;
  }
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto* data = static_cast<StreamData*>(stream->private_data);
  try {
    std::lock_guard lock(data->shared->mutex);
    Shared& shared = *data->shared;
    if (!shared.source) {
      out->release = nullptr;
      return 0;
    }
    switch (shared.source->next_batch(out)) {
      case BatchSource::Next::Batch:
        return 0;
      case BatchSource::Next::End:
        shared.stats = shared.source->stats();
        shared.nulled = shared.source->nulled_cells();
        shared.log = std::make_shared<const RepairLog>(std::move(shared.source->repair_log()));
        shared.finished = true;
        // Done with the file: its mapping goes now, not when the consumer
        // gets round to releasing the stream.
        shared.source.reset();
        out->release = nullptr;
        return 0;
      case BatchSource::Next::Failed:
        data->last_error = shared.source->failure();
        return EIO;
    }
    data->last_error = "unknown batch status";
    return EIO;
  } catch (const std::bad_alloc&) {
    data->last_error = "out of memory";
    return ENOMEM;
  } catch (...) {
    data->last_error = "reading the next batch failed";
    return EIO;
  }
}

const char* stream_get_last_error(ArrowArrayStream* stream) {
  auto* data = static_cast<StreamData*>(stream->private_data);
  return data->last_error.empty() ? nullptr : data->last_error.c_str();
}

void stream_release(ArrowArrayStream* stream) {
  auto* data = static_cast<StreamData*>(stream->private_data);
  {
    std::lock_guard lock(data->shared->mutex);
    data->shared->source.reset();
  }
  delete data;
  stream->private_data = nullptr;
  stream->release = nullptr;
}

// --- The Python object ---------------------------------------------------

struct StreamState {
  std::shared_ptr<Shared> shared;
  std::vector<std::string> names;
  StringWidth width = StringWidth::Utf8;
  std::shared_ptr<const TableTypes> types;
  std::vector<ColumnCounts> type_counts;
  bool consumed = false;
  // As settled when the stream was made; delimiter 0 when nothing was.
  char32_t delimiter = 0;
  std::size_t expected_columns = 0;
  std::uint64_t data_begin = 0;
  bool keeps_records = false;
  bool counts = false;
};

struct PyArrowRowStream {
  PyObject_HEAD
  StreamState* state;
};

StreamState& state_of(PyObject* self) {
  StreamState* state = reinterpret_cast<PyArrowRowStream*>(self)->state;
  if (state == nullptr) {
    fail("ArrowRowStream object without state");
  }
  return *state;
}

PyTypeObject* stream_type();

// The type choices of `types` (a tuple of (str or int, str) pairs).
void read_type_choices(PyObject* types, TypeRequest& request) {
  PyRef items = own(PySequence_Fast(types, "types must be a tuple of (column, type) pairs"));
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PySequence_Fast_GET_ITEM(items.get(), i);
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
      PyErr_SetString(PyExc_TypeError, "types must be a tuple of (column, type) pairs");
      throw_python_error();
    }
    PyObject* key = PyTuple_GET_ITEM(pair, 0);
    PyObject* code = PyTuple_GET_ITEM(pair, 1);
    TypeRequest::Choice choice;
    if (PyUnicode_Check(key)) {
      Py_ssize_t size = 0;
      const char* text = PyUnicode_AsUTF8AndSize(key, &size);
      if (text == nullptr) {
        throw_python_error();
      }
      choice.name = std::string(text, static_cast<std::size_t>(size));
    } else {
      const Py_ssize_t position = PyLong_AsSsize_t(key);
      if (position == -1 && PyErr_Occurred()) {
        throw_python_error();
      }
      if (position < 1) {
        PyErr_SetString(PyExc_ValueError, "a column position in types counts from 1");
        throw_python_error();
      }
      choice.position = static_cast<std::size_t>(position);
    }
    const char* name = PyUnicode_Check(code) ? PyUnicode_AsUTF8(code) : nullptr;
    if (name == nullptr) {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, "a type in types must be a str");
      throw_python_error();
    }
    const std::string_view spelled(name);
    static constexpr std::pair<std::string_view, CellType> kCodes[] = {
        {"string", CellType::String}, {"bool", CellType::Bool},
        {"int64", CellType::Int64},   {"float64", CellType::Float64},
        {"date32", CellType::Date32}, {"timestamp[us]", CellType::Timestamp},
        {"timestamp[ns]", CellType::Timestamp}, {"timestamp[us, tz=UTC]", CellType::Timestamp},
        {"timestamp[ns, tz=UTC]", CellType::Timestamp}};
    bool known = false;
    for (const auto& [text, type] : kCodes) {
      if (text == spelled) {
        choice.type = type;
        known = true;
      }
    }
    if (!known) {
      PyErr_Format(PyExc_ValueError, "unknown column type '%s'", name);
      throw_python_error();
    }
    choice.nanos = spelled.starts_with("timestamp[ns");
    choice.utc = spelled.ends_with("tz=UTC]");
    request.choices.push_back(std::move(choice));
  }
}

TypeRequest read_type_request(const binding::Bound<32>& args) {
  TypeRequest request;
  PyObject* types = args[20].object();
  if (types == nullptr || types == Py_None) {
    return request;
  }
  request.infer = true;
  read_type_choices(types, request);
  PyObject* nulls = args[21].object();
  if (nulls != nullptr && nulls != Py_None) {
    PyRef items = own(PySequence_Fast(nulls, "null_values must be a list of str"));
    std::vector<std::string> markers;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
      PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
      Py_ssize_t size = 0;
      const char* text = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
      if (text == nullptr) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "null_values must be a list of str");
        throw_python_error();
      }
      markers.emplace_back(text, static_cast<std::size_t>(size));
    }
    request.null_values = std::move(markers);
  }
  if (const std::optional<std::string_view> decimal = args[22].optional_text()) {
    if (*decimal != "." && *decimal != ",") {
      PyErr_SetString(PyExc_ValueError, "decimal must be '.' or ','");
      throw_python_error();
    }
    request.hints.decimal = decimal->front();
  }
  if (const std::optional<std::string_view> thousands = args[23].optional_text()) {
    if (*thousands != "," && *thousands != "." && *thousands != " " && !thousands->empty()) {
      PyErr_SetString(PyExc_ValueError, "thousands must be ',', '.', ' ' or ''");
      throw_python_error();
    }
    request.hints.thousands = thousands->empty() ? '\0' : thousands->front();
  }
  if (PyObject* counts = args[25].object(); counts != nullptr && counts != Py_None) {
    constexpr const char* kShape = "type_counts must be a list of lists of counts";
    PyRef columns = own(PySequence_Fast(counts, kShape));
    std::vector<ColumnCounts> read;
    for (Py_ssize_t c = 0; c < PySequence_Fast_GET_SIZE(columns.get()); ++c) {
      PyRef numbers = own(PySequence_Fast(PySequence_Fast_GET_ITEM(columns.get(), c), kShape));
      if (PySequence_Fast_GET_SIZE(numbers.get()) != static_cast<Py_ssize_t>(kFieldBitCount + 1)) {
        PyErr_SetString(PyExc_ValueError, kShape);
        throw_python_error();
      }
      ColumnCounts& column = read.emplace_back();
      for (Py_ssize_t k = 0; k <= static_cast<Py_ssize_t>(kFieldBitCount); ++k) {
        const unsigned long long n =
            PyLong_AsUnsignedLongLong(PySequence_Fast_GET_ITEM(numbers.get(), k));
        if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
          throw_python_error();
        }
        (k == 0 ? column.values : column.bits[static_cast<std::size_t>(k - 1)]) = n;
      }
    }
    request.counts = std::move(read);
  }
  if (const std::optional<std::string_view> format = args[24].optional_text()) {
    static constexpr std::pair<std::string_view, DateFormat> kFormats[] = {
        {"%Y-%m-%d", DateFormat::Iso},      {"%Y/%m/%d", DateFormat::YmdSlash},
        {"%d.%m.%Y", DateFormat::DmyDot},   {"%d/%m/%Y", DateFormat::DmySlash},
        {"%m/%d/%Y", DateFormat::MdySlash}};
    for (const auto& [text, date] : kFormats) {
      if (text == *format) {
        request.hints.date = date;
      }
    }
    if (!request.hints.date) {
      PyErr_SetString(PyExc_ValueError,
                      "date_format must be one of '%Y-%m-%d', '%Y/%m/%d', '%d.%m.%Y', "
                      "'%d/%m/%Y', '%m/%d/%Y'");
      throw_python_error();
    }
  }
  return request;
}

// The string columns' layout as Arrow names it, or the format a requested
// schema gives it.
constexpr std::pair<std::string_view, StringWidth> kLayoutNames[] = {
    {"string", StringWidth::Utf8},
    {"large_string", StringWidth::LargeUtf8},
    {"string_view", StringWidth::View}};
constexpr std::pair<std::string_view, StringWidth> kLayoutFormats[] = {
    {"u", StringWidth::Utf8}, {"U", StringWidth::LargeUtf8}, {"vu", StringWidth::View}};

// None: the engine's rule (32-bit offsets unless the input might overflow
// them, 64-bit with large_strings). Views are not the default although
// every consumer we integrate with imports them: pyarrow's compute kernels
// (take, filter, sort, comparisons) refuse them.
std::optional<StringWidth> layout_from(std::optional<std::string_view> name) {
  if (!name) {
    return std::nullopt;
  }
  for (const auto& [text, width] : kLayoutNames) {
    if (text == *name) {
      return width;
    }
  }
  PyErr_SetString(PyExc_ValueError,
                  "string_layout must be 'string', 'large_string' or 'string_view'");
  throw_python_error();
}

// The layout that a consumer's requested schema asks of the string columns:
// the first string child's format, when it names one we build.
std::optional<StringWidth> requested_layout(PyObject* requested, const StreamState& s) {
  if (requested == nullptr || requested == Py_None) {
    return std::nullopt;
  }
  if (!PyCapsule_IsValid(requested, "arrow_schema")) {
    PyErr_SetString(PyExc_TypeError, "requested_schema must be an 'arrow_schema' capsule");
    throw_python_error();
  }
  const auto* schema = static_cast<const ArrowSchema*>(PyCapsule_GetPointer(requested, "arrow_schema"));
  if (schema == nullptr || schema->release == nullptr || schema->format == nullptr ||
      std::string_view(schema->format) != "+s") {
    return std::nullopt;
  }
  const auto children = static_cast<std::size_t>(std::max<int64_t>(schema->n_children, 0));
  for (std::size_t i = 0; i < children && i < s.names.size(); ++i) {
    const bool string_column = s.types == nullptr || s.types->of(i) == nullptr ||
                               s.types->of(i)->type == CellType::String;
    const ArrowSchema* child = schema->children[i];
    if (!string_column || child == nullptr || child->format == nullptr) {
      continue;
    }
    for (const auto& [format, width] : kLayoutFormats) {
      if (format == child->format) {
        return width;
      }
    }
  }
  return std::nullopt;
}

// The `audit` argument: nothing, a path, or True for records kept in memory.
void audit_from(PyObject* audit, ArrowReadOptions& options) {
  if (audit == Py_None || audit == Py_False) {
    return;
  }
  if (audit == Py_True) {
    options.keep_records = true;
    return;
  }
  if (!PyUnicode_Check(audit)) {
    PyErr_Format(PyExc_TypeError, "audit must be a path, True or None, not %.100s",
                 Py_TYPE(audit)->tp_name);
    throw_python_error();
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(audit, &size);
  if (text == nullptr) {
    throw_python_error();
  }
  options.audit_path.emplace(text, static_cast<std::size_t>(size));
}

PyRef read_arrow(const binding::Bound<32>& args) {
  ArrowReadOptions options;
  options.repair = binding::options_from(args, 1);
  options.header = args[7].flag();
  options.threads = args[8].count();
  options.chunk_size = args[9].count();
  options.repair.skip_initial_space = args[10].flag();
  options.repair.skip_rows = *args[11].count();
  options.large_strings = args[16].flag();
  audit_from(args[17].object(), options);
  options.record = args[18].flag();
  options.repair.fallback = binding::fallback_from(args[19].object());
  options.types = read_type_request(args);
  options.repair.comment = args[27].optional_text().value_or("");
  options.repair.skip_footer = *args[28].count();
  options.repair.table_rows = args[29].count();
  options.repair.join_header = args[30].count() == std::optional<std::size_t>(2);
  options.string_layout = layout_from(args[31].optional_text());
  if (args[12].count() || args[13].count() || args[14].count() || args[15].count()) {
    if (!options.repair.delimiter) {
      PyErr_SetString(PyExc_ValueError, "a byte range is read with a given delimiter");
      throw_python_error();
    }
    if (options.repair.skip_footer > 0 || options.repair.table_rows || options.repair.join_header) {
      // Where the footer or the table ends is known only from the whole file.
      PyErr_SetString(PyExc_ValueError,
                      "a byte range is read without skip_footer, a table's rows or header_rows=2");
      throw_python_error();
    }
    ArrowReadOptions::Range range;
    range.begin = args[12].count().value_or(0);
    if (args[13].count()) {
      range.end = *args[13].count();
    }
    range.first_line = args[14].count().value_or(1);
    range.dialect.delimiter = *options.repair.delimiter;
    range.dialect.expected_columns = options.repair.expected_columns.value_or(0);
    range.columns = args[15].count().value_or(range.dialect.expected_columns);
    options.range = range;
  }
  const std::string path(args[0].text());
  std::optional<OpenedSource> input;
  if (args[26].object() != Py_None) {
    input.emplace(open_source(args[26].object(), path,
                              options.threads.value_or(usable_cores())));
    options.source = input->bytes;
    options.source_offset = input->offset;
  }

  std::optional<Result<std::unique_ptr<BatchSource>>> opened;
  {
    WithoutGil released;
    opened.emplace(open_batch_source(path, options));
  }
  if (!*opened) {
    if (input) {
      raise_source_error(*input, opened->error(), true);
    }
    raise_file_error(opened->error());
  }
  auto state = std::make_unique<StreamState>();
  state->shared = std::make_shared<Shared>();
  std::unique_ptr<BatchSource>& source = opened->value();
  state->names.assign(source->column_names().begin(), source->column_names().end());
  state->width = source->string_width();
  if (!source->unmatched_types().empty()) {
    PyErr_Format(PyExc_ValueError, "types names no column of the table: %s",
                 source->unmatched_types().front().c_str());
    throw_python_error();
  }
  state->types = source->table_types();
  state->type_counts = source->type_counts();
  state->delimiter = source->stats().detected_delimiter;
  state->expected_columns = source->stats().inferred_columns;
  state->data_begin = source->data_begin();
  state->keeps_records = options.keep_records;
  state->counts = options.record || options.keep_records || options.audit_path.has_value();
  state->shared->source = std::move(source);

  PyTypeObject* type = stream_type();
  PyRef object = own(type->tp_alloc(type, 0));
  reinterpret_cast<PyArrowRowStream*>(object.get())->state = state.release();
  return object;
}

PyRef arrow_c_stream(PyObject* self, const binding::Bound<1>& args) {
  // Of a requested schema only the string layout is honoured: the capsule
  // protocol lets a producer answer with its own schema otherwise.
  StreamState& s = state_of(self);
  if (s.consumed) {
    PyErr_SetString(PyExc_RuntimeError, kConsumed);
    throw_python_error();
  }
  if (const std::optional<StringWidth> layout = requested_layout(args[0].object(), s)) {
    std::lock_guard lock(s.shared->mutex);
    if (s.shared->source && s.shared->source->choose_string_width(*layout)) {
      s.width = *layout;
    }
  }
  auto data = std::make_unique<StreamData>(StreamData{s.shared, s.names, s.width, s.types, {}});
  auto stream = std::make_unique<ArrowArrayStream>(
      ArrowArrayStream{&stream_get_schema, &stream_get_next, &stream_get_last_error,
                       &stream_release, data.get()});
  static_cast<void>(data.release());
  PyRef capsule = stream_capsule(std::move(stream));
  s.consumed = true;
  return capsule;
}

PyRef arrow_c_schema(PyObject* self) {
  StreamState& s = state_of(self);
  auto schema = std::make_unique<ArrowSchema>();
  export_schema(s.names, s.width, schema.get(), s.types.get());
  return schema_capsule(std::move(schema));
}

PyRef summary(PyObject* self) {
  StreamState& s = state_of(self);
  std::optional<VornishStats> stats;
  {
    // get_next never waits for the interpreter lock, so waiting for its
    // mutex while holding the lock cannot deadlock.
    std::lock_guard lock(s.shared->mutex);
    if (s.shared->finished) {
      stats = s.shared->stats;
    }
  }
  if (!stats) {
    PyErr_SetString(PyExc_RuntimeError, kNotFinished);
    throw_python_error();
  }
  return new_summary(*stats);
}

// {column name: cells nulled} for the columns where a chosen type nulled
// any cell, once the stream has been read to its end.
PyRef nulled_cells(PyObject* self) {
  StreamState& s = state_of(self);
  std::optional<std::vector<std::uint64_t>> nulled;
  {
    std::lock_guard lock(s.shared->mutex);
    if (s.shared->finished) {
      nulled = s.shared->nulled;
    }
  }
  if (!nulled) {
    PyErr_SetString(PyExc_RuntimeError, kNotFinished);
    throw_python_error();
  }
  PyRef dict = own(PyDict_New());
  for (std::size_t i = 0; i < nulled->size() && i < s.names.size(); ++i) {
    if ((*nulled)[i] == 0) {
      continue;
    }
    const std::string& name = s.names[i];
    PyRef key = own(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()),
                                         "replace"));
    PyRef value = own(PyLong_FromUnsignedLongLong((*nulled)[i]));
    check(PyDict_SetItem(dict.get(), key.get(), value.get()));
  }
  return dict;
}

// Per column [values, then one count per reading]: what the types were
// settled from, for a caller that adds up the counts of pieces.
PyRef type_counts(PyObject* self) {
  StreamState& s = state_of(self);
  PyRef list = own(PyList_New(static_cast<Py_ssize_t>(s.type_counts.size())));
  for (std::size_t c = 0; c < s.type_counts.size(); ++c) {
    PyRef numbers = own(PyList_New(static_cast<Py_ssize_t>(kFieldBitCount + 1)));
    for (std::size_t k = 0; k <= kFieldBitCount; ++k) {
      const std::uint64_t n = k == 0 ? s.type_counts[c].values : s.type_counts[c].bits[k - 1];
      PyList_SET_ITEM(numbers.get(), static_cast<Py_ssize_t>(k),
                      own(PyLong_FromUnsignedLongLong(n)).release());
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(c), numbers.release());
  }
  return list;
}

// The finished run's repair record; RuntimeError before the end.
std::shared_ptr<const RepairLog> finished_log(StreamState& s) {
  std::lock_guard lock(s.shared->mutex);
  if (!s.shared->finished) {
    return nullptr;
  }
  return s.shared->log;
}

PyRef actions(PyObject* self) {
  StreamState& s = state_of(self);
  if (!s.counts) {
    return PyRef::borrow(Py_None);
  }
  std::shared_ptr<const RepairLog> log = finished_log(s);
  if (!log) {
    PyErr_SetString(PyExc_RuntimeError, kRecordsNotFinished);
    throw_python_error();
  }
  return new_action_counts(log->counts());
}

PyRef audit(PyObject* self) {
  StreamState& s = state_of(self);
  if (!s.keeps_records) {
    PyErr_SetString(PyExc_RuntimeError, kNoRecords);
    throw_python_error();
  }
  std::shared_ptr<const RepairLog> log = finished_log(s);
  if (!log) {
    PyErr_SetString(PyExc_RuntimeError, kRecordsNotFinished);
    throw_python_error();
  }
  return new_records(std::move(log));
}

PyRef column_names(PyObject* self) {
  StreamState& s = state_of(self);
  PyRef list = own(PyList_New(static_cast<Py_ssize_t>(s.names.size())));
  for (std::size_t i = 0; i < s.names.size(); ++i) {
    const std::string& name = s.names[i];
    PyObject* text = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()),
                                          "replace");
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), own(text).release());
  }
  return list;
}

// (delimiter or None, expected columns, where the data starts): what the
// start of the file settled, known before any batch, for a caller that
// reads the rest in ranges.
PyRef settled_dialect(PyObject* self) {
  StreamState& s = state_of(self);
  PyRef delimiter = s.delimiter == 0 ? PyRef::borrow(Py_None)
                                     : own(PyUnicode_FromOrdinal(static_cast<int>(s.delimiter)));
  PyRef columns = own(PyLong_FromSize_t(s.expected_columns));
  PyRef data_begin = own(PyLong_FromUnsignedLongLong(s.data_begin));
  return own(PyTuple_Pack(3, delimiter.get(), columns.get(), data_begin.get()));
}

PyRef row_starts(const binding::Bound<7>& args) {
  VornishOptions options;
  options.quote_char = args[2].quote();
  options.repair_quotes = args[3].flag();
  options.skip_initial_space = args[4].flag();
  Dialect dialect;
  dialect.delimiter = args[1].delimiter().value_or(',');
  const std::uint64_t every = args[5].count().value_or(std::size_t{256} << 20);
  const std::string path(args[0].text());
  std::optional<OpenedSource> input;
  if (args[6].object() != Py_None) {
    input.emplace(open_source(args[6].object(), path));
  }
  std::optional<Result<std::vector<RowStart>>> found;
  {
    WithoutGil released;
    found.emplace(input ? find_row_starts(*input->bytes, options, dialect, every)
                        : find_row_starts(path, options, dialect, every));
  }
  if (!*found) {
    if (input) {
      raise_source_error(*input, found->error(), true);
    }
    raise_file_error(found->error());
  }
  const std::vector<RowStart>& starts = found->value();
  PyRef list = own(PyList_New(static_cast<Py_ssize_t>(starts.size())));
  for (std::size_t i = 0; i < starts.size(); ++i) {
    PyRef offset = own(PyLong_FromUnsignedLongLong(starts[i].offset));
    PyRef line = own(PyLong_FromSize_t(starts[i].line));
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                    own(PyTuple_Pack(2, offset.get(), line.get())).release());
  }
  return list;
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete std::exchange(reinterpret_cast<PyArrowRowStream*>(self)->state, nullptr);
  type->tp_free(self);
  Py_DECREF(type);
}

// C entry points: one line each, through the barrier.
PyObject* read_arrow_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return barrier(
      [&] { return read_arrow(binding::bind_fast(kReadArrowSignature, args, nargs, kwnames)); });
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
PyObject* summary_get(PyObject* self, void*) {
  return barrier([&] { return summary(self); });
}
PyObject* nulled_cells_get(PyObject* self, void*) {
  return barrier([&] { return nulled_cells(self); });
}
PyObject* actions_get(PyObject* self, void*) {
  return barrier([&] { return actions(self); });
}
PyObject* audit_get(PyObject* self, void*) {
  return barrier([&] { return audit(self); });
}
PyObject* column_names_get(PyObject* self, void*) {
  return barrier([&] { return column_names(self); });
}
PyObject* type_counts_entry(PyObject* self, PyObject*) {
  return barrier([&] { return type_counts(self); });
}
PyObject* settled_dialect_entry(PyObject* self, PyObject*) {
  return barrier([&] { return settled_dialect(self); });
}
PyObject* row_starts_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return barrier(
      [&] { return row_starts(binding::bind_fast(kRowStartsSignature, args, nargs, kwnames)); });
}
void dealloc_entry(PyObject* self) {
  barrier([&] { dealloc(self); });
}


PyMethodDef methods[] = {
    {"__arrow_c_stream__", as_method(arrow_c_stream_entry), METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"
     "The repaired rows as an Arrow C stream in a PyCapsule named \"arrow_array_stream\".\n"
     "A stream is consumed once; a second call raises RuntimeError."},
    {"__arrow_c_schema__", arrow_c_schema_entry, METH_NOARGS,
     "__arrow_c_schema__($self)\n--\n\n"
     "The table's schema (a struct of the typed columns) in a PyCapsule named \"arrow_schema\"."},
    {"_type_counts", type_counts_entry, METH_NOARGS,
     "_type_counts($self)\n--\n\n"
     "Per column [values, count per reading]: what the column types were settled from."},
    {"_dialect", settled_dialect_entry, METH_NOARGS,
     "_dialect($self)\n--\n\n"
     "(delimiter or None, expected columns, data offset) as settled from the start of the\n"
     "file; the data offset is where the rows after the preamble and the header start."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"summary", summary_get, nullptr,
     "The run's VornishSummary, once the stream has been read to its end.", nullptr},
    {"column_names", column_names_get, nullptr, "The names of the table's columns.", nullptr},
    {"nulled_cells", nulled_cells_get, nullptr,
     "{column: cells} nulled because they do not read as the column's chosen type, once the\n"
     "stream has been read to its end.",
     nullptr},
    {"actions", actions_get, nullptr,
     "The run's changes by action, once the stream has been read to its end (None unless\n"
     "audit or record was given).",
     nullptr},
    {"audit", audit_get, nullptr,
     "The run's repair record as an Arrow stream, once the stream has been read to its end\n"
     "(only with audit=True).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Repaired rows of a CSV file as a stream of Arrow record batches.\n\n"
                    "Made by csv_vornish.read_arrow(); hand it to pyarrow.table(), "
                    "polars.DataFrame() and the like.")},
    {Py_tp_dealloc, slot_fn(dealloc_entry)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec = {
    "csv_vornish.ArrowRowStream",
    sizeof(PyArrowRowStream),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

PyTypeObject* stream_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = own(PyType_FromSpec(&spec)).release();
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

PyMethodDef read_arrow_def = {
    "_read_arrow", as_method(read_arrow_entry), METH_FASTCALL | METH_KEYWORDS,
    "_read_arrow(file_path, delimiter=None, quote_char=\"\\\"\", fill_ragged_rows=True, "
    "merge_overflow=True, expected_columns=None, repair_quotes=True, *, header=True, "
    "threads=None, chunk_size=None, skip_initial_space=False, skip_rows=0, range_begin=None, "
    "range_end=None, first_line=None, table_columns=None, large_strings=False, audit=None, "
    "record=False, fallback=None, types=None, null_values=None, decimal=None, thousands=None, "
    "date_format=None, type_counts=None, _source=None, comment=None, skip_footer=0, "
    "_table_rows=None, header_rows=None, string_layout=None)\n--\n\n"
    "The repaired rows of a CSV file as an ArrowRowStream (see csv_vornish.read_arrow)."};

PyMethodDef row_starts_def = {
    "_row_starts", as_method(row_starts_entry), METH_FASTCALL | METH_KEYWORDS,
    "_row_starts(file_path, delimiter=None, quote_char=\"\\\"\", repair_quotes=True, "
    "skip_initial_space=False, every=None, *, _source=None)\n--\n\n"
    "[(offset, line), ...]: true row starts of a file about every `every` bytes."};

}  // namespace

void add_arrow_entries(PyObject* module) {
  PyRef module_name = own(PyModule_GetNameObject(module));
  PyRef function = own(PyCMethod_New(&read_arrow_def, module, module_name.get(), nullptr));
  check(PyModule_AddObjectRef(module, "_read_arrow", function.get()));
  PyRef starts = own(PyCMethod_New(&row_starts_def, module, module_name.get(), nullptr));
  check(PyModule_AddObjectRef(module, "_row_starts", starts.get()));
  check(PyModule_AddObjectRef(module, "_ArrowRowStream",
                              reinterpret_cast<PyObject*>(stream_type())));
  check(PyModule_AddObjectRef(module, "_RepairRecords",
                              reinterpret_cast<PyObject*>(records_type())));
}

}  // namespace vornish
