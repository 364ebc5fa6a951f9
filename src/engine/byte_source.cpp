// The descriptor source.
#include "engine/byte_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vornish {

Status read_fully(ByteSource& source, char* out, std::size_t size, std::size_t& got) {
  got = 0;
  while (got < size) {
    Result<std::size_t> n = source.read(out + got, size - got);
    if (!n) {
      return n.error();
    }
    if (n.value() == 0) {
      break;
    }
    got += n.value();
  }
  return Ok{};
}

FdSource::~FdSource() {
  if (owned_ && fd_ >= 0) {
    ::close(fd_);
  }
}

Result<std::size_t> FdSource::read(char* out, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd_, out, std::min(size, std::size_t{1} << 30));
    if (n >= 0) {
      consumed_.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
      return static_cast<std::size_t>(n);
    }
    if (errno != EINTR) {
      return VornishError::os(errno);
    }
  }
}

std::uint64_t FdSource::file_size() const noexcept {
  struct stat info {};
  if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
    return 0;
  }
  return static_cast<std::uint64_t>(info.st_size);
}

Result<std::unique_ptr<FdSource>> open_fd_source(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return VornishError::nul_in_path();
  }
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    return VornishError::os(errno);
  }
  return std::make_unique<FdSource>(fd, true);
}

}  // namespace vornish
