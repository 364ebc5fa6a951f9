// A made-up single-byte code page for the tests, and what a transcoding
// source hands on for text in it: characters of two and three bytes of
// UTF-8, and a few bytes left unmapped, which become the byte 0xFF.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "parser/utf8.hpp"

namespace vornish::testing_support {

inline utf8::Fallback test_code_page() {
  std::array<char32_t, 128> high{};
  for (char32_t i = 0; i < 128; ++i) {
    if (i % 23 == 5) {
      high[i] = 0xDC80 + i;  // unmapped
    } else if (i % 2 == 0) {
      high[i] = 0xA0 + i;
    } else {
      high[i] = 0x2000 + i;
    }
  }
  return utf8::Fallback("test-page", high);
}

inline std::string transcribed(std::string_view bytes, const utf8::Fallback& page) {
  std::string out;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      out += c;
    } else if (!page.mapped(byte)) {
      out += '\xFF';
    } else {
      out += page.of(byte);
    }
  }
  return out;
}

}  // namespace vornish::testing_support
