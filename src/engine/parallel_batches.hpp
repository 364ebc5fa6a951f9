// Arrow batches of one byte range of a file, built on several threads and
// handed out in input order.
//
// The range is cut into chunks at nominal offsets begin + k * chunk_size; a
// chunk owns the rows that start inside it, as in the streaming repair.
// Worker threads build the batches of a chunk from a guessed row start; the
// caller's thread takes chunks in order and keeps a chunk only when the one
// before it ended exactly where the guess began, and otherwise builds it
// again from the true start. Rows, their order and the counts are those of
// one parser reading the range from `begin`; only the batch boundaries
// differ, since every chunk's last batch ends with the chunk.
//
// Memory stays near 2 * threads chunks of batches: no chunk is started
// while that many are built or waiting to be taken. The destructor stops
// and joins the workers, wherever the caller has got to.
//
// Not thread-safe: one caller at a time, as for BatchSource.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/arrow_abi.hpp"
#include "engine/arrow_batch.hpp"
#include "engine/error.hpp"
#include "engine/vornish.hpp"

namespace vornish {

struct ParallelPlan {
  // Read with positional reads only; not owned, and open for the whole life
  // of the ParallelBatches.
  int fd = -1;
  VornishOptions options;
  Dialect dialect;
  std::size_t columns = 0;
  StringWidth width = StringWidth::Utf8;
  BatchLimits limits;
  // A true row start, past any header.
  std::uint64_t begin = 0;
  // Exclusive; kNoLimit reads to the end of the file.
  std::uint64_t stop = 0;
  // The file's size when it was opened; only where the chunks are cut
  // depends on it.
  std::uint64_t size = 0;
  std::size_t threads = 2;
  std::size_t chunk_size = std::size_t{4} << 20;
  std::shared_ptr<const TableTypes> types;
  // Where the chunks' repair records go, in input order, as each chunk is
  // taken; none: nothing is recorded. `first_line` is the line at `begin`.
  RepairLog* log = nullptr;
  std::size_t first_line = 1;
};

class ParallelBatches {
 public:
  // Starts the workers; fails only when no thread can be started.
  static Result<std::unique_ptr<ParallelBatches>> start(const ParallelPlan& plan);

  ~ParallelBatches();
  ParallelBatches(const ParallelBatches&) = delete;
  ParallelBatches& operator=(const ParallelBatches&) = delete;

  // As BatchSource::next_batch.
  BatchNext next(ArrowArray* out);
  std::string failure() const;
  // The counts of the chunks taken so far; of the whole range once next
  // has returned End.
  const VornishStats& counts() const noexcept;
  // Cells nulled per column, of the chunks taken so far.
  const std::vector<std::uint64_t>& nulled() const noexcept;

 private:
  struct State;
  explicit ParallelBatches(std::unique_ptr<State> state) noexcept;
  std::unique_ptr<State> state_;
};

}  // namespace vornish
