// Chunks of batches built by worker threads, checked and taken in order.
//
// A worker's chunk is finished before the caller looks at it: its batches,
// its counts and where its rows ended are written by the worker alone and
// published through the `done` flag under the queue's lock. The caller then only
// reads them, and builds a chunk again on its own thread, into new
// buffers, when the guess it was built from proves wrong.
#include "engine/parallel_batches.hpp"

#include <algorithm>
#include <atomic>
#include <deque>
#include <optional>
#include <system_error>
#include <utility>

#include "engine/file_window.hpp"
#include "engine/row_range.hpp"
#include "engine/ordered_chunks.hpp"

namespace vornish {
namespace {

// A whole chunk into one builder: unlike a pull of one batch, the run goes
// on past every finished batch, and stops only once the builder has failed.
class WholeChunk final : public RowVisitor {
 public:
  WholeChunk(ArrowBatchBuilder& builder, RepairLog* log) noexcept : builder_(builder), log_(log) {}
  void kept(RowView row, std::size_t start) override { builder_.kept(row, start); }
  void quarantined(std::size_t, QuarantineReason, RowView, std::size_t) override {}
  bool stop_requested() const noexcept override { return builder_.failed(); }
  RepairLog* repair_log() noexcept override { return log_; }

 private:
  ArrowBatchBuilder& builder_;
  RepairLog* log_;
};

struct Chunk {
  Chunk(const ParallelPlan& plan, std::uint64_t nominal_at, std::uint64_t stop_at)
      : nominal(nominal_at),
        stop(stop_at),
        builder(std::make_unique<ArrowBatchBuilder>(plan.columns, plan.width, plan.limits,
                                                    plan.types)),
        repair(plan.options, plan.dialect) {}

  std::uint64_t nominal;
  std::uint64_t stop;
  // The row start it was built from: a guess, except for the first chunk.
  std::optional<std::uint64_t> start;
  std::unique_ptr<ArrowBatchBuilder> builder;
  RowRepair repair;
  // Lines counted from 1 at the chunk's start.
  RepairLog log;
  RangeEnd end;
  std::optional<VornishError> error;
  bool done = false;
};

}  // namespace

struct ParallelBatches::State {
  explicit State(const ParallelPlan& p)
      : plan(p),
        read_size(piece_read_size(p.chunk_size)),
        window(p.fd, true),
        true_start(p.begin),
        line(p.first_line),
        chunks(ChunkCuts(p.begin, std::min(p.stop, std::max(p.size, p.begin)), p.stop,
                         p.chunk_size, p.threads)) {}

  ~State() { stop_workers(); }

  void start_workers() {
    chunks.start([this] { return FileWindow(plan.fd, true); },
                 [this](Chunk& chunk, FileWindow& own) { build_speculatively(chunk, own); });
  }

  void stop_workers() noexcept {
    cancel.store(true, std::memory_order_relaxed);
    chunks.stop();
  }

  void dispatch() {
    chunks.dispatch([this](std::uint64_t nominal, std::uint64_t stop) {
      return std::make_unique<Chunk>(plan, nominal, stop);
    });
  }

  // A row reaching more than two chunks past the stop most likely means the
  // guess landed inside a quoted field: the run gives up rather than build
  // the rest of the file as one row.
  void build_speculatively(Chunk& chunk, FileWindow& from) {
    const std::uint64_t overhang = chunk_overhang(plan.chunk_size);
    RangeLimits limits{kNoLimit, &cancel, read_size, {}};
    if (chunk.nominal == plan.begin) {
      chunk.start = plan.begin;
    } else {
      if (!guess_chunk_start(chunk, from, overhang, read_size)) {
        return;
      }
      limits.max_overhang = overhang;
    }
    chunk.builder->set_log(plan.log != nullptr ? &chunk.log : nullptr);
    WholeChunk into(*chunk.builder, plan.log != nullptr ? &chunk.log : nullptr);
    Result<RangeEnd> end = run_range(from, *chunk.start, chunk.stop, 1, plan.options,
                                     plan.dialect, chunk.repair, into, limits);
    if (!end) {
      chunk.error = end.error();
      return;
    }
    chunk.end = end.value();
    chunk.builder->flush();
  }

  // The chunk from its true start, on the caller's thread, with no limit
  // on how far its last row may reach.
  Status rebuild(Chunk& chunk) {
    chunk.builder =
        std::make_unique<ArrowBatchBuilder>(plan.columns, plan.width, plan.limits, plan.types);
    chunk.repair = RowRepair(plan.options, plan.dialect);
    chunk.log.clear();
    chunk.start = true_start;
    RangeLimits limits;
    limits.read_size = read_size;
    chunk.builder->set_log(plan.log != nullptr ? &chunk.log : nullptr);
    WholeChunk into(*chunk.builder, plan.log != nullptr ? &chunk.log : nullptr);
    Result<RangeEnd> end = run_range(window, true_start, chunk.stop, 1, plan.options,
                                     plan.dialect, chunk.repair, into, limits);
    if (!end) {
      return end.error();
    }
    chunk.end = end.value();
    chunk.builder->flush();
    return Ok{};
  }

  // Waits for the oldest chunk and makes it the one being handed out.
  Status take_next_chunk() {
    Chunk& chunk = chunks.front();
    chunks.wait(chunk);
    if (chunk.error) {
      return *chunk.error;
    }
    // A failed builder stops a run early: from a wrong start that says
    // nothing, from the true start the failure is the range's own.
    const bool complete =
        !chunk.end.abandoned && (!chunk.end.cancelled || chunk.builder->failed());
    if (!complete || chunk.start != true_start) {
      ++rebuilt;
      if (Status s = rebuild(chunk); !s) {
        return s;
      }
    }
    add_counts(counts, chunk.repair.stats());
    nulled.resize(chunk.builder->nulled().size());
    for (std::size_t i = 0; i < nulled.size(); ++i) {
      nulled[i] += chunk.builder->nulled()[i];
    }
    if (plan.log != nullptr) {
      plan.log->append(chunk.log, 0, line - 1);
      chunk.log.clear();
    }
    if (!chunk.builder->failed()) {
      true_start = chunk.end.end;
      line += chunk.end.next_line - 1;
    }
    current = true;
    return Ok{};
  }

  BatchNext next(ArrowArray* out) {
    if (failure) {
      return BatchNext::Failed;
    }
    for (;;) {
      if (current) {
        ArrowBatchBuilder& builder = *chunks.front().builder;
        if (builder.take_ready(out)) {
          return BatchNext::Batch;
        }
        if (builder.failed()) {
          failure = builder.failure();
          return BatchNext::Failed;
        }
        current = false;
        chunks.pop_front();
        dispatch();
      }
      if (chunks.empty()) {
        return BatchNext::End;
      }
      if (Status s = take_next_chunk(); !s) {
        failure = s.error().message();
        return BatchNext::Failed;
      }
    }
  }

  ParallelPlan plan;
  std::size_t read_size;
  // The caller's window, for chunks built again.
  FileWindow window;
  // Where the rows of the next chunk to be taken really start, and the
  // line there.
  std::uint64_t true_start;
  std::size_t line;
  VornishStats counts;
  std::vector<std::uint64_t> nulled;
  std::size_t rebuilt = 0;
  bool current = false;
  std::optional<std::string> failure;
  std::atomic<bool> cancel{false};
  // Oldest first; the front is handed out once `current`. Its threads are
  // joined (by ~State) before any chunk is freed.
  OrderedChunks<Chunk> chunks;
};

Result<std::unique_ptr<ParallelBatches>> ParallelBatches::start(const ParallelPlan& plan) {
  auto state = std::make_unique<State>(plan);
  try {
    state->start_workers();
  } catch (const std::system_error& e) {
    return VornishError::os(e.code().value());
  }
  state->dispatch();
  return std::unique_ptr<ParallelBatches>(new ParallelBatches(std::move(state)));
}

ParallelBatches::ParallelBatches(std::unique_ptr<State> state) noexcept
    : state_(std::move(state)) {}

ParallelBatches::~ParallelBatches() = default;

BatchNext ParallelBatches::next(ArrowArray* out) { return state_->next(out); }

std::string ParallelBatches::failure() const { return state_->failure.value_or(""); }

const VornishStats& ParallelBatches::counts() const noexcept { return state_->counts; }

const std::vector<std::uint64_t>& ParallelBatches::nulled() const noexcept {
  return state_->nulled;
}

}  // namespace vornish
