// Tests of the repair pipeline, the kept-row cursor and the file operation.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/vornish.hpp"

namespace vornish {
namespace {

namespace fs = std::filesystem;

struct Quarantined {
  std::size_t line;
  std::string reason;
  Row raw;
  bool operator==(const Quarantined&) const = default;
  friend std::ostream& operator<<(std::ostream& os, const Quarantined& q) {
    os << "{" << q.line << ", " << q.reason << ",";
    for (const std::string& t : q.raw) os << " [" << t << "]";
    return os << "}";
  }
};

struct Repaired {
  std::vector<Row> rows;
  std::vector<Quarantined> quarantined;
  VornishStats stats;
};

Repaired run(const std::string& input, VornishOptions options) {
  const VornishOutcome outcome = vornish_slice(input, options);
  Repaired r;
  auto cursor = outcome.rows.cursor();
  for (std::size_t i = 0; i < outcome.rows.size(); ++i) r.rows.push_back(to_row(cursor.read(i)));
  for (const QuarantineRecord& q : outcome.quarantined) r.quarantined.push_back({q.line, q.reason, q.raw_tokens});
  r.stats = outcome.stats;
  EXPECT_EQ(r.stats.total_rows, r.stats.vornished_rows + r.stats.quarantined_rows);
  EXPECT_EQ(r.stats.vornished_rows, r.rows.size());
  EXPECT_EQ(r.stats.quarantined_rows, r.quarantined.size());
  return r;
}

VornishOptions opts(std::optional<std::size_t> e, bool fill = true, bool merge = true,
                    std::optional<std::uint8_t> delimiter = std::nullopt) {
  VornishOptions o;
  o.expected_columns = e;
  o.fill_ragged_rows = fill;
  o.merge_overflow = merge;
  o.delimiter = delimiter;
  return o;
}

const std::string kTooFew3 = "Row has too few columns (expected 3)";
const std::string kExtra3 = "Row has extra columns (expected 3)";

TEST(VornishSlice, RowsAndStats) {
  struct Case {
    std::string name, input;
    VornishOptions options;
    std::vector<Row> rows;
    std::size_t repaired;
    std::vector<Quarantined> quarantined;
  };
  const std::vector<Case> cases = {
      {"worked example", "a,b,c\n1,2\nx,y,z,w,v\n", opts(3),
       {{"a", "b", "c"}, {"1", "2", ""}, {"x", "y", "z,w,v"}}, 2, {}},
      {"worked example, switches off", "a,b,c\n1,2\nx,y,z,w,v\n", opts(3, false, false),
       {{"a", "b", "c"}}, 0, {{3, kTooFew3, {"1", "2"}}, {4, kExtra3, {"x", "y", "z", "w", "v"}}}},
      {"no final line end", "a,b,c\n1,2\nx,y,z,w,v", opts(3, false, false),
       {{"a", "b", "c"}}, 0, {{3, kTooFew3, {"1", "2"}}, {3, kExtra3, {"x", "y", "z", "w", "v"}}}},
      {"first line", "1,2\na,b,c\n", opts(3, false), {{"a", "b", "c"}}, 0, {{2, kTooFew3, {"1", "2"}}}},
      {"quoted line break counts", "h,i,j\nk,l,m\n\"a\nb\",c,d,e\n", opts(3, true, false),
       {{"h", "i", "j"}, {"k", "l", "m"}}, 0, {{5, kExtra3, {"a\nb", "c", "d", "e"}}}},
      {"crlf and lone cr", "a,b,c\r\n1\r2,3\r\n", opts(3, false),
       {{"a", "b", "c"}}, 0, {{3, kTooFew3, {"1"}}, {4, kTooFew3, {"2", "3"}}}},
      {"E = 0 keeps everything", "a\nb,c\n", opts(0), {{"a"}, {"b", "c"}}, 0, {}},
      {"inferred 0", "\n \n", opts(std::nullopt), {{""}, {" "}}, 0, {}},
      {"quoted delimiter is no surplus", "a,b,\"c,d\"\n", opts(3), {{"a", "b", "c,d"}}, 0, {}},
      {"merge into E = 4", "a,b,c,d,e,f", opts(4), {{"a", "b", "c", "d,e,f"}}, 1, {}},
      {"E = 1 merges all", "a;b;c", opts(1, true, true, ';'), {{"a;b;c"}}, 1, {}},
      {"blank line padded", "a,b,c\n\nd,e,f\n", opts(3), {{"a", "b", "c"}, {"", "", ""}, {"d", "e", "f"}}, 1, {}},
      {"blank line quarantined", "a,b,c\n\nd,e,f\n", opts(3, false),
       {{"a", "b", "c"}, {"d", "e", "f"}}, 0, {{3, kTooFew3, {""}}}},
      {"blank line with E = 1", "a\n\nb\n", opts(1), {{"a"}, {""}, {"b"}}, 0, {}},
      {"two final line ends give a blank row", "a,b,c\n\n", opts(3), {{"a", "b", "c"}, {"", "", ""}}, 1, {}},
      {"bom is skipped", "\xEF\xBB\xBF" "a,b\n", opts(std::nullopt), {{"a", "b"}}, 0, {}},
      {"bom alone", "\xEF\xBB\xBF", opts(std::nullopt), {}, 0, {}},
      {"two-byte delimiter in a merge", "a\xA7" "b\xA7" "c", opts(2, true, true, 0xA7),
       {{"a", "b\xC2\xA7" "c"}}, 1, {}},
  };
  for (const Case& c : cases) {
    const Repaired r = run(c.input, c.options);
    EXPECT_EQ(r.rows, c.rows) << c.name;
    EXPECT_EQ(r.quarantined, c.quarantined) << c.name;
    EXPECT_EQ(r.stats.repaired_rows, c.repaired) << c.name;
    // Dropping the quarantined rows changes nothing else.
    const VornishOutcome kept = vornish_slice_kept(c.input, c.options);
    EXPECT_TRUE(kept.quarantined.empty()) << c.name;
    EXPECT_EQ(kept.stats.quarantined_rows, c.quarantined.size()) << c.name;
    ASSERT_EQ(kept.rows.size(), c.rows.size()) << c.name;
    for (std::size_t i = 0; i < c.rows.size(); ++i) EXPECT_EQ(kept.rows.materialize(i), c.rows[i]) << c.name;
  }
}

TEST(VornishSlice, ReportsTheSettledDialect) {
  const Repaired empty = run("", opts(5, true, true, ';'));
  EXPECT_EQ(empty.stats.total_rows, 0u);
  EXPECT_EQ(empty.stats.detected_delimiter, U',');
  EXPECT_EQ(empty.stats.inferred_columns, 0u);

  const Repaired given = run("a;b\n", opts(7, true, true, 0xE9));
  EXPECT_EQ(given.stats.detected_delimiter, U'\u00E9');
  EXPECT_EQ(given.stats.inferred_columns, 7u);

  const Repaired guessed = run("a;b;c\nd;e;f\n", opts(std::nullopt));
  EXPECT_EQ(guessed.stats.detected_delimiter, U';');
  EXPECT_EQ(guessed.stats.inferred_columns, 3u);
}

const std::string kPreamble = "Row is part of a preamble";

// Blanks after delimiters and a preamble: the two options only the front's
// dialect detection sets.
TEST(VornishSlice, SkipInitialSpaceAndPreamble) {
  struct Case {
    std::string name, input;
    VornishOptions options;
    std::vector<Row> rows;
    std::vector<Quarantined> quarantined;
  };
  const auto with = [](VornishOptions o, bool skip_space, std::size_t skip_rows) {
    o.skip_initial_space = skip_space;
    o.skip_rows = skip_rows;
    return o;
  };
  const std::vector<Case> cases = {
      {"blanks after delimiters dropped", "a, b,  \"c, d\"\n1,\t2, 3\n",
       with(opts(std::nullopt), true, 0), {{"a", "b", "c, d"}, {"1", "2", "3"}}, {}},
      {"blanks kept without the option", "a, b\n", with(opts(std::nullopt), false, 0),
       {{"a", " b"}}, {}},
      {"preamble set aside with file lines", "Title\n\nnote, with comma\nid,x,y\n1,2,3\n",
       with(opts(std::nullopt, false, false), false, 3),
       {{"id", "x", "y"}, {"1", "2", "3"}},
       {{2, kPreamble, {"Title"}}, {3, kPreamble, {""}}, {4, kPreamble, {"note", " with comma"}}}},
      // Without the preamble the width would be guessed from its rows too.
      {"width guessed after the preamble", "a;b\nc;d\nx,y,z\n1,2\n",
       with(opts(std::nullopt), false, 2), {{"x", "y", "z"}, {"1", "2", ""}},
       {{2, kPreamble, {"a;b"}}, {3, kPreamble, {"c;d"}}}},
      {"delimiter sniffed after the preamble", "a,b,c,d\nx;y\n1;2\n",
       with(opts(std::nullopt), false, 1), {{"x", "y"}, {"1", "2"}}, {{2, kPreamble, {"a,b,c,d"}}}},
      {"quoted line break inside the preamble", "\"t\nt\"\nx,y\n", with(opts(std::nullopt), false, 1),
       {{"x", "y"}}, {{3, kPreamble, {"t\nt"}}}},
      {"preamble longer than the input", "a\nb", with(opts(std::nullopt), false, 5), {},
       {{2, kPreamble, {"a"}}, {2, kPreamble, {"b"}}}},
      {"preamble rows are never repaired", "a\n1,2\n", with(opts(2), false, 1), {{"1", "2"}},
       {{2, kPreamble, {"a"}}}},
      {"both options", "T\na; b\n1; 2\n", with(opts(std::nullopt), true, 1),
       {{"a", "b"}, {"1", "2"}}, {{2, kPreamble, {"T"}}}},
  };
  for (const Case& c : cases) {
    const Repaired r = run(c.input, c.options);
    EXPECT_EQ(r.rows, c.rows) << c.name;
    EXPECT_EQ(r.quarantined, c.quarantined) << c.name;
    EXPECT_EQ(r.stats.total_rows, c.rows.size() + c.quarantined.size()) << c.name;
    const VornishOutcome kept = vornish_slice_kept(c.input, c.options);
    EXPECT_EQ(kept.stats.quarantined_rows, c.quarantined.size()) << c.name;
    ASSERT_EQ(kept.rows.size(), c.rows.size()) << c.name;
    for (std::size_t i = 0; i < c.rows.size(); ++i) EXPECT_EQ(kept.rows.materialize(i), c.rows[i]) << c.name;
  }
}

TEST(VornishSlice, NoPreambleChangesNothing) {
  const std::string input = "h1,h2\nTitle\n1,2,3\n\n";
  VornishOptions plain = opts(std::nullopt, false, false);
  VornishOptions zero = plain;
  zero.skip_rows = 0;
  const Repaired a = run(input, plain);
  const Repaired b = run(input, zero);
  EXPECT_EQ(a.rows, b.rows);
  EXPECT_EQ(a.quarantined, b.quarantined);
  EXPECT_EQ(a.stats.inferred_columns, b.stats.inferred_columns);
}

// Rows read back in any order through one cursor equal the rows of a
// straight run, including rows the parser repaired and rows the engine
// shaped.
TEST(KeptRows, CursorReadsRowsInAnyOrder) {
  const std::string input = "a,b,c\n'x'y' z',1,2\n\n'q''q',r,s,t\n'unclosed\nstill,1\n";
  VornishOptions o = opts(3);
  o.quote_char = '\'';
  const VornishOutcome outcome = vornish_slice(input, o);
  std::vector<Row> forward;
  auto cursor = outcome.rows.cursor();
  for (std::size_t i = 0; i < outcome.rows.size(); ++i) forward.push_back(to_row(cursor.read(i)));
  const std::vector<Row> expected = {{"a", "b", "c"},
                                     {"x'y' z", "1", "2"},
                                     {"", "", ""},
                                     {"q'q", "r", "s,t"},
                                     {"unclosed\nstill,1\n", "", ""}};
  EXPECT_EQ(forward, expected);
  for (std::size_t i = outcome.rows.size(); i-- > 0;) {
    EXPECT_EQ(to_row(cursor.read(i)), forward[i]) << i;
    EXPECT_EQ(outcome.rows.materialize(i), forward[i]) << i;
  }
  EXPECT_TRUE(cursor.read(outcome.rows.size()).empty());
}

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "vornish-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  static void write(const std::string& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
  }
  static std::string read(const std::string& p) {
    std::ostringstream s;
    s << std::ifstream(p, std::ios::binary).rdbuf();
    return s.str();
  }
  static std::string enoent() { return std::string(std::strerror(ENOENT)) + " (os error 2)"; }

  fs::path dir_;
};

using VornishFile = TempDir;

TEST_F(VornishFile, WritesCleanOutputAndQuarantine) {
  struct Case {
    std::string name, input;
    VornishOptions options;
    std::string output, quarantine;
  };
  const std::string header = "line,reason,raw_content\n";
  VornishOptions apostrophe = opts(2, false, false, ';');
  apostrophe.quote_char = '\'';
  const std::vector<Case> cases = {
      {"worked example", "a,b,c\n1,2\nx,y,z,w,v\n", opts(3),
       "a,b,c\n1,2,\nx,y,\"z,w,v\"\n", header},
      {"switches off", "a,b,c\n1,2\nx,y,z,w,v", opts(3, false, false), "a,b,c\n",
       header + "3,\"" + kTooFew3 + "\",\"1,2\"\n3,\"" + kExtra3 + "\",\"x,y,z,w,v\"\n"},
      {"quoting in both files", "'say \"hi\"';b\n'a;b'\n'x''y';1;2\n", apostrophe,
       "say \"hi\";b\n", header + "3,\"Row has too few columns (expected 2)\",\"a;b\"\n" +
                             "4,\"Row has extra columns (expected 2)\",\"x'y;1;2\"\n"},
      {"blank line padded", "a,b,c\n\nd,e,f", opts(3), "a,b,c\n,,\nd,e,f\n", header},
      {"two-byte delimiter", "a\xA7" "b\xA7" "c\n", opts(2, true, true, 0xA7),
       "a\xC2\xA7\"b\xC2\xA7" "c\"\n", header},
      {"empty input", "", opts(3, true, true, ';'), "", header},
  };
  for (const Case& c : cases) {
    write(path("in.csv"), c.input);
    const auto result = vornish_file(path("in.csv"), path("out.csv"), path("bad.csv"), c.options);
    ASSERT_TRUE(result) << c.name << ": " << result.error().message();
    EXPECT_EQ(read(path("out.csv")), c.output) << c.name;
    EXPECT_EQ(read(path("bad.csv")), c.quarantine) << c.name;
  }
}

// Clean output read back under the same dialect gives the same rows, even
// for fields full of quotes, delimiters and line ends.
TEST_F(VornishFile, PreambleGoesToTheQuarantineFile) {
  VornishOptions o = opts(std::nullopt);
  o.skip_rows = 2;
  o.skip_initial_space = true;
  write(path("in.csv"), "Report, 2024\n\na, b\n1, \"x, y\"\n");
  const Result<VornishStats> stats = vornish_file(path("in.csv"), path("out.csv"), path("q.csv"), o);
  ASSERT_TRUE(stats);
  EXPECT_EQ(stats.value().total_rows, 4u);
  EXPECT_EQ(stats.value().quarantined_rows, 2u);
  EXPECT_EQ(stats.value().inferred_columns, 2u);
  EXPECT_EQ(read(path("out.csv")), "a,b\n1,\"x, y\"\n");
  EXPECT_EQ(read(path("q.csv")), "line,reason,raw_content\n2,\"" + kPreamble +
                                     "\",\"Report,2024\"\n3,\"" + kPreamble + "\",\"\"\n");
}

// Comment lines are set aside wherever they are, after the preamble, and
// whatever their width; a row of the table width is one too.
TEST_F(VornishFile, CommentsGoToTheQuarantineFile) {
  VornishOptions o = opts(std::nullopt);
  o.skip_rows = 1;
  o.comment = "//";
  write(path("in.csv"), "Report\na,b\n// a note\n1,2\n//x,y\n3,4\n");
  const Result<VornishStats> stats = vornish_file(path("in.csv"), path("out.csv"), path("q.csv"), o);
  ASSERT_TRUE(stats);
  EXPECT_EQ(stats.value().quarantined_rows, 3u);
  EXPECT_EQ(stats.value().vornished_rows, 3u);
  EXPECT_EQ(read(path("out.csv")), "a,b\n1,2\n3,4\n");
  EXPECT_EQ(read(path("q.csv")), "line,reason,raw_content\n2,\"" + kPreamble +
                                     "\",\"Report\"\n4,\"Row is a comment\",\"// a note\"\n"
                                     "6,\"Row is a comment\",\"//x,y\"\n");
}

// The last rows held back as the footer, the rows past a table's own set
// aside, whatever rows come before them.
TEST(VornishSlice, FooterAndTableRows) {
  const std::string kFooter = "Row is part of a footer";
  const std::string kOther = "Row belongs to another table";
  struct Case {
    const char* name;
    std::string input;
    std::size_t footer;
    std::optional<std::size_t> table_rows;
    std::vector<Row> rows;
    std::vector<Quarantined> quarantined;
  };
  const std::vector<Case> cases = {
      {"footer", "a,b\n1,2\nTotal,2\nnote\n", 2, std::nullopt, {{"a", "b"}, {"1", "2"}},
       {{4, kFooter, {"Total", "2"}}, {5, kFooter, {"note"}}}},
      {"footer longer than the input", "a,b\n1,2\n", 5, std::nullopt, {},
       {{2, kFooter, {"a", "b"}}, {3, kFooter, {"1", "2"}}}},
      {"footer with a comment before it", "a,b\n# x\n1,2\nTotal,2\n", 1, std::nullopt,
       {{"a", "b"}, {"1", "2"}}, {{3, "Row is a comment", {"# x"}}, {5, kFooter, {"Total", "2"}}}},
      {"table rows", "a,b\n1,2\n\nc,d,e\n", 0, 2, {{"a", "b"}, {"1", "2"}},
       {{4, kOther, {""}}, {5, kOther, {"c", "d", "e"}}}},
      {"table rows and a footer", "a,b\n1,2\n\nc\nTotal\n", 1, 2, {{"a", "b"}, {"1", "2"}},
       {{4, kOther, {""}}, {5, kOther, {"c"}}, {6, kFooter, {"Total"}}}},
  };
  for (const Case& c : cases) {
    VornishOptions o = opts(2, true, true, ',');
    o.comment = "#";
    o.skip_footer = c.footer;
    o.table_rows = c.table_rows;
    const Repaired r = run(c.input, o);
    EXPECT_EQ(r.rows, c.rows) << c.name;
    EXPECT_EQ(r.quarantined, c.quarantined) << c.name;
  }
}

// The names of a two-row header join the group carried over the empty
// cells after it; the cursor reads the joined row back, and the rows after
// it from the buffer as ever.
TEST(VornishSlice, JoinedHeader) {
  VornishOptions o = opts(std::nullopt, true, true, ',');
  o.join_header = true;
  const VornishOutcome outcome = vornish_slice("Region,Revenue,,Cost\n,2023,2024,2023\nN,1,2,3\n", o);
  ASSERT_EQ(outcome.rows.size(), 2u);
  auto cursor = outcome.rows.cursor();
  EXPECT_EQ(to_row(cursor.read(1)), (Row{"N", "1", "2", "3"}));
  EXPECT_EQ(to_row(cursor.read(0)), (Row{"Region", "Revenue 2023", "Revenue 2024", "Cost 2023"}));
  EXPECT_EQ(outcome.stats.total_rows, 3u);
  EXPECT_EQ(outcome.stats.vornished_rows, 2u);
  EXPECT_TRUE(outcome.quarantined.empty());
}

TEST_F(VornishFile, CleanOutputReadsBackUnchanged) {
  const std::string input =
      "\"a\"\"b\",\"c,d\",\"e\r\nf\"\n\"g\" h ,'i' ,\"\"\"\"\n\"j\rk\",l\n\"x\"y\"z\",\xFF,m,n\n";
  write(path("in.csv"), input);
  const VornishOptions o = opts(3, true, true, ',');
  const Repaired first = run(input, o);
  ASSERT_TRUE(vornish_file(path("in.csv"), path("out.csv"), std::nullopt, o));
  const Repaired again = run(read(path("out.csv")), o);
  EXPECT_EQ(again.rows, first.rows);
  EXPECT_EQ(again.stats.repaired_rows, 0u);
}

TEST_F(VornishFile, SharedPaths) {
  write(path("f.csv"), "a,b\n1\n");
  ASSERT_TRUE(vornish_file(path("f.csv"), path("f.csv"), std::nullopt, opts(2, false)));
  EXPECT_EQ(read(path("f.csv")), "a,b\n");

  write(path("in.csv"), "a,b\n1\n");
  ASSERT_TRUE(vornish_file(path("in.csv"), path("out.csv"), path("out.csv"), opts(2, false)));
  EXPECT_EQ(read(path("out.csv")), "line,reason,raw_content\n3,\"Row has too few columns (expected 2)\",\"1\"\n");
}

TEST_F(VornishFile, Failures) {
  write(path("in.csv"), "a,b\n1,2\n");
  // Missing input: nothing is created.
  auto missing = vornish_file(path("none.csv"), path("out.csv"), path("bad.csv"), opts(std::nullopt));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message(), enoent());
  EXPECT_FALSE(fs::exists(path("out.csv")));
  EXPECT_FALSE(fs::exists(path("bad.csv")));

  // Missing output folder: the quarantine file is not created either.
  auto no_dir = vornish_file(path("in.csv"), path("no/out.csv"), path("bad.csv"), opts(std::nullopt));
  ASSERT_FALSE(no_dir);
  EXPECT_EQ(no_dir.error().os_error(), ENOENT);
  EXPECT_FALSE(fs::exists(path("bad.csv")));

  // An empty quarantine path fails only after the output is complete.
  auto empty_q = vornish_file(path("in.csv"), path("out.csv"), std::string(), opts(std::nullopt));
  ASSERT_FALSE(empty_q);
  EXPECT_EQ(empty_q.error().message(), enoent());
  EXPECT_EQ(read(path("out.csv")), "a,b\n1,2\n");

  auto nul = vornish_file(path("in.csv"), std::string("o\0x", 3), std::nullopt, opts(std::nullopt));
  ASSERT_FALSE(nul);
  EXPECT_EQ(nul.error().message(), "file name contained an unexpected NUL byte");

  // A failing write stops the run, and no quarantine file follows it.
  if (fs::exists("/dev/full")) {
    std::string big;
    for (int i = 0; i < 5000; ++i) big += "a,b\n1\n";
    write(path("in.csv"), big);
    auto full = vornish_file(path("in.csv"), "/dev/full", path("q.csv"), opts(2, false));
    ASSERT_FALSE(full);
    EXPECT_EQ(full.error().os_error(), ENOSPC);
    EXPECT_FALSE(fs::exists(path("q.csv")));
  }
}

TEST_F(VornishFile, NoQuarantinePathCreatesNoFile) {
  write(path("in.csv"), "a,b\n1\n");
  const auto result = vornish_file(path("in.csv"), path("out.csv"), std::nullopt, opts(2, false));
  ASSERT_TRUE(result);
  EXPECT_EQ(result.value().quarantined_rows, 1u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
}

}  // namespace
}  // namespace vornish
