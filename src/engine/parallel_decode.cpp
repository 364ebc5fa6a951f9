// Cutting a compressed input into independent pieces, decoding them on a
// work queue, and handing their bytes on in order.
#include "engine/parallel_decode.hpp"

#if defined(VORNISH_HAVE_ZSTD)
#include <zstd.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "engine/work_queue.hpp"

namespace vornish {
namespace {

// A piece is cut once it holds this much input or promises this much
// output; a single member or frame promising more is left to the
// sequential decoder, so no piece's output grows without bound.
constexpr std::size_t kPieceInput = std::size_t{512} << 10;
constexpr std::uint64_t kPieceOutput = std::uint64_t{2} << 20;
constexpr std::uint64_t kMostOutput = std::uint64_t{8} << 20;
// A frame not complete within this much input goes to the sequential decoder.
constexpr std::size_t kMostFrameInput = std::size_t{8} << 20;

// Bytes already read, then the rest of the source.
class PrefixedSource final : public ByteSource {
 public:
  PrefixedSource(std::string prefix, std::unique_ptr<ByteSource> rest)
      : prefix_(std::move(prefix)), rest_(std::move(rest)) {}
  Result<std::size_t> read(char* out, std::size_t size) override {
    if (at_ < prefix_.size()) {
      const std::size_t n = std::min(size, prefix_.size() - at_);
      std::memcpy(out, prefix_.data() + at_, n);
      at_ += n;
      return n;
    }
    return rest_ ? rest_->read(out, size) : Result<std::size_t>(std::size_t{0});
  }

 private:
  std::string prefix_;
  std::size_t at_ = 0;
  std::unique_ptr<ByteSource> rest_;
};

struct Piece {
  Codec codec = Codec::Gzip;
  std::string input;
  std::string output;
  std::uint64_t promised = 0;
  bool done = false;
  std::optional<VornishError> error;
};

std::uint32_t little_endian(const char* p, std::size_t bytes) noexcept {
  std::uint32_t value = 0;
  for (std::size_t i = bytes; i-- > 0;) {
    value = (value << 8) | static_cast<unsigned char>(p[i]);
  }
  return value;
}

// What the start of the buffered input holds.
struct Member {
  enum class Kind : std::uint8_t { Piece, NeedMore, Other } kind = Kind::Other;
  std::size_t size = 0;      // input bytes, for a piece
  std::uint64_t output = 0;  // output bytes it promises
};

// A BGZF block: a gzip member whose extra field says its size ("BC").
Member gzip_member(std::string_view in) noexcept {
  constexpr std::size_t kFixed = 12;  // up to and with XLEN
  if (in.size() < kFixed) {
    return {Member::Kind::NeedMore};
  }
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(in[i]); };
  if (byte(0) != 0x1f || byte(1) != 0x8b || byte(2) != 8 || (byte(3) & 0x04) == 0) {
    return {};
  }
  const std::size_t extra = little_endian(in.data() + 10, 2);
  if (in.size() < kFixed + extra) {
    return {Member::Kind::NeedMore};
  }
  std::size_t block = 0;
  for (std::size_t at = kFixed; at + 4 <= kFixed + extra;) {
    const std::size_t length = little_endian(in.data() + at + 2, 2);
    if (byte(at) == 'B' && byte(at + 1) == 'C' && length == 2 && at + 6 <= kFixed + extra) {
      block = little_endian(in.data() + at + 4, 2) + std::size_t{1};
      break;
    }
    at += 4 + length;
  }
  // The smallest member: header, an empty deflate block, CRC and size.
  if (block < kFixed + extra + 8) {
    return {};
  }
  if (in.size() < block) {
    return {Member::Kind::NeedMore};
  }
  const std::uint64_t output = little_endian(in.data() + block - 4, 4);
  if (output > kMostOutput) {
    return {};
  }
  return {Member::Kind::Piece, block, output};
}

#if defined(VORNISH_HAVE_ZSTD)
Member zstd_frame(std::string_view in) noexcept {
  if (in.size() < 4) {
    return {Member::Kind::NeedMore};
  }
  const unsigned long long content = ZSTD_getFrameContentSize(in.data(), in.size());
  if (content == ZSTD_CONTENTSIZE_ERROR) {
    // A header cut short reads as an error too; a skippable frame reads as
    // size 0 and is taken like any other.
    return {in.size() < 18 ? Member::Kind::NeedMore : Member::Kind::Other};
  }
  if (content == ZSTD_CONTENTSIZE_UNKNOWN || content > kMostOutput) {
    return {};
  }
  const std::size_t size = ZSTD_findFrameCompressedSize(in.data(), in.size());
  if (ZSTD_isError(size) != 0U) {
    return {in.size() < kMostFrameInput ? Member::Kind::NeedMore : Member::Kind::Other};
  }
  return {Member::Kind::Piece, size, content};
}
#endif

class ParallelDecodingSource final : public ByteSource {
 public:
  ParallelDecodingSource(Codec codec, std::unique_ptr<ByteSource> inner, std::size_t threads)
      : codec_(codec), inner_(std::move(inner)), threads_(threads) {}
  ~ParallelDecodingSource() override { queue_.stop(); }

  Result<std::size_t> read(char* out, std::size_t size) override {
    for (;;) {
      if (current_) {
        if (taken_ < current_->output.size()) {
          const std::size_t n = std::min(size, current_->output.size() - taken_);
          std::memcpy(out, current_->output.data() + taken_, n);
          taken_ += n;
          return n;
        }
        spare_.push_back(std::move(current_));
      }
      if (Status s = cut(); !s) {
        return s.error();
      }
      if (!pending_.empty()) {
        Piece& piece = *pending_.front();
        if (started_) {
          queue_.wait(piece);
        } else {
          decode(piece);
        }
        if (piece.error) {
          // A piece that does not decode alone (a damaged member, a size
          // field that lies): the ordinary decoder takes over from its
          // start and says what is wrong where it would have.
          decode_the_rest_in_order();
          continue;
        }
        current_ = std::move(pending_.front());
        pending_.pop_front();
        taken_ = 0;
        continue;
      }
      if (!rest_ && rest_input_) {
        rest_ = decompressing(codec_, std::move(rest_input_));
      }
      if (rest_) {
        return rest_->read(out, size);
      }
      return std::size_t{0};
    }
  }

 private:
  // Cuts pieces off the input until enough are in flight or it is done.
  Status cut() {
    while (!cut_done_ && pending_.size() < threads_ * 2) {
      std::unique_ptr<Piece> piece = next_piece();
      piece->codec = codec_;
      piece->input.clear();
      piece->promised = 0;
      for (;;) {
        const std::string_view held = std::string_view(buffer_).substr(at_);
        const Member member = codec_ == Codec::Gzip ? gzip_member(held) : frame(held);
        if (member.kind == Member::Kind::NeedMore && !inner_eof_) {
          if (Status s = fill(); !s) {
            return s;
          }
          continue;
        }
        if (member.kind != Member::Kind::Piece) {
          // The end after whole pieces, or what the sequential decoder
          // must judge (an empty input too: it is no stream at all).
          if (held.size() > 0 || !inner_eof_ || !any_piece_) {
            rest_input_ = std::make_unique<PrefixedSource>(std::string(held), std::move(inner_));
          }
          buffer_.clear();
          at_ = 0;
          cut_done_ = true;
          break;
        }
        any_piece_ = true;
        piece->input.append(held.substr(0, member.size));
        piece->promised += member.output;
        at_ += member.size;
        if (piece->input.size() >= kPieceInput || piece->promised >= kPieceOutput) {
          break;
        }
      }
      if (piece->input.empty()) {
        spare_.push_back(std::move(piece));
        break;
      }
      submit(std::move(piece));
    }
    return Ok{};
  }

  Member frame(std::string_view held) const noexcept {
#if defined(VORNISH_HAVE_ZSTD)
    return zstd_frame(held);
#else
    static_cast<void>(held);
    return {};
#endif
  }

  void decode_the_rest_in_order() {
    std::string input;
    for (std::unique_ptr<Piece>& piece : pending_) {
      if (started_) {
        queue_.wait(*piece);
      }
      input += piece->input;
    }
    pending_.clear();
    input.append(buffer_, at_);
    buffer_.clear();
    at_ = 0;
    // After the pieces comes the input not cut yet: still in inner_, or
    // already handed to the sequential decoder's input.
    std::unique_ptr<ByteSource> after = rest_input_ ? std::move(rest_input_) : std::move(inner_);
    rest_input_ = std::make_unique<PrefixedSource>(std::move(input), std::move(after));
    cut_done_ = true;
  }

  // Reads more input, keeping what is not cut yet.
  Status fill() {
    if (at_ > 0) {
      buffer_.erase(0, at_);
      at_ = 0;
    }
    const std::size_t before = buffer_.size();
    buffer_.resize(before + kPieceInput);
    Result<std::size_t> got = inner_->read(buffer_.data() + before, kPieceInput);
    buffer_.resize(before + (got ? got.value() : 0));
    if (!got) {
      return got.error();
    }
    inner_eof_ = got.value() == 0;
    return Ok{};
  }

  std::unique_ptr<Piece> next_piece() {
    if (spare_.empty()) {
      return std::make_unique<Piece>();
    }
    std::unique_ptr<Piece> piece = std::move(spare_.back());
    spare_.pop_back();
    return piece;
  }

  void submit(std::unique_ptr<Piece> piece) {
    piece->done = false;
    piece->error.reset();
    if (!started_ && !failed_to_start_) {
      try {
        queue_.start(
            threads_, [] { return 0; }, [](Piece& p, int) { decode(p); });
        started_ = true;
      } catch (const std::system_error&) {
        failed_to_start_ = true;  // decoded on the reading thread instead
      }
    }
    if (started_) {
      queue_.submit(piece.get());
    }
    pending_.push_back(std::move(piece));
  }

  // The ordinary decoder over one piece, which checks its sums and sizes;
  // it may give no more than the piece promised.
  static void decode(Piece& piece) {
    piece.output.resize(static_cast<std::size_t>(piece.promised));
    struct Bytes final : ByteSource {
      explicit Bytes(std::string_view b) : bytes(b) {}
      Result<std::size_t> read(char* out, std::size_t size) override {
        const std::size_t n = std::min(size, bytes.size());
        std::memcpy(out, bytes.data(), n);
        bytes.remove_prefix(n);
        return n;
      }
      std::string_view bytes;
    };
    const Codec codec = piece.codec;
    std::unique_ptr<ByteSource> decoder =
        decompressing(codec, std::make_unique<Bytes>(piece.input));
    std::size_t made = 0;
    for (;;) {
      char probe = 0;
      const bool full = made == piece.output.size();
      Result<std::size_t> got =
          full ? decoder->read(&probe, 1) : decoder->read(piece.output.data() + made,
                                                          piece.output.size() - made);
      if (!got) {
        piece.error = got.error();
        return;
      }
      if (got.value() == 0) {
        break;
      }
      if (full) {
        piece.error = VornishError::corrupt(static_cast<int>(codec));
        return;
      }
      made += got.value();
    }
    if (made != piece.output.size()) {
      piece.error = VornishError::corrupt(static_cast<int>(codec));
    }
  }

  Codec codec_;
  std::unique_ptr<ByteSource> inner_;
  std::size_t threads_;
  std::string buffer_;  // input read but not cut yet, from at_ on
  std::size_t at_ = 0;
  bool inner_eof_ = false;
  bool cut_done_ = false;
  bool any_piece_ = false;
  // The input after the last piece, and its sequential decoder once the
  // pieces are handed on.
  std::unique_ptr<ByteSource> rest_input_;
  std::unique_ptr<ByteSource> rest_;
  std::deque<std::unique_ptr<Piece>> pending_;
  std::vector<std::unique_ptr<Piece>> spare_;
  std::unique_ptr<Piece> current_;
  std::size_t taken_ = 0;
  bool started_ = false;
  bool failed_to_start_ = false;
  // Last, so its threads are joined before the pieces they decode go.
  WorkQueue<Piece> queue_;
};

}  // namespace

std::unique_ptr<ByteSource> decompressing_in_parallel(Codec codec,
                                                      std::unique_ptr<ByteSource> compressed,
                                                      std::size_t threads) {
  if (threads <= 1 || (codec != Codec::Gzip && codec != Codec::Zstd)) {
    return decompressing(codec, std::move(compressed));
  }
  return std::make_unique<ParallelDecodingSource>(codec, std::move(compressed), threads);
}

}  // namespace vornish
