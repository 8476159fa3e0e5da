#include "search/TreePrinter.h"

#include <unicode/utf8.h>

#include "search/CpuFeatures.h"
#include "search/ScanKernels.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace kolbrin {

Utf8Prefix SplitAtIllFormedUtf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  std::size_t i = 0;
  while (i < size) {
    // ASCII, the bulk of most lines, eight bytes at a time.
    if (size - i >= 8) {
      std::uint64_t word;
      std::memcpy(&word, bytes + i, sizeof word);
      if ((word & 0x8080808080808080u) == 0) {
        i += 8;
        continue;
      }
    }
    const std::size_t start = i;
    UChar32 c;
    U8_NEXT(bytes, i, size, c);
    // U8_NEXT stepped over the longest ill-formed start.
    if (c < 0) return Utf8Prefix{start, i - start};
  }
  return Utf8Prefix{size, 0};
}

namespace {

#if KOLBRIN_HAVE_AVX2_PATH
// The lanes of 32 bytes at `at` holding a control byte.
__attribute__((target("avx2"))) inline unsigned ControlLanes32(const unsigned char* at,
                                                              bool tabsAllowed) {
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
  const __m256i low = _mm256_cmpeq_epi8(_mm256_min_epu8(v, _mm256_set1_epi8(0x1F)), v);
  const __m256i controls = _mm256_or_si256(low, _mm256_cmpeq_epi8(v, _mm256_set1_epi8(0x7F)));
  // Without TABs allowed, the lanes compared with a space, which is no control byte.
  const __m256i tab = _mm256_cmpeq_epi8(v, _mm256_set1_epi8(tabsAllowed ? '\t' : ' '));
  return static_cast<unsigned>(_mm256_movemask_epi8(_mm256_andnot_si256(tab, controls)));
}

// PlainPrefix for at least 32 bytes, 32 at a time; the last block overlaps the one
// before it rather than going byte by byte.
__attribute__((target("avx2"))) std::size_t PlainPrefixAvx2(const unsigned char* bytes,
                                                           std::size_t size, bool tabsAllowed) {
  std::size_t i = 0;
  for (; size - i >= 32; i += 32) {
    if (const unsigned mask = ControlLanes32(bytes + i, tabsAllowed); mask != 0) {
      return i + static_cast<std::size_t>(std::countr_zero(mask));
    }
  }
  if (i == size) return size;
  const std::size_t last = size - 32;
  // The lanes before `i` were looked at already.
  const unsigned mask = ControlLanes32(bytes + last, tabsAllowed) & (~0u << (i - last));
  return mask != 0 ? last + static_cast<std::size_t>(std::countr_zero(mask)) : size;
}
#endif

}  // namespace

std::size_t PlainPrefix(std::string_view text, bool tabsAllowed) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  // kolbrin-grep writes millions of hit lines, nearly all without a control byte:
  // they are looked at a vector at a time.
#if KOLBRIN_HAVE_AVX2_PATH
  if (size >= 32 && ProcessorHasAvx2()) return PlainPrefixAvx2(bytes, size, tabsAllowed);
#endif
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i del = _mm_set1_epi8(0x7F);
  const __m128i tab = _mm_set1_epi8(tabsAllowed ? '\t' : ' ');
  for (; size - i >= 16; i += 16) {
    const __m128i v = sse2::Load16(bytes + i);
    const __m128i controls = _mm_andnot_si128(
        _mm_cmpeq_epi8(v, tab), _mm_or_si128(sse2::LowBytes(v), _mm_cmpeq_epi8(v, del)));
    if (const unsigned mask = sse2::Mask16(controls); mask != 0) {
      return i + static_cast<std::size_t>(std::countr_zero(mask));
    }
  }
#endif
  for (; i < size; ++i) {
    const unsigned char byte = bytes[i];
    if ((byte < 0x20 && !(tabsAllowed && byte == '\t')) || byte == 0x7F) return i;
  }
  return size;
}

std::string ShownText(std::string_view text) {
  std::string shown;
  StringSink sink{shown};
  WriteShownText(sink, text);
  return shown;
}

}  // namespace kolbrin
