// The tolerant row tokenizer.
//
// One forward pass; a field that is a contiguous run of the input is never
// copied, and only the closing-quote look-ahead reads ahead of `pos`. That
// look-ahead is answered from a per-line cache, so no input costs more than
// linear time.
#include "parser/resilient_parser.hpp"

#include "parser/utf8.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The per-field steps run once per field; calls to them cost as much as
// their work.
#if defined(__GNUC__)
#define VORNISH_ALWAYS_INLINE __attribute__((always_inline))
#else
#define VORNISH_ALWAYS_INLINE
#endif

namespace vornish {
namespace {

constexpr std::uint8_t kLf = 0x0A;
constexpr std::uint8_t kCr = 0x0D;
constexpr std::size_t kNone = static_cast<std::size_t>(-1);

constexpr bool is_blank(std::uint8_t c) noexcept { return c == 0x20 || c == 0x09; }
constexpr bool is_line_end(std::uint8_t c) noexcept { return c == kLf || c == kCr; }

enum class State : std::uint8_t {
  FieldStart,  // a new field begins; nothing buffered yet
  Unquoted,    // inside a field that did not start with a quote
  Quoted,      // inside a field that started with a quote
  AfterQuote,  // the field's quote has been closed
};

}  // namespace

Row to_row(RowView view) {
  Row row;
  row.reserve(view.size());
  for (const FieldView& f : view) row.emplace_back(f.text);
  return row;
}

ResilientParser::ResilientParser(std::string_view data, std::uint8_t delimiter,
                                 std::uint8_t quote_char, bool repair_quotes,
                                 bool skip_initial_space) noexcept
    : data_(data),
      repair_quotes_(repair_quotes),
      skip_initial_space_(skip_initial_space),
      delimiter_(delimiter),
      quote_char_(quote_char) {
  if (data.size() >= 3 && data.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
  for (unsigned c = 0; c < 256; ++c) {
    const auto b = static_cast<std::uint8_t>(c);
    stop_unquoted_[c] = b == delimiter || is_line_end(b);
    stop_quoted_[c] = b == quote_char || b == kLf;
  }
}

void ResilientParser::seek(std::size_t pos) noexcept { pos_ = pos; }

std::optional<RowView> ResilientParser::next_row() {
  if (!parse_row<true>()) return std::nullopt;
  // Scratch may have moved while the row grew; only now are its views final.
  for (const ScratchField& f : scratch_fields_) {
    fields_[f.index].text = std::string_view(scratch_.data() + f.begin, f.size);
  }
  return RowView(fields_);
}

std::optional<std::size_t> ResilientParser::skip_row() {
  if (!parse_row<false>()) return std::nullopt;
  return field_count_;
}

bool ResilientParser::followed_by_field_end(std::size_t quote_index) const noexcept {
  const auto* d = reinterpret_cast<const std::uint8_t*>(data_.data());
  const std::size_t n = data_.size();
  std::size_t j = quote_index + 1;
  while (j < n && is_blank(d[j])) ++j;
  return j == n || d[j] == delimiter_ || is_line_end(d[j]);
}

// A quote inside a quoted field closes it unless a later quote on the same
// physical line could close it instead. Only the last such quote of the line
// matters, and it is the same for every earlier quote of the line, so it is
// found once per line and kept.
bool ResilientParser::closes_field(std::size_t quote_index) {
  if (followed_by_field_end(quote_index)) return true;
  if (!cache_valid_ || quote_index < cached_line_begin_ || quote_index >= cached_line_end_) {
    const auto* d = reinterpret_cast<const std::uint8_t*>(data_.data());
    const std::size_t n = data_.size();
    std::size_t end = quote_index + 1;
    while (end < n && !is_line_end(d[end])) ++end;
    std::size_t last = kNone;
    for (std::size_t q = end; q > quote_index + 1;) {
      --q;
      if (d[q] == quote_char_ && followed_by_field_end(q)) {
        last = q;
        break;
      }
    }
    cached_line_begin_ = quote_index;
    cached_line_end_ = end;
    cached_last_closer_ = last;
    cache_valid_ = true;
  }
  return cached_last_closer_ == kNone || cached_last_closer_ <= quote_index;
}

template <bool kMaterialize>
bool ResilientParser::parse_row() {
  const auto* d = reinterpret_cast<const std::uint8_t*>(data_.data());
  const std::size_t n = data_.size();
  std::size_t p = pos_;
  if (p >= n) return false;

  field_count_ = 0;
  if constexpr (kMaterialize) {
    fields_.clear();
    scratch_fields_.clear();
    scratch_.clear();
  }

  // The field being built: a run [seg_begin, seg_end) of the input not yet
  // copied, preceded (when `copied`) by bytes already gathered in scratch_
  // from `scratch_begin` on.
  std::size_t seg_begin = p;
  std::size_t seg_end = p;
  bool copied = false;
  std::size_t scratch_begin = 0;
  // OR of every byte appended to the field: ASCII fields skip validation.
  std::uint8_t high = 0;

  const auto start_field = [&](std::size_t at) {
    seg_begin = at;
    seg_end = at;
    copied = false;
    high = 0;
  };
  // Scans a run of content bytes up to the next stop byte.
  // Scans a run of content bytes up to the next stop byte (one of a, b, c).
  const auto scan = [&](std::size_t from, const bool (&stop)[256], std::uint8_t a, std::uint8_t b,
                        std::uint8_t c) {
    std::size_t q = from;
#if defined(__SSE2__)
    // Sixteen bytes a step; the scalar loop below finishes the last few.
    const __m128i va = _mm_set1_epi8(static_cast<char>(a));
    const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
    const __m128i vc = _mm_set1_epi8(static_cast<char>(c));
    while (q + 16 <= n) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + q));
      const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, va), _mm_cmpeq_epi8(v, vb)),
                                       _mm_cmpeq_epi8(v, vc));
      const auto stops = static_cast<unsigned>(_mm_movemask_epi8(hit));
      const auto highs = static_cast<unsigned>(_mm_movemask_epi8(v));
      if (stops != 0) {
        const auto k = static_cast<unsigned>(__builtin_ctz(stops));
        if constexpr (kMaterialize) {
          if ((highs & ((1u << k) - 1u)) != 0) high = 0x80;
        }
        return q + k;
      }
      if constexpr (kMaterialize) {
        if (highs != 0) high = 0x80;
      }
      q += 16;
    }
#else
    (void)a;
    (void)b;
    (void)c;
#endif
    if constexpr (kMaterialize) {
      std::uint8_t acc = 0;
      while (q < n && !stop[d[q]]) acc |= d[q++];
      high |= acc;
    } else {
      while (q < n && !stop[d[q]]) ++q;
    }
    return q;
  };
  const auto append = [&](std::size_t from, std::size_t to) VORNISH_ALWAYS_INLINE {
    if constexpr (kMaterialize) {
      if (from == seg_end) {
        seg_end = to;
        return;
      }
      if (!copied) {
        if (seg_begin == seg_end) {
          seg_begin = from;
          seg_end = to;
          return;
        }
        copied = true;
        scratch_begin = scratch_.size();
      }
      scratch_.append(data_.data() + seg_begin, seg_end - seg_begin);
      seg_begin = from;
      seg_end = to;
    } else {
      (void)from;
      (void)to;
    }
  };
  const auto append_byte = [&](std::size_t at) {
    if constexpr (kMaterialize) high |= d[at];
    append(at, at + 1);
  };
  const auto finish_field = [&]() VORNISH_ALWAYS_INLINE {
    ++field_count_;
    if constexpr (kMaterialize) {
      const bool ascii = high < 0x80;
      if (!copied) {
        const std::string_view text(data_.data() + seg_begin, seg_end - seg_begin);
        if (ascii || utf8::check(text) != utf8::Check::Invalid) {
          fields_.push_back(FieldView{text, ascii});
          return;
        }
        const std::size_t begin = scratch_.size();
        utf8::append_replacing(scratch_, text);
        scratch_fields_.push_back({fields_.size(), begin, scratch_.size() - begin});
        fields_.push_back(FieldView{{}, false});
        return;
      }
      scratch_.append(data_.data() + seg_begin, seg_end - seg_begin);
      if (!ascii) {
        const std::string_view text(scratch_.data() + scratch_begin, scratch_.size() - scratch_begin);
        if (utf8::check(text) == utf8::Check::Invalid) {
          decode_buffer_.assign(text);
          scratch_.resize(scratch_begin);
          utf8::append_replacing(scratch_, decode_buffer_);
        }
      }
      scratch_fields_.push_back({fields_.size(), scratch_begin, scratch_.size() - scratch_begin});
      fields_.push_back(FieldView{{}, ascii});
    }
  };
  // Consumes the line end at p (CR LF counts as one) and ends the row.
  const auto end_at_line_end = [&]() {
    if (d[p] == kCr && p + 1 < n && d[p + 1] == kLf) ++p;
    ++p;
    ++line_;
    pos_ = p;
    ended_at_line_end_ = true;
    return true;
  };
  const auto end_at_data_end = [&]() {
    pos_ = n;
    ended_at_line_end_ = false;
    return true;
  };

  State state = State::FieldStart;
  for (;;) {
    switch (state) {
      case State::FieldStart: {
        start_field(p);
        if (p == n) {
          if (field_count_ == 0) {
            pos_ = n;
            return false;
          }
          finish_field();
          return end_at_data_end();
        }
        const std::uint8_t c = d[p];
        if (c == quote_char_) {
          ++p;
          start_field(p);
          state = State::Quoted;
        } else if (skip_initial_space_ && field_count_ > 0 && is_blank(c)) {
          // Tested before the delimiter, so a run of blank delimiters
          // counts as one when initial space is skipped.
          ++p;
        } else if (c == delimiter_) {
          finish_field();
          ++p;
        } else if (is_line_end(c)) {
          finish_field();
          return end_at_line_end();
        } else {
          state = State::Unquoted;
        }
        break;
      }
      case State::Unquoted: {
        const std::size_t q = scan(p, stop_unquoted_, delimiter_, kCr, kLf);
        append(p, q);
        p = q;
        finish_field();
        if (p == n) return end_at_data_end();
        if (d[p] != delimiter_) return end_at_line_end();
        ++p;
        state = State::FieldStart;
        break;
      }
      case State::Quoted: {
        const std::size_t q = scan(p, stop_quoted_, quote_char_, kLf, kLf);
        append(p, q);
        p = q;
        if (p == n) {
          finish_field();  // never closed: the field takes the rest of the data
          return end_at_data_end();
        }
        if (d[p] == quote_char_) {
          if (p + 1 == n) {
            ++p;
            finish_field();
            return end_at_data_end();
          }
          if (d[p + 1] == quote_char_) {
            append_byte(p);
            p += 2;
          } else if (!repair_quotes_ || closes_field(p)) {
            ++p;
            state = State::AfterQuote;
          } else {
            append_byte(p);  // a stray quote is text
            ++p;
          }
        } else {  // LF inside the quotes: content, but still a new line
          ++line_;
          append_byte(p);
          ++p;
        }
        break;
      }
      case State::AfterQuote: {
        if (p == n) {
          finish_field();
          return end_at_data_end();
        }
        const std::uint8_t c = d[p];
        if (c == delimiter_) {
          finish_field();
          ++p;
          state = State::FieldStart;
        } else if (is_blank(c)) {
          ++p;
        } else if (is_line_end(c)) {
          finish_field();
          return end_at_line_end();
        } else {
          append_byte(p);
          ++p;
          state = State::Unquoted;
        }
        break;
      }
    }
  }
}

template bool ResilientParser::parse_row<true>();
template bool ResilientParser::parse_row<false>();

}  // namespace vornish
