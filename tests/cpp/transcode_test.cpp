// Tests of the transcoding source: every read size gives the same text and
// ends on whole characters, unmapped and cut-off sequences become 0xFF, the
// byte-order mark goes and picks the byte order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "engine/byte_source.hpp"
#include "piece_source.hpp"
#include "engine/transcode.hpp"
#include "parser/utf8.hpp"
#include "test_random.hpp"

namespace vornish {
namespace {

using testing_support::Pieces;

// The whole output, read `size` bytes at a time from a source handing out
// `piece` bytes at a time; each read must end on a whole UTF-8 character
// when `size` leaves room for one.
std::string transcode(std::string_view encoding, std::string data, std::size_t piece,
                      std::size_t size) {
  Result<std::unique_ptr<ByteSource>> made =
      transcoding(encoding, std::make_unique<Pieces>(std::move(data), piece));
  EXPECT_TRUE(made);
  if (!made) {
    return "";
  }
  std::unique_ptr<ByteSource> source = std::move(made).value();
  std::string out;
  std::string buffer(size, '\0');
  for (;;) {
    Result<std::size_t> got = source->read(buffer.data(), size);
    EXPECT_TRUE(got);
    if (!got || got.value() == 0) {
      break;
    }
    if (size >= 16) {
      const auto last = static_cast<unsigned char>(buffer[got.value() - 1]);
      // A read never ends on a lead byte or inside a sequence.
      EXPECT_TRUE(last < 0x80 || last == 0xFF ||
                  (last & 0xC0) == 0x80) << "read ended on a lead byte";
    }
    out.append(buffer.data(), got.value());
  }
  return out;
}

struct Case {
  const char* encoding;
  std::string in;
  std::string out;
};

TEST(Transcode, EveryReadSizeGivesTheSameText) {
  const Case cases[] = {
      {"WINDOWS-1252", "Jos\xE9;M\xFCnchen;\x80\n", "Jos\xC3\xA9;M\xC3\xBCnchen;\xE2\x82\xAC\n"},
      // 0x81 is undefined in windows-1252.
      {"WINDOWS-1252", "a\x81" "b\n", "a\xFF" "b\n"},
      {"UTF-16LE", std::string("a\0;\0\x71\x67\n\0", 8), "a;\xE6\x9D\xB1\n"},
      {"UTF-16", std::string("\xFF\xFE" "a\0\n\0", 6), "a\n"},
      {"UTF-16", std::string("\xFE\xFF\0a\0\n", 6), "a\n"},
      // No mark: little-endian, as Python reads "utf-16".
      {"UTF-16", std::string("a\0\n\0", 4), "a\n"},
      // A lone surrogate, then a cut-off last unit.
      {"UTF-16LE", std::string("\0\xD8" "b\0c", 5), "\xFF" "b\xFF"},
      {"UTF-32", std::string("\xFF\xFE\0\0\x00\xF6\x01\0", 8), "\xF0\x9F\x98\x80"},
      {"EUC-KR", "\xC7\xD1,\xB1\xDB\n", "\xED\x95\x9C,\xEA\xB8\x80\n"},
      {"GBK", "\xB1\xB1\xBE\xA9|x", "\xE5\x8C\x97\xE4\xBA\xAC|x"},
      // A lead byte at the very end.
      {"GBK", "x\xB1", "x\xFF"},
      {"UTF-8", "\xEF\xBB\xBF" "a", "a"},
      {"KOI8-U", "\xE1\xE2", "\xD0\x90\xD0\x91"},
      {"WINDOWS-1252", "", ""},
  };
  for (const Case& c : cases) {
    for (std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{1} << 20}) {
      for (std::size_t size : {std::size_t{1}, std::size_t{5}, std::size_t{16}, std::size_t{4096}}) {
        EXPECT_EQ(transcode(c.encoding, c.in, piece, size), c.out)
            << c.encoding << " piece " << piece << " size " << size;
      }
    }
  }
}

TEST(Transcode, LongTextAcrossBuffers) {
  std::string in;
  std::string want;
  for (int i = 0; i < 200000; ++i) {
    in += std::string("\x71\x67", 2);  // U+6771 in UTF-16LE
    want += "\xE6\x9D\xB1";
    if (i % 7 == 0) {
      in += std::string("\n\0", 2);
      want += "\n";
    }
  }
  EXPECT_EQ(transcode("UTF-16LE", in, 100003, 65537), want);
  std::string latin(600000, '\xE9');
  std::string latin_want;
  for (std::size_t i = 0; i < latin.size(); ++i) {
    latin_want += "\xC3\xA9";
  }
  EXPECT_EQ(transcode("ISO-8859-1", latin, 4096, 100001), latin_want);
}

// Random UTF-16 with pairs, lone surrogates of either half, marks and
// characters of every UTF-8 length, against the rule written out: a pair is
// one character, a lone surrogate and a cut-off last byte are each 0xFF.
TEST(Transcode, Utf16InBothOrdersMatchesTheRule) {
  std::uint64_t state = 0x2545F4914F6CDD1DULL;
  for (int round = 0; round < 300; ++round) {
    const bool big = round % 2 == 1;
    std::string in;
    std::string want;
    const auto unit = [&](unsigned value) {
      const auto hi = static_cast<char>(value >> 8);
      const auto lo = static_cast<char>(value & 0xFF);
      in += big ? std::string{hi, lo} : std::string{lo, hi};
    };
    // Every third text is mostly Latin-1 letters, in blocks long enough to
    // be widened sixteen units at a time, with the other kinds among them.
    const bool western = round % 3 == 2;
    const std::size_t count = testing_support::xorshift(state) % (western ? 1200 : 400);
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint64_t r = testing_support::xorshift(state);
      const std::uint64_t pick = western ? r % 60 : r % 9;
      switch (pick < 9 ? pick : pick < 30 ? 9 : 5) {
        case 0:
          unit(0xD800 + (r >> 8) % 0x400);  // alone: a high half
          unit('a');
          want += "\xFF" "a";
          break;
        case 1:
          unit(0xDC00 + (r >> 8) % 0x400);  // alone: a low half
          want += '\xFF';
          break;
        case 2: {
          const auto cp = static_cast<char32_t>(0x10000 + (r >> 8) % 0x100000);
          unit(0xD800 + ((cp - 0x10000) >> 10));
          unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
          utf8::append_code_point(want, cp);
          break;
        }
        case 3: {
          const auto cp = static_cast<char32_t>(0x80 + (r >> 8) % 0x780);
          unit(cp);
          utf8::append_code_point(want, cp);
          break;
        }
        case 4: {
          const auto cp = static_cast<char32_t>(0xE000 + (r >> 8) % 0x2000);
          unit(cp);
          utf8::append_code_point(want, cp);
          break;
        }
        case 9: {
          const auto cp = static_cast<char32_t>(0x80 + (r >> 8) % 0x80);
          unit(cp);
          utf8::append_code_point(want, cp);
          break;
        }
        default: {
          const auto cp = static_cast<char32_t>(0x20 + (r >> 8) % 0x5F);
          unit(cp);
          want += static_cast<char>(cp);
        }
      }
    }
    if (round % 5 == 0) {
      in += 'x';  // a cut-off last unit
      want += '\xFF';
    }
    const std::size_t piece = 1 + testing_support::xorshift(state) % 700;
    const std::size_t size = 16 + testing_support::xorshift(state) % (western ? 3000 : 300);
    ASSERT_EQ(transcode(big ? "UTF-16BE" : "UTF-16LE", in, piece, size), want)
        << "round " << round << " piece " << piece << " size " << size;
    // The same text with a mark and the order left to it.
    const std::string mark = big ? std::string("\xFE\xFF") : std::string("\xFF\xFE");
    ASSERT_EQ(transcode("UTF-16", mark + in, piece, size), want) << "round " << round;
  }
}

TEST(Transcode, UnknownEncodingIsAnError) {
  Result<std::unique_ptr<ByteSource>> made =
      transcoding("NO-SUCH-ENCODING", std::make_unique<Pieces>("a", 1));
  EXPECT_FALSE(made);
  EXPECT_FALSE(transcoding(std::string_view("UTF-8\0x", 7), std::make_unique<Pieces>("a", 1)));
}

}  // namespace
}  // namespace vornish
