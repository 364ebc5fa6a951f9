// UTF-8 checking and lenient decoding for field bytes.
//
// The decoder follows the Unicode Standard's "maximal subpart" practice:
// a lead byte with its valid continuation bytes, cut short by a byte that
// cannot continue it, becomes one U+FFFD; a byte that can start nothing
// becomes one U+FFFD on its own.
#include "parser/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace vornish::utf8 {
namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// Index of the first byte at or above 0x80, or size when there is none.
std::size_t ascii_prefix(const unsigned char* p, std::size_t n) noexcept {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, p + i, sizeof word);
    if ((word & kHighBits) != 0) break;
  }
  while (i < n && p[i] < 0x80) ++i;
  return i;
}

struct Sequence {
  unsigned char length;  // 0: the byte can start no sequence
  unsigned char second_min;
  unsigned char second_max;
};

constexpr Sequence sequence_of(unsigned char lead) noexcept {
  if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
  if (lead == 0xE0) return {3, 0xA0, 0xBF};
  if (lead == 0xED) return {3, 0x80, 0x9F};
  if (lead >= 0xE1 && lead <= 0xEF) return {3, 0x80, 0xBF};
  if (lead == 0xF0) return {4, 0x90, 0xBF};
  if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
  if (lead == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

constexpr bool is_continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

// Length of the well-formed sequence at p[0], or, negated, the length of
// the maximal ill-formed subpart to replace (always at least 1).
std::ptrdiff_t measure(const unsigned char* p, std::size_t n) noexcept {
  const Sequence seq = sequence_of(p[0]);
  if (seq.length == 0) return -1;
  if (n < 2 || p[1] < seq.second_min || p[1] > seq.second_max) return -1;
  for (std::size_t k = 2; k < seq.length; ++k) {
    if (k >= n || !is_continuation(p[k])) return -static_cast<std::ptrdiff_t>(k);
  }
  return seq.length;
}

}  // namespace

Check check(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = ascii_prefix(p, n);
  if (i == n) return Check::Ascii;
  while (i < n) {
    if (p[i] < 0x80) {
      i += ascii_prefix(p + i, n - i);
      continue;
    }
    const std::ptrdiff_t len = measure(p + i, n - i);
    if (len < 0) return Check::Invalid;
    i += static_cast<std::size_t>(len);
  }
  return Check::Valid;
}

void append_replacing(std::string& out, std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const std::size_t run = ascii_prefix(p + i, n - i);
    out.append(bytes.data() + i, run);
    i += run;
    if (i == n) break;
    const std::ptrdiff_t len = measure(p + i, n - i);
    if (len > 0) {
      out.append(bytes.data() + i, static_cast<std::size_t>(len));
      i += static_cast<std::size_t>(len);
    } else {
      out.append(kReplacement);
      i += static_cast<std::size_t>(-len);
    }
  }
}

void append_code_point(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace vornish::utf8
