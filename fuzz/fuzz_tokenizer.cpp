// Fuzz target for the row tokenizer: any bytes under any delimiter, quote
// byte and quote-repair setting.
//
// Checked on every input: each row consumes at least one byte; the position
// and the line counter never go back; every field is well-formed UTF-8 and
// its ASCII flag is honest; once the tokenizer says "no more rows" it keeps
// saying so, with the position at the end. Small inputs are also compared,
// row by row, with the naive oracle tokenizer (fields, position, line), and
// with the field-counting and re-reading entry points that the engine uses.
//
// Input layout: delimiter selector, quote selector, flags, then the payload.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_support.hpp"
#include "parser/resilient_parser.hpp"

namespace {

using vornish::ResilientParser;
using vornish::RowView;
using namespace vornish::fuzz;

// The oracle rescans a line for every quote; keep it to inputs where that
// stays cheap.
constexpr std::size_t kOracleLimit = std::size_t{1} << 16;

struct Boundary {
  std::size_t start;
  std::vector<std::string> fields;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  OptionReader options(data, size);
  const std::uint8_t delimiter = options.interesting_byte();
  const std::uint8_t quote = options.interesting_byte();
  const bool repair = (options.byte() & 1) != 0;
  const ExactBuffer input(options.rest());
  const std::string_view bytes = input.view();

  ResilientParser parser(bytes, delimiter, quote, repair);
  ResilientParser counter(bytes, delimiter, quote, repair);
  const bool use_oracle = bytes.size() <= kOracleLimit;
  OracleTokenizer oracle(bytes, delimiter, quote, repair);

  FUZZ_CHECK(parser.pos() <= 3);
  FUZZ_CHECK(parser.line() == 1);
  std::vector<Boundary> rows;
  for (;;) {
    const std::size_t pos_before = parser.pos();
    const std::size_t line_before = parser.line();
    const std::optional<RowView> row = parser.next_row();
    const std::optional<std::size_t> count = counter.skip_row();
    const std::optional<OracleRow> expected =
        use_oracle ? oracle.next() : std::optional<OracleRow>();

    FUZZ_CHECK(row.has_value() == count.has_value());
    if (use_oracle) {
      FUZZ_CHECK(row.has_value() == expected.has_value());
    }
    if (!row) {
      FUZZ_CHECK(parser.pos() == bytes.size());
      FUZZ_CHECK(parser.line() == line_before);
      break;
    }

    FUZZ_CHECK(parser.pos() > pos_before);
    FUZZ_CHECK(parser.pos() <= bytes.size());
    FUZZ_CHECK(parser.line() >= line_before);
    FUZZ_CHECK(!row->empty());
    for (const vornish::FieldView& field : *row) {
      FUZZ_CHECK(is_valid_utf8(field.text));
      FUZZ_CHECK(!field.ascii || is_ascii(field.text));
    }

    FUZZ_CHECK(*count == row->size());
    FUZZ_CHECK(counter.pos() == parser.pos());
    FUZZ_CHECK(counter.line() == parser.line());

    if (use_oracle) {
      FUZZ_CHECK(same_row(*row, expected->fields));
      FUZZ_CHECK(parser.pos() == expected->pos_after);
      FUZZ_CHECK(parser.line() == expected->line_after);
    }
    if (rows.size() < 64) {
      rows.push_back({pos_before, copy_row(*row)});
    }
  }

  // Absent for good, and nothing moves any more.
  const std::size_t end_pos = parser.pos();
  const std::size_t end_line = parser.line();
  for (int i = 0; i < 3; ++i) {
    FUZZ_CHECK(!parser.next_row().has_value());
    FUZZ_CHECK(!parser.skip_row().has_value());
    FUZZ_CHECK(parser.pos() == end_pos);
    FUZZ_CHECK(parser.line() == end_line);
  }
  if (!rows.empty()) {
    FUZZ_CHECK(end_pos == bytes.size());
  }

  // Re-reading from any earlier row boundary gives the same row again.
  for (std::size_t k = rows.size(); k-- > 0;) {
    parser.seek(rows[k].start);
    const std::optional<RowView> again = parser.next_row();
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(same_row(*again, rows[k].fields));
  }
  return 0;
}
