// Where a forward-only read of an input gets its bytes: a descriptor, a
// decompressor over another source, a Python file object. The row loops
// read through FileWindow and never learn which one it is.
//
// A source is read from one thread at a time and only forward; it owns
// whatever it wraps.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/error.hpp"

namespace vornish {

class ByteSource {
 public:
  ByteSource() = default;
  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;
  virtual ~ByteSource() = default;

  // Fills `out` with at most `size` bytes (size > 0) and says how many; 0
  // only once the input has ended, and from then on.
  virtual Result<std::size_t> read(char* out, std::size_t size) = 0;
};

// Where the threaded row loops get their bytes: any offset may be read, by
// several threads at once.
class OffsetSource {
 public:
  OffsetSource() = default;
  OffsetSource(const OffsetSource&) = delete;
  OffsetSource& operator=(const OffsetSource&) = delete;
  virtual ~OffsetSource() = default;

  // Fills `out` with at most `size` bytes (size > 0) from `offset` on and
  // says how many; 0 only when the input ends at or before `offset`.
  virtual Result<std::size_t> read_at(char* out, std::size_t size, std::uint64_t offset) = 0;
};

// Reads `source` into `out` until `size` bytes are there or the input
// ends; `got` says how many came, also when a read failed after some did.
Status read_fully(ByteSource& source, char* out, std::size_t size, std::size_t& got);

// Reads a descriptor from where it stands; EINTR is retried. With `owned`
// the descriptor is closed with the source.
class FdSource final : public ByteSource {
 public:
  FdSource(int fd, bool owned) noexcept : fd_(fd), owned_(owned) {}
  ~FdSource() override;

  Result<std::size_t> read(char* out, std::size_t size) override;

  // The bytes read so far; may be asked from another thread than the
  // reading one, so a decoder's progress can be told in the file's bytes.
  std::uint64_t consumed() const noexcept { return consumed_.load(std::memory_order_relaxed); }
  // The size of the file, when it is a regular file (0 otherwise).
  std::uint64_t file_size() const noexcept;

 private:
  int fd_;
  bool owned_;
  std::atomic<std::uint64_t> consumed_{0};
};

// Opens `path` for reading (a NUL in it is refused before any system call).
Result<std::unique_ptr<FdSource>> open_fd_source(const std::string& path);

}  // namespace vornish
