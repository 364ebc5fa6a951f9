// Repaired rows of a file as Arrow record batches, pulled one at a time.
//
// BatchSource is what the Arrow stream on the Python side drives: its
// columns (names and string width) are settled when it is opened, before
// any batch, because consumers ask for the schema first; each next_batch
// call then repairs just enough rows for one batch. Any engine that can
// produce kept rows in input order can stand behind it; open_batch_source
// builds the one that reads a file (or a byte range of it) with one parser,
// a bounded window at a time.
//
// Not thread-safe: one caller at a time (the stream serialises its
// callbacks).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/arrow_abi.hpp"
#include "engine/arrow_batch.hpp"
#include "engine/byte_source.hpp"
#include "engine/error.hpp"
#include "engine/typed_columns.hpp"
#include "engine/vornish.hpp"

namespace vornish {

struct ArrowReadOptions {
  VornishOptions repair;
  // The first kept row names the columns instead of being a row.
  bool header = true;
  BatchLimits limits;
  // Threads building batches; none: one per usable core. With more than
  // one, the rows after the header are built in chunks of `chunk_size`
  // bytes (none: kDefaultChunkSize) on that many threads,
  // when the input is a regular file of more than one chunk without a
  // preamble. The rows, the counts and any failure are the same; the
  // batches may end earlier, at chunk edges.
  std::optional<std::size_t> threads;
  std::optional<std::size_t> chunk_size;
  // Large strings (64-bit offsets) whatever the input's size; otherwise
  // only when 32-bit offsets might not hold it.
  bool large_strings = false;
  // The string columns' layout, overriding both rules above.
  std::optional<StringWidth> string_layout;
  // When set, the bytes come from here instead of the file at the path
  // (which is not opened), read forward on one thread; its first byte is
  // the file's byte `source_offset` (a range of a remote file).
  std::shared_ptr<ByteSource> source;
  std::uint64_t source_offset = 0;

  // The repair record: with `record` the changes are counted; with
  // `keep_records` every record is also kept for the caller; with
  // `audit_path` they are written to that audit CSV file (created when the
  // source opens) as the batches are made.
  bool record = false;
  bool keep_records = false;
  std::optional<std::string> audit_path;

  // Only the rows that start in [begin, end) of the file, read with a
  // dialect settled elsewhere (from the file's start), so that pieces of one
  // file read apart agree with each other and with a whole-file run.
  struct Range {
    // A true row start; `first_line` is the line number there.
    std::uint64_t begin = 0;
    // Exclusive; none reads to the end of the file.
    std::optional<std::uint64_t> end;
    std::size_t first_line = 1;
    Dialect dialect;
    // The table's width: the file's widest row when dialect.expected_columns
    // is 0, which only a pass over the whole file can know.
    std::size_t columns = 0;
  };
  std::optional<Range> range;

  // Column types; by default every column is a string column.
  TypeRequest types;
};

class BatchSource {
 public:
  using Next = BatchNext;

  virtual ~BatchSource() = default;

  // Known from the moment the source exists, and never changing.
  virtual std::span<const std::string> column_names() const noexcept = 0;
  virtual StringWidth string_width() const noexcept = 0;
  // Lays the string columns out as `width` from now on; refused (false,
  // nothing changed) once any row has gone into a batch, so that every
  // batch of a stream has the schema its consumer was given.
  virtual bool choose_string_width(StringWidth width) = 0;

  // Batch: `out` holds the next batch, which the caller now owns.
  // End: no more rows (and every later call says so); `out` untouched.
  // Failed: `out` untouched, failure() says why; the source is done.
  virtual Next next_batch(ArrowArray* out) = 0;
  virtual std::string failure() const = 0;

  // The run's counts so far; complete once next_batch has returned End.
  // Counted as the reader counts: the header row is a kept row, and
  // quarantined rows are counted and dropped.
  virtual const VornishStats& stats() const noexcept = 0;

  // The changes recorded so far, in input order (their counts; the records
  // themselves only with keep_records); complete once next_batch has
  // returned End.
  virtual RepairLog& repair_log() noexcept = 0;

  // Where the table's rows start: past the preamble (`skip_rows`) and the
  // header row, or the end of the file when it has no more. A piece of the
  // file read on its own must not start before it, or preamble and header
  // rows would come out as data.
  virtual std::uint64_t data_begin() const noexcept = 0;

  // The columns' types (never null), settled before the first batch, and
  // the type choices that named no column.
  virtual std::shared_ptr<const TableTypes> table_types() const noexcept = 0;
  virtual const std::vector<std::string>& unmatched_types() const noexcept = 0;
  // Per column, the cells nulled because they do not read as the chosen
  // type, in the batches handed out so far.
  virtual std::vector<std::uint64_t> nulled_cells() const = 0;
  // Per column, what its cells could be, as the types were settled from.
  virtual const std::vector<ColumnCounts>& type_counts() const noexcept = 0;
};

// Column names from a header row of `columns` cells (fewer when the row is
// shorter): an empty or missing name becomes "column_N", N its 1-based
// position; a name given already gets "_2", "_3", ... appended, the first
// suffix that makes a name neither given before nor in the header itself.
std::vector<std::string> unique_column_names(const std::vector<std::string>& header,
                                             std::size_t columns);

// Opens `path` and settles what the batches will look like: the dialect,
// the column count (with expected_columns 0, a counting pass over the
// whole file finds the widest row) and, with a header, the names. With a
// range, the dialect and width are the range's own. The file is read, never
// mapped: one that shrinks while it is read ends early or fails with an
// OS error.
Result<std::unique_ptr<BatchSource>> open_batch_source(const std::string& path,
                                                       const ArrowReadOptions& options);

// A true row start and the line number there.
struct RowStart {
  std::uint64_t offset = 0;
  std::size_t line = 1;
};

// True row starts of `path` about every `every` bytes, the first one 0, by
// a pass that only counts rows (a quoted line end is never taken for a row
// end). The ranges between them, each read with the file's dialect, give
// the rows of the whole file.
Result<std::vector<RowStart>> find_row_starts(const std::string& path,
                                              const VornishOptions& options,
                                              const Dialect& dialect, std::uint64_t every);
// The same for a file read from `source` (a remote file, read once).
Result<std::vector<RowStart>> find_row_starts(ByteSource& source, const VornishOptions& options,
                                              const Dialect& dialect, std::uint64_t every);

}  // namespace vornish
