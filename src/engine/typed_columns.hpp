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

// Counts what each cell of each column could be. Columns not in `full`
// stop being counted once no type but string is left for them.
Result<std::vector<ColumnCounts>> scan_column_types(const ScanPlan& plan, const NullMarkers& nulls,
                                                    const std::vector<bool>& full);

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

}  // namespace vornish
