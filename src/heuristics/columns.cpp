// Column-count guessing: the most common width among the first 100
// non-blank rows under a known delimiter.
//
// Unlike the sniffer, a width of 1 may win and one row is enough.
#include "heuristics/columns.hpp"

#include <cstddef>

#include "heuristics/counted_rows.hpp"
#include "parser/resilient_parser.hpp"

namespace vornish {
namespace {

constexpr std::size_t kRowLimit = 100;
static_assert(kRowLimit <= WidthTally::kCapacity);

}  // namespace

std::size_t infer_column_count(std::string_view sample, std::uint8_t delimiter,
                               bool skip_initial_space) {
  // The quote rules are fixed here, whatever the run itself uses: the guess
  // must not change when the caller turns quote repair off.
  ResilientParser parser(sample, delimiter, '"', true, skip_initial_space);
  WidthTally tally;
  for (std::size_t counted = 0; counted < kRowLimit; ++counted) {
    const auto width = next_counted_width(parser);
    if (!width) {
      break;
    }
    tally.add(*width);
  }
  return tally.mode(0).width;
}

}  // namespace vornish
