// Dialect detection beyond the four-candidate delimiter guess: delimiter,
// quote character, blanks after delimiters, a preamble before the table,
// a header row and the column count, all from a sample of the file.
//
// Used only by the front package's opt-in detection; the standard guess
// (sniff.hpp, columns.hpp) is untouched by it. A pure function of the
// sample: no state, no failure path, any bytes in.
//
// Method. Every candidate dialect (delimiter x quote x skip-initial-space)
// parses the sample with the real ResilientParser, at most kMaxRows rows,
// so the cost is linear in the sample and bounded per candidate. For each:
//  1. Widths: the table width W is the most frequent width of at least 2
//     among the non-blank rows (ties to the larger).
//  2. Preamble: the table starts at the first row (of the first
//     kMaxPreamble + 1) that has width W, is not all empty, and whose next
//     rows mostly have width W too; the rows before it (titles, notes,
//     blank and separator rows) are the preamble.
//  3. Header: the first table row is a header when, in the columns whose
//     cells below have a type (number, date, time, boolean), it holds text
//     rather than that type; without typed columns, when its names do not
//     recur below and stand out from columns of recurring values or of
//     values of one length. Two header-like rows in a row mean
//     the first was a note of the preamble that happened to have width W.
//  4. Score, in the tradition of published dialect detection (data
//     consistency = row-pattern score x cell-type score):
//       pattern = share of table rows of width W x (1 - 1/W)
//       type    = share of table cells that read as a clean value: empty,
//                 a number, a date or time, a boolean, or plain text (no
//                 blanks at its ends, not wrapped in a quote character, no
//                 foreign separator byte inside)
//     The candidate with the strictly highest pattern x type wins; on equal
//     scores the earlier one in a fixed order (delimiters in the order
//     , ; TAB | space : ^ ~ #, the double quote before the apostrophe,
//     blanks kept before blanks skipped), so the result is deterministic.
// Candidates whose delimiter (or quote, or delimiter-then-blank) never
// occurs in the sample would parse exactly like a simpler candidate and
// are not tried.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace vornish {

// One table of a file, of several stacked one after another.
struct SniffedTable {
  // Rows before it, from the start of the file, as the tokenizer reads them.
  std::size_t skip_rows = 0;
  std::size_t columns = 0;
  // 0 without a header, 2 for a row of group names over the column names.
  std::size_t header_rows = 0;
  // Its rows, header included, up to the blank rows before the next table
  // or the footer.
  std::size_t rows = 0;
  // false: the table runs on past the sample, so `rows` is a lower bound.
  bool ends = true;
};

struct SniffedDialect {
  // 0 when the table has a single column: no candidate splits its rows.
  std::uint8_t delimiter = ',';
  std::uint8_t quote_char = '"';
  bool skip_initial_space = false;
  // Leading rows, as the parser of this dialect yields them, before the table.
  std::size_t skip_rows = 0;
  bool header = false;
  // The table width; 0 for a sample without rows.
  std::size_t columns = 0;
  // Lines starting with it are comments ("#", "//"); empty for none.
  std::string_view comment;
  // Rows the header spans: 0 without one, 2 with a group row above it.
  std::size_t header_rows = 0;
  // Rows at the end that are notes or totals, blank rows before them
  // included; 0 when the sample is not the whole file.
  std::size_t skip_footer = 0;
  // The tables in the sample, the first one first; empty without rows.
  std::vector<SniffedTable> tables;
};

// `complete`: the sample is the whole file. When it is only the start, its
// last row may be cut short and is ignored unless it ended at a line end.
SniffedDialect detect_dialect(std::string_view sample, bool complete = true);

}  // namespace vornish
