// What the tokenizer's rules changed in one row, told field by field.
//
// The tokenizer itself never says: its fast lanes do not even look at the
// bytes a rule might change. RowAuditor reads one row's bytes again, one
// byte at a time under the same rules, and reports each place where a rule
// made the fields differ from the bytes: a stray or bare quote kept as
// text, text or blanks after a closing quote, a quote never closed, bytes
// that are not UTF-8. It is only run on rows that may hold such a change
// (the tokenizer's as-read rows hold none), so it costs nothing on clean
// input. It knows nothing of what a caller does with the notes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "parser/utf8.hpp"

namespace vornish {

// In the order they are reported for one field.
enum class FieldChange : std::uint8_t {
  StrayQuote,         // a quote inside a quoted field kept as text
  BlanksDropped,      // blanks right after a closing quote dropped
  TextAfterQuote,     // text after a closing quote continued the field
  BareQuote,          // a quote inside an unquoted field read as text
  UnterminatedQuote,  // an opening quote never closed took the rest of the input
  InvalidUtf8,        // bytes that are not UTF-8 replaced by U+FFFD
};

struct FieldNote {
  std::size_t column = 0;  // 1-based, the field's position as read
  FieldChange change = FieldChange::StrayQuote;
  // Quotes kept, blanks dropped, bytes of text joined, bytes the open
  // field took, or bytes replaced.
  std::size_t amount = 0;
  // InvalidUtf8 only: how many U+FFFD the bytes became.
  std::size_t replacements = 0;
};

class RowAuditor {
 public:
  RowAuditor(std::uint8_t delimiter, std::uint8_t quote_char, bool repair_quotes,
             bool skip_initial_space) noexcept;

  // `row` is one row as the tokenizer consumed it: from its first byte
  // through its line end, or up to the end of the input for a last row
  // without one (the rules look ahead to the line end, never further).
  // The notes stay valid until the next call.
  std::span<const FieldNote> audit(std::string_view row);
  // Rows in the single-byte code page `page` (ResilientParser::set_code_page):
  // the bytes it leaves unmapped are the ones replaced.
  void set_code_page(const utf8::Fallback* page) noexcept { code_page_ = page; }
  // The fields the last audited row has, as the tokenizer counts them.
  std::size_t fields() const noexcept { return column_; }

 private:
  bool closes_field(std::string_view row, std::size_t quote_index);
  bool followed_by_field_end(std::string_view row, std::size_t quote_index) const noexcept;
  void finish_field();
  // The size of `bytes` as the text a transcoding source would hand on.
  std::size_t text_size(std::string_view bytes) const noexcept {
    return code_page_ != nullptr ? utf8::code_page_size(bytes, *code_page_) : bytes.size();
  }
  void keep(const char* from, std::size_t size) {
    if (utf8_) bytes_.append(from, size);
  }

  std::uint8_t delimiter_;
  std::uint8_t quote_char_;
  bool repair_quotes_;
  bool skip_initial_space_;
  // The bytes that end a run of plain content outside quotes (delimiter,
  // CR, LF, quote) and inside them (quote, LF).
  std::array<bool, 256> unquoted_stop_{};
  std::array<bool, 256> quoted_stop_{};

  // The field being read: its bytes as the tokenizer would buffer them,
  // kept only when the row is not well-formed UTF-8, and what has happened
  // to it.
  bool utf8_ = false;
  const utf8::Fallback* code_page_ = nullptr;
  std::size_t column_ = 0;
  std::string bytes_;
  std::size_t counts_[5] = {};
  bool changed_ = false;  // some count of the field is not zero

  // The last quote of the current line followed by a field end, as the
  // tokenizer caches it, so a line of stray quotes costs linear time.
  std::size_t cached_line_begin_ = 0;
  std::size_t cached_line_end_ = 0;
  std::size_t cached_last_closer_ = 0;
  bool cache_valid_ = false;

  std::vector<FieldNote> notes_;
};

}  // namespace vornish
