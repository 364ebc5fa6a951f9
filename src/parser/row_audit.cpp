// The tokenizer's state machine once more, byte by byte, noting each rule
// that changes a field. The order of the tests in every state is the
// tokenizer's own (resilient_parser.cpp), so that bytes shared by two roles
// (a quote that is also the delimiter, a blank delimiter) resolve alike.
#include "parser/row_audit.hpp"

#include <limits>

#include "parser/utf8.hpp"

namespace vornish {
namespace {

constexpr std::uint8_t kLf = 0x0A;
constexpr std::uint8_t kCr = 0x0D;
constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

constexpr bool is_blank(std::uint8_t c) noexcept { return c == 0x20 || c == 0x09; }
constexpr bool is_line_end(std::uint8_t c) noexcept { return c == kLf || c == kCr; }

// FieldNote kinds counted while a field is read, by index into counts_.
constexpr std::size_t kCounted = 5;
static_assert(static_cast<std::size_t>(FieldChange::InvalidUtf8) == kCounted);

enum class State : std::uint8_t {
  FieldStart,  // a new field begins
  Unquoted,    // inside a field that did not start with a quote
  Quoted,      // inside a field that started with a quote
  AfterQuote,  // the field's quote has been closed
};

}  // namespace

RowAuditor::RowAuditor(std::uint8_t delimiter, std::uint8_t quote_char, bool repair_quotes,
                       bool skip_initial_space) noexcept
    : delimiter_(delimiter),
      quote_char_(quote_char),
      repair_quotes_(repair_quotes),
      skip_initial_space_(skip_initial_space) {
  for (const std::uint8_t c : {delimiter, quote_char, kCr, kLf}) unquoted_stop_[c] = true;
  for (const std::uint8_t c : {quote_char, kLf}) quoted_stop_[c] = true;
}

bool RowAuditor::followed_by_field_end(std::string_view row,
                                       std::size_t quote_index) const noexcept {
  const auto* d = reinterpret_cast<const std::uint8_t*>(row.data());
  const std::size_t n = row.size();
  std::size_t j = quote_index + 1;
  while (j < n && is_blank(d[j])) ++j;
  return j == n || d[j] == delimiter_ || is_line_end(d[j]);
}

bool RowAuditor::closes_field(std::string_view row, std::size_t quote_index) {
  if (followed_by_field_end(row, quote_index)) return true;
  if (!cache_valid_ || quote_index < cached_line_begin_ || quote_index >= cached_line_end_) {
    const auto* d = reinterpret_cast<const std::uint8_t*>(row.data());
    const std::size_t n = row.size();
    std::size_t end = quote_index + 1;
    while (end < n && !is_line_end(d[end])) ++end;
    std::size_t last = kNone;
    for (std::size_t q = end; q > quote_index + 1;) {
      --q;
      if (d[q] == quote_char_ && followed_by_field_end(row, q)) {
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

void RowAuditor::finish_field() {
  ++column_;
  if (changed_) {
    changed_ = false;
    for (std::size_t kind = 0; kind < kCounted; ++kind) {
      if (counts_[kind] != 0) {
        notes_.push_back({column_, static_cast<FieldChange>(kind), counts_[kind], 0});
        counts_[kind] = 0;
      }
    }
  }
  if (utf8_ && code_page_ != nullptr) {
    if (const std::size_t unmapped = utf8::unmapped_in(bytes_, *code_page_); unmapped != 0) {
      notes_.push_back({column_, FieldChange::InvalidUtf8, unmapped, unmapped});
    }
  } else if (utf8_ && utf8::check(bytes_) == utf8::Check::Invalid) {
    const utf8::Damage damage = utf8::damage(bytes_);
    notes_.push_back({column_, FieldChange::InvalidUtf8, damage.bytes, damage.replacements});
  }
  bytes_.clear();
}

std::span<const FieldNote> RowAuditor::audit(std::string_view row) {
  notes_.clear();
  bytes_.clear();
  column_ = 0;
  cache_valid_ = false;
  for (std::size_t& count : counts_) count = 0;
  changed_ = false;
  // Dropping ASCII bytes (quotes, blanks) and cutting at ASCII bytes never
  // breaks a well-formed sequence, so only a row that is not well-formed
  // as a whole can have a field that is not; its fields are then judged
  // one by one, since a dropped byte can also join two halves.
  utf8_ = code_page_ != nullptr ? utf8::unmapped_in(row, *code_page_) != 0
                                : utf8::check(row) == utf8::Check::Invalid;

  const auto* d = reinterpret_cast<const std::uint8_t*>(row.data());
  const char* text = row.data();
  const std::size_t n = row.size();
  const auto count = [this](FieldChange change, std::size_t amount = 1) {
    counts_[static_cast<std::size_t>(change)] += amount;
    changed_ = true;
  };
  State state = State::FieldStart;
  std::size_t opened_at = 0;  // the opening quote of the current quoted field
  std::size_t p = 0;
  for (;;) {
    if (p == n) {
      // The end of the input: a field still open took all of it.
      if (state == State::Quoted) {
        count(FieldChange::UnterminatedQuote, text_size(row.substr(opened_at)));
      }
      if (state != State::FieldStart || column_ > 0) {
        finish_field();
      }
      return notes_;
    }
    const std::uint8_t c = d[p];
    switch (state) {
      case State::FieldStart:
        if (c == quote_char_) {
          opened_at = p;
          state = State::Quoted;
        } else if (skip_initial_space_ && column_ > 0 && is_blank(c)) {
          // A dialect's own rule, not a repair.
        } else if (is_line_end(c) && c != delimiter_) {
          finish_field();
          return notes_;
        } else if (c == delimiter_) {
          finish_field();
        } else {
          keep(text + p, 1);
          state = State::Unquoted;
        }
        ++p;
        break;
      case State::Unquoted: {
        std::size_t q = p;
        while (q < n && !unquoted_stop_[d[q]]) ++q;
        keep(text + p, q - p);
        p = q;
        if (p == n) break;
        const std::uint8_t stop = d[p];
        if (stop == delimiter_) {
          finish_field();
          state = State::FieldStart;
        } else if (is_line_end(stop)) {
          finish_field();
          return notes_;
        } else {
          count(FieldChange::BareQuote);
          keep(text + p, 1);
        }
        ++p;
        break;
      }
      case State::Quoted: {
        std::size_t q = p;
        while (q < n && !quoted_stop_[d[q]]) ++q;
        keep(text + p, q - p);
        p = q;
        if (p == n) break;
        if (d[p] != quote_char_) {  // LF inside the quotes: content
          keep(text + p, 1);
          ++p;
        } else if (p + 1 == n) {
          state = State::AfterQuote;
          ++p;
        } else if (d[p + 1] == quote_char_) {
          keep(text + p, 1);  // a doubled quote is no change
          p += 2;
        } else if (!repair_quotes_ || closes_field(row, p)) {
          state = State::AfterQuote;
          ++p;
        } else {
          count(FieldChange::StrayQuote);
          keep(text + p, 1);
          ++p;
        }
        break;
      }
      case State::AfterQuote:
        if (c == delimiter_) {
          finish_field();
          state = State::FieldStart;
          ++p;
        } else if (is_blank(c)) {
          count(FieldChange::BlanksDropped);
          ++p;
        } else if (is_line_end(c)) {
          finish_field();
          return notes_;
        } else {
          // The rest of the field, up to its end, joins it.
          std::size_t end = p;
          while (end < n && d[end] != delimiter_ && !is_line_end(d[end])) ++end;
          count(FieldChange::TextAfterQuote, text_size(row.substr(p, end - p)));
          keep(text + p, 1);
          state = State::Unquoted;
          ++p;
        }
        break;
    }
  }
}

}  // namespace vornish
