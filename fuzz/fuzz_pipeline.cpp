// Fuzz target for the in-memory repair pipeline: any bytes under any
// options (delimiter given or guessed, any quote byte, padding, merging and
// quote repair on or off, column count given or guessed).
//
// Checked on every input: the counts add up (total = kept + quarantined,
// repaired <= kept); the run reports the delimiter and width it used; and
// nothing the tokenizer produced is lost. A second, independent tokenizer
// walks the same bytes, and each of its rows must come out, in order,
// either as a kept row (unchanged, padded with empty fields, or with its
// surplus tokens joined by the delimiter text in the last field) or as a
// quarantine record holding exactly its tokens, the right reason and line.
// With padding and merging both on and a non-zero width, every kept row
// has exactly that width. The same is checked for the kept rows read back
// from the outcome, for the rows the row loop hands to a visitor, and for
// the reader's run that only counts what it sets aside.
//
// Input layout: delimiter selector (low bit: given or guessed), quote
// selector, flags, width selector, then the payload.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/vornish.hpp"
#include "fuzz_support.hpp"
#include "heuristics/columns.hpp"
#include "heuristics/sniff.hpp"
#include "parser/resilient_parser.hpp"

namespace {

using namespace vornish;
using namespace vornish::fuzz;

std::string delimiter_text(std::uint8_t byte) {
  std::string out;
  if (byte < 0x80) {
    out.push_back(static_cast<char>(byte));
  } else {
    out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
    out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
  }
  return out;
}

std::string reason_for(bool too_few, std::size_t expected) {
  return std::string(too_few ? "Row has too few columns (expected "
                             : "Row has extra columns (expected ") +
         std::to_string(expected) + ")";
}

// What the pipeline must make of the next tokenizer row.
struct ExpectedRow {
  bool kept = false;
  bool repaired = false;
  std::vector<std::string> fields;  // shaped when kept, raw when quarantined
  std::string reason;
  std::size_t line = 0;
  std::size_t start = 0;
};

// Walks the input with its own tokenizer and applies the width rules to
// each row, spelled out from scratch.
class Expectation {
 public:
  Expectation(std::string_view bytes, const VornishOptions& options, std::uint8_t delimiter,
              std::size_t width)
      : parser_(bytes, delimiter, options.quote_char, options.repair_quotes),
        options_(options),
        separator_(delimiter_text(delimiter)),
        width_(width) {}

  std::optional<ExpectedRow> next() {
    ExpectedRow out;
    out.start = parser_.pos();
    const std::optional<RowView> row = parser_.next_row();
    if (!row) {
      return std::nullopt;
    }
    std::vector<std::string> tokens = copy_row(*row);
    const std::size_t n = tokens.size();
    out.line = parser_.line();
    if (width_ == 0 || n == width_) {
      out.kept = true;
      out.fields = std::move(tokens);
    } else if (n < width_ && options_.fill_ragged_rows) {
      out.kept = out.repaired = true;
      out.fields = std::move(tokens);
      out.fields.resize(width_);
    } else if (n > width_ && options_.merge_overflow) {
      out.kept = out.repaired = true;
      std::string merged = tokens[width_ - 1];
      for (std::size_t i = width_; i < n; ++i) {
        merged += separator_;
        merged += tokens[i];
      }
      tokens.resize(width_ - 1);
      tokens.push_back(std::move(merged));
      out.fields = std::move(tokens);
    } else {
      out.reason = reason_for(n < width_, width_);
      out.fields = std::move(tokens);
    }
    return out;
  }

 private:
  ResilientParser parser_;
  VornishOptions options_;
  std::string separator_;
  std::size_t width_;
};

void check_kept(RowView row, const std::optional<ExpectedRow>& expected,
                const VornishOptions& options, std::size_t width) {
  FUZZ_CHECK(expected.has_value());
  FUZZ_CHECK(expected->kept);
  FUZZ_CHECK(same_row(row, expected->fields));
  if (options.fill_ragged_rows && options.merge_overflow && width > 0) {
    FUZZ_CHECK(row.size() == width);
  }
  for (const FieldView& field : row) {
    FUZZ_CHECK(is_valid_utf8(field.text));
  }
}

// Compares the row loop's callbacks with the expectation as they happen,
// so no run ever holds more than one expected row.
class CheckingVisitor final : public RowVisitor {
 public:
  CheckingVisitor(Expectation expectation, const VornishOptions& options, std::size_t width)
      : expectation_(std::move(expectation)), options_(options), width_(width) {}

  void kept(RowView row, std::size_t start) override {
    const std::optional<ExpectedRow> expected = expectation_.next();
    check_kept(row, expected, options_, width_);
    FUZZ_CHECK(start == expected->start);
    ++kept_;
    repaired_ += expected->repaired ? 1 : 0;
  }

  void quarantined(std::size_t line, QuarantineReason reason, RowView raw,
                   std::size_t /*start*/) override {
    const std::optional<ExpectedRow> expected = expectation_.next();
    FUZZ_CHECK(expected.has_value());
    FUZZ_CHECK(!expected->kept);
    FUZZ_CHECK(same_row(raw, expected->fields));
    FUZZ_CHECK(line == expected->line);
    FUZZ_CHECK(reason_text(reason, width_) == expected->reason);
    ++quarantined_;
  }

  void finish(const VornishStats& stats) {
    FUZZ_CHECK(!expectation_.next().has_value());
    FUZZ_CHECK(stats.vornished_rows == kept_);
    FUZZ_CHECK(stats.quarantined_rows == quarantined_);
    FUZZ_CHECK(stats.repaired_rows == repaired_);
  }

 private:
  Expectation expectation_;
  VornishOptions options_;
  std::size_t width_;
  std::size_t kept_ = 0;
  std::size_t repaired_ = 0;
  std::size_t quarantined_ = 0;
};

VornishOptions read_options(OptionReader& reader) {
  VornishOptions options;
  const std::uint8_t delimiter_mode = reader.byte();
  const std::uint8_t delimiter = reader.interesting_byte();
  if ((delimiter_mode & 1) != 0) {
    options.delimiter = delimiter;
  }
  options.quote_char = reader.interesting_byte();
  const std::uint8_t flags = reader.byte();
  options.fill_ragged_rows = (flags & 1) != 0;
  options.merge_overflow = (flags & 2) != 0;
  options.repair_quotes = (flags & 4) != 0;
  const std::uint8_t width = reader.byte();
  if ((flags & 8) != 0) {
    options.expected_columns = width < 0xF0 ? width % 10u : (width - 0xEFu) * 16u;
  }
  return options;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  OptionReader reader(data, size);
  const VornishOptions options = read_options(reader);
  const ExactBuffer input(reader.rest());
  const std::string_view bytes = input.view();

  const VornishOutcome outcome = vornish_slice(bytes, options);
  const VornishStats& stats = outcome.stats;

  if (bytes.empty()) {
    FUZZ_CHECK(stats.total_rows == 0 && stats.vornished_rows == 0);
    FUZZ_CHECK(stats.repaired_rows == 0 && stats.quarantined_rows == 0);
    FUZZ_CHECK(stats.detected_delimiter == U',' && stats.inferred_columns == 0);
    FUZZ_CHECK(outcome.rows.empty() && outcome.quarantined.empty());
    return 0;
  }

  // The dialect: given, or guessed by the heuristics over the same bytes.
  std::uint8_t delimiter = 0;
  if (options.delimiter) {
    delimiter = *options.delimiter;
  } else {
    delimiter = sniff_delimiter(bytes);
    FUZZ_CHECK(delimiter == ',' || delimiter == ';' || delimiter == '\t' || delimiter == '|');
  }
  const std::size_t width =
      options.expected_columns ? *options.expected_columns : infer_column_count(bytes, delimiter);
  FUZZ_CHECK(stats.detected_delimiter == static_cast<char32_t>(delimiter));
  FUZZ_CHECK(stats.inferred_columns == width);
  const Dialect dialect = settle_dialect(bytes, options);
  FUZZ_CHECK(dialect.delimiter == delimiter && dialect.expected_columns == width);

  // The counts add up.
  FUZZ_CHECK(stats.total_rows == stats.vornished_rows + stats.quarantined_rows);
  FUZZ_CHECK(stats.repaired_rows <= stats.vornished_rows);
  FUZZ_CHECK(stats.vornished_rows == outcome.rows.size());
  FUZZ_CHECK(stats.quarantined_rows == outcome.quarantined.size());

  // Every tokenizer row is accounted for, in order, in the outcome.
  Expectation expectation(bytes, options, delimiter, width);
  KeptRows::Cursor cursor = outcome.rows.cursor();
  std::size_t kept = 0;
  std::size_t repaired = 0;
  std::size_t quarantined = 0;
  while (const std::optional<ExpectedRow> expected = expectation.next()) {
    if (expected->kept) {
      FUZZ_CHECK(kept < outcome.rows.size());
      check_kept(cursor.read(kept), expected, options, width);
      if (kept < 8) {
        FUZZ_CHECK(outcome.rows.materialize(kept) == expected->fields);
      }
      ++kept;
      repaired += expected->repaired ? 1 : 0;
    } else {
      FUZZ_CHECK(quarantined < outcome.quarantined.size());
      const QuarantineRecord& record = outcome.quarantined[quarantined];
      FUZZ_CHECK(record.raw_tokens == expected->fields);
      FUZZ_CHECK(record.line == expected->line);
      FUZZ_CHECK(record.reason == expected->reason);
      ++quarantined;
    }
  }
  FUZZ_CHECK(kept == stats.vornished_rows);
  FUZZ_CHECK(quarantined == stats.quarantined_rows);
  FUZZ_CHECK(repaired == stats.repaired_rows);

  // The reader's run, which only counts the rows it sets aside: the same
  // stats and the same kept rows, with nothing held for quarantine.
  {
    const VornishOutcome counted = vornish_slice_kept(bytes, options);
    const VornishStats& s = counted.stats;
    FUZZ_CHECK(s.total_rows == stats.total_rows && s.vornished_rows == stats.vornished_rows);
    FUZZ_CHECK(s.repaired_rows == stats.repaired_rows);
    FUZZ_CHECK(s.quarantined_rows == stats.quarantined_rows);
    FUZZ_CHECK(s.detected_delimiter == stats.detected_delimiter);
    FUZZ_CHECK(s.inferred_columns == stats.inferred_columns);
    FUZZ_CHECK(counted.quarantined.empty());
    FUZZ_CHECK(counted.rows.size() == outcome.rows.size());
    KeptRows::Cursor mine = counted.rows.cursor();
    KeptRows::Cursor theirs = outcome.rows.cursor();
    for (std::size_t k = 0; k < counted.rows.size(); ++k) {
      const std::vector<std::string> want = copy_row(theirs.read(k));
      FUZZ_CHECK(same_row(mine.read(k), want));
    }
  }

  // The row loop itself, as the file writer drives it.
  CheckingVisitor visitor(Expectation(bytes, options, delimiter, width), options, width);
  const VornishStats loop_stats = repair_rows(bytes, options, dialect, visitor);
  visitor.finish(loop_stats);
  FUZZ_CHECK(loop_stats.total_rows == stats.total_rows);
  return 0;
}
