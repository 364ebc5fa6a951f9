// Tests of the clean-output and quarantine line formats.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/vornish.hpp"
#include "engine/writer.hpp"
#include "parser/resilient_parser.hpp"
#include "test_random.hpp"

namespace vornish {
namespace {

std::vector<FieldView> views(const std::vector<std::string>& fields) {
  std::vector<FieldView> out;
  for (const std::string& f : fields) out.push_back(FieldView{f, false});
  return out;
}

// A row the tokenizer calls as read must be one verbatim_line copies, as
// the bytes from its start to the end the tokenizer gives: the file writer
// copies such rows without asking verbatim_line. Returns the verdict.
bool check_as_read(const ResilientParser& parser, std::string_view input, std::size_t start,
                   RowView raw) {
  if (!parser.as_read()) return false;
  const auto same = verbatim_line(input, start, raw, parser.delimiter(), parser.quote_char());
  EXPECT_TRUE(same.has_value()) << testing::PrintToString(std::string(input));
  if (same) {
    EXPECT_EQ(*same, input.substr(start, parser.as_read_end() - start))
        << testing::PrintToString(std::string(input));
  }
  return true;
}

TEST(CsvLineFormatter, QuotesOnlyWhatNeedsIt) {
  struct Case {
    std::string name;
    std::uint8_t delimiter, quote;
    std::vector<std::string> fields;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"worked example", ';', '"', {"plain", "say\"so", "a;b"}, "plain;\"say\"\"so\";\"a;b\"\n"},
      {"quote alone", ',', '"', {"\"", "x"}, "\"\"\"\",x\n"},
      {"line ends", ',', '"', {"\r", "\n", "a\r\nb"}, "\"\r\",\"\n\",\"a\r\nb\"\n"},
      {"spaces and empties stay plain", ',', '"', {" a ", "", "\t"}, " a ,,\t\n"},
      {"no fields", ',', '"', {}, "\n"},
      {"other quote byte", ',', '\'', {"it's", "say \"x\""}, "'it''s',say \"x\"\n"},
      {"delimiter equal to quote", ',', ',', {"a,b", "c"}, ",a,,b,,c\n"},
      // U+00A7 as delimiter is written as C2 A7 and only that text forces
      // quoting; U+00A8 and U+00C7 share a lead byte or nothing with it.
      {"two-byte delimiter", 0xA7, '"', {"a\xC2\xA7" "b", "\xC2\xA8", "\xC3\x87"},
       "\"a\xC2\xA7" "b\"\xC2\xA7\xC2\xA8\xC2\xA7\xC3\x87\n"},
      // U+00AB as quote: doubled inside, wrapped around.
      {"two-byte quote", ',', 0xAB, {"x\xC2\xAB" "y", "\xC2\xBB"},
       "\xC2\xAB" "x\xC2\xAB\xC2\xAB" "y\xC2\xAB,\xC2\xBB\n"},
      {"two-byte quote and delimiter share a lead", 0xA7, 0xAB, {"\xC2\xAB", "\xC2\xA7", "\xC2\xA0"},
       "\xC2\xAB\xC2\xAB\xC2\xAB\xC2\xAB\xC2\xA7\xC2\xAB\xC2\xA7\xC2\xAB\xC2\xA7\xC2\xA0\n"},
  };
  for (const Case& c : cases) {
    const CsvLineFormatter formatter(c.delimiter, c.quote);
    std::string line = "kept:";
    const auto row = views(c.fields);
    formatter.append_row(line, row);
    EXPECT_EQ(line, "kept:" + c.expected) << c.name;
  }
}

// Every position of every length, so the word-at-a-time scan and its tail
// both see each special byte.
// The formatter's line for `fields`, written out the plain way.
std::string plain_line(const std::vector<std::string>& fields, char delimiter, char quote) {
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i != 0) line += delimiter;
    const std::string& f = fields[i];
    if (f.find_first_of(std::string{delimiter, quote, '\n', '\r'}) == std::string::npos) {
      line += f;
      continue;
    }
    line += quote;
    for (const char c : f) {
      line += c;
      if (c == quote) line += quote;
    }
    line += quote;
  }
  return line + '\n';
}

std::string formatted(const CsvLineFormatter& formatter, const std::vector<std::string>& fields) {
  std::vector<FieldView> views;
  for (const std::string& f : fields) views.push_back(FieldView{f, true});
  std::string line = "prefix";
  formatter.append_row(line, views);
  return line.substr(6);
}

TEST(CsvLineFormatter, FindsSpecialsAtAnyPosition) {
  const CsvLineFormatter ascii(';', '\'');
  const CsvLineFormatter wide(0xA7, 0xAB);
  for (std::size_t n = 1; n <= 40; ++n) {
    const std::string plain(n, 'x');
    EXPECT_FALSE(ascii.needs_quoting(plain)) << n;
    EXPECT_FALSE(wide.needs_quoting(plain)) << n;
    EXPECT_EQ(formatted(ascii, {plain, "y"}), plain + ";y\n");
    for (std::size_t at = 0; at < n; ++at) {
      for (const char special : {';', '\'', '\n', '\r'}) {
        std::string field = plain;
        field[at] = special;
        EXPECT_TRUE(ascii.needs_quoting(field)) << n << " " << at << " " << int(special);
        // Alone, and beside fields of every length the row copies.
        const std::vector<std::string> row = {field, plain.substr(0, at), "", field};
        EXPECT_EQ(formatted(ascii, row), plain_line(row, ';', '\''))
            << n << " " << at << " " << int(special);
      }
      for (const char* special : {"\xC2\xA7", "\xC2\xAB"}) {
        const std::string field = plain.substr(0, at) + special + plain.substr(at);
        EXPECT_TRUE(wide.needs_quoting(field)) << n << " " << at;
      }
    }
  }
}

TEST(QuarantineLine, AlwaysCommaAndDoubleQuote) {
  struct Case {
    std::string name;
    std::size_t line;
    std::string reason;
    std::vector<std::string> tokens;
    std::string separator, expected;
  };
  const std::vector<Case> cases = {
      {"worked example", 7, reason_text(QuarantineReason::TooFew, 3), {"x", "y\"z"}, ";",
       "7,\"Row has too few columns (expected 3)\",\"x;y\"\"z\"\n"},
      {"multi-line token", 18446744073709551615ULL, "r", {"a\nb", ""}, ",",
       "18446744073709551615,\"r\",\"a\nb,\"\n"},
      {"quote as delimiter", 2, "r", {"a", "b"}, "\"", "2,\"r\",\"a\"\"b\"\n"},
  };
  for (const Case& c : cases) {
    std::string out = "kept:";
    const auto row = views(c.tokens);
    append_quarantine_line(out, c.line, c.reason, row, c.separator);
    EXPECT_EQ(out, "kept:" + c.expected) << c.name;
  }
}

// Which rows are copied as they stand: the copy must be exactly what the
// formatter writes, and rows that the formatter rewrites must not qualify.
TEST(VerbatimLine, CopiesOnlyRowsTheFormatterWritesUnchanged) {
  struct Case {
    std::string name, input;
    std::size_t expected_columns;
    bool skip_initial_space;
    std::vector<bool> copied;  // per row
  };
  const std::vector<Case> cases = {
      {"plain rows, every line end", "a,b\nc,d\r\ne,f\rg,h", 2, false, {true, true, true, true}},
      {"empty fields and blank line", ",\n\n,x,\n", 0, false, {true, true, true}},
      {"quoted field needing no quotes", "\"a\",b\na,\"b\"\n", 2, false, {false, false}},
      {"quoted field needing its quotes", "\"a,b\",c\nc,\"a\nb\"\n\"a\rb\"\n", 0, false,
       {true, true, true}},
      {"doubled and stray quotes", "\"a\"\"b,\"\n\"a,\"b\" c\",d\n", 0, false, {true, false}},
      {"doubled quotes only", "\"\"\"a\"\"\",\"\"\"\"\n\"a\"\"\"\"b\",\"x\"\"\",\"\"\"\"\n", 0, false, {true, true}},
      {"doubled quote, the field unclosed", "\"a\"\"b\n", 0, false, {false}},
      {"blank after the closing quote", "\"a,b\" ,c\n", 0, false, {false}},
      {"unterminated", "\"a,b", 0, false, {false}},
      {"quote inside unquoted field", "x\"y,1\n", 2, false, {false}},
      {"padded and merged", "a\na,b,c\na,b\n", 2, false, {false, false, true}},
      {"invalid and valid UTF-8", "\xFF,b\n\xC3\xA9,b\n", 2, false, {false, true}},
      {"dropped initial blanks", "a, b\na,b\n", 2, true, {false, true}},
      {"blanks kept as content", " a , b \n", 2, false, {true}},
      {"byte-order mark", "\xEF\xBB\xBF" "a,b\n", 2, false, {true}},
  };
  for (const Case& c : cases) {
    ResilientParser parser(c.input, ',', '"', true, c.skip_initial_space);
    RowShaper shaper(c.expected_columns, ',');
    const CsvLineFormatter formatter(',', '"');
    std::vector<bool> copied;
    for (;;) {
      const std::size_t start = parser.pos();
      const auto raw = parser.next_row_as_read();
      if (!raw) break;
      check_as_read(parser, c.input, start, *raw);
      const RowView row = shaper.shape(*raw);
      std::string formatted;
      formatter.append_row(formatted, row);
      const auto same = verbatim_line(c.input, start, row, ',', '"');
      copied.push_back(same.has_value());
      if (same) {
        EXPECT_EQ(std::string(*same) + "\n", formatted) << c.name;
      }
    }
    EXPECT_EQ(copied, c.copied) << c.name;
  }
}

// Every short input over the bytes that matter, under several dialects:
// whenever a row is copied, the copy is the formatter's line.
TEST(VerbatimLine, AgreesWithTheFormatterOnEveryShortInput) {
  const std::string alphabet = std::string("a,;\"' \r\n\xC3\xA9\xFF", 12);
  struct Dialect { std::uint8_t delimiter, quote; bool skip; };
  const Dialect dialects[] = {{',', '"', false}, {';', '\'', true}, {',', ',', false},
                              {0xA7, '"', false}, {',', 0xAB, false}};
  std::size_t copies = 0;
  std::size_t as_read = 0;
  for (const Dialect& d : dialects) {
    const CsvLineFormatter formatter(d.delimiter, d.quote);
    for (std::size_t n = 1; n <= 5; ++n) {
      std::vector<std::size_t> digits(n, 0);
      for (;;) {
        std::string input;
        for (const std::size_t k : digits) input += alphabet[k];
        for (const std::size_t width : {std::size_t{0}, std::size_t{2}}) {
          ResilientParser parser(input, d.delimiter, d.quote, true, d.skip);
          RowShaper shaper(width, d.delimiter);
          for (;;) {
            const std::size_t start = parser.pos();
            const auto raw = parser.next_row_as_read();
            if (!raw) break;
            as_read += check_as_read(parser, input, start, *raw);
            // Exactly the rows copied: a writer that has the tokenizer's
            // verdict formats every other row without looking again.
            if (ResilientParser::judges_as_read(d.delimiter, d.quote)) {
              ASSERT_EQ(parser.as_read(),
                        verbatim_line(input, start, *raw, d.delimiter, d.quote).has_value())
                  << testing::PrintToString(input);
            }
            const RowView row = shaper.shape(*raw);
            if (const auto same = verbatim_line(input, start, row, d.delimiter, d.quote)) {
              std::string formatted;
              formatter.append_row(formatted, row);
              ASSERT_EQ(std::string(*same) + "\n", formatted) << testing::PrintToString(input);
              ++copies;
            }
          }
        }
        std::size_t i = 0;
        while (i < n && ++digits[i] == alphabet.size()) digits[i++] = 0;
        if (i == n) break;
      }
    }
  }
  EXPECT_GT(copies, 0u);
  EXPECT_GT(as_read, 0u);
}

// Long rows of whole fields at every dispatch level, so that fields lie
// across block boundaries and leave the tokenizer's fast lane: rows called
// as read must be copies, and rows of plain, quoted and non-ASCII fields
// must be called as read wherever they sit.
TEST(VerbatimLine, AsReadRowsAreCopiesAtEveryLevel) {
  const std::string_view tokens[] = {"ab", "abcdefghijklmnopqrstu", "\"a,b\"", "\"a\nb\"", "\"ab\"",
                                     "\"a\"\"b\"", "x\xC3\xA9", "\xFF", ",", ",", ",", " ",
                                     "\"", "a\"b", "\"a,b\" ", "\n", "\r\n", "\r"};
  const SimdLevel levels[] = {SimdLevel::Avx512, SimdLevel::Avx2, SimdLevel::Sse2,
                              SimdLevel::Scalar};
  std::uint64_t seed = 0x2545F4914F6CDD1DULL;
  auto next = [&seed] { return testing_support::xorshift(seed); };
  std::size_t as_read = 0;
  for (int iteration = 0; iteration < 3000; ++iteration) {
    std::string input;
    const std::size_t length = next() % 120;
    for (std::size_t i = 0; i < length; ++i) input += tokens[next() % std::size(tokens)];
    const bool repair = next() % 4 != 0;
    const bool skip_space = next() % 4 == 0;
    for (const SimdLevel level : levels) {
      if (!simd_level_supported(level)) continue;
      ResilientParser parser(input, ',', '"', repair, skip_space, level);
      for (;;) {
        const std::size_t start = parser.pos();
        const auto raw = parser.next_row_as_read();
        if (!raw) break;
        as_read += check_as_read(parser, input, start, *raw);
        ASSERT_EQ(parser.as_read(), verbatim_line(input, start, *raw, ',', '"').has_value())
            << testing::PrintToString(input);
      }
    }
  }
  EXPECT_GT(as_read, 1000u);

  // A realistic row at every offset from a block boundary, with and without
  // a line end after it.
  const std::string row = "17,Z\xC3\xBCrich,\"Rossi, Ben\",0.25,\"gift\r\nwrap\",\"a\nb\",,x";
  for (std::size_t pad = 0; pad < 70; ++pad) {
    for (const std::string_view end : {"\n", "\r\n", ""}) {
      const std::string input = std::string(pad, 'p') + "\n" + row + std::string(end);
      for (const SimdLevel level : levels) {
        if (!simd_level_supported(level)) continue;
        ResilientParser parser(input, ',', '"', true, false, level);
        ASSERT_TRUE(parser.next_row().has_value());
        const std::size_t start = parser.pos();
        const auto raw = parser.next_row_as_read();
        ASSERT_TRUE(raw.has_value());
        EXPECT_TRUE(check_as_read(parser, input, start, *raw)) << pad << " " << end.size();
        EXPECT_EQ(parser.as_read_end(), input.size() - end.size());
      }
    }
  }
}

// Rows long enough for the sixteen-byte steps, with one quote or one
// forcing byte at every position: the copy test must see each of them.
TEST(VerbatimLine, SeesEveryByteOfLongRows) {
  const CsvLineFormatter formatter(',', 'o');
  for (std::size_t n = 14; n <= 50; ++n) {
    for (std::size_t k = 0; k < n; ++k) {
      for (const char special : {'o', ','}) {
        // One plain field, and a quoted one holding a comma (copied as it
        // stands) with `special` inside it or in the plain field.
        std::string plain(n, 'x');
        plain[k] = special;
        for (const bool quoted_first : {false, true}) {
          const std::string input = quoted_first ? "oa,bo," + plain + "\n" : plain + "\n";
          ResilientParser parser(input, ',', 'o', true);
          const auto row = parser.next_row();
          ASSERT_TRUE(row.has_value());
          std::string formatted;
          formatter.append_row(formatted, *row);
          const auto same = verbatim_line(input, 0, *row, ',', 'o');
          EXPECT_EQ(same.has_value(), formatted == input) << input;
          if (same) {
            EXPECT_EQ(std::string(*same) + "\n", formatted) << input;
          }
        }
      }
    }
  }
}

TEST(Texts, ReasonsAndBytes) {
  EXPECT_EQ(reason_text(QuarantineReason::TooFew, 0), "Row has too few columns (expected 0)");
  EXPECT_EQ(reason_text(QuarantineReason::Extra, 12), "Row has extra columns (expected 12)");
  EXPECT_EQ(byte_as_text(0x00), std::string(1, '\0'));
  EXPECT_EQ(byte_as_text(0x7F), "\x7F");
  EXPECT_EQ(byte_as_text(0x80), "\xC2\x80");
  EXPECT_EQ(byte_as_text(0xBF), "\xC2\xBF");
  EXPECT_EQ(byte_as_text(0xC0), "\xC3\x80");
  EXPECT_EQ(byte_as_text(0xFF), "\xC3\xBF");
}

}  // namespace
}  // namespace vornish
