// Where a forward-only read of an input gets its bytes: a descriptor, a
// decompressor over another source, a Python file object. The row loops
// read through FileWindow and never learn which one it is.
//
// A source is read from one thread at a time and only forward; it owns
// whatever it wraps.
#pragma once

#include <cstddef>
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

// Reads a descriptor from where it stands; EINTR is retried. With `owned`
// the descriptor is closed with the source.
class FdSource final : public ByteSource {
 public:
  FdSource(int fd, bool owned) noexcept : fd_(fd), owned_(owned) {}
  ~FdSource() override;

  Result<std::size_t> read(char* out, std::size_t size) override;

 private:
  int fd_;
  bool owned_;
};

// Opens `path` for reading (a NUL in it is refused before any system call).
Result<std::unique_ptr<ByteSource>> open_fd_source(const std::string& path);

}  // namespace vornish
