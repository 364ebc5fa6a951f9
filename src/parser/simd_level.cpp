// Processor feature checks behind SimdLevel.
#include "parser/simd_level.hpp"

#include <initializer_list>

namespace vornish {

bool simd_level_supported(SimdLevel level) noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
  __builtin_cpu_init();
  switch (level) {
    case SimdLevel::Avx512:
      return __builtin_cpu_supports("avx512bw") != 0;
    case SimdLevel::Avx2:
      return __builtin_cpu_supports("avx2") != 0;
    case SimdLevel::Sse2:
    case SimdLevel::Best:
    case SimdLevel::Scalar:
      return true;
  }
  return false;
#else
  return level == SimdLevel::Best || level == SimdLevel::Scalar;
#endif
}

SimdLevel resolve_simd_level(SimdLevel level) noexcept {
  if (level != SimdLevel::Best && simd_level_supported(level)) return level;
  for (const SimdLevel best : {SimdLevel::Avx512, SimdLevel::Avx2, SimdLevel::Sse2}) {
    if (simd_level_supported(best)) return best;
  }
  return SimdLevel::Scalar;
}

}  // namespace vornish
