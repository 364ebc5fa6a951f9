// The repair log: raw bytes escaped into valid UTF-8 and back exactly, the
// detail texts, and records of pieces moved into a run's log.
#include "engine/repair_log.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "parser/utf8.hpp"
#include "test_random.hpp"

namespace vornish {
namespace {

using testing_support::xorshift;

// The reverse of append_escaped_raw, written from the rule alone.
std::string unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out.push_back(text[i]);
    } else if (text[i + 1] == '\\') {
      out.push_back('\\');
      ++i;
    } else {
      out.push_back(static_cast<char>(std::stoi(std::string(text.substr(i + 2, 2)), nullptr, 16)));
      i += 3;
    }
  }
  return out;
}

TEST(RepairLog, RawIsValidUtf8ThatGivesTheBytesBack) {
  std::uint64_t state = 12345;
  for (int round = 0; round < 5000; ++round) {
    std::string raw;
    const std::size_t n = xorshift(state) % 24;
    for (std::size_t i = 0; i < n; ++i) {
      // Mostly the bytes that matter: backslashes, x, hex digits, UTF-8 leads.
      static constexpr char kBytes[] = {'\\', 'x', 'f', '0', 'a', '"', '\xC3', '\xA9', '\xE2',
                                        '\x82', '\xAC', '\xFF', '\xF0', '\x9F'};
      raw.push_back((xorshift(state) & 1) != 0 ? kBytes[xorshift(state) % sizeof kBytes]
                                               : static_cast<char>(xorshift(state) & 0xFF));
    }
    std::string escaped;
    append_escaped_raw(escaped, raw);
    EXPECT_NE(utf8::check(escaped), utf8::Check::Invalid);
    EXPECT_EQ(unescape(escaped), raw);
  }
  std::string escaped;
  append_escaped_raw(escaped, "a\\b\xC3\xA9\xFF\xC3");
  EXPECT_EQ(escaped, "a\\\\b\xC3\xA9\\xff\\xc3");
}

TEST(RepairLog, DetailTexts) {
  const auto detail = [](RepairAction action, std::uint64_t amount, std::uint64_t expected) {
    std::string out;
    append_detail(out, RepairEntry{1, 0, 0, action, amount, expected, 0});
    return out;
  };
  EXPECT_EQ(detail(RepairAction::Padded, 2, 4), "had 2 fields, expected 4");
  EXPECT_EQ(detail(RepairAction::Merged, 1, 0), "had 1 field, expected 0");
  EXPECT_EQ(detail(RepairAction::Quarantined, 2, 4), "Row has too few columns (expected 4)");
  EXPECT_EQ(detail(RepairAction::Quarantined, 6, 4), "Row has extra columns (expected 4)");
  EXPECT_EQ(detail(RepairAction::Preamble, 3, 4), "Row is part of a preamble");
  EXPECT_EQ(detail(RepairAction::InvalidUtf8, 3, 2), "3 bytes replaced by 2 U+FFFD");
  EXPECT_EQ(detail(RepairAction::StrayQuote, 1, 0), "1 quote kept as text");
}

TEST(RepairLog, PiecesMoveIntoTheRunsLogInOrder) {
  RepairLog piece;
  piece.begin_row(1, 100, "a,b");
  piece.add(0, RepairAction::Padded, 2, 3);
  piece.begin_row(4, 120, "\"x\"y");
  piece.add(1, RepairAction::TextAfterQuote, 1);
  piece.add(0, RepairAction::Merged, 4, 3);

  RepairLog run;
  run.append(piece, 1, 9);
  ASSERT_EQ(run.size(), 2u);
  EXPECT_EQ(run[0].line, 13u);
  EXPECT_EQ(run[1].line, 13u);
  EXPECT_EQ(run.raw(run[0]), "\"x\"y");
  EXPECT_EQ(run.raw(run[1]), "\"x\"y");
  EXPECT_EQ(run.counts()[static_cast<std::size_t>(RepairAction::Merged)], 1u);
  EXPECT_EQ(run.counts()[static_cast<std::size_t>(RepairAction::Padded)], 0u);

  std::string line;
  append_audit_line(line, run, run[0]);
  EXPECT_EQ(line, "13,120,1,text_after_quote,\"1 byte after the closing quote joined to the "
                  "field\",\"\"\"x\"\"y\"\n");

  // Written out, the records go and the counts stay.
  run.drop_entries();
  EXPECT_TRUE(run.empty());
  EXPECT_EQ(run.counts()[static_cast<std::size_t>(RepairAction::TextAfterQuote)], 1u);

  RepairLog counting(false);
  counting.append(piece, 0, 0);
  EXPECT_TRUE(counting.empty());
  EXPECT_EQ(counting.counts()[static_cast<std::size_t>(RepairAction::Padded)], 1u);
}

}  // namespace
}  // namespace vornish
