// The fast scanner's bulk searches over the text: each finds the next byte the
// per-byte state machine must see, or copies a stretch of a hit's line. Each comes
// in a scalar form (a plain loop, also the vector forms' tail) and a vector form;
// the text-event finder has a 32-byte form as well, chosen at run time where the
// processor has AVX2. The vector forms are inline, as they run once per event or
// per stretch of a line, which is often for a frequent word.
//
// Offsets are in the text (`from`, `end`, the result); `size` is the text's size,
// which bounds the bytes read ahead for a last-byte test. Reading ends at `end` but
// for those bytes.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "search/CpuFeatures.h"
#include "search/Scanner.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kolbrin {

// A second test for candidates, on the byte lastOffset after them: a candidate whose
// byte there is neither `a` nor `b` cannot match. A test that reaches past the end
// of the text passes.
struct LastByteTest {
  bool on = false;
  unsigned char a = 0;
  unsigned char b = 0;
};

// The bytes a pass stops at as candidates: `first` or `other` (the first byte of the
// active string, in either case of a letter), where the last-byte test passes.
struct CandidateBytes {
  unsigned char first = 0;
  unsigned char other = 0;
  LastByteTest last;
  std::size_t lastOffset = 0;  // the active string's length - 1 while last.on
};

// Skips whole blocks of 64 bytes in [offset, vectorEnd) that hold no text event,
// adding their line feeds to `lineFeeds`, with 32- or 64-byte vectors; returns the start
// of the first block that holds one, or the first offset from which no whole block
// fits. Bytes up to lastOffset past vectorEnd are read for the last-byte test.
using QuietBlockSkipper = std::size_t (*)(const unsigned char* text, std::size_t offset,
                                          std::size_t vectorEnd, const CandidateBytes& events,
                                          std::uint64_t& lineFeeds);

// The skipper for `events`: with 64-byte vectors for VectorWidth::Widest where the
// processor has AVX-512 with byte permutes, else with 32-byte ones; null for
// VectorWidth::Narrow, and where the processor has no AVX2.
QuietBlockSkipper ChooseQuietBlockSkipper(const CandidateBytes& events, VectorWidth width);

namespace sse2 {
#if defined(__SSE2__)
inline __m128i Load16(const unsigned char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

inline unsigned Mask16(__m128i v) { return static_cast<unsigned>(_mm_movemask_epi8(v)); }

// The lanes of `v` holding bytes below 0x20.
inline __m128i LowBytes(__m128i v) {
  return _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v);
}

// The lanes of `v` holding a counted control byte (IsCountedControl): below 0x20, but
// for TAB, LF, CR and ESC.
inline __m128i CountedControls(__m128i v) {
  const __m128i tolerated = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\t')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))),
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_set1_epi8(0x1B))));
  return _mm_andnot_si128(tolerated, LowBytes(v));
}

// Loaded from 16 - i: all ones in the lanes before lane i.
alignas(16) inline constexpr unsigned char kLanesBefore[32] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Sums the byte lanes of `counts`.
inline std::uint64_t SumLanes(__m128i counts) {
  const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
  return static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums)) +
         static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
}
#endif
}  // namespace sse2

#if KOLBRIN_HAVE_AVX2_PATH
namespace avx2 {
// The lanes of `v` holding no counted control byte (IsCountedControl) have the top
// bit set: adding 0x60, with saturation, sets it for every byte from 0x20 on, and
// TAB, LF, CR and ESC are told by a look-up by their low nibble (whose entry is that
// byte; the others' entries are no ASCII byte, and a byte from 0x80 on looks up 0).
// The lanes of several vectors ANDed together keep the top bit where none of them
// holds one, so that one mask tells them all.
__attribute__((target("avx2"))) inline __m256i NoCountedControls(__m256i v) {
  const __m256i tolerated = _mm256_setr_epi8(-128, -128, -128, -128, -128, -128, -128, -128, -128,
                                             '\t', '\n', 0x1B, -128, '\r', -128, -128,  //
                                             -128, -128, -128, -128, -128, -128, -128, -128, -128,
                                             '\t', '\n', 0x1B, -128, '\r', -128, -128);
  return _mm256_or_si256(_mm256_adds_epu8(v, _mm256_set1_epi8(0x60)),
                         _mm256_cmpeq_epi8(_mm256_shuffle_epi8(tolerated, v), v));
}

// The first block of 128 bytes from `from` on in [text, text + size) that holds a
// counted control byte, or the offset from which fewer than 128 bytes are left.
__attribute__((target("avx2"))) inline std::size_t SkipControlFreeBlocks(const unsigned char* text,
                                                                         std::size_t from,
                                                                         std::size_t size) {
  const auto quiet = [text](std::size_t at) __attribute__((target("avx2"))) {
    return NoCountedControls(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + at)));
  };
  for (; size - from >= 128; from += 128) {
    const __m256i all = _mm256_and_si256(_mm256_and_si256(quiet(from), quiet(from + 32)),
                                         _mm256_and_si256(quiet(from + 64), quiet(from + 96)));
    if (_mm256_movemask_epi8(all) != -1) break;
  }
  return from;
}
}  // namespace avx2
#endif

// The first byte below 0x20 in [from, end), or end.
inline std::size_t FindLowByteScalar(const unsigned char* text, std::size_t from, std::size_t end) {
  for (std::size_t offset = from; offset < end; ++offset) {
    if (text[offset] < 0x20) return offset;
  }
  return end;
}

inline std::size_t FindLowByte(const unsigned char* text, std::size_t from, std::size_t end) {
  std::size_t offset = from;
#if defined(__SSE2__)
  for (; end - offset >= 16; offset += 16) {
    if (const unsigned m = sse2::Mask16(sse2::LowBytes(sse2::Load16(text + offset)))) {
      return offset + static_cast<std::size_t>(std::countr_zero(m));
    }
  }
#endif
  return FindLowByteScalar(text, offset, end);
}

// The first TAB or zero byte in [from, end), or end.
inline std::size_t FindTabOrZeroScalar(const unsigned char* text, std::size_t from,
                                       std::size_t end) {
  for (std::size_t offset = from; offset < end; ++offset) {
    if (text[offset] == 0 || text[offset] == '\t') return offset;
  }
  return end;
}

inline std::size_t FindTabOrZero(const unsigned char* text, std::size_t from, std::size_t end) {
  std::size_t offset = from;
#if defined(__SSE2__)
  for (; end - offset >= 16; offset += 16) {
    const __m128i v = sse2::Load16(text + offset);
    const __m128i stop = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_setzero_si128()),
                                      _mm_cmpeq_epi8(v, _mm_set1_epi8('\t')));
    if (const unsigned m = sse2::Mask16(stop)) {
      return offset + static_cast<std::size_t>(std::countr_zero(m));
    }
  }
#endif
  return FindTabOrZeroScalar(text, offset, end);
}

// Appends text[from, to) to line[0, length), as far as capacity allows.
inline void AppendToLine(const unsigned char* text, std::size_t from, std::size_t to,
                         unsigned char* line, std::size_t& length, std::size_t capacity) {
  if (length < capacity && to > from) {  // an empty text may have no bytes at all
    const std::size_t n = std::min(to - from, capacity - length);
    std::memcpy(line + length, text + from, n);
    length += n;
  }
}

// Copies the text from `from` up to its first byte below 0x20, or its end, onto
// line[length, capacity), advancing `length` past what was copied; returns the
// offset of that byte, or size. The vector form stores whole vectors at `length`
// while it is below capacity, so `line` needs 15 bytes of room past capacity.
inline std::size_t CopyToLowByteScalar(const unsigned char* text, std::size_t size,
                                       std::size_t from, unsigned char* line, std::size_t& length,
                                       std::size_t capacity) {
  const std::size_t low = FindLowByteScalar(text, from, size);
  AppendToLine(text, from, low, line, length, capacity);
  return low;
}

inline std::size_t CopyToLowByte(const unsigned char* text, std::size_t size, std::size_t from,
                                 unsigned char* line, std::size_t& length, std::size_t capacity) {
  std::size_t offset = from;
#if defined(__SSE2__)
  while (length < capacity && size - offset >= 16) {
    const __m128i v = sse2::Load16(text + offset);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(line + length), v);
    if (const unsigned m = sse2::Mask16(sse2::LowBytes(v))) {
      const auto n = static_cast<std::size_t>(std::countr_zero(m));
      length = std::min(length + n, capacity);
      return offset + n;
    }
    length += 16;
    offset += 16;
  }
  length = std::min(length, capacity);
#endif
  const std::size_t low = FindLowByte(text, offset, size);
  AppendToLine(text, offset, low, line, length, capacity);
  return low;
}

// The first text event in [from, end): a candidate, or a counted control byte. The
// line feeds before it are added to `lineFeeds`.
inline std::size_t FindTextEventScalar(const unsigned char* text, std::size_t size,
                                       std::size_t from, std::size_t end,
                                       const CandidateBytes& events, std::uint64_t& lineFeeds) {
  const LastByteTest& test = events.last;
  std::size_t offset = from;
  for (; offset < end; ++offset) {
    const unsigned char b = text[offset];
    if (IsCountedControl(b)) break;
    if ((b == events.first || b == events.other) &&
        (!test.on || offset + events.lastOffset >= size ||
         text[offset + events.lastOffset] == test.a ||
         text[offset + events.lastOffset] == test.b)) {
      break;
    }
    if (b == '\n') ++lineFeeds;
  }
  return offset;
}

// The 16-byte form, which hands whole blocks to `wideSkipper` when it is not null.
inline std::size_t FindTextEvent(const unsigned char* text, std::size_t size, std::size_t from,
                                 std::size_t end, const CandidateBytes& events,
                                 QuietBlockSkipper wideSkipper, std::uint64_t& lineFeeds) {
  std::size_t offset = from;
  std::uint64_t lines = 0;
#if defined(__SSE2__)
  using sse2::Load16;
  using sse2::Mask16;
  using sse2::SumLanes;
  const LastByteTest test = events.last;
  const std::size_t lastOffset = events.lastOffset;
  // Vectors also load the bytes lastOffset further on, so they stop short of the
  // end of the text by that much.
  const std::size_t vectorEnd = size > lastOffset ? std::min(end, size - lastOffset) : 0;
  const __m128i first = _mm_set1_epi8(static_cast<char>(events.first));
  const __m128i other = _mm_set1_epi8(static_cast<char>(events.other));
  const __m128i lastA = _mm_set1_epi8(static_cast<char>(test.a));
  const __m128i lastB = _mm_set1_epi8(static_cast<char>(test.b));
  const __m128i lineFeed = _mm_set1_epi8('\n');
  const __m128i tab = _mm_set1_epi8('\t');
  const __m128i carriageReturn = _mm_set1_epi8('\r');
  const __m128i escape = _mm_set1_epi8(0x1B);
  const auto eventLanes = [&](const unsigned char* at, __m128i v, __m128i lf) {
    const __m128i tolerated =
        _mm_or_si128(_mm_or_si128(lf, _mm_cmpeq_epi8(v, tab)),
                     _mm_or_si128(_mm_cmpeq_epi8(v, carriageReturn), _mm_cmpeq_epi8(v, escape)));
    const __m128i controls = _mm_andnot_si128(tolerated, sse2::LowBytes(v));
    __m128i candidates = _mm_or_si128(_mm_cmpeq_epi8(v, first), _mm_cmpeq_epi8(v, other));
    if (test.on) {
      const __m128i last = Load16(at + lastOffset);
      candidates = _mm_and_si128(
          candidates, _mm_or_si128(_mm_cmpeq_epi8(last, lastA), _mm_cmpeq_epi8(last, lastB)));
    }
    return _mm_or_si128(controls, candidates);
  };
  // Blocks of 64 without an event; a byte lane of the line feed tally takes at most
  // 4 per block, so it is summed at least every 63 blocks.
  bool found = false;
  if (wideSkipper != nullptr) {
    offset = wideSkipper(text, offset, vectorEnd, events, lines);
    found = true;  // at a block with an event, or short of a whole block
  }
  while (!found && vectorEnd >= offset + 64) {
    const std::size_t stop = offset + std::min<std::size_t>((vectorEnd - offset) / 64, 63) * 64;
    __m128i tally = _mm_setzero_si128();
    for (; offset < stop; offset += 64) {
      const unsigned char* block = text + offset;
      const __m128i a = Load16(block);
      const __m128i b = Load16(block + 16);
      const __m128i c = Load16(block + 32);
      const __m128i d = Load16(block + 48);
      const __m128i lfA = _mm_cmpeq_epi8(a, lineFeed);
      const __m128i lfB = _mm_cmpeq_epi8(b, lineFeed);
      const __m128i lfC = _mm_cmpeq_epi8(c, lineFeed);
      const __m128i lfD = _mm_cmpeq_epi8(d, lineFeed);
      const __m128i any = _mm_or_si128(
          _mm_or_si128(eventLanes(block, a, lfA), eventLanes(block + 16, b, lfB)),
          _mm_or_si128(eventLanes(block + 32, c, lfC), eventLanes(block + 48, d, lfD)));
      if (Mask16(any) != 0) {
        found = true;
        break;
      }
      tally = _mm_sub_epi8(tally, _mm_add_epi8(_mm_add_epi8(lfA, lfB), _mm_add_epi8(lfC, lfD)));
    }
    lines += SumLanes(tally);
  }
  // At most four more vectors: the rest of a block with an event, or of the stretch.
  __m128i tally = _mm_setzero_si128();
  for (; vectorEnd >= offset + 16; offset += 16) {
    const __m128i v = Load16(text + offset);
    const __m128i lf = _mm_cmpeq_epi8(v, lineFeed);
    if (const unsigned m = Mask16(eventLanes(text + offset, v, lf))) {
      const int lane = std::countr_zero(m);
      tally = _mm_sub_epi8(tally, _mm_and_si128(lf, Load16(sse2::kLanesBefore + 16 - lane)));
      lineFeeds += lines + SumLanes(tally);
      return offset + static_cast<std::size_t>(lane);
    }
    tally = _mm_sub_epi8(tally, lf);
  }
  lines += SumLanes(tally);
#else
  (void)wideSkipper;
#endif
  offset = FindTextEventScalar(text, size, offset, end, events, lines);
  lineFeeds += lines;
  return offset;
}

// The first candidate in [from, end), or end. The last-byte test is exact here (a
// binary pass compares bytes as they are): it takes last.a only.
inline std::size_t FindCandidateScalar(const unsigned char* text, std::size_t size,
                                       std::size_t from, std::size_t end,
                                       const CandidateBytes& candidates) {
  const LastByteTest& test = candidates.last;
  for (std::size_t offset = from; offset < end; ++offset) {
    const unsigned char b = text[offset];
    if ((b == candidates.first || b == candidates.other) &&
        (!test.on || offset + candidates.lastOffset >= size ||
         text[offset + candidates.lastOffset] == test.a)) {
      return offset;
    }
  }
  return end;
}

inline std::size_t FindCandidate(const unsigned char* text, std::size_t size, std::size_t from,
                                 std::size_t end, const CandidateBytes& candidates) {
  const LastByteTest test = candidates.last;
  if (from == end) return end;  // an empty stretch may come with no text at all
  if (!test.on && candidates.first == candidates.other) {
    const void* hit = std::memchr(text + from, candidates.first, end - from);
    return hit == nullptr ? end
                          : static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - text);
  }
  std::size_t offset = from;
#if defined(__SSE2__)
  using sse2::Load16;
  using sse2::Mask16;
  const std::size_t lastOffset = candidates.lastOffset;
  const std::size_t vectorEnd = size > lastOffset ? std::min(end, size - lastOffset) : 0;
  const __m128i first = _mm_set1_epi8(static_cast<char>(candidates.first));
  const __m128i other = _mm_set1_epi8(static_cast<char>(candidates.other));
  const __m128i last = _mm_set1_epi8(static_cast<char>(test.a));
  const auto candidateLanes = [&](const unsigned char* at) {
    const __m128i v = Load16(at);
    const __m128i firsts = _mm_or_si128(_mm_cmpeq_epi8(v, first), _mm_cmpeq_epi8(v, other));
    if (!test.on) return firsts;
    return _mm_and_si128(firsts, _mm_cmpeq_epi8(Load16(at + lastOffset), last));
  };
  for (; vectorEnd >= offset + 64; offset += 64) {
    const __m128i a = candidateLanes(text + offset);
    const __m128i b = candidateLanes(text + offset + 16);
    const __m128i c = candidateLanes(text + offset + 32);
    const __m128i d = candidateLanes(text + offset + 48);
    if (Mask16(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) != 0) break;
  }
  for (; vectorEnd >= offset + 16; offset += 16) {
    if (const unsigned m = Mask16(candidateLanes(text + offset))) {
      return offset + static_cast<std::size_t>(std::countr_zero(m));
    }
  }
#endif
  return FindCandidateScalar(text, size, offset, end, candidates);
}

}  // namespace kolbrin
