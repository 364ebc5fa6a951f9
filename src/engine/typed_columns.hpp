// Settling the types of a table's columns before its first batch.
//
// A consumer asks for the schema first, so the types must be known before
// any row is handed out: a type-scan pass classifies every cell of the
// table (rows repaired exactly as the batches will be) and only counts what
// each cell could be. The counts of chunks add up in any order, so the scan
// runs on several threads and settles the same types as on one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/arrow_batch.hpp"
#include "engine/error.hpp"
#include "engine/stream.hpp"
#include "engine/vornish.hpp"
#include "heuristics/field_types.hpp"

namespace vornish {

// What the caller asked for.
struct TypeRequest {
  // False: every column a string column holding every cell as it is.
  bool infer = false;
  // A type chosen for one column, by name or by 1-based position.
  struct Choice {
    std::optional<std::string> name;
    std::size_t position = 0;
    CellType type = CellType::String;
    bool nanos = false;
    bool utc = false;
  };
  std::vector<Choice> choices;
  // Replaces the default null markers.
  std::optional<std::vector<std::string>> null_values;
  FormatHints hints;
  // Counts of the whole table gathered elsewhere (the pieces of a file, or
  // several files, scanned apart and added up): no scan, and every piece
  // read with them settles the same types.
  std::optional<std::vector<ColumnCounts>> counts;
};

// Where the rows to scan are and how they are read.
struct ScanPlan {
  int fd = -1;
  // A stream that cannot be read again is already held whole here.
  FileWindow* held = nullptr;
  VornishOptions options;
  Dialect dialect;
  std::size_t columns = 0;
  std::uint64_t begin = 0;
  std::uint64_t stop = kNoLimit;
  std::uint64_t size = 0;
  std::size_t threads = 1;
  std::size_t chunk_size = std::size_t{4} << 20;
};

// Counts what each cell of each column could be. Columns with readings in
// `full` (a chosen type's, see chosen_readings) are counted on those from
// the first cell to the last; the others on every reading until no type
// but string is left for them.
Result<std::vector<ColumnCounts>> scan_column_types(const ScanPlan& plan, const NullMarkers& nulls,
                                                    const std::vector<FieldMask>& full);

// The types of the table: chosen ones completed with their cells' formats,
// the others inferred. Choices that name no column are listed in
// `unmatched` (by name, or "#N" for a position).
struct SettledTypes {
  std::shared_ptr<const TableTypes> types;
  std::vector<std::string> unmatched;
  // What the types were settled from (empty for text-only tables).
  std::vector<ColumnCounts> counts;
};

// Runs the scan when anything needs it. `plan.columns` and `names` agree.
Result<SettledTypes> settle_types(const TypeRequest& request, std::span<const std::string> names,
                                  const ScanPlan& plan);

// The same with the counts from `scan` (called at most once, and only when
// a type depends on the cells), given the null markers and, per column,
// the readings it is to be counted on in full (see scan_column_types).
using ColumnScan = std::function<Result<std::vector<ColumnCounts>>(const NullMarkers& nulls,
                                                                  const std::vector<FieldMask>& full)>;
Result<SettledTypes> settle_types_with(const TypeRequest& request,
                                       std::span<const std::string> names, const ColumnScan& scan);

// Where the batches of a table go when the scan builds them as it reads:
// the scan's rows and threads, and the batches' layout. The rows must be
// readable from any chunk start (a regular file, no row counted from the
// start or held back at the end).
struct BuildPlan {
  ScanPlan scan;
  StringWidth width = StringWidth::Utf8;
  BatchLimits limits;
  // Repair records wanted, lines counted from `first_line` at scan.begin.
  bool record = false;
  std::size_t first_line = 1;
};

// Batches built by the scan, handed out in input order with the repair
// records, counts and nulled cells of the rows they hold, as ParallelBatches
// hands out its own.
class HeldBatches {
 public:
  struct Chunk;
  explicit HeldBatches(std::vector<std::unique_ptr<Chunk>> chunks, std::size_t first_line);
  ~HeldBatches();
  HeldBatches(const HeldBatches&) = delete;
  HeldBatches& operator=(const HeldBatches&) = delete;

  // The next batch into `out`; false once there is none. The records of a
  // chunk go to `log` (when given) as its first batch is taken.
  bool next(ArrowArray* out, RepairLog* log);
  const VornishStats& counts() const noexcept { return counts_; }
  const std::vector<std::uint64_t>& nulled() const noexcept { return nulled_; }

 private:
  void take_chunk(RepairLog* log);

  std::vector<std::unique_ptr<Chunk>> chunks_;
  std::size_t next_ = 0;
  bool current_ = false;
  std::size_t line_;
  VornishStats counts_;
  std::vector<std::uint64_t> nulled_;
};

// The counts of the whole table, as scan_column_types gives them, and its
// batches built as the rows were read: each chunk is built with the types
// `guessed` at first, then with those `guess` gives for the counts of the
// chunks read so far (null: no change); chunks whose types differ from
// those `settle` gives for the whole table (null: none can be given) are
// built again from their true starts. So where the guess holds, every row
// is tokenized once. `held` is null when the batches cannot be used (a
// batch that could not be built, no settled types): the table's batches
// are then to be built anew.
struct ScanAndBuild {
  std::vector<ColumnCounts> counts;
  std::unique_ptr<HeldBatches> held;
};
using TypesFromCounts =
    std::function<std::shared_ptr<const TableTypes>(const std::vector<ColumnCounts>&)>;
Result<ScanAndBuild> scan_and_build(const BuildPlan& plan, std::shared_ptr<const TableTypes> guessed,
                                    const NullMarkers& nulls, const std::vector<FieldMask>& full,
                                    const TypesFromCounts& guess, const TypesFromCounts& settle);

}  // namespace vornish
