// The type-scan pass: chunks scanned side by side from guessed row starts,
// then checked in order, as ParallelBatches checks its chunks; a chunk
// whose guess proves wrong is scanned again from its true start.
#include "engine/typed_columns.hpp"

#include <algorithm>
#include <deque>
#include <system_error>
#include <utility>

#include "engine/work_queue.hpp"

namespace vornish {
namespace {

constexpr std::size_t kScanRead = std::size_t{4} << 20;
constexpr std::size_t kTailRead = std::size_t{64} << 10;

constexpr FieldMask kTypeBits = (FieldMask{1} << kHasSeparator) - 1;

class TypeScan final : public RowVisitor {
 public:
  TypeScan(std::size_t columns, const NullMarkers& nulls, const std::vector<bool>& full)
      : counts_(columns), common_(columns, kTypeBits), full_(full), wanted_(columns, kTypeBits),
        runs_(columns), nulls_(nulls) {}

  void kept(RowView row, std::size_t /*start*/) override {
    const std::size_t n = std::min(row.size(), counts_.size());
    for (std::size_t i = 0; i < n; ++i) {
      if (wanted_[i] == 0) {
        continue;  // a string column whatever comes
      }
      const std::string_view text = row[i].text;
      if (cell_class(text, nulls_) != CellClass::Value) {
        continue;
      }
      const FieldMask mask = classify_field_among(trim_blanks(text), wanted_[i]);
      common_[i] &= mask;
      // Only the readings still open to the column need telling apart;
      // a chosen type's formats are weighed by all of them.
      wanted_[i] = full_[i] ? kTypeBits : common_[i];
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
      if (common_[i] == 0 && !full_[i]) {
        counts_[i] = ColumnCounts{};
        counts_[i].values = 1;
      }
    }
    return std::move(counts_);
  }

 private:
  std::vector<ColumnCounts> counts_;
  std::vector<FieldMask> common_;
  const std::vector<bool>& full_;
  std::vector<FieldMask> wanted_;
  // Most cells of a column read as its previous cell did: such a run is
  // counted once, when it ends, rather than bit by bit per cell.
  struct Run {
    FieldMask mask = 0;
    std::uint64_t cells = 0;
  };
  std::vector<Run> runs_;
  const NullMarkers& nulls_;
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
                                           const std::vector<bool>& full, RangeEnd* end) {
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
                                                    const std::vector<bool>& full) {
  if (plan.held != nullptr) {
    return scan_one(*plan.held, plan, plan.begin, plan.stop, nulls, full, nullptr);
  }
  FileWindow window(plan.fd, true);
  const std::uint64_t limit = std::min(plan.stop, std::max(plan.size, plan.begin));
  const std::size_t chunk_size = std::max<std::size_t>(plan.chunk_size, 4096);
  const std::uint64_t span = limit - plan.begin;
  const std::uint64_t chunks = std::max<std::uint64_t>(1, (span + chunk_size - 1) / chunk_size);
  if (plan.threads <= 1 || chunks <= 1) {
    return scan_one(window, plan, plan.begin, plan.stop, nulls, full, nullptr);
  }

  const VornishOptions options = without_preamble(plan.options);
  std::deque<ScanChunk> pending;
  for (std::uint64_t k = 0; k < chunks; ++k) {
    ScanChunk chunk;
    chunk.nominal = plan.begin + k * chunk_size;
    chunk.stop = k + 1 == chunks ? plan.stop : plan.begin + (k + 1) * chunk_size;
    pending.push_back(std::move(chunk));
  }
  const std::uint64_t overhang = std::uint64_t{chunk_size} * 2;
  WorkQueue<ScanChunk> workers;
  const auto scan_guessed = [&](ScanChunk& chunk, FileWindow& own) {
    RangeLimits limits{kNoLimit, nullptr, chunk_size, {}};
    if (chunk.nominal == plan.begin) {
      chunk.start = plan.begin;
    } else {
      Result<std::optional<std::uint64_t>> guess =
          guess_row_start(own, chunk.nominal, overhang, chunk_size + kTailRead);
      if (!guess) {
        chunk.error = guess.error();
        return;
      }
      chunk.start = guess.value();
      if (!chunk.start) {
        chunk.end.abandoned = true;
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
  try {
    workers.start(
        std::min<std::uint64_t>(plan.threads, chunks), [&] { return FileWindow(plan.fd, true); },
        scan_guessed);
  } catch (const std::system_error& e) {
    return VornishError::os(e.code().value());
  }
  for (ScanChunk& chunk : pending) {
    workers.submit(&chunk);
  }

  std::vector<ColumnCounts> total(plan.columns);
  std::uint64_t true_start = plan.begin;
  for (ScanChunk& chunk : pending) {
    workers.wait(chunk);
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
    chunk.counts = {};
    true_start = chunk.end.end;
  }
  return total;
}

Result<SettledTypes> settle_types(const TypeRequest& request, std::span<const std::string> names,
                                  const ScanPlan& plan) {
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
  std::vector<bool> full(columns, false);
  bool needs_scan = false;
  for (std::size_t i = 0; i < columns; ++i) {
    const CellType t = chosen[i] != nullptr ? chosen[i]->type : CellType::Float64;
    full[i] = chosen[i] != nullptr;
    needs_scan = needs_scan || chosen[i] == nullptr || t == CellType::Int64 ||
                 t == CellType::Float64 || t == CellType::Date32;
  }
  std::vector<ColumnCounts> counts(columns);
  if (request.counts) {
    for (std::size_t i = 0; i < columns && i < request.counts->size(); ++i) {
      counts[i] = (*request.counts)[i];
    }
  } else if (needs_scan && columns > 0) {
    ScanPlan scan = plan;
    scan.columns = columns;
    Result<std::vector<ColumnCounts>> scanned = scan_column_types(scan, types->nulls, full);
    if (!scanned) {
      return scanned.error();
    }
    counts = std::move(scanned.value());
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

}  // namespace vornish
