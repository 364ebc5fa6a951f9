// The read-ahead thread and its hand-over.
#include "engine/read_ahead.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace vornish {

ReadAheadSource::ReadAheadSource(ByteSource& inner) : inner_(inner), thread_([this] { run(); }) {}

ReadAheadSource::~ReadAheadSource() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void ReadAheadSource::run() {
  for (;;) {
    Block block;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return stop_ || ready_.size() < kDepth; });
      if (stop_) {
        done_ = true;
        return;
      }
      if (!spare_.empty()) {
        block = std::move(spare_.back());
        spare_.pop_back();
      }
    }
    if (!block.data) {
      block.data.reset(new (std::nothrow) char[kBlockSize]);
    }
    std::optional<VornishError> failed;
    bool ended = false;
    block.size = 0;
    if (!block.data) {
      failed = VornishError::out_of_memory();
    } else if (Status s = read_fully(inner_, block.data.get(), kBlockSize, block.size); !s) {
      failed = s.error();
    } else {
      ended = block.size < kBlockSize;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (block.size > 0) {
        ready_.push_back(std::move(block));
      }
      if (failed || ended) {
        error_ = failed;
        done_ = true;
      }
    }
    changed_.notify_all();
    if (failed || ended) {
      return;
    }
  }
}

Result<std::size_t> ReadAheadSource::read(char* out, std::size_t size) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !ready_.empty() || done_; });
  if (ready_.empty()) {
    if (error_) {
      return *error_;
    }
    return std::size_t{0};
  }
  Block& front = ready_.front();
  const std::size_t n = std::min(size, front.size - taken_);
  std::memcpy(out, front.data.get() + taken_, n);
  taken_ += n;
  if (taken_ == front.size) {
    spare_.push_back(std::move(front));
    ready_.pop_front();
    taken_ = 0;
    lock.unlock();
    changed_.notify_all();
  }
  return n;
}

}  // namespace vornish
