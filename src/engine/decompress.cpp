// The codecs behind decompressing(): zlib (or ISA-L's faster inflate where
// installed), libbz2, liblzma and libzstd, each driven the same way. read() pulls compressed bytes into one buffer as the codec
// asks and stops as soon as some output is there, so a caller asking for
// a few megabytes never waits for the whole stream.
#include "engine/decompress.hpp"

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>
#if defined(VORNISH_HAVE_ISAL)
#include <isa-l/igzip_lib.h>
#endif
#if defined(VORNISH_HAVE_ZSTD)
#include <zstd.h>
#include <zstd_errors.h>
#endif

#include <algorithm>
#include <climits>
#include <cstring>

namespace vornish {
namespace {

constexpr std::size_t kInputSize = std::size_t{256} << 10;

// What one step of a codec did.
enum class Step : std::uint8_t { Progress, StreamEnd, NeedInput, Corrupt, NoMemory };

// The loop every codec shares: feed input, run a step, notice where a
// stream ends and whether another one follows.
class DecodingSource : public ByteSource {
 public:
  DecodingSource(Codec codec, std::unique_ptr<ByteSource> inner)
      : codec_(codec), inner_(std::move(inner)), input_(new char[kInputSize]) {}

  Result<std::size_t> read(char* out, std::size_t size) final {
    if (ended_) {
      return std::size_t{0};
    }
    const std::size_t want = std::min<std::size_t>(size, UINT_MAX);
    std::size_t produced = 0;
    while (produced == 0) {
      if (pending_ == 0 && !inner_eof_) {
        Result<std::size_t> got = inner_->read(input_.get(), kInputSize);
        if (!got) {
          return got.error();
        }
        next_ = input_.get();
        pending_ = got.value();
        inner_eof_ = pending_ == 0;
      }
      if (between_streams_) {
        if (pending_ == 0 && inner_eof_) {
          ended_ = true;
          return std::size_t{0};
        }
        if (pending_ == 0) {
          continue;
        }
        if (!restart()) {
          return VornishError::out_of_memory();
        }
        between_streams_ = false;
      }
      std::size_t used = 0;
      std::size_t made = 0;
      const Step step =
          decode(next_, pending_, out + produced, want - produced, inner_eof_, used, made);
      next_ += used;
      pending_ -= used;
      produced += made;
      switch (step) {
        case Step::Progress:
          break;
        case Step::StreamEnd:
          between_streams_ = true;
          break;
        case Step::NeedInput:
          if (inner_eof_ && pending_ == 0) {
            return VornishError::truncated(static_cast<int>(codec_));
          }
          break;
        case Step::Corrupt:
          return VornishError::corrupt(static_cast<int>(codec_));
        case Step::NoMemory:
          return VornishError::out_of_memory();
      }
    }
    return produced;
  }

 protected:
  // Runs the codec over `in` into `out`; `used` and `made` say how much of
  // each it took. `last` means no input follows what is given.
  virtual Step decode(const char* in, std::size_t in_size, char* out, std::size_t out_size,
                      bool last, std::size_t& used, std::size_t& made) = 0;
  // Gets ready for the next concatenated stream; false without memory.
  virtual bool restart() = 0;

 private:
  Codec codec_;
  std::unique_ptr<ByteSource> inner_;
  std::unique_ptr<char[]> input_;
  const char* next_ = nullptr;
  std::size_t pending_ = 0;
  bool inner_eof_ = false;
  bool between_streams_ = false;
  bool ended_ = false;
};

unsigned int clamp_uint(std::size_t n) noexcept {
  return static_cast<unsigned int>(std::min<std::size_t>(n, UINT_MAX));
}

#if defined(VORNISH_HAVE_ISAL)
// ISA-L inflates about two and a half times as fast as zlib, and the
// decoder is what a compressed repair waits for. It checks each member's
// trailer itself and, at a member's end, hands back the input it read
// ahead, so concatenated members follow one another as with zlib.
class GzipSource final : public DecodingSource {
 public:
  explicit GzipSource(std::unique_ptr<ByteSource> inner)
      : DecodingSource(Codec::Gzip, std::move(inner)), state_(std::make_unique<inflate_state>()) {
    restart();
  }

 private:
  Step decode(const char* in, std::size_t in_size, char* out, std::size_t out_size, bool,
              std::size_t& used, std::size_t& made) override {
    // ISA-L waits for a whole header before judging it, so bytes after the
    // last member that are no gzip header would read as a cut-off member;
    // zlib calls them corrupt at the first wrong byte, and so do we.
    for (std::size_t i = 0; magic_seen_ < 2 && i < in_size; ++i, ++magic_seen_) {
      if (static_cast<unsigned char>(in[i]) != kMagic[magic_seen_]) {
        return Step::Corrupt;
      }
    }
    // ISA-L never writes through next_in; its type predates const.
    state_->next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(in));
    state_->avail_in = clamp_uint(in_size);
    state_->next_out = reinterpret_cast<std::uint8_t*>(out);
    state_->avail_out = clamp_uint(out_size);
    const std::uint32_t in_before = state_->avail_in;
    const std::uint32_t out_before = state_->avail_out;
    // The header is read on its own, into a record that lives across calls:
    // isal_inflate() would read it into one of its own that does not, and
    // a header cut by the end of an input buffer (the extra field of BGZF,
    // a file name) would then be misread as corrupt.
    if (in_header_) {
      const int header = isal_read_gzip_header(state_.get(), header_.get());
      if (header == ISAL_END_INPUT) {
        used = in_before - state_->avail_in;
        made = 0;
        return used > 0 ? Step::Progress : Step::NeedInput;
      }
      if (header != ISAL_DECOMP_OK) {
        return Step::Corrupt;
      }
      in_header_ = false;
    }
    const int rc = isal_inflate(state_.get());
    used = in_before - state_->avail_in;
    made = out_before - state_->avail_out;
    if (rc < 0 || rc == ISAL_NEED_DICT) {
      return Step::Corrupt;
    }
    if (state_->block_state == ISAL_BLOCK_FINISH) {
      return Step::StreamEnd;
    }
    return made > 0 || used > 0 ? Step::Progress : Step::NeedInput;
  }
  bool restart() override {
    isal_inflate_init(state_.get());
    // The trailer's sum and size are still checked.
    state_->crc_flag = ISAL_GZIP_NO_HDR_VER;
    isal_gzip_header_init(header_.get());
    in_header_ = true;
    magic_seen_ = 0;
    return true;
  }

  static constexpr unsigned char kMagic[2] = {0x1f, 0x8b};
  // About 40 KB of tables: kept off the stack and out of the object.
  std::unique_ptr<inflate_state> state_;
  // Name, comment and extra field are skipped, not kept (null buffers).
  std::unique_ptr<isal_gzip_header> header_ = std::make_unique<isal_gzip_header>();
  bool in_header_ = true;
  std::size_t magic_seen_ = 0;
};
#else
class GzipSource final : public DecodingSource {
 public:
  explicit GzipSource(std::unique_ptr<ByteSource> inner)
      : DecodingSource(Codec::Gzip, std::move(inner)) {
    // 16 + 15: a gzip wrapper around the largest window.
    ready_ = inflateInit2(&z_, 16 + MAX_WBITS) == Z_OK;
  }
  ~GzipSource() override {
    if (ready_) {
      inflateEnd(&z_);
    }
  }

 private:
  Step decode(const char* in, std::size_t in_size, char* out, std::size_t out_size, bool,
              std::size_t& used, std::size_t& made) override {
    if (!ready_) {
      return Step::NoMemory;
    }
    // zlib never writes through next_in; its type predates const.
    z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
    z_.avail_in = clamp_uint(in_size);
    z_.next_out = reinterpret_cast<Bytef*>(out);
    z_.avail_out = clamp_uint(out_size);
    const unsigned int in_before = z_.avail_in;
    const unsigned int out_before = z_.avail_out;
    const int rc = inflate(&z_, Z_NO_FLUSH);
    used = in_before - z_.avail_in;
    made = out_before - z_.avail_out;
    switch (rc) {
      case Z_OK:
        return made > 0 || used > 0 ? Step::Progress : Step::NeedInput;
      case Z_STREAM_END:
        return Step::StreamEnd;
      case Z_BUF_ERROR:
        return Step::NeedInput;
      case Z_MEM_ERROR:
        return Step::NoMemory;
      default:
        return Step::Corrupt;
    }
  }
  bool restart() override { return ready_ && inflateReset(&z_) == Z_OK; }

  z_stream z_{};
  bool ready_ = false;
};

#endif

class Bzip2Source final : public DecodingSource {
 public:
  explicit Bzip2Source(std::unique_ptr<ByteSource> inner)
      : DecodingSource(Codec::Bzip2, std::move(inner)) {
    ready_ = BZ2_bzDecompressInit(&s_, 0, 0) == BZ_OK;
  }
  ~Bzip2Source() override {
    if (ready_) {
      BZ2_bzDecompressEnd(&s_);
    }
  }

 private:
  Step decode(const char* in, std::size_t in_size, char* out, std::size_t out_size, bool,
              std::size_t& used, std::size_t& made) override {
    if (!ready_) {
      return Step::NoMemory;
    }
    s_.next_in = const_cast<char*>(in);  // never written through
    s_.avail_in = clamp_uint(in_size);
    s_.next_out = out;
    s_.avail_out = clamp_uint(out_size);
    const unsigned int in_before = s_.avail_in;
    const unsigned int out_before = s_.avail_out;
    const int rc = BZ2_bzDecompress(&s_);
    used = in_before - s_.avail_in;
    made = out_before - s_.avail_out;
    switch (rc) {
      case BZ_OK:
        return made > 0 || used > 0 ? Step::Progress : Step::NeedInput;
      case BZ_STREAM_END:
        return Step::StreamEnd;
      case BZ_MEM_ERROR:
        return Step::NoMemory;
      default:
        return Step::Corrupt;
    }
  }
  bool restart() override {
    BZ2_bzDecompressEnd(&s_);
    s_ = bz_stream{};
    ready_ = BZ2_bzDecompressInit(&s_, 0, 0) == BZ_OK;
    return ready_;
  }

  bz_stream s_{};
  bool ready_ = false;
};

class XzSource final : public DecodingSource {
 public:
  explicit XzSource(std::unique_ptr<ByteSource> inner)
      : DecodingSource(Codec::Xz, std::move(inner)) {
    ready_ = start();
  }
  ~XzSource() override { lzma_end(&s_); }

 private:
  bool start() {
    // Concatenated .xz streams read as one; the legacy .lzma format too.
    // A header may ask for a dictionary of up to 4 GiB: more than the
    // largest preset needs (64 MiB) is refused as corrupt, so a crafted
    // file cannot make the decoder take the memory it names.
    return lzma_auto_decoder(&s_, kXzMemoryLimit, LZMA_CONCATENATED) == LZMA_OK;
  }
  static constexpr std::uint64_t kXzMemoryLimit = std::uint64_t{128} << 20;
  Step decode(const char* in, std::size_t in_size, char* out, std::size_t out_size, bool last,
              std::size_t& used, std::size_t& made) override {
    if (!ready_) {
      return Step::NoMemory;
    }
    s_.next_in = reinterpret_cast<const std::uint8_t*>(in);
    s_.avail_in = in_size;
    s_.next_out = reinterpret_cast<std::uint8_t*>(out);
    s_.avail_out = out_size;
    // With LZMA_CONCATENATED the decoder only knows the input is over when
    // told so.
    const lzma_ret rc = lzma_code(&s_, last ? LZMA_FINISH : LZMA_RUN);
    used = in_size - s_.avail_in;
    made = out_size - s_.avail_out;
    switch (rc) {
      case LZMA_OK:
        return made > 0 || used > 0 ? Step::Progress : Step::NeedInput;
      case LZMA_STREAM_END:
        return Step::StreamEnd;
      case LZMA_BUF_ERROR:
        return Step::NeedInput;
      case LZMA_MEM_ERROR:
        return Step::NoMemory;
      default:
        return Step::Corrupt;
    }
  }
  bool restart() override {
    // Only reached when input follows a finished concatenated run, which
    // the decoder already rejected; start over so it says so again.
    lzma_end(&s_);
    s_ = LZMA_STREAM_INIT;
    ready_ = start();
    return ready_;
  }

  lzma_stream s_ = LZMA_STREAM_INIT;
  bool ready_ = false;
};


#if defined(VORNISH_HAVE_ZSTD)
// Frames one after the other read as one stream; a frame asking for a
// window beyond the decoder's default limit (128 MiB) is refused as corrupt
// rather than allocated.
class ZstdSource final : public DecodingSource {
 public:
  explicit ZstdSource(std::unique_ptr<ByteSource> inner)
      : DecodingSource(Codec::Zstd, std::move(inner)), stream_(ZSTD_createDStream()) {}
  ~ZstdSource() override { ZSTD_freeDStream(stream_); }
  ZstdSource(const ZstdSource&) = delete;
  ZstdSource& operator=(const ZstdSource&) = delete;

 private:
  Step decode(const char* in, std::size_t in_size, char* out, std::size_t out_size, bool,
              std::size_t& used, std::size_t& made) override {
    if (stream_ == nullptr) {
      return Step::NoMemory;
    }
    ZSTD_inBuffer input{in, in_size, 0};
    ZSTD_outBuffer output{out, out_size, 0};
    const std::size_t rc = ZSTD_decompressStream(stream_, &output, &input);
    used = input.pos;
    made = output.pos;
    if (ZSTD_isError(rc) != 0U) {
      return ZSTD_getErrorCode(rc) == ZSTD_error_memory_allocation ? Step::NoMemory : Step::Corrupt;
    }
    // 0: a frame is decoded and flushed completely.
    if (rc == 0) {
      return Step::StreamEnd;
    }
    return made > 0 || used > 0 ? Step::Progress : Step::NeedInput;
  }
  bool restart() override {
    return stream_ != nullptr && ZSTD_isError(ZSTD_DCtx_reset(stream_, ZSTD_reset_session_only)) == 0U;
  }

  ZSTD_DStream* stream_;
};
#endif

}  // namespace

std::span<const Codec> native_codecs() noexcept {
#if defined(VORNISH_HAVE_ZSTD)
  static constexpr Codec kCodecs[] = {Codec::Gzip, Codec::Bzip2, Codec::Xz, Codec::Zstd};
#else
  static constexpr Codec kCodecs[] = {Codec::Gzip, Codec::Bzip2, Codec::Xz};
#endif
  return kCodecs;
}

std::optional<Codec> codec_named(std::string_view name) noexcept {
  for (Codec codec : native_codecs()) {
    if (codec_name(codec) == name) {
      return codec;
    }
  }
  return std::nullopt;
}

std::unique_ptr<ByteSource> decompressing(Codec codec, std::unique_ptr<ByteSource> compressed) {
  switch (codec) {
    case Codec::Gzip:
      return std::make_unique<GzipSource>(std::move(compressed));
    case Codec::Bzip2:
      return std::make_unique<Bzip2Source>(std::move(compressed));
    case Codec::Xz:
      break;
    case Codec::Zstd:
#if defined(VORNISH_HAVE_ZSTD)
      return std::make_unique<ZstdSource>(std::move(compressed));
#else
      // codec_named() never gives it to a build without libzstd.
      return nullptr;
#endif
  }
  return std::make_unique<XzSource>(std::move(compressed));
}

}  // namespace vornish
