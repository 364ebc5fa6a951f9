// The tolerant row tokenizer.
//
// One forward pass; a field that is a contiguous run of the input is never
// copied, and only the closing-quote look-ahead reads ahead of `pos`. That
// look-ahead is answered from a per-line cache, so no input costs more than
// linear time.
#include "parser/resilient_parser.hpp"

#include "parser/utf8.hpp"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#define VORNISH_X86_DISPATCH 1
#include <immintrin.h>
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

using Block = ResilientParser::Block;
using Classifier = ResilientParser::Classifier;

// The portable stage one: a byte at a time.
Block classify_scalar(const std::uint8_t* p, std::uint8_t delimiter,
                      std::uint8_t quote_char) noexcept {
  Block b{0, 0, 0, 0};
  for (unsigned i = 0; i < 64; ++i) {
    const std::uint8_t c = p[i];
    const std::uint64_t bit = std::uint64_t{1} << i;
    if (c == delimiter || c == kCr || c == kLf) b.unquoted_stop |= bit;
    if (c == quote_char || c == kLf) b.quoted_stop |= bit;
    if (c >= 0x80) b.high |= bit;
    if (c == kCr || c == kLf) b.line_end |= bit;
  }
  return b;
}

#if defined(VORNISH_X86_DISPATCH)

// SSE2 is part of x86-64 itself: no target attribute and no check needed.
std::uint64_t eq_mask_sse2(const __m128i (&v)[4], __m128i x) noexcept {
  std::uint64_t m = 0;
  for (unsigned k = 0; k < 4; ++k) {
    m |= static_cast<std::uint64_t>(static_cast<std::uint16_t>(
             _mm_movemask_epi8(_mm_cmpeq_epi8(v[k], x))))
         << (16 * k);
  }
  return m;
}

Block classify_sse2(const std::uint8_t* p, std::uint8_t delimiter,
                    std::uint8_t quote_char) noexcept {
  __m128i v[4];
  std::uint64_t high = 0;
  for (unsigned k = 0; k < 4; ++k) {
    v[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    high |= static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(v[k])))
            << (16 * k);
  }
  const std::uint64_t lf = eq_mask_sse2(v, _mm_set1_epi8(static_cast<char>(kLf)));
  const std::uint64_t cr = eq_mask_sse2(v, _mm_set1_epi8(static_cast<char>(kCr)));
  const std::uint64_t d = eq_mask_sse2(v, _mm_set1_epi8(static_cast<char>(delimiter)));
  const std::uint64_t q = eq_mask_sse2(v, _mm_set1_epi8(static_cast<char>(quote_char)));
  return Block{d | cr | lf, q | lf, high, cr | lf};
}

__attribute__((target("avx2"))) std::uint64_t eq_mask_avx2(__m256i lo, __m256i hi,
                                                            __m256i x) noexcept {
  const auto a = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, x)));
  const auto b = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, x)));
  return static_cast<std::uint64_t>(a) | (static_cast<std::uint64_t>(b) << 32);
}

__attribute__((target("avx2"))) Block classify_avx2(const std::uint8_t* p,
                                                    std::uint8_t delimiter,
                                                    std::uint8_t quote_char) noexcept {
  const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
  const auto high_lo = static_cast<std::uint32_t>(_mm256_movemask_epi8(lo));
  const auto high_hi = static_cast<std::uint32_t>(_mm256_movemask_epi8(hi));
  const std::uint64_t lf = eq_mask_avx2(lo, hi, _mm256_set1_epi8(static_cast<char>(kLf)));
  const std::uint64_t cr = eq_mask_avx2(lo, hi, _mm256_set1_epi8(static_cast<char>(kCr)));
  const std::uint64_t d = eq_mask_avx2(lo, hi, _mm256_set1_epi8(static_cast<char>(delimiter)));
  const std::uint64_t q = eq_mask_avx2(lo, hi, _mm256_set1_epi8(static_cast<char>(quote_char)));
  return Block{d | cr | lf, q | lf,
               static_cast<std::uint64_t>(high_lo) | (static_cast<std::uint64_t>(high_hi) << 32),
               cr | lf};
}

__attribute__((target("avx512bw"))) Block classify_avx512(const std::uint8_t* p,
                                                          std::uint8_t delimiter,
                                                          std::uint8_t quote_char) noexcept {
  const __m512i v = _mm512_loadu_si512(p);
  const std::uint64_t lf = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(static_cast<char>(kLf)));
  const std::uint64_t cr = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(static_cast<char>(kCr)));
  const std::uint64_t d =
      _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(static_cast<char>(delimiter)));
  const std::uint64_t q =
      _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(static_cast<char>(quote_char)));
  return Block{d | cr | lf, q | lf, _mm512_movepi8_mask(v), cr | lf};
}

#endif

Classifier classifier_for(SimdLevel level) noexcept {
  switch (level) {
#if defined(VORNISH_X86_DISPATCH)
    case SimdLevel::Avx512:
      return classify_avx512;
    case SimdLevel::Avx2:
      return classify_avx2;
    case SimdLevel::Sse2:
      return classify_sse2;
#endif
    default:
      return classify_scalar;
  }
}

// Stage two's fast lane: plain unquoted ASCII fields one after another
// inside one classified block, each a single mask lookup to its stop byte.
// It makes no calls, so its loop keeps everything in registers; whatever
// it does not handle (a field that runs past the block or holds a byte of
// 0x80 and above, a full field list) it leaves to the general rules.
//
// A quoted field takes the lane too when it is the plainest kind: its
// closing quote is the next quote, in the same block, with no LF before it,
// and a delimiter or a line end right after it. Such a quote closes the
// field by the first test of the closing-quote rules, whatever the repair
// setting, so the rest of those rules is never needed.
struct Lane {
  const std::uint8_t* d;
  std::size_t n;
  std::size_t base;
  std::uint64_t stops;         // the block's unquoted stops
  std::uint64_t quoted_stops;  // the block's quoted stops
  std::uint64_t highs;         // the block's bytes of 0x80 and above
  // What sends an unquoted field to the general rules: its high bytes,
  // and where rows are judged as read, its quotes, so that the lane
  // never has to note them.
  std::uint64_t unquoted_exits;
  const bool* ends_run;
  std::uint8_t delimiter;
  std::uint8_t quote_char;
  // Off for the odd dialects whose quote is also the delimiter or a line
  // end byte, and for a blank delimiter under quote repair.
  bool quoted;
};

enum class LaneExit : std::uint8_t {
  LineEnd,    // the last field ended at the line end at `at`
  NextField,  // a field that needs the full rules starts at `at`
  General,    // the field at `at` is left to the general rules
};

struct LaneStop {
  LaneExit why;
  std::size_t at;
  std::size_t count;
  // Some quoted field taken holds no delimiter, CR or LF, so it would not
  // be written between quotes. Only tracked where rows are judged as read.
  bool unlike_output;
};

template <bool kMaterialize, bool kAsRead>
VORNISH_ALWAYS_INLINE inline LaneStop run_lane(const Lane& lane, std::size_t p,
                                               FieldView* slots, std::size_t count,
                                               std::size_t room) noexcept {
  const std::uint8_t* const d = lane.d;
  const std::size_t base = lane.base;
  std::uint64_t unlike = 0;
  for (;;) {
    const std::size_t offset = p - base;
    if (offset >= 64) return {LaneExit::General, p, count, unlike != 0};
    const std::uint64_t stops = lane.stops >> offset;
    if (stops == 0) return {LaneExit::General, p, count, unlike != 0};
    // The stop byte's own bit may be taken along: it is never high.
    if constexpr (kMaterialize) {
      if (((lane.unquoted_exits >> offset) & (stops ^ (stops - 1))) != 0 || count == room) {
        return {LaneExit::General, p, count, unlike != 0};
      }
    }
    const std::size_t q = p + static_cast<unsigned>(__builtin_ctzll(stops));
    if constexpr (kMaterialize) {
      slots[count] = FieldView{
          std::string_view(reinterpret_cast<const char*>(d) + p, q - p), true};
    }
    ++count;
    if (d[q] != lane.delimiter) return {LaneExit::LineEnd, q, count, unlike != 0};
    p = q + 1;
    if (p == lane.n) return {LaneExit::NextField, p, count, unlike != 0};
    if (!lane.ends_run[d[p]]) continue;
    if (d[p] != lane.quote_char || !lane.quoted) {
      return {LaneExit::NextField, p, count, unlike != 0};
    }
    // A quoted field: its content starts after the quote.
    const std::size_t begin = p + 1;
    const std::size_t content = begin - base;
    if (content >= 64) return {LaneExit::NextField, p, count, unlike != 0};
    const std::uint64_t quoted_stops = lane.quoted_stops >> content;
    if (quoted_stops == 0) return {LaneExit::NextField, p, count, unlike != 0};
    const std::size_t close = begin + static_cast<unsigned>(__builtin_ctzll(quoted_stops));
    if (d[close] != lane.quote_char || close + 1 == lane.n) {
      return {LaneExit::NextField, p, count, unlike != 0};
    }
    const std::uint8_t after = d[close + 1];
    const bool at_delimiter = after == lane.delimiter;
    if (!at_delimiter && after != kLf && after != kCr) {
      return {LaneExit::NextField, p, count, unlike != 0};
    }
    if constexpr (kMaterialize) {
      if (((lane.highs >> content) & (quoted_stops ^ (quoted_stops - 1))) != 0 ||
          count == room) {
        return {LaneExit::NextField, p, count, unlike != 0};
      }
      slots[count] = FieldView{
          std::string_view(reinterpret_cast<const char*>(d) + begin, close - begin), true};
    }
    if constexpr (kAsRead) {
      // Inside, the unquoted stops can only be delimiters and CRs.
      unlike |= ((lane.stops >> content) & ((quoted_stops & (0 - quoted_stops)) - 1)) == 0;
    }
    ++count;
    if (!at_delimiter) return {LaneExit::LineEnd, close + 1, count, unlike != 0};
    p = close + 2;
    if (p == lane.n || lane.ends_run[d[p]]) {
      return {LaneExit::NextField, p, count, unlike != 0};
    }
  }
}

}  // namespace

Row to_row(RowView view) {
  Row row;
  row.reserve(view.size());
  for (const FieldView& f : view) row.emplace_back(f.text);
  return row;
}

ResilientParser::ResilientParser(std::string_view data, std::uint8_t delimiter,
                                 std::uint8_t quote_char, bool repair_quotes,
                                 bool skip_initial_space, SimdLevel simd) noexcept
    : data_(data),
      repair_quotes_(repair_quotes),
      skip_initial_space_(skip_initial_space),
      delimiter_(delimiter),
      quote_char_(quote_char),
      simd_(resolve_simd_level(simd)),
      classify_(classifier_for(simd_)),
      validate_(utf8::validator_for(simd_)) {
  if (data.size() >= 3 && data.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
  ends_run_.fill(false);
  ends_run_[quote_char] = true;
  for (const std::uint8_t c : {kCr, kLf}) {
    if (c != delimiter) ends_run_[c] = true;
  }
  if (skip_initial_space) {
    ends_run_[0x20] = true;
    ends_run_[0x09] = true;
  }
  // A blank delimiter right after a quote is skipped as a blank by the
  // closing-quote test, so there a quote before the delimiter may be stray.
  lane_quotes_ = quote_char != delimiter && !is_line_end(quote_char) &&
                 !(repair_quotes && is_blank(delimiter));
  as_read_possible_ = judges_as_read(delimiter, quote_char);
  plain_rows_ = quote_char != delimiter && !is_line_end(quote_char) && !is_line_end(delimiter) &&
                !skip_initial_space && !(repair_quotes && is_blank(delimiter));
}

// The last block of the input is classified from a copy padded with zeros,
// and the bits past the end are cleared, whatever the padding matched.
ResilientParser::Block ResilientParser::block_at(std::size_t base) const noexcept {
  const auto* d = reinterpret_cast<const std::uint8_t*>(data_.data());
  const std::size_t left = data_.size() - base;
  if (left >= 64) {
    return classify_(d + base, delimiter_, quote_char_);
  }
  std::uint8_t tail[64] = {};
  std::memcpy(tail, d + base, left);
  Block block = classify_(tail, delimiter_, quote_char_);
  const std::uint64_t valid = (std::uint64_t{1} << left) - 1;
  block.unquoted_stop &= valid;
  block.quoted_stop &= valid;
  block.high &= valid;
  block.line_end &= valid;
  return block;
}

bool ResilientParser::judges_as_read(std::uint8_t delimiter, std::uint8_t quote_char) noexcept {
  return quote_char != delimiter && quote_char < 0x80 && delimiter < 0x80 &&
         !is_line_end(quote_char) && !is_line_end(delimiter);
}

void ResilientParser::seek(std::size_t pos) noexcept { pos_ = pos; }

void ResilientParser::set_code_page(const utf8::Fallback* page) noexcept {
  code_page_ = page;
  if (page != nullptr && pos_ == 3 && line_ == 1 && data_.starts_with("\xEF\xBB\xBF")) pos_ = 0;
}

void ResilientParser::grow_fields() {
  fields_.resize(std::max<std::size_t>(16, 2 * fields_.size()));
}

inline RowView ResilientParser::finished_row() noexcept {
  // Scratch may have moved while the row grew; only now are its views final.
  for (const ScratchField& f : scratch_fields_) {
    fields_[f.index].text = std::string_view(scratch_.data() + f.begin, f.size);
  }
  return RowView(fields_.data(), field_count_);
}

std::optional<RowView> ResilientParser::next_row() {
  if (!parse_row<true, false>()) return std::nullopt;
  return finished_row();
}

std::optional<RowView> ResilientParser::next_row_as_read() {
  // The rules' fast lane already reads plain rows about as fast as the
  // masks cut them, but judging them as read costs it a few steps a field
  // that the masks spare. A delimiter or quote outside ASCII would count
  // among a field's high bytes there, so such dialects keep to the rules.
  if (pos_ < data_.size() && delimiter_ < 0x80 && quote_char_ < 0x80 && try_plain()) {
    if (plain_row<PlainMode::FieldsAsRead>(0) == Plain::Taken) {
      plain_hit();
      return RowView(fields_.data(), field_count_);
    }
    plain_miss();
  }
  if (!parse_row<true, true>()) return std::nullopt;
  return finished_row();
}


std::optional<std::size_t> ResilientParser::next_row_verbatim(std::size_t width) {
  if (pos_ >= data_.size() || !try_plain()) return std::nullopt;
  switch (plain_row<PlainMode::Verbatim>(width)) {
    case Plain::Taken:
      plain_hit();
      return field_count_;
    case Plain::Declined:
      return std::nullopt;
    case Plain::Odd:
      break;
  }
  plain_miss();
  return std::nullopt;
}

std::optional<std::size_t> ResilientParser::skip_row() {
  if (!parse_row<false, false>()) return std::nullopt;
  return field_count_;
}

bool ResilientParser::decode_plain_fields(std::size_t count) {
  std::size_t room = 32;
  for (std::size_t i = 0; i < count; ++i) {
    if (!fields_[i].ascii) room += 3 * fields_[i].text.size();
  }
  if (room > decoded_room_) {
    decoded_room_ = std::max(room, 2 * decoded_room_);
    decoded_ = std::make_unique_for_overwrite<char[]>(decoded_room_);
  }
  char* at = decoded_.get();
  std::size_t unmapped = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (fields_[i].ascii) continue;
    char* const begin = at;
    at = utf8::write_code_page(at, fields_[i].text, *code_page_, unmapped);
    fields_[i].text = std::string_view(begin, static_cast<std::size_t>(at - begin));
  }
  return unmapped == 0;
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

namespace {

// Bit i: whether an odd number of the bits 0..i of x are set. Over the quote
// bits of a block that is "inside quotes", counting an opening quote as
// inside and a closing one as outside.
constexpr std::uint64_t prefix_xor(std::uint64_t x) noexcept {
  x ^= x << 1;
  x ^= x << 2;
  x ^= x << 4;
  x ^= x << 8;
  x ^= x << 16;
  x ^= x << 32;
  return x;
}

}  // namespace

// A row read by toggling at every quote: fields end at the delimiters and
// the row at the first line end outside quotes. That is what the rules give
// as long as every quote outside quotes starts a field and every quote
// inside them is followed by a delimiter, a line end or the end of the
// data: such a quote closes the field under the first test of the
// closing-quote rules, so it closes it with or without repair, and no quote
// is stray or followed by text or blanks. A quote inside quotes followed by
// another one is the one exception: toggling out and back in at once, the
// pair stays inside the field, as the rules read a doubled quote (but for
// FieldsAsRead, whose fields cannot hold its undoubled text). Such a row is
// counted from the block masks alone, a few steps a block whatever its
// fields. A row that breaks this or runs into the end of the data inside
// quotes is left untouched (false) for the rules to read; the break is seen
// in the block where it happens, so giving up costs at most the row and one
// block more.
//
// Verbatim: the row is taken only when it is also as_read() (every quoted
// field holds a delimiter, CR, LF or doubled quote, and the row is valid
// UTF-8) and, when `width` is not 0, exactly that many fields wide; a plain
// row that is not what was asked for is Declined rather than Odd, since it
// says nothing about the next rows.
//
// FieldsAsRead: the row's fields are the runs between its structural bits,
// less the quotes of a quoted one, and the row is judged as the rules
// judge it. They are views of the input, as the rules make them of such a
// row; a row with bytes that are not UTF-8, or with high bytes under a code
// page, is left to the rules, which decode them.
template <ResilientParser::PlainMode kMode>
VORNISH_ALWAYS_INLINE inline ResilientParser::Plain ResilientParser::plain_row_body(
    std::size_t width) {
  constexpr bool kJudge = kMode == PlainMode::Verbatim;
  constexpr bool kFields = kMode == PlainMode::FieldsAsRead;
  constexpr bool kPairs = !kFields;
  const auto* d = reinterpret_cast<const std::uint8_t*>(data_.data());
  const std::size_t n = data_.size();
  if (kJudge && !as_read_possible_) return Plain::Odd;
  // Whether the quoted fields' contents are judged as a writer would.
  const bool judge_quoted = kJudge || (kFields && as_read_possible_);
  const std::size_t row_begin = pos_;
  std::size_t base = row_begin & ~std::size_t{63};
  // The masks are read one word at a time: copied whole, the block comes
  // back through memory in two vector loads that wait for the classifier's
  // word-sized stores to retire.
  std::uint64_t unquoted_stop = 0;
  std::uint64_t quoted_stop = 0;
  std::uint64_t high = 0;
  std::uint64_t line_end = 0;
  const auto take = [&](const Block& b) VORNISH_ALWAYS_INLINE {
    unquoted_stop = b.unquoted_stop;
    quoted_stop = b.quoted_stop;
    high = b.high;
    line_end = b.line_end;
  };
  if (base == block_base_) {
    take(block_);
  } else {
    const Block fresh = block_at(base);
    take(fresh);
  }
  std::size_t count = 0;
  std::size_t lines = 0;
  std::uint64_t any_high = 0;
  // Some quoted field holds no delimiter, CR or LF.
  bool unlike = false;
  // The field being cut: where it starts, and whether the blocks before
  // this one held high bytes of it. The field list and the bytes are kept
  // in locals: stores into the list could otherwise alias the members.
  std::size_t field_begin = row_begin;
  bool field_high = false;
  FieldView* slots = fields_.data();
  std::size_t room = fields_.size();
  const char* const text = data_.data();
  const std::uint8_t quote_char = quote_char_;

  // Carried from block to block: whether the next one starts inside quotes,
  // whether its first byte starts a field, whether this one ended on a
  // closing quote (whose follower is the next one's first byte), and
  // whether the quoted field still open has held a delimiter, CR or LF.
  std::uint64_t inside = 0;
  std::uint64_t starts_field = std::uint64_t{1} << (row_begin - base);
  bool closer_pending = false;
  std::uint64_t open_marked = 0;

  for (;;) {
    const auto first = static_cast<unsigned>(base < row_begin ? row_begin - base : 0);
    const std::uint64_t live = ~std::uint64_t{0} << first;
    const std::uint64_t stops = unquoted_stop & live;
    const std::uint64_t line_ends = line_end & live;
    const std::uint64_t quotes = quoted_stop & live & ~line_ends;
    const std::uint64_t in_quotes = prefix_xor(quotes) ^ inside;
    const std::uint64_t structural = stops & ~in_quotes;
    // Whether the data ends in this block; end_bit is one past its last
    // byte while that is still inside the block.
    const bool last_block = n - base <= 64;
    const std::uint64_t end_bit = n - base < 64 ? std::uint64_t{1} << (n - base) : 0;

    // The part of the block that is this row's: up to its line end, if here.
    const std::uint64_t row_ends = structural & line_ends;
    const std::uint64_t span = row_ends != 0 ? (row_ends ^ (row_ends - 1)) & live : live;
    const std::uint64_t q = quotes & span;
    const std::uint64_t openers = q & in_quotes;
    const std::uint64_t closers = q & ~in_quotes;
    // A quote that closes a field right before one that opens it again is
    // a doubled quote, which the rules read as one quote of the field's
    // text. Fields cut here are views of the input and cannot hold it; a
    // pair split between two blocks is left to the rules.
    const std::uint64_t doubled = kPairs ? closers & (openers >> 1) : 0;
    const std::uint64_t lone = closers & ~doubled;
    if ((openers & ~((structural << 1) | starts_field | (doubled << 1))) != 0 ||
        ((lone << 1) & ~(structural | end_bit)) != 0 ||
        (closer_pending && (structural & 1) == 0)) {
      return Plain::Odd;
    }
    if (row_ends == 0 && last_block && ((in_quotes >> (n - 1 - base)) & 1) != 0) {
      return Plain::Odd;  // a quote never closed: the rules give it the rest of the data
    }
    const std::uint64_t inner = in_quotes & span;
    lines += static_cast<std::size_t>(
        __builtin_popcountll(quoted_stop & line_ends & inner));
    if constexpr (kJudge || kFields) any_high |= high & span;
    if constexpr (!kFields) {
      count += static_cast<std::size_t>(__builtin_popcountll(structural & span));
    }
    if (judge_quoted) {
      // Each run of quoted bytes must hold a delimiter, CR or LF. Adding
      // those bits to the runs carries out of a run exactly when it holds
      // one, onto its closing quote; a run carried in from the last block
      // that already held one counts as holding one at bit 0.
      // A doubled quote makes a writer quote its field too; its first
      // quote joins the runs on either side into the field's one run.
      const std::uint64_t held = inner | doubled;
      const std::uint64_t marks = (stops & inner) | doubled | (open_marked & inside & 1);
      unlike = unlike || (lone & ~(held + marks)) != 0;
      if (row_ends == 0 && (in_quotes >> 63) != 0) {
        // The last run goes on into the next block.
        const std::uint64_t outside = ~held;
        const unsigned run = outside == 0 ? 0 : 64 - static_cast<unsigned>(__builtin_clzll(outside));
        open_marked = (run == 0 ? marks : marks >> run) != 0;
      }
    }
    if constexpr (kFields) {
      std::uint64_t ends = structural & span;
      if (ends != 0) {
        // A block ends at most 64 fields, so room is made once a block.
        while (room - count < 64) {
          grow_fields();
          slots = fields_.data();
          room = fields_.size();
        }
        // The high bytes not yet given to a field, each field taking those
        // up to its end; one carried in from the blocks before belongs to
        // the first field, which then started before this block.
        std::uint64_t rest = (high & span) | static_cast<std::uint64_t>(field_high);
        FieldView* out = slots + count;
        std::size_t begin = field_begin;
        do {
          const std::uint64_t upto = ends ^ (ends - 1);
          const std::size_t end = base + static_cast<unsigned>(__builtin_ctzll(ends));
          // A field that opens with a quote is quoted, and closed by its
          // last byte. A structural byte is never the quote, so an empty
          // field reads its own end here.
          const std::size_t quoted = d[begin] == quote_char ? 1 : 0;
          *out++ = FieldView{std::string_view(text + begin + quoted, end - begin - 2 * quoted),
                             (rest & upto) == 0};
          rest &= ~upto;
          begin = end + 1;
          ends &= ends - 1;
        } while (ends != 0);
        count = static_cast<std::size_t>(out - slots);
        field_begin = begin;
        field_high = rest != 0;
      } else {
        field_high = field_high || (high & span) != 0;
      }
    }
    if (row_ends != 0 || last_block) {
      std::size_t end = n;
      std::size_t next = n;
      const bool at_line_end = row_ends != 0;
      if (at_line_end) {
        end = base + static_cast<unsigned>(__builtin_ctzll(row_ends));
        next = end + 1;
        if (d[end] == kCr && next < n && d[next] == kLf) ++next;  // CR LF is one line end
        ++lines;
      } else {
        // The last field ends with the data.
        if constexpr (kFields) {
          if (count == room) grow_fields();
          const std::size_t quoted = field_begin != n && d[field_begin] == quote_char ? 1 : 0;
          fields_[count] = FieldView{
              std::string_view(text + field_begin + quoted, n - field_begin - 2 * quoted),
              !field_high};
        }
        ++count;
      }
      if constexpr (kJudge) {
        if (width != 0 && count != width) return Plain::Declined;
        // Under a code page only an unmapped byte keeps a row from reading
        // as it stands.
        if (any_high != 0 && (code_page_ != nullptr
                                  ? utf8::unmapped_in(data_.substr(row_begin, end - row_begin), *code_page_) != 0
                                  : !validate_(data_.data() + row_begin, end - row_begin))) {
          return Plain::Odd;
        }
        if (unlike) return Plain::Declined;
        row_end_ = end;
        as_read_ = true;
      } else if constexpr (kFields) {
        (void)width;
        // The fields are bytes of the input only where those are UTF-8 as
        // they stand; the row as a whole is exactly when each field is,
        // since the bytes between fields are ASCII. Under a code page the
        // fields with high bytes are decoded, as the rules decode them.
        if (any_high != 0 &&
            (code_page_ != nullptr ? !decode_plain_fields(count)
                                   : !validate_(data_.data() + row_begin, end - row_begin))) {
          return Plain::Odd;
        }
        as_read_ = as_read_possible_ && !unlike;
        changed_ = !as_read_possible_;
        row_end_ = end;
      } else {
        (void)width;
      }
      pos_ = next;
      line_ += lines;
      ended_at_line_end_ = at_line_end;
      field_count_ = count;
      block_base_ = base;
      block_ = Block{unquoted_stop, quoted_stop, high, line_end};
      return Plain::Taken;
    }
    inside = (in_quotes >> 63) != 0 ? ~std::uint64_t{0} : 0;
    starts_field = structural >> 63;
    closer_pending = (lone >> 63) != 0;
    base += 64;
    const Block fresh = block_at(base);
    take(fresh);
  }
}

#if defined(VORNISH_X86_DISPATCH)
// The same code where the processor counts bits in one instruction; without
// it a count is a library call.
template <ResilientParser::PlainMode kMode>
__attribute__((target("popcnt"))) ResilientParser::Plain ResilientParser::plain_row_popcnt(
    std::size_t width) {
  return plain_row_body<kMode>(width);
}
#endif

template <ResilientParser::PlainMode kMode>
ResilientParser::Plain ResilientParser::plain_row(std::size_t width) {
#if defined(VORNISH_X86_DISPATCH)
  if (simd_ == SimdLevel::Avx2 || simd_ == SimdLevel::Avx512) {
    return plain_row_popcnt<kMode>(width);
  }
#endif
  return plain_row_body<kMode>(width);
}

template <bool kMaterialize, bool kAsRead>
bool ResilientParser::parse_row() {
  static_assert(kMaterialize || !kAsRead, "only materialized rows are judged as read");
  const auto* d = reinterpret_cast<const std::uint8_t*>(data_.data());
  const std::size_t n = data_.size();
  std::size_t p = pos_;
  if (p >= n) return false;
  if constexpr (!kMaterialize) {
    if (try_plain()) {
      if (plain_row<PlainMode::Count>(0) == Plain::Taken) return plain_hit();
      plain_miss();
    }
  }

  // Kept in locals while the row is read and stored on return.
  std::size_t count = 0;
  if constexpr (kMaterialize) {
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
  // Whether the row so far stands in the input as a writer would write it
  // (see as_read()), and what that needs of the field being built: where
  // it is unquoted, `marks` notes quotes in it; where it is quoted, the
  // delimiters, CRs and LFs that make a writer quote it, and `closed` its
  // closing quote.
  bool as_read = kAsRead && as_read_possible_;
  // Whether a rule changed a field of the row (see changed()).
  bool changed = false;
  std::uint64_t marks = 0;
  bool quoted_field = false;
  bool closed = false;

  const auto start_field = [&](std::size_t at) {
    seg_begin = at;
    seg_end = at;
    copied = false;
    high = 0;
    if constexpr (kAsRead) {
      marks = 0;
      quoted_field = false;
      closed = false;
    }
  };
  // The current block lives in locals while the row is read (stores into
  // the field list could otherwise alias it) and goes back to the members
  // when the call returns, for the next row.
  // Its masks are taken one word at a time, as in plain_row.
  std::size_t base = block_base_;
  std::uint64_t unquoted_stop = block_.unquoted_stop;
  std::uint64_t quoted_stop = block_.quoted_stop;
  std::uint64_t high_bits = block_.high;
  std::uint64_t line_end = block_.line_end;
  const auto save_block = [&]() VORNISH_ALWAYS_INLINE {
    block_base_ = base;
    block_ = Block{unquoted_stop, quoted_stop, high_bits, line_end};
    field_count_ = count;
    as_read_ = kAsRead && as_read;
    changed_ = !kAsRead || !as_read_possible_ || changed;
  };
  const auto push = [&](FieldView field) VORNISH_ALWAYS_INLINE {
    if (count == fields_.size()) grow_fields();
    fields_[count++] = field;
  };
  // Finds the next stop byte of a run of field content from the block
  // masks, classifying blocks as the run reaches them; notes whether the
  // run held a byte of 0x80 or above.
  const auto scan = [&](std::size_t from, bool quoted) VORNISH_ALWAYS_INLINE {
    std::size_t q = from;
    for (;;) {
      if (q - base >= 64) {
        if (q >= n) return n;
        base = q & ~std::size_t{63};
        const Block fresh = block_at(base);
        unquoted_stop = fresh.unquoted_stop;
        quoted_stop = fresh.quoted_stop;
        high_bits = fresh.high;
        line_end = fresh.line_end;
      }
      const auto shift = static_cast<unsigned>(q - base);
      const std::uint64_t stops = (quoted ? quoted_stop : unquoted_stop) >> shift;
      const std::uint64_t highs = high_bits >> shift;
      // Before a stop, the other kind's stops are quotes in an unquoted
      // run and delimiters or CRs in a quoted one: LF stops both.
      const std::uint64_t others = (quoted ? unquoted_stop : quoted_stop) >> shift;
      if (stops != 0) {
        const auto k = static_cast<unsigned>(__builtin_ctzll(stops));
        if constexpr (kMaterialize) {
          // k < 64 - shift, so the shift below stays inside the word.
          const std::uint64_t before = (std::uint64_t{1} << k) - 1;
          if ((highs & before) != 0) high = 0x80;
          if constexpr (kAsRead) marks |= others & before;
        }
        return q + k;
      }
      if constexpr (kMaterialize) {
        if (highs != 0) high = 0x80;
        if constexpr (kAsRead) marks |= others;
      }
      q = base + 64;
    }
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
  // Bytes that are not UTF-8, onto the scratch arena.
  const auto decode = [&](std::string_view bytes) {
    if (fallback_ != nullptr) {
      utf8::append_with_fallback(scratch_, bytes, *fallback_);
    } else {
      utf8::append_replacing(scratch_, bytes);
    }
  };
  const auto append_byte = [&](std::size_t at) {
    if constexpr (kMaterialize) high |= d[at];
    append(at, at + 1);
  };
  const auto finish_field = [&]() VORNISH_ALWAYS_INLINE {
    if constexpr (!kMaterialize) {
      ++count;
    } else {
      const bool ascii = high < 0x80;
      if constexpr (kAsRead) {
        // Only a doubled quote copies a quoted field that is still as
        // read; every other copy has already judged the row.
        as_read = as_read && (quoted_field ? closed && marks != 0 : !copied && marks == 0);
        // In a field that did not open with a quote, `marks` are quotes
        // read as text.
        if (!quoted_field && marks != 0) changed = true;
      }
      if (!copied) {
        const std::string_view text(data_.data() + seg_begin, seg_end - seg_begin);
        if (!ascii && code_page_ != nullptr) {
          const std::size_t begin = scratch_.size();
          // With every byte mapped the row still reads as its decoded bytes.
          if (utf8::append_code_page(scratch_, text, *code_page_) != 0) {
            if constexpr (kAsRead) {
              as_read = false;
              changed = true;
            }
          }
          scratch_fields_.push_back({count, begin, scratch_.size() - begin});
          push(FieldView{{}, false});
          return;
        }
        if (ascii || validate_(text.data(), text.size())) {
          push(FieldView{text, ascii});
          return;
        }
        if constexpr (kAsRead) {
          as_read = false;
          changed = true;
        }
        const std::size_t begin = scratch_.size();
        decode(text);
        scratch_fields_.push_back({count, begin, scratch_.size() - begin});
        push(FieldView{{}, false});
        return;
      }
      scratch_.append(data_.data() + seg_begin, seg_end - seg_begin);
      if (!ascii) {
        const std::string_view text(scratch_.data() + scratch_begin, scratch_.size() - scratch_begin);
        if (code_page_ != nullptr) {
          decode_buffer_.assign(text);
          scratch_.resize(scratch_begin);
          const std::size_t unmapped = utf8::append_code_page(scratch_, decode_buffer_, *code_page_);
          if constexpr (kAsRead) {
            if (unmapped != 0) {
              as_read = false;
              changed = true;
            }
          }
        } else if (!validate_(text.data(), text.size())) {
          decode_buffer_.assign(text);
          scratch_.resize(scratch_begin);
          decode(decode_buffer_);
          if constexpr (kAsRead) {
            as_read = false;
            changed = true;
          }
        }
      }
      scratch_fields_.push_back({count, scratch_begin, scratch_.size() - scratch_begin});
      push(FieldView{{}, ascii});
    }
  };
  // Consumes the line end at p (CR LF counts as one) and ends the row.
  const auto end_at_line_end = [&]() {
    if constexpr (kAsRead) row_end_ = p;
    if (d[p] == kCr && p + 1 < n && d[p + 1] == kLf) ++p;
    ++p;
    ++line_;
    pos_ = p;
    ended_at_line_end_ = true;
    save_block();
    return true;
  };
  const auto end_at_data_end = [&]() {
    if constexpr (kAsRead) row_end_ = n;
    save_block();
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
          if (count == 0) {
            save_block();
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
          if constexpr (kAsRead) quoted_field = true;
          state = State::Quoted;
        } else if (skip_initial_space_ && count > 0 && is_blank(c)) {
          // Tested before the delimiter, so a run of blank delimiters
          // counts as one when initial space is skipped.
          ++p;
          if constexpr (kAsRead) as_read = false;
        } else if (is_line_end(c) && c != delimiter_) {
          finish_field();
          return end_at_line_end();
        } else {
          // The common case, a run of unquoted fields (empty ones
          // included): each one is a single scan to its stop byte, without
          // going through the state switch. Leaves the run at a field that
          // needs the full rules, still in FieldStart.
          for (;;) {
            {
              const Lane lane{d,
                              n,
                              base,
                              unquoted_stop,
                              quoted_stop,
                              high_bits,
                              kAsRead ? high_bits | (quoted_stop & ~unquoted_stop)
                                      : high_bits,
                              ends_run_.data(),
                              delimiter_,
                              quote_char_,
                              lane_quotes_};
              const LaneStop stop =
                  run_lane<kMaterialize, kAsRead>(lane, p, fields_.data(), count, fields_.size());
              if constexpr (kAsRead) as_read = as_read && !stop.unlike_output;
              count = stop.count;
              p = stop.at;
              if (stop.why == LaneExit::LineEnd) return end_at_line_end();
              if (stop.why == LaneExit::NextField) break;
              start_field(p);
            }
            const std::size_t q = scan(p, false);
            seg_end = q;
            finish_field();
            if (q == n) return end_at_data_end();
            if (d[q] != delimiter_) {
              p = q;
              return end_at_line_end();
            }
            p = q + 1;
            if (p == n) break;
            const std::uint8_t next = d[p];
            if (next == quote_char_ || (is_line_end(next) && next != delimiter_) ||
                (skip_initial_space_ && is_blank(next))) {
              break;
            }
            start_field(p);
          }
        }
        break;
      }
      case State::Unquoted: {
        const std::size_t q = scan(p, false);
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
        const std::size_t q = scan(p, true);
        append(p, q);
        p = q;
        if (p == n) {
          if constexpr (kAsRead) changed = true;
          finish_field();  // never closed: the field takes the rest of the data
          return end_at_data_end();
        }
        if (d[p] == quote_char_) {
          if (p + 1 == n) {
            ++p;
            if constexpr (kAsRead) closed = true;
            finish_field();
            return end_at_data_end();
          }
          if (d[p + 1] == quote_char_) {
            append_byte(p);
            p += 2;
            // A writer quotes a field that holds a quote and doubles it:
            // the field still stands as it would be written.
            if constexpr (kAsRead) marks = 1;
          } else if (!repair_quotes_ || closes_field(p)) {
            ++p;
            if constexpr (kAsRead) closed = true;
            state = State::AfterQuote;
          } else {
            append_byte(p);  // a stray quote is text
            ++p;
            if constexpr (kAsRead) {
              as_read = false;
              changed = true;
            }
          }
        } else {  // LF inside the quotes: content, but still a new line
          ++line_;
          append_byte(p);
          ++p;
          if constexpr (kAsRead) marks = 1;
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
          if constexpr (kAsRead) {
            as_read = false;
            changed = true;
          }
        } else if (is_line_end(c)) {
          finish_field();
          return end_at_line_end();
        } else {
          append_byte(p);
          ++p;
          if constexpr (kAsRead) {
            as_read = false;
            changed = true;
          }
          state = State::Unquoted;
        }
        break;
      }
    }
  }
}

template bool ResilientParser::parse_row<true, true>();
template bool ResilientParser::parse_row<true, false>();
template bool ResilientParser::parse_row<false, false>();

}  // namespace vornish
