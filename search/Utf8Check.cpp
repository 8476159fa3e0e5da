#include "search/Utf8Check.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "search/CpuFeatures.h"

namespace kolbrin {
namespace {

std::atomic<int> gWidestVector{64};

constexpr std::uint64_t kHighBits = 0x8080808080808080u;
constexpr std::uint64_t kLowBits = 0x0101010101010101u;

// Whether one of the eight bytes of `word` is zero.
constexpr bool HasZeroByte(std::uint64_t word) {
  return ((word - kLowBits) & ~word & kHighBits) != 0;
}

// The scalar check of [p, to): ASCII by words, other characters by U8_NEXT.
Utf8Check CheckScalar(const unsigned char* data, std::size_t p, std::size_t to, std::size_t size,
                      Utf8Check result) {
  constexpr std::uint64_t kEscapes = 0x1B * kLowBits;
  while (p < to) {
    if (to - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, data + p, 8);
      if ((word & kHighBits) == 0) {
        if (HasZeroByte(word ^ kEscapes)) result.escape = true;
        p += 8;
        continue;
      }
    }
    const unsigned char b = data[p];
    if (b < 0x80) {
      if (b == 0x1B) result.escape = true;
      ++p;
      continue;
    }
    result.nonAscii = true;
    const std::size_t start = p;
    std::int32_t i = 0;
    UChar32 c;
    // A character is at most four bytes; U8_NEXT reads no further than it is given.
    const auto avail = static_cast<std::int32_t>(size - p < 4 ? size - p : 4);
    U8_NEXT(data + p, i, avail, c);
    if (c < 0) {
      result.invalid = true;
      result.checkedTo = start;
      return result;
    }
    p += static_cast<std::size_t>(i);
    if (p > to) {
      result.checkedTo = start;
      return result;
    }
  }
  result.checkedTo = p;
  return result;
}

#if KOLBRIN_HAVE_AVX2_PATH

// The classification of a byte pair by the nibbles of the first byte and the high
// nibble of the second: each bit names one way the pair can be ill-formed, and a
// pair is ill-formed where all three look-ups agree on a bit. Sequences that need a
// third or fourth byte are checked by the lead two and three bytes back.
constexpr std::uint8_t kTooShort = 1 << 0;      // lead or ASCII, then a lead or ASCII ...
constexpr std::uint8_t kTooLong = 1 << 1;       // ASCII, then a continuation
constexpr std::uint8_t kOverlong3 = 1 << 2;     // E0, then 80..9F
constexpr std::uint8_t kTooLarge = 1 << 3;      // F4 90.. and above
constexpr std::uint8_t kSurrogate = 1 << 4;     // ED, then A0..BF
constexpr std::uint8_t kOverlong2 = 1 << 5;     // C0 or C1
constexpr std::uint8_t kTooLarge1000 = 1 << 6;  // F5.. 80..8F
constexpr std::uint8_t kOverlong4 = 1 << 6;     // F0, then 80..8F
constexpr std::uint8_t kTwoConts = 1 << 7;      // a continuation, then a continuation
constexpr std::uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

static constexpr std::uint8_t kFirstHigh[16] = {
    kTooLong,
    kTooLong,
    kTooLong,
    kTooLong,
    kTooLong,
    kTooLong,
    kTooLong,
    kTooLong,
    kTwoConts,
    kTwoConts,
    kTwoConts,
    kTwoConts,
    kTooShort | kOverlong2,                               // C0..CF
    kTooShort,                                            // D0..DF
    kTooShort | kOverlong3 | kSurrogate,                  // E0..EF
    kTooShort | kTooLarge | kTooLarge1000 | kOverlong4};  // F0..FF
static constexpr std::uint8_t kFirstLow[16] = {
    kCarry | kOverlong3 | kOverlong2 | kOverlong4,  // _0
    kCarry | kOverlong2,                            // _1
    kCarry,
    kCarry,
    kCarry | kTooLarge,                  // _4
    kCarry | kTooLarge | kTooLarge1000,  // _5
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000 | kSurrogate,  // _D
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000};
static constexpr std::uint8_t kSecondHigh[16] = {
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,  // 80..8F
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,                   // 90..9F
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,                   // A0..AF
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,                   // B0..BF
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort};
struct Tables {
  __m256i firstHigh, firstLow, secondHigh, nibble;
};

__attribute__((target("avx2"))) inline __m256i Broadcast16(const std::uint8_t (&t)[16]) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t)));
}

// The vector `v` shifted by n bytes toward higher lanes, with the last n bytes of
// `previous` shifted in.
template <int N>
__attribute__((target("avx2"))) inline __m256i Previous(__m256i v, __m256i previous) {
  return _mm256_alignr_epi8(v, _mm256_permute2x128_si256(previous, v, 0x21), 16 - N);
}

// Non-zero lanes where `v` (after `previous`) is ill-formed.
__attribute__((target("avx2"))) inline __m256i Errors(__m256i v, __m256i previous,
                                                      const Tables& t) {
  const __m256i prev1 = Previous<1>(v, previous);
  const __m256i firstHigh =
      _mm256_shuffle_epi8(t.firstHigh, _mm256_and_si256(_mm256_srli_epi16(prev1, 4), t.nibble));
  const __m256i firstLow = _mm256_shuffle_epi8(t.firstLow, _mm256_and_si256(prev1, t.nibble));
  const __m256i secondHigh =
      _mm256_shuffle_epi8(t.secondHigh, _mm256_and_si256(_mm256_srli_epi16(v, 4), t.nibble));
  const __m256i special = _mm256_and_si256(_mm256_and_si256(firstHigh, firstLow), secondHigh);
  // A byte two after a lead of three or more, or three after a lead of four, must be a
  // continuation: the high bit of these saturated differences says which must.
  const __m256i third =
      _mm256_subs_epu8(Previous<2>(v, previous), _mm256_set1_epi8(static_cast<char>(0xE0 - 0x80)));
  const __m256i fourth =
      _mm256_subs_epu8(Previous<3>(v, previous), _mm256_set1_epi8(static_cast<char>(0xF0 - 0x80)));
  const __m256i must =
      _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
  return _mm256_xor_si256(must, special);
}

// Non-zero lanes where the vector ends inside a character.
__attribute__((target("avx2"))) inline __m256i Incomplete(__m256i v) {
  const __m256i limits = _mm256_setr_epi8(
      -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  //
      -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, static_cast<char>(0xF0 - 1),
      static_cast<char>(0xE0 - 1), static_cast<char>(0xC0 - 1));
  return _mm256_subs_epu8(v, limits);
}

// Checks whole blocks of 256 bytes from `p` while they end at or before `to`; returns
// where the blocks ended, backed off to the start of a character that the last
// block leaves open. The scalar check takes the rest.
__attribute__((target("avx2"))) std::size_t CheckBlocksAvx2(const unsigned char* data,
                                                            std::size_t p, std::size_t to,
                                                            Utf8Check& result) {
  const Tables t{Broadcast16(kFirstHigh), Broadcast16(kFirstLow), Broadcast16(kSecondHigh),
                 _mm256_set1_epi8(0x0F)};
  const __m256i escape = _mm256_set1_epi8(0x1B);

  __m256i previous = _mm256_setzero_si256();  // `p` starts a character
  __m256i errors = _mm256_setzero_si256();
  __m256i open = _mm256_setzero_si256();  // the last vector checked ends inside a character
  __m256i escapes = _mm256_setzero_si256();
  __m256i high = _mm256_setzero_si256();
  const std::size_t start = p;
  // Eight vectors at a time, told ASCII together: text that mixes ASCII and other
  // characters then takes the full check without a branch per block, which it would
  // mispredict, and ASCII still skips.
  for (; to - p >= 256; p += 256) {
    __m256i v[8];
    __m256i either = _mm256_setzero_si256();
    for (int k = 0; k < 8; ++k) {
      v[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + p + 32 * k));
      escapes = _mm256_or_si256(escapes, _mm256_cmpeq_epi8(v[k], escape));
      either = _mm256_or_si256(either, v[k]);
    }
    if (_mm256_movemask_epi8(either) == 0) {
      // ASCII: fine unless the block before left a character open.
      errors = _mm256_or_si256(errors, open);
      open = _mm256_setzero_si256();
      previous = v[7];
      continue;
    }
    high = _mm256_or_si256(high, either);
    for (int k = 0; k < 8; ++k) {
      errors = _mm256_or_si256(errors, Errors(v[k], previous, t));
      previous = v[k];
    }
    open = Incomplete(v[7]);
    // Stop soon after an error, so a file that is not UTF-8 is told early.
    if (((p - start) & 4095) == 0 && !_mm256_testz_si256(errors, errors)) break;
  }
  if (!_mm256_testz_si256(escapes, escapes)) result.escape = true;
  if (_mm256_movemask_epi8(high) != 0) result.nonAscii = true;
  if (!_mm256_testz_si256(errors, errors)) {
    result.invalid = true;
    return p;
  }
  if (p != start && !_mm256_testz_si256(open, open)) {
    // Back off to the lead byte of the character left open.
    for (std::size_t k = 1; k <= 3; ++k) {
      if (data[p - k] >= 0xC0) return p - k;
    }
  }
  return p;
}

// The same check with 64-byte vectors, where the processor has AVX-512 with byte
// permutes: the bytes one to three back come from one permute over two vectors.
#define KOLBRIN_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi")))

template <int N>
KOLBRIN_AVX512 inline __m512i Previous512(__m512i v, __m512i previous) {
  // Lane i takes byte i + 64 - N of previous:v, that is v[i - N], or previous's last.
  alignas(64) static constexpr auto kIndex = [] {
    std::array<std::uint8_t, 64> index{};
    for (int i = 0; i < 64; ++i)
      index[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i + 64 - N);
    return index;
  }();
  return _mm512_permutex2var_epi8(previous, _mm512_load_si512(kIndex.data()), v);
}

KOLBRIN_AVX512 inline __m512i Broadcast512(const std::uint8_t (&t)[16]) {
  // The masked form: the plain one reads an undefined vector that GCC 12 warns about.
  return _mm512_maskz_broadcast_i32x4(0xFFFF, _mm_loadu_si128(reinterpret_cast<const __m128i*>(t)));
}

KOLBRIN_AVX512 std::size_t CheckBlocksAvx512(const unsigned char* data, std::size_t p,
                                             std::size_t to, Utf8Check& result) {
  const __m512i firstHighTable = Broadcast512(kFirstHigh);
  const __m512i firstLowTable = Broadcast512(kFirstLow);
  const __m512i secondHighTable = Broadcast512(kSecondHigh);
  const __m512i nibble = _mm512_set1_epi8(0x0F);
  const __m512i escape = _mm512_set1_epi8(0x1B);
  const __m512i thirdLimit = _mm512_set1_epi8(static_cast<char>(0xE0 - 0x80));
  const __m512i fourthLimit = _mm512_set1_epi8(static_cast<char>(0xF0 - 0x80));
  const __m512i highBit = _mm512_set1_epi8(static_cast<char>(0x80));
  // The last three lanes: where a lead of two, three or four bytes leaves a character open.
  alignas(64) static constexpr auto kOpenLimits = [] {
    std::array<std::uint8_t, 64> limits{};
    limits.fill(0xFF);
    limits[61] = 0xF0 - 1;
    limits[62] = 0xE0 - 1;
    limits[63] = 0xC0 - 1;
    return limits;
  }();
  const __m512i openLimits = _mm512_load_si512(kOpenLimits.data());

  __m512i previous = _mm512_setzero_si512();  // `p` starts a character
  __m512i errors = _mm512_setzero_si512();
  __m512i open = _mm512_setzero_si512();
  std::uint64_t escapes = 0;
  std::uint64_t high = 0;
  // The full check of one vector that follows `previous`.
  const auto check = [&](__m512i v) KOLBRIN_AVX512 {
    const __m512i prev1 = Previous512<1>(v, previous);
    const __m512i firstHigh =
        _mm512_shuffle_epi8(firstHighTable, _mm512_and_si512(_mm512_srli_epi16(prev1, 4), nibble));
    const __m512i firstLow = _mm512_shuffle_epi8(firstLowTable, _mm512_and_si512(prev1, nibble));
    const __m512i secondHigh =
        _mm512_shuffle_epi8(secondHighTable, _mm512_and_si512(_mm512_srli_epi16(v, 4), nibble));
    const __m512i special = _mm512_and_si512(_mm512_and_si512(firstHigh, firstLow), secondHigh);
    const __m512i must = _mm512_and_si512(
        _mm512_or_si512(_mm512_subs_epu8(Previous512<2>(v, previous), thirdLimit),
                        _mm512_subs_epu8(Previous512<3>(v, previous), fourthLimit)),
        highBit);
    errors = _mm512_or_si512(errors, _mm512_xor_si512(must, special));
    previous = v;
  };
  const std::size_t start = p;
  // Four vectors at a time, told ASCII together: text that mixes ASCII and other
  // characters then takes the full check without a branch per vector, which it would
  // mispredict, and ASCII still skips.
  for (; to - p >= 256; p += 256) {
    const __m512i v0 = _mm512_loadu_si512(data + p);
    const __m512i v1 = _mm512_loadu_si512(data + p + 64);
    const __m512i v2 = _mm512_loadu_si512(data + p + 128);
    const __m512i v3 = _mm512_loadu_si512(data + p + 192);
    escapes |= _mm512_cmpeq_epi8_mask(v0, escape) | _mm512_cmpeq_epi8_mask(v1, escape) |
               _mm512_cmpeq_epi8_mask(v2, escape) | _mm512_cmpeq_epi8_mask(v3, escape);
    const std::uint64_t nonAscii =
        _mm512_movepi8_mask(_mm512_or_si512(_mm512_or_si512(v0, v1), _mm512_or_si512(v2, v3)));
    if (nonAscii == 0) {
      errors = _mm512_or_si512(errors, open);
      open = _mm512_setzero_si512();
      previous = v3;
      continue;
    }
    high |= nonAscii;
    check(v0);
    check(v1);
    check(v2);
    check(v3);
    open = _mm512_subs_epu8(v3, openLimits);
    if (((p - start) & 4095) == 0 && _mm512_test_epi8_mask(errors, errors) != 0) break;
  }

  if (escapes != 0) result.escape = true;
  if (high != 0) result.nonAscii = true;
  if (_mm512_test_epi8_mask(errors, errors) != 0) {
    result.invalid = true;
    return p;
  }
  if (p != start && _mm512_test_epi8_mask(open, open) != 0) {
    for (std::size_t k = 1; k <= 3; ++k) {
      if (data[p - k] >= 0xC0) return p - k;
    }
  }
  return p;
}
#endif

}  // namespace

Utf8Check CheckUtf8(const unsigned char* data, std::size_t from, std::size_t to, std::size_t size) {
  Utf8Check result;
  std::size_t p = from;
#if KOLBRIN_HAVE_AVX2_PATH
  const int widest = gWidestVector.load(std::memory_order_relaxed);
  if (widest >= 64 && ProcessorHasAvx512Bytes() && to - p >= 256) {
    p = CheckBlocksAvx512(data, p, to, result);
  } else if (widest >= 32 && ProcessorHasAvx2() && to - p >= 256) {
    p = CheckBlocksAvx2(data, p, to, result);
  }
  if (result.invalid) {
    result.checkedTo = p;
    return result;
  }
#endif
  return CheckScalar(data, p, to, size, result);
}

namespace {

// The ISO-2022-JP designation that starts at p[0], if one does within `size` bytes.
bool IsDesignationAt(const unsigned char* p, std::size_t size) {
  if (size >= 3 && p[1] == '$' && (p[2] == '@' || p[2] == 'B')) return true;
  if (size >= 3 && p[1] == '(' && (p[2] == 'B' || p[2] == 'J' || p[2] == 'I')) return true;
  return size >= 4 && p[1] == '$' && p[2] == '(' && p[3] == 'D';
}

bool HasDesignation(const unsigned char* data, std::size_t size) {
  for (const unsigned char* p = data;
       (p = static_cast<const unsigned char*>(std::memchr(p, 0x1B, size - (p - data)))) != nullptr;
       ++p) {
    if (IsDesignationAt(p, size - static_cast<std::size_t>(p - data))) return true;
  }
  return false;
}

// Where the bytes a character may still need to complete start: the last lead byte
// among the last three, when only continuation bytes follow it; else `size`.
std::size_t OpenTail(const unsigned char* data, std::size_t size) {
  for (std::size_t k = 1; k <= 3 && k <= size; ++k) {
    const unsigned char b = data[size - k];
    if (b < 0x80) break;
    if (b >= 0xC0) return size - k;
  }
  return size;
}

}  // namespace

bool Utf8Stream::Feed(const unsigned char* data, std::size_t size) {
  if (!valid_ || size == 0) return valid_;
  if (heldSize_ != 0) {
    // The held bytes and enough of the piece to complete their character.
    unsigned char joined[sizeof held_ + 4];
    const std::size_t taken = std::min<std::size_t>(size, 4);
    std::memcpy(joined, held_, heldSize_);
    std::memcpy(joined + heldSize_, data, taken);
    const std::size_t joinedSize = heldSize_ + taken;
    const std::size_t held = heldSize_;
    heldSize_ = 0;
    if (taken == size) return FeedWhole(joined, joinedSize);  // a piece that short
    // A character is four bytes at most: those that start among the held bytes end
    // within `joined`.
    std::int32_t i = 0;
    while (static_cast<std::size_t>(i) < held) {
      UChar32 c;
      U8_NEXT(joined, i, static_cast<std::int32_t>(joinedSize), c);
      if (c < 0) return valid_ = false;
    }
    const std::size_t skip = static_cast<std::size_t>(i) - held;
    data += skip;
    size -= skip;
  }
  return FeedWhole(data, size);
}

bool Utf8Stream::FeedWhole(const unsigned char* data, std::size_t size) {
  const std::size_t to = OpenTail(data, size);
  if (to != 0) {
    const Utf8Check check = CheckUtf8(data, 0, to, to);
    if (check.invalid || check.checkedTo != to) return valid_ = false;
    nonAscii_ = nonAscii_ || check.nonAscii;
    if (!designations_.found()) designations_.Feed(data, size, check.escape);
  }
  heldSize_ = size - to;
  std::memcpy(held_, data + to, heldSize_);
  if (heldSize_ != 0) {
    nonAscii_ = true;
    designations_.Interrupt();  // no ESC among the last bytes
  }
  return true;
}

bool DesignationSearch::Feed(const unsigned char* data, std::size_t size, bool escape) {
  if (found_) return true;
  // A designation that began among the last bytes of the pieces before.
  if (lastSize_ != 0) {
    unsigned char joined[sizeof last_ + 3];
    const std::size_t taken = std::min<std::size_t>(size, 3);
    std::memcpy(joined, last_, lastSize_);
    std::memcpy(joined + lastSize_, data, taken);
    for (std::size_t k = 0; k < lastSize_; ++k) {
      if (joined[k] == 0x1B && IsDesignationAt(joined + k, lastSize_ + taken - k)) {
        return found_ = true;
      }
    }
  }
  if (escape && HasDesignation(data, size)) return found_ = true;
  // Keep the last three bytes seen when an ESC is among them (an ESC the piece does
  // not hold may be among those kept before, for a piece that short).
  unsigned char joined[sizeof last_ + sizeof last_];
  std::size_t joinedSize = 0;
  if (size < sizeof last_) {
    std::memcpy(joined, last_, lastSize_);
    joinedSize = lastSize_;
  }
  const std::size_t taken = std::min(size, sizeof last_);
  std::memcpy(joined + joinedSize, data + size - taken, taken);
  joinedSize += taken;
  const std::size_t keep = std::min(joinedSize, sizeof last_);
  lastSize_ = std::memchr(joined + joinedSize - keep, 0x1B, keep) != nullptr ? keep : 0;
  std::memcpy(last_, joined + joinedSize - keep, lastSize_);
  return false;
}

bool Utf8Stream::Finish() {
  // The held bytes are well-formed only as whole characters.
  for (std::int32_t i = 0; valid_ && static_cast<std::size_t>(i) < heldSize_;) {
    UChar32 c;
    U8_NEXT(held_, i, static_cast<std::int32_t>(heldSize_), c);
    if (c < 0) valid_ = false;
  }
  heldSize_ = 0;
  return valid_;
}

void SetUtf8CheckWidestVector(int bytes) { gWidestVector.store(bytes); }

}  // namespace kolbrin
