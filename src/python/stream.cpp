// _vornish_file(): vornish_file's nine parameters, bound and converted by
// the same table rows, plus the knobs of the streaming engine.
//
// The engine runs with the interpreter lock released. It is taken back only
// between chunks, on the calling thread, to let signal handlers run and to
// call `progress`; an exception raised there stops the run.
#include "python/stream.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <system_error>

#include "engine/read_ahead.hpp"
#include "engine/stream.hpp"
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
using binding::Param;

constexpr std::array<Param, 3> kHead = {{
    {"input_path", Kind::Text, Default::Required},
    {"output_path", Kind::Text, Default::Required},
    {"quarantine_path", Kind::OptionalText, Default::None},
}};
// `audit` names the repair record's CSV file; `record` counts the changes
// by action without writing them.
// `comment`: rows whose first field starts with it are set aside.
constexpr std::array<Param, 14> kStreamParams = {{
    {"threads", Kind::OptionalPositive, Default::None, true},
    {"chunk_size", Kind::OptionalPositive, Default::None, true},
    {"progress", Kind::OptionalCallable, Default::None, true},
    {"skip_initial_space", Kind::Switch, Default::False, true},
    {"skip_rows", Kind::Count, Default::Zero, true},
    {"audit", Kind::OptionalText, Default::None, true},
    {"record", Kind::Switch, Default::False, true},
    {"fallback", Kind::Object, Default::None, true},
    // The front's source spec (python/source.hpp): compressed files, file
    // objects.
    {"_source", Kind::Object, Default::None, true},
    {"comment", Kind::OptionalText, Default::None, true},
    // The table's layout: rows of a footer at the end, the rows of the table
    // before the other tables (the front's table=), a header of two rows.
    {"skip_footer", Kind::Count, Default::Zero, true},
    {"_table_rows", Kind::OptionalCount, Default::None, true},
    {"header_rows", Kind::OptionalCount, Default::None, true},
    // The input's single-byte code page, as (name, the characters of bytes
    // 0x80 to 0xFF, a surrogate for a byte it leaves unmapped): decoded
    // field by field on the positional path of a UTF-8 file.
    {"_code_page", Kind::Object, Default::None, true},
}};

consteval std::array<Param, 23> stream_params() {
  const std::array<Param, 9> base = binding::with_options(kHead);
  std::array<Param, 23> all{};
  for (std::size_t i = 0; i < 9; ++i) {
    all[i] = base[i];
  }
  for (std::size_t i = 0; i < kStreamParams.size(); ++i) {
    all[9 + i] = kStreamParams[i];
  }
  return all;
}

// Same display name as the backend's function, so that binding errors read
// the same.
constexpr binding::Signature<23> kSignature{"vornish_file()", stream_params()};
static_assert(binding::well_formed(kSignature));

enum Index : std::size_t {
  kThreads = 9,
  kChunkSize = 10,
  kProgress = 11,
  kSkipInitialSpace = 12,
  kSkipRows = 13,
  kAudit = 14,
  kRecord = 15,
  kFallback = 16,
  kSource = 17,
  kComment = 18,
  kSkipFooter = 19,
  kTableRows = 20,
  kHeaderRows = 21,
  kCodePage = 22,
};

PyRef stream_call(const binding::Bound<23>& args) {
  std::optional<std::string> quarantine_path;
  if (const auto path = args[2].optional_text()) {
    quarantine_path.emplace(*path);
  }
  VornishOptions options = binding::options_from(args, 3);
  options.skip_initial_space = args[kSkipInitialSpace].flag();
  options.skip_rows = *args[kSkipRows].count();
  options.fallback = binding::fallback_from(args[kFallback].object());
  options.comment = args[kComment].optional_text().value_or("");
  options.skip_footer = *args[kSkipFooter].count();
  options.table_rows = args[kTableRows].count();
  options.join_header = args[kHeaderRows].count() == std::optional<std::size_t>(2);
  options.code_page = binding::fallback_from(args[kCodePage].object());

  StreamOptions stream;
  stream.threads = std::min(args[kThreads].count().value_or(usable_cores()), kMaxThreads);
  stream.chunk_size = args[kChunkSize].count().value_or(StreamOptions::kDefaultChunkSize);
  if (const auto path = args[kAudit].optional_text()) {
    stream.audit_path.emplace(*path);
  }
  stream.record = args[kRecord].flag();
  PyObject* progress = args[kProgress].object();
  const std::string input(args[0].text());
  const std::string output(args[1].text());
  std::optional<OpenedSource> source;
  if (args[kSource].object() != Py_None) {
    source.emplace(open_source(args[kSource].object(), input, stream.threads));
    stream.source = source->bytes.get();
  }

  bool interrupted = false;
  std::optional<Result<StreamRun>> run;
  {
    WithoutGil unlocked;
    // With threads to spare, decompressing and transcoding run ahead on a
    // thread of their own. Declared after the lock's release so that it is joined before
    // the lock is taken back: its thread may need it to read a Python
    // file object.
    std::optional<ReadAheadSource> ahead;
    if (source && (source->decompressed || source->transcoded) && stream.threads > 1) {
      try {
        ahead.emplace(*source->bytes);
        stream.source = &*ahead;
      } catch (const std::system_error&) {
        // No thread to be had: the run reads on its own thread.
      }
    }
    // Through a decoder the run cannot know the decoded size ahead, but the
    // file's own bytes read so far and its size say how far it has got.
    const FdSource* file = source && source->file_size > 0 ? source->file : nullptr;
    stream.between_chunks = [&](std::uint64_t done, std::uint64_t total) {
      if (file != nullptr) {
        total = source->file_size;
        done = std::min(file->consumed(), total);
      }
      return unlocked.locked([&] {
        if (PyErr_CheckSignals() != 0) {
          interrupted = true;
          return false;
        }
        if (progress != Py_None) {
          PyObject* result = PyObject_CallFunction(progress, "KK",
                                                   static_cast<unsigned long long>(done),
                                                   static_cast<unsigned long long>(total));
          if (result == nullptr) {
            interrupted = true;
            return false;
          }
          Py_DECREF(result);
        }
        return true;
      });
    };
    run.emplace(stream_vornish_file(input, output, quarantine_path, options, stream));
  }
  // An exception of a signal handler or of `progress` wins: it is why the
  // run stopped, or it came at the very end.
  if (interrupted) {
    throw_python_error();
  }
  if (!*run) {
    if (source) {
      raise_source_error(*source, run->error(), false);
    }
    raise_engine_error(run->error());
  }
  if (run->value().cancelled) {
    fail("the streaming run stopped without a pending exception");
  }
  return new_front_result(run->value().stats, run->value().actions);
}

PyObject* stream_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return barrier([&] { return stream_call(binding::bind_fast(kSignature, args, nargs, kwnames)); });
}

PyMethodDef stream_def = {
    "_vornish_file",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stream_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "_vornish_file(input_path, output_path, quarantine_path=None, delimiter=None, "
    "quote_char=\"\\\"\", fill_ragged_rows=True, merge_overflow=True, expected_columns=None, "
    "repair_quotes=True, *, threads=None, chunk_size=None, progress=None, "
    "skip_initial_space=False, skip_rows=0, audit=None, record=False, fallback=None, _source=None, comment=None, skip_footer=0, _table_rows=None, header_rows=None, _code_page=None)\n"
    "--\n"
    "\n"
    "vornish_file() for files of any size: read in chunks, parsed on `threads`\n"
    "threads, without the interpreter lock; returns (summary, changes by action).\n"
    "Private to csv_vornish."};

}  // namespace

PyMethodDef* stream_method() { return &stream_def; }

}  // namespace vornish
