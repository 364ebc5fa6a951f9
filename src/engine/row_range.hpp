// The row loop over one byte range of a file: every row that starts in the
// range is read from a FileWindow, repaired and handed to a visitor, as the
// whole-buffer run would. The streaming repair, the Arrow batches and the
// type scan are made of runs of this loop over chunks of a file.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "engine/error.hpp"
#include "engine/file_window.hpp"
#include "engine/vornish.hpp"

namespace vornish {

// Bytes of a file one thread takes at a time, unless the caller says
// otherwise, wherever a file is cut into chunks.
inline constexpr std::size_t kDefaultChunkSize = std::size_t{4} << 20;

// Where a range run stopped.
struct RangeEnd {
  // The start of the first row not taken (the range's true end when its
  // start was a row start), or the end of the file.
  std::uint64_t end = 0;
  // The parser's line counter there.
  std::size_t next_line = 1;
  // The run gave up: a row ran more than the allowed overhang past `stop`
  // (a speculative start that was wrong, or a very long row). Nothing it
  // produced may be used.
  bool abandoned = false;
  // Cancelled through the flag: nothing it produced may be used.
  bool cancelled = false;
  // RangeLimits::before_row asked to stop: `end` and `next_line` are where
  // the row it was asked about starts, and everything before it is done.
  bool stopped = false;
};

struct RangeLimits {
  // How far past `stop` the last row may reach before the run gives up.
  std::uint64_t max_overhang = kNoLimit;
  // Checked before every row; true stops the run.
  const std::atomic<bool>* cancel = nullptr;
  // Bytes asked for per read when the window runs dry.
  std::size_t read_size = std::size_t{4} << 20;
  // When set, called before every row with where it starts, the line
  // counter there and the counts so far (possibly more than once for a
  // row, when the bytes held end inside it); false stops the run there.
  std::function<bool(std::uint64_t start, std::size_t line, const VornishStats& counts)>
      before_row;
};

// Runs every row that starts in [begin, stop) through `repair` into
// `visitor`, in order, reading `window` as needed. `begin` must be a row
// start (0 for the start of the file, where a byte-order mark is skipped)
// and `first_line` the line number there; visitor starts are file offsets.
// A row is taken only once it is complete: it ended at a line end before
// the bytes held, or the file ended.
Result<RangeEnd> run_range(FileWindow& window, std::uint64_t begin, std::uint64_t stop,
                           std::size_t first_line, const VornishOptions& options,
                           const Dialect& dialect, RowRepair& repair, RowVisitor& visitor,
                           const RangeLimits& limits = {});

// The count-only pass of run_range: rows are not decoded, only their ends
// found. Gives the true end of the range and its line count, e.g. to check
// or place chunk boundaries.
Result<RangeEnd> find_range_end(FileWindow& window, std::uint64_t begin, std::uint64_t stop,
                                std::size_t first_line, const VornishOptions& options,
                                const Dialect& dialect, const RangeLimits& limits = {});

// Whether the start of a file settles the dialect as the whole file would:
// the heuristics read only rows that are complete in `prefix`.
bool settles_dialect(std::string_view prefix, const VornishOptions& options);

// Adds the row counts of `from` (a chunk's) to `into`.
void add_counts(VornishStats& into, const VornishStats& from) noexcept;

}  // namespace vornish
