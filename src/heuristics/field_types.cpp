// Field typing: one scanner per kind of value, shared by the classifier and
// the readers, so that a cell the scan counted as a type always reads as it.
#include "heuristics/field_types.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>
#include <utility>

namespace vornish {
namespace {

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
constexpr char lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// --- Eight bytes at a time --------------------------------------------------
//
// The hot shapes (digit runs, dates, timestamps, booleans) are read a word
// at a time: the bytes of a word are in text order from its low end, and
// a byte past the text reads as zero, which is no digit and no separator.

// Up to eight bytes of `p`, of which `n` are there, without reading past them.
inline std::uint64_t load_word(const char* p, std::size_t n) noexcept {
  if constexpr (std::endian::native != std::endian::little) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n && i < 8; ++i) {
      v |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
    }
    return v;
  }
  std::uint64_t v = 0;
  if (n >= 8) {
    std::memcpy(&v, p, 8);
    return v;
  }
  if (n >= 4) {
    // Two overlapping halves: the bytes they share are the same.
    std::uint32_t lo = 0;
    std::uint32_t hi = 0;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + n - 4, 4);
    return lo | (std::uint64_t{hi} << (8 * (n - 4)));
  }
  if (n == 0) {
    return 0;
  }
  const auto byte = [p](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
  return byte(0) | (byte(n / 2) << (8 * (n / 2))) | (byte(n - 1) << (8 * (n - 1)));
}

constexpr std::uint64_t kHighBits = 0x8080808080808080;
constexpr std::uint64_t each_byte(unsigned char b) noexcept { return 0x0101010101010101 * b; }

// How many of the word's first bytes are ASCII digits (8: all of them).
// No byte's sum carries into the next: each is at most 0x7F plus 0x50.
inline unsigned digit_run(std::uint64_t v) noexcept {
  const std::uint64_t low = v & ~kHighBits;
  const std::uint64_t other =
      (v | (low + each_byte(0x46)) | ~(low + each_byte(0x50))) & kHighBits;
  return other == 0 ? 8 : static_cast<unsigned>(__builtin_ctzll(other)) / 8;
}

// The value of the word's first `k` bytes, all digits (1 <= k <= 8): the
// digits moved to the word's top, leading zeros below them, then combined
// pairwise, twice.
inline std::uint64_t digits_value(std::uint64_t v, unsigned k) noexcept {
  // A byte past the digits may borrow, but only from the bytes above it,
  // which the shift drops.
  v = (v - each_byte('0')) << (8 * (8 - k));
  v = v * 10 + (v >> 8);
  v = (((v & 0x000000FF000000FF) * (100 + (std::uint64_t{1000000} << 32))) +
       (((v >> 16) & 0x000000FF000000FF) * (1 + (std::uint64_t{10000} << 32)))) >>
      32;
  return v & 0xFFFFFFFF;
}

constexpr std::uint64_t kPowersOfTen[] = {1,      10,      100,      1000,      10000,
                                          100000, 1000000, 10000000, 100000000};

// Whether each byte of `v` where `digits` has 0xFF is an ASCII digit and
// each other byte equals `shape`'s: one XOR against the shape, then digits
// must come out at most 9 and the rest 0. A byte's sum carries only where
// its own high bit already fails the word.
inline bool word_has_shape(std::uint64_t v, std::uint64_t shape, std::uint64_t digits) noexcept {
  const std::uint64_t x = v ^ shape;
  const std::uint64_t room = (digits & each_byte(0x76)) | (~digits & each_byte(0x7F));
  return ((x | (x + room)) & kHighBits) == 0;
}

// A word's bytes in text order, as a constant.
constexpr std::uint64_t word_of(const char (&text)[9]) noexcept {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    v |= std::uint64_t{static_cast<unsigned char>(text[i])} << (8 * i);
  }
  return v;
}

// The byte of `v` at `i` as a digit's value.
constexpr unsigned digit_at(std::uint64_t v, unsigned i) noexcept {
  return static_cast<unsigned>((v >> (8 * i)) & 0xFF) - '0';
}

bool equals_folded(std::string_view text, std::string_view lower_word) noexcept {
  if (text.size() != lower_word.size()) {
    return false;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (lower(text[i]) != lower_word[i]) {
      return false;
    }
  }
  return true;
}

// `true` or `false` in any letter case. Setting 0x20 folds a letter's case
// and maps no other byte onto a lower-case letter of these words.
bool read_bool_word(std::string_view text, bool& yes) noexcept {
  if (text.size() != 4 && text.size() != 5) {
    return false;
  }
  const std::uint64_t folded = load_word(text.data(), text.size()) | each_byte(0x20);
  yes = text.size() == 4;
  return yes ? (folded & 0xFFFFFFFF) == (word_of("true    ") & 0xFFFFFFFF)
             : (folded & 0xFFFFFFFFFF) == (word_of("false   ") & 0xFFFFFFFFFF);
}

// Python's float() words, after an optional sign.
bool is_special_float(std::string_view word) noexcept {
  return equals_folded(word, "inf") || equals_folded(word, "infinity") ||
         equals_folded(word, "nan");
}

struct Separators {
  char decimal;
  char group;  // '\0': none
};

constexpr Separators separators_of(NumberFormat format) noexcept {
  switch (format) {
    case NumberFormat::Point:
      return {'.', '\0'};
    case NumberFormat::PointComma:
      return {'.', ','};
    case NumberFormat::Comma:
      return {',', '\0'};
    case NumberFormat::CommaDot:
      return {',', '.'};
    case NumberFormat::CommaBlank:
      return {',', ' '};
  }
  return {'.', '\0'};
}

// Beyond this a number with separators to take out is left a string: its
// normalised copy lives on the stack.
constexpr std::size_t kMaxNormalised = 320;

struct NumberShape {
  bool ok = false;
  bool integer = false;  // digits only (and groups), within int64, not "-0"
  bool special = false;  // inf or nan
  std::size_t int_digits = 0;
  std::int64_t value = 0;
};

// Reads `text` as a number of `format`. Strictly, thousands groups are
// required of every integer part of four or more digits and a leading zero
// is refused; `lenient` takes both.
NumberShape scan_number(std::string_view text, NumberFormat format, bool lenient) noexcept {
  NumberShape shape;
  const Separators sep = separators_of(format);
  const std::size_t n = text.size();
  std::size_t i = 0;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i < n && !is_digit(text[i]) && text[i] != sep.decimal) {
    shape.ok = is_special_float(text.substr(i));
    shape.special = shape.ok;
    return shape;
  }
  std::size_t int_digits = 0;
  std::size_t run = 0;
  bool grouped = false;
  bool leading_zero = false;
  std::uint64_t magnitude = 0;
  bool overflow = false;
  for (; i < n; ++i) {
    const char c = text[i];
    if (is_digit(c)) {
      if (int_digits == 0) {
        leading_zero = c == '0';
      }
      ++int_digits;
      ++run;
      if (grouped && run > 3) {
        return shape;
      }
      const auto digit = static_cast<std::uint64_t>(c - '0');
      std::uint64_t next = 0;
      overflow = overflow || __builtin_mul_overflow(magnitude, std::uint64_t{10}, &next) ||
                 __builtin_add_overflow(next, digit, &magnitude);
    } else if (sep.group != '\0' && c == sep.group) {
      if (run == 0 || (grouped ? run != 3 : run > 3)) {
        return shape;
      }
      grouped = true;
      run = 0;
    } else {
      break;
    }
  }
  if (grouped && run != 3) {
    return shape;
  }
  if (!lenient && ((sep.group != '\0' && !grouped && int_digits >= 4) ||
                   (leading_zero && int_digits > 1))) {
    return shape;
  }
  std::size_t fraction = 0;
  bool has_decimal = false;
  if (i < n && text[i] == sep.decimal) {
    has_decimal = true;
    for (++i; i < n && is_digit(text[i]); ++i) {
      ++fraction;
    }
  }
  if (int_digits + fraction == 0) {
    return shape;
  }
  bool has_exponent = false;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    has_exponent = true;
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
      ++i;
    }
    std::size_t exponent_digits = 0;
    for (; i < n && is_digit(text[i]); ++i) {
      ++exponent_digits;
    }
    if (exponent_digits == 0) {
      return shape;
    }
  }
  if (i != n) {
    return shape;
  }
  if ((sep.group != '\0' || sep.decimal != '.') && n > kMaxNormalised) {
    return shape;
  }
  constexpr std::uint64_t kLimit = std::uint64_t{1} << 63;
  const bool in_range =
      !overflow && (negative ? magnitude <= kLimit : magnitude < kLimit);
  if (!has_decimal && !has_exponent && !in_range && !lenient) {
    // Digits beyond int64 are an identifier more than a quantity: a
    // double would round them.
    return shape;
  }
  shape.ok = true;
  shape.int_digits = int_digits;
  if (!has_decimal && !has_exponent && in_range && (magnitude != 0 || !negative || lenient)) {
    shape.integer = true;
    shape.value = negative ? static_cast<std::int64_t>(0 - magnitude)
                           : static_cast<std::int64_t>(magnitude);
  }
  return shape;
}

// --- Dates -----------------------------------------------------------------

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's
// days_from_civil).
std::int32_t days_from_civil(int y, unsigned m, unsigned d) noexcept {
  y -= m <= 2 ? 1 : 0;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int>(doe) - 719468;
}

bool valid_date(int y, unsigned m, unsigned d) noexcept {
  if (y < 1 || m < 1 || m > 12 || d < 1) {
    return false;
  }
  static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return d <= kDays[m - 1] + (m == 2 && leap ? 1u : 0u);
}

// Three runs of digits joined by `sep`, of 1 to 4 digits each.
bool split_date(std::string_view text, char sep, std::array<unsigned, 3>& value,
                std::array<std::size_t, 3>& length) noexcept {
  std::size_t part = 0;
  value = {0, 0, 0};
  length = {0, 0, 0};
  for (const char c : text) {
    if (is_digit(c)) {
      if (++length[part] > 4) {
        return false;
      }
      value[part] = value[part] * 10 + static_cast<unsigned>(c - '0');
    } else if (c == sep && part < 2 && length[part] > 0) {
      ++part;
    } else {
      return false;
    }
  }
  return part == 2 && length[2] > 0;
}

// `yyyy-mm-dd` in full, the shape nearly every ISO date has: read by
// position rather than through split_date. `t` holds at least 10 bytes.
[[gnu::always_inline]] inline bool read_iso_date_exact(std::string_view t, int& y, unsigned& m,
                                                     unsigned& d) noexcept {
  // Bytes 0-7 and 2-9, each against its shape.
  const std::uint64_t head = load_word(t.data(), 8);
  const std::uint64_t tail = load_word(t.data() + 2, 8);
  if (!word_has_shape(head, word_of("0000-00-"), word_of("\xff\xff\xff\xff\0\xff\xff\0")) ||
      !word_has_shape(tail, word_of("00-00-00"), word_of("\xff\xff\0\xff\xff\0\xff\xff"))) {
    return false;
  }
  y = static_cast<int>(digit_at(head, 0) * 1000 + digit_at(head, 1) * 100 + digit_at(head, 2) * 10 +
                       digit_at(head, 3));
  m = digit_at(head, 5) * 10 + digit_at(head, 6);
  d = digit_at(tail, 6) * 10 + digit_at(tail, 7);
  return true;
}

bool read_date_parts(std::string_view text, DateFormat format, int& y, unsigned& m,
                     unsigned& d) noexcept {
  if (format == DateFormat::Iso && text.size() == 10 && read_iso_date_exact(text, y, m, d)) {
    return valid_date(y, m, d);
  }
  std::array<unsigned, 3> v{};
  std::array<std::size_t, 3> len{};
  std::size_t year = 0;
  std::size_t month = 1;
  std::size_t day = 2;
  char sep = '-';
  switch (format) {
    case DateFormat::Iso:
      break;
    case DateFormat::YmdSlash:
      sep = '/';
      break;
    case DateFormat::DmyDot:
      sep = '.';
      year = 2, month = 1, day = 0;
      break;
    case DateFormat::DmySlash:
      sep = '/';
      year = 2, month = 1, day = 0;
      break;
    case DateFormat::MdySlash:
      sep = '/';
      year = 2, month = 0, day = 1;
      break;
  }
  if (!split_date(text, sep, v, len) || len[year] != 4 || len[month] > 2 || len[day] > 2) {
    return false;
  }
  y = static_cast<int>(v[year]);
  m = v[month];
  d = v[day];
  return valid_date(y, m, d);
}

// --- Timestamps ------------------------------------------------------------

struct Stamp {
  std::int64_t seconds = 0;   // since 1970, offset applied
  std::uint32_t fraction = 0; // nanoseconds
  std::size_t fraction_digits = 0;
  bool offset = false;
};

bool two_digits(std::string_view text, std::size_t at, unsigned& out) noexcept {
  if (at + 2 > text.size() || !is_digit(text[at]) || !is_digit(text[at + 1])) {
    return false;
  }
  out = static_cast<unsigned>((text[at] - '0') * 10 + (text[at + 1] - '0'));
  return true;
}

// `yyyy-mm-ddThh:mm:ss` in full (`T`, `t` or a blank between), as nearly
// every timestamp begins: three words, each checked against its shape at
// once. False leaves the text to the general reading, which reads these
// alike.
[[gnu::always_inline]] inline bool read_fixed_stamp_start(std::string_view t, int& y, unsigned& mo,
                                                        unsigned& d, unsigned& h, unsigned& mi,
                                                        unsigned& s) noexcept {
  if (t.size() < 19) {
    return false;
  }
  const std::uint64_t date = load_word(t.data(), 8);      // yyyy-mm-
  const std::uint64_t middle = load_word(t.data() + 8, 8);  // ddThh:mm
  const std::uint64_t time = load_word(t.data() + 11, 8);   // hh:mm:ss
  const char separator = t[10];
  // The separator's byte is left out of the middle word's shape.
  const std::uint64_t middle_shape = word_of("00\0" "00:00");
  if (!word_has_shape(date, word_of("0000-00-"), word_of("\xff\xff\xff\xff\0\xff\xff\0")) ||
      !word_has_shape(middle & ~(std::uint64_t{0xFF} << 16), middle_shape,
                      word_of("\xff\xff\0\xff\xff\0\xff\xff")) ||
      !word_has_shape(time, word_of("00:00:00"), word_of("\xff\xff\0\xff\xff\0\xff\xff")) ||
      (separator != 'T' && separator != 't' && separator != ' ')) {
    return false;
  }
  y = static_cast<int>(digit_at(date, 0) * 1000 + digit_at(date, 1) * 100 + digit_at(date, 2) * 10 +
                       digit_at(date, 3));
  mo = digit_at(date, 5) * 10 + digit_at(date, 6);
  d = digit_at(middle, 0) * 10 + digit_at(middle, 1);
  h = digit_at(time, 0) * 10 + digit_at(time, 1);
  mi = digit_at(time, 3) * 10 + digit_at(time, 4);
  s = digit_at(time, 6) * 10 + digit_at(time, 7);
  return true;
}

bool scan_stamp(std::string_view text, Stamp& out) noexcept {
  int y = 0;
  unsigned mo = 0;
  unsigned d = 0;
  unsigned h = 0;
  unsigned mi = 0;
  unsigned s = 0;
  std::size_t i = 19;
  if (read_fixed_stamp_start(text, y, mo, d, h, mi, s)) {
    if (!valid_date(y, mo, d) || h > 23 || mi > 59 || s > 59) {
      return false;
    }
  } else {
    std::size_t t = 10;
    const auto is_separator = [](char c) { return c == 'T' || c == 't' || c == ' '; };
    if (text.size() > 10 && is_separator(text[10]) && read_iso_date_exact(text, y, mo, d)) {
      // A full `yyyy-mm-dd` holds no separator, so this is the first one.
      if (!valid_date(y, mo, d)) {
        return false;
      }
    } else {
      t = text.find_first_of("Tt ");
      if (t == std::string_view::npos || t < 8 ||
          !read_date_parts(text.substr(0, t), DateFormat::Iso, y, mo, d)) {
        return false;
      }
    }
    i = t + 1;
    if (!two_digits(text, i, h) || i + 2 >= text.size() || text[i + 2] != ':' ||
        !two_digits(text, i + 3, mi) || i + 5 >= text.size() || text[i + 5] != ':' ||
        !two_digits(text, i + 6, s) || h > 23 || mi > 59 || s > 59) {
      return false;
    }
    i += 8;
  }
  std::uint32_t fraction = 0;
  std::size_t digits = 0;
  if (i < text.size() && text[i] == '.') {
    ++i;
    const std::uint64_t word = load_word(text.data() + i, text.size() - i);
    digits = digit_run(word);
    if (digits == 0) {
      return false;
    }
    fraction = static_cast<std::uint32_t>(digits_value(word, static_cast<unsigned>(digits)));
    i += digits;
    if (digits == 8 && i < text.size() && is_digit(text[i])) {
      fraction = fraction * 10 + static_cast<std::uint32_t>(text[i] - '0');
      ++digits;
      ++i;
    }
    if (digits == 9 && i < text.size() && is_digit(text[i])) {
      return false;  // beyond nanoseconds
    }
    fraction *= static_cast<std::uint32_t>(kPowersOfTen[9 - digits]);
  }
  std::int64_t offset = 0;
  bool has_offset = false;
  if (i < text.size()) {
    if (text[i] == 'Z' || text[i] == 'z') {
      has_offset = true;
      ++i;
    } else if (text[i] == '+' || text[i] == '-') {
      unsigned oh = 0;
      unsigned om = 0;
      if (!two_digits(text, i + 1, oh) || i + 3 >= text.size() || text[i + 3] != ':' ||
          !two_digits(text, i + 4, om) || oh > 23 || om > 59) {
        return false;
      }
      offset = (text[i] == '-' ? -1 : 1) * static_cast<std::int64_t>(oh * 3600 + om * 60);
      has_offset = true;
      i += 6;
    }
  }
  if (i != text.size()) {
    return false;
  }
  out.seconds = static_cast<std::int64_t>(days_from_civil(y, mo, d)) * 86400 +
                static_cast<std::int64_t>(h * 3600 + mi * 60 + s) - offset;
  out.fraction = fraction;
  out.fraction_digits = digits;
  out.offset = has_offset;
  return true;
}

bool stamp_value(const Stamp& stamp, bool nanos, std::int64_t& out) noexcept {
  if (!nanos) {
    out = stamp.seconds * 1000000 + stamp.fraction / 1000;
    return true;
  }
  std::int64_t scaled = 0;
  return !__builtin_mul_overflow(stamp.seconds, std::int64_t{1000000000}, &scaled) &&
         !__builtin_add_overflow(scaled, static_cast<std::int64_t>(stamp.fraction), &out);
}

// --- Choosing a column's type ----------------------------------------------

constexpr FieldBit num_bit(NumberFormat f) noexcept {
  return static_cast<FieldBit>(kNumPoint + static_cast<unsigned>(f));
}

constexpr FieldBit int_bit(NumberFormat f) noexcept {
  switch (f) {
    case NumberFormat::Point:
    case NumberFormat::Comma:
      return kIntPlain;
    case NumberFormat::PointComma:
      return kIntCommaGroups;
    case NumberFormat::CommaDot:
      return kIntDotGroups;
    case NumberFormat::CommaBlank:
      return kIntBlankGroups;
  }
  return kIntPlain;
}

constexpr FieldBit date_bit(DateFormat f) noexcept {
  return static_cast<FieldBit>(kDateIso + static_cast<unsigned>(f));
}

bool allowed(NumberFormat f, const FormatHints& hints) noexcept {
  const Separators sep = separators_of(f);
  return (!hints.decimal || *hints.decimal == sep.decimal) &&
         (!hints.thousands || *hints.thousands == sep.group);
}

constexpr std::array<NumberFormat, 2> kPointFamily = {NumberFormat::Point,
                                                      NumberFormat::PointComma};
constexpr std::array<NumberFormat, 3> kCommaFamily = {NumberFormat::Comma, NumberFormat::CommaDot,
                                                      NumberFormat::CommaBlank};

template <std::size_t N>
bool family_fits(const std::array<NumberFormat, N>& family, const ColumnCounts& counts,
                 const FormatHints& hints) noexcept {
  for (const NumberFormat f : family) {
    if (allowed(f, hints) && counts.all(num_bit(f))) {
      return true;
    }
  }
  return false;
}

template <std::size_t N>
std::optional<ColumnType> number_type(const std::array<NumberFormat, N>& family,
                                      const ColumnCounts& counts,
                                      const FormatHints& hints) noexcept {
  for (const NumberFormat f : family) {
    if (allowed(f, hints) && counts.all(int_bit(f))) {
      return ColumnType{CellType::Int64, f};
    }
  }
  for (const NumberFormat f : family) {
    if (allowed(f, hints) && counts.all(num_bit(f))) {
      return ColumnType{CellType::Float64, f};
    }
  }
  return std::nullopt;
}

// from_chars over the whole of `digits` (an unsigned number in Python's
// float() syntax with a decimal point), with Python's answer for values
// beyond a double's range.
bool parse_decimal(std::string_view digits, double& out) noexcept {
  double value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec == std::errc::result_out_of_range) {
    // Too large or too small for a double: Python gives infinity or zero.
    // The first significant digit's power of ten says which.
    std::int64_t exponent = 0;
    std::int64_t lead = 0;
    bool seen_point = false;
    bool significant = false;
    std::size_t i = 0;
    for (; i < digits.size() && digits[i] != 'e' && digits[i] != 'E'; ++i) {
      if (digits[i] == '.') {
        seen_point = true;
      } else if (!significant && digits[i] == '0') {
        lead -= seen_point ? 1 : 0;
      } else {
        significant = true;
        lead += seen_point ? 0 : 1;
      }
    }
    bool exponent_negative = false;
    for (++i; i < digits.size(); ++i) {
      if (digits[i] == '-') {
        exponent_negative = true;
      } else if (is_digit(digits[i]) && exponent < (std::int64_t{1} << 40)) {
        exponent = exponent * 10 + (digits[i] - '0');
      }
    }
    out = lead + (exponent_negative ? -exponent : exponent) > 0
              ? std::numeric_limits<double>::infinity()
              : 0.0;
    return true;
  }
  if (ec != std::errc() || end != digits.data() + digits.size()) {
    return false;
  }
  out = value;
  return true;
}

// Whether the one `.` of `t`, at `dot`, can be a thousands separator: one
// to three digits before it (after a sign) and exactly three after. Every
// decimal with another count of fraction digits is thus read only once.
bool dotted_group_possible(std::string_view t, std::size_t dot) noexcept {
  const std::size_t first = !t.empty() && (t.front() == '+' || t.front() == '-') ? 1 : 0;
  if (dot <= first || dot - first > 3 || dot + 4 > t.size()) {
    return false;
  }
  for (std::size_t i = first; i < dot; ++i) {
    if (!is_digit(t[i])) {
      return false;
    }
  }
  return is_digit(t[dot + 1]) && is_digit(t[dot + 2]) && is_digit(t[dot + 3]) &&
         (dot + 4 == t.size() || !is_digit(t[dot + 4]));
}

// The commonest integers, `0` or a sign and up to 18 digits without a
// leading zero, read in one pass. False leaves every other text to
// scan_number (which reads all of these alike, strictly or leniently).
bool read_short_int(std::string_view t, std::int64_t& out) noexcept {
  std::size_t i = 0;
  const bool negative = !t.empty() && t.front() == '-';
  if (!t.empty() && (t.front() == '+' || negative)) {
    i = 1;
  }
  const std::size_t digits = t.size() - i;
  if (digits == 0 || digits > 18 || t[i] == '0') {
    if (digits == 1 && t[i] == '0' && !negative) {
      out = 0;
      return true;
    }
    return false;
  }
  std::int64_t value = 0;
  for (; i < t.size(); ++i) {
    if (!is_digit(t[i])) {
      return false;
    }
    value = value * 10 + (t[i] - '0');
  }
  out = negative ? -value : value;
  return true;
}

// A decimal in its commonest shape: a sign, digits without a leading zero,
// an optional `.` and fraction, an optional exponent of up to three digits,
// at most 19 digits in all. Every such text reads as a number with a
// decimal point, strictly; `fits` is false for every other text.
struct ShortDecimal {
  bool fits = false;
  bool negative = false;
  bool dot = false;
  bool exponent = false;
  std::size_t int_digits = 0;
  std::uint64_t mantissa = 0;
  int power = 0;  // of ten, applied to the mantissa
};

// The mantissa of a decimal whose digits, with at most one `.` among them,
// fit the word at `i`: the point's byte is taken out and the digits on both
// sides read as one run. Leaves `i` past them; false (nothing changed)
// when the digits go on beyond the word.
[[gnu::always_inline]] inline bool quick_mantissa(std::string_view t, std::size_t& i,
                                                  ShortDecimal& d, std::size_t& fraction) noexcept {
  const std::uint64_t word = load_word(t.data() + i, t.size() - i);
  const unsigned whole = digit_run(word);
  const bool dot = whole < 8 && ((word >> (8 * whole)) & 0xFF) == '.';
  const std::uint64_t after = dot && whole < 7 ? word >> (8 * (whole + 1)) : 0;
  const unsigned decimals = digit_run(after);
  const std::size_t end = i + whole + (dot ? 1 + decimals : 0);
  if (end == i + 8 && end < t.size() && is_digit(t[end])) {
    return false;
  }
  const auto below = [](unsigned bytes) {
    return bytes >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * bytes)) - 1;
  };
  const unsigned all = whole + decimals;
  if (all > 0) {
    // Eight whole digits leave no point in the word and nothing after it
    // (and a shift by the word's width is undefined).
    const std::uint64_t fraction_bytes = whole < 8 ? (after & below(decimals)) << (8 * whole) : 0;
    d.mantissa = digits_value((word & below(whole)) | fraction_bytes, all);
  }
  d.dot = dot;
  d.int_digits = whole;
  fraction = decimals;
  i = end;
  return true;
}

ShortDecimal short_decimal(std::string_view t) noexcept {
  ShortDecimal d;
  const std::size_t n = t.size();
  std::size_t i = 0;
  d.negative = n > 0 && t[0] == '-';
  if (n > 0 && (t[0] == '+' || d.negative)) {
    i = 1;
  }
  const std::size_t start = i;
  std::size_t fraction = 0;
  if (!quick_mantissa(t, i, d, fraction)) {
    // Up to `limit` digits from `i` into the mantissa, eight at a time;
    // false when there are more.
    const auto digits = [&t, &i, &d, n](std::size_t limit) {
      for (std::size_t taken = 0;;) {
        const std::uint64_t word = load_word(t.data() + i, n - i);
        const unsigned run = digit_run(word);
        if (run == 0) {
          return true;
        }
        taken += run;
        if (taken > limit) {
          return false;
        }
        d.mantissa = d.mantissa * kPowersOfTen[run] + digits_value(word, run);
        i += run;
        if (run < 8) {
          return true;
        }
      }
    };
    if (!digits(19)) {
      return d;
    }
    d.int_digits = i - start;
    if (i < n && t[i] == '.') {
      d.dot = true;
      ++i;
      // At most nineteen digits in all.
      if (!digits(19 - d.int_digits)) {
        return d;
      }
      fraction = i - start - d.int_digits - 1;
    }
  }
  if (d.int_digits == 0 || (d.int_digits > 1 && t[start] == '0')) {
    return d;
  }
  int exponent = 0;
  if (i < n && (t[i] == 'e' || t[i] == 'E')) {
    d.exponent = true;
    ++i;
    const bool down = i < n && t[i] == '-';
    if (i < n && (t[i] == '+' || down)) {
      ++i;
    }
    const std::size_t first = i;
    for (; i < n && is_digit(t[i]); ++i) {
      if (i - first >= 3) {
        return d;
      }
      exponent = exponent * 10 + (t[i] - '0');
    }
    if (i == first) {
      return d;
    }
    exponent = down ? -exponent : exponent;
  }
  // Nineteen digits can exceed int64 only without a point or exponent,
  // where the strict reading refuses them.
  d.fits = i == n && (d.dot || d.exponent || d.mantissa < (std::uint64_t{1} << 63));
  d.power = exponent - static_cast<int>(fraction);
  return d;
}

// Decimals whose digits make an integer of at most 2^53 and whose power of
// ten is within 22: both are exact doubles, so one multiplication or
// division rounds correctly and gives what float() gives. False leaves
// every other text (leading zeros, `.5`, long mantissas, large exponents,
// words) to the exact path.
bool scale_short_decimal(bool negative, std::uint64_t mantissa, int power, double& out) noexcept {
  static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                       1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                       1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  if (mantissa > (std::uint64_t{1} << 53) || power < -22 || power > 22) {
    return false;
  }
  const auto value = static_cast<double>(mantissa);
  const double scaled = power < 0 ? value / kPowers[-power] : value * kPowers[power];
  out = negative ? -scaled : scaled;
  return true;
}

bool read_short_decimal(std::string_view t, double& out) noexcept {
  const ShortDecimal d = short_decimal(t);
  return d.fits && scale_short_decimal(d.negative, d.mantissa, d.power, out);
}

// The number readings of a cell. Most cells hold no `,` or blank and at
// most one `.`: one scan then tells every format but the dotted groups.
FieldMask number_mask(std::string_view t) noexcept {
  bool comma = false;
  bool blank = false;
  std::size_t dots = 0;
  std::size_t dot = 0;
  for (std::size_t i = 0; i < t.size(); ++i) {
    const char c = t[i];
    comma = comma || c == ',';
    blank = blank || c == ' ';
    if (c == '.') {
      ++dots;
      dot = i;
    }
  }
  FieldMask mask = 0;
  const auto add = [&mask](NumberFormat f, const NumberShape& shape) {
    if (shape.ok) {
      mask |= bit(num_bit(f));
      if (shape.integer) {
        mask |= bit(int_bit(f));
      }
    }
  };
  if (comma || blank || dots > 1 || t.size() > kMaxNormalised) {
    for (std::size_t f = 0; f < kNumberFormats; ++f) {
      add(static_cast<NumberFormat>(f), scan_number(t, static_cast<NumberFormat>(f), false));
    }
  } else {
    const NumberShape point = scan_number(t, NumberFormat::Point, false);
    add(NumberFormat::Point, point);
    // Without a group mark a grouped format reads as the plain one, as long
    // as no integer part of four or more digits goes ungrouped.
    const bool ungrouped_ok = point.special || point.int_digits <= 3;
    if (ungrouped_ok) {
      add(NumberFormat::PointComma, point);
    }
    if (dots == 0) {
      add(NumberFormat::Comma, point);
      if (ungrouped_ok) {
        add(NumberFormat::CommaDot, point);
        add(NumberFormat::CommaBlank, point);
      }
    } else if (dotted_group_possible(t, dot)) {
      add(NumberFormat::CommaDot, scan_number(t, NumberFormat::CommaDot, false));
    }
  }
  if (mask != 0 && (comma || blank || dots > 0)) {
    mask |= bit(kHasSeparator);
  }
  return mask;
}

// The timestamp readings of a cell, and their facts.
FieldMask stamp_mask(std::string_view t, Stamp& stamp) noexcept {
  if (!scan_stamp(t, stamp)) {
    return 0;
  }
  FieldMask mask = bit(stamp.offset ? kStampOffset : kStampNaive);
  if (stamp.fraction_digits > 6) {
    mask |= bit(kStampNanos);
  }
  std::int64_t ignored = 0;
  if (!stamp_value(stamp, true, ignored)) {
    mask |= bit(kStampBeyondNanos);
  }
  return mask;
}

// Digits only, at most 19 of them (which cannot overflow), and their value.
[[gnu::always_inline]] inline bool few_digits(std::string_view t, std::uint64_t& magnitude) noexcept {
  if (t.empty() || t.size() > 19) {
    return false;
  }
  magnitude = 0;
  for (std::size_t i = 0; i < t.size(); i += 8) {
    const std::size_t left = t.size() - i;
    const std::uint64_t word = load_word(t.data() + i, left);
    const unsigned run = digit_run(word);
    if (run < std::min<std::size_t>(left, 8)) {
      return false;
    }
    magnitude = magnitude * kPowersOfTen[run] + digits_value(word, run);
  }
  return true;
}

// The readings of a cell of digits only (no sign), the commonest number,
// whose value is `magnitude`: what number_mask gives, without scanning it
// once per format.
FieldMask digits_readings(std::string_view t, std::uint64_t magnitude) noexcept {
  // A leading zero, or more digits than int64 holds, is no number at all
  // (an identifier), in every format.
  if ((t.size() > 1 && t.front() == '0') || t.size() > 19 ||
      magnitude >= (std::uint64_t{1} << 63)) {
    return 0;
  }
  FieldMask mask = bit(kNumPoint) | bit(kNumComma) | bit(kIntPlain);
  if (t.size() <= 3) {
    // Too short to need thousands groups: the grouped formats read it too.
    mask |= bit(kNumPointComma) | bit(kNumCommaDot) | bit(kNumCommaBlank) | bit(kIntCommaGroups) |
            bit(kIntDotGroups) | bit(kIntBlankGroups);
  }
  return mask;
}

FieldMask digits_mask(std::string_view t, std::uint64_t& magnitude) noexcept {
  return few_digits(t, magnitude) ? digits_readings(t, magnitude) : 0;
}

// Where classification hands the values it comes across, for the type a
// column is being built as; each is what that type's reader gives the
// same text (strictly), or nothing.
struct ValueSink {
  const ColumnType* as = nullptr;
  CellValue* out = nullptr;

  void set(std::uint64_t bits) const noexcept {
    out->state = CellValue::State::Value;
    out->bits = bits;
  }
  // mantissa × 10^power: digits only, or the short decimal shape, which
  // holds no separator but a `.` (`dot`). `integer`: no point or exponent.
  void number(FieldMask mask, bool negative, std::uint64_t mantissa, int power, bool integer,
              bool dot) const noexcept {
    if (as->type == CellType::Int64) {
      if (integer && (mask & bit(int_bit(as->number))) != 0) {
        set(negative ? 0 - mantissa : mantissa);
      }
    } else if (as->type == CellType::Float64) {
      // A `.` is a thousands mark where the decimal mark is `,`.
      double value = 0;
      if ((mask & bit(num_bit(as->number))) != 0 &&
          (!dot || separators_of(as->number).decimal == '.') &&
          scale_short_decimal(negative, mantissa, power, value)) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        set(bits);
      }
    }
  }
  void date(FieldMask mask, DateFormat format, int y, unsigned m, unsigned d) const noexcept {
    if (as->type == CellType::Date32 && as->date == format && (mask & bit(date_bit(format))) != 0) {
      set(static_cast<std::uint32_t>(days_from_civil(y, m, d)));
    }
  }
  void stamp(const Stamp& stamp) const noexcept {
    std::int64_t value = 0;
    if (as->type == CellType::Timestamp && stamp.offset == as->utc &&
        (as->nanos || stamp.fraction_digits <= 6) && stamp_value(stamp, as->nanos, value)) {
      set(static_cast<std::uint64_t>(value));
    }
  }
  void boolean(bool value) const noexcept {
    if (as->type == CellType::Bool) {
      set(value ? 1 : 0);
    }
  }
};

template <bool kRead>
FieldMask classify_bool(std::string_view t, const ValueSink& sink) noexcept {
  bool yes = false;
  if (!read_bool_word(t, yes)) {
    return 0;
  }
  if constexpr (kRead) {
    sink.boolean(yes);
  }
  return bit(kBool);
}

template <bool kRead>
FieldMask classify_stamp(std::string_view t, const ValueSink& sink) noexcept {
  Stamp stamp;
  const FieldMask mask = stamp_mask(t, stamp);
  if constexpr (kRead) {
    if (mask != 0) {
      sink.stamp(stamp);
    }
  }
  return mask;
}

template <bool kRead>
FieldMask classify_impl(std::string_view t, const ValueSink& sink) noexcept {
  if (t.empty()) {
    return 0;
  }
  const char c = t.front();
  if (c == 't' || c == 'T' || c == 'f' || c == 'F') {
    return classify_bool<kRead>(t, sink);
  }
  if (!is_digit(c) && c != '+' && c != '-' && c != '.' && c != ',' && c != 'i' && c != 'I' &&
      c != 'n' && c != 'N') {
    return 0;
  }
  // The first run of digits and what follows it tell dates and timestamps
  // from numbers without scanning them as numbers.
  std::size_t run = 0;
  while (run < t.size() && is_digit(t[run])) {
    ++run;
  }
  if (run == t.size()) {
    std::uint64_t magnitude = 0;
    const FieldMask digits = digits_mask(t, magnitude);
    if constexpr (kRead) {
      sink.number(digits, false, magnitude, 0, true, false);
    }
    return digits;
  }
  const char after = run < t.size() ? t[run] : '\0';
  FieldMask mask = 0;
  if (run == 0 || (after != '-' && after != '/')) {
    mask = number_mask(t);
    if (mask != 0 || run == 0) {
      return mask;
    }
  }
  if (t.size() <= 10) {
    int y = 0;
    unsigned m = 0;
    unsigned d = 0;
    const auto try_format = [&](DateFormat f) {
      if (read_date_parts(t, f, y, m, d)) {
        mask |= bit(date_bit(f));
        if constexpr (kRead) {
          sink.date(mask, f, y, m, d);
        }
      }
    };
    if (after == '-') {
      try_format(DateFormat::Iso);
    } else if (after == '/') {
      if (run == 4) {
        try_format(DateFormat::YmdSlash);
      } else {
        try_format(DateFormat::DmySlash);
        try_format(DateFormat::MdySlash);
      }
    } else if (after == '.') {
      try_format(DateFormat::DmyDot);
    }
    return mask;
  }
  if (after != '-') {
    return 0;
  }
  return classify_stamp<kRead>(t, sink);
}

template <bool kRead>
FieldMask classify_among_impl(std::string_view t, FieldMask wanted, const ValueSink& sink) noexcept {
  constexpr FieldMask kPointReadings =
      bit(kNumPoint) | bit(kIntPlain) | bit(kNumPointComma) | bit(kIntCommaGroups);
  constexpr FieldMask kNumbers = (FieldMask{1} << kDateIso) - (FieldMask{1} << kIntPlain);
  constexpr FieldMask kStamps = bit(kStampNaive) | bit(kStampOffset);
  const bool point_only = (wanted & ~kPointReadings) == 0;
  if (wanted == 0) {
    return classify_impl<kRead>(t, sink);
  }
  if (wanted == bit(kBool)) {
    return classify_bool<kRead>(t, sink);
  }
  if ((wanted & ~kStamps) == 0) {
    // Only a timestamp's shape gives these bits, whatever else the text is.
    return classify_stamp<kRead>(t, sink);
  }
  std::uint64_t magnitude = 0;
  // A column of decimal-point numbers reads digits alike through the
  // short decimal below.
  if ((wanted & ~kNumbers) == 0 && !point_only && few_digits(t, magnitude)) {
    const FieldMask mask = digits_readings(t, magnitude);
    if constexpr (kRead) {
      sink.number(mask, false, magnitude, 0, true, false);
    }
    return mask;
  }
  if (wanted == bit(kDateIso) && t.size() == 10) {
    int y = 0;
    unsigned m = 0;
    unsigned d = 0;
    if (read_iso_date_exact(t, y, m, d)) {
      if (!valid_date(y, m, d)) {
        return 0;
      }
      if constexpr (kRead) {
        sink.date(bit(kDateIso), DateFormat::Iso, y, m, d);
      }
      return bit(kDateIso);
    }
  } else if (point_only) {
    const ShortDecimal d = short_decimal(t);
    if (d.fits) {
      const bool integer = !d.dot && !d.exponent && (d.mantissa != 0 || !d.negative);
      FieldMask mask = bit(kNumPoint) | (integer ? bit(kIntPlain) : 0);
      if (d.int_digits <= 3) {
        // No thousands group needed: `,` groups read it alike.
        mask |= bit(kNumPointComma) | (integer ? bit(kIntCommaGroups) : 0);
      }
      if constexpr (kRead) {
        sink.number(mask, d.negative, d.mantissa, d.power, integer, d.dot);
      }
      return mask | (d.dot ? bit(kHasSeparator) : 0);
    }
  }
  return classify_impl<kRead>(t, sink);
}

}  // namespace

NullMarkers::NullMarkers() : NullMarkers({"NA", "N/A", "n/a", "NULL", "null", "None", "#N/A"}) {}

NullMarkers::NullMarkers(std::vector<std::string> markers) : markers_(std::move(markers)) {
  for (const std::string& m : markers_) {
    longest_ = std::max(longest_, m.size());
    if (!m.empty()) {
      const auto first = static_cast<unsigned char>(m.front());
      first_bytes_[first / 64] |= std::uint64_t{1} << (first % 64);
    }
  }
}

bool NullMarkers::listed(std::string_view text) const noexcept {
  for (const std::string& m : markers_) {
    if (m == text) {
      return true;
    }
  }
  return false;
}

FieldMask classify_field(std::string_view t) noexcept { return classify_impl<false>(t, {}); }

FieldMask classify_field_among(std::string_view t, FieldMask wanted) noexcept {
  return classify_among_impl<false>(t, wanted, {});
}

FieldMask classify_and_read(std::string_view t, FieldMask wanted, const ColumnType& as,
                            CellValue& out) noexcept {
  out.state = CellValue::State::Unread;
  return classify_among_impl<true>(t, wanted, ValueSink{&as, &out});
}

void ColumnCounts::merge(const ColumnCounts& other) noexcept {
  values += other.values;
  for (std::size_t i = 0; i < bits.size(); ++i) {
    bits[i] += other.bits[i];
  }
}

ColumnType infer_column_type(const ColumnCounts& counts, const FormatHints& hints) noexcept {
  if (counts.values == 0) {
    return {};
  }
  if (counts.all(kBool)) {
    return {CellType::Bool};
  }
  // 1. Numbers: read with a decimal point or a decimal comma; a column both
  //    read, with a separator somewhere, means two different tables.
  const bool point = family_fits(kPointFamily, counts, hints);
  const bool comma = family_fits(kCommaFamily, counts, hints);
  if (point && comma && counts.bits[kHasSeparator] > 0) {
    return {};
  }
  if (point) {
    return number_type(kPointFamily, counts, hints).value_or(ColumnType{});
  }
  if (comma) {
    return number_type(kCommaFamily, counts, hints).value_or(ColumnType{});
  }
  // 2. Dates: one format; day-first and month-first both fitting is a guess.
  std::optional<DateFormat> date;
  for (std::size_t f = 0; f < kDateFormats; ++f) {
    const auto format = static_cast<DateFormat>(f);
    if ((!hints.date || *hints.date == format) && counts.all(date_bit(format))) {
      if (date) {
        return {};
      }
      date = format;
    }
  }
  if (date) {
    return {CellType::Date32, NumberFormat::Point, *date};
  }
  // 3. Timestamps: all with offsets or all without.
  const bool nanos = counts.bits[kStampNanos] > 0;
  if (nanos && counts.bits[kStampBeyondNanos] > 0) {
    return {};
  }
  if (counts.all(kStampNaive) || counts.all(kStampOffset)) {
    return {CellType::Timestamp, NumberFormat::Point, DateFormat::Iso, nanos,
            counts.all(kStampOffset)};
  }
  return {};
}

FieldMask chosen_readings(CellType chosen) noexcept {
  constexpr auto run = [](FieldBit first, FieldBit last) {
    return (FieldMask{1} << (last + 1)) - (FieldMask{1} << first);
  };
  switch (chosen) {
    case CellType::String:
      return 0;
    case CellType::Bool:
      return bit(kBool);
    case CellType::Int64:
      return run(kIntPlain, kIntBlankGroups);
    case CellType::Float64:
      return run(kNumPoint, kNumCommaBlank);
    case CellType::Date32:
      return run(kDateIso, kDateMdySlash);
    case CellType::Timestamp:
      return bit(kStampNaive) | bit(kStampOffset);
  }
  return 0;
}

ColumnType complete_column_type(CellType chosen, bool nanos, bool utc, const ColumnCounts& counts,
                                const FormatHints& hints) noexcept {
  ColumnType type{chosen};
  type.nanos = nanos;
  type.utc = utc;
  if (chosen == CellType::Int64 || chosen == CellType::Float64) {
    std::uint64_t best = 0;
    bool found = false;
    for (std::size_t f = 0; f < kNumberFormats; ++f) {
      const auto format = static_cast<NumberFormat>(f);
      const std::uint64_t n = counts.bits[chosen == CellType::Int64 ? int_bit(format)
                                                                     : num_bit(format)];
      if (allowed(format, hints) && (!found || n > best)) {
        type.number = format;
        best = n;
        found = true;
      }
    }
  } else if (chosen == CellType::Date32) {
    if (hints.date) {
      type.date = *hints.date;
    } else {
      std::uint64_t best = 0;
      for (std::size_t f = 0; f < kDateFormats; ++f) {
        const std::uint64_t n = counts.bits[date_bit(static_cast<DateFormat>(f))];
        if (n > best) {
          type.date = static_cast<DateFormat>(f);
          best = n;
        }
      }
    }
  }
  return type;
}

bool read_bool(std::string_view text, bool& out) noexcept {
  bool yes = false;
  if (!read_bool_word(text, yes)) {
    return false;
  }
  out = yes;
  return true;
}

bool read_int64(std::string_view text, NumberFormat format, bool lenient,
                std::int64_t& out) noexcept {
  if ((format == NumberFormat::Point || format == NumberFormat::Comma) && read_short_int(text, out)) {
    return true;
  }
  const NumberShape shape = scan_number(text, format, lenient);
  if (!shape.ok || !shape.integer) {
    return false;
  }
  out = shape.value;
  return true;
}

bool read_float64(std::string_view text, NumberFormat format, bool lenient, double& out) noexcept {
  if (format == NumberFormat::Point && read_short_decimal(text, out)) {
    return true;
  }
  const NumberShape shape = scan_number(text, format, lenient);
  if (!shape.ok) {
    return false;
  }
  const Separators sep = separators_of(format);
  bool negative = false;
  std::string_view body = text;
  if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
    negative = body.front() == '-';
    body.remove_prefix(1);
  }
  double value = 0;
  if (sep.group == '\0' && sep.decimal == '.') {
    if (!parse_decimal(body, value)) {
      return false;
    }
  } else {
    if (body.size() > kMaxNormalised) {
      return false;  // lenient reads only: the strict scan refused it already
    }
    char buffer[kMaxNormalised];
    std::size_t n = 0;
    for (const char c : body) {
      if (c == sep.group) {
        continue;
      }
      buffer[n++] = c == sep.decimal ? '.' : c;
    }
    if (!parse_decimal(std::string_view(buffer, n), value)) {
      return false;
    }
  }
  out = negative ? -value : value;
  return true;
}

bool read_date32(std::string_view text, DateFormat format, std::int32_t& out) noexcept {
  int y = 0;
  unsigned m = 0;
  unsigned d = 0;
  if (text.size() > 10 || !read_date_parts(text, format, y, m, d)) {
    return false;
  }
  out = days_from_civil(y, m, d);
  return true;
}

bool read_timestamp(std::string_view text, bool nanos, bool offsets, bool either,
                    std::int64_t& out) noexcept {
  Stamp stamp;
  if (!scan_stamp(text, stamp) || (!either && stamp.offset != offsets) ||
      (!nanos && stamp.fraction_digits > 6)) {
    return false;
  }
  return stamp_value(stamp, nanos, out);
}

}  // namespace vornish
