// Row counting shared by delimiter sniffing and column inference.
//
// Widths come from skip_row, which decodes nothing. A one-field row must be
// looked at to know whether it is blank, but nearly always a single raw
// byte settles it, so the row is decoded again only when its raw bytes are
// all white space, quotes or non-ASCII.
#include "heuristics/counted_rows.hpp"

#include <cstdint>
#include <string_view>

#include "heuristics/white_space.hpp"

namespace vornish {
namespace {

// False when the raw bytes of a one-field row prove its text non-blank.
// Every ASCII byte of such a row reaches the field text except quotes, the
// blanks dropped after a closing quote and the line end; so an ASCII byte
// that is neither white space nor the quote settles it. A delimiter cannot
// stand outside a quoted field here, or the row would have two fields.
bool may_be_blank(std::string_view raw, std::uint8_t quote) noexcept {
  for (const char ch : raw) {
    const auto b = static_cast<std::uint8_t>(ch);
    const bool space = (b >= 0x09 && b <= 0x0D) || b == 0x20;
    if (b < 0x80 && !space && b != quote) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<std::size_t> next_counted_width(ResilientParser& parser) {
  for (;;) {
    const std::size_t start = parser.pos();
    const std::optional<std::size_t> width = parser.skip_row();
    if (!width) {
      return std::nullopt;
    }
    if (*width != 1) {
      return width;
    }
    const std::string_view raw = parser.data().substr(start, parser.pos() - start);
    if (!may_be_blank(raw, parser.quote_char())) {
      return width;
    }
    // Read the same row again, decoded; it ends where skip_row stopped. The
    // line counter moves twice, which nothing here looks at.
    parser.seek(start);
    const std::optional<RowView> row = parser.next_row();
    if (!row || !is_blank_row(*row)) {
      return width;
    }
  }
}

void WidthTally::add(std::size_t width) noexcept {
  for (std::size_t i = 0; i < size_; ++i) {
    if (entries_[i].width == width) {
      ++entries_[i].rows;
      return;
    }
  }
  if (size_ < kCapacity) {
    entries_[size_++] = Entry{width, 1};
  }
}

WidthTally::Entry WidthTally::mode(std::size_t min_width) const noexcept {
  Entry best;
  for (std::size_t i = 0; i < size_; ++i) {
    const Entry& e = entries_[i];
    if (e.width < min_width) {
      continue;
    }
    if (e.rows > best.rows || (e.rows == best.rows && e.width > best.width)) {
      best = e;
    }
  }
  return best;
}

}  // namespace vornish
