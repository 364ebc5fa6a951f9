// Tests of dialect detection over a sample.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "heuristics/dialect.hpp"

namespace vornish {
namespace {

std::string table(const std::string& delimiter, int rows) {
  std::string out = "id" + delimiter + "name" + delimiter + "price\n";
  for (int i = 0; i < rows; ++i) {
    out += std::to_string(100 + i) + delimiter + "item" + std::to_string(i % 7) + delimiter +
           std::to_string(i) + ".5\n";
  }
  return out;
}

struct Expected {
  std::uint8_t delimiter;
  std::uint8_t quote;
  bool skip_space;
  std::size_t skip_rows;
  bool header;
  std::size_t columns;
};

void expect(const std::string& name, const SniffedDialect& d, const Expected& e) {
  EXPECT_EQ(d.delimiter, e.delimiter) << name;
  EXPECT_EQ(d.quote_char, e.quote) << name;
  EXPECT_EQ(d.skip_initial_space, e.skip_space) << name;
  EXPECT_EQ(d.skip_rows, e.skip_rows) << name;
  EXPECT_EQ(d.header, e.header) << name;
  EXPECT_EQ(d.columns, e.columns) << name;
}

TEST(DetectDialect, EachDelimiter) {
  for (const char* delimiter : {",", ";", "\t", "|", " ", ":", "^", "~", "#"}) {
    const auto d = static_cast<std::uint8_t>(delimiter[0]);
    expect(std::string("delimiter ") + delimiter, detect_dialect(table(delimiter, 20)),
           {d, '"', false, 0, true, 3});
  }
}

TEST(DetectDialect, QuotesBlanksPreamblesAndHeaders) {
  struct Case {
    std::string name, sample;
    Expected expected;
  };
  std::string quoted = "'a, b',1\n'c, d',2\n'e',3\n'f, g',4\n";
  std::string spaced = "x, y, z\n1, 'p, q', 2.5\n2, 'r', 3.5\n3, 's, t', 4.5\n";
  std::string no_header;
  for (int i = 0; i < 10; ++i) no_header += std::to_string(i) + ";2023-01-0" + std::to_string(i % 9 + 1) + ";ok\n";
  const std::vector<Case> cases = {
      {"single quotes", quoted, {',', '\'', false, 0, false, 2}},
      {"blank after the delimiter", spaced, {',', '\'', true, 0, true, 3}},
      {"no header", no_header, {';', '"', false, 0, false, 3}},
      {"title, blank and rule", "Sales report\n\n-----\n" + table(",", 10), {',', '"', false, 3, true, 3}},
      {"note holding the delimiter", "Source: ERP, north\n" + table(",", 10), {',', '"', false, 1, true, 3}},
      {"row of separators", ",,\n" + table(",", 10), {',', '"', false, 1, true, 3}},
      {"comment lines", "# exported\n# by hand\n" + table(";", 10), {';', '"', false, 2, true, 3}},
      {"byte-order mark", "\xEF\xBB\xBF" + table("|", 10), {'|', '"', false, 0, true, 3}},
      {"crlf", "a;b\r\n1;2\r\n3;4\r\n", {';', '"', false, 0, true, 2}},
      {"text only, categories", "city;state\nOslo;open\nPorto;closed\nGraz;open\nTurku;open\nBern;closed\n",
       {';', '"', false, 0, true, 2}},
      {"text only, codes", "code|name\nAB1|Ann Lee\nCD2|Bo\nEF3|Cy Berg\n", {'|', '"', false, 0, true, 2}},
      {"text only, no header", "Oslo;open\nLyon;closed\nGraz;open\nRiga;open\nBern;closed\n",
       {';', '"', false, 0, false, 2}},
      // Quote repair would read each of these lines as one field.
      {"quoted fields under tabs", "'k'\t'v'\n'a'\t'1'\n'b'\t'2'\n'c'\t'3'\n", {'\t', '\'', false, 0, true, 2}},
  };
  for (const Case& c : cases) {
    expect(c.name, detect_dialect(c.sample), c.expected);
  }
}

TEST(DetectDialect, DegenerateSamples) {
  expect("empty", detect_dialect(""), {',', '"', false, 0, false, 0});
  expect("bom alone", detect_dialect("\xEF\xBB\xBF"), {',', '"', false, 0, false, 0});
  expect("blank lines", detect_dialect("\n\n  \n"), {',', '"', false, 0, false, 0});
  // One column: no delimiter is made up for it.
  expect("one column", detect_dialect("name\nann\nbob\ncy\n"), {0, '"', false, 0, false, 1});
  expect("one typed column", detect_dialect("total\n12\n7.5\n3\n"), {0, '"', false, 0, true, 1});
  // Anything at all yields a dialect, the same one every time.
  std::string junk;
  for (int i = 0; i < 5000; ++i) junk.push_back(static_cast<char>((i * 7919 + 13) % 256));
  const SniffedDialect a = detect_dialect(junk);
  const SniffedDialect b = detect_dialect(junk);
  EXPECT_EQ(a.delimiter, b.delimiter);
  EXPECT_EQ(a.skip_rows, b.skip_rows);
  EXPECT_EQ(a.columns, b.columns);
  EXPECT_LE(a.skip_rows, 20u);
}

// A header row a field too wide or too narrow, or with a stray quote, is
// still the header; preamble rows of such widths are not.
TEST(DetectDialect, DamagedHeaders) {
  const std::string body = table(";", 12).substr(table(";", 12).find('\n') + 1);
  struct Case {
    std::string name, head;
    std::size_t skip_rows;
    bool header;
  };
  const std::vector<Case> cases = {
      {"a field too many", "id;name;price;note\n", 0, true},
      {"a field too few", "id;price\n", 0, true},
      {"a stray quote", "id;na\"me;price\n", 0, true},
      {"after a title", "Sales\n\nid;name;price;extra\n", 2, true},
      {"a note with the delimiter", "Prepared by finance; do not distribute\n", 1, false},
      {"a key and value", "Unit; EUR\n", 1, false},
  };
  for (const Case& c : cases) {
    expect(c.name, detect_dialect(c.head + body), {';', '"', false, c.skip_rows, c.header, 3});
  }
}

// Cells that read as cut-apart values or several glued values are not
// clean text, so a delimiter that yields them loses to one with typed cells.
TEST(DetectDialect, CutValuesLoseToTypedCells) {
  std::string sample = "time,price\n";
  for (int i = 0; i < 12; ++i) {
    sample += "2" + std::to_string(i % 9 + 1) + ".09.2022 06:1" + std::to_string(i % 10) + ",0" +
              std::to_string(i % 10) + ":24\n";
  }
  expect("stamps and times", detect_dialect(sample), {',', '"', false, 0, true, 2});
  std::string prose = "Remarks;Total\n";
  const char* notes[] = {"Left at the door", "Paid by card at the counter", "No answer", "Call the office first"};
  for (int i = 0; i < 12; ++i) {
    prose += std::string(notes[i % 4]) + ";" + std::to_string(i * 13) + ",50\n";
  }
  expect("prose and decimal commas", detect_dialect(prose), {';', '"', false, 0, true, 2});
  std::string times = "start,end\n";
  for (int i = 0; i < 12; ++i) {
    times += "0" + std::to_string(i % 10) + ":3" + std::to_string(i % 6) + ":10,1" + std::to_string(i % 10) + ":05:59\n";
  }
  expect("times of two columns", detect_dialect(times), {',', '"', false, 0, true, 2});
}

// What wraps the table: comment lines, a group row over the names, a
// totals row and notes at the end, a second table after a blank row.
TEST(DetectDialect, Layouts) {
  std::string body;
  std::string commented;
  double total = 0;
  for (int i = 0; i < 8; ++i) {
    const std::string line = std::to_string(i) + ",Oslo," + std::to_string(i * 3) + ".25\n";
    body += line;
    commented += (i == 3 ? "# seen\n" : "") + line;
    total += i * 3 + 0.25;
  }
  const std::string totals = "Total,," + std::to_string(static_cast<int>(total)) + ".00\n";

  SniffedDialect d = detect_dialect("# exported\nid,city,price\n" + commented + totals + "\nSource: ERP\n");
  EXPECT_EQ(d.comment, "#");
  EXPECT_EQ(d.skip_rows, 1u);
  EXPECT_EQ(d.skip_footer, 3u);
  ASSERT_EQ(d.tables.size(), 1u);
  EXPECT_EQ(d.tables[0].rows, 10u);  // the header, 8 rows and a comment

  // Not sums: the last row is data.
  d = detect_dialect("id,city,price\n" + body + "Total,,1.00\n");
  EXPECT_EQ(d.skip_footer, 0u);
  // Only a whole file shows its end.
  d = detect_dialect("id,city,price\n" + body + totals, false);
  EXPECT_EQ(d.skip_footer, 0u);
  EXPECT_FALSE(d.tables.back().ends);

  d = detect_dialect(",Price,\nid,net,gross\n" + body);
  EXPECT_EQ(d.header_rows, 2u);
  EXPECT_EQ(d.skip_rows, 0u);

  d = detect_dialect("id,city,price\n" + body + "\nname,n\nAnn,1\nBob,2\nCy,3\n");
  ASSERT_EQ(d.tables.size(), 2u);
  EXPECT_EQ(d.columns, 3u);
  EXPECT_EQ(d.tables[1].skip_rows, 10u);
  EXPECT_EQ(d.tables[1].columns, 2u);
  EXPECT_EQ(d.tables[1].header_rows, 1u);

  // Colours in the first column are values, not comments.
  std::string colours = "colour,n\n";
  for (int i = 0; i < 8; ++i) colours += "#A" + std::to_string(i) + "B0C0," + std::to_string(i) + "\n";
  EXPECT_EQ(detect_dialect(colours).comment, "");
}

TEST(DetectDialect, PartialSampleIgnoresItsCutRow) {
  // Cut inside a quoted field: read whole, the last row is one odd field.
  const std::string sample = table(",", 30) + "7,\"cut sh";
  EXPECT_EQ(detect_dialect(sample, false).columns, 3u);
  EXPECT_EQ(detect_dialect(sample, false).delimiter, ',');
}

}  // namespace
}  // namespace vornish
