// What both heuristics count: the widths of the non-blank rows at the start
// of a text, and how often each width occurs.
#pragma once

#include <array>
#include <cstddef>
#include <optional>

#include "parser/resilient_parser.hpp"

namespace vornish {

// The field count of the parser's next counted row, skipping blank rows
// (one field that is empty once trimmed); nothing at the end of the input.
// Only one-field rows that could be blank are decoded; every other row is
// merely counted.
std::optional<std::size_t> next_counted_width(ResilientParser& parser);

// How many counted rows have each width. Both heuristics stop after at most
// 100 counted rows, so a flat table beats a hash map and its order never
// depends on hashing.
class WidthTally {
 public:
  static constexpr std::size_t kCapacity = 100;

  struct Entry {
    std::size_t width = 0;
    std::size_t rows = 0;
  };

  // Counts one row; rows beyond kCapacity distinct widths are impossible
  // for callers that count at most kCapacity rows.
  void add(std::size_t width) noexcept;

  // The most frequent width of at least `min_width`; among equally frequent
  // widths the larger one. `rows` is 0 when no width qualifies.
  Entry mode(std::size_t min_width) const noexcept;

 private:
  std::array<Entry, kCapacity> entries_{};
  std::size_t size_ = 0;
};

}  // namespace vornish
