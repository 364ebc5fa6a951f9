// Tests of the held stream: offsets across blocks, reads from several
// threads, letting go, and a failing input.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "engine/held_stream.hpp"
#include "piece_source.hpp"

namespace vornish {
namespace {

std::string pattern(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return s;
}

std::string read_at(HeldStream& held, std::uint64_t offset, std::size_t size) {
  std::string out(size, '\0');
  std::size_t got = 0;
  while (got < size) {
    Result<std::size_t> n = held.read_at(out.data() + got, size - got, offset + got);
    EXPECT_TRUE(n);
    if (!n || n.value() == 0) break;
    got += n.value();
  }
  out.resize(got);
  return out;
}

TEST(HeldStream, ReadsAnyHeldOffsetAcrossBlocks) {
  const std::string data = pattern(HeldStream::kBlockSize * 3 + 123);
  testing_support::Pieces pieces(data, 4093);
  HeldStream held(pieces);
  EXPECT_EQ(held.size(), std::nullopt);
  const std::uint64_t near_edge = HeldStream::kBlockSize - 5;
  EXPECT_EQ(read_at(held, near_edge, 10), data.substr(near_edge, 10));
  EXPECT_EQ(read_at(held, 3, 4), data.substr(3, 4));  // back again: still held
  EXPECT_EQ(read_at(held, data.size() - 50, 80), data.substr(data.size() - 50));
  EXPECT_EQ(held.size(), data.size());
  char byte = 0;
  Result<std::size_t> past = held.read_at(&byte, 1, data.size());
  ASSERT_TRUE(past);
  EXPECT_EQ(past.value(), 0u);
}

TEST(HeldStream, LetsGoOfWholeBlocksBeforeAnOffsetOnly) {
  const std::string data = pattern(HeldStream::kBlockSize * 4);
  testing_support::Pieces pieces(data, 1 << 16);
  HeldStream held(pieces);
  ASSERT_TRUE(held.hold_to(data.size()));
  held.release_before(HeldStream::kBlockSize * 2 + 10);
  // The block holding the offset itself stays.
  EXPECT_EQ(read_at(held, HeldStream::kBlockSize * 2, 20),
            data.substr(HeldStream::kBlockSize * 2, 20));
  char byte = 0;
  EXPECT_FALSE(held.read_at(&byte, 1, HeldStream::kBlockSize * 2 - 1));
}

TEST(HeldStream, ThreadsReadingAheadGetTheSameBytes) {
  const std::string data = pattern(HeldStream::kBlockSize * 6 + 77);
  testing_support::Pieces pieces(data, 65521);
  HeldStream held(pieces);
  std::vector<std::string> seen(4);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < seen.size(); ++t) {
    threads.emplace_back([&, t] {
      const std::uint64_t from = t * (data.size() / seen.size());
      seen[t] = read_at(held, from, data.size() / seen.size());
    });
  }
  for (std::thread& th : threads) th.join();
  for (std::size_t t = 0; t < seen.size(); ++t) {
    EXPECT_EQ(seen[t], data.substr(t * (data.size() / seen.size()), data.size() / seen.size()));
  }
}

class Failing final : public ByteSource {
 public:
  Result<std::size_t> read(char* out, std::size_t size) override {
    if (given_ >= 1000) return VornishError::corrupt(1);
    const std::size_t n = std::min<std::size_t>(size, 1000 - given_);
    std::fill(out, out + n, 'x');
    given_ += n;
    return n;
  }

 private:
  std::size_t given_ = 0;
};

TEST(HeldStream, AFailingInputFailsTheReadsPastWhatItGave) {
  Failing failing;
  HeldStream held(failing);
  char buffer[10];
  Result<std::size_t> early = held.read_at(buffer, sizeof buffer, 990);
  ASSERT_TRUE(early);  // the bytes before the failure are still there
  EXPECT_EQ(early.value(), 10u);
  EXPECT_FALSE(held.read_at(buffer, sizeof buffer, 1000));
  EXPECT_EQ(held.size(), std::nullopt);
}

}  // namespace
}  // namespace vornish
