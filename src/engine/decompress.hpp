// Decompressing sources: each wraps the source of the compressed bytes and
// hands on the decompressed ones, holding only the codec's own state and
// one input buffer, so memory stays bounded whatever the ratio.
//
// Concatenated streams (several gzip members, bzip2 streams, xz streams)
// read as one. A stream that ends early is Truncated, one that does not
// decode is Corrupt: never a short result.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "engine/byte_source.hpp"
#include "engine/codec.hpp"

namespace vornish {

// Only the codecs this build decodes: zstd needs libzstd at build time.
std::optional<Codec> codec_named(std::string_view name) noexcept;
std::span<const Codec> native_codecs() noexcept;

// The decompressed bytes of `compressed`.
std::unique_ptr<ByteSource> decompressing(Codec codec, std::unique_ptr<ByteSource> compressed);

}  // namespace vornish
