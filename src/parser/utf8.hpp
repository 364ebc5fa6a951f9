// UTF-8 checking and lenient decoding for field bytes.
//
// Decoding replaces each maximal ill-formed subsequence with one U+FFFD,
// the substitution Python's bytes.decode('utf-8', 'replace') makes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vornish::utf8 {

enum class Check : unsigned char { Ascii, Valid, Invalid };

// Classifies bytes: all ASCII, valid UTF-8 with some non-ASCII, or invalid.
Check check(std::string_view bytes) noexcept;

// Appends `bytes` to `out`, replacing ill-formed subsequences with U+FFFD.
void append_replacing(std::string& out, std::string_view bytes);

// Appends the UTF-8 form of a code point below 0x110000.
void append_code_point(std::string& out, char32_t cp);

}  // namespace vornish::utf8
