// Files the streaming repair writes: descriptors owned by one object, text
// handed to the system in large blocks, and an output that replaces its own
// input by being written beside it and renamed over it once complete.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "engine/error.hpp"
#include "engine/io.hpp"

namespace vornish {

// Output and quarantine text are handed to the system in blocks this large.
inline constexpr std::size_t kWriteBlock = std::size_t{1} << 20;

// Whether a path holds a NUL byte, where the system would see it end.
inline bool has_nul(const std::string& path) noexcept {
  return path.find('\0') != std::string::npos;
}

// open(2), retried while interrupted.
int open_retrying(const char* path, int flags, mode_t mode) noexcept;

// A descriptor owned by one object; closed by the destructor if still open.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) noexcept : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const noexcept { return fd_; }
  bool open() const noexcept { return fd_ >= 0; }
  void reset() noexcept {
    if (fd_ >= 0) {
      ::close(std::exchange(fd_, -1));
    }
  }
  // Closes and reports what the system says (a network file system may only
  // report a failed write here); EINTR still closed the descriptor.
  Status close() noexcept {
    if (fd_ < 0) {
      return Ok{};
    }
    if (::close(std::exchange(fd_, -1)) != 0 && errno != EINTR) {
      return VornishError::os(errno);
    }
    return Ok{};
  }

  Status write_all(std::string_view bytes) const noexcept { return write_fully(fd_, bytes); }

 private:
  int fd_ = -1;
};

// Text for a file, collected and written in large blocks.
class BlockWriter {
 public:
  explicit BlockWriter(Fd& fd) noexcept : fd_(fd) {}

  Status append(std::string_view text) {
    if (pending_.empty() && text.size() >= kWriteBlock) {
      return fd_.write_all(text);
    }
    pending_ += text;
    if (pending_.size() >= kWriteBlock) {
      return flush();
    }
    return Ok{};
  }
  Status flush() {
    if (pending_.empty()) {
      return Ok{};
    }
    Status s = fd_.write_all(pending_);
    pending_.clear();
    return s;
  }

 private:
  Fd& fd_;
  std::string pending_;
};

// The directory part of a path, for files that must live beside it.
std::string directory_of(const std::string& path);

// The output target and how it is replaced.
struct Output {
  Fd fd;
  std::string path;       // what the caller named
  std::string temporary;  // non-empty while writing beside the input
  std::string target;     // what the temporary replaces
};

// Opens `output_path` for writing; when it names the input (`input`) or
// `always_beside` holds and it is a regular file or none, a temporary file
// beside it is opened instead, to be renamed over it once complete.
Result<Output> create_output(const std::string& output_path, const struct stat& input,
                             bool always_beside);

// Removes the temporary output unless the run got to rename it.
class TemporaryGuard {
 public:
  explicit TemporaryGuard(const std::string& path) noexcept : path_(path) {}
  TemporaryGuard(const TemporaryGuard&) = delete;
  TemporaryGuard& operator=(const TemporaryGuard&) = delete;
  ~TemporaryGuard() {
    if (!path_.empty()) {
      ::unlink(path_.c_str());
    }
  }
  void release() noexcept { path_.clear(); }

 private:
  std::string path_;
};

}  // namespace vornish
