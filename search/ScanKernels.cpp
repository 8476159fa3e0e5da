#include "search/ScanKernels.h"

#include <array>

namespace kolbrin {
namespace {

#if KOLBRIN_HAVE_AVX2_PATH

// The vectors an event test compares with.
struct EventVectors {
  __m256i first, other, lastA, lastB, nibble, lowClass, highClass;
};

// Non-zero lanes mark the events among the 32 bytes `v` loaded from `at`.
template <bool TwoFirst, int LastBytes>
__attribute__((target("avx2"))) inline __m256i EventsAvx2(const unsigned char* at, __m256i v,
                                                          const EventVectors& c,
                                                          std::size_t lastOffset) {
  const __m256i low = _mm256_and_si256(v, c.nibble);
  const __m256i high = _mm256_and_si256(_mm256_srli_epi16(v, 4), c.nibble);
  const __m256i controls = _mm256_and_si256(_mm256_shuffle_epi8(c.lowClass, low),
                                            _mm256_shuffle_epi8(c.highClass, high));
  __m256i candidates = _mm256_cmpeq_epi8(v, c.first);
  if constexpr (TwoFirst) candidates = _mm256_or_si256(candidates, _mm256_cmpeq_epi8(v, c.other));
  if constexpr (LastBytes != 0) {
    const __m256i last = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + lastOffset));
    __m256i lastOk = _mm256_cmpeq_epi8(last, c.lastA);
    if constexpr (LastBytes == 2) {
      lastOk = _mm256_or_si256(lastOk, _mm256_cmpeq_epi8(last, c.lastB));
    }
    candidates = _mm256_and_si256(candidates, lastOk);
  }
  return _mm256_or_si256(controls, candidates);
}

// A QuietBlockSkipper, made for one shape of the candidate test.
template <bool TwoFirst, int LastBytes>
__attribute__((target("avx2"))) std::size_t SkipQuietBlocksAvx2(const unsigned char* text,
                                                                std::size_t offset,
                                                                std::size_t vectorEnd,
                                                                const CandidateBytes& e,
                                                                std::uint64_t& lineFeeds) {
  // Counted control bytes by nibbles: bit 0 of the low nibble's entry marks 0x0n as
  // counted (all but TAB, LF and CR), bit 1 marks 0x1n (all but ESC); the high
  // nibble's entry picks the bit, and is 0 from 0x20 on.
  const EventVectors c{
      _mm256_set1_epi8(static_cast<char>(e.first)),
      _mm256_set1_epi8(static_cast<char>(e.other)),
      _mm256_set1_epi8(static_cast<char>(e.last.a)),
      _mm256_set1_epi8(static_cast<char>(e.last.b)),
      _mm256_set1_epi8(0x0F),
      _mm256_setr_epi8(3, 3, 3, 3, 3, 3, 3, 3, 3, 2, 2, 1, 3, 2, 3, 3,  //
                       3, 3, 3, 3, 3, 3, 3, 3, 3, 2, 2, 1, 3, 2, 3, 3),
      _mm256_setr_epi8(1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  //
                       1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0),
  };
  const __m256i lineFeed = _mm256_set1_epi8('\n');
  // A byte lane of the tally takes at most 2 line feeds per block, so it is summed at
  // least every 127 blocks.
  while (vectorEnd >= offset + 64) {
    const std::size_t stop = offset + std::min<std::size_t>((vectorEnd - offset) / 64, 127) * 64;
    __m256i tally = _mm256_setzero_si256();
    bool found = false;
    for (; offset < stop; offset += 64) {
      const unsigned char* block = text + offset;
      const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block));
      const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 32));
      const __m256i any =
          _mm256_or_si256(EventsAvx2<TwoFirst, LastBytes>(block, a, c, e.lastOffset),
                          EventsAvx2<TwoFirst, LastBytes>(block + 32, b, c, e.lastOffset));
      if (!_mm256_testz_si256(any, any)) {
        found = true;
        break;
      }
      tally = _mm256_sub_epi8(
          tally, _mm256_add_epi8(_mm256_cmpeq_epi8(a, lineFeed), _mm256_cmpeq_epi8(b, lineFeed)));
    }
    const __m256i sums = _mm256_sad_epu8(tally, _mm256_setzero_si256());
    lineFeeds += static_cast<std::uint64_t>(_mm256_extract_epi64(sums, 0)) +
                 static_cast<std::uint64_t>(_mm256_extract_epi64(sums, 1)) +
                 static_cast<std::uint64_t>(_mm256_extract_epi64(sums, 2)) +
                 static_cast<std::uint64_t>(_mm256_extract_epi64(sums, 3));
    if (found) break;
  }
  return offset;
}

// The same with 64-byte vectors, where the processor has AVX-512 with byte permutes:
// a counted control byte is told by one look-up in a table of the 32 bytes below
// 0x20, and line feeds are counted by their mask.
#define KOLBRIN_AVX512_SCAN __attribute__((target("avx512f,avx512bw,avx512vbmi,popcnt")))

template <bool TwoFirst, int LastBytes>
KOLBRIN_AVX512_SCAN std::size_t SkipQuietBlocksAvx512(const unsigned char* text, std::size_t offset,
                                                      std::size_t vectorEnd,
                                                      const CandidateBytes& e,
                                                      std::uint64_t& lineFeeds) {
  alignas(64) static constexpr auto kCounted = [] {
    std::array<std::uint8_t, 64> counted{};
    for (unsigned b = 0; b < 0x20; ++b)
      counted[b] = IsCountedControl(static_cast<unsigned char>(b));
    return counted;
  }();
  const __m512i counted = _mm512_load_si512(kCounted.data());
  const __m512i space = _mm512_set1_epi8(0x20);
  const __m512i first = _mm512_set1_epi8(static_cast<char>(e.first));
  const __m512i other = _mm512_set1_epi8(static_cast<char>(e.other));
  const __m512i lastA = _mm512_set1_epi8(static_cast<char>(e.last.a));
  const __m512i lastB = _mm512_set1_epi8(static_cast<char>(e.last.b));
  const __m512i lineFeed = _mm512_set1_epi8('\n');
  std::uint64_t lines = 0;
  for (; vectorEnd >= offset + 64; offset += 64) {
    const unsigned char* block = text + offset;
    const __m512i v = _mm512_loadu_si512(block);
    const __m512i controls =
        _mm512_maskz_permutexvar_epi8(_mm512_cmplt_epu8_mask(v, space), v, counted);
    __mmask64 candidates = _mm512_cmpeq_epi8_mask(v, first);
    if constexpr (TwoFirst) candidates |= _mm512_cmpeq_epi8_mask(v, other);
    if constexpr (LastBytes != 0) {
      const __m512i last = _mm512_loadu_si512(block + e.lastOffset);
      __mmask64 lastOk = _mm512_cmpeq_epi8_mask(last, lastA);
      if constexpr (LastBytes == 2) lastOk |= _mm512_cmpeq_epi8_mask(last, lastB);
      candidates &= lastOk;
    }
    if ((candidates | _mm512_test_epi8_mask(controls, controls)) != 0) break;
    lines += static_cast<std::uint64_t>(std::popcount(_mm512_cmpeq_epi8_mask(v, lineFeed)));
  }
  lineFeeds += lines;
  return offset;
}

template <int LastBytes>
QuietBlockSkipper SkipperFor(bool twoFirst, bool avx512) {
  if (avx512) {
    return twoFirst ? SkipQuietBlocksAvx512<true, LastBytes>
                    : SkipQuietBlocksAvx512<false, LastBytes>;
  }
  return twoFirst ? SkipQuietBlocksAvx2<true, LastBytes> : SkipQuietBlocksAvx2<false, LastBytes>;
}

#endif

}  // namespace

QuietBlockSkipper ChooseQuietBlockSkipper(const CandidateBytes& events, VectorWidth width) {
#if KOLBRIN_HAVE_AVX2_PATH
  if (width == VectorWidth::Narrow || !ProcessorHasAvx2()) return nullptr;
  const bool avx512 = width == VectorWidth::Widest && ProcessorHasAvx512Bytes();
  const bool twoFirst = events.first != events.other;
  if (!events.last.on) return SkipperFor<0>(twoFirst, avx512);
  return events.last.a == events.last.b ? SkipperFor<1>(twoFirst, avx512)
                                        : SkipperFor<2>(twoFirst, avx512);
#else
  (void)events;
  (void)width;
  return nullptr;
#endif
}

}  // namespace kolbrin
