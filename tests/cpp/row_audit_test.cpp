// RowAuditor against the tokenizer: on random rows under every dialect
// setting, the auditor must count the tokenizer's fields, find nothing in
// the rows the tokenizer read as they stand, and report exactly the fields
// whose text carries the changes it names.
#include "parser/row_audit.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "parser/resilient_parser.hpp"
#include "code_page.hpp"
#include "test_random.hpp"

namespace vornish {
namespace {

using testing_support::xorshift;

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

std::size_t occurrences(std::string_view text, std::string_view what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string_view::npos;
       at = text.find(what, at + what.size())) {
    ++n;
  }
  return n;
}

struct Setting {
  std::uint8_t delimiter;
  std::uint8_t quote;
  bool repair_quotes;
  bool skip_initial_space;
};

TEST(RowAudit, AgreesWithTheTokenizerOnRandomRows) {
  static constexpr std::string_view kPieces[] = {",", ";", "\t", " ", "  ", "\"", "'", "\"\"",
                                                 "\n", "\r", "\r\n", "a", "bc", "\xC3\xA9",
                                                 "\xFF", "\xE2\x82", "\xEF\xBF\xBD"};
  static constexpr Setting kSettings[] = {
      {',', '"', true, false}, {',', '"', false, false}, {';', '\'', true, false},
      {'\t', '"', true, false}, {' ', '"', true, false}, {',', '"', true, true},
      {',', ',', true, false},  {'"', '"', false, false}};
  std::uint64_t state = 0x9E3779B97F4A7C15ULL;
  for (int round = 0; round < 20000; ++round) {
    std::string input;
    const std::size_t pieces = xorshift(state) % 24;
    for (std::size_t i = 0; i < pieces; ++i) {
      input += kPieces[xorshift(state) % std::size(kPieces)];
    }
    const Setting& s = kSettings[xorshift(state) % std::size(kSettings)];
    ResilientParser parser(input, s.delimiter, s.quote, s.repair_quotes, s.skip_initial_space);
    RowAuditor auditor(s.delimiter, s.quote, s.repair_quotes, s.skip_initial_space);
    for (;;) {
      const std::size_t start = parser.pos();
      const std::optional<RowView> row = parser.next_row_as_read();
      if (!row) break;
      const std::string_view bytes(input.data() + start, parser.pos() - start);
      const std::span<const FieldNote> notes = auditor.audit(bytes);
      SCOPED_TRACE(::testing::Message() << "round " << round << ", row at " << start);
      ASSERT_EQ(auditor.fields(), row->size());
      // The tokenizer's own judgement, which lets the record skip rows.
      if (parser.as_read() || !parser.changed()) {
        EXPECT_TRUE(notes.empty());
      }
      if (!notes.empty()) {
        EXPECT_TRUE(parser.changed());
      }
      std::size_t last_column = 0;
      std::vector<bool> invalid(row->size() + 1, false);
      for (const FieldNote& note : notes) {
        ASSERT_GE(note.column, 1u);
        ASSERT_LE(note.column, row->size());
        ASSERT_GE(note.column, last_column);
        ASSERT_GT(note.amount, 0u);
        last_column = note.column;
        const std::string_view text = (*row)[note.column - 1].text;
        switch (note.change) {
          case FieldChange::StrayQuote:
          case FieldChange::BareQuote:
            EXPECT_GE(occurrences(text, std::string(1, static_cast<char>(s.quote))), note.amount);
            break;
          case FieldChange::InvalidUtf8:
            invalid[note.column] = true;
            EXPECT_GE(occurrences(text, kReplacement), note.replacements);
            break;
          default:
            break;
        }
      }
      // A U+FFFD the input did not hold was made by the decoder, and so
      // must be on record for its field.
      for (std::size_t c = 0; c < row->size(); ++c) {
        if (occurrences((*row)[c].text, kReplacement) > occurrences(bytes, kReplacement)) {
          EXPECT_TRUE(invalid[c + 1]) << "field " << c + 1;
        }
      }
    }
  }
}

// A row in a code page is audited as its transcription to UTF-8 is: the
// unmapped bytes are the ones replaced, each its own U+FFFD.
TEST(RowAudit, CodePageNotesAsItsTranscription) {
  static constexpr std::string_view kPieces[] = {",", "\"", "\"\"", " ", "\n", "a", "\x80",
                                                 "\x85", "\x9C", "\xE9", "\xFF", "\xC3\xA9"};
  const utf8::Fallback page = testing_support::test_code_page();
  std::uint64_t state = 0x2F6B0F3A1C9E4D27ULL;
  for (int round = 0; round < 5000; ++round) {
    std::string input;
    const std::size_t pieces = xorshift(state) % 24;
    for (std::size_t i = 0; i < pieces; ++i) {
      input += kPieces[xorshift(state) % std::size(kPieces)];
    }
    const std::string text = testing_support::transcribed(input, page);
    ResilientParser parser(input, ',', '"', true, false);
    parser.set_code_page(&page);
    ResilientParser plain(text, ',', '"', true, false);
    RowAuditor paged(',', '"', true, false);
    paged.set_code_page(&page);
    RowAuditor auditor(',', '"', true, false);
    for (;;) {
      const std::size_t start = parser.pos();
      const std::size_t text_start = plain.pos();
      if (!parser.next_row()) break;
      ASSERT_TRUE(plain.next_row());
      const std::span<const FieldNote> notes =
          paged.audit(std::string_view(input).substr(start, parser.pos() - start));
      const std::vector<FieldNote> got(notes.begin(), notes.end());
      const std::span<const FieldNote> expected =
          auditor.audit(std::string_view(text).substr(text_start, plain.pos() - text_start));
      SCOPED_TRACE(::testing::Message() << "round " << round << ", row at " << start);
      ASSERT_EQ(got.size(), expected.size());
      for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].column, expected[i].column);
        EXPECT_EQ(got[i].change, expected[i].change);
        EXPECT_EQ(got[i].amount, expected[i].amount);
        EXPECT_EQ(got[i].replacements, expected[i].replacements);
      }
    }
  }
}

TEST(RowAudit, NamesEachChangeOfARow) {
  RowAuditor auditor(',', '"', true, false);
  struct Expected {
    std::size_t column;
    FieldChange change;
    std::size_t amount;
  };
  // A quote inside a quoted field is judged against the later quotes of
  // its whole line, so each case is a line of its own.
  const std::vector<std::pair<std::string_view, std::vector<Expected>>> cases = {
      {"\"abc\"  def,x\n",
       {{1, FieldChange::BlanksDropped, 2}, {1, FieldChange::TextAfterQuote, 3}}},
      {"y,\"x \"y\" z\"\n", {{2, FieldChange::StrayQuote, 2}}},
      {"w\"v,u\"\"t\n", {{1, FieldChange::BareQuote, 1}, {2, FieldChange::BareQuote, 2}}},
      {"a,\"open\nmore", {{2, FieldChange::UnterminatedQuote, 10}}},
      {"\"a\"\"b\",c\r\n", {}},
  };
  for (const auto& [row, expected] : cases) {
    SCOPED_TRACE(row);
    const auto notes = auditor.audit(row);
    ASSERT_EQ(notes.size(), expected.size());
    for (std::size_t i = 0; i < notes.size(); ++i) {
      EXPECT_EQ(notes[i].column, expected[i].column);
      EXPECT_EQ(notes[i].change, expected[i].change);
      EXPECT_EQ(notes[i].amount, expected[i].amount);
    }
  }
}

TEST(RowAudit, AUtf8SequenceJoinedAcrossDroppedBlanksIsNoDamage) {
  RowAuditor auditor(',', '"', true, false);
  // The blanks after the closing quote go, and the two halves of é meet.
  EXPECT_TRUE(auditor.audit("\"\xC3\"  \xA9,x\n").size() == 2);  // blanks and text only
  const auto split = auditor.audit("\xC3,\xA9\n");
  ASSERT_EQ(split.size(), 2u);
  EXPECT_EQ(split[0].change, FieldChange::InvalidUtf8);
  EXPECT_EQ(split[1].change, FieldChange::InvalidUtf8);
}

TEST(RowAudit, AStrayQuoteLineCostsLinearTime) {
  std::string row = "\"";
  for (int i = 0; i < 200000; ++i) row += "a\"";
  row += "a\",x\n";
  RowAuditor auditor(',', '"', true, false);
  const auto notes = auditor.audit(row);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].amount, 200000u);
}

}  // namespace
}  // namespace vornish
