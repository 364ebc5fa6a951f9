// Fuzz target for the Arrow batch builder: the kept rows of a repair run
// under random options, into batches of random row and byte bounds, with
// 32- or 64-bit offsets and a table as wide as the widest row or wider.
//
// Checked on every batch (unless FUZZ_CRASH_ONLY is set in the
// environment, when batches are only taken and released): it is a struct
// array of one (absent) validity buffer, no nulls, as many children as
// columns, and at most the row bound unless one row passed the byte bound;
// every child is a string array of three buffers, offset 0, the parent's
// length, offsets starting at 0 and never going back, a validity bitmap
// exactly when there are nulls whose zero bits count null_count, and null
// cells empty; the cells, read back in order over all batches, are the
// reader's kept rows with the missing cells null. Children are sometimes
// moved out and released after their parent, and every release leaves
// `release` null. The same payload, read from a file by the batch source on
// 2 to 4 threads in chunks of 1 to 64 bytes, gives the one-thread source's
// cells, counts and failure, and both keep the whole-buffer run's repair
// records. So does it with types inferred (the first column sometimes
// chosen as int64), whose cells are null exactly where the string table's
// are missing, empty or null markers (or blank, in typed columns) and,
// otherwise, only where a chosen type does not read.
//
// Input layout: flags (delimiter given, padding, merging, quote repair,
// large offsets, extra columns, child moved out), delimiter, quote, width,
// row bound, byte bound, then the payload.
#include <cstddef>
#include <cstdint>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/arrow_batch.hpp"
#include "engine/batch_source.hpp"
#include "engine/vornish.hpp"
#include "fuzz_support.hpp"

namespace {

using namespace vornish;
using namespace vornish::fuzz;

bool g_crash_only = false;
std::string g_path;

using Cell = std::optional<std::string>;

template <class Offset>
Cell cell_of(const ArrowArray& child, std::int64_t r) {
  const auto* validity = static_cast<const std::uint8_t*>(child.buffers[0]);
  if (validity != nullptr && ((validity[r / 8] >> (r % 8)) & 1) == 0) {
    return std::nullopt;
  }
  const auto* offsets = static_cast<const Offset*>(child.buffers[1]);
  return std::string(static_cast<const char*>(child.buffers[2]) + offsets[r],
                     static_cast<std::size_t>(offsets[r + 1] - offsets[r]));
}

// A typed cell as its value's bytes (a boolean as "0" or "1").
Cell typed_cell_of(const ArrowArray& child, const ColumnType& type, std::int64_t r) {
  const auto* validity = static_cast<const std::uint8_t*>(child.buffers[0]);
  if (validity != nullptr && ((validity[r / 8] >> (r % 8)) & 1) == 0) {
    return std::nullopt;
  }
  const auto* values = static_cast<const char*>(child.buffers[1]);
  switch (type.type) {
    case CellType::Bool:
      return std::string(1, ((values[r / 8] >> (r % 8)) & 1) != 0 ? '1' : '0');
    case CellType::Date32:
      return std::string(values + r * 4, 4);
    case CellType::Int64:
    case CellType::Float64:
    case CellType::Timestamp:
      return std::string(values + r * 8, 8);
    case CellType::String:
      break;
  }
  return std::nullopt;
}

struct SourceRun {
  std::vector<std::vector<Cell>> rows;
  VornishStats stats;
  std::string records;  // as the audit file would hold them
  bool failed = false;
  std::string failure;
  std::vector<ColumnType> types;
  std::vector<std::uint64_t> nulled;
};

SourceRun run_source(const ArrowReadOptions& options) {
  SourceRun run;
  Result<std::unique_ptr<BatchSource>> opened = open_batch_source(g_path, options);
  FUZZ_CHECK(opened);
  BatchSource& source = *opened.value();
  const bool large = source.string_width() == StringWidth::LargeUtf8;
  const std::shared_ptr<const TableTypes> types = source.table_types();
  FUZZ_CHECK(types != nullptr);
  // A file without rows has no columns to type.
  FUZZ_CHECK(types->text_only == !options.types.infer || source.column_names().empty());
  for (std::size_t c = 0; c < source.column_names().size(); ++c) {
    run.types.push_back(types->of(c) != nullptr ? *types->of(c) : ColumnType{});
  }
  ArrowArray batch{};
  BatchSource::Next next;
  while ((next = source.next_batch(&batch)) == BatchSource::Next::Batch) {
    for (std::int64_t r = 0; r < batch.length; ++r) {
      std::vector<Cell>& cells = run.rows.emplace_back();
      for (std::int64_t c = 0; c < batch.n_children; ++c) {
        const ColumnType& type = run.types[static_cast<std::size_t>(c)];
        if (type.type != CellType::String) {
          FUZZ_CHECK(batch.children[c]->n_buffers == 2);
          cells.push_back(typed_cell_of(*batch.children[c], type, r));
        } else {
          cells.push_back(large ? cell_of<std::int64_t>(*batch.children[c], r)
                                : cell_of<std::int32_t>(*batch.children[c], r));
        }
      }
    }
    batch.release(&batch);
  }
  run.failed = next == BatchSource::Next::Failed;
  run.failure = run.failed ? source.failure() : "";
  run.stats = source.stats();
  run.nulled = source.nulled_cells();
  const RepairLog& log = source.repair_log();
  for (std::size_t i = 0; i < log.size(); ++i) {
    append_audit_line(run.records, log, log[i]);
  }
  return run;
}

template <class Offset>
void check_child(const ArrowArray& child, std::int64_t length, std::size_t column,
                 std::vector<std::vector<Cell>>& rows, std::size_t first_row) {
  FUZZ_CHECK(child.release != nullptr);
  FUZZ_CHECK(child.length == length);
  FUZZ_CHECK(child.offset == 0);
  FUZZ_CHECK(child.n_buffers == 3);
  FUZZ_CHECK(child.n_children == 0 && child.dictionary == nullptr);
  FUZZ_CHECK(child.buffers[1] != nullptr && child.buffers[2] != nullptr);
  const auto* offsets = static_cast<const Offset*>(child.buffers[1]);
  const auto* bytes = static_cast<const char*>(child.buffers[2]);
  const auto* validity = static_cast<const std::uint8_t*>(child.buffers[0]);
  FUZZ_CHECK(offsets[0] == 0);
  FUZZ_CHECK((validity == nullptr) == (child.null_count == 0));
  std::int64_t nulls = 0;
  for (std::int64_t r = 0; r < length; ++r) {
    FUZZ_CHECK(offsets[r] <= offsets[r + 1]);
    const bool valid = validity == nullptr || ((validity[r / 8] >> (r % 8)) & 1) != 0;
    const std::size_t at = first_row + static_cast<std::size_t>(r);
    FUZZ_CHECK(at < rows.size() && column < rows[at].size());
    const std::string_view text(bytes + offsets[r],
                                static_cast<std::size_t>(offsets[r + 1] - offsets[r]));
    if (valid) {
      FUZZ_CHECK(rows[at][column].has_value() && *rows[at][column] == text);
    } else {
      ++nulls;
      FUZZ_CHECK(text.empty());
      FUZZ_CHECK(!rows[at][column].has_value());
    }
  }
  // Every byte of the last cell is inside the buffer: AddressSanitizer
  // reports a read past the end.
  if (length > 0 && offsets[length] > 0) {
    volatile char last = bytes[offsets[length] - 1];
    (void)last;
  }
  FUZZ_CHECK(nulls == child.null_count);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* mode = std::getenv("FUZZ_CRASH_ONLY");
  g_crash_only = mode != nullptr && *mode != '\0' && *mode != '0';
  std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  if (const char* tmp = std::getenv("TMPDIR"); tmp != nullptr && *tmp != '\0') {
    dir = tmp;
  }
  g_path = dir + "/fuzz_arrow." + std::to_string(::getpid()) + ".csv";
  std::atexit([] { ::unlink(g_path.c_str()); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  OptionReader reader(data, size);
  const std::uint8_t flags = reader.byte();
  VornishOptions options;
  const std::uint8_t delimiter = reader.interesting_byte();
  if ((flags & 1) != 0) {
    options.delimiter = delimiter;
  }
  options.quote_char = reader.interesting_byte();
  options.fill_ragged_rows = (flags & 2) != 0;
  options.merge_overflow = (flags & 4) != 0;
  options.repair_quotes = (flags & 8) == 0;
  const StringWidth width = (flags & 16) != 0 ? StringWidth::LargeUtf8 : StringWidth::Utf8;
  const std::size_t extra_columns = (flags & 32) != 0 ? 2 : 0;
  const bool move_child_out = (flags & 64) != 0;
  const std::uint8_t columns_byte = reader.byte();
  if ((flags & 128) != 0) {
    options.expected_columns = columns_byte % 6u;
  }
  BatchLimits limits;
  limits.max_rows = 1 + reader.byte() % 16u;
  limits.max_bytes = 1 + reader.byte();
  const ExactBuffer input(reader.rest());
  const std::string_view bytes = input.view();

  const VornishOutcome outcome = vornish_slice_kept(bytes, options);
  // The expected cells, and the table as wide as the widest row (the
  // builder refuses a wider one).
  std::vector<std::vector<Cell>> rows;
  std::size_t columns = 0;
  {
    KeptRows::Cursor cursor = outcome.rows.cursor();
    for (std::size_t k = 0; k < outcome.rows.size(); ++k) {
      const RowView row = cursor.read(k);
      columns = std::max(columns, row.size());
      std::vector<Cell> cells;
      for (const FieldView& f : row) {
        cells.emplace_back(std::string(f.text));
      }
      rows.push_back(std::move(cells));
    }
  }
  columns += extra_columns;
  for (std::vector<Cell>& cells : rows) {
    cells.resize(columns);
  }

  ArrowBatchBuilder builder(columns, width, limits);
  std::size_t seen = 0;
  std::size_t batches = 0;
  const auto drain = [&] {
    ArrowArray batch{};
    while (builder.take_ready(&batch)) {
      ++batches;
      if (!g_crash_only) {
        FUZZ_CHECK(batch.release != nullptr);
        FUZZ_CHECK(batch.n_buffers == 1 && batch.buffers[0] == nullptr);
        FUZZ_CHECK(batch.null_count == 0 && batch.offset == 0);
        FUZZ_CHECK(batch.n_children == static_cast<std::int64_t>(columns));
        FUZZ_CHECK(batch.length > 0);
        FUZZ_CHECK(static_cast<std::size_t>(batch.length) <= limits.max_rows);
        for (std::int64_t c = 0; c < batch.n_children; ++c) {
          if (width == StringWidth::Utf8) {
            check_child<std::int32_t>(*batch.children[c], batch.length,
                                      static_cast<std::size_t>(c), rows, seen);
          } else {
            check_child<std::int64_t>(*batch.children[c], batch.length,
                                      static_cast<std::size_t>(c), rows, seen);
          }
        }
      }
      seen += static_cast<std::size_t>(batch.length);
      if (move_child_out && batch.n_children > 0) {
        ArrowArray moved = *batch.children[0];
        batch.children[0]->release = nullptr;
        batch.release(&batch);
        FUZZ_CHECK(batch.release == nullptr);
        moved.release(&moved);
        FUZZ_CHECK(moved.release == nullptr);
      } else {
        batch.release(&batch);
        FUZZ_CHECK(batch.release == nullptr);
      }
    }
  };
  {
    KeptRows::Cursor cursor = outcome.rows.cursor();
    for (std::size_t k = 0; k < outcome.rows.size(); ++k) {
      builder.kept(cursor.read(k), 0);
      FUZZ_CHECK(!builder.failed());
      drain();
    }
  }
  builder.flush();
  drain();
  FUZZ_CHECK(!builder.has_ready() && builder.pending_rows() == 0);
  FUZZ_CHECK(seen == rows.size());
  FUZZ_CHECK(batches <= rows.size());

  std::FILE* file = std::fopen(g_path.c_str(), "wb");
  FUZZ_CHECK(file != nullptr);
  FUZZ_CHECK(bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size());
  FUZZ_CHECK(std::fclose(file) == 0);
  ArrowReadOptions read;
  read.repair = options;
  read.header = move_child_out;  // a flag of its own would move the layout
  read.limits = limits;
  read.keep_records = true;
  read.threads = 1;
  const SourceRun one = run_source(read);
  read.threads = 2 + limits.max_rows % 3;
  read.chunk_size = 1 + limits.max_bytes % 64;
  const SourceRun parallel = run_source(read);
  if (!g_crash_only) {
    FUZZ_CHECK(parallel.failed == one.failed && parallel.failure == one.failure);
    FUZZ_CHECK(one.failed || parallel.rows == one.rows);
    const VornishStats& a = one.stats;
    const VornishStats& b = parallel.stats;
    FUZZ_CHECK(one.failed || (a.total_rows == b.total_rows && a.vornished_rows == b.vornished_rows &&
                              a.repaired_rows == b.repaired_rows &&
                              a.quarantined_rows == b.quarantined_rows));
    FUZZ_CHECK(a.detected_delimiter == b.detected_delimiter &&
               a.inferred_columns == b.inferred_columns);
    if (!one.failed) {
      RepairLog log;
      static_cast<void>(vornish_slice_kept(bytes, options, &log));
      std::string expected;
      for (std::size_t i = 0; i < log.size(); ++i) {
        append_audit_line(expected, log, log[i]);
      }
      FUZZ_CHECK(one.records == expected);
      FUZZ_CHECK(parallel.records == expected);
    }
  }

  // Typed columns: settled alike on one thread and on several, the same
  // cells, and a cell is null exactly where the string table's cell is
  // missing, empty or a null marker, or (typed columns) blank; inference
  // never nulls a value, a chosen type counts the values it nulls.
  read.types.infer = true;
  if ((limits.max_rows & 1) != 0) {
    read.types.choices.push_back({std::nullopt, 1, CellType::Int64, false, false});
  }
  read.threads = 1;
  read.chunk_size.reset();
  const SourceRun typed = run_source(read);
  read.threads = 2 + limits.max_rows % 3;
  read.chunk_size = 1 + limits.max_bytes % 64;
  const SourceRun typed_parallel = run_source(read);
  if (!g_crash_only) {
    FUZZ_CHECK(typed.failed == one.failed && typed_parallel.failed == one.failed);
    FUZZ_CHECK(typed.types == typed_parallel.types);
    FUZZ_CHECK(one.failed || typed.rows == typed_parallel.rows);
    FUZZ_CHECK(one.failed || typed.nulled == typed_parallel.nulled);
    if (!one.failed) {
      FUZZ_CHECK(typed.rows.size() == one.rows.size());
      const NullMarkers nulls;
      std::vector<std::uint64_t> nulled(typed.types.size(), 0);
      for (std::size_t r = 0; r < one.rows.size(); ++r) {
        for (std::size_t c = 0; c < typed.types.size(); ++c) {
          const Cell& text = one.rows[r][c];
          const CellClass kind = text ? cell_class(*text, nulls) : CellClass::Null;
          const bool is_string = typed.types[c].type == CellType::String;
          const bool null_expected = kind == CellClass::Null || (!is_string && kind == CellClass::Blank);
          if (null_expected) {
            FUZZ_CHECK(!typed.rows[r][c].has_value());
          } else if (!typed.rows[r][c].has_value()) {
            ++nulled[c];
          } else if (is_string) {
            FUZZ_CHECK(*typed.rows[r][c] == *text);
          }
        }
      }
      FUZZ_CHECK(nulled == typed.nulled);
      for (std::size_t c = 1; c < nulled.size(); ++c) {
        FUZZ_CHECK(nulled[c] == 0);
      }
      FUZZ_CHECK(nulled.empty() || read.types.choices.empty() || typed.types[0].type == CellType::Int64 || nulled[0] == 0);
    }
  }
  return 0;
}
