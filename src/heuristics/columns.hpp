// Column-count guessing under a known delimiter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vornish {

// The most frequent field count of the first 100 counted rows; 0 if none.
// Ties go to the larger count so the answer never depends on hashing.
// `skip_initial_space` reads rows as a run with that option does; the
// standard guess never sets it.
std::size_t infer_column_count(std::string_view sample, std::uint8_t delimiter,
                               bool skip_initial_space = false);

}  // namespace vornish
