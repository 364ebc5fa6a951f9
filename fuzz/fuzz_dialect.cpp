// Fuzz target for dialect detection: any bytes, as a whole file or as the
// start of a longer one.
//
// Checked on every input: detection never crashes or reads past the end;
// it is deterministic (a second run gives the same dialect); the dialect
// is one of the candidates (delimiter among , ; TAB | space : ^ ~ #, or
// none for a single column; quote " or '), its preamble is at most 20 rows and no longer than the rows the
// sample has; and a repair run under the options it implies keeps its
// counts (total = kept + quarantined, the preamble rows all quarantined).
//
// With FUZZ_CRASH_ONLY set in the environment only the first detection and
// the candidate checks run.
//
// Input layout: flags (low bit: the sample is the whole file), then the
// payload.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/vornish.hpp"
#include "fuzz_support.hpp"
#include "heuristics/dialect.hpp"
#include "parser/resilient_parser.hpp"

namespace {

using namespace vornish;
using namespace vornish::fuzz;

constexpr std::string_view kDelimiters = ",;\t| :^~#";

bool g_crash_only = false;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_crash_only = crash_only_mode();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  OptionReader options(data, size);
  const bool complete = (options.byte() & 1) != 0;
  const ExactBuffer buffer(options.rest());
  const std::string_view bytes = buffer.view();

  const SniffedDialect first = detect_dialect(bytes, complete);
  // 0: a single column, which no candidate splits.
  FUZZ_CHECK(first.delimiter == 0 ||
             kDelimiters.find(static_cast<char>(first.delimiter)) != std::string_view::npos);
  FUZZ_CHECK(first.quote_char == '"' || first.quote_char == '\'');
  FUZZ_CHECK(first.skip_rows <= 20);
  if (g_crash_only) {
    return 0;
  }
  const SniffedDialect second = detect_dialect(bytes, complete);
  FUZZ_CHECK(first.delimiter == second.delimiter);
  FUZZ_CHECK(first.quote_char == second.quote_char);
  FUZZ_CHECK(first.skip_initial_space == second.skip_initial_space);
  FUZZ_CHECK(first.skip_rows == second.skip_rows);
  FUZZ_CHECK(first.header == second.header);
  FUZZ_CHECK(first.columns == second.columns);

  if (bytes.empty()) {
    FUZZ_CHECK(first.columns == 0 && first.skip_rows == 0 && !first.header);
  }

  std::size_t rows = 0;
  ResilientParser parser(bytes, first.delimiter, first.quote_char, true, first.skip_initial_space);
  while (parser.skip_row()) {
    ++rows;
  }
  // The detector reads quotes plainly under a blank delimiter, so only the
  // other delimiters share the engine's row boundaries.
  if (first.delimiter != ' ' && first.delimiter != '\t') {
    FUZZ_CHECK(first.skip_rows == 0 || first.skip_rows < rows);
  }

  VornishOptions repair;
  repair.delimiter = first.delimiter;
  repair.quote_char = first.quote_char;
  repair.skip_initial_space = first.skip_initial_space;
  repair.skip_rows = first.skip_rows;
  if (first.columns > 0) {
    repair.expected_columns = first.columns;
  }
  const VornishOutcome outcome = vornish_slice(bytes, repair);
  const VornishStats& stats = outcome.stats;
  FUZZ_CHECK(stats.total_rows == stats.vornished_rows + stats.quarantined_rows);
  FUZZ_CHECK(stats.total_rows == rows);
  FUZZ_CHECK(stats.quarantined_rows >= std::min(first.skip_rows, rows));
  for (std::size_t i = 0; i < std::min(first.skip_rows, outcome.quarantined.size()); ++i) {
    FUZZ_CHECK(outcome.quarantined[i].reason == "Row is part of a preamble");
  }
  return 0;
}
