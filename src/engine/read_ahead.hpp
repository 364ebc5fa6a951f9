// A source whose reads run on a thread of their own, a few blocks ahead of
// the reader, so that decompressing an input and repairing it overlap.
//
// The thread starts with the source and is stopped and joined by its
// destructor, on every path; at most `depth` blocks wait at any time.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "engine/byte_source.hpp"

namespace vornish {

class ReadAheadSource final : public ByteSource {
 public:
  static constexpr std::size_t kBlockSize = std::size_t{1} << 20;
  static constexpr std::size_t kDepth = 4;

  // Throws std::system_error when no thread can be started. `inner` must
  // outlive this source and may only be read by it from now on.
  explicit ReadAheadSource(ByteSource& inner);
  ~ReadAheadSource() override;

  Result<std::size_t> read(char* out, std::size_t size) override;

 private:
  struct Block {
    std::unique_ptr<char[]> data;
    std::size_t size = 0;
  };
  void run();

  ByteSource& inner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Block> ready_;
  std::vector<Block> spare_;
  std::size_t taken_ = 0;  // bytes of ready_.front() already handed out
  bool done_ = false;      // the reading thread has finished
  bool stop_ = false;
  std::optional<VornishError> error_;
  // Last, so that it starts after everything it uses exists.
  std::thread thread_;
};

}  // namespace vornish
