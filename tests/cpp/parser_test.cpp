// Tokenizer behaviour on damaged input, row by row, with the line counter
// checked after every call.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "parser/resilient_parser.hpp"
#include "parser/utf8.hpp"
#include "code_page.hpp"
#include "test_random.hpp"

namespace vornish {
namespace {

struct ExpectedRow {
  Row fields;
  std::size_t line;
};

struct Case {
  std::string name;
  std::string input;
  std::vector<ExpectedRow> rows;
  bool repair = true;
  char delimiter = ',';
  char quote = '\'';
};

std::vector<ExpectedRow> parse_all(const Case& c) {
  ResilientParser parser(c.input, static_cast<std::uint8_t>(c.delimiter),
                         static_cast<std::uint8_t>(c.quote), c.repair);
  std::vector<ExpectedRow> out;
  std::size_t last_pos = parser.pos();
  while (auto row = parser.next_row()) {
    EXPECT_GT(parser.pos(), last_pos) << "a row must consume input";
    last_pos = parser.pos();
    out.push_back({to_row(*row), parser.line()});
  }
  EXPECT_FALSE(parser.next_row().has_value()) << "absent must stay absent";
  EXPECT_EQ(parser.pos(), c.input.size());
  return out;
}

const std::string kBom = "\xEF\xBB\xBF";
const std::string kReplacement = "\xEF\xBF\xBD";

const std::vector<Case> kCases = {
    {"plain rows", "a,b,c\nd,e,f\n", {{{"a", "b", "c"}, 2}, {{"d", "e", "f"}, 3}}},
    {"trailing delimiter", "a,b,", {{{"a", "b", ""}, 1}}},
    {"lone delimiter", ",", {{{"", ""}, 1}}},
    {"empty lines", "\n\n", {{{""}, 2}, {{""}, 3}}},
    {"mixed line ends", "a\r\nb\rc\n\rd",
     {{{"a"}, 2}, {{"b"}, 3}, {{"c"}, 4}, {{""}, 5}, {{"d"}, 5}}},
    {"doubled quote", "'a''b',c", {{{"a'b", "c"}, 1}}},
    {"blanks after closing quote", "'abc'  ,d", {{{"abc", "d"}, 1}}},
    {"text after closing quote", "'abc' d e,f", {{{"abcd e", "f"}, 1}}},
    {"quote inside unquoted field", "x'y'z,1", {{{"x'y'z", "1"}, 1}}},
    {"stray quotes repaired", "'ab'c'd',e\n", {{{"ab'c'd", "e"}, 2}}},
    {"stray quotes unrepaired", "'ab'c'd',e\n", {{{"abc'd'", "e"}, 2}}, false},
    {"stray quotes with delimiter inside", "'He said 'hi, there' ok',x\n",
     {{{"He said 'hi, there' ok", "x"}, 2}}},
    {"stray quotes with delimiter inside unrepaired", "'He said 'hi, there' ok',x\n",
     {{{"He said hi", " there' ok'", "x"}, 2}}, false},
    {"text after quote repaired", "'abc'def,ghi\n", {{{"abcdef", "ghi"}, 2}}},
    {"text after quote unrepaired", "'abc'def,ghi\n", {{{"abcdef", "ghi"}, 2}}, false},
    {"doubled quote keeps field open", "'a'x''\n", {{{"a'x'\n"}, 2}}},
    {"no later closer", "'a' b' c\n", {{{"ab' c"}, 2}}},
    {"later closer before blanks", "'a' b'  \n", {{{"a' b"}, 2}}},
    {"unterminated", "'unterminated,x\ny,z\n", {{{"unterminated,x\ny,z\n"}, 3}}},
    {"bom skipped", kBom + "a,b", {{{"a", "b"}, 1}}},
    {"bom alone", kBom, {}},
    {"bom in the middle is content", "a" + kBom + ",b", {{{"a" + kBom, "b"}, 1}}},
    {"one quote", "'", {{{""}, 1}}},
    {"two quotes", "''", {{{""}, 1}}},
    {"three spaces", "   ", {{{"   "}, 1}}},
    {"quoted CR LF", "'a\r\nb',c\nd", {{{"a\r\nb", "c"}, 3}, {{"d"}, 3}}},
    {"quoted lone CR", "'a\rb',c\nd", {{{"a\rb", "c"}, 2}, {{"d"}, 2}}},
    {"tab delimiter skipped as blank", "'abc'\t'def'\n", {{{"abc'\t'def"}, 2}}, true, '\t'},
    {"tab delimiter unrepaired", "'abc'\t'def'\n", {{{"abc", "def"}, 2}}, false, '\t'},
    {"tab delimiter after quote", "'abc'\tdef\n", {{{"abc", "def"}, 2}}, true, '\t'},
    {"tab delimiter skipped as blank after a field", "r\nx\t'abc'\t'def'\n",
     {{{"r"}, 2}, {{"x", "abc'\t'def"}, 3}}, true, '\t'},
    {"quoted fields after fields", "r\na,'b c',d\ne,'f',\n'g'h,'i'\r\nj,'k''l',m",
     {{{"r"}, 2}, {{"a", "b c", "d"}, 3}, {{"e", "f", ""}, 4}, {{"g'h,'i"}, 5}, {{"j", "k'l", "m"}, 5}}},
    {"invalid byte", "a\xFF" "b,c", {{{"a" + kReplacement + "b", "c"}, 1}}},
    {"invalid byte in copied field", "'a''\xFF',c", {{{"a'" + kReplacement, "c"}, 1}}},
    {"empty input", "", {}},
    {"quote as last byte", "a,'b'", {{{"a", "b"}, 1}}},
    {"delimiter equals quote", "a'b'", {{{"a", "b", ""}, 1}}, true, '\'', '\''},
    {"line end right after opening quote", "'\n',x\n", {{{"\n", "x"}, 3}}},
    {"empty field then line end", "a,\r\n,b", {{{"a", ""}, 2}, {{"", "b"}, 2}}},
};

class ParserCases : public ::testing::TestWithParam<Case> {};

TEST_P(ParserCases, RowsAndLines) {
  const Case& c = GetParam();
  const std::vector<ExpectedRow> got = parse_all(c);
  ASSERT_EQ(got.size(), c.rows.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].fields, c.rows[i].fields) << "row " << i;
    EXPECT_EQ(got[i].line, c.rows[i].line) << "row " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, ParserCases, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& param) {
                           std::string name;
                           for (char ch : param.param.name) name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                           return name;
                         });

TEST(Parser, ContiguousFieldsPointIntoTheInput) {
  const std::string input = "abc,'d,e',\"q\"\n";
  ResilientParser parser(input, ',', '\'', true);
  auto row = parser.next_row();
  ASSERT_TRUE(row);
  for (const FieldView& f : *row) {
    EXPECT_GE(f.text.data(), input.data());
    EXPECT_LE(f.text.data() + f.text.size(), input.data() + input.size());
  }
}

TEST(Parser, AsciiFlag) {
  const std::string input = "abc,h\xC3\xA9,\xFF\n";
  ResilientParser parser(input, ',', '"', true);
  auto row = parser.next_row();
  ASSERT_TRUE(row);
  ASSERT_EQ(row->size(), 3u);
  EXPECT_TRUE((*row)[0].ascii);
  EXPECT_FALSE((*row)[1].ascii);
  EXPECT_FALSE((*row)[2].ascii);
}

TEST(Parser, SkipRowCountsLikeNextRow) {
  const std::string input = "a,'b,c'd,e\n'x''y',\n\n'unterminated,\n";
  ResilientParser full(input, ',', '\'', true);
  ResilientParser skim(input, ',', '\'', true);
  while (auto row = full.next_row()) {
    auto count = skim.skip_row();
    ASSERT_TRUE(count);
    EXPECT_EQ(*count, row->size());
    EXPECT_EQ(skim.pos(), full.pos());
    EXPECT_EQ(skim.line(), full.line());
  }
  EXPECT_FALSE(skim.skip_row());
}

TEST(Parser, SeekRereadsARow) {
  const std::string input = "a,b\n'c''d',e\nf\n";
  ResilientParser parser(input, ',', '\'', true);
  ASSERT_TRUE(parser.next_row());
  const std::size_t second = parser.pos();
  const Row expected = to_row(*parser.next_row());
  ASSERT_TRUE(parser.next_row());
  parser.seek(second);
  EXPECT_EQ(to_row(*parser.next_row()), expected);
}

// A row is finished by a line end or cut off by the end of the data; a
// caller holding part of a file needs to tell which. An LF inside an open
// quote at the very end does not finish the row.
TEST(Parser, TellsLineEndFromEndOfData) {
  struct EndCase {
    std::string input;
    std::vector<bool> ended_at_line_end;
  };
  const std::vector<EndCase> cases = {
      {"a,b\n", {true}},
      {"a,b", {false}},
      {"a\r", {true}},
      {"a\r\nb", {true, false}},
      {"'x\n", {false}},
      {"'x'\n'y", {true, false}},
      {"\n", {true}},
  };
  for (const EndCase& c : cases) {
    ResilientParser parser(c.input, ',', '\'', true);
    std::vector<bool> seen;
    while (parser.next_row()) seen.push_back(parser.ended_at_line_end());
    EXPECT_EQ(seen, c.ended_at_line_end) << c.input;
  }
}

// Blanks after a delimiter are dropped; the first field of a row and
// blanks inside or after a field are left alone.
TEST(Parser, SkipsInitialSpaceWhenAsked) {
  struct SpaceCase {
    std::string input;
    char delimiter;
    Row expected;
  };
  const std::vector<SpaceCase> cases = {
      {"a, b,  c", ',', {"a", "b", "c"}},
      {" a , b ", ',', {" a ", "b "}},
      {"a, 'b, c' ,d", ',', {"a", "b, c", "d"}},
      {"a,\t \n", ',', {"a", ""}},
      {"a, ", ',', {"a", ""}},
      {"a  b", ' ', {"a", "b"}},
      {"a\t\tb", '\t', {"a", "b"}},
  };
  for (const SpaceCase& c : cases) {
    ResilientParser parser(c.input, static_cast<std::uint8_t>(c.delimiter), '\'', true, true);
    EXPECT_EQ(to_row(*parser.next_row()), c.expected) << c.input;
    ResilientParser plain(c.input, static_cast<std::uint8_t>(c.delimiter), '\'', true);
    EXPECT_NE(to_row(*plain.next_row()), c.expected) << c.input;
  }
}

TEST(Parser, StartsInsideALargerInput) {
  const std::string input = "a,b\n'c\nd',e\nf\n";
  ResilientParser parser(input, ',', '\'', true);
  parser.seek(4);
  parser.set_line(10);
  EXPECT_EQ(to_row(*parser.next_row()), (Row{"c\nd", "e"}));
  EXPECT_EQ(parser.line(), 12u);
  EXPECT_EQ(to_row(*parser.next_row()), (Row{"f"}));
  EXPECT_EQ(parser.line(), 13u);
}

// Many stray quotes on one line: every quote must be judged by the same
// rule as with a fresh look-ahead.
TEST(Parser, ManyStrayQuotesOnOneLine) {
  std::string input = "'";
  std::string expected;
  for (int i = 0; i < 1000; ++i) {
    input += "a' ";
    expected += "a' ";
  }
  input += "end',x\n";
  expected += "end";
  ResilientParser parser(input, ',', '\'', true);
  auto row = parser.next_row();
  ASSERT_TRUE(row);
  EXPECT_EQ(to_row(*row), (Row{expected, "x"}));
}

struct DecodeCase {
  std::string bytes;
  std::string expected;
};

// Expected values are what bytes.decode('utf-8', 'replace') gives.
TEST(Utf8, ReplacesEachMaximalSubpartOnce) {
  const std::string r = kReplacement;
  const std::vector<DecodeCase> cases = {
      {"abc", "abc"},
      {"\xC3\xA9", "\xC3\xA9"},
      {"\xC3", r},
      {"\xC3" "a", r + "a"},
      {"\xE2\x82", r},
      {"\xE2\x82" "a", r + "a"},
      {"\xE2\x82\xAC", "\xE2\x82\xAC"},
      {"\xF0\x9F\x98", r},
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
      {"\x80", r},
      {"\x80\x80", r + r},
      {"\xC0\xAF", r + r},
      {"\xE0\x80\xAF", r + r + r},
      {"\xED\xA0\x80", r + r + r},
      {"\xF4\x90\x80\x80", r + r + r + r},
      {"\xF5", r},
      {"\xFF\xFE", r + r},
      {"\xF1\x80\x80" "\xE1\x80" "\xC2", r + r + r},
      {"a\xF0\x90\x80" "b", "a" + r + "b"},
  };
  for (const auto& c : cases) {
    std::string out;
    utf8::append_replacing(out, c.bytes);
    EXPECT_EQ(out, c.expected);
    EXPECT_EQ(utf8::check(c.bytes) == utf8::Check::Invalid, out != c.bytes);
  }
}

}  // namespace
}  // namespace vornish

namespace vornish {
namespace {

// A deliberately plain transcription of the tokenizer rules: byte by byte,
// every field copied, the closing-quote look-ahead rescanned for every quote.
// The real parser must agree with it on every input.
class ReferenceParser {
 public:
  ReferenceParser(std::string_view data, std::uint8_t delim, std::uint8_t quote, bool repair,
                  bool skip_space = false)
      : d_(data), delim_(delim), quote_(quote), repair_(repair), skip_space_(skip_space) {
    if (d_.size() >= 3 && d_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
  }
  std::size_t line = 1;
  std::size_t pos() const { return pos_; }

  std::optional<Row> next() {
    if (pos_ >= d_.size()) return std::nullopt;
    enum { Start, Unq, Q, After } st = Start;
    Row row;
    std::string buf;
    auto finish = [&] {
      std::string text;
      utf8::append_replacing(text, buf);
      row.push_back(text);
      buf.clear();
    };
    auto line_end = [&] {
      if (at(pos_) == '\r' && pos_ + 1 < d_.size() && at(pos_ + 1) == '\n') ++pos_;
      ++pos_;
      ++line;
      finish();
      return row;
    };
    for (;;) {
      if (pos_ >= d_.size()) {
        if (st == Start && row.empty()) return std::nullopt;
        finish();
        return row;
      }
      const std::uint8_t c = at(pos_);
      switch (st) {
        case Start:
          if (c == quote_) { ++pos_; st = Q; }
          else if (skip_space_ && !row.empty() && (c == ' ' || c == '\t')) ++pos_;
          else if (c == delim_) { finish(); ++pos_; }
          else if (c == '\n' || c == '\r') return line_end();
          else { buf += static_cast<char>(c); ++pos_; st = Unq; }
          break;
        case Unq:
          if (c == delim_) { finish(); ++pos_; st = Start; }
          else if (c == '\n' || c == '\r') return line_end();
          else { buf += static_cast<char>(c); ++pos_; }
          break;
        case Q:
          if (c == quote_ && pos_ + 1 == d_.size()) { ++pos_; st = After; }
          else if (c == quote_ && at(pos_ + 1) == quote_) { buf += static_cast<char>(c); pos_ += 2; }
          else if (c == quote_) {
            if (!repair_ || closes(pos_)) { ++pos_; st = After; }
            else { buf += static_cast<char>(c); ++pos_; }
          } else if (c == '\n') { ++line; buf += '\n'; ++pos_; }
          else { buf += static_cast<char>(c); ++pos_; }
          break;
        case After:
          if (c == delim_) { finish(); ++pos_; st = Start; }
          else if (c == ' ' || c == '\t') ++pos_;
          else if (c == '\n' || c == '\r') return line_end();
          else { buf += static_cast<char>(c); ++pos_; st = Unq; }
          break;
      }
    }
  }

 private:
  std::uint8_t at(std::size_t i) const { return static_cast<std::uint8_t>(d_[i]); }
  bool field_end_after(std::size_t q) const {
    std::size_t j = q + 1;
    while (j < d_.size() && (at(j) == ' ' || at(j) == '\t')) ++j;
    return j == d_.size() || at(j) == delim_ || at(j) == '\r' || at(j) == '\n';
  }
  bool closes(std::size_t i) const {
    if (field_end_after(i)) return true;
    for (std::size_t j = i + 1; j < d_.size() && at(j) != '\r' && at(j) != '\n'; ++j) {
      if (at(j) == quote_ && field_end_after(j)) return false;
    }
    return true;
  }
  std::string_view d_;
  std::size_t pos_ = 0;
  std::uint8_t delim_, quote_;
  bool repair_;
  bool skip_space_;
};

const SimdLevel kLevels[] = {SimdLevel::Best, SimdLevel::Avx512, SimdLevel::Avx2, SimdLevel::Sse2,
                              SimdLevel::Scalar};

std::string level_name(SimdLevel level) {
  switch (level) {
    case SimdLevel::Best: return "best";
    case SimdLevel::Avx512: return "avx512";
    case SimdLevel::Avx2: return "avx2";
    case SimdLevel::Sse2: return "sse2";
    case SimdLevel::Scalar: return "scalar";
  }
  return "?";
}

// Every level the processor runs, against the plain transcription: rows,
// positions and lines. Lengths past 64 bytes put field ends on both sides
// of block boundaries and in the padded last block.
// Field-sized pieces for the random rows; the delimiters in use are
// among them.
const std::string_view kTokens[] = {"ab", "abc", "'ab'", "\"ab\"", "'a,b'", "'a b'", "''",
                                    "'a''b'", "x\xC3\xA9", "\xFF", ",", ",", ";", "\t",
                                    " ", "\n", "\n", "\r\n", "\r", "'", "\""};

// Bytes that make quotes, blanks and line ends meet often, or rows of whole
// fields, plain and quoted, so that runs of fields of every kind follow one
// another as in real files; now and then behind a byte-order mark.
template <typename Next>
std::string random_input(Next& next, int iteration) {
  const std::string alphabet = std::string("ab,;\t '\"\r\n\n\xC3\xA9\xFF", 15);
  std::string input;
  const std::size_t length = next() % (iteration % 4 == 0 ? 300 : 40);
  if (iteration % 2 == 0) {
    // Long plain runs now and then, so that fields span whole blocks.
    const bool runs = next() % 3 == 0;
    for (std::size_t i = 0; i < length; ++i) {
      const char c = alphabet[next() % alphabet.size()];
      input += c;
      if (runs && c == 'a') input.append(next() % 150, 'a');
    }
  } else {
    for (std::size_t i = 0; i < length; ++i) {
      input += kTokens[next() % std::size(kTokens)];
    }
  }
  if (next() % 8 == 0) input = "\xEF\xBB\xBF" + input;
  return input;
}

TEST(Parser, AgreesWithPlainTranscriptionOnRandomInput) {
  std::uint64_t seed = 0x9E3779B97F4A7C15ULL;
  auto next = [&seed] { return testing_support::xorshift(seed); };
  const std::uint8_t delims[] = {',', ';', '\t', ' ', '\''};
  for (int iteration = 0; iteration < 20000; ++iteration) {
    const std::string input = random_input(next, iteration);
    const std::uint8_t delim = delims[next() % 5];
    const std::uint8_t quote = (next() % 2) ? '\'' : '"';
    const bool repair = next() % 4 != 0;
    const bool skip_space = next() % 4 == 0;

    for (const SimdLevel level : kLevels) {
      if (!simd_level_supported(level)) continue;
      ResilientParser fast(input, delim, quote, repair, skip_space, level);
      ResilientParser counting(input, delim, quote, repair, skip_space, level);
      ReferenceParser slow(input, delim, quote, repair, skip_space);
      for (;;) {
        auto expected = slow.next();
        auto got = fast.next_row();
        const auto width = counting.skip_row();
        ASSERT_EQ(got.has_value(), expected.has_value()) << level_name(level) << " input: " << input;
        ASSERT_EQ(width.has_value(), expected.has_value()) << level_name(level) << " input: " << input;
        if (!got) break;
        ASSERT_EQ(to_row(*got), *expected) << level_name(level) << " input: " << input;
        ASSERT_EQ(*width, expected->size()) << level_name(level) << " input: " << input;
        for (const FieldView& field : *got) {
          const bool ascii = std::all_of(field.text.begin(), field.text.end(),
                                         [](char c) { return static_cast<unsigned char>(c) < 0x80; });
          ASSERT_EQ(field.ascii, ascii) << level_name(level) << " input: " << input;
        }
        ASSERT_EQ(fast.line(), slow.line) << level_name(level) << " input: " << input;
        ASSERT_EQ(fast.pos(), slow.pos()) << level_name(level) << " input: " << input;
        ASSERT_EQ(counting.pos(), slow.pos()) << level_name(level) << " input: " << input;
        ASSERT_EQ(counting.line(), slow.line) << level_name(level) << " input: " << input;
      }
    }
  }
}

// Calls `check(input, delimiter, quote, repair, level, next)` on 20,000
// random inputs under the delimiters rows are judged under, either quote,
// with and without quote repair, at every level the processor runs; `next`
// draws more random numbers. Stops at the first fatal failure.
template <typename Check>
void for_random_judged_inputs(std::uint64_t seed, Check check) {
  auto next = [&seed] { return testing_support::xorshift(seed); };
  const std::uint8_t delims[] = {',', ';', '\t', ' '};
  for (int iteration = 0; iteration < 20000; ++iteration) {
    const std::string input = random_input(next, iteration);
    const std::uint8_t delim = delims[next() % 4];
    const std::uint8_t quote = (next() % 2) ? '\'' : '"';
    const bool repair = next() % 4 != 0;
    for (const SimdLevel level : kLevels) {
      if (!simd_level_supported(level)) continue;
      check(input, delim, quote, repair, level, next);
      if (testing::Test::HasFatalFailure()) return;
    }
  }
}

// A row next_row_verbatim takes is one next_row_as_read calls as read, of
// the width asked for, ending and leaving the parser where that one does; a
// row it declines is left unread, so the other calls can read it.
TEST(Parser, VerbatimRowsAreAsReadRows) {
  std::size_t taken = 0;
  for_random_judged_inputs(0x2545F4914F6CDD1DULL, [&](const std::string& input, std::uint8_t delim,
                                                      std::uint8_t quote, bool repair,
                                                      SimdLevel level, auto& next) {
      ResilientParser verbatim(input, delim, quote, repair, false, level);
      ResilientParser judged(input, delim, quote, repair, false, level);
      for (;;) {
        const std::size_t pos = verbatim.pos();
        const std::size_t line = verbatim.line();
        const auto expected = judged.next_row_as_read();
        // The row's own width, any width, or one it does not have.
        const std::size_t ask = next() % 3;
        const std::size_t width = !expected ? 0 : ask == 0 ? expected->size() : ask == 1 ? 0 : expected->size() + 1;
        const auto got = verbatim.next_row_verbatim(width);
        if (!expected) {
          ASSERT_FALSE(got) << level_name(level) << " input: " << input;
          break;
        }
        if (got) {
          ++taken;
          ASSERT_TRUE(judged.as_read()) << level_name(level) << " input: " << input;
          ASSERT_EQ(*got, expected->size()) << level_name(level) << " input: " << input;
          ASSERT_NE(ask, 2u) << level_name(level) << " input: " << input;
          ASSERT_EQ(verbatim.as_read_end(), judged.as_read_end())
              << level_name(level) << " input: " << input;
          ASSERT_EQ(verbatim.ended_at_line_end(), judged.ended_at_line_end())
              << level_name(level) << " input: " << input;
        } else {
          ASSERT_EQ(verbatim.pos(), pos) << level_name(level) << " input: " << input;
          ASSERT_EQ(verbatim.line(), line) << level_name(level) << " input: " << input;
          ASSERT_TRUE(verbatim.next_row_as_read()) << level_name(level) << " input: " << input;
        }
        ASSERT_EQ(verbatim.pos(), judged.pos()) << level_name(level) << " input: " << input;
        ASSERT_EQ(verbatim.line(), judged.line()) << level_name(level) << " input: " << input;
      }
  });
  EXPECT_GT(taken, 10000u);
}

// Whether `row`, read from `input` at `start`, lies there exactly as a
// writer would write it, up to `end`: the definition of as_read() spelled
// out field by field, with no masks.
bool written_as_read(std::string_view input, std::size_t start, std::size_t end, RowView row,
                     char delim, char quote) {
  std::size_t at = start;
  for (std::size_t i = 0; i < row.size(); ++i) {
    if (i > 0) {
      if (at >= end || input[at] != delim) return false;
      ++at;
    }
    const std::string_view text = row[i].text;
    if (utf8::check(text) == utf8::Check::Invalid) return false;
    const bool quoted = at < end && input[at] == quote;
    if (quoted) ++at;
    if (quoted && text.find(quote) != std::string_view::npos) {
      // A copy, each of its quotes doubled in the input.
      for (const char c : text) {
        if (at >= end || input[at] != c) return false;
        ++at;
        if (c == quote && (at >= end || input[at++] != quote)) return false;
      }
    } else {
      if (text.data() != input.data() + at || text.find(quote) != std::string_view::npos) return false;
      if (quoted && text.find_first_of(std::string{delim, '\r', '\n'}) == std::string_view::npos) {
        return false;
      }
      at += text.size();
    }
    if (quoted) {
      if (at >= end || input[at] != quote) return false;
      ++at;
    }
  }
  return at == end;
}

// next_row_as_read cuts the rows whose quotes only open and close fields
// from the block masks and judges them there; every row must read as the
// rules read it (next_row never takes that route) and be judged as read
// exactly when it lies in the input as written, with no change on record.
TEST(Parser, RowsJudgedAsReadAreTheRulesRowsAsWritten) {
  std::size_t as_read = 0;
  std::size_t other = 0;
  for_random_judged_inputs(0x6A09E667F3BCC909ULL, [&](const std::string& input, std::uint8_t delim,
                                                      std::uint8_t quote, bool repair,
                                                      SimdLevel level, auto&) {
      ResilientParser judged(input, delim, quote, repair, false, level);
      ResilientParser rules(input, delim, quote, repair, false, level);
      for (;;) {
        const std::size_t start = judged.pos();
        const auto got = judged.next_row_as_read();
        const auto expected = rules.next_row();
        ASSERT_EQ(got.has_value(), expected.has_value()) << level_name(level) << " input: " << input;
        if (!got) break;
        ASSERT_EQ(to_row(*got), to_row(*expected)) << level_name(level) << " input: " << input;
        for (std::size_t i = 0; i < got->size(); ++i) {
          ASSERT_EQ((*got)[i].ascii, (*expected)[i].ascii) << level_name(level) << " input: " << input;
        }
        ASSERT_EQ(judged.pos(), rules.pos()) << level_name(level) << " input: " << input;
        ASSERT_EQ(judged.line(), rules.line()) << level_name(level) << " input: " << input;
        ASSERT_EQ(judged.ended_at_line_end(), rules.ended_at_line_end())
            << level_name(level) << " input: " << input;
        const std::size_t end = judged.as_read_end();
        ASSERT_EQ(judged.as_read(),
                  end <= input.size() && written_as_read(input, start, end, *got, static_cast<char>(delim),
                                                         static_cast<char>(quote)))
            << level_name(level) << " input: " << input;
        if (judged.as_read()) {
          ASSERT_FALSE(judged.changed()) << level_name(level) << " input: " << input;
          ++as_read;
        } else {
          ++other;
        }
      }
  });
  EXPECT_GT(as_read, 10000u);
  EXPECT_GT(other, 10000u);
}

// Text in a single-byte code page reads as its transcription to UTF-8
// does: the same rows, lines, judgements and changes, and a row read as it
// stands is its bytes decoded. Whole rows go through next_row_verbatim too,
// which must take only rows the judging call reads as they stand.
TEST(Parser, CodePageReadsAsItsTranscription) {
  static constexpr std::string_view kPieces[] = {",", ";", "\"", "'", "\"\"", " ", "\n", "\r\n",
                                                 "\r", "a", "bcd", "\x80", "\x85", "\xE9\xFC",
                                                 "\xFF", "\xEF\xBB\xBF", "\xC3\xA9", "\x9A"};
  const utf8::Fallback page = testing_support::test_code_page();
  std::uint64_t seed = 0x51ED270B9A3C4F17ULL;
  auto next = [&seed] { return testing_support::xorshift(seed); };
  std::size_t taken = 0;
  for (int iteration = 0; iteration < 20000; ++iteration) {
    std::string input;
    const std::size_t pieces = next() % (iteration % 4 == 0 ? 120 : 24);
    for (std::size_t i = 0; i < pieces; ++i) {
      input += kPieces[next() % std::size(kPieces)];
      if (next() % 16 == 0) input.append(next() % 90, static_cast<char>(0x80 + next() % 128));
    }
    const std::string text = testing_support::transcribed(input, page);
    const std::uint8_t delim = next() % 2 ? ',' : ';';
    const std::uint8_t quote = next() % 2 ? '"' : '\'';
    const bool repair = next() % 4 != 0;
    for (const SimdLevel level : kLevels) {
      if (!simd_level_supported(level)) continue;
      ResilientParser paged(input, delim, quote, repair, false, level);
      paged.set_code_page(&page);
      ResilientParser verbatim(input, delim, quote, repair, false, level);
      verbatim.set_code_page(&page);
      ResilientParser plain(text, delim, quote, repair, false, level);
      SCOPED_TRACE(::testing::Message() << level_name(level) << " iteration " << iteration);
      for (;;) {
        const std::size_t start = paged.pos();
        const std::size_t text_start = plain.pos();
        const auto got = paged.next_row_as_read();
        const auto expected = plain.next_row_as_read();
        ASSERT_EQ(got.has_value(), expected.has_value());
        if (!got) break;
        ASSERT_EQ(to_row(*got), to_row(*expected));
        for (std::size_t i = 0; i < got->size(); ++i) ASSERT_EQ((*got)[i].ascii, (*expected)[i].ascii);
        ASSERT_EQ(paged.line(), plain.line());
        ASSERT_EQ(paged.ended_at_line_end(), plain.ended_at_line_end());
        ASSERT_EQ(paged.changed(), plain.changed());
        ASSERT_EQ(paged.as_read(), plain.as_read());
        if (paged.as_read()) {
          std::string decoded;
          utf8::append_code_page(decoded, std::string_view(input).substr(start, paged.as_read_end() - start),
                                 page);
          ASSERT_EQ(decoded, text.substr(text_start, plain.as_read_end() - text_start));
        }
        if (verbatim.next_row_verbatim(0)) {
          ++taken;
          ASSERT_TRUE(paged.as_read());
          ASSERT_EQ(verbatim.as_read_end(), paged.as_read_end());
        } else {
          ASSERT_TRUE(verbatim.next_row_as_read());
        }
        ASSERT_EQ(verbatim.pos(), paged.pos());
      }
    }
  }
  EXPECT_GT(taken, 5000u);
}

TEST(Utf8, CodePageDecodesEveryByte) {
  const utf8::Fallback page = testing_support::test_code_page();
  std::string all;
  for (int byte = 0; byte < 256; ++byte) all += static_cast<char>(byte);
  // Every length, so that the word-at-a-time steps meet every tail.
  for (std::size_t size = 0; size <= all.size(); ++size) {
    const std::string_view bytes = std::string_view(all).substr(all.size() - size);
    std::string decoded = "x";
    utf8::append_code_page(decoded, bytes, page);
    std::string expected = "x" + testing_support::transcribed(bytes, page);
    std::string replaced;
    utf8::append_replacing(replaced, expected);
    ASSERT_EQ(decoded, replaced) << size;
    const auto unmapped = static_cast<std::size_t>(std::count(expected.begin(), expected.end(), '\xFF'));
    ASSERT_EQ(utf8::unmapped_in(bytes, page), unmapped) << size;
    for (const SimdLevel level : kLevels) {
      ASSERT_EQ(utf8::unmapped_in(bytes, page, level), unmapped) << size << " " << level_name(level);
    }
  }
}

TEST(Utf8, CodePageDecodesHighBytesAnywhereInABlock) {
  // Text with a high byte now and then, at every offset of the 16-byte steps
  // and in runs, cut at every length; in a page with no Latin-1 part, in
  // Latin-1 itself, and in one whose Latin-1 part starts at 0xA0 below
  // which some bytes are unmapped (windows-1252's shape), where blocks mix
  // bytes the registers expand with bytes looked up one by one.
  std::array<char32_t, 128> latin1{};
  std::array<char32_t, 128> windows{};
  for (char32_t i = 0; i < 128; ++i) {
    latin1[i] = 0x80 + i;
    windows[i] = i >= 0x20 ? 0x80 + i : i % 7 == 1 ? 0xDC80 + i : 0x2010 + i;
  }
  const std::array<utf8::Fallback, 3> pages{testing_support::test_code_page(),
                                            utf8::Fallback("latin-1", latin1),
                                            utf8::Fallback("windows", windows)};
  std::array<utf8::ByteChars, 3> tables{};
  for (std::size_t k = 0; k < pages.size(); ++k) {
    for (unsigned byte = 0; byte < 256; ++byte) {
      const std::string text = byte < 0x80 ? std::string(1, static_cast<char>(byte))
                                           : std::string(pages[k].of(static_cast<unsigned char>(byte)));
      std::copy(text.begin(), text.end(), tables[k].chars[byte].begin());
      tables[k].lengths[byte] = static_cast<std::uint8_t>(text.size());
      tables[k].unmapped[byte] = byte >= 0x80 && !pages[k].mapped(static_cast<unsigned char>(byte));
    }
    tables[k].settle();
  }
  EXPECT_EQ(tables[0].latin1_from, 0x100U);
  EXPECT_EQ(tables[1].latin1_from, 0x80U);
  EXPECT_EQ(tables[2].latin1_from, 0xA0U);
  std::uint64_t state = 0x9E3779B97F4A7C15ULL;
  for (std::size_t k = 0; k < pages.size(); ++k) {
    const utf8::Fallback& page = pages[k];
    for (int round = 0; round < 2000; ++round) {
      const std::size_t size = testing_support::xorshift(state) % 140;
      const std::uint64_t density = 1 + testing_support::xorshift(state) % 8;
      std::string bytes;
      for (std::size_t i = 0; i < size; ++i) {
        const std::uint64_t r = testing_support::xorshift(state);
        bytes += static_cast<char>(r % 8 < density ? 0x80 + (r >> 8) % 128 : 0x20 + (r >> 8) % 95);
      }
      std::string decoded = "x";
      const std::size_t unmapped = utf8::append_code_page(decoded, bytes, page);
      std::string expected;
      utf8::append_replacing(expected, "x" + testing_support::transcribed(bytes, page));
      ASSERT_EQ(decoded, expected) << page.name() << " " << round;
      ASSERT_EQ(unmapped, utf8::unmapped_in(bytes, page)) << page.name() << " " << round;
      // Every form of the decoder the processor runs, on its own, in
      // exactly the room it promises to stay within.
      const std::vector<utf8::ByteDecoder> decoders = utf8::byte_decoders();
      for (std::size_t d = 0; d < decoders.size(); ++d) {
        auto out = std::make_unique<char[]>(3 * bytes.size() + 32);
        std::size_t decoder_unmapped = 0;
        const char* end = decoders[d](out.get(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                                      tables[k], decoder_unmapped);
        ASSERT_EQ("x" + std::string(out.get(), static_cast<std::size_t>(end - out.get())), expected) << page.name() << " " << d;
        ASSERT_EQ(decoder_unmapped, unmapped) << page.name() << " " << d;
      }
      for (const SimdLevel level : kLevels) {
        ASSERT_EQ(utf8::unmapped_in(bytes, page, level), unmapped) << page.name() << " " << level_name(level);
      }
    }
  }
}

TEST(Parser, DispatchLevels) {
  EXPECT_TRUE(simd_level_supported(SimdLevel::Best));
  EXPECT_TRUE(simd_level_supported(SimdLevel::Scalar));
  for (const SimdLevel level : kLevels) {
    const ResilientParser parser("a,b", ',', '"', true, false, level);
    EXPECT_NE(parser.simd_level(), SimdLevel::Best) << level_name(level);
    if (level != SimdLevel::Best && simd_level_supported(level)) {
      EXPECT_EQ(parser.simd_level(), level) << level_name(level);
    }
  }
}

}  // namespace
}  // namespace vornish
