// Formatting of clean-output lines and quarantine-file lines.
//
// Pure string building: the caller hands finished lines to a BufferedFile.
// Fields are valid UTF-8, so a two-byte delimiter or quote text can only
// match on a character boundary and a plain substring test is exact.
#include "engine/writer.hpp"

#include <charconv>
#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vornish {

std::string byte_as_text(std::uint8_t byte) {
  std::string text;
  if (byte < 0x80) {
    text.push_back(static_cast<char>(byte));
  } else {
    text.push_back(static_cast<char>(0xC0 | (byte >> 6)));
    text.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
  }
  return text;
}
namespace {

// Appends `text` with every occurrence of `quote` doubled.
void append_doubling(std::string& out, std::string_view text, std::string_view quote) {
  std::size_t from = 0;
  for (;;) {
    const std::size_t hit = text.find(quote, from);
    if (hit == std::string_view::npos) {
      out.append(text.substr(from));
      return;
    }
    const std::size_t end = hit + quote.size();
    out.append(text.substr(from, end - from));
    out.append(quote);
    from = end;
  }
}

constexpr std::string_view kDoubleQuote = "\"";

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
#if !defined(__SSE2__)
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

// Non-zero when some byte of `word` is zero (exact as a yes/no answer).
constexpr std::uint64_t zero_byte_in(std::uint64_t word) noexcept {
  return (word - kOnes) & ~word & kHighs;
}
#endif

#if defined(__SSE2__)
// 0x00 sixteen times, then 0xFF sixteen times: loaded from kTail + k, the
// first 16 - k lanes are cleared and the last k kept.
alignas(16) constexpr unsigned char kTail[32] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// A mask whose last k of sixteen lanes are set.
inline __m128i tail_lanes(std::size_t k) noexcept {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(kTail + k));
}
#endif

// How many bytes of [p, p + n) are `c`; sixteen at a time where SSE2 is
// part of the instruction set (all of x86-64), the last, partial chunk
// read overlapping the one before with the bytes already counted masked.
std::size_t count_byte(const char* p, std::size_t n, char c) noexcept {
  std::size_t i = 0;
  std::size_t count = 0;
#if defined(__SSE2__)
  if (n >= 16) {
    const __m128i vc = _mm_set1_epi8(c);
    const __m128i one = _mm_set1_epi8(1);
    __m128i sums = _mm_setzero_si128();
    for (; i + 16 <= n; i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      sums = _mm_add_epi64(sums, _mm_sad_epu8(_mm_and_si128(_mm_cmpeq_epi8(v, vc), one),
                                               _mm_setzero_si128()));
    }
    if (i < n) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n - 16));
      const __m128i hit = _mm_and_si128(_mm_cmpeq_epi8(v, vc), tail_lanes(n - i));
      sums = _mm_add_epi64(sums, _mm_sad_epu8(_mm_and_si128(hit, one), _mm_setzero_si128()));
    }
    return static_cast<std::size_t>(_mm_cvtsi128_si64(sums)) +
           static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
  }
#endif
  for (; i < n; ++i) {
    count += p[i] == c;
  }
  return count;
}

// Whether [p, p + n) holds any of a, b and c. The bytes up to `limit`
// (at least p + n) may be read, so a short run is tested in one load
// when sixteen bytes are at hand.
bool holds_any(const char* p, std::size_t n, const char* limit, char a, char b,
               char c) noexcept {
#if defined(__SSE2__)
  if (n < 16 && static_cast<std::size_t>(limit - p) >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hit =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(a)),
                                  _mm_cmpeq_epi8(v, _mm_set1_epi8(b))),
                     _mm_cmpeq_epi8(v, _mm_set1_epi8(c)));
    return (static_cast<unsigned>(_mm_movemask_epi8(hit)) & ((1u << n) - 1u)) != 0;
  }
  if (n >= 16) {
    const __m128i va = _mm_set1_epi8(a);
    const __m128i vb = _mm_set1_epi8(b);
    const __m128i vc = _mm_set1_epi8(c);
    const auto any_at = [&](std::size_t at) noexcept {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
      const __m128i hit = _mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi8(v, va), _mm_cmpeq_epi8(v, vb)), _mm_cmpeq_epi8(v, vc));
      return _mm_movemask_epi8(hit) != 0;
    };
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
      if (any_at(i)) {
        return true;
      }
    }
    // Overlaps bytes already tested, which is harmless for a yes/no answer.
    return i < n && any_at(n - 16);
  }
#endif
  for (std::size_t i = 0; i < n; ++i) {
    if (p[i] == a || p[i] == b || p[i] == c) {
      return true;
    }
  }
  return false;
}

}  // namespace

CsvLineFormatter::CsvLineFormatter(std::uint8_t delimiter, std::uint8_t quote_char)
    : separator_(byte_as_text(delimiter)), quote_(byte_as_text(quote_char)) {
  roles_['\n'] = ByteRole::Special;
  roles_['\r'] = ByteRole::Special;
  for (const std::string* text : {&separator_, &quote_}) {
    const auto lead = static_cast<std::uint8_t>((*text)[0]);
    // A lead byte that is also a one-byte special stays Special.
    if (text->size() == 1) {
      roles_[lead] = ByteRole::Special;
    } else if (roles_[lead] == ByteRole::Plain) {
      roles_[lead] = ByteRole::Lead;
    }
  }
  ascii_specials_ = separator_.size() == 1 && quote_.size() == 1;
  delimiter_word_ = kOnes * static_cast<std::uint8_t>(separator_[0]);
  quote_word_ = kOnes * static_cast<std::uint8_t>(quote_[0]);
}

// Called for most short fields of every formatted row: inlined, and on
// x86-64 one compare per special byte on the word in a vector register.
inline bool CsvLineFormatter::special_in_word(std::uint64_t w) const noexcept {
#if defined(__SSE2__)
  const __m128i v = _mm_cvtsi64_si128(static_cast<long long>(w));
  const __m128i hit = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(delimiter_word_))),
                   _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(quote_word_)))),
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')),
                   _mm_cmpeq_epi8(v, _mm_set1_epi8('\r'))));
  return (_mm_movemask_epi8(hit) & 0xFF) != 0;
#else
  return (zero_byte_in(w ^ delimiter_word_) | zero_byte_in(w ^ quote_word_) |
          zero_byte_in(w ^ (kOnes * '\n')) | zero_byte_in(w ^ (kOnes * '\r'))) != 0;
#endif
}

bool CsvLineFormatter::needs_quoting(std::string_view field) const noexcept {
  const std::size_t n = field.size();
#if defined(__SSE2__)
  if (ascii_specials_ && n >= 16) {
    const __m128i delimiter = _mm_set1_epi8(separator_[0]);
    const __m128i quote = _mm_set1_epi8(quote_[0]);
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    const auto special_in = [&](std::size_t at) noexcept {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(field.data() + at));
      const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, delimiter), _mm_cmpeq_epi8(v, quote)),
                                       _mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)));
      return _mm_movemask_epi8(hit) != 0;
    };
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
      if (special_in(i)) {
        return true;
      }
    }
    // The last chunk overlaps bytes already tested, which is harmless.
    return i < n && special_in(n - 16);
  }
#endif
  if (ascii_specials_ && n >= 8) {
    const auto special_in = [&](std::size_t at) noexcept {
      std::uint64_t w;
      std::memcpy(&w, field.data() + at, 8);
      return special_in_word(w);
    };
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
      if (special_in(i)) {
        return true;
      }
    }
    // The last word overlaps bytes already tested, which is harmless.
    return i < n && special_in(n - 8);
  }
  for (std::size_t i = 0; i < n; ++i) {
    switch (roles_[static_cast<std::uint8_t>(field[i])]) {
      case ByteRole::Plain:
        break;
      case ByteRole::Special:
        return true;
      case ByteRole::Lead: {
        const std::string_view here = field.substr(i, 2);
        if (here == separator_ || here == quote_) {
          return true;
        }
        break;
      }
    }
  }
  return false;
}

void CsvLineFormatter::append_row(std::string& line, RowView row) const {
  if (ascii_specials_) {
    append_ascii_row(line, row);
    return;
  }
  bool first = true;
  for (const FieldView& field : row) {
    if (!first) {
      line += separator_;
    }
    first = false;
    if (needs_quoting(field.text)) {
      line += quote_;
      append_doubling(line, field.text, quote_);
      line += quote_;
    } else {
      line += field.text;
    }
  }
  line += '\n';
}

// The common case, an ASCII delimiter and quote: every field is copied in
// one pass that also watches for the bytes that force quoting; a field that
// has one is written again, quoted, in the same place.
void CsvLineFormatter::append_ascii_row(std::string& line, RowView row) const {
  const std::size_t base = line.size();
  std::size_t total = row.empty() ? 1 : row.size();  // separators and the LF
  for (const FieldView& field : row) {
    total += field.text.size();
  }
  line.resize(base + total);
  std::size_t at = base;
  const char separator = separator_[0];
  const char quote = quote_[0];
  for (std::size_t i = 0; i < row.size(); ++i) {
    if (i != 0) {
      line[at++] = separator;
    }
    const std::string_view text = row[i].text;
    char* out = line.data() + at;
    bool special = false;
    if (text.size() >= 8) {
      special = needs_quoting(text);
      if (!special) {
        std::memcpy(out, text.data(), text.size());
      }
    } else if (text.size() >= 4) {
      // Two four-byte words that overlap when the field is shorter than
      // eight: copied as they are, and tested as one eight-byte word.
      const std::size_t last = text.size() - 4;
      std::uint32_t head;
      std::uint32_t tail;
      std::memcpy(&head, text.data(), 4);
      std::memcpy(&tail, text.data() + last, 4);
      std::memcpy(out, &head, 4);
      std::memcpy(out + last, &tail, 4);
      special = special_in_word(head | (static_cast<std::uint64_t>(tail) << 32));
    } else {
      for (const char c : text) {
        *out++ = c;
        special |= roles_[static_cast<std::uint8_t>(c)] != ByteRole::Plain;
      }
    }
    if (!special) {
      at += text.size();
      continue;
    }
    // Most fields are quoted for a delimiter or a line end they hold, with
    // no quote to double: those are copied whole between the two quotes.
    const void* first_quote = std::memchr(text.data(), quote, text.size());
    if (first_quote == nullptr) {
      line.resize(line.size() + 2);
      out = line.data() + at;
      *out++ = quote;
      std::memcpy(out, text.data(), text.size());
      out[text.size()] = quote;
      at += text.size() + 2;
      continue;
    }
    const std::size_t quotes = count_byte(text.data(), text.size(), quote);
    line.resize(line.size() + quotes + 2);
    out = line.data() + at;
    *out++ = quote;
    for (const char c : text) {
      *out++ = c;
      if (c == quote) {
        *out++ = quote;
      }
    }
    *out++ = quote;
    at = static_cast<std::size_t>(out - line.data());
  }
  line[at] = '\n';
}

namespace {

// How many quotes `text` holds when it stands at `at` between two quotes
// with each of its quotes doubled; 0 when it does not (or holds none).
std::size_t doubled_in_input(const char* at, const char* input_end, std::string_view text,
                             char quote) noexcept {
  const std::size_t quotes = count_byte(text.data(), text.size(), quote);
  const auto left = static_cast<std::size_t>(input_end - at);
  if (quotes == 0 || left < text.size() + quotes + 2 || *at != quote ||
      at[1 + text.size() + quotes] != quote) {
    return 0;
  }
  const char* in = at + 1;
  for (const char c : text) {
    if (*in++ != c || (c == quote && *in++ != quote)) return 0;
  }
  return quotes;
}

}  // namespace

std::optional<std::string_view> verbatim_line(std::string_view input, std::size_t start,
                                              RowView row, std::uint8_t delimiter,
                                              std::uint8_t quote_char) noexcept {
  if (delimiter >= 0x80 || quote_char >= 0x80 || row.empty() || start > input.size()) {
    return std::nullopt;
  }
  const char delim = static_cast<char>(delimiter);
  const char quote = static_cast<char>(quote_char);
  const char* const begin = input.data() + start;
  const char* const input_end = input.data() + input.size();
  const char* at = begin;
  std::size_t quoted = 0;
  for (std::size_t i = 0; i < row.size(); ++i) {
    const std::string_view text = row[i].text;
    if (i != 0) {
      if (at == input_end || *at != delim) {
        return std::nullopt;
      }
      ++at;
    }
    const auto left = static_cast<std::size_t>(input_end - at);
    if (text.data() == at && text.size() <= left) {
      at += text.size();
      continue;
    }
    // Quoted in the input just as the formatter will quote it: between
    // two quotes, holding no quote, and holding what forces quoting.
    if (left >= 2 && *at == quote && text.data() == at + 1 && text.size() <= left - 2 &&
        at[1 + text.size()] == quote &&
        holds_any(text.data(), text.size(), input_end, delim, '\n', '\r')) {
      at += text.size() + 2;
      ++quoted;
      continue;
    }
    // A copy whose quotes stand doubled between two quotes, as the
    // formatter doubles them.
    if (const std::size_t doubled = doubled_in_input(at, input_end, text, quote); doubled != 0) {
      at += text.size() + doubled + 2;
      quoted += 1 + doubled;
      continue;
    }
    // Fields built elsewhere (scratch, padding, a merge) never sit here.
    return std::nullopt;
  }
  if (at != input_end && *at != '\n' && *at != '\r') {
    return std::nullopt;
  }
  // The only quotes allowed are those around the quoted fields: none in an
  // unquoted field, none inside a quoted one.
  const auto size = static_cast<std::size_t>(at - begin);
  if (count_byte(begin, size, quote) != 2 * quoted) {
    return std::nullopt;
  }
  return std::string_view(begin, size);
}

void append_quarantine_line(std::string& out, std::size_t line, std::string_view reason,
                            RowView raw_tokens, std::string_view separator) {
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, line);
  static_cast<void>(ec);  // 24 digits hold any 64-bit value
  out.append(digits, end);
  out += ",\"";
  append_doubling(out, reason, kDoubleQuote);
  out += "\",\"";
  bool first = true;
  for (const FieldView& token : raw_tokens) {
    if (!first) {
      // The separator is the run's delimiter, which may itself be '"'.
      append_doubling(out, separator, kDoubleQuote);
    }
    first = false;
    append_doubling(out, token.text, kDoubleQuote);
  }
  out += "\"\n";
}

}  // namespace vornish
