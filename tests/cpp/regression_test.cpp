// Regression cases from hardening: inputs that end exactly where the
// tokenizer looks ahead, read from heap blocks of exactly their size.
//
// A std::string always has a terminating NUL behind its last byte, so a
// look-ahead one byte too far goes unnoticed there; here, under the
// sanitizer build, it is an error. The same inputs also pin the results
// the fuzzing oracle agreed on.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/vornish.hpp"
#include "engine/writer.hpp"
#include "parser/resilient_parser.hpp"

namespace vornish {
namespace {

// The bytes of `text` in a block of exactly their size.
class ExactBytes {
 public:
  explicit ExactBytes(std::string_view text)
      : data_(std::make_unique<char[]>(text.size())), size_(text.size()) {
    if (size_ != 0) std::memcpy(data_.get(), text.data(), size_);
  }
  std::string_view view() const noexcept { return {data_.get(), size_}; }

 private:
  std::unique_ptr<char[]> data_;
  std::size_t size_;
};

struct EndCase {
  const char* name;
  std::string input;
  std::vector<Row> rows;
  std::size_t final_line;
  char delimiter = ',';
  bool repair = true;
};

const std::string kReplacement = "\xEF\xBF\xBD";

// Each input ends at a byte where some rule peeks at the next one.
const std::vector<EndCase> kEndCases = {
    {"quote as the last byte of a quoted field", "'ab'", {{"ab"}}, 1},
    {"doubled quote as the last bytes", "'a''", {{"a'"}}, 1},
    {"stray-quote test runs into the end", "'a'b'", {{"a'b"}}, 1},
    {"blanks after a quote run into the end", "'a' x' \t", {{"a' x"}}, 1},
    {"lone CR at the end", "a,b\r", {{"a", "b"}}, 2},
    {"CR at the end inside quotes", "'a\r", {{"a\r"}}, 1},
    {"CR LF split by the end of a quoted field", "'a'\r", {{"a"}}, 2},
    {"blank after closing quote at the end", "'a' ", {{"a"}}, 1},
    {"delimiter at the end", "a,", {{"a", ""}}, 1},
    {"two bytes of a byte-order mark", "\xEF\xBB", {{kReplacement}}, 1},
    {"byte-order mark then a quote", "\xEF\xBB\xBF'", {{""}}, 1},
    {"truncated UTF-8 sequence at the end", "a,\xE2\x82", {{"a", kReplacement}}, 1},
    {"truncated UTF-8 inside quotes", "'\xF0\x9F\x98", {{kReplacement}}, 1},
    {"tab delimiter after the last quote", "'a'\t", {{"a", ""}}, 1, '\t'},
    {"unrepaired quote at the end", "'a'b'", {{"ab'"}}, 1, ',', false},
};

TEST(RegressionTest, InputsEndingWhereTheTokenizerLooksAhead) {
  for (const EndCase& c : kEndCases) {
    SCOPED_TRACE(c.name);
    const ExactBytes bytes(c.input);
    ResilientParser parser(bytes.view(), static_cast<std::uint8_t>(c.delimiter), '\'', c.repair);
    std::vector<Row> rows;
    while (const auto row = parser.next_row()) rows.push_back(to_row(*row));
    EXPECT_EQ(rows, c.rows);
    EXPECT_EQ(parser.line(), c.final_line);

    // The counting walk peeks at the same places.
    ResilientParser counter(bytes.view(), static_cast<std::uint8_t>(c.delimiter), '\'', c.repair);
    std::size_t counted = 0;
    while (counter.skip_row()) ++counted;
    EXPECT_EQ(counted, c.rows.size());
  }
}

TEST(RegressionTest, PipelineOverExactBuffersKeepsEveryToken) {
  // Padding, merging and quarantine over inputs that end inside a row.
  struct Case {
    const char* name;
    std::string input;
    std::size_t width;
    bool fill;
    bool merge;
    std::vector<Row> kept;
    std::vector<Row> quarantined;
  };
  const std::vector<Case> cases = {
      {"short last row padded", "a,b,c\n1,'2", 3, true, true, {{"a", "b", "c"}, {"1", "2", ""}}, {}},
      {"long last row merged", "a,b\n1,2,'3", 2, true, true, {{"a", "b"}, {"1", "2,3"}}, {}},
      {"short last row quarantined", "a,b\n1", 2, false, false, {{"a", "b"}}, {{"1"}}},
      {"long unterminated row quarantined", "a\n'1,2\n3,4'5,", 1, true, false, {{"a"}},
       {{"1,2\n3,45", ""}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ExactBytes bytes(c.input);
    VornishOptions options;
    options.delimiter = ',';
    options.quote_char = '\'';
    options.expected_columns = c.width;
    options.fill_ragged_rows = c.fill;
    options.merge_overflow = c.merge;
    const VornishOutcome outcome = vornish_slice(bytes.view(), options);
    std::vector<Row> kept;
    for (std::size_t i = 0; i < outcome.rows.size(); ++i) kept.push_back(outcome.rows.materialize(i));
    std::vector<Row> quarantined;
    for (const QuarantineRecord& r : outcome.quarantined) quarantined.push_back(r.raw_tokens);
    EXPECT_EQ(kept, c.kept);
    EXPECT_EQ(quarantined, c.quarantined);
  }
}

}  // namespace
}  // namespace vornish
