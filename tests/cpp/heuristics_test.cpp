// Tests of White_Space trimming, delimiter sniffing and column inference.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "heuristics/columns.hpp"
#include "heuristics/sniff.hpp"
#include "heuristics/white_space.hpp"

namespace vornish {
namespace {

const std::string kBom = "\xEF\xBB\xBF";

std::string repeat(const std::string& line, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += line;
  return out;
}

TEST(WhiteSpace, TrimsExactlyTheWhiteSpaceProperty) {
  struct Case { std::string in, out; };
  const std::vector<Case> cases = {
      {"", ""},
      {"  a b  ", "a b"},
      {"\t\n\v\f\r x\r\n", "x"},
      {"\xC2\x85" "a" "\xC2\xA0", "a"},                                      // U+0085, U+00A0
      {"\xE1\x9A\x80\xE2\x80\x80\xE2\x80\x8A" "x" "\xE2\x80\xA8\xE2\x80\xA9", "x"},
      {"\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80" "x" "\xE3\x80\x80", "x"},      // U+202F U+205F U+3000
      {"\xE2\x80\x89", ""},                                                  // U+2009
      // Look-alikes that are not White_Space must stay.
      {"\xE2\x80\x8B" "x" "\xE2\x80\x8B", "\xE2\x80\x8B" "x" "\xE2\x80\x8B"},  // U+200B
      {"\xEF\xBB\xBF" "x", "\xEF\xBB\xBF" "x"},                              // U+FEFF
      {"\x1C" "x\x1F", "\x1C" "x\x1F"},
      // Neighbours of the matched byte patterns.
      {"\xE2\x80\xB0\xC2\xA1\xE3\x80\x81\xE1\x9A\x81",
       "\xE2\x80\xB0\xC2\xA1\xE3\x80\x81\xE1\x9A\x81"},
      {" \xC3\xA0 ", "\xC3\xA0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(trim_white_space(c.in), c.out) << "input: " << c.in;
  }
}

TEST(WhiteSpace, OnlyOneFieldRowsAreBlank) {
  const std::vector<FieldView> one_space = {{" \xE3\x80\x80", false}};
  const std::vector<FieldView> two_empty = {{"", true}, {"", true}};
  const std::vector<FieldView> text = {{" x ", true}};
  EXPECT_TRUE(is_blank_row(one_space));
  EXPECT_FALSE(is_blank_row(two_empty));
  EXPECT_FALSE(is_blank_row(text));
}

TEST(Sniff, PicksTheBestSplitAmongFourCandidates) {
  struct Case { std::string name, sample; std::uint8_t expected; };
  const std::vector<Case> cases = {
      {"empty", "", ','},
      {"bom alone", kBom, ','},
      {"one row is no evidence", "a;b;c", ','},
      {"one row with line end", "a;b;c\n", ','},
      {"semicolon rows", "a;b;c\nd;e;f\ng;h;i\n", ';'},
      {"semicolon rows after bom", kBom + "a;b;c\nd;e;f\ng;h;i\n", ';'},
      {"equal scores keep the earlier", "a,b;c\nd,e;f\n", ','},
      {"tab rows", "a\tb\nc\td\te\nf\tg\n", '\t'},
      {"a lone tab is two fields", "\t\n\t\n", '\t'},
      {"bar rows around blank rows", "a|b\n\n   \nc|d\n", '|'},
      {"blank rows never use up the limit", repeat("  \n", 60) + "a|b\nc|d\n", '|'},
      {"nothing after fifty rows is read", repeat("a|b\n", 50) + repeat("a;b;c\n", 200), '|'},
      {"more columns outweigh consistency",
       repeat("a;b;c;d;e,f\n", 8) + repeat("a;b;c;d,e\n", 2), ';'},
      {"single column", "a\nb\nc\n", ','},
      {"quoted delimiters do not split", "\"x;y;z\",1\n\"p;q;r\",2\n", ','},
      {"quoted line ends do not split rows", "\"a\nb|c\",d\n\"e\",f\n", ','},
      {"invalid utf-8 is tolerated", "a\xFF|b\nc|\xC3(d\n", '|'},
      // Under ';' the widths 2,2,3,3 tie; the larger wins and scores
      // 0.5 x ln 3, beating ',' at 0.5. The smaller would only tie with ','.
      {"tied widths take the larger", "a;b,c\na;b,c\na;b;c\na;b;c\n", ';'},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sniff_delimiter(c.sample), c.expected) << c.name;
  }
}

TEST(ColumnCount, TakesTheMostCommonWidth) {
  struct Case { std::string name, sample; std::uint8_t delimiter; std::size_t expected; };
  const std::vector<Case> cases = {
      {"empty", "", ',', 0},
      {"blank lines only", "\n   \n\t\n\xC2\xA0\xE3\x80\x80\n", ',', 0},
      {"bom alone", kBom, ',', 0},
      {"3, 2, 3", "a,b,c\nd,e\nf,g,h\n", ',', 3},
      {"3, 2, 3 after bom", kBom + "a,b,c\nd,e\nf,g,h\n", ',', 3},
      {"no delimiter", "a\nb\n", ';', 1},
      {"header then data", "a,b,c\n" + repeat("1,2,3,4\n", 99), ',', 4},
      {"nothing after a hundred rows is read", repeat("a,b\n", 100) + repeat("a,b,c\n", 300), ',', 2},
      {"blank rows never use up the limit", repeat("\n", 150) + "a,b,c\n", ',', 3},
      {"single row", "1,2,3,4,5,6,7", ',', 7},
      {"trailing delimiter", "a,b,\n", ',', 3},
      {"quoted delimiter and line end", "\"a,b\nc\",d\ne,f\n", ',', 2},
      {"lone delimiter is two fields", ",\n,\nx\n", ',', 2},
      {"zero width space is not blank", "a,b\n\xE2\x80\x8B\n\xEF\xBB\xBF\n", ',', 1},
      {"quoted white space is blank", "\"  \"\n\"\"\n\" \" \nx,y\n", ',', 2},
      {"quoted text is not blank", "\"a\"\n\"b\"\nx,y\n", ',', 1},
      {"quote rules are fixed", "'a,b',c\n'd,e',f\n", ',', 3},
      {"tie goes to the larger", "a,b,c\na,b,c\na,b\na,b\n", ',', 3},
      {"tie goes to the larger either way round", "a,b\na,b\na,b,c\na,b,c\n", ',', 3},
      {"tie with one field", "a\nb\nc,d\ne,f\n", ',', 2},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(infer_column_count(c.sample, c.delimiter), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace vornish
