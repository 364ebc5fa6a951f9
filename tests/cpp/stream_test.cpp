// Tests of the streaming engine: row-start guesses, range runs and their
// true ends, the prefix that settles the dialect, and whole runs on several
// threads against the whole-buffer file repair.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/stream.hpp"
#include "piece_source.hpp"
#include "engine/vornish.hpp"

namespace vornish {
namespace {

namespace fs = std::filesystem;

std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

class Stream : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "vornish-stream-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  std::string write(const std::string& name, const std::string& bytes) const {
    std::ofstream(path(name), std::ios::binary) << bytes;
    return path(name);
  }
  static std::string read(const std::string& p) {
    std::ostringstream s;
    s << std::ifstream(p, std::ios::binary).rdbuf();
    return s.str();
  }

  // Opens `bytes` as a file for the window tests.
  int open_file(const std::string& bytes) {
    const int fd = ::open(write("window.csv", bytes).c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    fds_.push_back(fd);
    return fd;
  }

  void expect_same_as_whole_file(const std::string& input, const VornishOptions& options,
                                 std::size_t threads, std::size_t chunk_size) {
    SCOPED_TRACE("threads " + std::to_string(threads) + ", chunk " + std::to_string(chunk_size));
    const std::string in = write("in.csv", input);
    Result<VornishStats> whole = vornish_file(in, path("whole.csv"), path("whole.q"), options);
    ASSERT_TRUE(whole);
    StreamOptions stream;
    stream.threads = threads;
    stream.chunk_size = chunk_size;
    Result<StreamRun> run =
        stream_vornish_file(in, path("stream.csv"), path("stream.q"), options, stream);
    ASSERT_TRUE(run);
    EXPECT_FALSE(run.value().cancelled);
    const VornishStats& a = whole.value();
    const VornishStats& b = run.value().stats;
    EXPECT_EQ(std::vector<std::size_t>({a.total_rows, a.vornished_rows, a.repaired_rows,
                                        a.quarantined_rows, a.inferred_columns}),
              std::vector<std::size_t>({b.total_rows, b.vornished_rows, b.repaired_rows,
                                        b.quarantined_rows, b.inferred_columns}));
    EXPECT_EQ(a.detected_delimiter, b.detected_delimiter);
    EXPECT_EQ(read(path("whole.csv")), read(path("stream.csv")));
    EXPECT_EQ(read(path("whole.q")), read(path("stream.q")));

    // The same bytes from a forward-only source (a decompressor, a pipe)
    // handing out a few bytes at a time.
    testing_support::Pieces pieces(input, 7);
    stream.source = &pieces;
    Result<StreamRun> piped =
        stream_vornish_file(in, path("piped.csv"), path("piped.q"), options, stream);
    ASSERT_TRUE(piped);
    const VornishStats& c = piped.value().stats;
    EXPECT_EQ(std::vector<std::size_t>({a.total_rows, a.vornished_rows, a.repaired_rows,
                                        a.quarantined_rows, a.inferred_columns}),
              std::vector<std::size_t>({c.total_rows, c.vornished_rows, c.repaired_rows,
                                        c.quarantined_rows, c.inferred_columns}));
    EXPECT_EQ(read(path("whole.csv")), read(path("piped.csv")));
    EXPECT_EQ(read(path("whole.q")), read(path("piped.q")));
  }

  ~Stream() override {
    for (const int fd : fds_) ::close(fd);
  }

  fs::path dir_;
  std::vector<int> fds_;
};

TEST_F(Stream, GuessesTheFirstLineStartAtOrAfterAnOffset) {
  struct Case {
    std::string bytes;
    std::uint64_t offset;
    std::optional<std::uint64_t> start;
  };
  const std::vector<Case> cases = {
      {"ab\ncd\n", 0, 0},
      {"ab\ncd\n", 1, 3},
      {"ab\ncd\n", 3, 3},     // right after a LF
      {"ab\r\ncd\n", 3, 4},   // between CR and LF: not a line start
      {"ab\rcd\n", 3, 3},     // a lone CR ends a line
      {"ab\ncd", 4, 5},       // no line end: the end of the file
      {"ab\ncd\r", 4, 6},     // a CR as the very last byte
      {std::string(100, 'x') + "\nz", 1, std::nullopt},  // beyond the scan limit
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes + " @" + std::to_string(c.offset));
    FileWindow window(open_file(c.bytes), true);
    Result<std::optional<std::uint64_t>> start = guess_row_start(window, c.offset, 50, 2);
    ASSERT_TRUE(start);
    EXPECT_EQ(start.value(), c.start);
  }
}

TEST_F(Stream, RangeEndsAtTheFirstRowStartPastItsStop) {
  // Rows start at 0, 4, 12 and 16; the second holds a quoted line end.
  const std::string bytes = "a,b\n\"x\ny\",z\nc,d\ne,f\n";
  const VornishOptions options;
  const Dialect dialect{',', 2};
  for (const std::size_t read_size : {1u, 3u, 64u}) {
    SCOPED_TRACE(read_size);
    FileWindow window(open_file(bytes), true);
    RangeLimits limits;
    limits.read_size = read_size;
    Result<RangeEnd> end = find_range_end(window, 0, 5, 1, options, dialect, limits);
    ASSERT_TRUE(end);
    EXPECT_EQ(end.value().end, 12u);
    EXPECT_EQ(end.value().next_line, 4u);
    // The guess for a chunk starting at 5 is the line start inside the
    // quotes: not where the rows before it end, so it must be rejected.
    Result<std::optional<std::uint64_t>> guess = guess_row_start(window, 5, 100, read_size);
    ASSERT_TRUE(guess);
    EXPECT_EQ(guess.value(), std::optional<std::uint64_t>(7));
    Result<RangeEnd> right = find_range_end(window, 12, 14, 4, options, dialect, limits);
    ASSERT_TRUE(right);
    EXPECT_EQ(right.value().end, 16u);
    EXPECT_EQ(right.value().next_line, 5u);
    Result<RangeEnd> rest = find_range_end(window, 16, kNoLimit, 5, options, dialect, limits);
    ASSERT_TRUE(rest);
    EXPECT_EQ(rest.value().end, bytes.size());
    EXPECT_EQ(rest.value().next_line, 6u);
  }
}

TEST_F(Stream, WrongGuessesAreParsedAgainFromTheTrueStart) {
  // Chunk edges fall inside quoted fields that hold line ends, so many
  // guessed starts are wrong; the results are still the whole-file run's.
  const std::string input = repeat("1,\"two\nlines\nhere\",3\n", 200);
  const std::string in = write("in.csv", input);
  VornishOptions options;
  StreamOptions stream;
  stream.threads = 3;
  stream.chunk_size = 7;
  Result<StreamRun> run = stream_vornish_file(in, path("out.csv"), std::nullopt, options, stream);
  ASSERT_TRUE(run);
  EXPECT_GT(run.value().reparsed_chunks, 0u);
  expect_same_as_whole_file(input, options, 3, 7);
}

TEST_F(Stream, SecondParsesStopWhereTheyMeetTheFirstOnesRows) {
  // Long chunks of rows with quoted line ends and rows set aside: a second
  // parse meets the first one's rows within a few rows, and the first
  // one's output from there on is taken, its quarantine lines moved.
  std::string input = "a,b,c\n";
  for (int i = 0; i < 3000; ++i) {
    input += i % 7 == 0 ? "short,\"x\ny\"\n" : "1,\"note\nmore\nend\",3\n";
  }
  VornishOptions options;
  options.fill_ragged_rows = false;
  const std::string in = write("in.csv", input);
  StreamOptions stream;
  stream.threads = 2;
  stream.chunk_size = 4000;
  Result<StreamRun> run = stream_vornish_file(in, path("out.csv"), path("q.csv"), options, stream);
  ASSERT_TRUE(run);
  EXPECT_GT(run.value().resynced_chunks, 0u);
  for (const std::size_t chunk : {1000u, 4000u, 9000u}) {
    expect_same_as_whole_file(input, options, 2, chunk);
  }
}

TEST_F(Stream, AWrongGuessThatRunsAwayIsAbandoned) {
  // From inside the quotes the rest of the file looks like one open field.
  const std::string bytes = "\"a\n\"b" + std::string(200000, 'x') + "\n";
  FileWindow window(open_file(bytes), true);
  RangeLimits limits;
  limits.max_overhang = 100;
  limits.read_size = 16;
  Result<RangeEnd> end = find_range_end(window, 3, 4, 1, VornishOptions{}, Dialect{',', 1}, limits);
  ASSERT_TRUE(end);
  EXPECT_TRUE(end.value().abandoned);
}

TEST_F(Stream, ThePrefixSettlesTheDialectOnlyWithCompleteRows) {
  std::string rows;
  for (int i = 0; i < 100; ++i) rows += "1;2\n";
  VornishOptions sniffing;
  EXPECT_TRUE(settles_dialect(rows + "x", sniffing));
  EXPECT_FALSE(settles_dialect(rows, sniffing));  // the last row may go on
  EXPECT_FALSE(settles_dialect(rows.substr(0, 200), sniffing));
  EXPECT_FALSE(settles_dialect("\"open\n" + rows + "x", sniffing));
  VornishOptions given;
  given.delimiter = ';';
  given.expected_columns = 2;
  EXPECT_TRUE(settles_dialect("", given));
}

struct Input {
  const char* name;
  std::string bytes;
};

class StreamInputs : public Stream, public ::testing::WithParamInterface<Input> {};

TEST_P(StreamInputs, SameBytesAsTheWholeFileRun) {
  VornishOptions quarantining;
  quarantining.fill_ragged_rows = false;
  quarantining.merge_overflow = false;
  for (const VornishOptions& options : {VornishOptions{}, quarantining}) {
    for (const std::size_t threads : {1u, 2u, 4u}) {
      for (const std::size_t chunk : {1u, 2u, 3u, 5u, 11u, 4096u}) {
        expect_same_as_whole_file(GetParam().bytes, options, threads, chunk);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Edges, StreamInputs,
    ::testing::Values(
        Input{"Empty", ""},
        Input{"ByteOrderMark", "\xEF\xBB\xBF" "a,b\n1,2\n" + repeat("3,4,5\n", 20)},
        Input{"CrLfAcrossEdges", repeat("a,b\r\n1,2,3\r\nx\r\r\n", 30)},
        Input{"QuotedLineEnds", repeat("1,\"two\nlines\r\nhere\",3\n4,\"5\n\",6,7\n", 20)},
        Input{"UnterminatedQuoteToEnd", "a,b\n1,2\n\"open,\n" + repeat("3,4\n", 40)},
        Input{"StrayQuotes", repeat("a,\"b\"c\" d,e\n\"\"\"x\n", 25)},
        Input{"NoFinalLineEnd", repeat("1,2\n", 30) + "3,4,5"},
        Input{"LongRow", std::string(5000, 'y') + ",z\n" + repeat("1\n", 10)}),
    [](const ::testing::TestParamInfo<Input>& param) { return std::string(param.param.name); });

TEST_F(Stream, AForwardOnlySourceIsLetGoOfBehindTheChunks) {
  // Megabytes of rows that start right at the chunk edges: each guess
  // looks at the byte before its chunk, long after earlier bytes were let go.
  const std::string input = repeat("1,2,3,4,5,6,7,8\n", 400000);
  const std::string in = write("in.csv", input);
  Result<VornishStats> whole = vornish_file(in, path("whole.csv"), std::nullopt, VornishOptions{});
  ASSERT_TRUE(whole);
  for (const std::size_t threads : {2u, 3u}) {
    testing_support::Pieces pieces(input, 65536);
    StreamOptions stream;
    stream.threads = threads;
    stream.chunk_size = 65536;
    stream.source = &pieces;
    Result<StreamRun> run =
        stream_vornish_file(in, path("piped.csv"), std::nullopt, VornishOptions{}, stream);
    ASSERT_TRUE(run) << run.error().message();
    EXPECT_EQ(run.value().stats.total_rows, whole.value().total_rows);
    EXPECT_EQ(read(path("piped.csv")), read(path("whole.csv")));
  }
}

TEST_F(Stream, CancellingJoinsTheWorkersAndReportsIt) {
  const std::string in = write("in.csv", repeat("1,\"a\nb\",3\n", 20000));
  for (const std::size_t threads : {1u, 3u}) {
    StreamOptions stream;
    stream.threads = threads;
    stream.chunk_size = 1024;
    int calls = 0;
    stream.between_chunks = [&](std::uint64_t, std::uint64_t) { return ++calls < 5; };
    Result<StreamRun> run =
        stream_vornish_file(in, path("out.csv"), path("q.csv"), VornishOptions{}, stream);
    ASSERT_TRUE(run);
    EXPECT_TRUE(run.value().cancelled);
    EXPECT_EQ(calls, 5);
    EXPECT_FALSE(fs::exists(path("q.csv")));
  }
}

TEST_F(Stream, OutputOverTheInputReplacesItWhenComplete) {
  const std::string input = repeat("a,b\n1,2,3\n", 500);
  const std::string in = write("in.csv", input);
  Result<VornishStats> whole = vornish_file(in, path("whole.csv"), std::nullopt, VornishOptions{});
  ASSERT_TRUE(whole);
  StreamOptions stream;
  stream.threads = 2;
  stream.chunk_size = 100;
  Result<StreamRun> run = stream_vornish_file(in, in, std::nullopt, VornishOptions{}, stream);
  ASSERT_TRUE(run);
  EXPECT_EQ(read(in), read(path("whole.csv")));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
}

TEST_F(Stream, ErrorsAreTheWholeFileRunsErrors) {
  StreamOptions stream;
  Result<StreamRun> missing = stream_vornish_file(path("missing.csv"), path("out.csv"),
                                                  std::nullopt, VornishOptions{}, stream);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message(), "No such file or directory (os error 2)");
  EXPECT_FALSE(fs::exists(path("out.csv")));
  const std::string in = write("in.csv", "a\n");
  Result<StreamRun> bad_output =
      stream_vornish_file(in, path("no/such/dir.csv"), std::nullopt, VornishOptions{}, stream);
  ASSERT_FALSE(bad_output);
  EXPECT_EQ(bad_output.error().message(), "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace vornish
