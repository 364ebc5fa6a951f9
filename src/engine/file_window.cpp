// Reads into one growing heap buffer, positional reads for regular files:
// nothing is mapped, so the bytes held are exactly what the window holds.
#include "engine/file_window.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vornish {
namespace {

constexpr std::uint8_t kLf = 0x0A;
constexpr std::uint8_t kCr = 0x0D;

}  // namespace

void FileWindow::Free::operator()(char* p) const noexcept { std::free(p); }

void FileWindow::restart(std::uint64_t offset) noexcept {
  if (offset >= base_ && offset <= end()) {
    const auto skip = static_cast<std::size_t>(offset - base_);
    if (skip > 0) {
      std::memmove(data_.get(), data_.get() + skip, size_ - skip);
      size_ -= skip;
    }
    base_ = offset;
    return;
  }
  if (positional_) {
    base_ = offset;
    size_ = 0;
    eof_ = false;
  }
}

Status FileWindow::grow(std::size_t want) {
  if (eof_) {
    return Ok{};
  }
  const std::size_t target = size_ + std::max<std::size_t>(want, 1);
  if (target > capacity_) {
    const std::size_t capacity = std::max(target, capacity_ + capacity_ / 2);
    char* p = static_cast<char*>(std::realloc(data_.get(), capacity));
    if (p == nullptr) {
      return VornishError::out_of_memory();
    }
    static_cast<void>(data_.release());
    data_.reset(p);
    capacity_ = capacity;
  }
  while (size_ < target) {
    const std::size_t room = std::min(capacity_ - size_, std::size_t{1} << 30);
    ssize_t n = 0;
    if (offsets_ != nullptr) {
      Result<std::size_t> got = offsets_->read_at(data_.get() + size_, room, end());
      if (!got) {
        return got.error();
      }
      n = static_cast<ssize_t>(got.value());
    } else if (source_ != nullptr) {
      Result<std::size_t> got = source_->read(data_.get() + size_, room);
      if (!got) {
        return got.error();
      }
      n = static_cast<ssize_t>(got.value());
    } else {
      n = positional_ ? ::pread(fd_, data_.get() + size_, room, static_cast<off_t>(end()))
                      : ::read(fd_, data_.get() + size_, room);
    }
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return VornishError::os(errno);
    }
    if (n == 0) {
      eof_ = true;
      break;
    }
    size_ += static_cast<std::size_t>(n);
  }
  return Ok{};
}

Result<std::optional<std::uint64_t>> guess_row_start(FileWindow& window, std::uint64_t offset,
                                                     std::uint64_t max_scan,
                                                     std::size_t read_size) {
  if (offset == 0) {
    return std::optional<std::uint64_t>(0);
  }
  // The byte before `offset` tells whether a line starts right there.
  window.restart(offset - 1);
  std::uint64_t q = offset;
  for (;;) {
    // Bytes q - 1 and q (when there is one) are needed to judge q.
    while (window.end() <= q && !window.at_eof()) {
      if (Status s = window.grow(read_size); !s) {
        return s.error();
      }
    }
    if (window.end() < q) {
      return std::optional<std::uint64_t>(window.end());  // the file ends before `offset`
    }
    const auto* d = reinterpret_cast<const unsigned char*>(window.view().data());
    const std::uint64_t base = window.base();
    const std::uint64_t end = window.end();
    for (; q < end; ++q) {
      const unsigned char before = d[q - 1 - base];
      if (before == kLf || (before == kCr && d[q - base] != kLf)) {
        return std::optional<std::uint64_t>(q);
      }
      if (q - offset > max_scan) {
        return std::optional<std::uint64_t>();
      }
    }
    if (window.at_eof()) {
      return std::optional<std::uint64_t>(end);  // a line end as the last byte is the end too
    }
    // Keep byte q - 1 in view for the next round.
    window.restart(q - 1);
    if (Status s = window.grow(read_size); !s) {
      return s.error();
    }
  }
}

}  // namespace vornish
