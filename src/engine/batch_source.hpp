// Repaired rows of a file as Arrow record batches, pulled one at a time.
//
// BatchSource is what the Arrow stream on the Python side drives: its
// columns (names and string width) are settled when it is opened, before
// any batch, because consumers ask for the schema first; each next_batch
// call then repairs just enough rows for one batch. Any engine that can
// produce kept rows in input order can stand behind it; open_batch_source
// builds the one that walks a whole mapped file with one parser.
//
// Not thread-safe: one caller at a time (the stream serialises its
// callbacks).
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/arrow_abi.hpp"
#include "engine/arrow_batch.hpp"
#include "engine/error.hpp"
#include "engine/vornish.hpp"

namespace vornish {

struct ArrowReadOptions {
  VornishOptions repair;
  // The first kept row names the columns instead of being a row.
  bool header = true;
  BatchLimits limits;
  // Room for a parallel engine; the whole-file engine works on one thread
  // in one pass and does not look at them.
  std::optional<std::size_t> threads;
  std::optional<std::size_t> chunk_size;
};

class BatchSource {
 public:
  enum class Next : unsigned char { Batch, End, Failed };

  virtual ~BatchSource() = default;

  // Known from the moment the source exists, and never changing.
  virtual std::span<const std::string> column_names() const noexcept = 0;
  virtual StringWidth string_width() const noexcept = 0;

  // Batch: `out` holds the next batch, which the caller now owns.
  // End: no more rows (and every later call says so); `out` untouched.
  // Failed: `out` untouched, failure() says why; the source is done.
  virtual Next next_batch(ArrowArray* out) = 0;
  virtual std::string failure() const = 0;

  // The run's counts so far; complete once next_batch has returned End.
  // Counted as the reader counts: the header row is a kept row, and
  // quarantined rows are counted and dropped.
  virtual const VornishStats& stats() const noexcept = 0;
};

// Column names from a header row of `columns` cells (fewer when the row is
// shorter): an empty or missing name becomes "column_N", N its 1-based
// position; a name given already gets "_2", "_3", ... appended, the first
// suffix that makes a name neither given before nor in the header itself.
std::vector<std::string> unique_column_names(const std::vector<std::string>& header,
                                             std::size_t columns);

// Opens `path` and settles what the batches will look like: the dialect,
// the column count (with expected_columns 0, a counting pass over the
// whole file finds the widest row) and, with a header, the names. File
// errors are those of read_whole_file.
Result<std::unique_ptr<BatchSource>> open_batch_source(const std::string& path,
                                                       const ArrowReadOptions& options);

}  // namespace vornish
