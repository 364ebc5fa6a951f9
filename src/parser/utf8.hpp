// UTF-8 checking and lenient decoding for field bytes.
//
// Decoding replaces each maximal ill-formed subsequence with one U+FFFD,
// the substitution Python's bytes.decode('utf-8', 'replace') makes.
//
// Checking and decoding are kept apart on purpose: almost every field with
// non-ASCII bytes is valid, so it is only checked, in bulk, and the
// byte-at-a-time decoder runs solely on the rare field that is not.
#pragma once

#include <array>
#include <cstdint>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "parser/simd_level.hpp"

namespace vornish::utf8 {

enum class Check : unsigned char { Ascii, Valid, Invalid };

// Classifies bytes: all ASCII, valid UTF-8 with some non-ASCII, or invalid.
Check check(std::string_view bytes) noexcept;

// Whether [bytes, bytes + size) is well-formed UTF-8. Every level gives the
// same answer; they differ only in speed.
using Validator = bool (*)(const char* bytes, std::size_t size) noexcept;

// The validator for `level`; one this processor does not run falls back to
// the best it does.
Validator validator_for(SimdLevel level) noexcept;

// Appends `bytes` to `out`, replacing ill-formed subsequences with U+FFFD.
void append_replacing(std::string& out, std::string_view bytes);

// What append_replacing would replace in `bytes`: the bytes of the
// ill-formed subsequences, and how many U+FFFD they become.
struct Damage {
  std::size_t bytes = 0;
  std::size_t replacements = 0;
};
Damage damage(std::string_view bytes) noexcept;

// The length of the well-formed sequence `bytes` starts with (1 for an
// ASCII byte), or 0 when it starts with an ill-formed one.
std::size_t sequence_length(std::string_view bytes) noexcept;

// A single-byte code page's characters for the bytes 0x80 to 0xFF, used
// for the bytes of a field that are not UTF-8: in a mostly UTF-8 file with
// rows pasted from a legacy system, those bytes are that system's text.
// What each of the 256 bytes of a single-byte code page becomes: up to 3
// bytes of UTF-8 (every such code page stays in the Basic Multilingual
// Plane), stored 4 wide so that a character is copied without a branch on
// its size. ASCII bytes must stand for themselves; `unmapped` marks the
// bytes the code page has no character for, whatever `chars` holds there.
struct ByteChars {
  std::array<std::array<char, 4>, 256> chars{};
  std::array<std::uint8_t, 256> lengths{};
  std::array<std::uint8_t, 256> unmapped{};
  // From this byte on, every byte stands for the code point of its own
  // value, as in Latin-1 (0xA0 for windows-1252, 0x80 for latin-1, 0x100
  // for none): such bytes are decoded sixteen at a time. Set by settle().
  unsigned latin1_from = 0x100;

  // Finds latin1_from, once the table is filled.
  void settle() noexcept;
};

// Writes the UTF-8 of `n` bytes through `table` at `out`, which has room for
// 3 * n + 32 bytes (the widest stores run past the last character). Returns
// the end of what was written and adds the unmapped bytes to `unmapped`.
char* decode_bytes(char* out, const unsigned char* in, std::size_t n, const ByteChars& table,
                   std::size_t& unmapped) noexcept;

// decode_bytes as it runs with `level`'s vector instructions (or the best
// level the processor has below it).
using ByteDecoder = char* (*)(char*, const unsigned char*, std::size_t, const ByteChars&, std::size_t&) noexcept;
ByteDecoder byte_decoder_for(SimdLevel level) noexcept;

// Every form of decode_bytes the processor can run, including those no
// level chooses on it, so that they can be held against each other.
std::vector<ByteDecoder> byte_decoders();

// UTF-16 text (`units` code units at `in`, big- or little-endian) as UTF-8
// for as long as it comes in blocks of sixteen units below U+0100, the
// Latin-1 part of Unicode, which most Western European text is: the rest
// is left to a converter. Writes at `at`, with room for 32 bytes a block,
// moves `at` past what it wrote and returns how many units it took (a
// multiple of sixteen; none on a processor without byte shuffles).
std::size_t latin1_from_utf16(char*& at, const unsigned char* in, std::size_t units, bool big_endian) noexcept;

// How many of the `units` code units come before the next block that
// latin1_from_utf16 would take: a multiple of sixteen, or all of them.
std::size_t units_before_latin1(const unsigned char* in, std::size_t units, bool big_endian) noexcept;

class Fallback {
 public:
  // `high[b - 0x80]` is the character of byte b; `name` names the code
  // page in the repair record. A surrogate or a value past U+10FFFF says
  // the code page leaves the byte unmapped: it reads as U+FFFD.
  Fallback(std::string name, const std::array<char32_t, 128>& high);
  const std::string& name() const noexcept { return name_; }
  std::string_view of(unsigned char byte) const noexcept {
    return {chars_[byte - 0x80].data(), lengths_[byte - 0x80]};
  }
  bool mapped(unsigned char byte) const noexcept { return mapped_[byte - 0x80]; }
  bool maps_all() const noexcept { return unmapped_.empty(); }

 private:
  friend char* write_code_page(char*, std::string_view, const Fallback&, std::size_t&) noexcept;
  friend std::size_t unmapped_in(std::string_view, const Fallback&) noexcept;
  friend std::size_t unmapped_in(std::string_view, const Fallback&, SimdLevel) noexcept;
  friend std::size_t code_page_size(std::string_view, const Fallback&) noexcept;

  std::string name_;
  std::array<std::array<char, 4>, 128> chars_{};
  std::array<std::uint8_t, 128> lengths_{};
  std::array<bool, 128> mapped_{};
  // Every byte, ASCII included, for decoding without a branch per byte.
  ByteChars all_;
  // The unmapped bytes, each repeated in every byte of a word.
  std::vector<std::uint64_t> unmapped_;
  // The unmapped bytes as two nibble tables: byte b is unmapped exactly
  // when unmapped_low_[b & 15] & unmapped_high_[b >> 4] is not zero (bit
  // h - 8 of the low table for a byte whose high nibble is h), so a vector
  // of bytes is tested with two shuffles.
  std::array<std::uint8_t, 16> unmapped_low_{};
  std::array<std::uint8_t, 16> unmapped_high_{};
};

// Appends `bytes` to `out`, decoding each byte of an ill-formed subsequence
// with `fallback` instead of replacing the subsequence with U+FFFD.
void append_with_fallback(std::string& out, std::string_view bytes, const Fallback& fallback);

// Appends `bytes`, text in the single-byte code page `page`, as UTF-8:
// ASCII as it is, every other byte as `page` maps it, an unmapped one as
// U+FFFD. Returns how many bytes were unmapped.
std::size_t append_code_page(std::string& out, std::string_view bytes, const Fallback& page);
// The same, written at `out`, which has room for 3 * bytes.size() + 32
// bytes; returns the end of what was written and adds the unmapped bytes
// to `unmapped`.
char* write_code_page(char* out, std::string_view bytes, const Fallback& page, std::size_t& unmapped) noexcept;

// The size of the text a transcoding source hands on for `bytes` in the
// code page `page`: its UTF-8, with the one byte 0xFF for each unmapped
// byte (which append_code_page makes U+FFFD right away).
std::size_t code_page_size(std::string_view bytes, const Fallback& page) noexcept;

// How many bytes of `bytes` the code page `page` leaves unmapped.
std::size_t unmapped_in(std::string_view bytes, const Fallback& page) noexcept;
// The same, counted with `level`'s vector instructions (or the best level
// the processor has below it).
std::size_t unmapped_in(std::string_view bytes, const Fallback& page, SimdLevel level) noexcept;

// Appends the UTF-8 form of a code point below 0x110000.
void append_code_point(std::string& out, char32_t cp);

}  // namespace vornish::utf8
