// Trimming by the Unicode White_Space property on UTF-8 text.
//
// The property has 25 code points; their UTF-8 forms are one, two or three
// bytes long, so both ends of a text are matched directly on bytes without
// decoding. U+200B and U+FEFF look blank but are not White_Space, and stay.
#include "heuristics/white_space.hpp"

#include <cstddef>
#include <cstdint>

namespace vornish {
namespace {

constexpr std::uint8_t byte_at(std::string_view s, std::size_t i) noexcept {
  return static_cast<std::uint8_t>(s[i]);
}

constexpr bool is_ascii_space(std::uint8_t b) noexcept {
  return (b >= 0x09 && b <= 0x0D) || b == 0x20;
}

// U+0085 and U+00A0: C2 85, C2 A0.
constexpr bool is_two_byte_space(std::uint8_t lead, std::uint8_t tail) noexcept {
  return lead == 0xC2 && (tail == 0x85 || tail == 0xA0);
}

// U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
constexpr bool is_three_byte_space(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2) noexcept {
  switch (b0) {
    case 0xE1:
      return b1 == 0x9A && b2 == 0x80;
    case 0xE2:
      if (b1 == 0x80) {
        return b2 <= 0x8A || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF;
      }
      return b1 == 0x81 && b2 == 0x9F;
    case 0xE3:
      return b1 == 0x80 && b2 == 0x80;
    default:
      return false;
  }
}

// Length of the White_Space character that `s` starts with, or 0.
std::size_t leading_space(std::string_view s) noexcept {
  const std::size_t n = s.size();
  if (n == 0) {
    return 0;
  }
  const std::uint8_t b0 = byte_at(s, 0);
  if (b0 < 0x80) {
    return is_ascii_space(b0) ? 1 : 0;
  }
  if (n >= 2 && is_two_byte_space(b0, byte_at(s, 1))) {
    return 2;
  }
  if (n >= 3 && is_three_byte_space(b0, byte_at(s, 1), byte_at(s, 2))) {
    return 3;
  }
  return 0;
}

// Length of the White_Space character that `s` ends with, or 0. In valid
// UTF-8 the lead bytes tested here can never be continuation bytes, so a
// match is always a whole character.
std::size_t trailing_space(std::string_view s) noexcept {
  const std::size_t n = s.size();
  if (n == 0) {
    return 0;
  }
  const std::uint8_t last = byte_at(s, n - 1);
  if (last < 0x80) {
    return is_ascii_space(last) ? 1 : 0;
  }
  if (n >= 2 && is_two_byte_space(byte_at(s, n - 2), last)) {
    return 2;
  }
  if (n >= 3 && is_three_byte_space(byte_at(s, n - 3), byte_at(s, n - 2), last)) {
    return 3;
  }
  return 0;
}

}  // namespace

std::string_view trim_white_space(std::string_view text) noexcept {
  while (const std::size_t k = leading_space(text)) {
    text.remove_prefix(k);
  }
  while (const std::size_t k = trailing_space(text)) {
    text.remove_suffix(k);
  }
  return text;
}

bool is_blank_row(RowView row) noexcept {
  return row.size() == 1 && trim_white_space(row[0].text).empty();
}

}  // namespace vornish
