// Column-count guessing under a known delimiter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vornish {

// The most frequent field count of the first 100 counted rows; 0 if none.
// Ties go to the larger count so the answer never depends on hashing.
std::size_t infer_column_count(std::string_view sample, std::uint8_t delimiter);

}  // namespace vornish
