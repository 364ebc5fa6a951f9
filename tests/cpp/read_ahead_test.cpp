// Tests of the read-ahead source: the same bytes in the same order, a
// failure only after the bytes read before it, and a stop at any point.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "engine/read_ahead.hpp"

namespace vornish {
namespace {

// `size` bytes of a known pattern in pieces of `piece`, then the end or,
// with `fail`, an error.
class Counting final : public ByteSource {
 public:
  Counting(std::size_t size, std::size_t piece, bool fail) : size_(size), piece_(piece), fail_(fail) {}
  Result<std::size_t> read(char* out, std::size_t want) override {
    if (at_ == size_ && fail_) {
      return VornishError::corrupt(0);
    }
    const std::size_t n = std::min({want, piece_, size_ - at_});
    for (std::size_t i = 0; i < n; ++i) {
      out[i] = static_cast<char>('a' + (at_ + i) % 23);
    }
    at_ += n;
    return n;
  }

 private:
  std::size_t size_, piece_, at_ = 0;
  bool fail_;
};

std::string pattern(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    s[i] = static_cast<char>('a' + i % 23);
  }
  return s;
}

TEST(ReadAhead, SameBytesThenTheEndOrTheError) {
  for (bool fail : {false, true}) {
    for (std::size_t size : {std::size_t{0}, std::size_t{5}, ReadAheadSource::kBlockSize * 9 + 17}) {
      Counting inner(size, 70001, fail);
      ReadAheadSource ahead(inner);
      std::string got;
      char buffer[99991];
      for (;;) {
        Result<std::size_t> n = ahead.read(buffer, sizeof buffer);
        if (!n) {
          EXPECT_TRUE(fail);
          EXPECT_EQ(n.error().cause(), VornishError::Cause::Corrupt);
          break;
        }
        if (n.value() == 0) {
          EXPECT_FALSE(fail);
          break;
        }
        got.append(buffer, n.value());
      }
      EXPECT_EQ(got, pattern(size)) << "size " << size << " fail " << fail;
    }
  }
}

TEST(ReadAhead, StopsWhereverItIsLeft) {
  for (std::size_t reads : {std::size_t{0}, std::size_t{1}, std::size_t{3}}) {
    Counting inner(ReadAheadSource::kBlockSize * 50, 4096, false);
    ReadAheadSource ahead(inner);
    char buffer[1000];
    for (std::size_t i = 0; i < reads; ++i) {
      ASSERT_TRUE(ahead.read(buffer, sizeof buffer));
    }
  }  // the destructor joins the thread whatever it was doing
}

}  // namespace
}  // namespace vornish
