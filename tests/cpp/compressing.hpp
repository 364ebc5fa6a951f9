// The payloads of the decoder tests, compressed with the libraries'
// one-shot calls, which the decoders under test do not use.
#pragma once

#include <bzlib.h>
#include <gtest/gtest.h>
#include <lzma.h>
#include <zlib.h>
#if defined(VORNISH_HAVE_ZSTD)
#include <zstd.h>
#endif

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/decompress.hpp"

namespace vornish::testing_support {

inline std::string compress(Codec codec, std::string_view in) {
  std::string out;
  if (codec == Codec::Gzip) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    out.resize(deflateBound(&z, static_cast<uLong>(in.size())) + 32);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
  } else if (codec == Codec::Bzip2) {
    auto size = static_cast<unsigned int>(in.size() + in.size() / 100 + 700);
    out.resize(size);
    EXPECT_EQ(BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char*>(in.data()),
                                       static_cast<unsigned int>(in.size()), 1, 0, 0),
              BZ_OK);
    out.resize(size);
#if defined(VORNISH_HAVE_ZSTD)
  } else if (codec == Codec::Zstd) {
    // With the content checksum, as the zstd tool writes frames.
    out.resize(ZSTD_compressBound(in.size()));
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
    const std::size_t size = ZSTD_compress2(cctx, out.data(), out.size(), in.data(), in.size());
    ZSTD_freeCCtx(cctx);
    EXPECT_EQ(ZSTD_isError(size), 0U);
    out.resize(size);
#endif
  } else {
    out.resize(lzma_stream_buffer_bound(in.size()));
    std::size_t used = 0;
    EXPECT_EQ(lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr,
                                      reinterpret_cast<const std::uint8_t*>(in.data()), in.size(),
                                      reinterpret_cast<std::uint8_t*>(out.data()), &used,
                                      out.size()),
              LZMA_OK);
    out.resize(used);
  }
  return out;
}

}  // namespace vornish::testing_support
