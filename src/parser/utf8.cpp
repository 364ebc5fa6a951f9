// UTF-8 checking and lenient decoding for field bytes.
//
// The decoder follows the Unicode Standard's "maximal subpart" practice:
// a lead byte with its valid continuation bytes, cut short by a byte that
// cannot continue it, becomes one U+FFFD; a byte that can start nothing
// becomes one U+FFFD on its own.
#include "parser/utf8.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

#if defined(__x86_64__) && defined(__GNUC__)
#define VORNISH_X86_DISPATCH 1
#include <immintrin.h>
#endif

namespace vornish::utf8 {
namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// Index of the first byte at or above 0x80, or size when there is none.
std::size_t ascii_prefix(const unsigned char* p, std::size_t n) noexcept {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, p + i, sizeof word);
    if ((word & kHighBits) != 0) break;
  }
  while (i < n && p[i] < 0x80) ++i;
  return i;
}

struct Sequence {
  unsigned char length;  // 0: the byte can start no sequence
  unsigned char second_min;
  unsigned char second_max;
};

constexpr Sequence sequence_of(unsigned char lead) noexcept {
  if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
  if (lead == 0xE0) return {3, 0xA0, 0xBF};
  if (lead == 0xED) return {3, 0x80, 0x9F};
  if (lead >= 0xE1 && lead <= 0xEF) return {3, 0x80, 0xBF};
  if (lead == 0xF0) return {4, 0x90, 0xBF};
  if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
  if (lead == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

constexpr bool is_continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

// Length of the well-formed sequence at p[0], or, negated, the length of
// the maximal ill-formed subpart to replace (always at least 1).
std::ptrdiff_t measure(const unsigned char* p, std::size_t n) noexcept {
  const Sequence seq = sequence_of(p[0]);
  if (seq.length == 0) return -1;
  if (n < 2 || p[1] < seq.second_min || p[1] > seq.second_max) return -1;
  for (std::size_t k = 2; k < seq.length; ++k) {
    if (k >= n || !is_continuation(p[k])) return -static_cast<std::ptrdiff_t>(k);
  }
  return seq.length;
}

// The scalar validator: a table-driven automaton over bytes. Each state is
// a bit offset into a 64-bit row, so one step is a load indexed by the byte
// and a shift by the state, with no branch on the byte's kind; 8 ASCII
// bytes at a time are skipped between sequences.
namespace dfa {

constexpr unsigned kAccept = 0;   // between sequences
constexpr unsigned kReject = 6;   // ill-formed; stays so
constexpr unsigned kNeed1 = 12;   // one continuation byte to go
constexpr unsigned kNeed2 = 18;   // two to go
constexpr unsigned kAfterE0 = 24; // two to go, the first A0..BF (no overlong)
constexpr unsigned kAfterED = 30; // two to go, the first 80..9F (no surrogate)
constexpr unsigned kAfterF0 = 36; // three to go, the first 90..BF (no overlong)
constexpr unsigned kNeed3 = 42;   // three to go
constexpr unsigned kAfterF4 = 48; // three to go, the first 80..8F (at most U+10FFFF)
constexpr unsigned kStates[] = {kAccept, kReject,  kNeed1,  kNeed2, kAfterE0,
                                kAfterED, kAfterF0, kNeed3, kAfterF4};

constexpr unsigned next(unsigned state, unsigned b) noexcept {
  const bool cont = b >= 0x80 && b <= 0xBF;
  switch (state) {
    case kAccept:
      if (b < 0x80) return kAccept;
      if (b >= 0xC2 && b <= 0xDF) return kNeed1;
      if (b == 0xE0) return kAfterE0;
      if (b == 0xED) return kAfterED;
      if (b >= 0xE1 && b <= 0xEF) return kNeed2;
      if (b == 0xF0) return kAfterF0;
      if (b >= 0xF1 && b <= 0xF3) return kNeed3;
      if (b == 0xF4) return kAfterF4;
      return kReject;
    case kNeed1:
      return cont ? kAccept : kReject;
    case kNeed2:
      return cont ? kNeed1 : kReject;
    case kAfterE0:
      return b >= 0xA0 && b <= 0xBF ? kNeed1 : kReject;
    case kAfterED:
      return b >= 0x80 && b <= 0x9F ? kNeed1 : kReject;
    case kAfterF0:
      return b >= 0x90 && b <= 0xBF ? kNeed2 : kReject;
    case kNeed3:
      return cont ? kNeed2 : kReject;
    case kAfterF4:
      return b >= 0x80 && b <= 0x8F ? kNeed2 : kReject;
    default:
      return kReject;
  }
}

constexpr std::array<std::uint64_t, 256> make_table() noexcept {
  std::array<std::uint64_t, 256> table{};
  for (unsigned b = 0; b < 256; ++b) {
    for (const unsigned s : kStates) table[b] |= std::uint64_t{next(s, b)} << s;
  }
  return table;
}

constexpr std::array<std::uint64_t, 256> kTable = make_table();

// x86 shifts take their count modulo 64, so the mask costs nothing there;
// it only keeps the bits of the other states out of the test at the end.
inline std::uint64_t step(std::uint64_t state, unsigned char b) noexcept {
  return kTable[b] >> (state & 63);
}

inline bool accepts(std::uint64_t state) noexcept { return (state & 63) == kAccept; }
inline bool rejects(std::uint64_t state) noexcept { return (state & 63) == kReject; }

template <std::size_t kChunk, typename IsAscii>
bool run(const unsigned char* p, std::size_t n, IsAscii is_ascii) noexcept {
  std::uint64_t state = kAccept;
  std::size_t i = 0;
  for (; i + kChunk <= n; i += kChunk) {
    if (accepts(state) && is_ascii(p + i)) continue;
    for (std::size_t k = 0; k < kChunk; ++k) state = step(state, p[i + k]);
    if (rejects(state)) return false;
  }
  for (; i < n; ++i) state = step(state, p[i]);
  return accepts(state);
}

}  // namespace dfa

bool valid_scalar(const char* bytes, std::size_t n) noexcept {
  return dfa::run<8>(reinterpret_cast<const unsigned char*>(bytes), n,
                     [](const unsigned char* at) noexcept {
                       std::uint64_t word;
                       std::memcpy(&word, at, sizeof word);
                       return (word & kHighBits) == 0;
                     });
}

#if defined(VORNISH_X86_DISPATCH)

bool valid_sse2(const char* bytes, std::size_t n) noexcept {
  return dfa::run<16>(reinterpret_cast<const unsigned char*>(bytes), n,
                      [](const unsigned char* at) noexcept {
                        return _mm_movemask_epi8(
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(at))) == 0;
                      });
}

// The wide validators judge every byte from its own high nibble and the
// nibbles of the byte before it, by three 16-entry table lookups whose
// results are ANDed: each bit names one kind of error, and survives only
// when all three lookups agree the pair shows it. A byte that must be the
// third or fourth of a sequence is found from the bytes two and three
// back. The input's last, partial chunk is read zero-padded, so a sequence
// cut off by the end of the field shows as too short.
namespace nibble {

constexpr std::uint8_t kTooShort = 1 << 0;   // lead, then no continuation
constexpr std::uint8_t kTooLong = 1 << 1;    // ASCII, then a continuation
constexpr std::uint8_t kOverlong3 = 1 << 2;  // E0 80..9F
constexpr std::uint8_t kTooLarge = 1 << 3;   // F4 90..BF, F5..FF 90..BF
constexpr std::uint8_t kSurrogate = 1 << 4;  // ED A0..BF
constexpr std::uint8_t kOverlong2 = 1 << 5;  // C0..C1, then a continuation
constexpr std::uint8_t kTooLarge1000 = 1 << 6;  // F5..FF 80..8F
constexpr std::uint8_t kOverlong4 = 1 << 6;     // F0 80..8F
constexpr std::uint8_t kTwoConts = 1 << 7;      // continuation after continuation
constexpr std::uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

// Indexed by the high nibble of the byte before.
alignas(16) constexpr std::uint8_t kPrevHigh[16] = {
    kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
    kTwoConts, kTwoConts, kTwoConts, kTwoConts,
    kTooShort | kOverlong2,
    kTooShort,
    kTooShort | kOverlong3 | kSurrogate,
    kTooShort | kTooLarge | kTooLarge1000 | kOverlong4};

// Indexed by the low nibble of the byte before.
alignas(16) constexpr std::uint8_t kPrevLow[16] = {
    kCarry | kOverlong3 | kOverlong2 | kOverlong4,
    kCarry | kOverlong2,
    kCarry,
    kCarry,
    kCarry | kTooLarge,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000 | kSurrogate,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000};

// Indexed by the high nibble of the byte itself.
alignas(16) constexpr std::uint8_t kHigh[16] = {
    kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooShort, kTooShort, kTooShort, kTooShort};

}  // namespace nibble

__attribute__((target("avx2"))) inline __m256i table_avx2(const std::uint8_t (&t)[16]) noexcept {
  return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(t)));
}

// The bytes of `cur` moved up by N places, the gap filled from the end of `prev`.
template <int N>
__attribute__((target("avx2"))) inline __m256i back_avx2(__m256i cur, __m256i prev) noexcept {
  return _mm256_alignr_epi8(cur, _mm256_permute2x128_si256(prev, cur, 0x21), 16 - N);
}

__attribute__((target("avx2"))) inline __m256i high_of(__m256i v) noexcept {
  return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
}

// Non-zero lanes where `cur`, read after `prev`, is ill-formed.
__attribute__((target("avx2"))) inline __m256i errors_avx2(__m256i cur, __m256i prev) noexcept {
  const __m256i low_nibbles = _mm256_set1_epi8(0x0F);
  const __m256i prev1 = back_avx2<1>(cur, prev);
  const __m256i special = _mm256_and_si256(
      _mm256_and_si256(
          _mm256_shuffle_epi8(table_avx2(nibble::kPrevHigh), high_of(prev1)),
          _mm256_shuffle_epi8(table_avx2(nibble::kPrevLow), _mm256_and_si256(prev1, low_nibbles))),
      _mm256_shuffle_epi8(table_avx2(nibble::kHigh), high_of(cur)));
  const __m256i third = _mm256_subs_epu8(back_avx2<2>(cur, prev), _mm256_set1_epi8(0xE0 - 0x80));
  const __m256i fourth = _mm256_subs_epu8(back_avx2<3>(cur, prev), _mm256_set1_epi8(0xF0 - 0x80));
  const __m256i must_continue =
      _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
  return _mm256_xor_si256(must_continue, special);
}

__attribute__((target("avx2"))) bool valid_avx2(const char* bytes, std::size_t n) noexcept {
  __m256i prev = _mm256_setzero_si256();
  __m256i error = _mm256_setzero_si256();
  // An ASCII chunk needs no check unless a sequence is open across its
  // start, which takes a non-ASCII last byte in the chunk before.
  std::uint32_t prev_high = 0;
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m256i cur = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + i));
    const auto high = static_cast<std::uint32_t>(_mm256_movemask_epi8(cur));
    if ((high | (prev_high >> 31)) != 0) error = _mm256_or_si256(error, errors_avx2(cur, prev));
    prev = cur;
    prev_high = high;
  }
  alignas(32) char tail[32] = {};
  if (i < n) std::memcpy(tail, bytes + i, n - i);  // bytes may be null when n is 0
  error = _mm256_or_si256(error, errors_avx2(_mm256_load_si256(reinterpret_cast<const __m256i*>(tail)), prev));
  return _mm256_testz_si256(error, error) != 0;
}

__attribute__((target("avx512bw"))) inline __m512i table_avx512(const std::uint8_t (&t)[16]) noexcept {
  return _mm512_maskz_broadcast_i32x4(0xFFFF, _mm_load_si128(reinterpret_cast<const __m128i*>(t)));
}

// The zero-masked forms, with every lane kept, are the plain ones without
// the undefined source operand that g++ 12 warns about.
template <int N>
__attribute__((target("avx512bw"))) inline __m512i back_avx512(__m512i cur, __m512i prev) noexcept {
  return _mm512_alignr_epi8(cur, _mm512_maskz_alignr_epi32(0xFFFF, cur, prev, 12), 16 - N);
}

__attribute__((target("avx512bw"))) inline __m512i high_of(__m512i v) noexcept {
  return _mm512_and_si512(_mm512_srli_epi16(v, 4), _mm512_set1_epi8(0x0F));
}

__attribute__((target("avx512bw"))) inline __m512i errors_avx512(__m512i cur, __m512i prev) noexcept {
  const __m512i low_nibbles = _mm512_set1_epi8(0x0F);
  const __m512i prev1 = back_avx512<1>(cur, prev);
  const __m512i special = _mm512_and_si512(
      _mm512_and_si512(
          _mm512_shuffle_epi8(table_avx512(nibble::kPrevHigh), high_of(prev1)),
          _mm512_shuffle_epi8(table_avx512(nibble::kPrevLow), _mm512_and_si512(prev1, low_nibbles))),
      _mm512_shuffle_epi8(table_avx512(nibble::kHigh), high_of(cur)));
  const __m512i third = _mm512_subs_epu8(back_avx512<2>(cur, prev), _mm512_set1_epi8(0xE0 - 0x80));
  const __m512i fourth = _mm512_subs_epu8(back_avx512<3>(cur, prev), _mm512_set1_epi8(0xF0 - 0x80));
  const __m512i must_continue =
      _mm512_and_si512(_mm512_or_si512(third, fourth), _mm512_set1_epi8(static_cast<char>(0x80)));
  return _mm512_xor_si512(must_continue, special);
}

// The partial last chunk comes from a masked load, which reads (and may
// fault on) none of the bytes outside the mask, so no copy is needed.
__attribute__((target("avx512bw"))) bool valid_avx512(const char* bytes, std::size_t n) noexcept {
  __m512i prev = _mm512_setzero_si512();
  __m512i error = _mm512_setzero_si512();
  std::uint64_t prev_high = 0;
  std::size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    const __m512i cur = _mm512_loadu_si512(bytes + i);
    const std::uint64_t high = _mm512_movepi8_mask(cur);
    if ((high | (prev_high >> 63)) != 0) error = _mm512_or_si512(error, errors_avx512(cur, prev));
    prev = cur;
    prev_high = high;
  }
  const __mmask64 left = (std::uint64_t{1} << (n - i)) - 1;
  error = _mm512_or_si512(error, errors_avx512(_mm512_maskz_loadu_epi8(left, bytes + i), prev));
  return _mm512_test_epi8_mask(error, error) == 0;
}

#endif

}  // namespace

Validator validator_for(SimdLevel level) noexcept {
  switch (resolve_simd_level(level)) {
#if defined(VORNISH_X86_DISPATCH)
    case SimdLevel::Avx512:
      return valid_avx512;
    case SimdLevel::Avx2:
      return valid_avx2;
    case SimdLevel::Sse2:
      return valid_sse2;
#endif
    default:
      return valid_scalar;
  }
}

Check check(std::string_view bytes) noexcept {
  static const Validator validate = validator_for(SimdLevel::Best);
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t i = ascii_prefix(p, bytes.size());
  if (i == bytes.size()) return Check::Ascii;
  return validate(bytes.data() + i, bytes.size() - i) ? Check::Valid : Check::Invalid;
}

namespace {

// Walks `bytes` as the decoder reads them: runs of well-formed UTF-8 go to
// `valid`, each maximal ill-formed subpart (bytes of 0x80 and above only)
// to `invalid`.
template <class Valid, class Invalid>
void walk(std::string_view bytes, Valid&& valid, Invalid&& invalid) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const std::size_t run = ascii_prefix(p + i, n - i);
    valid(bytes.substr(i, run));
    i += run;
    if (i == n) break;
    const std::ptrdiff_t len = measure(p + i, n - i);
    const auto size = static_cast<std::size_t>(len > 0 ? len : -len);
    if (len > 0) {
      valid(bytes.substr(i, size));
    } else {
      invalid(bytes.substr(i, size));
    }
    i += size;
  }
}

}  // namespace

void append_replacing(std::string& out, std::string_view bytes) {
  walk(
      bytes, [&](std::string_view run) { out.append(run); },
      [&](std::string_view) { out.append("\xEF\xBF\xBD"); });
}

Damage damage(std::string_view bytes) noexcept {
  Damage found;
  walk(
      bytes, [](std::string_view) {},
      [&](std::string_view part) {
        found.bytes += part.size();
        ++found.replacements;
      });
  return found;
}

std::size_t sequence_length(std::string_view bytes) noexcept {
  if (bytes.empty()) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  if (p[0] < 0x80) return 1;
  const std::ptrdiff_t len = measure(p, bytes.size());
  return len > 0 ? static_cast<std::size_t>(len) : 0;
}

Fallback::Fallback(std::string name, const std::array<char32_t, 128>& high)
    : name_(std::move(name)) {
  for (std::size_t i = 0; i < high.size(); ++i) {
    mapped_[i] = high[i] < 0x110000 && (high[i] < 0xD800 || high[i] > 0xDFFF);
    if (!mapped_[i]) {
      unmapped_.push_back((0x80 + i) * 0x0101010101010101ULL);
      unmapped_low_[i & 15] |= static_cast<std::uint8_t>(1U << (i >> 4));
    }
    std::string text;
    append_code_point(text, mapped_[i] ? high[i] : U'\uFFFD');
    std::copy(text.begin(), text.end(), chars_[i].begin());
    lengths_[i] = static_cast<std::uint8_t>(text.size());
    all_.chars[0x80 + i] = chars_[i];
    all_.lengths[0x80 + i] = lengths_[i];
    all_.unmapped[0x80 + i] = mapped_[i] ? 0 : 1;
  }
  for (std::size_t nibble = 8; nibble < 16; ++nibble) {
    unmapped_high_[nibble] = static_cast<std::uint8_t>(1U << (nibble - 8));
  }
  for (std::size_t byte = 0; byte < 0x80; ++byte) {
    all_.chars[byte][0] = static_cast<char>(byte);
    all_.lengths[byte] = 1;
  }
  all_.settle();
}

void append_with_fallback(std::string& out, std::string_view bytes, const Fallback& fallback) {
  walk(
      bytes, [&](std::string_view run) { out.append(run); },
      [&](std::string_view part) {
        for (const char byte : part) out.append(fallback.of(static_cast<unsigned char>(byte)));
      });
}

void ByteChars::settle() noexcept {
  latin1_from = 0x100;
  for (unsigned byte = 0xFF; byte >= 0x80; --byte) {
    const std::array<char, 4> latin1{static_cast<char>(0xC0 | byte >> 6), static_cast<char>(0x80 | (byte & 0x3F))};
    if (unmapped[byte] != 0 || lengths[byte] != 2 || chars[byte][0] != latin1[0] || chars[byte][1] != latin1[1]) {
      break;
    }
    latin1_from = byte;
  }
}

namespace {

// Sixteen bytes a step: an ASCII block is stored whole; in another, each
// high byte (a tenth of Western European text) ends a run of ASCII. No
// load reads past the text, and `at` runs at most 16 bytes past what is
// written: the room the caller gives.
__attribute__((always_inline)) inline char* decode_high_block(char* at, const unsigned char* in, std::size_t i,
                                                             std::size_t n, unsigned high, const ByteChars& table,
                                                             std::size_t& unmapped, unsigned count = 16) noexcept {
#if defined(VORNISH_X86_DISPATCH)
  // A run of ASCII is stored sixteen bytes wide where sixteen bytes of text
  // follow its start, byte by byte near the end of the text.
  const auto put_run = [&](unsigned from, unsigned to) {
    if (i + from + 16 <= n) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(at),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + from)));
      at += to - from;
    } else {
      for (unsigned j = from; j < to; ++j) *at++ = static_cast<char>(in[i + j]);
    }
  };
  unsigned from = 0;
  for (; high != 0; high &= high - 1) {
    const auto k = static_cast<unsigned>(__builtin_ctz(high));
    put_run(from, k);
    const unsigned char byte = in[i + k];
    std::memcpy(at, table.chars[byte].data(), 4);
    at += table.lengths[byte];
    unmapped += table.unmapped[byte];
    from = k + 1;
  }
  put_run(from, count);
#else
  (void)in, (void)i, (void)n, (void)high, (void)table, (void)unmapped, (void)count;
#endif
  return at;
}

// What is left after the sixteen-byte steps: eight bytes a step, then one.
char* decode_tail(char* at, const unsigned char* in, std::size_t i, std::size_t n, const ByteChars& table,
                  std::size_t& unmapped) noexcept {
  while (std::endian::native == std::endian::little && i + 8 <= n) {
    std::uint64_t word;
    std::memcpy(&word, in + i, 8);
    std::memcpy(at, in + i, 8);
    const std::uint64_t high = word & kHighBits;
    if (high == 0) {
      at += 8;
      i += 8;
      continue;
    }
    // Little-endian load: the lowest set bit is the first high byte.
    const unsigned ascii = static_cast<unsigned>(__builtin_ctzll(high)) / 8;
    at += ascii;
    i += ascii;
    std::memcpy(at, table.chars[in[i]].data(), 4);
    at += table.lengths[in[i]];
    unmapped += table.unmapped[in[i]];
    ++i;
  }
  for (; i < n; ++i) {
    std::memcpy(at, table.chars[in[i]].data(), 4);
    at += table.lengths[in[i]];
    unmapped += table.unmapped[in[i]];
  }
  return at;
}

char* decode_bytes_sse2(char* out, const unsigned char* in, std::size_t n, const ByteChars& table,
                        std::size_t& unmapped) noexcept {
  char* at = out;
  std::size_t i = 0;
#if defined(VORNISH_X86_DISPATCH)
  for (; i + 16 <= n; i += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    const auto high = static_cast<unsigned>(_mm_movemask_epi8(block));
    if (high == 0) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(at), block);
      at += 16;
    } else {
      at = decode_high_block(at, in, i, n, high, table, unmapped);
    }
  }
#endif
  return decode_tail(at, in, i, n, table, unmapped);
}

#if defined(VORNISH_X86_DISPATCH)

// For each set of high bytes among eight (bit j: byte j), the shuffle that
// keeps, from the bytes' leads and continuations interleaved, every lead
// and the continuation of each high byte; 0x80 zeroes the rest.
constexpr auto kLatin1Compress = [] {
  std::array<std::array<std::uint8_t, 16>, 256> shuffles{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    unsigned k = 0;
    for (unsigned j = 0; j < 8; ++j) {
      shuffles[mask][k++] = static_cast<std::uint8_t>(2 * j);
      if ((mask >> j & 1) != 0) shuffles[mask][k++] = static_cast<std::uint8_t>(2 * j + 1);
    }
    while (k < 16) shuffles[mask][k++] = 0x80;
  }
  return shuffles;
}();

__attribute__((target("avx2"))) inline char* latin1_to_utf8(char* at, __m128i block, unsigned high) noexcept {
  // A high byte b is two bytes of UTF-8: 0xC2 or 0xC3 (bit 6 of b), then
  // b with bit 6 cleared. Each half of eight expands on its own.
  const __m128i is_high = _mm_cmplt_epi8(block, _mm_setzero_si128());
  const __m128i lead_of_high =
      _mm_or_si128(_mm_set1_epi8(static_cast<char>(0xC2)), _mm_and_si128(_mm_srli_epi16(block, 6), _mm_set1_epi8(1)));
  const __m128i lead = _mm_or_si128(_mm_andnot_si128(is_high, block), _mm_and_si128(is_high, lead_of_high));
  const __m128i continuation = _mm_and_si128(block, _mm_set1_epi8(static_cast<char>(0xBF)));
  const unsigned low = high & 0xFF;
  const unsigned up = high >> 8;
  _mm_storeu_si128(reinterpret_cast<__m128i*>(at),
                   _mm_shuffle_epi8(_mm_unpacklo_epi8(lead, continuation),
                                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(kLatin1Compress[low].data()))));
  at += 8 + std::popcount(low);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(at),
                   _mm_shuffle_epi8(_mm_unpackhi_epi8(lead, continuation),
                                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(kLatin1Compress[up].data()))));
  return at + 8 + std::popcount(up);
}

// One block of `count` bytes (16 but for the last) at in + i: a block whose
// high bytes are all in the code page's Latin-1 part is expanded in
// registers, with no step per high byte; what the stores put past `count`
// bytes (zeros loaded past the text) is left behind `at`.
__attribute__((target("avx2"), always_inline)) inline char* decode_block(char* at, __m128i block,
                                                                       const unsigned char* in, std::size_t i,
                                                                       std::size_t n, const ByteChars& table,
                                                                       std::size_t& unmapped, unsigned count) noexcept {
  const auto high = static_cast<unsigned>(_mm_movemask_epi8(block));
  if (high == 0) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at), block);
    return at + count;
  }
  const __m128i floor = _mm_set1_epi8(static_cast<char>(table.latin1_from));
  const auto latin1 = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(block, floor), block)));
  if ((high & ~latin1) == 0) return latin1_to_utf8(at, block, high) - (16 - count);
  return decode_high_block(at, in, i, n, high, table, unmapped, count);
}

__attribute__((target("avx2"))) char* decode_bytes_avx2(char* out, const unsigned char* in, std::size_t n,
                                                         const ByteChars& table, std::size_t& unmapped) noexcept {
  if (table.latin1_from > 0xFF) return decode_bytes_sse2(out, in, n, table, unmapped);
  char* at = out;
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    at = decode_block(at, _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)), in, i, n, table, unmapped, 16);
  }
  // A copy of the last bytes into a block would be read back before its
  // bytes are stored (a stall on every short field): they go one by one.
  return decode_tail(at, in, i, n, table, unmapped);
}

// The bytes from `i` on, sixteen a step, with the last ones (all of a short
// field's) as one more block from a masked load, which reads (and may fault
// on) none of the bytes outside the mask.
__attribute__((target("avx2,avx512bw,avx512vl"), always_inline)) inline char* decode_rest_avx512(
    char* at, const unsigned char* in, std::size_t i, std::size_t n, const ByteChars& table,
    std::size_t& unmapped) noexcept {
  for (; i + 16 <= n; i += 16) {
    at = decode_block(at, _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)), in, i, n, table, unmapped, 16);
  }
  if (i == n) return at;
  const auto count = static_cast<unsigned>(n - i);
  const __m128i last = _mm_maskz_loadu_epi8(static_cast<__mmask16>((1U << count) - 1), in + i);
  return decode_block(at, last, in, i, n, table, unmapped, count);
}

// As decode_bytes_avx2, with the last bytes from a masked load.
__attribute__((target("avx2,avx512bw,avx512vl"))) char* decode_bytes_avx512(char* out, const unsigned char* in,
                                                                    std::size_t n, const ByteChars& table,
                                                                    std::size_t& unmapped) noexcept {
  if (table.latin1_from > 0xFF) return decode_bytes_sse2(out, in, n, table, unmapped);
  return decode_rest_avx512(out, in, 0, n, table, unmapped);
}

// As decode_bytes_avx512, thirty-two bytes a step where the processor
// compresses bytes: each byte of a block whose high bytes are all in the
// page's Latin-1 part becomes a pair (itself or its UTF-8 lead, then its
// continuation), and one compress keeps every lead and the continuations of
// the high bytes, with no step per half block. A block with any other high
// byte goes as two blocks of sixteen.
__attribute__((target("avx2,avx512f,avx512bw,avx512vl,avx512vbmi2"))) char* decode_bytes_vbmi2(
    char* out, const unsigned char* in, std::size_t n, const ByteChars& table, std::size_t& unmapped) noexcept {
  if (table.latin1_from > 0xFF) return decode_bytes_sse2(out, in, n, table, unmapped);
  char* at = out;
  std::size_t i = 0;
  const __m256i floor = _mm256_set1_epi8(static_cast<char>(table.latin1_from));
  const __m512i lead_base = _mm512_set1_epi16(0xC2);
  const __m512i one = _mm512_set1_epi16(1);
  const __m512i low_six = _mm512_set1_epi16(0xBF);
  for (; i + 32 <= n; i += 32) {
    const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    const __mmask32 high = _mm256_movepi8_mask(block);
    if (high == 0) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(at), block);
      at += 32;
      continue;
    }
    if ((high & ~_mm256_cmpge_epu8_mask(block, floor)) != 0) {
      at = decode_block(at, _mm256_castsi256_si128(block), in, i, n, table, unmapped, 16);
      at = decode_block(at, _mm256_extracti128_si256(block, 1), in, i + 16, n, table, unmapped, 16);
      continue;
    }
    // A high byte b is 0xC2 or 0xC3 (bit 6 of b), then b with bit 6
    // cleared; the continuation of an ASCII byte has its top bit clear,
    // that of a high byte set, which is how the compress tells them apart.
    const __m512i wide = _mm512_cvtepu8_epi16(block);
    const __m512i lead =
        _mm512_mask_mov_epi16(wide, high, _mm512_or_si512(lead_base, _mm512_and_si512(_mm512_srli_epi16(wide, 6), one)));
    const __m512i pairs = _mm512_or_si512(lead, _mm512_slli_epi16(_mm512_and_si512(wide, low_six), 8));
    const __mmask64 keep = 0x5555555555555555ULL | (_mm512_movepi8_mask(pairs) & 0xAAAAAAAAAAAAAAAAULL);
    _mm512_storeu_si512(at, _mm512_maskz_compress_epi8(keep, pairs));
    at += 32 + std::popcount(static_cast<unsigned>(high));
  }
  return decode_rest_avx512(at, in, i, n, table, unmapped);
}

#endif

}  // namespace

namespace {

#if defined(VORNISH_X86_DISPATCH)

// Whether the sixteen UTF-16 units at `in` are all below U+0100: their
// high bytes (the second of each little-endian unit) are zero.
__attribute__((target("avx2"), always_inline)) inline bool latin1_units_at(const unsigned char* in,
                                                                         __m128i high_bytes, __m128i& first,
                                                                         __m128i& second) noexcept {
  first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16));
  return _mm_testz_si128(_mm_or_si128(first, second), high_bytes) != 0;
}

__attribute__((target("avx2"))) std::size_t latin1_from_utf16_avx2(char*& at, const unsigned char* in,
                                                                     std::size_t units, bool big_endian) noexcept {
  const __m128i high_bytes = _mm_set1_epi16(static_cast<short>(big_endian ? 0x00FF : 0xFF00));
  std::size_t i = 0;
  char* out = at;
  for (; i + 16 <= units; i += 16) {
    __m128i first;
    __m128i second;
    if (!latin1_units_at(in + 2 * i, high_bytes, first, second)) break;
    if (big_endian) {
      first = _mm_srli_epi16(first, 8);
      second = _mm_srli_epi16(second, 8);
    }
    const __m128i block = _mm_packus_epi16(first, second);
    const auto high = static_cast<unsigned>(_mm_movemask_epi8(block));
    if (high == 0) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), block);
      out += 16;
    } else {
      out = latin1_to_utf8(out, block, high);
    }
  }
  at = out;
  return i;
}

__attribute__((target("avx2"))) std::size_t units_before_latin1_avx2(const unsigned char* in, std::size_t units,
                                                                       bool big_endian) noexcept {
  const __m128i high_bytes = _mm_set1_epi16(static_cast<short>(big_endian ? 0x00FF : 0xFF00));
  for (std::size_t i = 0; i + 16 <= units; i += 16) {
    __m128i first;
    __m128i second;
    if (latin1_units_at(in + 2 * i, high_bytes, first, second)) return i;
  }
  return units;
}

bool has_shuffles() noexcept {
  const SimdLevel level = resolve_simd_level(SimdLevel::Best);
  return level == SimdLevel::Avx512 || level == SimdLevel::Avx2;
}

#endif

std::size_t no_latin1_from_utf16(char*& /*at*/, const unsigned char* /*in*/, std::size_t /*units*/,
                                 bool /*big_endian*/) noexcept {
  return 0;
}

std::size_t no_units_before_latin1(const unsigned char* /*in*/, std::size_t units, bool /*big_endian*/) noexcept {
  return units;
}

using Latin1FromUtf16 = std::size_t (*)(char*&, const unsigned char*, std::size_t, bool) noexcept;
using UnitsBeforeLatin1 = std::size_t (*)(const unsigned char*, std::size_t, bool) noexcept;

}  // namespace

std::size_t latin1_from_utf16(char*& at, const unsigned char* in, std::size_t units, bool big_endian) noexcept {
#if defined(VORNISH_X86_DISPATCH)
  static const Latin1FromUtf16 convert = has_shuffles() ? latin1_from_utf16_avx2 : no_latin1_from_utf16;
#else
  static const Latin1FromUtf16 convert = no_latin1_from_utf16;
#endif
  return convert(at, in, units, big_endian);
}

std::size_t units_before_latin1(const unsigned char* in, std::size_t units, bool big_endian) noexcept {
#if defined(VORNISH_X86_DISPATCH)
  static const UnitsBeforeLatin1 count = has_shuffles() ? units_before_latin1_avx2 : no_units_before_latin1;
#else
  static const UnitsBeforeLatin1 count = no_units_before_latin1;
#endif
  return count(in, units, big_endian);
}

ByteDecoder byte_decoder_for(SimdLevel level) noexcept {
  switch (resolve_simd_level(level)) {
#if defined(VORNISH_X86_DISPATCH)
    case SimdLevel::Avx512:
      // The masked load of sixteen bytes needs the 128-bit forms as well.
      if (__builtin_cpu_supports("avx512vl") == 0) return decode_bytes_avx2;
      return __builtin_cpu_supports("avx512vbmi2") != 0 ? decode_bytes_vbmi2 : decode_bytes_avx512;
    case SimdLevel::Avx2:
      return decode_bytes_avx2;
#endif
    default:
      return decode_bytes_sse2;
  }
}

std::vector<ByteDecoder> byte_decoders() {
  std::vector<ByteDecoder> all;
  for (const SimdLevel level : {SimdLevel::Sse2, SimdLevel::Avx2, SimdLevel::Avx512}) {
    const ByteDecoder decoder = byte_decoder_for(level);
    if (std::find(all.begin(), all.end(), decoder) == all.end()) all.push_back(decoder);
  }
#if defined(VORNISH_X86_DISPATCH)
  // The best level hides the sixteen-byte form where bytes can be compressed.
  if (all.back() == decode_bytes_vbmi2) all.insert(all.end() - 1, decode_bytes_avx512);
#endif
  return all;
}

char* decode_bytes(char* out, const unsigned char* in, std::size_t n, const ByteChars& table,
                   std::size_t& unmapped) noexcept {
  static const ByteDecoder decode = byte_decoder_for(SimdLevel::Best);
  return decode(out, in, n, table, unmapped);
}

char* write_code_page(char* out, std::string_view bytes, const Fallback& page,
                      std::size_t& unmapped) noexcept {
  return decode_bytes(out, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), page.all_,
                      unmapped);
}

std::size_t append_code_page(std::string& out, std::string_view bytes, const Fallback& page) {
  // Written in place: up to 3 bytes a character and 32 of room for the
  // widest stores. Zeroing that room costs a few wide stores; decoding onto
  // the stack and copying from there cost more, since the copy's wide loads
  // wait for the decoder's narrower stores of the same bytes to retire.
  const std::size_t old = out.size();
  out.resize(old + 3 * bytes.size() + 32);
  char* const first = out.data() + old;
  std::size_t unmapped = 0;
  char* const at = write_code_page(first, bytes, page, unmapped);
  out.resize(old + static_cast<std::size_t>(at - first));
  return unmapped;
}

std::size_t code_page_size(std::string_view bytes, const Fallback& page) noexcept {
  std::size_t size = 0;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    size += byte < 0x80 || !page.mapped(byte) ? std::size_t{1} : page.all_.lengths[byte];
  }
  return size;
}

namespace {

#if defined(VORNISH_X86_DISPATCH)
// How many of the 32 bytes of `v` the nibble tables call unmapped; bytes
// of zero never are.
__attribute__((target("avx2"), always_inline)) inline std::size_t unmapped_of(__m256i v, __m256i low,
                                                                              __m256i high) noexcept {
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i hit = _mm256_and_si256(_mm256_shuffle_epi8(low, _mm256_and_si256(v, nibble)),
                                       _mm256_shuffle_epi8(high, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble)));
  const auto none = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hit, _mm256_setzero_si256())));
  return static_cast<std::size_t>(std::popcount(~none));
}

__attribute__((target("avx2"), always_inline)) inline __m256i nibble_table(const std::uint8_t* table) noexcept {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(table)));
}

// The unmapped bytes among the `whole` bytes at `in` (a multiple of 32)
// and in `last`, the bytes after them with zeros past the end.
__attribute__((target("avx2"), always_inline)) inline std::size_t unmapped_in_blocks(
    const unsigned char* in, std::size_t whole, __m256i last, const std::uint8_t* low_table,
    const std::uint8_t* high_table) noexcept {
  const __m256i low = nibble_table(low_table);
  const __m256i high = nibble_table(high_table);
  std::size_t unmapped = unmapped_of(last, low, high);
  for (std::size_t i = 0; i < whole; i += 32) {
    unmapped += unmapped_of(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i)), low, high);
  }
  return unmapped;
}

// Rows are short, so their last bytes are a block of their own: a
// zero-padded copy, or where the processor has masked loads, a load that
// leaves the bytes past the end zero.
__attribute__((target("avx2"))) std::size_t unmapped_avx2(const unsigned char* in, std::size_t n,
                                                          const std::uint8_t* low_table,
                                                          const std::uint8_t* high_table) noexcept {
  const std::size_t whole = n - n % 32;
  alignas(32) unsigned char last[32] = {};
  std::memcpy(last, in + whole, n - whole);
  return unmapped_in_blocks(in, whole, _mm256_load_si256(reinterpret_cast<const __m256i*>(last)), low_table,
                            high_table);
}

__attribute__((target("avx2,avx512bw,avx512vl"))) std::size_t unmapped_avx512(const unsigned char* in, std::size_t n,
                                                                              const std::uint8_t* low_table,
                                                                              const std::uint8_t* high_table) noexcept {
  const std::size_t whole = n - n % 32;
  const auto mask = static_cast<__mmask32>((std::uint64_t{1} << (n - whole)) - 1);
  return unmapped_in_blocks(in, whole, _mm256_maskz_loadu_epi8(mask, in + whole), low_table, high_table);
}

using UnmappedCounter = std::size_t (*)(const unsigned char*, std::size_t, const std::uint8_t*,
                                        const std::uint8_t*) noexcept;

UnmappedCounter unmapped_counter(SimdLevel level) noexcept {
  switch (resolve_simd_level(level)) {
    case SimdLevel::Avx512:
      return __builtin_cpu_supports("avx512vl") != 0 ? unmapped_avx512 : unmapped_avx2;
    case SimdLevel::Avx2:
      return unmapped_avx2;
    default:
      return nullptr;
  }
}
#endif

}  // namespace

std::size_t unmapped_in(std::string_view bytes, const Fallback& page, SimdLevel level) noexcept {
  if (page.unmapped_.empty()) return 0;
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
  std::size_t unmapped = 0;
  std::size_t i = 0;
#if defined(VORNISH_X86_DISPATCH)
  if (const UnmappedCounter vector_count = unmapped_counter(level); vector_count != nullptr) {
    return vector_count(in, n, page.unmapped_low_.data(), page.unmapped_high_.data());
  }
#endif
  // A word is looked at byte by byte only when it holds one of the few
  // unmapped bytes (or the code page has many).
  const bool few = page.unmapped_.size() <= 8;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, in + i, 8);
    if ((word & kHighs) == 0) continue;
    bool hit = !few;
    for (std::size_t k = 0; few && k < page.unmapped_.size(); ++k) {
      const std::uint64_t x = word ^ page.unmapped_[k];
      hit = hit || ((x - kOnes) & ~x & kHighs) != 0;
    }
    if (!hit) continue;
    for (std::size_t j = i; j < i + 8; ++j) unmapped += in[j] >= 0x80 && !page.mapped(in[j]);
  }
  for (; i < n; ++i) unmapped += in[i] >= 0x80 && !page.mapped(in[i]);
  return unmapped;
}

std::size_t unmapped_in(std::string_view bytes, const Fallback& page) noexcept {
  if (page.unmapped_.empty()) return 0;
#if defined(VORNISH_X86_DISPATCH)
  static const UnmappedCounter vector_count = unmapped_counter(SimdLevel::Best);
  if (vector_count != nullptr) {
    return vector_count(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                        page.unmapped_low_.data(), page.unmapped_high_.data());
  }
#endif
  return unmapped_in(bytes, page, SimdLevel::Scalar);
}

void append_code_point(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace vornish::utf8
