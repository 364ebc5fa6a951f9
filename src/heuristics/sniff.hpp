// Delimiter guessing over the start of a text.
//
// A pure function of its input: it reads at most 50 counted rows per
// candidate, whatever the length of the sample.
#pragma once

#include <cstdint>
#include <string_view>

namespace vornish {

// One of ',', ';', '\t', '|'; ',' for an empty or undecidable sample.
std::uint8_t sniff_delimiter(std::string_view sample);

}  // namespace vornish
