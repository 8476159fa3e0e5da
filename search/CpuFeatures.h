// Which vector instructions the processor running the search has, for the units
// that pick a vector path at run time: on x86-64 the wider paths are compiled for
// their instruction sets whatever the compiler was told to assume, and chosen only
// where the processor has them.
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KOLBRIN_HAVE_AVX2_PATH 1
#include <immintrin.h>
#else
#define KOLBRIN_HAVE_AVX2_PATH 0
#endif

namespace kolbrin {

#if KOLBRIN_HAVE_AVX2_PATH
inline bool ProcessorHasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

// AVX-512 with byte shuffles and byte permutes across the whole vector.
inline bool ProcessorHasAvx512Bytes() {
  static const bool has =
      __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi");
  return has;
}
#endif

}  // namespace kolbrin
