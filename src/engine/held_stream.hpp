// A forward-only input (a decompressor, a transcoder, a pipe) read as if it
// were a file: the threaded row loops read it at any offset they still
// need, while the bytes before the oldest one still needed are let go.
//
// That keeps a compressed input on all parsing threads: one thread decodes,
// the others parse chunks of what it decoded, as they would parse a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <vector>

#include "engine/byte_source.hpp"
#include "engine/error.hpp"

namespace vornish {

class HeldStream final : public OffsetSource {
 public:
  static constexpr std::size_t kBlockSize = std::size_t{1} << 20;

  // `inner` must outlive this stream and may only be read by it from now on.
  explicit HeldStream(ByteSource& inner) noexcept : inner_(inner) {}

  // Bytes before released() are an error to ask for: the callers promise
  // never to go back there.
  Result<std::size_t> read_at(char* out, std::size_t size, std::uint64_t offset) override;

  // Reads on until `offset` is held or the input ends; gives the end of
  // what is held then (less than `offset` only at the end of the input).
  Result<std::uint64_t> hold_to(std::uint64_t offset);

  // The input's size, once its end has been read.
  std::optional<std::uint64_t> size() const;

  // Lets the whole blocks before `offset` go (kept for reuse).
  void release_before(std::uint64_t offset);

 private:
  struct Block {
    std::unique_ptr<char[]> data;
    std::size_t size = 0;
  };

  ByteSource& inner_;
  // Taken by the one thread reading `inner_` at a time; never while holding
  // `blocks_mutex_`, so readers of held bytes wait only for a block's push.
  std::mutex load_mutex_;
  mutable std::shared_mutex blocks_mutex_;
  std::deque<Block> blocks_;  // every one full but the last
  std::vector<Block> spare_;
  std::uint64_t first_ = 0;   // the offset of blocks_.front()
  std::uint64_t held_end_ = 0;
  bool ended_ = false;
  std::optional<VornishError> error_;
};

}  // namespace vornish
