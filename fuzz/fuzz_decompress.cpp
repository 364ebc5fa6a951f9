// The decompression seam: FileWindow over a decompressing source over a
// source that hands out its bytes in small, uneven pieces.
//
// Input: one option byte (codec, whether the payload is used as the
// compressed stream itself or compressed here first and then cut or
// flipped, the piece size), then the payload. Checked:
//   - raw bytes given as a compressed stream never crash, never read out of
//     bounds, and either decode or fail with Truncated or Corrupt;
//   - a stream compressed here decodes to exactly the payload;
//   - the same stream cut anywhere before its end is an error, never a
//     shorter success;
//   - with a byte flipped, success means exactly the payload (every codec
//     here checks a CRC of what it decoded).
//   - the parallel decoder (BGZF blocks, sized zstd frames) gives exactly
//     the sequential decoder's bytes, or fails with the same cause, on raw
//     bytes and on the payload written as BGZF blocks.
//   - the transcoding stage reads raw bytes as UTF-16 in either order by
//     the rule written out below, whatever the pieces.
// The reference compressors are the libraries' one-shot calls, which the
// decoders under test do not use.
#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>
#if defined(VORNISH_HAVE_ZSTD)
#include <zstd.h>
#endif

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <span>
#include <string_view>

#include "engine/byte_source.hpp"
#include "engine/decompress.hpp"
#include "engine/parallel_decode.hpp"
#include "engine/stream.hpp"
#include "engine/transcode.hpp"
#include "fuzz_support.hpp"
#include "parser/utf8.hpp"

namespace {

using vornish::ByteSource;
using vornish::Codec;
using vornish::Result;
using vornish::VornishError;

// Hands out `data` at most `piece` bytes at a time.
class PieceSource final : public ByteSource {
 public:
  PieceSource(std::string data, std::size_t piece) : data_(std::move(data)), piece_(piece) {}
  Result<std::size_t> read(char* out, std::size_t size) override {
    const std::size_t n = std::min({size, piece_, data_.size() - at_});
    std::memcpy(out, data_.data() + at_, n);
    at_ += n;
    return n;
  }

 private:
  std::string data_;
  std::size_t piece_;
  std::size_t at_ = 0;
};

std::string compress(Codec codec, std::string_view in) {
  std::string out;
  switch (codec) {
    case Codec::Gzip: {
      z_stream z{};
      deflateInit2(&z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
      out.resize(deflateBound(&z, static_cast<uLong>(in.size())) + 32);
      z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
      z.avail_in = static_cast<uInt>(in.size());
      z.next_out = reinterpret_cast<Bytef*>(out.data());
      z.avail_out = static_cast<uInt>(out.size());
      FUZZ_CHECK(deflate(&z, Z_FINISH) == Z_STREAM_END);
      out.resize(z.total_out);
      deflateEnd(&z);
      return out;
    }
    case Codec::Bzip2: {
      unsigned int size = static_cast<unsigned int>(in.size() + in.size() / 100 + 700);
      out.resize(size);
      FUZZ_CHECK(BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char*>(in.data()),
                                          static_cast<unsigned int>(in.size()), 1, 0, 0) == BZ_OK);
      out.resize(size);
      return out;
    }
    case Codec::Xz: {
      out.resize(lzma_stream_buffer_bound(in.size()));
      std::size_t used = 0;
      FUZZ_CHECK(lzma_easy_buffer_encode(0, LZMA_CHECK_CRC32, nullptr,
                                         reinterpret_cast<const std::uint8_t*>(in.data()),
                                         in.size(), reinterpret_cast<std::uint8_t*>(out.data()),
                                         &used, out.size()) == LZMA_OK);
      out.resize(used);
      return out;
    }
    case Codec::Zstd: {
#if defined(VORNISH_HAVE_ZSTD)
      // With the content checksum, as the zstd tool writes frames, so a
      // flipped byte cannot decode to other bytes unnoticed.
      out.resize(ZSTD_compressBound(in.size()));
      ZSTD_CCtx* cctx = ZSTD_createCCtx();
      ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
      const std::size_t made = ZSTD_compress2(cctx, out.data(), out.size(), in.data(), in.size());
      ZSTD_freeCCtx(cctx);
      FUZZ_CHECK(ZSTD_isError(made) == 0U);
      out.resize(made);
#endif
      return out;
    }
  }
  return out;
}

// The payload as BGZF: raw deflate blocks in gzip members whose extra
// field states their size.
std::string bgzf(std::string_view in, std::size_t block) {
  std::string out;
  const auto put = [&](std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xff);
  };
  for (std::size_t at = 0; at == 0 || at < in.size(); at += block) {
    const std::string_view part = in.substr(at, std::min(block, in.size() - at));
    std::string body(compressBound(static_cast<uLong>(part.size())) + 16, '\0');
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(part.data()));
    z.avail_in = static_cast<uInt>(part.size());
    z.next_out = reinterpret_cast<Bytef*>(body.data());
    z.avail_out = static_cast<uInt>(body.size());
    FUZZ_CHECK(deflate(&z, Z_FINISH) == Z_STREAM_END);
    body.resize(z.total_out);
    deflateEnd(&z);
    out += std::string("\x1f\x8b\x08\x04\0\0\0\0\0\xff\x06\0BC\x02\0", 16);
    put(static_cast<std::uint32_t>(18 + body.size() + 8 - 1), 2);
    out += body;
    put(static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(part.data()),
                                         static_cast<uInt>(part.size()))),
        4);
    put(static_cast<std::uint32_t>(part.size()), 4);
  }
  return out;
}

// Everything the seam gives, or its error; with `threads` above 1 through
// the parallel decoder.
Result<std::string> decode(Codec codec, std::string compressed, std::size_t piece,
                           std::size_t threads = 1) {
  std::unique_ptr<ByteSource> source = vornish::decompressing_in_parallel(
      codec, std::make_unique<PieceSource>(std::move(compressed), piece), threads);
  vornish::FileWindow window(*source);
  while (!window.at_eof()) {
    if (vornish::Status s = window.grow(1 + piece % 4096); !s) {
      return s.error();
    }
  }
  return std::string(window.view());
}

bool decode_failure(const VornishError& error) {
  return error.cause() == VornishError::Cause::Truncated ||
         error.cause() == VornishError::Cause::Corrupt;
}

// The parallel decoder against the sequential one on the same bytes.
void check_parallel(Codec codec, const std::string& compressed, std::size_t piece) {
  const Result<std::string> one = decode(codec, compressed, piece);
  const Result<std::string> two = decode(codec, compressed, piece, 2);
  FUZZ_CHECK(static_cast<bool>(one) == static_cast<bool>(two));
  if (one) {
    FUZZ_CHECK(one.value() == two.value());
  } else {
    FUZZ_CHECK(one.error().cause() == two.error().cause());
  }
}

}  // namespace

// UTF-16 as the transcoding stage must read it: a pair is one character; a
// lone surrogate is the byte 0xFF, as is a high one or a lone byte cut off
// by the end; a byte-order mark at the start goes.
std::string utf16_rule(std::string_view in, bool big) {
  const auto unit = [&](std::size_t at) {
    const auto first = static_cast<unsigned char>(in[at]);
    const auto second = static_cast<unsigned char>(in[at + 1]);
    return big ? (unsigned{first} << 8 | second) : (unsigned{second} << 8 | first);
  };
  std::string out;
  std::size_t i = 0;
  while (i + 2 <= in.size()) {
    const unsigned u = unit(i);
    if (u >= 0xD800 && u < 0xDC00) {
      if (i + 4 > in.size()) {
        out += '\xFF';
        i = in.size();
        break;
      }
      const unsigned low = unit(i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        vornish::utf8::append_code_point(out, static_cast<char32_t>(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00)));
        i += 4;
      } else {
        out += '\xFF';
        i += 2;
      }
    } else if (u >= 0xDC00 && u < 0xE000) {
      out += '\xFF';
      i += 2;
    } else {
      vornish::utf8::append_code_point(out, static_cast<char32_t>(u));
      i += 2;
    }
  }
  if (i < in.size()) out += '\xFF';
  if (out.starts_with("\xEF\xBB\xBF")) out.erase(0, 3);
  return out;
}

void check_utf16(const std::string& payload, std::size_t piece, bool big) {
  Result<std::unique_ptr<ByteSource>> made =
      vornish::transcoding(big ? "UTF-16BE" : "UTF-16LE", std::make_unique<PieceSource>(payload, piece));
  FUZZ_CHECK(made);
  std::string out;
  std::string buffer(1 + piece % 300 + 16, '\0');
  for (;;) {
    Result<std::size_t> got = made.value()->read(buffer.data(), buffer.size());
    FUZZ_CHECK(got);
    if (got.value() == 0) break;
    out.append(buffer.data(), got.value());
  }
  FUZZ_CHECK(out == utf16_rule(payload, big));
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) {
    return 0;
  }
  const std::uint8_t options = data[0];
  const std::span<const Codec> codecs = vornish::native_codecs();
  const Codec codec = codecs[options % codecs.size()];
  const bool raw = (options & 0x04) != 0;
  const std::size_t piece = std::size_t{1} << ((options >> 3) & 0x0F);
  const std::string payload(reinterpret_cast<const char*>(data + 1), size - 1);

  if (raw) {
    Result<std::string> got = decode(codec, payload, piece);
    FUZZ_CHECK(got || decode_failure(got.error()));
    check_parallel(codec, payload, piece);
    check_utf16(payload, piece, (options & 0x80) != 0);
    return 0;
  }
  const std::string whole = compress(codec, payload);
  Result<std::string> intact = decode(codec, whole, piece);
  FUZZ_CHECK(intact && intact.value() == payload);

  // Where to cut and which byte to flip come from the payload, so that
  // the fuzzer steers them too.
  const std::size_t mark = payload.empty() ? 0 : static_cast<unsigned char>(payload[0]);
  const std::size_t cut = (mark * 2654435761u + payload.size()) % whole.size();
  Result<std::string> cut_short = decode(codec, whole.substr(0, cut), piece);
  FUZZ_CHECK(!cut_short && decode_failure(cut_short.error()));

  std::string flipped = whole;
  flipped[cut] = static_cast<char>(flipped[cut] ^ (1 << (mark % 8)));
  Result<std::string> damaged = decode(codec, flipped, piece);
  FUZZ_CHECK(damaged ? damaged.value() == payload : decode_failure(damaged.error()));

  if (codec == Codec::Gzip) {
    const std::string blocks = bgzf(payload, 1 + mark * 7);
    Result<std::string> parallel = decode(codec, blocks, piece, 2);
    FUZZ_CHECK(parallel && parallel.value() == payload);
    const std::size_t at = (mark * 2654435761u + payload.size()) % blocks.size();
    check_parallel(codec, blocks.substr(0, at), piece);
    std::string hit = blocks;
    hit[at] = static_cast<char>(hit[at] ^ (1 << (mark % 8)));
    check_parallel(codec, hit, piece);
  }
  return 0;
}
