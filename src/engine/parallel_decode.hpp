// Compressed inputs made of independent pieces, decoded on several threads
// at once and handed on in order: BGZF files (gzip members that state
// their own length) and zstd files of many frames that state their size.
//
// What the pieces do not say is not guessed: from the first member or
// frame that is not such a piece on (a plain gzip member, a frame of
// unknown or very large size, a cut-off or damaged start), the rest is
// decoded as it comes by the ordinary decoder, with its errors. The
// decoded bytes are those of decompressing() in every case.
#pragma once

#include <cstddef>
#include <memory>

#include "engine/byte_source.hpp"
#include "engine/decompress.hpp"

namespace vornish {

// With `threads` <= 1, or a codec without independent pieces, this is
// decompressing(). Threads start with the first piece found and are
// joined when the source goes; memory stays within about two pieces per
// thread (a piece is cut at half a megabyte of input or two of output).
std::unique_ptr<ByteSource> decompressing_in_parallel(Codec codec,
                                                      std::unique_ptr<ByteSource> compressed,
                                                      std::size_t threads);

}  // namespace vornish
