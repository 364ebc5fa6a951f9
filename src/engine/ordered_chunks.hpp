// The schedule both threaded engines share (the streaming repair and the
// Arrow batches): a byte range of a file is cut into chunks, worker threads
// take them in input order from a guessed row start, and the caller takes
// them back in that order, with at most two per thread out at a time so
// memory stays bounded whatever the file's size.
//
// A chunk type needs what WorkQueue asks for (`done`, `error`) and, for
// guess_chunk_start, `nominal`, `start` and `end` (a RangeEnd).
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <utility>

#include "engine/error.hpp"
#include "engine/file_window.hpp"
#include "engine/work_queue.hpp"

namespace vornish {

// Where the chunks of [begin, limit) are cut: at begin + k * chunk_size. A
// chunk owns the rows that start inside it, so the cut is a pure function
// of the file and never of the schedule; the last chunk owns every row up
// to `last_stop`.
class ChunkCuts {
 public:
  ChunkCuts(std::uint64_t begin, std::uint64_t limit, std::uint64_t last_stop,
            std::size_t chunk_size, std::size_t threads) noexcept
      : begin_(begin),
        last_stop_(last_stop),
        chunk_size_(chunk_size),
        count_(std::max<std::uint64_t>(1, (limit - begin + chunk_size - 1) / chunk_size)),
        // Threads beyond the number of chunks would have nothing to do.
        threads_(static_cast<std::size_t>(std::min<std::uint64_t>(threads, count_))) {}

  // The cuts of an input whose size is learnt only as it is read (see
  // OrderedChunks::dispatch_until_end).
  static ChunkCuts open_ended(std::size_t chunk_size, std::size_t threads) noexcept {
    return ChunkCuts(0, kNoLimit - chunk_size, kNoLimit, chunk_size, threads);
  }

  std::uint64_t count() const noexcept { return count_; }
  std::size_t threads() const noexcept { return threads_; }
  // Chunks out at a time: one being worked on per thread and one waiting.
  std::size_t in_flight() const noexcept { return threads_ * 2; }
  std::uint64_t nominal(std::uint64_t k) const noexcept { return begin_ + k * chunk_size_; }
  std::uint64_t stop(std::uint64_t k) const noexcept {
    return k + 1 == count_ ? last_stop_ : begin_ + (k + 1) * chunk_size_;
  }

 private:
  std::uint64_t begin_;
  std::uint64_t last_stop_;
  std::size_t chunk_size_;
  std::uint64_t count_;
  std::size_t threads_;
};

// Chunks out to the workers, oldest first. The workers are joined by the
// destructor before any chunk is freed; a caller wanting a quick stop sets
// its chunks' cancel flag before that.
template <typename Chunk>
class OrderedChunks {
 public:
  explicit OrderedChunks(const ChunkCuts& cuts) noexcept : cuts_(cuts) {}
  OrderedChunks(const OrderedChunks&) = delete;
  OrderedChunks& operator=(const OrderedChunks&) = delete;
  ~OrderedChunks() { stop(); }

  // Starts the workers, as WorkQueue::start does (and throws as it does).
  template <typename MakeLocal, typename Run>
  void start(MakeLocal make_local, Run run) {
    queue_.start(cuts_.threads(), std::move(make_local), std::move(run));
  }

  // Hands out chunks until as many as allowed are out or none is left;
  // `make(nominal, stop)` gives the chunk to fill (new or used again).
  template <typename Make>
  void dispatch(Make make) {
    while (next_ < cuts_.count() && pending_.size() < cuts_.in_flight()) {
      pending_.push_back(make(cuts_.nominal(next_), cuts_.stop(next_)));
      queue_.submit(pending_.back().get());
      ++next_;
    }
  }

  // dispatch() for an input whose end is found as it is read:
  // `is_last(nominal, stop)` (a Result<bool>) reads up to the chunk's stop
  // and says whether the input ends there; that chunk then owns every row
  // to the end, and none is handed out after it.
  template <typename Make, typename IsLast>
  Status dispatch_until_end(Make make, IsLast is_last) {
    while (!ended_ && pending_.size() < cuts_.in_flight()) {
      const std::uint64_t nominal = cuts_.nominal(next_);
      Result<bool> last = is_last(nominal, cuts_.nominal(next_ + 1));
      if (!last) {
        return last.error();
      }
      ended_ = last.value();
      pending_.push_back(make(nominal, ended_ ? kNoLimit : cuts_.nominal(next_ + 1)));
      queue_.submit(pending_.back().get());
      ++next_;
    }
    return Ok{};
  }

  bool empty() const noexcept { return pending_.empty(); }
  // The oldest chunk out; it may still be worked on until waited for.
  Chunk& front() noexcept { return *pending_.front(); }
  void wait(const Chunk& chunk) { queue_.wait(chunk); }
  template <typename Rep, typename Period>
  bool wait_for(const Chunk& chunk, std::chrono::duration<Rep, Period> timeout) {
    return queue_.wait_for(chunk, timeout);
  }
  // Takes the oldest chunk back once it is done.
  std::unique_ptr<Chunk> pop_front() {
    std::unique_ptr<Chunk> chunk = std::move(pending_.front());
    pending_.pop_front();
    return chunk;
  }
  void stop() noexcept { queue_.stop(); }

 private:
  ChunkCuts cuts_;
  std::uint64_t next_ = 0;
  bool ended_ = false;
  std::deque<std::unique_ptr<Chunk>> pending_;
  // Last, so its threads are joined before the chunks they use go.
  WorkQueue<Chunk> queue_;
};

// How far past its stop a chunk parsed from a guessed start may read: a
// row reaching further most likely means the guess fell inside a quoted
// field. Bound by the chunk, not by the pieces it is read in.
inline constexpr std::uint64_t chunk_overhang(std::size_t chunk_size) noexcept {
  return std::uint64_t{std::max<std::size_t>(chunk_size, 4096)} * 2;
}

// The row start a chunk is parsed from before its true start is known: the
// first line start at or after its nominal offset (the first read covers
// `read_size` and a little more, for the chunk's last row). False when
// there is nothing to parse: `chunk.error` holds a failed read, or
// `chunk.end.abandoned` says no line starts within `overhang` bytes.
template <typename Chunk>
bool guess_chunk_start(Chunk& chunk, FileWindow& window, std::uint64_t overhang,
                       std::size_t read_size) {
  Result<std::optional<std::uint64_t>> guess =
      guess_row_start(window, chunk.nominal, overhang, read_size + kLastRowRead);
  if (!guess) {
    chunk.error = guess.error();
    return false;
  }
  chunk.start = guess.value();
  if (!chunk.start) {
    chunk.end.abandoned = true;
    return false;
  }
  return true;
}

}  // namespace vornish
