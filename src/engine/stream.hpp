// The file repair for inputs of any size: the file is read in chunks, rows
// are repaired and written as they come, and chunks may be parsed on
// several threads at once.
//
// Output bytes, quarantine bytes and stats are those of vornish_file for
// every input, chunk size and thread count. Memory stays near (threads + 1)
// chunks plus the longest row, whatever the size of the file.
//
// Building blocks for other row loops over files are exposed below: a
// window over a file's bytes, the row loop over one byte range of it, and a
// count-only pass that finds where the rows of a range really end.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/byte_source.hpp"
#include "engine/error.hpp"
#include "engine/vornish.hpp"

namespace vornish {

inline constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

// The bytes [base(), end()) of a file, read on demand. With `positional`
// (regular files) any offset can be read; otherwise reads continue where
// the last one stopped, so the window only ever moves forward. A window
// over a ByteSource is forward-only; the source must outlive it, and its
// first byte is the file's byte `base` (a remote file read from a row
// start on).
class FileWindow {
 public:
  FileWindow(int fd, bool positional) noexcept : fd_(fd), positional_(positional) {}
  explicit FileWindow(ByteSource& source, std::uint64_t base = 0) noexcept
      : fd_(-1), positional_(false), source_(&source), base_(base) {}
  // Any offset of `source` can be read; it must outlive the window.
  explicit FileWindow(OffsetSource& source) noexcept
      : fd_(-1), positional_(true), offsets_(&source) {}

  std::uint64_t base() const noexcept { return base_; }
  std::uint64_t end() const noexcept { return base_ + size_; }
  std::string_view view() const noexcept { return {data_.get(), size_}; }
  // Whether the file ends at end(): nothing more came from the last read.
  bool at_eof() const noexcept { return eof_; }

  // Makes `offset` the first byte held, keeping the bytes after it that are
  // already held. A forward-only window cannot go back before base().
  void restart(std::uint64_t offset) noexcept;
  // Reads until at least `want` more bytes are held or the file ends.
  Status grow(std::size_t want);

 private:
  struct Free {
    void operator()(char* p) const noexcept;
  };
  int fd_;
  bool positional_;
  ByteSource* source_ = nullptr;
  OffsetSource* offsets_ = nullptr;
  bool eof_ = false;
  std::uint64_t base_ = 0;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::unique_ptr<char, Free> data_;
};

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

// The first line start at or after `offset`: 0, or a position right after
// LF, or right after a CR that no LF follows; the end of the file if there
// is none. A guess at a row start (a quoted field may hold line ends), used
// to start parsing chunks on several threads before their true starts are
// known. Gives nothing when none lies within `max_scan` bytes.
Result<std::optional<std::uint64_t>> guess_row_start(FileWindow& window, std::uint64_t offset,
                                                     std::uint64_t max_scan,
                                                     std::size_t read_size);

// Whether the start of a file settles the dialect as the whole file would:
// the heuristics read only rows that are complete in `prefix`.
bool settles_dialect(std::string_view prefix, const VornishOptions& options);

// Called on the calling thread between chunks with the bytes of the input
// done so far and its size (0 when unknown); false stops the run.
using ChunkHook = std::function<bool(std::uint64_t done, std::uint64_t total)>;

// More threads than this only cost memory: one chunk in flight per thread
// and one more waiting.
inline constexpr std::size_t kMaxThreads = 256;

// The cores this process may run on (its affinity mask), at least 1.
std::size_t usable_cores() noexcept;

struct StreamOptions {
  static constexpr std::size_t kDefaultChunkSize = std::size_t{4} << 20;
  // 1: everything on the calling thread; more: that many parsing threads,
  // the calling thread writing.
  std::size_t threads = 1;
  std::size_t chunk_size = kDefaultChunkSize;
  ChunkHook between_chunks;
  // When set, the input's bytes come from here and `input_path` is only
  // looked at, to tell whether the output replaces it. Read forward only,
  // the source still feeds several parsing threads: the bytes of the chunks
  // in flight are held in memory until they are committed. The output is then always written beside its place and
  // renamed there once complete, so a source failing late (a truncated
  // compressed stream) leaves no partial output.
  ByteSource* source = nullptr;
  // Count the changes of the run by action (StreamRun::actions).
  bool record = false;
  // Also write every change to this audit CSV file, created (or truncated)
  // with the output and written as the rows are committed.
  std::optional<std::string> audit_path;
};

struct StreamRun {
  VornishStats stats;
  // The changes recorded, by action; zero unless StreamOptions::record or
  // an audit file was asked for.
  ActionCounts actions{};
  // The hook asked to stop: no stats, output left as described below.
  bool cancelled = false;
  // Chunks whose guessed start proved wrong and that were parsed again.
  std::size_t reparsed_chunks = 0;
  // Of those, the ones whose second parse met the first one's rows, so
  // only the part before the meeting point was parsed twice.
  std::size_t resynced_chunks = 0;
};

// vornish_file for large files. What differs from vornish_file is the order
// of effects only: the output is created once the start of the input has
// settled the dialect, before the input has been read to its end, so a read
// failure later on leaves a partial output. When the output is the input
// file itself it is written beside it and renamed over it once complete
// (keeping its permission bits); on failure or cancellation that file is
// removed and the input stays as it was. Otherwise a failed or cancelled
// run leaves the output holding what was written so far, and no quarantine
// file. Quarantined rows wait in a temporary file, never all in memory,
// until the output is complete. A file with a preamble (`options.skip_rows`)
// is read on one thread.
Result<StreamRun> stream_vornish_file(const std::string& input_path,
                                      const std::string& output_path,
                                      const std::optional<std::string>& quarantine_path,
                                      const VornishOptions& options,
                                      const StreamOptions& stream);

}  // namespace vornish
