// The bulk UTF-8 validators against the replacing decoder: a byte string is
// valid exactly when decoding it changes nothing. Every level this
// processor runs is held to that, on exhaustive short inputs, on each edge
// of the encoding placed across every chunk boundary, and on random bytes;
// the parser built on them must hand out the decoder's fields.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "parser/resilient_parser.hpp"
#include "parser/utf8.hpp"
#include "test_random.hpp"

namespace vornish {
namespace {

struct Level {
  SimdLevel level;
  const char* name;
};

std::vector<Level> levels_here() {
  std::vector<Level> out;
  for (const Level l : {Level{SimdLevel::Avx512, "avx512"}, Level{SimdLevel::Avx2, "avx2"},
                        Level{SimdLevel::Sse2, "sse2"}, Level{SimdLevel::Scalar, "scalar"}}) {
    if (simd_level_supported(l.level)) out.push_back(l);
  }
  return out;
}

bool decoder_keeps(std::string_view bytes) {
  std::string out;
  utf8::append_replacing(out, bytes);
  return out == bytes;
}

// Checks `bytes` at every level, both alone and behind each ASCII prefix
// length in `shifts`, so that it meets chunk boundaries of 8, 16, 32 and 64.
void expect_agrees(const std::string& bytes, const std::vector<std::size_t>& shifts) {
  const bool expected = decoder_keeps(bytes);
  for (const std::size_t shift : shifts) {
    const std::string placed = std::string(shift, 'x') + bytes;
    for (const Level& l : levels_here()) {
      const utf8::Validator valid = utf8::validator_for(l.level);
      ASSERT_EQ(valid(placed.data(), placed.size()), expected)
          << l.name << " shift " << shift << " bytes " << testing::PrintToString(bytes);
    }
  }
}

std::vector<std::size_t> all_shifts() {
  std::vector<std::size_t> shifts;
  for (std::size_t s = 0; s <= 70; ++s) shifts.push_back(s);
  shifts.push_back(127);
  shifts.push_back(128);
  return shifts;
}

std::string cp(char32_t c) {
  std::string s;
  utf8::append_code_point(s, c);
  return s;
}

TEST(Utf8Validator, AllTwoByteStrings) {
  for (unsigned a = 0; a < 256; ++a) {
    for (unsigned b = 0; b < 256; ++b) {
      const std::string s{static_cast<char>(a), static_cast<char>(b)};
      expect_agrees(s, {0, 31, 63});
    }
  }
}

// Leads 0x80..0xFF with every second byte and each class of third and
// fourth byte: bounds of the continuation ranges and their neighbours.
TEST(Utf8Validator, ThreeAndFourByteStrings) {
  const unsigned later[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xF4, 0xFF};
  for (unsigned a = 0x80; a < 256; ++a) {
    for (unsigned b = 0x7F; b <= 0xC0; ++b) {
      for (const unsigned c : later) {
        const std::string three{static_cast<char>(a), static_cast<char>(b), static_cast<char>(c)};
        expect_agrees(three, {0, 30});
        if (a < 0xF0 || c < 0x80 || c > 0xBF) continue;
        for (const unsigned d : later) {
          expect_agrees(three + static_cast<char>(d), {0, 29, 62});
        }
      }
    }
  }
}

TEST(Utf8Validator, EveryCodePoint) {
  for (char32_t c = 0; c < 0x110000; ++c) {
    const std::string s = cp(c);
    const bool surrogate = c >= 0xD800 && c <= 0xDFFF;
    // Shifted by a prime so the sequence lands on every chunk offset in turn.
    const std::string placed = std::string(c % 67, 'y') + s + std::string(c % 5, 'z');
    for (const Level& l : levels_here()) {
      ASSERT_EQ(utf8::validator_for(l.level)(placed.data(), placed.size()), !surrogate)
          << l.name << " U+" << std::hex << static_cast<std::uint32_t>(c);
    }
  }
}

// The edges of the encoding, each at every offset, cut short at the end of
// the input and followed by ASCII or by another sequence.
TEST(Utf8Validator, EdgesAcrossChunkBoundaries) {
  const std::vector<std::string> edges = {
      cp(0x7F), cp(0x80), cp(0x7FF), cp(0x800), cp(0xFFFF), cp(0x10000), cp(0x10FFFF),
      cp(0xD7FF), cp(0xE000), cp(0xFFFD),
      "\xED\xA0\x80", "\xED\xBF\xBF",            // surrogates
      "\xF4\x90\x80\x80", "\xF7\xBF\xBF\xBF",    // above U+10FFFF
      "\xC0\x80", "\xC1\xBF", "\xE0\x80\x80", "\xE0\x9F\xBF", "\xF0\x80\x80\x80",
      "\xF0\x8F\xBF\xBF",                        // overlong
      "\x80", "\xBF", "\x80\x80\x80\x80",        // continuation bytes alone
      "\xF5", "\xF8\x88\x80\x80\x80", "\xFC", "\xFE", "\xFF",
      "\xC2", "\xE1\x80", "\xF1\x80\x80",        // truncated
      "\xE1\x80\xC2\x80", "\xF1\x80\x80\xE1\x80\x80",
  };
  // An empty view may carry no pointer at all.
  for (const Level& l : levels_here()) EXPECT_TRUE(utf8::validator_for(l.level)(nullptr, 0)) << l.name;
  const std::vector<std::size_t> shifts = all_shifts();
  for (const std::string& e : edges) {
    expect_agrees(e, shifts);
    expect_agrees(e + "a", shifts);
    expect_agrees(e + std::string(130, 'a'), shifts);
    for (const std::string& f : edges) expect_agrees(e + f, {0, 14, 30, 61, 62, 63});
    // A long valid run before the edge, so it is met in a later chunk.
    std::string run;
    while (run.size() < 150) run += cp(0x4E2D) + cp(0xE9);
    expect_agrees(run + e, {0, 1, 2});
  }
}

// Random strings rich in bytes of 0x80 and above, half of them built from
// whole sequences so that valid and invalid are both common.
std::string random_bytes(std::uint64_t& seed, std::size_t length) {
  const auto next = [&seed] { return testing_support::xorshift(seed); };
  std::string s;
  const bool mostly_valid = next() % 2 == 0;
  while (s.size() < length) {
    const std::uint64_t r = next();
    if (mostly_valid && r % 50 != 0) {
      const char32_t ranges[] = {0x61, 0xE9, 0x4E2D, 0x1F600, 0x10FFFF};
      char32_t c = static_cast<char32_t>((r >> 8) % (ranges[r % 5] + 1));
      if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
      s += cp(c);
    } else {
      s += static_cast<char>(r % 4 == 0 ? (r >> 8) % 0x80 : 0x80 + (r >> 8) % 0x80);
    }
  }
  s.resize(length);
  return s;
}

TEST(Utf8Validator, RandomBytes) {
  std::uint64_t seed = 0x2545F4914F6CDD1DULL;
  std::size_t valid = 0;
  std::size_t invalid = 0;
  for (int i = 0; i < 40000; ++i) {
    const std::string s = random_bytes(seed, static_cast<std::size_t>(i) % 201);
    (decoder_keeps(s) ? valid : invalid) += 1;
    expect_agrees(s, {0, 5});
  }
  EXPECT_GT(valid, 4000u);
  EXPECT_GT(invalid, 10000u);
}

#if defined(__linux__)
// A string that ends where readable memory ends: no level may read past it.
TEST(Utf8Validator, ReadsNothingPastTheEnd) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  void* map = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  char* const base = static_cast<char*>(map);
  ASSERT_EQ(mprotect(base + page, page, PROT_NONE), 0);
  std::uint64_t seed = 7;
  for (std::size_t n = 0; n <= 200; ++n) {
    const std::string s = random_bytes(seed, n);
    char* at = base + page - n;
    std::memcpy(at, s.data(), n);
    for (const Level& l : levels_here()) {
      EXPECT_EQ(utf8::validator_for(l.level)(at, n), decoder_keeps(s)) << l.name << " " << n;
    }
  }
  munmap(map, 2 * page);
}
#endif

// Fields with the structural bytes left out: whatever the level, each one
// is the decoder's reading of its raw bytes, and the ASCII flag is exact.
TEST(Utf8Validator, ParserFieldsEqualTheDecoder) {
  std::uint64_t seed = 0x9E3779B97F4A7C15ULL;
  for (int iteration = 0; iteration < 3000; ++iteration) {
    std::vector<std::string> raw;
    std::string input;
    const std::size_t count = 1 + static_cast<std::size_t>(iteration) % 7;
    for (std::size_t i = 0; i < count; ++i) {
      std::string f = random_bytes(seed, (seed >> 20) % 90);
      for (char& c : f) {
        if (c == ',' || c == '"' || c == '\n' || c == '\r') c = '.';
      }
      // Every third field quoted, with a doubled quote, so it is assembled.
      if (i % 3 == 2) {
        input += '"' + f + "\"\"" + f + '"';
        f += '"' + f;
      } else {
        input += f;
      }
      raw.push_back(f);
      input += i + 1 == count ? "\n" : ",";
    }
    for (const Level& l : levels_here()) {
      ResilientParser parser(input, ',', '"', true, false, l.level);
      const auto row = parser.next_row();
      ASSERT_TRUE(row.has_value());
      ASSERT_EQ(row->size(), raw.size()) << l.name;
      for (std::size_t i = 0; i < raw.size(); ++i) {
        std::string expected;
        utf8::append_replacing(expected, raw[i]);
        ASSERT_EQ((*row)[i].text, expected) << l.name << " field " << i;
        const bool ascii = std::all_of(raw[i].begin(), raw[i].end(), [](char c) {
          return static_cast<unsigned char>(c) < 0x80;
        });
        ASSERT_EQ((*row)[i].ascii, ascii) << l.name << " field " << i;
      }
    }
  }
}

}  // namespace
}  // namespace vornish
