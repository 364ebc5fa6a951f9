// Whole-file reading and buffered writing on POSIX descriptors.
//
// The only place in the core that makes system calls. Each failure becomes
// a VornishError value; interrupted calls are repeated; a descriptor is
// owned by exactly one object from the moment it is opened.
#include "engine/io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace vornish {
namespace {

// Linux transfers at most about 2 GiB per call; asking for less keeps every
// count comfortably inside ssize_t.
constexpr std::size_t kMaxChunk = std::size_t{1} << 30;
// First allocation when the size is unknown (pipes, /proc files).
constexpr std::size_t kUnknownSizeStart = std::size_t{64} << 10;
// Largest buffer we ever try to allocate; malloc refuses more anyway.
constexpr std::size_t kMaxBuffer =
    static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());

bool has_nul(const std::string& path) noexcept {
  return path.find('\0') != std::string::npos;
}

int open_retrying(const char* path, int flags, mode_t mode) noexcept {
  for (;;) {
    const int fd = ::open(path, flags, mode);
    if (fd >= 0 || errno != EINTR) {
      return fd;
    }
  }
}

// Closes a descriptor on scope exit; used while reading, where a close
// failure cannot lose data.
class FdGuard {
 public:
  explicit FdGuard(int fd) noexcept : fd_(fd) {}
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
  ~FdGuard() { ::close(fd_); }

 private:
  int fd_;
};

}  // namespace

void ByteBuffer::Free::operator()(char* p) const noexcept { std::free(p); }

Result<ByteBuffer> read_whole_file(const std::string& path) {
  if (has_nul(path)) {
    return VornishError::nul_in_path();
  }
  const int fd = open_retrying(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) {
    return VornishError::os(errno);
  }
  FdGuard guard(fd);

  // The size is a hint only: the file may grow or shrink while we read, and
  // pipes and /proc files report 0. One spare byte lets the final read see
  // the end of a regular file without growing the buffer.
  std::size_t capacity = kUnknownSizeStart;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    const auto size = static_cast<std::uintmax_t>(info.st_size);
    if (size >= kMaxBuffer) {
      return VornishError::out_of_memory();
    }
    capacity = static_cast<std::size_t>(size) + 1;
  }

  ByteBuffer buffer;
  buffer.data_.reset(static_cast<char*>(std::malloc(capacity)));
  if (!buffer.data_) {
    return VornishError::out_of_memory();
  }
  std::size_t used = 0;
  for (;;) {
    if (used == capacity) {
      if (capacity >= kMaxBuffer / 2) {
        return VornishError::out_of_memory();
      }
      const std::size_t grown = capacity * 2;
      char* p = static_cast<char*>(std::realloc(buffer.data_.get(), grown));
      if (p == nullptr) {
        return VornishError::out_of_memory();
      }
      static_cast<void>(buffer.data_.release());
      buffer.data_.reset(p);
      capacity = grown;
    }
    const std::size_t want = std::min(capacity - used, kMaxChunk);
    const ssize_t n = ::read(fd, buffer.data_.get() + used, want);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return VornishError::os(errno);
    }
    if (n == 0) {
      break;
    }
    used += static_cast<std::size_t>(n);
  }

  // Hand back unused room when it is worth a call (the buffer may live as
  // long as a reader object does).
  if (used == 0) {
    buffer.data_.reset();
  } else if (capacity - used > std::max<std::size_t>(4096, used / 8)) {
    char* p = static_cast<char*>(std::realloc(buffer.data_.get(), used));
    if (p != nullptr) {
      static_cast<void>(buffer.data_.release());
      buffer.data_.reset(p);
    }
  }
  buffer.size_ = used;
  return buffer;
}

Result<FileHead> read_file_head(const std::string& path, std::size_t max_bytes) {
  if (has_nul(path)) {
    return VornishError::nul_in_path();
  }
  const int fd = open_retrying(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) {
    return VornishError::os(errno);
  }
  FdGuard guard(fd);
  FileHead head;
  // One byte more than asked tells a file of exactly max_bytes from a longer
  // one. The buffer grows as bytes arrive, so a huge max_bytes costs nothing
  // for a small file.
  const std::size_t want = std::min(max_bytes, kMaxBuffer - 1) + 1;
  std::size_t used = 0;
  while (used < want) {
    if (used == head.bytes.size()) {
      head.bytes.resize(std::min(want, std::max(kUnknownSizeStart, 2 * used)));
    }
    const std::size_t room = std::min(head.bytes.size() - used, kMaxChunk);
    const ssize_t n = ::read(fd, head.bytes.data() + used, room);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return VornishError::os(errno);
    }
    if (n == 0) {
      break;
    }
    used += static_cast<std::size_t>(n);
  }
  head.whole = used < want;
  head.bytes.resize(std::min(used, want - 1));
  return head;
}

BufferedFile::BufferedFile(int fd, std::unique_ptr<char[]> buffer) noexcept
    : fd_(fd), buffer_(std::move(buffer)) {}

BufferedFile::BufferedFile(BufferedFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      used_(std::exchange(other.used_, 0)),
      buffer_(std::move(other.buffer_)) {}

BufferedFile::~BufferedFile() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

Result<BufferedFile> BufferedFile::create(const std::string& path) {
  if (has_nul(path)) {
    return VornishError::nul_in_path();
  }
  // Allocated before the open so that a failed allocation cannot leak the
  // descriptor.
  auto buffer = std::make_unique_for_overwrite<char[]>(kBufferSize);
  const int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    return VornishError::os(errno);
  }
  return BufferedFile(fd, std::move(buffer));
}

Status BufferedFile::write_line(std::string_view line) {
  if (line.size() > kBufferSize - used_) {
    if (Status s = flush(); !s) {
      return s;
    }
  }
  if (line.size() >= kBufferSize) {
    return write_all(line);
  }
  std::memcpy(buffer_.get() + used_, line.data(), line.size());
  used_ += line.size();
  return Ok{};
}

Status BufferedFile::flush() {
  if (used_ == 0) {
    return Ok{};
  }
  const std::size_t n = std::exchange(used_, 0);
  return write_all({buffer_.get(), n});
}

Status BufferedFile::close() {
  if (fd_ < 0) {
    return Ok{};
  }
  const int fd = std::exchange(fd_, -1);
  // On Linux the descriptor is gone even when close reports EINTR, so
  // there is nothing to repeat and nothing was lost.
  if (::close(fd) != 0 && errno != EINTR) {
    return VornishError::os(errno);
  }
  return Ok{};
}

Status BufferedFile::write_all(std::string_view bytes) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd_, p, std::min(left, kMaxChunk));
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return VornishError::os(errno);
    }
    if (n == 0) {
      return VornishError::write_zero();
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return Ok{};
}

}  // namespace vornish
