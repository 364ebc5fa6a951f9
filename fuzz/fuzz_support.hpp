// Shared pieces of the fuzz targets: decoding the option bytes that lead
// each input, copying the payload into a buffer of exactly its size, an
// independent UTF-8 validator, and a plain, deliberately naive tokenizer
// that the real one is compared against.
//
// Everything here is written from the tokenizing rules alone and shares no
// code with src/, so a fault in the core cannot hide behind the same fault
// in the oracle. Speed does not matter here; obviousness does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "parser/resilient_parser.hpp"

// A broken invariant: print what and where, then abort so libFuzzer keeps
// the input as a crash artifact.
#define FUZZ_CHECK(cond)                                                        \
  do {                                                                          \
    if (!(cond)) {                                                              \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, \
                   #cond);                                                      \
      std::abort();                                                             \
    }                                                                           \
  } while (0)

namespace vornish::fuzz {

// FUZZ_CRASH_ONLY set (and not "0") in the environment: a target skips its
// reference comparisons and only runs the code under test, so that many
// more inputs per second reach the crash and sanitizer checks.
inline bool crash_only_mode() {
  const char* mode = std::getenv("FUZZ_CRASH_ONLY");
  return mode != nullptr && *mode != '\0' && *mode != '0';
}

// Reads option bytes from the front of a fuzz input; what is left is the
// payload. Running out of bytes yields zeros, so every input is usable.
class OptionReader {
 public:
  OptionReader(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}

  std::uint8_t byte() noexcept {
    if (used_ == size_) {
      return 0;
    }
    return data_[used_++];
  }

  // A delimiter or quote byte: mostly the bytes that matter to the rules
  // (separators, quotes, blanks, line ends, a UTF-8 lead), sometimes any.
  std::uint8_t interesting_byte() noexcept {
    static constexpr std::uint8_t kBytes[] = {',', ';', '\t', '|', '"', '\'', ' ',
                                              '\r', '\n', 0x00, 0xC3, 0xEF, 0xFF, 'a'};
    const std::uint8_t selector = byte();
    constexpr std::size_t kCount = sizeof kBytes;
    if (selector % (kCount + 1) == kCount) {
      return byte();
    }
    return kBytes[selector % (kCount + 1)];
  }

  std::string_view rest() const noexcept {
    return {reinterpret_cast<const char*>(data_ + used_), size_ - used_};
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t used_ = 0;
};

// The payload in a heap block of exactly its length, so that AddressSanitizer
// reports a read of even one byte past the end.
class ExactBuffer {
 public:
  explicit ExactBuffer(std::string_view bytes)
      : data_(new char[bytes.size()]), size_(bytes.size()) {
    if (size_ != 0) {
      std::memcpy(data_.get(), bytes.data(), size_);
    }
  }
  std::string_view view() const noexcept { return {data_.get(), size_}; }

 private:
  std::unique_ptr<char[]> data_;
  std::size_t size_;
};

inline bool is_ascii(std::string_view text) noexcept {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      return false;
    }
  }
  return true;
}

// Lenient decoding: each maximal ill-formed subsequence becomes one U+FFFD.
inline std::string decode_replacing(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::string out;
  std::size_t i = 0;
  while (i < n) {
    const unsigned char b = p[i];
    std::size_t len = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (b < 0x80) {
      out.push_back(static_cast<char>(b));
      ++i;
      continue;
    } else if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
    } else if (b == 0xE0) {
      len = 3, lo = 0xA0;
    } else if (b == 0xED) {
      len = 3, hi = 0x9F;
    } else if (b >= 0xE1 && b <= 0xEF) {
      len = 3;
    } else if (b == 0xF0) {
      len = 4, lo = 0x90;
    } else if (b >= 0xF1 && b <= 0xF3) {
      len = 4;
    } else if (b == 0xF4) {
      len = 4, hi = 0x8F;
    } else {
      out += kReplacement;
      ++i;
      continue;
    }
    // How many bytes of the sequence are well formed so far.
    std::size_t good = 1;
    if (i + 1 < n && p[i + 1] >= lo && p[i + 1] <= hi) {
      good = 2;
      while (good < len && i + good < n && p[i + good] >= 0x80 && p[i + good] <= 0xBF) {
        ++good;
      }
    }
    if (good == len) {
      out.append(bytes.substr(i, len));
    } else {
      out += kReplacement;
    }
    i += good;
  }
  return out;
}

// Well-formed UTF-8: the decoder leaves it unchanged, and any ill-formed
// byte would turn into U+FFFD, which is itself well-formed and so cannot
// have stood there.
inline bool is_valid_utf8(std::string_view text) { return decode_replacing(text) == text; }

// One row of the oracle, with the parser state after it was read.
struct OracleRow {
  std::vector<std::string> fields;
  std::size_t pos_after;
  std::size_t line_after;
};

// The tokenizing rules, one byte at a time, with the closing-quote test
// done by a fresh scan every time (quadratic on purpose: it is the obvious
// reading of the rule, which the cached version must agree with).
class OracleTokenizer {
 public:
  OracleTokenizer(std::string_view data, std::uint8_t delimiter, std::uint8_t quote,
                  bool repair)
      : data_(data), delimiter_(delimiter), quote_(quote), repair_(repair) {
    if (data.size() >= 3 && data.substr(0, 3) == "\xEF\xBB\xBF") {
      pos_ = 3;
    }
  }

  std::optional<OracleRow> next() {
    enum class State { FieldStart, Unquoted, Quoted, AfterQuote };
    if (pos_ >= data_.size()) {
      return std::nullopt;
    }
    std::vector<std::string> fields;
    std::string buf;
    State state = State::FieldStart;
    const auto finish = [&] {
      fields.push_back(decode_replacing(buf));
      buf.clear();
    };
    for (;;) {
      if (pos_ >= data_.size()) {
        if (state == State::FieldStart) {
          if (fields.empty()) {
            return std::nullopt;
          }
          fields.emplace_back();
        } else {
          finish();
        }
        return OracleRow{std::move(fields), pos_, line_};
      }
      const auto c = static_cast<std::uint8_t>(data_[pos_]);
      const bool line_end = c == '\n' || c == '\r';
      switch (state) {
        case State::FieldStart:
          if (c == quote_) {
            ++pos_;
            state = State::Quoted;
          } else if (c == delimiter_) {
            fields.emplace_back();
            ++pos_;
          } else if (line_end) {
            fields.emplace_back();
            return end_line(std::move(fields));
          } else {
            buf.push_back(static_cast<char>(c));
            ++pos_;
            state = State::Unquoted;
          }
          break;
        case State::Unquoted:
          if (c == delimiter_) {
            finish();
            ++pos_;
            state = State::FieldStart;
          } else if (line_end) {
            finish();
            return end_line(std::move(fields));
          } else {
            buf.push_back(static_cast<char>(c));
            ++pos_;
          }
          break;
        case State::Quoted:
          if (c == quote_ && pos_ + 1 == data_.size()) {
            ++pos_;
            state = State::AfterQuote;
          } else if (c == quote_ && static_cast<std::uint8_t>(data_[pos_ + 1]) == quote_) {
            buf.push_back(static_cast<char>(c));
            pos_ += 2;
          } else if (c == quote_) {
            if (!repair_ || closes(pos_)) {
              ++pos_;
              state = State::AfterQuote;
            } else {
              buf.push_back(static_cast<char>(c));
              ++pos_;
            }
          } else {
            if (c == '\n') {
              ++line_;
            }
            buf.push_back(static_cast<char>(c));
            ++pos_;
          }
          break;
        case State::AfterQuote:
          if (c == delimiter_) {
            finish();
            ++pos_;
            state = State::FieldStart;
          } else if (c == ' ' || c == '\t') {
            ++pos_;
          } else if (line_end) {
            finish();
            return end_line(std::move(fields));
          } else {
            buf.push_back(static_cast<char>(c));
            ++pos_;
            state = State::Unquoted;
          }
          break;
      }
    }
  }

 private:
  OracleRow end_line(std::vector<std::string> fields) {
    if (data_[pos_] == '\r' && pos_ + 1 < data_.size() && data_[pos_ + 1] == '\n') {
      ++pos_;
    }
    ++pos_;
    ++line_;
    return OracleRow{std::move(fields), pos_, line_};
  }

  bool followed_by_field_end(std::size_t q) const {
    std::size_t i = q + 1;
    while (i < data_.size() && (data_[i] == ' ' || data_[i] == '\t')) {
      ++i;
    }
    if (i == data_.size()) {
      return true;
    }
    const auto c = static_cast<std::uint8_t>(data_[i]);
    return c == delimiter_ || c == '\r' || c == '\n';
  }

  bool closes(std::size_t q) const {
    if (followed_by_field_end(q)) {
      return true;
    }
    for (std::size_t i = q + 1; i < data_.size() && data_[i] != '\r' && data_[i] != '\n'; ++i) {
      if (static_cast<std::uint8_t>(data_[i]) == quote_ && followed_by_field_end(i)) {
        return false;
      }
    }
    return true;
  }

  std::string_view data_;
  std::uint8_t delimiter_;
  std::uint8_t quote_;
  bool repair_;
  std::size_t pos_ = 0;
  std::size_t line_ = 1;
};

inline bool same_row(RowView row, const std::vector<std::string>& expected) {
  if (row.size() != expected.size()) {
    return false;
  }
  for (std::size_t i = 0; i < row.size(); ++i) {
    if (row[i].text != expected[i]) {
      return false;
    }
  }
  return true;
}

inline std::vector<std::string> copy_row(RowView row) {
  std::vector<std::string> out;
  out.reserve(row.size());
  for (const FieldView& f : row) {
    out.emplace_back(f.text);
  }
  return out;
}

}  // namespace vornish::fuzz
