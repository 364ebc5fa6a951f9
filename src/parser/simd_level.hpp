// Which vector instructions the parser's hot loops use, decided at run time.
//
// Shared by the tokenizer's byte classification and the UTF-8 validator so
// that one forced level (tests, benchmarks, the dispatch fuzzer) steers both.
#pragma once

#include <cstdint>

namespace vornish {

// `Best` takes the widest instructions the processor runs, chosen at run
// time; the others exist so that tests and benchmarks can compare the
// levels. Every level yields the same rows, positions and lines.
enum class SimdLevel : std::uint8_t { Best, Avx512, Avx2, Sse2, Scalar };

// Whether this processor runs `level` (`Best` and `Scalar` always).
bool simd_level_supported(SimdLevel level) noexcept;

// `level` when this processor runs it, else the best one it does; never `Best`.
SimdLevel resolve_simd_level(SimdLevel level) noexcept;

}  // namespace vornish
