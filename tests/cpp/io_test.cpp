// Tests of whole-file reading, buffered writing and the error texts.
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
#include <thread>

#include "engine/error.hpp"
#include "engine/io.hpp"

namespace vornish {
namespace {

namespace fs = std::filesystem;

class Io : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "vornish-io-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  static std::uintmax_t size(const std::string& p) { return fs::file_size(p); }
  static std::string read(const std::string& p) {
    std::ostringstream s;
    s << std::ifstream(p, std::ios::binary).rdbuf();
    return s.str();
  }
  fs::path dir_;
};

TEST(VornishErrorText, Messages) {
  EXPECT_EQ(VornishError::os(ENOENT).message(), std::string(std::strerror(ENOENT)) + " (os error 2)");
  EXPECT_EQ(VornishError::os(EISDIR).message(), std::string(std::strerror(EISDIR)) + " (os error 21)");
  EXPECT_EQ(VornishError::write_zero().message(), "failed to write whole buffer");
  EXPECT_EQ(VornishError::nul_in_path().message(), "file name contained an unexpected NUL byte");
  EXPECT_EQ(VornishError::out_of_memory().message(),
            std::string(std::strerror(ENOMEM)) + " (os error 12)");
  EXPECT_EQ(VornishError::out_of_memory().os_error(), 0);
  EXPECT_EQ(VornishError::os(EACCES).cause(), VornishError::Cause::Os);
}

TEST_F(Io, ReadsWholeFilesOfAnySize) {
  for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{65536}, std::size_t{300001}}) {
    std::string bytes(n, '\0');
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(i * 7 + 3);
    std::ofstream(path("f"), std::ios::binary) << bytes;
    auto buffer = read_whole_file(path("f"));
    ASSERT_TRUE(buffer) << n;
    EXPECT_EQ(buffer.value().view(), bytes) << n;
  }
}

// A pipe reports no size and delivers its bytes in pieces.
TEST_F(Io, ReadsTheHeadOfAFile) {
  const std::string bytes(200000, 'x');
  std::ofstream(path("f"), std::ios::binary) << bytes;
  struct Case { std::size_t max, size; bool whole; };
  for (const Case& c : {Case{1, 1, false}, Case{199999, 199999, false}, Case{200000, 200000, true},
                        Case{std::size_t{1} << 40, 200000, true}}) {
    auto head = read_file_head(path("f"), c.max);
    ASSERT_TRUE(head) << c.max;
    EXPECT_EQ(head.value().bytes.size(), c.size) << c.max;
    EXPECT_EQ(head.value().whole, c.whole) << c.max;
  }
  EXPECT_EQ(read_file_head(path("none"), 10).error().os_error(), ENOENT);
}

TEST_F(Io, ReadsPipesToTheEnd) {
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  std::string bytes;
  for (int i = 0; i < 100000; ++i) bytes += "row " + std::to_string(i) + "\n";
  std::thread writer([&] { std::ofstream(path("fifo"), std::ios::binary) << bytes; });
  auto buffer = read_whole_file(path("fifo"));
  writer.join();
  ASSERT_TRUE(buffer);
  EXPECT_EQ(buffer.value().view(), bytes);
}

TEST_F(Io, ReadFailures) {
  struct Case { std::string name, path; VornishError::Cause cause; int os_error; };
  const std::vector<Case> cases = {
      {"missing", path("none"), VornishError::Cause::Os, ENOENT},
      {"empty path", "", VornishError::Cause::Os, ENOENT},
      {"directory", dir_.string(), VornishError::Cause::Os, EISDIR},
      {"nul", std::string("a\0b", 3), VornishError::Cause::NulInPath, 0},
  };
  for (const Case& c : cases) {
    auto buffer = read_whole_file(c.path);
    ASSERT_FALSE(buffer) << c.name;
    EXPECT_EQ(buffer.error().cause(), c.cause) << c.name;
    EXPECT_EQ(buffer.error().os_error(), c.os_error) << c.name;
  }
}

TEST_F(Io, BufferedFileCollectsLinesUpToEightKiB) {
  const std::size_t k = BufferedFile::kBufferSize;
  auto created = BufferedFile::create(path("out"));
  ASSERT_TRUE(created);
  BufferedFile& file = created.value();
  const std::string small(100, 'a');
  ASSERT_TRUE(file.write_line(small));
  EXPECT_EQ(size(path("out")), 0u);
  // Does not fit beside the first line: the first line goes out alone.
  const std::string fills(k - 50, 'b');
  ASSERT_TRUE(file.write_line(fills));
  EXPECT_EQ(size(path("out")), 100u);
  // A line as long as the buffer bypasses it, after what was buffered.
  const std::string huge(k, 'c');
  ASSERT_TRUE(file.write_line(huge));
  EXPECT_EQ(size(path("out")), 100u + (k - 50) + k);
  ASSERT_TRUE(file.write_line("tail"));
  ASSERT_TRUE(file.flush());
  ASSERT_TRUE(file.close());
  EXPECT_EQ(read(path("out")), small + fills + huge + "tail");
}

// The same bytes and the same flushes as the line assembled by hand, at
// every size around the buffer's.
TEST_F(Io, LineWithLfAddedWritesAsTheWholeLine) {
  const std::size_t k = BufferedFile::kBufferSize;
  auto whole = BufferedFile::create(path("whole"));
  auto added = BufferedFile::create(path("added"));
  ASSERT_TRUE(whole);
  ASSERT_TRUE(added);
  std::size_t index = 0;
  for (const std::size_t length : {std::size_t{0}, std::size_t{1}, k - 300, k - 2, std::size_t{7},
                                   k - 1, k, k + 5, std::size_t{3}, k / 2, k / 2 - 1, k / 2}) {
    const std::string text(length, static_cast<char>('a' + index++ % 26));
    ASSERT_TRUE(whole.value().write_line(text + "\n"));
    ASSERT_TRUE(added.value().write_line_lf(text));
    EXPECT_EQ(size(path("added")), size(path("whole"))) << "after a line of " << length;
  }
  ASSERT_TRUE(whole.value().flush());
  ASSERT_TRUE(added.value().flush());
  EXPECT_EQ(read(path("added")), read(path("whole")));
}

TEST_F(Io, BufferedFileCreatesAndTruncates) {
  std::ofstream(path("out")) << "old content";
  const mode_t old_mask = umask(022);
  {
    auto created = BufferedFile::create(path("out"));
    ASSERT_TRUE(created);
    auto fresh = BufferedFile::create(path("new"));
    ASSERT_TRUE(fresh);
  }
  umask(old_mask);
  EXPECT_EQ(size(path("out")), 0u);
  struct stat info {};
  ASSERT_EQ(stat(path("new").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);

  auto missing_dir = BufferedFile::create(path("no/out"));
  ASSERT_FALSE(missing_dir);
  EXPECT_EQ(missing_dir.error().os_error(), ENOENT);
  auto nul = BufferedFile::create(std::string("a\0b", 3));
  ASSERT_FALSE(nul);
  EXPECT_EQ(nul.error().cause(), VornishError::Cause::NulInPath);
}

TEST_F(Io, WriteFailuresAreReported) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  auto created = BufferedFile::create("/dev/full");
  ASSERT_TRUE(created);
  ASSERT_TRUE(created.value().write_line("buffered"));
  const Status flushed = created.value().flush();
  ASSERT_FALSE(flushed);
  EXPECT_EQ(flushed.error().os_error(), ENOSPC);
  const Status direct = created.value().write_line(std::string(BufferedFile::kBufferSize, 'x'));
  ASSERT_FALSE(direct);
  EXPECT_EQ(direct.error().os_error(), ENOSPC);
}

}  // namespace
}  // namespace vornish
