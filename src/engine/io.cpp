// Whole-file reading and buffered writing on POSIX descriptors.
//
// The only place in the core that makes system calls. Each failure becomes
// a VornishError value; interrupted calls are repeated; a descriptor is
// owned by exactly one object from the moment it is opened.
#include "engine/io.hpp"

#include <fcntl.h>
#include <sys/mman.h>
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
// Largest buffer we ever try to allocate; mmap refuses more anyway.
constexpr std::size_t kMaxBuffer =
    static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
constexpr std::size_t kPage = std::size_t{4} << 10;
constexpr std::size_t kHugePage = std::size_t{2} << 20;

constexpr std::size_t round_up(std::size_t n, std::size_t unit) noexcept {
  return (n + unit - 1) & ~(unit - 1);
}

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

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, 0)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    mapped_ = std::exchange(other.mapped_, 0);
  }
  return *this;
}

ByteBuffer::~ByteBuffer() { release(); }

void ByteBuffer::release() noexcept {
  if (data_ != nullptr) {
    ::munmap(data_, mapped_);
  }
  data_ = nullptr;
  size_ = 0;
  mapped_ = 0;
}

bool ByteBuffer::reserve(std::size_t capacity) noexcept {
  const std::size_t length = round_up(capacity, kPage);
  if (data_ != nullptr) {
    void* moved = ::mremap(data_, mapped_, length, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) {
      return false;
    }
    data_ = static_cast<char*>(moved);
    mapped_ = length;
    return true;
  }
  // Mapped with a huge page of slack, then cut down to a 2 MiB-aligned start
  // of exactly the length asked for: every whole 2 MiB of it can be a huge
  // page, and the tail that is not one costs no more than it holds.
  const std::size_t slack = length >= kHugePage ? kHugePage : 0;
  void* raw = ::mmap(nullptr, length + slack, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) {
    return false;
  }
  auto* start = static_cast<char*>(raw);
  if (slack != 0) {
    const auto address = reinterpret_cast<std::uintptr_t>(raw);
    const std::size_t head = round_up(address, kHugePage) - address;
    if (head != 0) {
      ::munmap(start, head);
    }
    if (slack - head != 0) {
      ::munmap(start + head + length, slack - head);
    }
    start += head;
    // Only advice: without transparent huge pages the buffer still works.
    static_cast<void>(::madvise(start, length, MADV_HUGEPAGE));
  }
  data_ = start;
  mapped_ = length;
  return true;
}

void ByteBuffer::trim(std::size_t used) noexcept {
  if (used == 0) {
    release();
    return;
  }
  const std::size_t keep = round_up(used, kPage);
  if (keep < mapped_) {
    ::munmap(data_ + keep, mapped_ - keep);
    mapped_ = keep;
  }
  size_ = used;
}

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
  if (!buffer.reserve(capacity)) {
    return VornishError::out_of_memory();
  }
  std::size_t used = 0;
  for (;;) {
    if (used == capacity) {
      if (capacity >= kMaxBuffer / 2 || !buffer.reserve(capacity * 2)) {
        return VornishError::out_of_memory();
      }
      capacity *= 2;
    }
    const std::size_t want = std::min(capacity - used, kMaxChunk);
    const ssize_t n = ::read(fd, buffer.data_ + used, want);
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
  // Unused room goes back at once (the buffer may live as long as a reader
  // object does).
  buffer.trim(used);
  return buffer;
}

Result<ByteBuffer> read_whole_source(ByteSource& source) {
  std::size_t capacity = kUnknownSizeStart;
  ByteBuffer buffer;
  if (!buffer.reserve(capacity)) {
    return VornishError::out_of_memory();
  }
  std::size_t used = 0;
  for (;;) {
    if (used == capacity) {
      if (capacity >= kMaxBuffer / 2 || !buffer.reserve(capacity * 2)) {
        return VornishError::out_of_memory();
      }
      capacity *= 2;
    }
    Result<std::size_t> got = source.read(buffer.data_ + used, std::min(capacity - used, kMaxChunk));
    if (!got) {
      return got.error();
    }
    if (got.value() == 0) {
      break;
    }
    used += got.value();
  }
  buffer.trim(used);
  return buffer;
}

Result<FileHead> read_source_head(ByteSource& source, std::size_t max_bytes) {
  FileHead head;
  // As read_file_head: one byte more than asked, in a buffer that grows as
  // bytes arrive.
  const std::size_t want = std::min(max_bytes, kMaxBuffer - 1) + 1;
  std::size_t used = 0;
  while (used < want) {
    if (used == head.bytes.size()) {
      head.bytes.resize(std::min(want, std::max(kUnknownSizeStart, 2 * used)));
    }
    const std::size_t room = std::min(head.bytes.size() - used, kMaxChunk);
    Result<std::size_t> got = source.read(head.bytes.data() + used, room);
    if (!got) {
      return got.error();
    }
    if (got.value() == 0) {
      break;
    }
    used += got.value();
  }
  head.whole = used < want;
  head.bytes.resize(std::min(used, want - 1));
  return head;
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

Status BufferedFile::write_line_lf(std::string_view text) {
  const std::size_t size = text.size() + 1;
  if (size >= kBufferSize) {
    std::string line;
    line.reserve(size);
    line.append(text);
    line += '\n';
    return write_line(line);
  }
  if (size > kBufferSize - used_) {
    if (Status s = flush(); !s) {
      return s;
    }
  }
  std::memcpy(buffer_.get() + used_, text.data(), text.size());
  buffer_[used_ + text.size()] = '\n';
  used_ += size;
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

Status write_fully(int fd, std::string_view bytes) noexcept {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, std::min(left, kMaxChunk));
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

Status BufferedFile::write_all(std::string_view bytes) { return write_fully(fd_, bytes); }

}  // namespace vornish
