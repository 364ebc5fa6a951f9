#include "engine/chunk_scheduler.hpp"

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "engine/chunk_sink.hpp"
#include "engine/held_stream.hpp"
#include "engine/ordered_chunks.hpp"
#include "engine/row_range.hpp"
#include "engine/work_queue.hpp"

namespace vornish {
namespace {

// Rows between two checkpoints of a speculative parse.
constexpr std::size_t kCheckpointEvery = 64;
// How often the calling thread looks up (signals, progress) while it waits.
constexpr auto kPollInterval = std::chrono::milliseconds(50);

// Adds the counts `to` has beyond `from` (an earlier snapshot of it).
void add_counts_between(VornishStats& into, const VornishStats& from,
                        const VornishStats& to) noexcept {
  into.total_rows += to.total_rows - from.total_rows;
  into.vornished_rows += to.vornished_rows - from.vornished_rows;
  into.repaired_rows += to.repaired_rows - from.repaired_rows;
  into.quarantined_rows += to.quarantined_rows - from.quarantined_rows;
}

// One chunk on its way from a worker to the committing thread.
struct Chunk {
  Chunk(const VornishOptions& options, const Dialect& dialect, bool keep_quarantine, bool record)
      : sink(options, dialect, keep_quarantine, record), repair(options, dialect) {}

  std::uint64_t nominal = 0;
  std::uint64_t stop = kNoLimit;
  ChunkSink sink;
  RowRepair repair;
  std::optional<std::uint64_t> start;  // the guessed row start it was parsed from
  RangeEnd end;
  std::optional<VornishError> error;
  bool done = false;
  // Where some of its rows started and what had been produced by then: a
  // parse from the true start that meets one of these needs to go no
  // further, since from a common row start on both parses are the same.
  struct Checkpoint {
    std::uint64_t start;
    std::size_t line;
    std::size_t clean_size;
    std::size_t records;
    std::size_t log_entries;
    VornishStats counts;
  };
  std::vector<Checkpoint> checkpoints;

  void reset(const VornishOptions& options, const Dialect& dialect) {
    checkpoints.clear();
    sink.clear();
    repair = RowRepair(options, dialect);
    start.reset();
    end = RangeEnd{};
    error.reset();
    done = false;
  }
};

// The speculative parse a worker runs on a chunk.
class SpeculativeParse {
 public:
  SpeculativeParse(const VornishOptions& options, const Dialect& dialect, std::size_t chunk_size,
                   const std::atomic<bool>& cancel) noexcept
      : options_(options), dialect_(dialect), chunk_size_(chunk_size), cancel_(cancel) {}

  void operator()(Chunk& chunk, FileWindow& window) const {
    const std::uint64_t overhang = chunk_overhang(chunk_size_);
    const std::size_t read_size = piece_read_size(chunk_size_);
    if (!guess_chunk_start(chunk, window, overhang, read_size)) {
      return;
    }
    RangeLimits limits{overhang, &cancel_, read_size, {}};
    std::uint64_t last_start = kNoLimit;
    std::size_t rows = 0;
    limits.before_row = [&](std::uint64_t row_start, std::size_t line, const VornishStats& counts) {
      if (row_start != last_start) {
        last_start = row_start;
        if (rows++ % kCheckpointEvery == 0) {
          chunk.checkpoints.push_back({row_start, line, chunk.sink.clean().size(),
                                       chunk.sink.records().size(), chunk.sink.log().size(),
                                       counts});
        }
      }
      return true;
    };
    chunk.sink.read_from(&window);
    Result<RangeEnd> end = run_range(window, *chunk.start, chunk.stop, 1, options_, dialect_,
                                     chunk.repair, chunk.sink, limits);
    chunk.sink.read_from(nullptr);
    if (!end) {
      chunk.error = end.error();
      return;
    }
    chunk.end = end.value();
  }

 private:
  const VornishOptions& options_;
  const Dialect& dialect_;
  std::size_t chunk_size_;
  const std::atomic<bool>& cancel_;
};

}  // namespace

Result<bool> run_sequential(FileWindow& window, const VornishOptions& options,
                            const Dialect& dialect, bool keep_quarantine, bool record,
                            std::size_t chunk_size, Committer& committer, VornishStats& stats,
                            const Progress& progress) {
  ChunkSink sink(options, dialect, keep_quarantine, record);
  sink.read_from(&window);
  RowRepair repair(options, dialect);
  RangeLimits limits;
  limits.read_size = piece_read_size(chunk_size);
  std::uint64_t pos = 0;
  std::size_t line = 1;
  for (;;) {
    sink.clear();
    const std::uint64_t stop = pos + chunk_size;
    Result<RangeEnd> end =
        run_range(window, pos, stop, line, options, dialect, repair, sink, limits);
    if (!end) {
      return end.error();
    }
    pos = end.value().end;
    line = end.value().next_line;
    const bool last = window.at_eof() && pos >= window.end();
    if (last) {
      // The rows still held back are the footer.
      repair.finish(sink);
    }
    if (Status s = committer.commit(sink, 1); !s) {
      return s.error();
    }
    if (last) {
      break;
    }
    if (!progress.report(pos)) {
      return false;
    }
  }
  add_counts(stats, repair.stats());
  return true;
}

Result<bool> run_parallel(int fd, std::uint64_t size, HeldStream* held, FileWindow& window,
                          const VornishOptions& options, const Dialect& dialect,
                          bool keep_quarantine, bool record, std::size_t thread_count,
                          std::size_t chunk_size, Committer& committer, VornishStats& stats,
                          ChunkRetries& retries, const Progress& progress) {
  std::atomic<bool> cancel{false};
  // Committed chunks are used again: their buffers keep their capacity, so
  // a run of any length allocates (and faults in) about in_flight chunks.
  std::vector<std::unique_ptr<Chunk>> spare;
  const SpeculativeParse parse(options, dialect, chunk_size, cancel);
  // Declared after what its threads use, so they are joined before it goes.
  OrderedChunks<Chunk> chunks(held != nullptr
                                  ? ChunkCuts::open_ended(chunk_size, thread_count)
                                  : ChunkCuts(0, size, kNoLimit, chunk_size, thread_count));
  chunks.start([fd, held] { return held != nullptr ? FileWindow(*held) : FileWindow(fd, true); },
               [&parse](Chunk& chunk, FileWindow& own) { parse(chunk, own); });
  struct CancelOnExit {
    std::atomic<bool>& flag;
    ~CancelOnExit() { flag.store(true, std::memory_order_relaxed); }
  } cancel_on_exit{cancel};

  const auto dispatch = [&]() -> Status {
    const auto make = [&](std::uint64_t nominal, std::uint64_t stop) {
      std::unique_ptr<Chunk> chunk;
      if (spare.empty()) {
        chunk = std::make_unique<Chunk>(options, dialect, keep_quarantine, record);
      } else {
        chunk = std::move(spare.back());
        spare.pop_back();
        chunk->reset(options, dialect);
      }
      chunk->nominal = nominal;
      chunk->stop = stop;
      return chunk;
    };
    if (held == nullptr) {
      chunks.dispatch(make);
      return Ok{};
    }
    return chunks.dispatch_until_end(make, [&](std::uint64_t, std::uint64_t stop) -> Result<bool> {
      Result<std::uint64_t> held_end = held->hold_to(stop + 1);
      if (!held_end) {
        return held_end.error();
      }
      return held_end.value() <= stop;
    });
  };

  std::uint64_t true_start = 0;
  std::size_t line = 1;
  RangeLimits inline_limits;
  inline_limits.read_size = piece_read_size(chunk_size);
  ChunkSink redo(options, dialect, keep_quarantine, record);
  redo.read_from(&window);
  if (Status s = dispatch(); !s) {
    return s.error();
  }
  while (!chunks.empty()) {
    Chunk& chunk = chunks.front();
    while (!chunks.wait_for(chunk, kPollInterval)) {
      if (!progress.report(true_start)) {
        return false;
      }
    }
    if (chunk.error) {
      return *chunk.error;
    }
    const ChunkSink* committed = &chunk.sink;
    VornishStats counts = chunk.repair.stats();
    if (chunk.end.abandoned || chunk.end.cancelled || chunk.start != true_start) {
      // The guess was wrong: parse the chunk again from where its rows
      // really start, until that parse meets one of the first one's rows.
      ++retries.reparsed_chunks;
      const bool usable = !chunk.end.abandoned && !chunk.end.cancelled;
      redo.clear();
      RowRepair redo_repair(options, dialect);
      RangeLimits limits = inline_limits;
      std::size_t met_at = 0;
      if (usable) {
        limits.before_row = [&](std::uint64_t row_start, std::size_t, const VornishStats&) {
          const std::vector<Chunk::Checkpoint>& cps = chunk.checkpoints;
          while (met_at < cps.size() && cps[met_at].start < row_start) {
            ++met_at;
          }
          return met_at == cps.size() || cps[met_at].start != row_start;
        };
      }
      Result<RangeEnd> end = run_range(window, true_start, chunk.stop, 1, options, dialect,
                                       redo_repair, redo, limits);
      if (!end) {
        return end.error();
      }
      RangeEnd met = end.value();
      counts = redo_repair.stats();
      if (met.stopped) {
        const Chunk::Checkpoint& cp = chunk.checkpoints[met_at];
        ++retries.resynced_chunks;
        redo.append_tail(chunk.sink, cp.clean_size, cp.records, cp.log_entries, cp.line,
                         met.next_line);
        add_counts_between(counts, cp.counts, chunk.repair.stats());
        met.next_line = chunk.end.next_line - cp.line + met.next_line;
        met.end = chunk.end.end;
        met.stopped = false;
      }
      chunk.end = met;
      committed = &redo;
    }
    if (Status s = committer.commit(*committed, line); !s) {
      return s.error();
    }
    add_counts(stats, counts);
    true_start = chunk.end.end;
    line += chunk.end.next_line - 1;
    spare.push_back(chunks.pop_front());
    if (held != nullptr) {
      // Nothing reads before the true start of the next chunk (a parse
      // again) or the byte before the nominal start of the oldest in
      // flight (its guess looks at it).
      const std::uint64_t oldest =
          chunks.empty() ? true_start : std::min(true_start, chunks.front().nominal);
      held->release_before(oldest > 0 ? oldest - 1 : 0);
    }
    if (!progress.report(true_start)) {
      return false;
    }
    if (Status s = dispatch(); !s) {
      return s.error();
    }
  }
  return true;
}

}  // namespace vornish
