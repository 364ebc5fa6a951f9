// A window over a file's bytes, read on demand, for the row loops that
// walk a file in pieces: the streaming repair, the Arrow batches and the
// type scan. Knows nothing of rows beyond where lines start.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>

#include "engine/byte_source.hpp"
#include "engine/error.hpp"

namespace vornish {

inline constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

// What is read at a time for the last row of a range, past its stop.
inline constexpr std::size_t kLastRowRead = std::size_t{64} << 10;

// What a thread reads at a time of a chunk it parses: small enough that the
// bytes just copied are still in the core's own cache when the parser comes
// to them, large enough that the reads' own cost does not show.
inline constexpr std::size_t kPieceRead = std::size_t{256} << 10;

inline constexpr std::size_t piece_read_size(std::size_t chunk_size) noexcept {
  return std::clamp<std::size_t>(chunk_size, 4096, kPieceRead);
}

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

// The first line start at or after `offset`: 0, or a position right after
// LF, or right after a CR that no LF follows; the end of the file if there
// is none. A guess at a row start (a quoted field may hold line ends), used
// to start parsing chunks on several threads before their true starts are
// known. Gives nothing when none lies within `max_scan` bytes.
Result<std::optional<std::uint64_t>> guess_row_start(FileWindow& window, std::uint64_t offset,
                                                     std::uint64_t max_scan,
                                                     std::size_t read_size);

}  // namespace vornish
