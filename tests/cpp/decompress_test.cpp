// Tests of the decompressing sources: concatenated streams, every cut
// point, corruption, the error texts, and the reads of sources into memory.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "engine/byte_source.hpp"
#include "compressing.hpp"
#include "piece_source.hpp"
#include "engine/decompress.hpp"
#include "engine/io.hpp"
#include "engine/stream.hpp"

namespace vornish {
namespace {

using testing_support::compress;
using testing_support::Pieces;

Result<std::string> decode(Codec codec, std::string compressed, std::size_t piece) {
  std::unique_ptr<ByteSource> source =
      decompressing(codec, std::make_unique<Pieces>(std::move(compressed), piece));
  Result<ByteBuffer> all = read_whole_source(*source);
  if (!all) {
    return all.error();
  }
  return std::string(all.value().view());
}

class Codecs : public ::testing::TestWithParam<Codec> {};

// Every codec this build decodes: zstd where libzstd was found.
INSTANTIATE_TEST_SUITE_P(All, Codecs, ::testing::ValuesIn(native_codecs().begin(), native_codecs().end()),
                         [](const auto& param) { return std::string(codec_name(param.param)); });

TEST_P(Codecs, NamesRoundTrip) { EXPECT_EQ(codec_named(codec_name(GetParam())), GetParam()); }

TEST_P(Codecs, ConcatenatedStreamsReadAsOneInAnyPieces) {
  std::string text;
  for (int i = 0; i < 20000; ++i) {
    text += std::to_string(i * 7919 % 10007) + ",\"x\ny\"," + std::to_string(i) + "\n";
  }
  const std::string a = text.substr(0, text.size() / 3);
  const std::string b = text.substr(text.size() / 3);
  const std::string packed = compress(GetParam(), a) + compress(GetParam(), b) +
                             compress(GetParam(), "");
  for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, packed.size()}) {
    Result<std::string> got = decode(GetParam(), packed, piece);
    ASSERT_TRUE(got) << got.error().message();
    EXPECT_EQ(got.value(), text) << "pieces of " << piece;
  }
}

TEST_P(Codecs, EveryCutBeforeTheEndIsAnError) {
  const std::string packed = compress(GetParam(), "id,name\n1,Ann\n2,\"Bob\"\n");
  for (std::size_t cut = 0; cut < packed.size(); ++cut) {
    Result<std::string> got = decode(GetParam(), packed.substr(0, cut), 3);
    ASSERT_FALSE(got) << "cut at " << cut << " gave " << got.value().size() << " bytes";
    EXPECT_TRUE(got.error().cause() == VornishError::Cause::Truncated ||
                got.error().cause() == VornishError::Cause::Corrupt)
        << got.error().message();
  }
}

TEST_P(Codecs, FlippedBytesNeverGiveOtherBytes) {
  const std::string text = "a,b,c\n1,2,3\n4,5,6\n";
  const std::string packed = compress(GetParam(), text);
  for (std::size_t at = 0; at < packed.size(); ++at) {
    std::string damaged = packed;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x21);
    Result<std::string> got = decode(GetParam(), damaged, 5);
    if (got) {
      EXPECT_EQ(got.value(), text) << "flip at " << at;
    }
  }
}

// gzip writes the file's name into the header, BGZF an extra field: a
// header cut by the end of a read must still be read whole.
TEST(Decompress, GzipHeadersWithNamesAndExtraFieldsInAnyPieces) {
  std::string text;
  std::string packed;
  for (int member = 0; member < 40; ++member) {
    const std::string part = std::to_string(member) + ",\"x\ny\"," + std::string(static_cast<std::size_t>(member) * 37, 'z') + "\n";
    text += part;
    std::string name = "export-" + std::to_string(member) + ".csv";
    std::string extra = "BC\x02" + std::string(1, '\0') + "\x10\x00";
    gz_header header{};
    header.name = reinterpret_cast<Bytef*>(name.data());
    header.extra = reinterpret_cast<Bytef*>(extra.data());
    header.extra_len = static_cast<uInt>(extra.size());
    header.hcrc = member % 2;
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    deflateSetHeader(&z, &header);
    std::string out(deflateBound(&z, static_cast<uLong>(part.size())) + 128, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(part.data()));
    z.avail_in = static_cast<uInt>(part.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    packed += out;
  }
  for (std::size_t piece : {std::size_t{1}, std::size_t{5}, std::size_t{13}, packed.size()}) {
    Result<std::string> got = decode(Codec::Gzip, packed, piece);
    ASSERT_TRUE(got) << got.error().message() << " in pieces of " << piece;
    EXPECT_EQ(got.value(), text) << "pieces of " << piece;
  }
}

TEST(Decompress, ErrorTexts) {
  Result<std::string> cut = decode(Codec::Gzip, compress(Codec::Gzip, "a,b\n").substr(0, 12), 64);
  ASSERT_FALSE(cut);
  EXPECT_EQ(cut.error().message(),
            "truncated gzip data: the compressed stream ends before its end marker");
  Result<std::string> junk = decode(Codec::Gzip, compress(Codec::Gzip, "a,b\n") + "junk", 64);
  ASSERT_FALSE(junk);
  EXPECT_EQ(junk.error().message(), "corrupt gzip data: the compressed stream does not decode");
  Result<std::string> plain = decode(Codec::Xz, "a,b\n1,2\n", 64);
  ASSERT_FALSE(plain);
  EXPECT_EQ(plain.error().message(), "corrupt xz data: the compressed stream does not decode");
}

TEST(Decompress, WindowReadsThroughTheSource) {
  const std::string text = "a,b\n1,2\n";
  std::unique_ptr<ByteSource> source =
      decompressing(Codec::Gzip, std::make_unique<Pieces>(compress(Codec::Gzip, text), 2));
  FileWindow window(*source);
  while (!window.at_eof()) {
    ASSERT_TRUE(window.grow(3));
  }
  EXPECT_EQ(window.view(), text);
}

TEST(Decompress, SourceHeadSaysWhetherItIsWhole) {
  for (auto [limit, whole] : {std::pair{std::size_t{8}, true}, std::pair{std::size_t{7}, false}}) {
    Pieces source("a,b\n1,2\n", 3);
    Result<FileHead> head = read_source_head(source, limit);
    ASSERT_TRUE(head);
    EXPECT_EQ(head.value().bytes, std::string("a,b\n1,2\n").substr(0, limit));
    EXPECT_EQ(head.value().whole, whole);
  }
}

}  // namespace
}  // namespace vornish
