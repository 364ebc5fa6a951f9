// UTF-8 checking and lenient decoding for field bytes.
//
// Decoding replaces each maximal ill-formed subsequence with one U+FFFD,
// the substitution Python's bytes.decode('utf-8', 'replace') makes.
//
// Checking and decoding are kept apart on purpose: almost every field with
// non-ASCII bytes is valid, so it is only checked, in bulk, and the
// byte-at-a-time decoder runs solely on the rare field that is not.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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

// Appends the UTF-8 form of a code point below 0x110000.
void append_code_point(std::string& out, char32_t cp);

}  // namespace vornish::utf8
