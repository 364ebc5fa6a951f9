// The held blocks of a forward-only input and their hand-out by offset.
#include "engine/held_stream.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace vornish {

namespace {
// Blocks let go are kept for the next reads up to this many, so a long run
// faults its pages in once.
constexpr std::size_t kSpareBlocks = 16;
}  // namespace

Result<std::uint64_t> HeldStream::hold_to(std::uint64_t offset) {
  std::lock_guard<std::mutex> load(load_mutex_);
  for (;;) {
    Block block;
    {
      std::unique_lock<std::shared_mutex> lock(blocks_mutex_);
      if (held_end_ >= offset || ended_) {
        if (held_end_ < offset && error_) {
          return *error_;
        }
        return held_end_;
      }
      if (!spare_.empty()) {
        block = std::move(spare_.back());
        spare_.pop_back();
      }
    }
    if (!block.data) {
      block.data.reset(new (std::nothrow) char[kBlockSize]);
      if (!block.data) {
        return VornishError::out_of_memory();
      }
    }
    // Only the last block may be short: offsets map to blocks by division.
    std::optional<VornishError> failed;
    if (Status s = read_fully(inner_, block.data.get(), kBlockSize, block.size); !s) {
      failed = s.error();
    }
    const bool ended = block.size < kBlockSize;
    std::unique_lock<std::shared_mutex> lock(blocks_mutex_);
    if (block.size > 0) {
      held_end_ += block.size;
      blocks_.push_back(std::move(block));
    }
    if (failed || ended) {
      ended_ = true;
      error_ = failed;
    }
  }
}

Result<std::size_t> HeldStream::read_at(char* out, std::size_t size, std::uint64_t offset) {
  bool held = false;
  {
    std::shared_lock<std::shared_mutex> lock(blocks_mutex_);
    held = offset < held_end_ || ended_;
  }
  if (!held) {
    if (Result<std::uint64_t> got = hold_to(offset + 1); !got) {
      return got.error();
    }
  }
  std::shared_lock<std::shared_mutex> lock(blocks_mutex_);
  if (offset < first_) {
    return VornishError::source_failed();
  }
  if (offset >= held_end_) {
    if (error_) {
      return *error_;
    }
    return std::size_t{0};
  }
  std::size_t copied = 0;
  std::uint64_t at = offset;
  while (copied < size && at < held_end_) {
    const auto index = static_cast<std::size_t>((at - first_) / kBlockSize);
    const auto within = static_cast<std::size_t>((at - first_) % kBlockSize);
    const Block& block = blocks_[index];
    const std::size_t n = std::min(size - copied, block.size - within);
    std::memcpy(out + copied, block.data.get() + within, n);
    copied += n;
    at += n;
  }
  return copied;
}

std::optional<std::uint64_t> HeldStream::size() const {
  std::shared_lock<std::shared_mutex> lock(blocks_mutex_);
  if (ended_ && !error_) {
    return held_end_;
  }
  return std::nullopt;
}

void HeldStream::release_before(std::uint64_t offset) {
  std::unique_lock<std::shared_mutex> lock(blocks_mutex_);
  while (!blocks_.empty() && first_ + blocks_.front().size <= offset) {
    first_ += blocks_.front().size;
    if (spare_.size() < kSpareBlocks) {
      spare_.push_back(std::move(blocks_.front()));
    }
    blocks_.pop_front();
  }
}

}  // namespace vornish
