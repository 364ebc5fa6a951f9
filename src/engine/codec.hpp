// The compression formats the input seam reads, named once for the
// decoders and for the error texts, which sit below them.
#pragma once

#include <cstdint>
#include <string_view>

namespace vornish {

enum class Codec : std::uint8_t { Gzip, Bzip2, Xz, Zstd };

// "gzip", "bzip2", "xz" (which also reads the older .lzma format), "zstd".
std::string_view codec_name(Codec codec) noexcept;

}  // namespace vornish
