// The type-scan pass: chunks scanned side by side from guessed row starts,
// then checked in order, as ParallelBatches checks its chunks; a chunk
// whose guess proves wrong is scanned again from its true start.
#include "engine/typed_columns.hpp"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <system_error>
#include <utility>

#include "engine/ordered_chunks.hpp"
#include "engine/work_queue.hpp"

namespace vornish {
namespace {

constexpr std::size_t kScanRead = std::size_t{4} << 20;

constexpr FieldMask kTypeBits = (FieldMask{1} << kHasSeparator) - 1;

class TypeScan final : public RowVisitor {
 public:
  TypeScan(std::size_t columns, const NullMarkers& nulls, const std::vector<FieldMask>& full)
      : counts_(columns), common_(columns, kTypeBits), full_(columns, 0), wanted_(columns, kTypeBits),
        runs_(columns), nulls_(nulls) {
    for (std::size_t i = 0; i < columns && i < full.size(); ++i) {
      full_[i] = full[i] & kTypeBits;
      if (full_[i] != 0) {
        // A chosen type's column is counted on its own readings from the
        // first cell on.
        common_[i] = 0;
        wanted_[i] = full_[i];
      }
    }
  }

  // From now on, each row's cells are also read as `types` gives their
  // columns, into `values` (one per column), for a builder of those types
  // to take instead of parsing the cells again. A column the caller chose
  // is read leniently by its builder, but the strict reading handed on
  // here gives the same value wherever it gives one; the builder reads the
  // rest itself.
  void read_as(const TableTypes& types, CellValue* values) {
    as_.assign(counts_.size(), nullptr);
    for (std::size_t i = 0; i < as_.size(); ++i) {
      const ColumnType* type = types.of(i);
      if (type != nullptr && type->type != CellType::String) {
        as_[i] = type;
      }
    }
    values_ = values;
  }

  void kept(RowView row, std::size_t /*start*/) override {
    const std::size_t n = std::min(row.size(), counts_.size());
    for (std::size_t i = 0; i < n; ++i) {
      if (values_ != nullptr) {
        values_[i].state = CellValue::State::Unread;
      }
      if (wanted_[i] == 0) {
        continue;  // a string column whatever comes
      }
      std::string_view text = row[i].text;
      if (cell_class_trimming(text, nulls_) != CellClass::Value) {
        if (values_ != nullptr) {
          values_[i].state = CellValue::State::Null;  // null in a typed column
        }
        continue;
      }
      const FieldMask mask = values_ != nullptr && as_[i] != nullptr
                                 ? classify_and_read(text, wanted_[i], *as_[i], values_[i])
                                 : classify_field_among(text, wanted_[i]);
      common_[i] &= mask;
      // Only the readings still open to the column need telling apart;
      // a chosen type's formats are weighed by all of them.
      wanted_[i] = common_[i] | full_[i];
      Run& run = runs_[i];
      if (mask != run.mask) {
        counts_[i].add(run.mask, run.cells);
        run = Run{mask, 0};
      }
      ++run.cells;
    }
  }
  void quarantined(std::size_t, QuarantineReason, RowView, std::size_t) override {}

  // Counts in which a column no value type survived has its values
  // counted without any bit, so that no reading fits it.
  std::vector<ColumnCounts> take() {
    for (std::size_t i = 0; i < counts_.size(); ++i) {
      counts_[i].add(runs_[i].mask, runs_[i].cells);
      runs_[i] = Run{};
      if (common_[i] == 0 && full_[i] == 0) {
        counts_[i] = ColumnCounts{};
        counts_[i].values = 1;
      }
    }
    return std::move(counts_);
  }

 private:
  std::vector<ColumnCounts> counts_;
  std::vector<FieldMask> common_;
  // Per column: the readings counted whatever the cells (a chosen type's,
  // see chosen_readings), or none.
  std::vector<FieldMask> full_;
  std::vector<FieldMask> wanted_;
  // Most cells of a column read as its previous cell did: such a run is
  // counted once, when it ends, rather than bit by bit per cell.
  struct Run {
    FieldMask mask = 0;
    std::uint64_t cells = 0;
  };
  std::vector<Run> runs_;
  const NullMarkers& nulls_;
  std::vector<const ColumnType*> as_;
  CellValue* values_ = nullptr;
};

void merge_into(std::vector<ColumnCounts>& into, const std::vector<ColumnCounts>& from) {
  for (std::size_t i = 0; i < into.size() && i < from.size(); ++i) {
    into[i].merge(from[i]);
  }
}

struct ScanChunk {
  std::uint64_t nominal = 0;
  std::uint64_t stop = 0;
  std::optional<std::uint64_t> start;
  RangeEnd end;
  std::vector<ColumnCounts> counts;
  std::optional<VornishError> error;
  bool done = false;
};

VornishOptions without_preamble(VornishOptions options) {
  // The scan starts past any preamble, which the batches have set aside.
  options.skip_rows = 0;
  return options;
}

Result<std::vector<ColumnCounts>> scan_one(FileWindow& window, const ScanPlan& plan,
                                           std::uint64_t begin, std::uint64_t stop,
                                           const NullMarkers& nulls,
                                           const std::vector<FieldMask>& full, RangeEnd* end) {
  const VornishOptions options = without_preamble(plan.options);
  RowRepair repair(options, plan.dialect);
  TypeScan scan(plan.columns, nulls, full);
  RangeLimits limits;
  limits.read_size = kScanRead;
  Result<RangeEnd> ran =
      run_range(window, begin, stop, 1, options, plan.dialect, repair, scan, limits);
  if (!ran) {
    return ran.error();
  }
  if (end != nullptr) {
    *end = ran.value();
  }
  return scan.take();
}

}  // namespace

Result<std::vector<ColumnCounts>> scan_column_types(const ScanPlan& plan, const NullMarkers& nulls,
                                                    const std::vector<FieldMask>& full) {
  if (plan.held != nullptr) {
    return scan_one(*plan.held, plan, plan.begin, plan.stop, nulls, full, nullptr);
  }
  FileWindow window(plan.fd, true);
  const std::uint64_t limit = std::min(plan.stop, std::max(plan.size, plan.begin));
  const std::size_t chunk_size = std::max<std::size_t>(plan.chunk_size, 4096);
  const ChunkCuts cuts(plan.begin, limit, plan.stop, chunk_size, plan.threads);
  if (plan.threads <= 1 || cuts.count() <= 1) {
    return scan_one(window, plan, plan.begin, plan.stop, nulls, full, nullptr);
  }

  const VornishOptions options = without_preamble(plan.options);
  const std::uint64_t overhang = std::uint64_t{chunk_size} * 2;
  const auto scan_guessed = [&](ScanChunk& chunk, FileWindow& own) {
    RangeLimits limits{kNoLimit, nullptr, chunk_size, {}};
    if (chunk.nominal == plan.begin) {
      chunk.start = plan.begin;
    } else {
      if (!guess_chunk_start(chunk, own, overhang, chunk_size)) {
        return;
      }
      limits.max_overhang = overhang;
    }
    RowRepair repair(options, plan.dialect);
    TypeScan scan(plan.columns, nulls, full);
    Result<RangeEnd> ran =
        run_range(own, *chunk.start, chunk.stop, 1, options, plan.dialect, repair, scan, limits);
    if (!ran) {
      chunk.error = ran.error();
      return;
    }
    chunk.end = ran.value();
    chunk.counts = scan.take();
  };
  OrderedChunks<ScanChunk> chunks(cuts);
  try {
    chunks.start([&] { return FileWindow(plan.fd, true); }, scan_guessed);
  } catch (const std::system_error& e) {
    return VornishError::os(e.code().value());
  }
  const auto make = [](std::uint64_t nominal, std::uint64_t stop) {
    auto chunk = std::make_unique<ScanChunk>();
    chunk->nominal = nominal;
    chunk->stop = stop;
    return chunk;
  };

  std::vector<ColumnCounts> total(plan.columns);
  std::uint64_t true_start = plan.begin;
  for (chunks.dispatch(make); !chunks.empty(); chunks.dispatch(make)) {
    ScanChunk& chunk = chunks.front();
    chunks.wait(chunk);
    if (chunk.error) {
      return *chunk.error;
    }
    if (chunk.end.abandoned || chunk.start != true_start) {
      Result<std::vector<ColumnCounts>> again =
          scan_one(window, plan, true_start, chunk.stop, nulls, full, &chunk.end);
      if (!again) {
        return again.error();
      }
      chunk.counts = std::move(again.value());
    }
    merge_into(total, chunk.counts);
    true_start = chunk.end.end;
    chunks.pop_front();
  }
  return total;
}

Result<SettledTypes> settle_types(const TypeRequest& request, std::span<const std::string> names,
                                  const ScanPlan& plan) {
  return settle_types_with(request, names,
                           [&plan, &names](const NullMarkers& nulls, const std::vector<FieldMask>& full) {
                             ScanPlan scan = plan;
                             scan.columns = names.size();
                             return scan_column_types(scan, nulls, full);
                           });
}

Result<SettledTypes> settle_types_with(const TypeRequest& request,
                                       std::span<const std::string> names,
                                       const ColumnScan& scan_columns) {
  auto types = std::make_shared<TableTypes>();
  SettledTypes settled;
  if (!request.infer) {
    settled.types = types;
    return settled;
  }
  types->text_only = false;
  if (request.null_values) {
    types->nulls = NullMarkers(*request.null_values);
  }
  const std::size_t columns = names.size();
  std::vector<const TypeRequest::Choice*> chosen(columns, nullptr);
  for (const TypeRequest::Choice& choice : request.choices) {
    bool matched = false;
    for (std::size_t i = 0; i < columns; ++i) {
      if (choice.name ? *choice.name == names[i] : choice.position == i + 1) {
        chosen[i] = &choice;
        matched = true;
      }
    }
    if (!matched) {
      std::string label = choice.name ? *choice.name : std::to_string(choice.position);
      if (!choice.name) {
        label.insert(label.begin(), '#');
      }
      settled.unmatched.push_back(std::move(label));
    }
  }
  std::vector<FieldMask> full(columns, 0);
  bool needs_scan = false;
  for (std::size_t i = 0; i < columns; ++i) {
    const CellType t = chosen[i] != nullptr ? chosen[i]->type : CellType::Float64;
    full[i] = chosen[i] != nullptr ? chosen_readings(t) : 0;
    needs_scan = needs_scan || chosen[i] == nullptr || t == CellType::Int64 ||
                 t == CellType::Float64 || t == CellType::Date32;
  }
  std::vector<ColumnCounts> counts(columns);
  if (request.counts) {
    for (std::size_t i = 0; i < columns && i < request.counts->size(); ++i) {
      counts[i] = (*request.counts)[i];
    }
  } else if (needs_scan && columns > 0) {
    Result<std::vector<ColumnCounts>> scanned = scan_columns(types->nulls, full);
    if (!scanned) {
      return scanned.error();
    }
    counts = std::move(scanned.value());
    counts.resize(columns);
  }
  types->columns.resize(columns);
  types->chosen.assign(columns, false);
  for (std::size_t i = 0; i < columns; ++i) {
    if (chosen[i] != nullptr) {
      types->columns[i] = complete_column_type(chosen[i]->type, chosen[i]->nanos, chosen[i]->utc,
                                               counts[i], request.hints);
      types->chosen[i] = true;
    } else {
      types->columns[i] = infer_column_type(counts[i], request.hints);
    }
  }
  settled.types = types;
  settled.counts = std::move(counts);
  return settled;
}

struct HeldBatches::Chunk {
  Chunk(std::uint64_t nominal_at, std::uint64_t stop_at, const BuildPlan& plan)
      : nominal(nominal_at), stop(stop_at), repair(plan.scan.options, plan.scan.dialect) {}

  std::uint64_t nominal;
  std::uint64_t stop;
  // The row start it was read from: a guess, except for the first chunk.
  std::optional<std::uint64_t> start;
  // What its batches were built with, and whether they hold all its rows.
  std::shared_ptr<const TableTypes> types;
  std::unique_ptr<ArrowBatchBuilder> builder;
  bool built = false;
  // Read again from its true start only to build it with the settled types.
  bool rebuild = false;
  RowRepair repair;
  // Lines counted from 1 at the chunk's start.
  RepairLog log;
  RangeEnd end;
  std::vector<ColumnCounts> counts;
  std::optional<VornishError> error;
  bool done = false;
};

namespace {

// A chunk's rows counted (unless only built again) and built with the types
// guessed when the chunk began, until the guess changes: its batches would
// then be built again anyway. The counting never stops: the counts must be
// the whole table's whatever happens to the batches.
class CountAndBuild final : public RowVisitor {
 public:
  CountAndBuild(TypeScan* scan, ArrowBatchBuilder& builder, RepairLog* log,
                const std::atomic<unsigned>& guess, unsigned built_with) noexcept
      : scan_(scan), builder_(builder), log_(log), guess_(guess), built_with_(built_with) {}
  void kept(RowView row, std::size_t start) override {
    if (scan_ != nullptr) {
      scan_->kept(row, start);
    }
    if (building_) {
      if (guess_.load(std::memory_order_relaxed) == built_with_) {
        builder_.kept(row, start);
      } else {
        building_ = false;
      }
    }
  }
  void quarantined(std::size_t, QuarantineReason, RowView, std::size_t) override {}
  RepairLog* repair_log() noexcept override { return log_; }
  bool built_all() const noexcept { return building_ && !builder_.failed(); }

 private:
  TypeScan* scan_;
  ArrowBatchBuilder& builder_;
  RepairLog* log_;
  const std::atomic<unsigned>& guess_;
  const unsigned built_with_;
  bool building_ = true;
};

void add_stats(VornishStats& into, const VornishStats& from) noexcept {
  into.total_rows += from.total_rows;
  into.vornished_rows += from.vornished_rows;
  into.repaired_rows += from.repaired_rows;
  into.quarantined_rows += from.quarantined_rows;
}

}  // namespace

HeldBatches::HeldBatches(std::vector<std::unique_ptr<Chunk>> chunks, std::size_t first_line)
    : chunks_(std::move(chunks)), line_(first_line) {}

HeldBatches::~HeldBatches() = default;

void HeldBatches::take_chunk(RepairLog* log) {
  Chunk& chunk = *chunks_[next_];
  add_stats(counts_, chunk.repair.stats());
  const std::vector<std::uint64_t>& nulled = chunk.builder->nulled();
  nulled_.resize(std::max(nulled_.size(), nulled.size()));
  for (std::size_t i = 0; i < nulled.size(); ++i) {
    nulled_[i] += nulled[i];
  }
  if (log != nullptr) {
    log->append(chunk.log, 0, line_ - 1);
    chunk.log.clear();
  }
  line_ += chunk.end.next_line - 1;
  current_ = true;
}

bool HeldBatches::next(ArrowArray* out, RepairLog* log) {
  while (next_ < chunks_.size()) {
    if (!current_) {
      take_chunk(log);
    }
    if (chunks_[next_]->builder->take_ready(out)) {
      return true;
    }
    // Its batches are all handed out: nothing of it is needed any more.
    chunks_[next_].reset();
    current_ = false;
    ++next_;
  }
  return false;
}

Result<ScanAndBuild> scan_and_build(const BuildPlan& plan, std::shared_ptr<const TableTypes> guessed,
                                    const NullMarkers& nulls, const std::vector<FieldMask>& full,
                                    const TypesFromCounts& guess, const TypesFromCounts& settle) {
  using Chunk = HeldBatches::Chunk;
  const ScanPlan& scan = plan.scan;
  const std::uint64_t limit = std::min(scan.stop, std::max(scan.size, scan.begin));
  const std::size_t chunk_size = std::max<std::size_t>(scan.chunk_size, 1);
  // Every chunk is held until the types are settled, so the cuts are shared
  // with the other threaded engines but not their bound on chunks out.
  const ChunkCuts cuts(scan.begin, limit, scan.stop, chunk_size,
                       std::max<std::size_t>(scan.threads, 1));
  const std::uint64_t count = cuts.count();
  const std::size_t read_size = piece_read_size(chunk_size);
  const std::uint64_t overhang = chunk_overhang(chunk_size);

  // The types chunks start building with: the first guess, then whatever
  // the counts of the chunks read so far settle; `generation` tells the
  // chunks under way that it changed.
  std::mutex guessing;
  std::shared_ptr<const TableTypes> current = std::move(guessed);
  std::vector<ColumnCounts> seen(scan.columns);
  std::atomic<unsigned> generation{0};
  std::atomic<bool> cancel{false};

  std::vector<std::unique_ptr<Chunk>> chunks;
  chunks.reserve(count);
  for (std::uint64_t k = 0; k < count; ++k) {
    chunks.push_back(std::make_unique<Chunk>(cuts.nominal(k), cuts.stop(k), plan));
  }
  // One chunk's rows from `from`, built and, unless it is built again,
  // counted; `limits` bound a guessed start's last row.
  const auto run_chunk = [&](Chunk& chunk, FileWindow& window, std::uint64_t from,
                             const RangeLimits& limits) -> Status {
    unsigned built_with = 0;
    {
      const std::lock_guard<std::mutex> lock(guessing);
      chunk.types = current;
      built_with = generation.load(std::memory_order_relaxed);
    }
    chunk.builder =
        std::make_unique<ArrowBatchBuilder>(scan.columns, plan.width, plan.limits, chunk.types);
    chunk.builder->set_log(plan.record ? &chunk.log : nullptr);
    chunk.repair = RowRepair(scan.options, scan.dialect);
    chunk.log.clear();
    std::optional<TypeScan> counted;
    std::vector<CellValue> values;
    if (!chunk.rebuild) {
      counted.emplace(scan.columns, nulls, full);
      if (!chunk.types->text_only) {
        // Each cell parsed once: the scan's classification hands its value on.
        values.resize(scan.columns);
        counted->read_as(*chunk.types, values.data());
        chunk.builder->set_values(values.data());
      }
    }
    CountAndBuild into(counted ? &*counted : nullptr, *chunk.builder,
                       plan.record ? &chunk.log : nullptr, generation, built_with);
    Result<RangeEnd> ran = run_range(window, from, chunk.stop, 1, scan.options, scan.dialect,
                                     chunk.repair, into, limits);
    chunk.builder->set_values(nullptr);  // `values` goes with this call; the builder stays
    if (!ran) {
      return ran.error();
    }
    chunk.end = ran.value();
    chunk.builder->flush();
    chunk.built = into.built_all();
    if (counted) {
      chunk.counts = counted->take();
      const std::lock_guard<std::mutex> lock(guessing);
      merge_into(seen, chunk.counts);
      std::shared_ptr<const TableTypes> next = guess(seen);
      if (next && next->columns != current->columns) {
        current = std::move(next);
        generation.fetch_add(1, std::memory_order_relaxed);
      }
    }
    return Ok{};
  };
  const auto run_job = [&](Chunk& chunk, FileWindow& own) {
    RangeLimits limits{kNoLimit, &cancel, read_size, {}};
    if (chunk.rebuild || chunk.nominal == scan.begin) {
      chunk.start = chunk.rebuild ? chunk.start : scan.begin;
    } else {
      if (!guess_chunk_start(chunk, own, overhang, read_size)) {
        return;
      }
      limits.max_overhang = overhang;
    }
    if (Status s = run_chunk(chunk, own, *chunk.start, limits); !s) {
      chunk.error = s.error();
    }
  };

  WorkQueue<Chunk> workers;
  try {
    workers.start(cuts.threads(), [&] { return FileWindow(scan.fd, true); }, run_job);
  } catch (const std::system_error& e) {
    return VornishError::os(e.code().value());
  }
  for (std::unique_ptr<Chunk>& chunk : chunks) {
    workers.submit(chunk.get());
  }

  // Chunks checked in order; one whose guessed start proves wrong is read
  // again from its true start on this thread.
  FileWindow window(scan.fd, true);
  ScanAndBuild result;
  result.counts.resize(scan.columns);
  std::uint64_t true_start = scan.begin;
  for (std::unique_ptr<Chunk>& held : chunks) {
    Chunk& chunk = *held;
    workers.wait(chunk);
    if (chunk.error) {
      cancel.store(true, std::memory_order_relaxed);
      return *chunk.error;
    }
    if (chunk.end.abandoned || chunk.start != true_start) {
      chunk.start = true_start;
      chunk.end = RangeEnd{};
      RangeLimits limits;
      limits.read_size = read_size;
      if (Status s = run_chunk(chunk, window, true_start, limits); !s) {
        cancel.store(true, std::memory_order_relaxed);
        return s.error();
      }
    }
    merge_into(result.counts, chunk.counts);
    chunk.counts = {};
    true_start = chunk.end.end;
  }

  // The chunks built with other types than the settled ones, or not to
  // their end, are built again from their true starts, side by side.
  const std::shared_ptr<const TableTypes> settled = settle(result.counts);
  if (!settled) {
    return result;
  }
  {
    const std::lock_guard<std::mutex> lock(guessing);
    current = settled;
    generation.fetch_add(1, std::memory_order_relaxed);
  }
  std::vector<Chunk*> again;
  for (std::unique_ptr<Chunk>& chunk : chunks) {
    if (!chunk->built || chunk->types->columns != settled->columns) {
      chunk->rebuild = true;
      chunk->done = false;
      chunk->builder.reset();  // the wrong batches go before the right ones come
      again.push_back(chunk.get());
      workers.submit(chunk.get());
    }
  }
  bool complete = true;
  for (Chunk* chunk : again) {
    workers.wait(*chunk);
    if (chunk->error) {
      cancel.store(true, std::memory_order_relaxed);
      return *chunk->error;
    }
    complete = complete && chunk->built;
  }
  workers.stop();
  if (complete) {
    result.held = std::make_unique<HeldBatches>(std::move(chunks), plan.first_line);
  }
  return result;
}

}  // namespace vornish
