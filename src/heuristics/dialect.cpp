// Dialect detection: every candidate dialect parses the start of the sample
// and is scored by how consistent its rows and cells look (the method is
// described in dialect.hpp).
//
// Nothing here allocates per field: each candidate's rows are summarised
// into flat arrays (width, cleanliness, the type class and length of the
// first kMaxTypedColumns cells) that are reused from candidate to candidate.
#include "heuristics/dialect.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "heuristics/white_space.hpp"
#include "parser/resilient_parser.hpp"

namespace vornish {
namespace {

constexpr std::array<std::uint8_t, 9> kDelimiters = {',', ';', '\t', '|', ' ', ':', '^', '~', '#'};
constexpr std::array<std::uint8_t, 2> kQuotes = {'"', '\''};
// Rows parsed per candidate, preamble included.
constexpr std::size_t kMaxRows = 256;
// Longest preamble looked for.
constexpr std::size_t kMaxPreamble = 20;
// Cells per row whose type is kept for the header test.
constexpr std::size_t kMaxTypedColumns = 64;
// Rows after a candidate table start that must mostly share its width.
constexpr std::size_t kStartLookahead = 3;
// Rows below a header candidate whose cells decide the column types.
constexpr std::size_t kTypeRows = 100;

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
constexpr bool is_blank(char c) noexcept { return c == ' ' || c == '\t'; }
constexpr bool is_letter(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr char lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_folded(std::string_view text, std::string_view word) noexcept {
  if (text.size() != word.size()) {
    return false;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (lower(text[i]) != word[i]) {
      return false;
    }
  }
  return true;
}

// What a cell reads as. Empty also covers the usual spellings of a missing
// value; the typed classes are the ones a header row does not hold.
enum class Cell : std::uint8_t { Empty, Typed, Text, Junk };

// Skips a currency sign ($, EUR sign, pound sign) at `i`.
std::size_t skip_currency(std::string_view s, std::size_t i) noexcept {
  if (i < s.size() && s[i] == '$') {
    return i + 1;
  }
  if (s.substr(i, 3) == "\xE2\x82\xAC") {
    return i + 3;
  }
  if (s.substr(i, 2) == "\xC2\xA3") {
    return i + 2;
  }
  return i;
}

// 12, -3.5, 1,234.50, 1.234,5, .5, 6e-3, 12%, $4.99, 4,99 EUR-sign.
bool is_number(std::string_view s) noexcept {
  std::size_t i = 0;
  const std::size_t n = s.size();
  if (i < n && (s[i] == '+' || s[i] == '-')) {
    ++i;
  }
  i = skip_currency(s, i);
  bool digits = false;
  bool after_separator = false;
  while (i < n) {
    if (is_digit(s[i])) {
      digits = true;
      after_separator = false;
      ++i;
    } else if ((s[i] == '.' || s[i] == ',') && !after_separator && (digits || s[i] == '.')) {
      after_separator = true;
      ++i;
    } else {
      break;
    }
  }
  if (!digits || after_separator) {
    return false;
  }
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < n && (s[j] == '+' || s[j] == '-')) {
      ++j;
    }
    const std::size_t exponent = j;
    while (j < n && is_digit(s[j])) {
      ++j;
    }
    if (j == exponent) {
      return false;
    }
    i = j;
  }
  if (i < n && s[i] == '%') {
    ++i;
  }
  i = skip_currency(s, i);
  return i == n;
}

// A number's value and half a unit of its last digit, for comparing it with
// a sum; NaN for text that is no plain number. Of "." and ",", the later
// one is the decimal mark; when exactly three digits follow it and it is
// the only kind in the text (1,234 or 1.234), it may also group thousands,
// and `grouped` holds that reading.
struct Amount {
  double value = std::numeric_limits<double>::quiet_NaN();
  double tolerance = 0.0;
  double grouped = std::numeric_limits<double>::quiet_NaN();
};

// The digits of `s` as a number, the one at `mark` (if any) a decimal mark.
double digits_value(std::string_view s, std::size_t mark, double& scale) noexcept {
  double value = 0.0;
  scale = 1.0;
  bool after = false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (is_digit(s[i])) {
      value = value * 10.0 + (s[i] - '0');
      scale *= after ? 10.0 : 1.0;
    } else if (i == mark) {
      after = true;
    }
  }
  return (s.front() == '-' ? -value : value) / scale;
}

Amount read_amount(std::string_view s) noexcept {
  Amount a;
  if (!is_number(s) || s.size() > 40) {
    return a;
  }
  std::size_t last_mark = std::string_view::npos;
  bool dots = false;
  bool commas = false;
  std::size_t digits_after = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '.' || s[i] == ',') {
      last_mark = i;
      dots = dots || s[i] == '.';
      commas = commas || s[i] == ',';
      digits_after = 0;
    } else if (is_digit(s[i])) {
      ++digits_after;
    } else if (s[i] == 'e' || s[i] == 'E') {
      return a;  // exponents are not sums of a column
    }
  }
  double scale = 1.0;
  a.value = digits_value(s, last_mark, scale);
  a.tolerance = 0.5 / scale + 1e-9 * std::fabs(a.value);
  const bool ambiguous = last_mark != std::string_view::npos && digits_after == 3 && !(dots && commas);
  double whole = 1.0;
  a.grouped = ambiguous ? digits_value(s, std::string_view::npos, whole) : a.value;
  return a;
}

// Reads a run of digits at `i`; its length, 0 when there is none.
std::size_t digit_run(std::string_view s, std::size_t& i) noexcept {
  const std::size_t start = i;
  while (i < s.size() && is_digit(s[i])) {
    ++i;
  }
  return i - start;
}

// 9:30, 09:30:15, 09:30:15.250, 9:30 pm, 09:30:15Z.
bool is_time_at(std::string_view s, std::size_t i) noexcept {
  const std::size_t h = digit_run(s, i);
  if (h < 1 || h > 2 || i >= s.size() || s[i] != ':') {
    return false;
  }
  ++i;
  if (digit_run(s, i) != 2) {
    return false;
  }
  if (i < s.size() && s[i] == ':') {
    ++i;
    if (digit_run(s, i) != 2) {
      return false;
    }
    if (i < s.size() && s[i] == '.') {
      ++i;
      if (digit_run(s, i) == 0) {
        return false;
      }
    }
  }
  if (i < s.size() && s[i] == ' ') {
    ++i;
  }
  if (i + 2 == s.size() && (lower(s[i]) == 'a' || lower(s[i]) == 'p') && lower(s[i + 1]) == 'm') {
    return true;
  }
  if (i + 1 == s.size() && s[i] == 'Z') {
    return true;
  }
  return i == s.size();
}

// 2023-01-31, 31/01/2023, 1.2.23, each optionally followed by a time.
bool is_date(std::string_view s) noexcept {
  std::size_t i = 0;
  std::size_t runs[3] = {0, 0, 0};
  char separator = 0;
  for (int k = 0; k < 3; ++k) {
    runs[k] = digit_run(s, i);
    if (runs[k] == 0 || runs[k] > 4) {
      return false;
    }
    if (k == 2) {
      break;
    }
    if (i >= s.size() || (s[i] != '-' && s[i] != '/' && s[i] != '.')) {
      return false;
    }
    if (separator != 0 && s[i] != separator) {
      return false;
    }
    separator = s[i++];
  }
  const bool year_first = runs[0] == 4 && runs[1] <= 2 && runs[2] <= 2;
  const bool year_last = runs[0] <= 2 && runs[1] <= 2 && (runs[2] == 2 || runs[2] == 4);
  if (!year_first && !year_last) {
    return false;
  }
  if (i == s.size()) {
    return true;
  }
  if (s[i] != ' ' && s[i] != 'T') {
    return false;
  }
  return is_time_at(s, i + 1);
}

// The usual spellings of a missing value.
bool is_missing(std::string_view s) noexcept {
  static constexpr std::string_view kWords[] = {"na", "n/a", "null", "nan", "none", "-"};
  for (const std::string_view w : kWords) {
    if (equals_folded(s, w)) {
      return true;
    }
  }
  return false;
}

bool is_bool(std::string_view s) noexcept {
  static constexpr std::string_view kWords[] = {"true", "false", "yes", "no"};
  for (const std::string_view w : kWords) {
    if (equals_folded(s, w)) {
      return true;
    }
  }
  return false;
}

// The words between blanks that read as a number, a date or a time.
std::size_t typed_words(std::string_view s) noexcept {
  std::size_t count = 0;
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && s[i] == ' ') {
      ++i;
    }
    const std::size_t start = i;
    while (i < s.size() && s[i] != ' ') {
      ++i;
    }
    const std::string_view word = s.substr(start, i - start);
    if (!word.empty() && (is_number(word) || is_date(word) || is_time_at(word, 0))) {
      ++count;
    }
  }
  return count;
}

// Text that a clean file would hold in a cell: no blanks at its ends, not
// wrapped in a quote, no separator byte of another candidate inside (the
// candidate's own delimiter can only be there inside quotes, which is fine).
bool is_plain_text(std::string_view s, std::uint8_t delimiter) noexcept {
  if (is_blank(s.front()) || is_blank(s.back())) {
    return false;
  }
  const auto is_quote = [](char c) { return c == '"' || c == '\''; };
  if (is_quote(s.front()) || (s.size() > 1 && is_quote(s.back()))) {
    return false;
  }
  bool blanks = false;
  bool letters = false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    const auto b = static_cast<std::uint8_t>(c);
    blanks = blanks || b == ' ';
    letters = letters || (lower(c) >= 'a' && lower(c) <= 'z') || b >= 0x80;
    if (b == delimiter) {
      continue;
    }
    // "#" between a word (or the cell's start) and a letter or digit marks
    // a value (#FF0000, ref#7, item #12, an anchor); after a digit it
    // joins two values, as a delimiter does.
    if (b == '#' && i + 1 < s.size() && (is_digit(s[i + 1]) || is_letter(s[i + 1])) &&
        (i == 0 || is_letter(s[i - 1]) || s[i - 1] == ' ')) {
      continue;
    }
    if (b == ',' || b == ';' || b == '\t' || b == '|' || b == '^' || b == '~' || b == '#' ||
        (b < 0x20 && b != '\n' && b != '\r')) {
      return false;
    }
  }
  // Words without a letter between blanks are the pieces of a value cut
  // apart (a date and half a time), not text; so are several values glued
  // together by blanks (a date, a number and a time).
  return (letters || !blanks) && typed_words(s) < 2;
}

// Two blanks or more, or longer than a column name gets: a sentence.
bool is_prose(std::string_view s) noexcept {
  constexpr std::size_t kLongest = 40;
  return s.size() > kLongest || std::count(s.begin(), s.end(), ' ') >= 2;
}

Cell classify(std::string_view s, std::uint8_t delimiter) noexcept {
  if (s.empty() || is_missing(s)) {
    return Cell::Empty;
  }
  if (is_number(s) || is_date(s) || is_time_at(s, 0) || is_bool(s)) {
    return Cell::Typed;
  }
  return is_plain_text(s, delimiter) ? Cell::Text : Cell::Junk;
}

// Whether the end of `left`, the delimiter and the start of `right` read
// as one time or date: the delimiter cut it apart.
// Under a blank delimiter a date and a time side by side are two cells as
// often as one value: only other delimiters are judged.
bool splits_value(std::string_view left, std::string_view right, std::uint8_t delimiter) noexcept {
  if (delimiter == ' ' || left.empty() || right.empty() || !is_digit(left.back()) || !is_digit(right.front())) {
    return false;
  }
  // The value around the cut: the word the left cell ends with and the
  // word the right one starts with.
  constexpr std::size_t kLongest = 32;
  std::size_t from = left.size();
  while (from > 0 && left[from - 1] != ' ' && left.size() - from < kLongest) {
    --from;
  }
  std::size_t to = 0;
  while (to < right.size() && right[to] != ' ' && to < kLongest) {
    ++to;
  }
  std::array<char, 2 * kLongest + 1> joined{};
  std::size_t n = 0;
  for (std::size_t i = from; i < left.size(); ++i) {
    joined[n++] = left[i];
  }
  joined[n++] = static_cast<char>(delimiter);
  for (std::size_t i = 0; i < to; ++i) {
    joined[n++] = right[i];
  }
  const std::string_view value(joined.data(), n);
  return is_time_at(value, 0) || is_date(value);
}

// The prefixes comment lines start with.
constexpr std::array<std::string_view, 2> kCommentPrefixes = {"#", "//"};

// A first cell that reads as a comment whatever the file's prefix: the
// prefix and a blank, then text ("# generated ..."). Under a blank
// delimiter the prefix is a cell of its own. A cell that is the prefix
// alone elsewhere names a column ("#" for row numbers).
bool reads_as_comment(std::string_view first, std::uint8_t delimiter) noexcept {
  for (const std::string_view prefix : kCommentPrefixes) {
    if (prefix.size() == 1 && static_cast<std::uint8_t>(prefix[0]) == delimiter) {
      continue;
    }
    if (first.substr(0, prefix.size()) != prefix) {
      continue;
    }
    if (first.size() == prefix.size()) {
      return delimiter == ' ';
    }
    return is_blank(first[prefix.size()]) && first.size() > prefix.size() + 1;
  }
  return false;
}

// FNV-1a: cell texts compared by hash, so no text outlives its row.
std::uint64_t hash_of(std::string_view text) noexcept {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (const char c : text) {
    h = (h ^ static_cast<std::uint8_t>(c)) * 0x100000001b3ULL;
  }
  return h;
}

struct Candidate {
  std::uint8_t delimiter;
  std::uint8_t quote;
  bool skip_initial_space;
};

// One parsed row, summarised.
struct RowSummary {
  std::size_t width = 0;
  bool blank = false;
  bool all_empty = false;
  std::size_t clean = 0;   // cells that read as a clean value
  std::size_t filled = 0;  // cells that are not empty
  bool loose = false;      // a cell with blanks at an end
  bool prose = false;      // a cell of several words or a long one
  bool comment = false;    // starts with the comment prefix (layout pass)
  bool aside = false;      // reads as a comment line whatever the prefix
  // The first bytes of its first cell, for comment prefixes; 0 past its end.
  std::array<char, 3> lead{};
  std::string_view lead_view() const {
    return {lead.data(), static_cast<std::size_t>(std::find(lead.begin(), lead.end(), '\0') - lead.begin())};
  }
  // Index of its first cell in the flat arrays, which keep its first
  // kMaxTypedColumns cells.
  std::size_t first = 0;
};

struct Evaluation {
  double score = 0.0;
  std::size_t width = 0;
  std::size_t skip_rows = 0;
  bool header = false;
};

// The rows of one candidate and the judgements made on them. Reused for
// every candidate so its buffers are allocated once.
class Trial {
 public:
  Evaluation run(std::string_view sample, bool complete, const Candidate& c) {
    collect(sample, complete, c, kMaxRows, false);
    return evaluate();
  }

  // The layout of the whole sample under the chosen candidate, whose
  // evaluation found the first table at e.skip_rows.
  void layout(std::string_view sample, bool complete, const Candidate& c, const Evaluation& e,
              SniffedDialect& out);

 private:
  void collect(std::string_view sample, bool complete, const Candidate& c, std::size_t max_rows,
               bool amounts) {
    rows_.clear();
    cells_.clear();
    lengths_.clear();
    hashes_.clear();
    amounts_.clear();
    complete_ = complete;
    // Under a blank delimiter the closing-quote test skips the delimiter as
    // a blank and so never sees a field end after a quote: with quote repair
    // on, 'a'<TAB>'b' would be one field. The quotes are read plainly there.
    const bool repair_quotes = c.delimiter != ' ' && c.delimiter != '\t';
    delimiter_ = c.delimiter;
    ResilientParser parser(sample, c.delimiter, c.quote, repair_quotes, c.skip_initial_space);
    bool last_ended_at_line_end = true;
    bool reached_end = false;
    while (rows_.size() < max_rows) {
      const std::optional<RowView> row = parser.next_row();
      if (!row) {
        reached_end = true;
        break;
      }
      last_ended_at_line_end = parser.ended_at_line_end();
      RowSummary summary;
      summary.width = row->size();
      summary.blank = is_blank_row(*row);
      summary.first = cells_.size();
      summary.all_empty = true;
      if (!row->empty()) {
        const std::string_view lead = (*row)[0].text.substr(0, 3);
        std::copy(lead.begin(), lead.end(), summary.lead.begin());
        summary.aside = reads_as_comment((*row)[0].text, c.delimiter);
      }
      for (std::size_t i = 0; i < row->size(); ++i) {
        const std::string_view text = (*row)[i].text;
        const Cell cell = classify(text, c.delimiter);
        if (cell != Cell::Junk) {
          ++summary.clean;
        }
        // A delimiter inside a time or a date (09:30 cut at ":") cuts one
        // value in two: neither piece is a clean cell.
        if (i > 0 && splits_value((*row)[i - 1].text, text, c.delimiter)) {
          summary.clean -= std::min<std::size_t>(summary.clean, 2);
        }
        if (cell != Cell::Empty) {
          summary.all_empty = false;
          ++summary.filled;
          summary.loose = summary.loose || is_blank(text.front()) || is_blank(text.back());
          summary.prose = summary.prose || is_prose(text);
        }
        if (i < kMaxTypedColumns) {
          cells_.push_back(cell);
          lengths_.push_back(text.size());
          hashes_.push_back(hash_of(text));
          if (amounts) {
            amounts_.push_back(cell == Cell::Typed ? read_amount(text) : Amount{});
          }
        }
      }
      // A comment line is no table row for any candidate: its place
      // counts, its cells do not.
      summary.blank = summary.blank || summary.aside;
      rows_.push_back(summary);
    }
    // A row cut short by the end of a partial sample would mislead.
    if (!complete && reached_end && !last_ended_at_line_end && rows_.size() > 1) {
      rows_.pop_back();
    }
    // Rows past the ones read leave the file's end unseen.
    complete_ = complete && reached_end;
    end_ = rows_.size();
    limit_ = rows_.size();
  }

  Cell cell(std::size_t row, std::size_t column) const {
    return cells_[rows_[row].first + column];
  }
  std::uint64_t hash(std::size_t row, std::size_t column) const {
    return hashes_[rows_[row].first + column];
  }
  std::size_t length(std::size_t row, std::size_t column) const {
    return lengths_[rows_[row].first + column];
  }

  // The next non-blank row after `row`, or rows_.size().
  std::size_t next_row(std::size_t row) const {
    std::size_t j = row + 1;
    while (j < rows_.size() && rows_[j].blank) {
      ++j;
    }
    return j;
  }

  // The end of the first table when a blank row closes it: the first
  // blank row after a run of kMinRun rows of one width. Tables stacked
  // after it have widths of their own, which must not decide the first's.
  // `span` bounds the rows looked at, so that a caller asking for every
  // table of the sample stays linear in it.
  std::size_t first_block_end(std::size_t from = 0,
                              std::size_t span = std::numeric_limits<std::size_t>::max()) const {
    constexpr std::size_t kMinRun = 3;
    const std::size_t last = span < rows_.size() - from ? from + span : rows_.size();
    std::size_t run = 0;
    // The longest run of the block so far: a ragged last row ends a run,
    // not the table.
    std::size_t longest = 0;
    for (std::size_t i = from; i < last; ++i) {
      const RowSummary& r = rows_[i];
      if (r.aside) {
        continue;
      }
      if (r.blank) {
        if (longest >= kMinRun) {
          return i;
        }
        run = 0;
        longest = 0;
        continue;
      }
      const bool fits = r.width >= 2 && !r.all_empty;
      run = !fits ? 0 : (run > 0 && i > from && rows_[i - 1].width == r.width ? run + 1 : 1);
      longest = std::max(longest, run);
    }
    return last;
  }

  std::size_t table_width() const {
    // Widths are few; a small linear tally keeps the order fixed.
    std::vector<std::pair<std::size_t, std::size_t>> tally;
    for (std::size_t i = 0; i < end_; ++i) {
      const RowSummary& r = rows_[i];
      if (r.blank || r.width < 2) {
        continue;
      }
      auto it = std::find_if(tally.begin(), tally.end(), [&](const auto& e) { return e.first == r.width; });
      if (it == tally.end()) {
        tally.emplace_back(r.width, 1);
      } else {
        ++it->second;
      }
    }
    std::size_t best = 0;
    std::size_t best_rows = 0;
    for (const auto& [width, count] : tally) {
      if (count > best_rows || (count == best_rows && width > best)) {
        best = width;
        best_rows = count;
      }
    }
    return best;
  }

  bool starts_table(std::size_t i, std::size_t width) const {
    const RowSummary& r = rows_[i];
    if (r.blank || r.width != width || r.all_empty) {
      return false;
    }
    std::size_t seen = 0;
    std::size_t matching = 0;
    for (std::size_t j = next_row(i); j < rows_.size() && seen < kStartLookahead; j = next_row(j)) {
      ++seen;
      matching += rows_[j].width == width ? 1U : 0U;
    }
    return matching >= std::min<std::size_t>(2, seen);
  }

  // Whether row i reads as a header over the rows of the same width below.
  bool header_like(std::size_t i, std::size_t width, bool typed_only = false) const {
    if (i >= rows_.size() || rows_[i].width != width || rows_[i].blank) {
      return false;
    }
    return names_over(i, width, typed_only);
  }

  // Whether row i, a few fields wider or narrower than the table, is its
  // header all the same: names only (no sentence, no padded cell, at most
  // one empty one), over the table's columns. A preamble row looks
  // otherwise: fewer cells, prose, key and value. Under a space delimiter
  // a title is a row of names a field short, so only full widths count.
  bool damaged_header(std::size_t i, std::size_t width, std::uint8_t delimiter) const {
    if (i >= rows_.size() || delimiter == ' ') {
      return false;
    }
    const RowSummary& r = rows_[i];
    const std::size_t slack = width <= 4 ? 1 : 2;
    if (r.blank || r.width < 2 || r.width == width || r.width + slack < width || r.width > width + slack) {
      return false;
    }
    if (r.loose || r.prose || r.filled + 1 < r.width || r.filled < 2) {
      return false;
    }
    return names_over(i, width) || unlike_body(i, width);
  }

  // Row i holds only text, none of it a value of the column below it,
  // while the body has a typed column: its cells name rather than hold.
  bool unlike_body(std::size_t i, std::size_t width) const {
    const std::size_t own = std::min(rows_[i].width, kMaxTypedColumns);
    for (std::size_t c = 0; c < own; ++c) {
      if (cell(i, c) == Cell::Typed) {
        return false;
      }
    }
    const std::size_t columns = std::min(width, kMaxTypedColumns);
    bool typed_column = false;
    for (std::size_t c = 0; c < columns; ++c) {
      std::size_t filled = 0;
      std::size_t typed = 0;
      std::size_t used = 0;
      for (std::size_t j = next_row(i); j < limit_ && used < kTypeRows; j = next_row(j)) {
        if (rows_[j].width != width) {
          continue;
        }
        ++used;
        const Cell k = cell(j, c);
        filled += k != Cell::Empty ? 1U : 0U;
        typed += k == Cell::Typed ? 1U : 0U;
        if (c < own && cell(i, c) != Cell::Empty && hash(j, c) == hash(i, c)) {
          return false;
        }
      }
      typed_column = typed_column || (filled > 0 && 2 * typed > filled);
    }
    return typed_column;
  }

  // The header test proper; row i may differ in width from the table.
  // With `typed_only`, only text over typed columns makes a header.
  bool names_over(std::size_t i, std::size_t width, bool typed_only = false) const {
    const std::size_t columns = std::min({width, rows_[i].width, kMaxTypedColumns});
    std::size_t text_in_typed = 0;
    std::size_t typed_in_typed = 0;
    // Votes from the text columns, for tables without typed ones.
    std::size_t text_for = 0;
    std::size_t text_against = 0;
    bool any_typed_column = false;
    std::vector<std::uint64_t> values;
    for (std::size_t c = 0; c < columns; ++c) {
      values.clear();
      std::size_t filled = 0;
      std::size_t typed = 0;
      std::size_t used = 0;
      std::size_t common_length = 0;
      bool constant_length = true;
      for (std::size_t j = next_row(i); j < limit_ && used < kTypeRows; j = next_row(j)) {
        if (rows_[j].width != width) {
          continue;
        }
        ++used;
        const Cell k = cell(j, c);
        if (k == Cell::Empty) {
          continue;
        }
        ++filled;
        typed += k == Cell::Typed ? 1U : 0U;
        values.push_back(hash(j, c));
        if (filled == 1) {
          common_length = length(j, c);
        } else if (length(j, c) != common_length) {
          constant_length = false;
        }
      }
      if (filled == 0) {
        continue;
      }
      const Cell own = cell(i, c);
      if (2 * typed > filled) {
        any_typed_column = true;
        if (own == Cell::Text || own == Cell::Junk) {
          ++text_in_typed;
        } else if (own == Cell::Typed) {
          ++typed_in_typed;
        }
      } else if (own != Cell::Empty) {
        // A name that recurs as a value is data; a name unlike every value
        // of a column of recurring values (categories) or of values of one
        // length (codes) is a header.
        const std::uint64_t name = hash(i, c);
        std::sort(values.begin(), values.end());
        const bool recurs = std::binary_search(values.begin(), values.end(), name);
        const auto distinct = static_cast<std::size_t>(
            std::unique(values.begin(), values.end()) - values.begin());
        if (recurs) {
          ++text_against;
        } else if (filled >= 4 && 2 * distinct <= filled) {
          ++text_for;
        } else if (constant_length && filled >= 2) {
          (length(i, c) != common_length ? text_for : text_against) += 1U;
        }
      }
    }
    if (any_typed_column) {
      return text_in_typed > typed_in_typed;
    }
    return !typed_only && text_for > text_against;
  }

  Evaluation evaluate() {
    Evaluation e;
    if (rows_.empty()) {
      return e;
    }
    end_ = first_block_end();
    limit_ = end_;
    const std::size_t width = table_width();
    if (width < 2) {
      e.width = single_column_width();
      const std::size_t first = rows_[0].blank ? next_row(0) : 0;
      // A word over a column of words is one of them as often as its name.
      e.header = e.width == 1 && header_like(first, 1, true);
      return e;
    }
    e.width = width;
    std::size_t start = 0;
    while (start < rows_.size() && start <= kMaxPreamble && !starts_table(start, width)) {
      ++start;
    }
    if (start == rows_.size() || start > kMaxPreamble) {
      // No run of rows of that width, with content, starts early enough:
      // under this candidate the sample holds no table. Mostly single
      // cells, it is a column whose few values hold this byte (7,5).
      if (mostly_single_cells()) {
        e.width = 1;
        e.header = header_like(rows_[0].blank ? next_row(0) : 0, 1, true);
      }
      return e;
    }
    // A note that happens to have the table's width reads like a header
    // followed by the real header.
    for (std::size_t next = next_row(start);
         next < rows_.size() && next <= kMaxPreamble && header_like(start, width) &&
         header_like(next, width);
         next = next_row(start)) {
      start = next;
    }
    e.header = header_like(start, width);
    // A header a field too wide or too narrow does not start the table: the
    // first row below it does. It is still the header.
    if (!e.header && start > 0 && damaged_header(start - 1, width, delimiter_)) {
      --start;
      e.header = true;
    }
    e.skip_rows = start;

    std::size_t counted = 0;
    std::size_t matching = 0;
    std::size_t cells = 0;
    std::size_t clean = 0;
    // Preamble rows this candidate splits into cells with content are rows
    // it fails to fit, not notes: they count against it.
    // So do the rows of a long preamble before a short table: a table
    // found at the end of the sample is a note this candidate happens to
    // cut evenly.
    std::size_t preamble = 0;
    std::size_t table_rows = 0;
    for (std::size_t j = 0; j < start; ++j) {
      const RowSummary& r = rows_[j];
      // A single cell that is not clean holds the delimiter of another
      // candidate: a table row (a header) this one does not split.
      const bool unsplit = r.width == 1 && r.clean == 0 && !r.prose;
      counted += !r.blank && !r.all_empty && ((r.width >= 2 && !r.prose) || unsplit) ? 1U : 0U;
      preamble += !r.blank && !(r.width >= 2 && !r.all_empty && !r.prose) ? 1U : 0U;
    }
    for (std::size_t j = start; j < end_; ++j) {
      table_rows += rows_[j].blank ? 0U : 1U;
    }
    if (table_rows < preamble) {
      counted += preamble;
    }
    // The rows' widths are judged within the first table, their cells in
    // every table: later tables show quotes and values too.
    for (std::size_t j = start; j < rows_.size(); ++j) {
      const RowSummary& r = rows_[j];
      if (r.blank) {
        continue;
      }
      if (j < end_) {
        ++counted;
        matching += r.width == width ? 1U : 0U;
      } else if (!in_run(j)) {
        continue;  // a note after the tables
      }
      cells += r.width;
      clean += r.clean;
    }
    if (counted == 0 || cells == 0) {
      return e;
    }
    const double pattern = static_cast<double>(matching) / static_cast<double>(counted) *
                           (1.0 - 1.0 / static_cast<double>(width));
    const double type = static_cast<double>(clean) / static_cast<double>(cells);
    e.score = pattern * type;
    return e;
  }

  // Whether row j has a neighbour of its width: a table row, not a note.
  bool in_run(std::size_t j) const {
    const std::size_t w = rows_[j].width;
    return w >= 2 && ((j > 0 && !rows_[j - 1].blank && rows_[j - 1].width == w) ||
                      (j + 1 < rows_.size() && !rows_[j + 1].blank && rows_[j + 1].width == w));
  }

  bool mostly_single_cells() const {
    std::size_t ones = 0;
    std::size_t rows = 0;
    for (const RowSummary& r : rows_) {
      if (!r.blank) {
        ++rows;
        ones += r.width == 1 ? 1U : 0U;
      }
    }
    return 2 * ones > rows;
  }

  // For a sample no candidate splits: the most common width, 1 included.
  std::size_t single_column_width() const {
    std::size_t ones = 0;
    std::size_t other = 0;
    for (const RowSummary& r : rows_) {
      if (!r.blank) {
        (r.width == 1 ? ones : other) += 1U;
      }
    }
    return ones + other == 0 ? 0 : 1;
  }

  // Layout judgements, used by layout() on the whole sample.
  std::string_view comment_prefix(std::size_t width) const;
  bool group_row(std::size_t i, std::size_t width) const;
  bool note_row(std::size_t i, std::size_t width) const;
  bool names_row(std::size_t i, std::size_t width) const;
  std::size_t earlier_table(std::size_t start) const;
  bool totals_row(std::size_t i, std::size_t begin, std::size_t width) const;
  std::size_t footer_start(std::size_t begin, std::size_t width) const;
  // The next row after `row` that is neither blank nor a comment.
  std::size_t next_content(std::size_t row) const {
    std::size_t j = row + 1;
    while (j < rows_.size() && (rows_[j].blank || rows_[j].comment)) {
      ++j;
    }
    return j;
  }
  const Amount& amount(std::size_t row, std::size_t column) const {
    return amounts_[rows_[row].first + column];
  }

  std::uint8_t delimiter_ = ',';
  bool complete_ = true;
  // Rows up to here make the first table; the ones after it are judged as
  // tables of their own.
  std::size_t end_ = 0;
  // Header tests look at the rows below a row up to here: its own table.
  std::size_t limit_ = 0;
  std::vector<Amount> amounts_;
  std::vector<RowSummary> rows_;
  std::vector<Cell> cells_;
  std::vector<std::size_t> lengths_;
  std::vector<std::uint64_t> hashes_;
};


// The prefixes comment lines start with. One is the file's when rows start
// with it and none of those rows reads as a table row holding a value that
// merely starts so (#FF0000 in a column of colours): a full-width row
// whose prefix is followed by more than a blank.

std::string_view Trial::comment_prefix(std::size_t width) const {
  for (const std::string_view prefix : kCommentPrefixes) {
    if (prefix.size() == 1 && static_cast<std::uint8_t>(prefix[0]) == delimiter_) {
      continue;
    }
    std::size_t lines = 0;
    for (const RowSummary& r : rows_) {
      const std::string_view lead = r.lead_view();
      if ((r.blank && !r.aside) || lead.substr(0, prefix.size()) != prefix) {
        continue;
      }
      ++lines;
      const char after = prefix.size() < lead.size() ? lead[prefix.size()] : '\0';
      if (r.width == width && width >= 2 && after != '\0' && !is_blank(after)) {
        lines = 0;
        break;
      }
    }
    if (lines > 0) {
      return prefix;
    }
  }
  return {};
}

// Group names spread over empty cells, above the row of column names: as
// wide as the table, some cells empty, no values, no sentences, and not a
// title alone in the first cell.
bool Trial::group_row(std::size_t i, std::size_t width) const {
  if (i >= rows_.size() || width < 2) {
    return false;
  }
  const RowSummary& r = rows_[i];
  if (r.blank || r.comment || r.width != width || r.prose || r.loose || r.filled == 0 || r.filled >= width) {
    return false;
  }
  const std::size_t columns = std::min(width, kMaxTypedColumns);
  std::size_t first_filled = columns;
  bool spread = false;
  for (std::size_t c = 0; c < columns; ++c) {
    const Cell k = cell(i, c);
    if (k == Cell::Typed) {
      return false;
    }
    if (k != Cell::Empty) {
      first_filled = std::min(first_filled, c);
      spread = spread || (c + 1 < columns && cell(i, c + 1) == Cell::Empty);
    }
  }
  return spread && (r.filled >= 2 || first_filled > 0);
}

// The row of column names under a group row: full width, no sentences, a
// header over the body, or at least names that are none of the values
// below them with some text over a typed column (years under "Revenue").
bool Trial::names_row(std::size_t i, std::size_t width) const {
  if (i >= rows_.size()) {
    return false;
  }
  const RowSummary& r = rows_[i];
  if (r.width != width || r.prose || r.loose || r.filled + 1 < width) {
    return false;
  }
  if (header_like(i, width)) {
    return true;
  }
  const std::size_t columns = std::min(width, kMaxTypedColumns);
  bool text_over_typed = false;
  for (std::size_t c = 0; c < columns; ++c) {
    std::size_t filled = 0;
    std::size_t typed = 0;
    for (std::size_t j = next_content(i), used = 0; j < limit_ && used < kTypeRows; j = next_content(j)) {
      if (rows_[j].width != width) {
        continue;
      }
      ++used;
      const Cell k = cell(j, c);
      filled += k != Cell::Empty ? 1U : 0U;
      typed += k == Cell::Typed ? 1U : 0U;
      if (cell(i, c) != Cell::Empty && hash(j, c) == hash(i, c)) {
        return false;
      }
    }
    text_over_typed = text_over_typed || (cell(i, c) == Cell::Text && filled > 0 && 2 * typed > filled);
  }
  return text_over_typed;
}

// A note after the table: one cell of text, or a sentence in a row
// narrower than the table.
bool Trial::note_row(std::size_t i, std::size_t width) const {
  const RowSummary& r = rows_[i];
  if (r.blank || r.comment) {
    return false;
  }
  if (r.filled == 1) {
    for (std::size_t c = 0; c < std::min(r.width, kMaxTypedColumns); ++c) {
      const Cell k = cell(i, c);
      if (k != Cell::Empty) {
        return k != Cell::Typed;
      }
    }
  }
  if (r.width < width && r.prose && r.filled <= 2) {
    return true;
  }
  // Under a blank delimiter a sentence falls into words: a row of another
  // width without a single value.
  if (r.width == width || (delimiter_ != ' ' && delimiter_ != '\t')) {
    return false;
  }
  for (std::size_t c = 0; c < std::min(r.width, kMaxTypedColumns); ++c) {
    if (cell(i, c) == Cell::Typed) {
      return false;
    }
  }
  return true;
}

// A totals row: text first, and in the columns where it holds numbers, the
// sums of the table's numbers above it (rows `begin` to i). The word alone
// decides nothing; at least one sum must match and most must.
bool Trial::totals_row(std::size_t i, std::size_t begin, std::size_t width) const {
  const RowSummary& r = rows_[i];
  if (r.blank || r.comment || r.width != width || i < begin + 2) {
    return false;
  }
  const std::size_t columns = std::min(width, kMaxTypedColumns);
  std::size_t first = 0;
  while (first < columns && cell(i, first) == Cell::Empty) {
    ++first;
  }
  if (first == columns || cell(i, first) == Cell::Typed) {
    return false;
  }
  std::size_t numbers = 0;
  std::size_t sums = 0;
  for (std::size_t c = first + 1; c < columns; ++c) {
    const Amount& total = amount(i, c);
    if (std::isnan(total.value)) {
      // Beside its label a totals row holds sums only.
      if (cell(i, c) != Cell::Empty) {
        return false;
      }
      continue;
    }
    ++numbers;
    // Each reading of marks that may group thousands is summed apart.
    double sum = 0.0;
    double grouped = 0.0;
    std::size_t terms = 0;
    for (std::size_t j = begin; j < i; ++j) {
      if (rows_[j].blank || rows_[j].comment || rows_[j].width != width) {
        continue;
      }
      const Amount& a = amount(j, c);
      if (!std::isnan(a.value)) {
        sum += a.value;
        grouped += a.grouped;
        ++terms;
      }
    }
    const bool equal = std::fabs(sum - total.value) <= total.tolerance + 1e-9 * std::fabs(sum) ||
                       std::fabs(grouped - total.grouped) <= 0.5 + 1e-9 * std::fabs(grouped);
    sums += terms >= 2 && equal ? 1U : 0U;
  }
  return sums >= 1 && 2 * sums >= numbers;
}

// Where the footer starts: the notes at the end, a totals row right above
// them, and the blank rows before either; rows_.size() without a footer.
std::size_t Trial::footer_start(std::size_t begin, std::size_t width) const {
  // In a single column a note is a cell like the others.
  if (!complete_ || rows_.empty() || width < 2) {
    return rows_.size();
  }
  std::size_t start = rows_.size();
  std::size_t i = rows_.size();
  bool found = false;
  // Notes, at most a few: a table does not end in many one-cell rows.
  constexpr std::size_t kMaxNotes = 5;
  std::size_t notes = 0;
  while (i > begin) {
    const RowSummary& r = rows_[i - 1];
    if (r.blank || r.comment) {
      --i;
      continue;
    }
    if (notes < kMaxNotes && note_row(i - 1, width)) {
      ++notes;
      found = true;
      start = --i;
      continue;
    }
    break;
  }
  if (i > begin && totals_row(i - 1, begin, width)) {
    found = true;
    start = i - 1;
  }
  if (!found) {
    return rows_.size();
  }
  while (start > begin && rows_[start - 1].blank) {
    --start;
  }
  return start;
}

void Trial::layout(std::string_view sample, bool complete, const Candidate& c, const Evaluation& e,
                   SniffedDialect& out) {
  collect(sample, complete, c, std::numeric_limits<std::size_t>::max(), true);
  std::size_t width = e.width;
  if (rows_.empty() || width == 0) {
    return;
  }
  out.comment = comment_prefix(width);
  if (!out.comment.empty()) {
    for (RowSummary& r : rows_) {
      r.comment = (!r.blank || r.aside) && r.lead_view().substr(0, out.comment.size()) == out.comment;
    }
  }
  std::size_t start = std::min(e.skip_rows, rows_.size());
  std::size_t header_rows = e.header ? 1 : 0;
  limit_ = first_block_end();
  // The widest-spread width may be a later table's: an earlier run of rows
  // of one width, closed by a blank row, is the first table.
  if (const std::size_t earlier = earlier_table(start); earlier < start) {
    width = rows_[earlier].width;
    start = earlier;
    limit_ = first_block_end(earlier);
    header_rows = header_like(start, width) ? 1 : 0;
  } else if (e.header && start > 0 && group_row(start - 1, width)) {
    --start;
    header_rows = 2;
  } else if (group_row(start, width) && names_row(next_content(start), width)) {
    header_rows = 2;
  }
  out.skip_rows = start;
  out.header = header_rows > 0;
  out.header_rows = header_rows;

  // Tables one after another: after blank rows, a run of rows of another
  // width, or one headed by its own header, starts the next table. The
  // footer belongs to the last one; it is found first, so that its notes
  // are not taken for a table.
  std::size_t begin = std::min(start + header_rows, rows_.size());
  SniffedTable current{start, width, header_rows, 0, true};
  std::size_t end = rows_.size();
  bool after_blank = false;
  for (std::size_t j = begin; j < end; ++j) {
    const RowSummary& r = rows_[j];
    if (r.comment) {
      continue;
    }
    if (r.blank) {
      after_blank = true;
      continue;
    }
    if (after_blank && j > begin && r.width >= 2) {
      // Rows of its width below it (two of the next three), or one under a
      // header of its own: notes after a table do not line up like that.
      const std::size_t next = next_content(j);
      const bool run = next < rows_.size() && rows_[next].width == r.width;
      const bool long_run = run && starts_table(j, r.width);
      // The header test reads at most kTypeRows rows of the table below.
      limit_ = first_block_end(j, 4 * kTypeRows);
      const bool own_header = run && header_like(j, r.width);
      if ((long_run || own_header) && (r.width != current.columns || own_header)) {
        // The blank rows before it close the previous table.
        std::size_t cut = j;
        while (cut > current.skip_rows && rows_[cut - 1].blank) {
          --cut;
        }
        current.rows = cut - current.skip_rows;
        out.tables.push_back(current);
        current = SniffedTable{j, r.width, own_header ? 1U : 0U, 0, true};
        begin = j + current.header_rows;
      }
    }
    after_blank = false;
  }
  const std::size_t footer = footer_start(begin, current.columns);
  out.skip_footer = rows_.size() - footer;
  current.rows = footer - current.skip_rows;
  current.ends = complete_;
  out.tables.push_back(current);
  out.columns = out.tables.front().columns;
}

// A run of at least kMinRun rows of one width (2 or more) before `start`,
// blank rows before and after it: its first row, or `start` without one.
std::size_t Trial::earlier_table(std::size_t start) const {
  constexpr std::size_t kMinRun = 3;
  std::size_t i = 0;
  while (i < start) {
    while (i < start && (rows_[i].blank || rows_[i].comment)) {
      ++i;
    }
    // One blank-delimited block: [i, j).
    std::size_t j = i;
    while (j < start && !rows_[j].blank) {
      ++j;
    }
    // Consecutive rows of one width with content, comments passed over.
    std::size_t run = 0;
    std::size_t first = j;
    for (std::size_t k = i; k < j; ++k) {
      const RowSummary& r = rows_[k];
      if (r.comment) {
        continue;
      }
      if (r.width < 2 || r.all_empty) {
        run = 0;
        continue;
      }
      if (run == 0 || r.width != rows_[first].width) {
        first = k;
        run = 0;
      }
      if (++run >= kMinRun && j < start) {
        return first;
      }
    }
    i = j;
  }
  return start;
}

}  // namespace

SniffedDialect detect_dialect(std::string_view sample, bool complete) {
  // Which bytes occur, and which are followed by a blank: candidates that
  // cannot differ from a simpler one are not parsed at all.
  std::array<bool, 256> present{};
  std::array<bool, 256> before_blank{};
  const std::size_t begin = sample.size() >= 3 && sample.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  for (std::size_t i = begin; i < sample.size(); ++i) {
    const auto b = static_cast<std::uint8_t>(sample[i]);
    present[b] = true;
    if (i + 1 < sample.size() && is_blank(sample[i + 1])) {
      before_blank[b] = true;
    }
  }

  Trial trial;
  SniffedDialect best;
  Candidate best_candidate{',', '"', false};
  Evaluation best_evaluation;
  double best_score = -1.0;
  for (const std::uint8_t delimiter : kDelimiters) {
    // The first candidate is always tried, so a sample without any
    // candidate byte still gets its width and header judged.
    if (!present[delimiter] && delimiter != kDelimiters[0]) {
      continue;
    }
    for (const std::uint8_t quote : kQuotes) {
      if (quote != kQuotes[0] && !present[quote]) {
        continue;
      }
      for (const bool skip_space : {false, true}) {
        if (skip_space && !before_blank[delimiter]) {
          continue;
        }
        const Evaluation e = trial.run(sample, complete, Candidate{delimiter, quote, skip_space});
        if (e.score > best_score) {
          best_score = e.score;
          best.delimiter = delimiter;
          best.quote_char = quote;
          best.skip_initial_space = skip_space;
          best.skip_rows = e.skip_rows;
          best.header = e.header;
          best.columns = e.width;
          best_candidate = Candidate{delimiter, quote, skip_space};
          best_evaluation = e;
        }
      }
    }
  }
  trial.layout(sample, complete, best_candidate, best_evaluation, best);
  // One column: no candidate splits the rows, and none is made up.
  if (best.columns == 1) {
    best.delimiter = 0;
  }
  return best;
}

}  // namespace vornish
