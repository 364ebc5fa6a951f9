// The iconv stage behind transcoding().
//
// A single-byte code page is converted through a table of its 256 bytes,
// asked of iconv once when the source is made: the same mapping, without a
// library call per run of bytes, decoded by the tokenizer's own code-page
// decoder (ASCII sixteen bytes at a time).
// UTF-16 is widened sixteen units at a time while the units stay below
// U+0100, and goes through ICU between such blocks where the build has it
// (about twice iconv's speed); from a lone surrogate on, a buffer is left
// to iconv, so that what becomes 0xFF stays exactly iconv's. Every other
// encoding goes through iconv itself, a buffer at a time; a character cut
// by the end of the buffer waits for the next read.
#include "engine/transcode.hpp"

#include <iconv.h>
#if VORNISH_HAVE_ICU
#include <unicode/ustring.h>
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "parser/utf8.hpp"

namespace vornish {
namespace {

constexpr std::size_t kInputSize = std::size_t{256} << 10;
// Reads smaller than this go through a carry buffer, so a conversion step
// always has room for a whole character (at most 4 bytes of UTF-8) or two.
constexpr std::size_t kSmallRead = 16;
// Below this much room a code page is decoded byte by byte, without the
// decoder's 16-byte stores.
constexpr std::size_t kWideRoom = 64;
constexpr char kUnmapped = static_cast<char>(0xFF);
const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);
constexpr std::size_t kFailed = static_cast<std::size_t>(-1);

// The bytes per code unit, by which a sequence iconv refuses is skipped.
std::size_t unit_of(std::string_view encoding) noexcept {
  if (encoding.starts_with("UTF-16") || encoding.starts_with("UCS-2")) {
    return 2;
  }
  if (encoding.starts_with("UTF-32") || encoding.starts_with("UCS-4")) {
    return 4;
  }
  return 1;
}

// The code page's table, or false when it is not a single-byte one (a byte
// that starts a longer sequence, or one iconv holds back to combine with
// the next). A byte iconv cannot map becomes 0xFF.
bool single_byte_table(iconv_t converter, utf8::ByteChars& table) {
  for (unsigned value = 0; value < 256; ++value) {
    char in = static_cast<char>(value);
    char* in_at = &in;
    std::size_t in_left = 1;
    std::array<char, 16> out{};
    char* out_at = out.data();
    std::size_t out_left = out.size();
    iconv(converter, nullptr, nullptr, nullptr, nullptr);
    const std::size_t done = iconv(converter, &in_at, &in_left, &out_at, &out_left);
    const int error = errno;
    if (done == kFailed && error != EILSEQ) {
      return false;
    }
    if (iconv(converter, nullptr, nullptr, &out_at, &out_left) == kFailed) {
      return false;
    }
    const std::size_t made = out.size() - out_left;
    if (done == kFailed) {
      table.chars[value][0] = kUnmapped;
      table.lengths[value] = 1;
      table.unmapped[value] = 1;
      continue;
    }
    if (made == 0 || made > 3) {
      return false;
    }
    table.lengths[value] = static_cast<std::uint8_t>(made);
    std::memcpy(table.chars[value].data(), out.data(), made);
  }
  iconv(converter, nullptr, nullptr, nullptr, nullptr);
  table.settle();
  return true;
}

class TranscodingSource final : public ByteSource {
 public:
  TranscodingSource(std::string encoding, iconv_t converter, std::unique_ptr<ByteSource> inner)
      : encoding_(std::move(encoding)),
        converter_(converter),
        inner_(std::move(inner)),
        input_(new char[kInputSize]),
        unit_(unit_of(encoding_)),
        order_from_mark_(encoding_ == "UTF-16" || encoding_ == "UTF-32") {
    choose_utf16(encoding_);
    if (unit_ == 1) {
      auto table = std::make_unique<utf8::ByteChars>();
      if (single_byte_table(converter_, *table)) {
        for (unsigned value = 0; value < 0x80; ++value) {
          ascii_kept_ = ascii_kept_ && table->lengths[value] == 1 && table->unmapped[value] == 0 &&
                        static_cast<unsigned char>(table->chars[value][0]) == value;
        }
        table_ = std::move(table);
      }
    }
  }

  ~TranscodingSource() override { iconv_close(converter_); }

  Result<std::size_t> read(char* out, std::size_t size) override {
    if (carry_at_ == carry_size_ && size >= kSmallRead) {
      return fill(out, size);
    }
    if (carry_at_ == carry_size_) {
      Result<std::size_t> got = fill(carry_.data(), carry_.size());
      if (!got) {
        return got;
      }
      carry_at_ = 0;
      carry_size_ = got.value();
    }
    const std::size_t n = std::min(size, carry_size_ - carry_at_);
    std::memcpy(out, carry_.data() + carry_at_, n);
    carry_at_ += n;
    return n;
  }

 private:
  // Moves what is left of the input to the front and reads more behind it;
  // false at the end of the input.
  Result<bool> refill() {
    if (inner_eof_) {
      return false;
    }
    if (pending_ > 0) {
      std::memmove(input_.get(), next_, pending_);  // next_ is null before the first read
    }
    next_ = input_.get();
    Result<std::size_t> got = inner_->read(input_.get() + pending_, kInputSize - pending_);
    if (!got) {
      return got.error();
    }
    pending_ += got.value();
    inner_eof_ = got.value() == 0;
    return !inner_eof_;
  }

  // At the start: the byte-order mark, which for "UTF-16" and "UTF-32"
  // also picks the byte order.
  Result<bool> start() {
    while (pending_ < 4 && !inner_eof_) {
      Result<bool> more = refill();
      if (!more) {
        return more.error();
      }
    }
    if (!order_from_mark_) {
      return true;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(next_);
    const bool big = unit_ == 2 ? pending_ >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF
                                : pending_ >= 4 && bytes[0] == 0 && bytes[1] == 0 &&
                                      bytes[2] == 0xFE && bytes[3] == 0xFF;
    const std::string chosen = encoding_ + (big ? "BE" : "LE");
    const iconv_t converter = iconv_open("UTF-8", chosen.c_str());
    if (converter == kNoConverter) {
      return VornishError::os(errno);
    }
    iconv_close(converter_);
    converter_ = converter;
    choose_utf16(chosen);
    return true;
  }

  // Whether ICU converts: for UTF-16 in a known byte order.
  void choose_utf16([[maybe_unused]] std::string_view encoding) {
#if VORNISH_HAVE_ICU
    utf16_ = encoding == "UTF-16LE" ? Utf16::Little : encoding == "UTF-16BE" ? Utf16::Big : Utf16::No;
    if (utf16_ != Utf16::No && !units_) {
      units_ = std::make_unique<char16_t[]>(kInputSize / 2);
    }
#endif
  }

  Result<std::size_t> fill(char* out, std::size_t size) {
    std::size_t produced = 0;
    while (produced == 0 && !ended_) {
      if (!started_) {
        Result<bool> ready = start();
        if (!ready) {
          return ready.error();
        }
        started_ = true;
      }
      if (pending_ == 0 || want_more_) {
        const std::size_t before = pending_;
        Result<bool> more = refill();
        if (!more) {
          return more.error();
        }
        if (pending_ > before) {
          want_more_ = false;
        } else {
          produced += finish(out + produced, size - produced);
          ended_ = true;
          break;
        }
      }
      if (pending_ == 0) {
        continue;
      }
      produced += table_                  ? by_table(out + produced, size - produced)
                  : utf16_ != Utf16::No ? by_utf16(out + produced, size - produced)
                                        : by_iconv(out + produced, size - produced);
    }
    if (!mark_checked_ && produced > 0) {
      mark_checked_ = true;
      if (produced >= 3 && std::memcmp(out, "\xEF\xBB\xBF", 3) == 0) {
        std::memmove(out, out + 3, produced - 3);
        produced -= 3;
        if (produced == 0) {
          return fill(out, size);
        }
      }
    }
    return produced;
  }

  std::size_t by_table(char* out, std::size_t size) {
    const auto* in = reinterpret_cast<const unsigned char*>(next_);
    std::size_t n = 0;
    char* at = out;
    if (ascii_kept_ && size >= kWideRoom) {
      // The unmapped bytes are 0xFF in the text already: the tokenizer
      // puts them on record where they stand.
      std::size_t unmapped = 0;
      n = std::min(pending_, (size - 32) / 3);
      at = utf8::decode_bytes(out, in, n, *table_, unmapped);
    } else {
      n = std::min(pending_, size / 3);
      for (std::size_t i = 0; i < n; ++i) {
        std::memcpy(at, table_->chars[in[i]].data(), table_->lengths[in[i]]);
        at += table_->lengths[in[i]];
      }
    }
    next_ += n;
    pending_ -= n;
    return static_cast<std::size_t>(at - out);
  }

  std::size_t by_utf16([[maybe_unused]] char* out, [[maybe_unused]] std::size_t size) {
#if VORNISH_HAVE_ICU
    // Whole units that fit 3 bytes of UTF-8 each; a high surrogate last
    // waits for its partner (at the end of the input, iconv calls it cut off).
    std::size_t count = std::min(pending_ / 2, size / 3);
    const auto* bytes = reinterpret_cast<const unsigned char*>(next_);
    const bool big = utf16_ == Utf16::Big;
    const std::size_t hi = big ? 0 : 1;
    if (count > 0 && (bytes[2 * count - 2 + hi] & 0xFC) == 0xD8) {
      --count;
    }
    if (count == 0) {
      return by_iconv(out, size);
    }
    // Blocks of Latin-1 letters are widened in registers; ICU converts
    // what lies between them.
    char* at = out;
    std::size_t done = 0;
    while (done < count) {
      done += utf8::latin1_from_utf16(at, bytes + 2 * done, count - done, big);
      if (done == count) break;
      std::size_t run = utf8::units_before_latin1(bytes + 2 * done, count - done, big);
      // A pair cut by the end of the run stays whole.
      if (done + run < count && (bytes[2 * (done + run) - 2 + hi] & 0xFC) == 0xD8) {
        ++run;
      }
      const std::size_t made = by_icu(at, static_cast<std::size_t>(out + size - at), bytes + 2 * done, run, big);
      if (made == kFailed) {
        // A lone surrogate: iconv converts from there, so that what becomes
        // 0xFF is exactly its.
        break;
      }
      at += made;
      done += run;
    }
    if (done == 0) {
      return by_iconv(out, size);
    }
    next_ += 2 * done;
    pending_ -= 2 * done;
    return static_cast<std::size_t>(at - out);
#else
    return 0;
#endif
  }

#if VORNISH_HAVE_ICU
  // The UTF-8 of `count` units at `bytes`, written at `out` (room `room`);
  // kFailed when the units hold a lone surrogate.
  std::size_t by_icu(char* out, std::size_t room, const unsigned char* bytes, std::size_t count, bool big) {
    char16_t* units = units_.get();
    if (!big && std::endian::native == std::endian::little) {
      std::memcpy(units, bytes, 2 * count);
    } else {
      const std::size_t hi = big ? 0 : 1;
      for (std::size_t i = 0; i < count; ++i) {
        units[i] = static_cast<char16_t>(bytes[2 * i + hi] << 8 | bytes[2 * i + 1 - hi]);
      }
    }
    int32_t length = 0;
    int32_t substituted = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strToUTF8WithSub(out, static_cast<int32_t>(room), &length, units, static_cast<int32_t>(count), 0xFFFD,
                       &substituted, &status);
    if (U_FAILURE(status) || substituted != 0) {
      return kFailed;
    }
    return static_cast<std::size_t>(length);
  }
#endif

  std::size_t by_iconv(char* out, std::size_t size) {
    char* in_at = next_;
    std::size_t in_left = pending_;
    char* out_at = out;
    std::size_t out_left = size;
    const std::size_t done = iconv(converter_, &in_at, &in_left, &out_at, &out_left);
    const int error = errno;
    next_ = in_at;
    pending_ = in_left;
    if (done == kFailed && out_left > 0) {
      if (error == EILSEQ) {
        *out_at++ = kUnmapped;
        const std::size_t skip = std::min(unit_, pending_);
        next_ += skip;
        pending_ -= skip;
      } else if (error == EINVAL) {
        // A character cut by the end of the buffer: the rest is read
        // first, and at the end of the input it is a cut-off sequence.
        want_more_ = true;
      }
    }
    return static_cast<std::size_t>(out_at - out);
  }

  // What the input ends with: a sequence cut off by its end, and what iconv
  // still holds back.
  std::size_t finish(char* out, std::size_t size) {
    char* out_at = out;
    if (pending_ > 0) {
      *out_at++ = kUnmapped;
      pending_ = 0;
    }
    if (!table_) {
      std::size_t out_left = size - static_cast<std::size_t>(out_at - out);
      iconv(converter_, nullptr, nullptr, &out_at, &out_left);
    }
    return static_cast<std::size_t>(out_at - out);
  }

  std::string encoding_;
  iconv_t converter_;
  std::unique_ptr<ByteSource> inner_;
  std::unique_ptr<char[]> input_;
  char* next_ = nullptr;
  std::size_t pending_ = 0;
  std::size_t unit_;
  bool order_from_mark_;
  std::unique_ptr<utf8::ByteChars> table_;
  enum class Utf16 { No, Little, Big };
  Utf16 utf16_ = Utf16::No;
  std::unique_ptr<char16_t[]> units_;
  bool ascii_kept_ = true;
  bool inner_eof_ = false;
  bool started_ = false;
  bool want_more_ = false;
  bool ended_ = false;
  bool mark_checked_ = false;
  std::array<char, kSmallRead> carry_{};
  std::size_t carry_at_ = 0;
  std::size_t carry_size_ = 0;
};

}  // namespace

Result<std::unique_ptr<ByteSource>> transcoding(std::string_view encoding,
                                                std::unique_ptr<ByteSource> encoded) {
  std::string name(encoding);
  if (name.find('\0') != std::string::npos) {
    return VornishError::os(EINVAL);
  }
  const iconv_t converter = iconv_open("UTF-8", name.c_str());
  if (converter == kNoConverter) {
    return VornishError::os(errno);
  }
  auto source = std::make_unique<TranscodingSource>(std::move(name), converter, std::move(encoded));
  return std::unique_ptr<ByteSource>(std::move(source));
}

}  // namespace vornish
