// Trimming by the Unicode White_Space property, shared by both heuristics.
#pragma once

#include <string_view>

#include "parser/resilient_parser.hpp"

namespace vornish {

// `text` without leading and trailing White_Space characters.
// Input must be valid UTF-8 (parser fields always are).
std::string_view trim_white_space(std::string_view text) noexcept;

// A row the heuristics skip: one field that is empty once trimmed.
bool is_blank_row(RowView row) noexcept;

}  // namespace vornish
