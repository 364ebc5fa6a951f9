// Delimiter guessing over the start of a text.
//
// A pure function of its input: it reads at most 50 counted rows per
// candidate, whatever the length of the sample.
#pragma once

#include <cstdint>
#include <string_view>

namespace vornish {

// One of ',', ';', '\t', '|'; ',' for an empty or undecidable sample.
// `skip_initial_space` reads rows as a run with that option does; the
// standard guess never sets it.
std::uint8_t sniff_delimiter(std::string_view sample, bool skip_initial_space = false);

}  // namespace vornish
