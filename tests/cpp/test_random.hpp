// The tests' pseudo-random source: xorshift64, the same sequence on every
// platform, so that a failing input is reproduced from its seed alone.
#pragma once

#include <cstdint>

namespace vornish::testing_support {

inline std::uint64_t xorshift(std::uint64_t& state) noexcept {
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

}  // namespace vornish::testing_support
