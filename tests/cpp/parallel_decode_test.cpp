// Tests of the parallel decoding of BGZF blocks and zstd frames: the bytes
// and errors are those of the sequential decoder, whatever follows the
// pieces and whatever is wrong with them.
#include <gtest/gtest.h>
#include <zlib.h>
#if defined(VORNISH_HAVE_ZSTD)
#include <zstd.h>
#endif

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/decompress.hpp"
#include "engine/parallel_decode.hpp"
#include "compressing.hpp"
#include "piece_source.hpp"

namespace vornish {
namespace {

using testing_support::compress;
using testing_support::Pieces;

std::string text(std::size_t size) {
  std::string s;
  for (std::size_t row = 0; s.size() < size; ++row) {
    s += std::to_string(row * 7919 % 100003) + ",name " + std::to_string(row % 97) + ",\"q\"\n";
  }
  s.resize(size);
  return s;
}

void put16(std::string& out, std::size_t v) {
  out += static_cast<char>(v & 0xff);
  out += static_cast<char>((v >> 8) & 0xff);
}
void put32(std::string& out, std::uint32_t v) {
  put16(out, v & 0xffff);
  put16(out, v >> 16);
}

// One gzip member with the "BC" extra field of BGZF giving its size.
std::string bgzf_block(std::string_view in) {
  std::string body(compressBound(static_cast<uLong>(in.size())) + 64, '\0');
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(body.data());
  z.avail_out = static_cast<uInt>(body.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  body.resize(z.total_out);
  deflateEnd(&z);
  std::string out = std::string("\x1f\x8b\x08\x04\0\0\0\0\0\xff", 10);
  put16(out, 6);
  out += "BC";
  put16(out, 2);
  put16(out, 12 + 6 + body.size() + 8 - 1);
  out += body;
  put32(out, static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(in.data()),
                                              static_cast<uInt>(in.size()))));
  put32(out, static_cast<std::uint32_t>(in.size()));
  return out;
}

std::string bgzf(std::string_view in, std::size_t block) {
  std::string out;
  for (std::size_t at = 0; at < in.size(); at += block) out += bgzf_block(in.substr(at, block));
  return out + bgzf_block("");  // BGZF's end-of-file marker
}

struct Outcome {
  std::string bytes;
  std::optional<VornishError::Cause> error;
  bool operator==(const Outcome&) const = default;
};

Outcome drain(std::unique_ptr<ByteSource> source) {
  Outcome outcome;
  std::string buffer(100003, '\0');
  for (;;) {
    Result<std::size_t> got = source->read(buffer.data(), buffer.size());
    if (!got) {
      outcome.error = got.error().cause();
      return outcome;
    }
    if (got.value() == 0) return outcome;
    outcome.bytes.append(buffer, 0, got.value());
  }
}

// The parallel decoder against the sequential one on the same input.
void expect_as_sequential(Codec codec, const std::string& compressed) {
  const Outcome sequential = drain(decompressing(codec, std::make_unique<Pieces>(compressed, 1 << 16)));
  for (const std::size_t threads : {2u, 3u}) {
    for (const std::size_t piece : {1u << 16, 977u}) {
      SCOPED_TRACE("threads " + std::to_string(threads) + ", reads of " + std::to_string(piece));
      const Outcome parallel = drain(
          decompressing_in_parallel(codec, std::make_unique<Pieces>(compressed, piece), threads));
      EXPECT_EQ(parallel.bytes.size(), sequential.bytes.size());
      EXPECT_EQ(parallel.error.has_value(), sequential.error.has_value());
      EXPECT_TRUE(parallel == sequential);
    }
  }
}

TEST(ParallelDecode, BgzfBlocksGiveTheSequentialBytes) {
  const std::string data = text(3 << 20);
  expect_as_sequential(Codec::Gzip, bgzf(data, 65280));
  expect_as_sequential(Codec::Gzip, bgzf(data, 1000));
  // A plain member after the blocks, and blocks after a plain member.
  expect_as_sequential(Codec::Gzip, bgzf(data, 65280) + compress(Codec::Gzip, data));
  expect_as_sequential(Codec::Gzip, compress(Codec::Gzip, data) + bgzf(data, 65280));
  EXPECT_EQ(drain(decompressing_in_parallel(Codec::Gzip,
                                            std::make_unique<Pieces>(bgzf(data, 4096), 4096), 2))
                .bytes,
            data);
}

TEST(ParallelDecode, DamageIsReportedAsTheSequentialDecoderReportsIt) {
  const std::string data = text(1 << 20);
  const std::string blocks = bgzf(data, 30000);
  expect_as_sequential(Codec::Gzip, blocks.substr(0, blocks.size() / 2));  // cut off
  std::string corrupt = blocks;
  corrupt[corrupt.size() / 2] ^= 0x55;
  expect_as_sequential(Codec::Gzip, corrupt);
  expect_as_sequential(Codec::Gzip, blocks + "trailing");
  expect_as_sequential(Codec::Gzip, "");  // no stream at all
  expect_as_sequential(Codec::Zstd, "");
  // A size field that lies: the block is cut short of its real end.
  std::string lying = bgzf_block(data.substr(0, 40000)) + bgzf_block(data.substr(40000, 40000));
  lying[16] = static_cast<char>(lying[16] - 9);
  expect_as_sequential(Codec::Gzip, lying);
  // A block claiming gigabytes of output is never allocated for.
  std::string huge = bgzf_block(data.substr(0, 1000));
  huge[huge.size() - 1] = '\x7f';
  expect_as_sequential(Codec::Gzip, huge + bgzf_block(data.substr(1000, 1000)));
}

#if defined(VORNISH_HAVE_ZSTD)
std::string zstd_frames(std::string_view in, std::size_t frame, bool sized = true) {
  std::string out;
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, sized ? 1 : 0);
  for (std::size_t at = 0; at < in.size(); at += frame) {
    const std::string_view part = in.substr(at, frame);
    std::string buffer(ZSTD_compressBound(part.size()), '\0');
    const std::size_t size =
        ZSTD_compress2(cctx, buffer.data(), buffer.size(), part.data(), part.size());
    EXPECT_EQ(ZSTD_isError(size), 0U);
    out.append(buffer, 0, size);
  }
  ZSTD_freeCCtx(cctx);
  return out;
}

TEST(ParallelDecode, ZstdFramesGiveTheSequentialBytes) {
  const std::string data = text(3 << 20);
  expect_as_sequential(Codec::Zstd, zstd_frames(data, 300000));
  expect_as_sequential(Codec::Zstd, zstd_frames(data, 5000));
  // Frames of unknown size, and one larger than a piece may promise.
  expect_as_sequential(Codec::Zstd, zstd_frames(data, 300000) + zstd_frames(data, 300000, false));
  expect_as_sequential(Codec::Zstd, zstd_frames(data, 100000) + zstd_frames(data + data + data, 9 << 20));
  std::string skippable("\x50\x2a\x4d\x18", 4);
  put32(skippable, 3);
  expect_as_sequential(Codec::Zstd, zstd_frames(data, 300000) + skippable + "abc" + zstd_frames(data, 300000));
  const std::string frames = zstd_frames(data, 200000);
  expect_as_sequential(Codec::Zstd, frames.substr(0, frames.size() - 100));
  std::string corrupt = frames;
  corrupt[corrupt.size() / 3] ^= 0x21;
  expect_as_sequential(Codec::Zstd, corrupt);
}
#endif

}  // namespace
}  // namespace vornish
