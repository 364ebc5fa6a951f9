// A source that hands on another source's text as UTF-8: the stage between
// decompression and the tokenizer for inputs in a legacy code page, UTF-16
// or UTF-32. glibc's iconv does the conversion.
//
// Every read ends on a whole character, so whoever cuts the bytes into
// chunks never splits one. A byte sequence the encoding cannot map becomes
// the byte 0xFF, which is never part of UTF-8: the tokenizer's own rule then
// turns it into U+FFFD and puts it on record like any other byte that is
// not UTF-8, at the row and field where it stands. A byte-order mark at the
// start is dropped (for "UTF-16" and "UTF-32" it also says the byte order,
// little-endian when there is none).
#pragma once

#include <memory>
#include <string_view>

#include "engine/byte_source.hpp"

namespace vornish {

// The UTF-8 text of `encoded`, whose bytes are in `encoding` (an iconv name
// such as "WINDOWS-1252", "UTF-16LE", "EUC-KR"). An encoding iconv does not
// know is an Os error (EINVAL) before anything is read.
Result<std::unique_ptr<ByteSource>> transcoding(std::string_view encoding,
                                                std::unique_ptr<ByteSource> encoded);

}  // namespace vornish
