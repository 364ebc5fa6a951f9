// Delimiter guessing: which of four candidates splits the first rows of a
// text most consistently, and into the most fields.
//
// Reads at most 50 counted rows per candidate, so the cost of a call does
// not depend on the length of the sample beyond those rows.
#include "heuristics/sniff.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

#include "heuristics/counted_rows.hpp"
#include "parser/resilient_parser.hpp"

namespace vornish {
namespace {

constexpr std::array<std::uint8_t, 4> kCandidates = {',', ';', '\t', '|'};
constexpr std::size_t kRowLimit = 50;
constexpr std::size_t kMinCountedRows = 2;
constexpr std::size_t kMinModeWidth = 2;

// Scores one candidate:
//  1. count up to 50 non-blank rows and their widths;
//  2. with fewer than 2 rows there is no evidence: 0;
//  3. take the most frequent width of at least 2 (no such width: 0);
//  4. score = share of rows with that width x max(ln width, 1), so a split
//     into many columns may outweigh a somewhat lower consistency.
double score_candidate(std::string_view sample, std::uint8_t delimiter, bool skip_initial_space) {
  ResilientParser parser(sample, delimiter, '"', true, skip_initial_space);
  WidthTally tally;
  std::size_t counted = 0;
  while (counted < kRowLimit) {
    const auto width = next_counted_width(parser);
    if (!width) {
      break;
    }
    tally.add(*width);
    ++counted;
  }
  if (counted < kMinCountedRows) {
    return 0.0;
  }
  const WidthTally::Entry mode = tally.mode(kMinModeWidth);
  if (mode.rows == 0) {
    return 0.0;
  }
  const double consistency = static_cast<double>(mode.rows) / static_cast<double>(counted);
  const double column_factor = std::max(std::log(static_cast<double>(mode.width)), 1.0);
  return consistency * column_factor;
}

}  // namespace

std::uint8_t sniff_delimiter(std::string_view sample, bool skip_initial_space) {
  // Scores are never negative, so the first candidate always takes over
  // from the initial best; later ones need a strictly higher score.
  double best_score = -1.0;
  std::uint8_t best = ',';
  for (const std::uint8_t candidate : kCandidates) {
    const double score = score_candidate(sample, candidate, skip_initial_space);
    if (score > best_score) {
      best_score = score;
      best = candidate;
    }
  }
  return best;
}

}  // namespace vornish
