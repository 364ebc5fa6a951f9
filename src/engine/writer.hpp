// Formatting of clean-output lines and quarantine-file lines.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "parser/resilient_parser.hpp"

namespace vornish {

// A delimiter or quote byte as text: the byte taken as a code point
// U+0000..U+00FF, in UTF-8 (one or two bytes).
std::string byte_as_text(std::uint8_t byte);

// Appends one clean-output line for `row`, LF included: fields joined by the
// delimiter text, a field quoted only when it holds the quote text, the
// delimiter text, CR or LF.
class CsvLineFormatter {
 public:
  CsvLineFormatter(std::uint8_t delimiter, std::uint8_t quote_char);
  void append_row(std::string& line, RowView row) const;

  // Whether `field` must be written quoted.
  bool needs_quoting(std::string_view field) const noexcept;

 private:
  // What a byte means for the quoting test: nothing, a byte that forces
  // quoting, or the lead byte of a two-byte delimiter or quote text.
  enum class ByteRole : std::uint8_t { Plain, Special, Lead };

  void append_ascii_row(std::string& line, RowView row) const;
  // Whether one of the eight bytes of `w` forces quoting (ASCII specials).
  bool special_in_word(std::uint64_t w) const noexcept;

  std::string separator_;
  std::string quote_;
  std::array<ByteRole, 256> roles_{};
  // With an ASCII delimiter and quote, eight bytes are tested at a time
  // against these bytes repeated across a word.
  bool ascii_specials_ = false;
  std::uint64_t delimiter_word_ = 0;
  std::uint64_t quote_word_ = 0;
};

// The input bytes `row` was read from, when its clean-output line is exactly
// those bytes followed by one LF; nothing when the row must go through the
// formatter. `row` is what the tokenizer returned for the row that starts at
// `start` of `input` (shaped or not). The bytes returned stop before the
// row's line end: when `input` holds an LF right after them, that LF
// completes the line in place; a CR, a CR LF or the end of the input
// becomes the LF the formatter would write.
//
// A row qualifies when its fields lie in `input` back to back, one
// delimiter byte apart, from `start` on, each either unquoted, or between
// two quotes and holding the delimiter, CR or LF, or holding quotes that
// stand doubled there; and no other quote byte lies among them. Then no
// field was padded, merged, unblanked or repaired, and the formatter would
// write each one as it stands in the input. The delimiter and quote must be
// ASCII, so that their output text is the input byte.
std::optional<std::string_view> verbatim_line(std::string_view input, std::size_t start,
                                              RowView row, std::uint8_t delimiter,
                                              std::uint8_t quote_char) noexcept;

inline constexpr std::string_view kQuarantineHeader = "line,reason,raw_content\n";

// Appends one quarantine-file line: line number, quoted reason, quoted raw
// tokens joined by `separator`, LF. Always comma and double quote.
void append_quarantine_line(std::string& out, std::size_t line, std::string_view reason,
                            RowView raw_tokens, std::string_view separator);

}  // namespace vornish
