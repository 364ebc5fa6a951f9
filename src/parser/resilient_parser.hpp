// The tolerant row tokenizer: bytes in, rows of UTF-8 fields out.
//
// It never fails: stray and unterminated quotes, invalid UTF-8 and mixed
// line ends are all absorbed by fixed rules. It knows nothing of dialect
// guessing, repair policy or Python; everything above builds on it.
//
// A returned row is a span of views that stay valid until the next call.
// A field that is a contiguous run of valid UTF-8 in the input points
// straight into the input; only fields with doubled quotes, dropped blanks
// or invalid bytes are assembled in the parser's own scratch arena.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "parser/simd_level.hpp"
#include "parser/utf8.hpp"

namespace vornish {

struct FieldView {
  std::string_view text;  // always valid UTF-8
  bool ascii = true;      // every byte below 0x80
};

using RowView = std::span<const FieldView>;

// An owned row: used where a row must outlive the parser call that made it
// (quarantine records, tests).
using Row = std::vector<std::string>;

Row to_row(RowView view);

class ResilientParser {
 public:
  // `skip_initial_space`: blanks right after a delimiter are dropped, so a
  // quote behind them still opens a quoted field ("a, \"b, c\""). Off for
  // every caller that follows the standard rules.
  //
  // `simd`: a level this processor does not run falls back to `Best`.
  ResilientParser(std::string_view data, std::uint8_t delimiter,
                  std::uint8_t quote_char, bool repair_quotes,
                  bool skip_initial_space = false, SimdLevel simd = SimdLevel::Best) noexcept;

  // The next row, or nothing once the input is used up (and forever after).
  // Every call that returns a row consumes at least one byte.
  std::optional<RowView> next_row();

  // Like next_row, and also judges whether the row is as_read(), which
  // costs a few steps a field that next_row spares.
  std::optional<RowView> next_row_as_read();

  // The next row only when it is as_read() and `width` fields wide (any
  // width when `width` is 0), counted without being decoded: its bytes up
  // to as_read_end() are its own line. Otherwise nothing is read, and the
  // row is left for the other calls. Every row it declines the others read
  // alike, so a caller may always fall back to them.
  std::optional<std::size_t> next_row_verbatim(std::size_t width);

  // Like next_row, but only counts the fields: no decoding, no copies.
  // Used where only a row's width matters.
  std::optional<std::size_t> skip_row();

  // Restarts reading at an earlier row boundary (a value pos() had between
  // calls). The line counter is left alone: callers that re-read rows do
  // not look at it.
  void seek(std::size_t pos) noexcept;

  // Bytes of a field that are not UTF-8 are decoded with `fallback` (which
  // must outlive the parser) instead of becoming U+FFFD; none: U+FFFD.
  void set_fallback(const utf8::Fallback* fallback) noexcept { fallback_ = fallback; }

  // Reads the input as text in the single-byte code page `page` (which
  // must outlive the parser) rather than UTF-8: every byte of 0x80 and
  // above is decoded by it, so no field holding one is ever a view of the
  // input, and an unmapped byte becomes U+FFFD (a change, as a byte that
  // is not UTF-8 is). A row as_read() or taken by next_row_verbatim then
  // reads back as its bytes decoded by `page`, not as its bytes. Called
  // before the first row; three bytes that would be a UTF-8 byte-order
  // mark are then text.
  void set_code_page(const utf8::Fallback* page) noexcept;

  // Sets the line counter, for a parser that starts inside a larger input
  // (seek to a row boundary, then say which line it is on).
  void set_line(std::size_t line) noexcept { line_ = line; }

  // Whether the last row returned ended at a line end rather than at the
  // end of `data`. A caller that holds only part of a file treats a row
  // that ran into the end of its data as unfinished: the rest of the file
  // may still extend it (an open quote, a CR whose LF comes next).
  bool ended_at_line_end() const noexcept { return ended_at_line_end_; }

  // Whether every field of the last row next_row_as_read returned (never
  // one of next_row) lies in the input from where the row began, back to
  // back one delimiter apart, up to as_read_end(); each one unquoted,
  // uncopied and holding no quote, or between two quotes with nothing else
  // between them and the delimiters and line ends around it, holding a
  // delimiter, CR, LF or quote, each of its quotes doubled there (such a
  // field is a copy, its quotes undoubled; without a quote it is a view of
  // the input). Such a row reads back as its own bytes: a writer writes
  // each field just so. Only ever true where judges_as_read().
  bool as_read() const noexcept { return as_read_; }
  // Whether rows are judged at all under this delimiter and quote: they
  // must be ASCII, differ, and be neither CR nor LF.
  static bool judges_as_read(std::uint8_t delimiter, std::uint8_t quote_char) noexcept;
  // Whether a rule may have made a field of the last row next_row_as_read
  // returned differ from its bytes: a stray quote or one read as text, text
  // or blanks after a closing quote, a quote never closed, bytes that are
  // not UTF-8. False only where judges_as_read(); true after the other
  // calls. A doubled quote is no change.
  bool changed() const noexcept { return changed_; }
  // Where the fields of the last row next_row_as_read returned end: its
  // line end, or the end of the data.
  std::size_t as_read_end() const noexcept { return row_end_; }

  std::size_t pos() const noexcept { return pos_; }
  std::size_t line() const noexcept { return line_; }
  std::string_view data() const noexcept { return data_; }
  std::uint8_t delimiter() const noexcept { return delimiter_; }
  std::uint8_t quote_char() const noexcept { return quote_char_; }
  bool repair_quotes() const noexcept { return repair_quotes_; }
  bool skip_initial_space() const noexcept { return skip_initial_space_; }
  // The level in use, never `Best`.
  SimdLevel simd_level() const noexcept { return simd_; }

  // Where each 64-byte block of the input has the bytes that end a run of
  // field content, as bit masks (bit i: byte i of the block).
  struct Block {
    std::uint64_t unquoted_stop;  // delimiter, CR, LF
    std::uint64_t quoted_stop;    // quote, LF
    std::uint64_t high;           // 0x80 and above
    std::uint64_t line_end;       // CR, LF
  };
  using Classifier = Block (*)(const std::uint8_t* bytes, std::uint8_t delimiter,
                               std::uint8_t quote_char) noexcept;

 private:
  // A field whose bytes live in scratch_, located by offset until the row
  // is complete (scratch_ may reallocate while the row grows).
  struct ScratchField {
    std::size_t index;
    std::size_t begin;
    std::size_t size;
  };

  template <bool kMaterialize, bool kAsRead>
  bool parse_row();
  enum class Plain : std::uint8_t {
    Taken,     // read; the state moved past the row
    Declined,  // plain, but not what was asked for; nothing read
    Odd,       // not plain; nothing read
  };
  // What plain_row does with a plain row: count it (skip_row), take it
  // only whole (next_row_verbatim), or cut it into fields judged as read
  // (next_row_as_read).
  enum class PlainMode : std::uint8_t { Count, Verbatim, FieldsAsRead };
  template <PlainMode kMode>
  Plain plain_row(std::size_t width);
  template <PlainMode kMode>
  Plain plain_row_body(std::size_t width);
  template <PlainMode kMode>
  Plain plain_row_popcnt(std::size_t width);
  // Decodes, under the code page, the fields among the first `count` that
  // hold high bytes; false when one of those bytes is unmapped, which the
  // rules replace and record.
  bool decode_plain_fields(std::size_t count);
  // Whether to try plain_row for this row, and what its outcome teaches.
  bool try_plain() noexcept {
    if (!plain_rows_) return false;
    if (plain_wait_ == 0) return true;
    --plain_wait_;
    return false;
  }
  bool plain_hit() noexcept {
    plain_penalty_ = 0;
    return true;
  }
  void plain_miss() noexcept {
    plain_penalty_ = static_cast<std::uint8_t>(plain_penalty_ < 32 ? 2 * plain_penalty_ + 1 : 63);
    plain_wait_ = plain_penalty_;
  }
  RowView finished_row() noexcept;
  bool closes_field(std::size_t quote_index);
  bool followed_by_field_end(std::size_t quote_index) const noexcept;
  Block block_at(std::size_t base) const noexcept;
  void grow_fields();

  std::string_view data_;
  std::size_t pos_ = 0;
  std::size_t line_ = 1;
  bool ended_at_line_end_ = false;
  bool as_read_ = false;
  bool changed_ = true;
  bool as_read_possible_ = false;
  std::size_t row_end_ = 0;
  bool repair_quotes_;
  bool skip_initial_space_;
  std::uint8_t delimiter_;
  std::uint8_t quote_char_;
  // The bytes that, right after a delimiter, start a field needing more
  // than the plain unquoted rules: the quote, a line end, a skipped blank.
  std::array<bool, 256> ends_run_;
  bool lane_quotes_ = false;

  // Rows whose every quote opens a field or closes one right before a
  // delimiter or line end read the same under the rules as under plain
  // quote toggling, so plain_row counts them, and cuts them into fields,
  // from the block masks alone.
  // Where a row is not of that kind it gives up and the rules read it;
  // after a miss the next few rows go straight to the rules, so input full
  // of odd quotes pays little for the attempt.
  bool plain_rows_ = false;
  std::uint8_t plain_wait_ = 0;
  std::uint8_t plain_penalty_ = 0;

  // Closing-quote cache: for the physical line that ends at line_end_, the
  // index of its last quote that is followed by a field end (or npos). Lets
  // every quote on a line be judged in constant time, so a line full of
  // stray quotes still costs linear time.
  std::size_t cached_line_begin_ = 0;
  std::size_t cached_line_end_ = 0;
  std::size_t cached_last_closer_ = 0;
  bool cache_valid_ = false;

  // Stage one: the classified block that starts at block_base_ (a multiple
  // of 64; kNoBlock before the first). Stage two, parse_row, only stops at
  // the bits these masks set, so a field costs one step whatever its length.
  static constexpr std::size_t kNoBlock = ~std::size_t{63};
  SimdLevel simd_;
  Classifier classify_;
  // Checks fields that hold bytes of 0x80 and above; only a field it
  // rejects is decoded, with U+FFFD for what is ill-formed.
  utf8::Validator validate_;
  const utf8::Fallback* fallback_ = nullptr;
  const utf8::Fallback* code_page_ = nullptr;
  std::size_t block_base_ = kNoBlock;
  Block block_{};

  // The row is the first field_count_ entries of fields_, which is kept at
  // its full size so that adding a field is a store, not a vector call.
  std::size_t field_count_ = 0;
  std::vector<FieldView> fields_;
  std::vector<ScratchField> scratch_fields_;
  std::string scratch_;
  std::string decode_buffer_;
  // The decoded fields of a plain row read under a code page; its room is
  // never zeroed, since every byte read from it was written first.
  std::unique_ptr<char[]> decoded_;
  std::size_t decoded_room_ = 0;
};

}  // namespace vornish
