// The fast scanner: the plain scanner's results, step for step, from bulk searches.
// Between events (candidates that may match, and control bytes while the pass is
// text) it skips with vector compares, counting line feeds on the way; the text of
// the current line, which the plain scanner keeps byte by byte, is rebuilt from the
// file only when a text hit needs it.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/FileMap.h"
#include "platform/Text.h"
#include "search/CpuFeatures.h"
#include "search/FileText.h"
#include "search/Scanner.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kolbrin {
namespace {

constexpr std::int32_t kLineCapacity = 238;  // bytes of a line that are held

constexpr bool IsAsciiLetter(unsigned char b) {
  return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
}

constexpr unsigned char AsciiLower(unsigned char b) {
  return (b >= 'A' && b <= 'Z') ? static_cast<unsigned char>(b + 0x20) : b;
}

// Writes `value` as 8 upper-case hex digits and advances `out` past them.
void WriteHex8(char*& out, std::uint32_t value) {
  for (int i = 7; i >= 0; --i) {
    out[i] = "0123456789ABCDEF"[value & 0xF];
    value >>= 4;
  }
  out += 8;
}

// Writes a line number with at least ten digits, leading zeros added, and advances
// `out` past them.
void WriteLineNumber(char*& out, std::int64_t value) {
  static constexpr char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  auto rest = static_cast<std::uint64_t>(value);
  std::size_t digits = 10;
  for (std::uint64_t more = rest / 10'000'000'000u; more != 0; more /= 10) ++digits;
  char* at = out + digits;
  while (at - out >= 2) {
    at -= 2;
    std::memcpy(at, kPairs + 2 * (rest % 100), 2);
    rest /= 100;
  }
  if (at != out) *--at = static_cast<char>('0' + rest % 10);
  out += digits;
}

#if defined(__SSE2__)
inline __m128i Load16(const unsigned char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

inline unsigned Mask16(__m128i v) { return static_cast<unsigned>(_mm_movemask_epi8(v)); }

// The lanes of `v` holding bytes below 0x20.
inline __m128i LowBytes(__m128i v) {
  return _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v);
}

// Loaded from 16 - i: all ones in the lanes before lane i.
alignas(16) constexpr unsigned char kLanesBefore[32] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Sums the byte lanes of `counts`.
inline std::uint64_t SumLanes(__m128i counts) {
  const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
  return static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums)) +
         static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
}
#endif

// The first byte below 0x20 in [from, end), or end.
std::size_t FindLowByte(const unsigned char* data, std::size_t from, std::size_t end) {
  std::size_t p = from;
#if defined(__SSE2__)
  for (; end - p >= 16; p += 16) {
    if (const unsigned m = Mask16(LowBytes(Load16(data + p)))) {
      return p + static_cast<std::size_t>(std::countr_zero(m));
    }
  }
#endif
  for (; p < end; ++p) {
    if (data[p] < 0x20) return p;
  }
  return end;
}

// The first TAB or zero byte in [from, end), or end.
std::size_t FindTabOrZero(const unsigned char* text, std::size_t from, std::size_t end) {
  std::size_t p = from;
#if defined(__SSE2__)
  for (; end - p >= 16; p += 16) {
    const __m128i v = Load16(text + p);
    const __m128i stop = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_setzero_si128()),
                                      _mm_cmpeq_epi8(v, _mm_set1_epi8('\t')));
    if (const unsigned m = Mask16(stop)) {
      return p + static_cast<std::size_t>(std::countr_zero(m));
    }
  }
#endif
  for (; p < end; ++p) {
    if (text[p] == 0 || text[p] == '\t') return p;
  }
  return end;
}

// What a text pass stops at, for the bulk skippers: candidates (the first byte in
// either case, and the byte lastOffset further on as the last-byte test says) and
// counted control bytes.
struct TextEvents {
  unsigned char first = 0;
  unsigned char other = 0;
  bool lastTest = false;
  unsigned char lastA = 0;
  unsigned char lastB = 0;
  std::size_t lastOffset = 0;
};

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

// Skips whole blocks of 64 bytes in [p, vectorEnd) that hold no event, adding their
// line feeds to `lines`, with 32-byte vectors; returns the start of the first block
// that holds one, or the first position from which no whole block fits. Bytes up to
// lastOffset past vectorEnd are read for the last-byte test.
template <bool TwoFirst, int LastBytes>
__attribute__((target("avx2"))) std::size_t SkipQuietBlocksAvx2(const unsigned char* data,
                                                                std::size_t p,
                                                                std::size_t vectorEnd,
                                                                const TextEvents& e,
                                                                std::uint64_t& lines) {
  // Counted control bytes by nibbles: bit 0 of the low nibble's entry marks 0x0n as
  // counted (all but TAB, LF and CR), bit 1 marks 0x1n (all but ESC); the high
  // nibble's entry picks the bit, and is 0 from 0x20 on.
  const EventVectors c{
      _mm256_set1_epi8(static_cast<char>(e.first)),
      _mm256_set1_epi8(static_cast<char>(e.other)),
      _mm256_set1_epi8(static_cast<char>(e.lastA)),
      _mm256_set1_epi8(static_cast<char>(e.lastB)),
      _mm256_set1_epi8(0x0F),
      _mm256_setr_epi8(3, 3, 3, 3, 3, 3, 3, 3, 3, 2, 2, 1, 3, 2, 3, 3,  //
                       3, 3, 3, 3, 3, 3, 3, 3, 3, 2, 2, 1, 3, 2, 3, 3),
      _mm256_setr_epi8(1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  //
                       1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0),
  };
  const __m256i lineFeed = _mm256_set1_epi8('\n');
  // A byte lane of the tally takes at most 2 line feeds per block, so it is summed at
  // least every 127 blocks.
  while (vectorEnd >= p + 64) {
    const std::size_t stop = p + std::min<std::size_t>((vectorEnd - p) / 64, 127) * 64;
    __m256i tally = _mm256_setzero_si256();
    bool found = false;
    for (; p < stop; p += 64) {
      const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + p));
      const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + p + 32));
      const __m256i any =
          _mm256_or_si256(EventsAvx2<TwoFirst, LastBytes>(data + p, a, c, e.lastOffset),
                          EventsAvx2<TwoFirst, LastBytes>(data + p + 32, b, c, e.lastOffset));
      if (!_mm256_testz_si256(any, any)) {
        found = true;
        break;
      }
      tally = _mm256_sub_epi8(
          tally, _mm256_add_epi8(_mm256_cmpeq_epi8(a, lineFeed), _mm256_cmpeq_epi8(b, lineFeed)));
    }
    const __m256i sums = _mm256_sad_epu8(tally, _mm256_setzero_si256());
    lines += static_cast<std::uint64_t>(_mm256_extract_epi64(sums, 0)) +
             static_cast<std::uint64_t>(_mm256_extract_epi64(sums, 1)) +
             static_cast<std::uint64_t>(_mm256_extract_epi64(sums, 2)) +
             static_cast<std::uint64_t>(_mm256_extract_epi64(sums, 3));
    if (found) break;
  }
  return p;
}

using SkipQuietBlocks = std::size_t (*)(const unsigned char*, std::size_t, std::size_t,
                                        const TextEvents&, std::uint64_t&);

SkipQuietBlocks ChooseSkipper(const TextEvents& e) {
  const bool twoFirst = e.first != e.other;
  const int lastBytes = !e.lastTest ? 0 : (e.lastA == e.lastB ? 1 : 2);
  if (twoFirst) {
    if (lastBytes == 0) return SkipQuietBlocksAvx2<true, 0>;
    return lastBytes == 1 ? SkipQuietBlocksAvx2<true, 1> : SkipQuietBlocksAvx2<true, 2>;
  }
  if (lastBytes == 0) return SkipQuietBlocksAvx2<false, 0>;
  return lastBytes == 1 ? SkipQuietBlocksAvx2<false, 1> : SkipQuietBlocksAvx2<false, 2>;
}
#endif

std::atomic<bool> gWideVectors{true};

// A second test for candidates, on the byte PatternLength - 1 after them: a candidate
// whose byte there is neither `a` nor `b` cannot match, so it is not an event. Such a
// candidate is examined like any other byte, which is all the plain scanner does
// with a candidate that fails.
struct LastByteTest {
  bool on = false;
  unsigned char a = 0;
  unsigned char b = 0;
};

class FastScanner final : public Scanner {
 public:
  explicit FastScanner(const SearchSettings& settings)
      : settings_(settings),
        tabSpaces_(static_cast<std::size_t>(std::clamp(settings.TabWidth, 1, 16))),
        Text(settings.Encoding) {
    ResetForFile();
  }

  void ResetForFile() override {
    SetActiveString(settings_.String1);
    FirstPassCount = 0;
    CurrentFile_.clear();
  }

  ScanResult ScanStep(const std::string& path, std::uint32_t chunkSize) override;

  const std::string& CurrentFile() const override { return CurrentFile_; }
  void ClearCurrentFile() override { CurrentFile_.clear(); }
  TextList& Results() override { return Results_; }
  std::size_t FirstPassEntries() const override { return FirstPassCount; }
  bool LoadFailed() const override { return LoadFailed_; }
  void SetOnFileLoaded(std::function<void()> notification) override {
    onFileLoaded_ = std::move(notification);
  }

 private:
  void SetActiveString(const std::string& text);

  void ResetPass() {
    Position = 0;
    LineNo = 1;
    LineStart = 0;
    IsBinary = false;
    ControlCount = 0;
  }

  bool IsCandidate(unsigned char b) const {
    return PatternLength != 0 && (b == first_ || b == firstOther_);
  }

  bool ScanChunk(std::uint32_t limit);
  std::size_t FindTextEvent(const unsigned char* data, std::size_t size, std::size_t from,
                            std::size_t end);
  std::size_t FindCandidate(const unsigned char* data, std::size_t size, std::size_t from,
                            std::size_t end) const;
  void ExamineByte(const unsigned char* data, std::size_t size);
  bool TextEqual(const unsigned char* data, std::size_t at, std::size_t available) const;
  bool ExactTextEqual(const unsigned char* data, std::size_t at, std::size_t available) const;
  void MakeTextHit(const unsigned char* data, std::size_t size, std::size_t at,
                   std::size_t available);
  void MakeBinaryHit(const unsigned char* data, std::size_t at);
  void MakeRoomForEntry(std::size_t at);

  const SearchSettings settings_;
  const std::size_t tabSpaces_;
  std::function<void()> onFileLoaded_;

  platform::FileMap FileData;
  // The text searched: the file's bytes, or their UTF-8 transcoding. The decision
  // follows the first pass (see FileText), which starts again if the file turns out
  // to need decoding.
  FileText Text;
  unsigned char Pattern[256] = {};
  unsigned char lowerPattern_[256] = {};
  std::size_t PatternLength = 0;
  bool patternAscii_ = true;
  bool patternCaseless_ = false;  // not ASCII, and equal only to its own bytes
  unsigned char first_ = 0;       // a candidate's byte ...
  unsigned char firstOther_ = 0;  // ... or this one (the other case of a letter)
  LastByteTest textTest_;         // while the pass is text
  LastByteTest binaryTest_;       // once it is binary
#if KOLBRIN_HAVE_AVX2_PATH
  // The text pass's events for the 32-byte skipper, which is null without AVX2.
  TextEvents textEvents_;
  SkipQuietBlocks wideSkipper_ = nullptr;
#endif

  // The pass: Position is the next byte to examine (the plain scanner's read position
  // and offset at the top of its loop). LineStart is where the current line began as
  // far as examined events and hits tell; line feeds skipped in bulk are not tracked,
  // so a text hit looks back from itself to the last one.
  std::size_t Position = 0;
  bool IsBinary = false;
  // Line numbers are 64-bit so that a file of more than 2^31 line feeds cannot overflow them.
  std::int64_t LineNo = 1;
  std::size_t LineStart = 0;
  std::int32_t ControlCount = 0;

  std::string CurrentFile_;
  bool LoadFailed_ = false;
  std::size_t FirstPassCount = 0;
  TextList Results_;
  std::string ActiveString;
};

void FastScanner::SetActiveString(const std::string& text) {
  ActiveString = text;
  const std::size_t length = std::min<std::size_t>(text.size(), sizeof Pattern - 1);
  std::memcpy(Pattern, text.data(), length);
  Pattern[length] = 0;
  PatternLength = std::strlen(reinterpret_cast<const char*>(Pattern));
  patternAscii_ = true;
  for (std::size_t k = 0; k < PatternLength; ++k) {
    lowerPattern_[k] = AsciiLower(Pattern[k]);
    if (Pattern[k] >= 0x80) patternAscii_ = false;
  }
  // Japanese words have no case: with case ignored they are still found only as
  // their own bytes, so they are compared, and skipped to, as with case kept.
  patternCaseless_ = !patternAscii_ && platform::MatchesOnlyItself(std::string_view(
                                           reinterpret_cast<const char*>(Pattern), PatternLength));
  // Without a pattern there are no candidates; NUL then stands in for the first byte,
  // as it is a control byte and so an event of the text scan anyway.
  first_ = PatternLength != 0 ? Pattern[0] : 0;
  firstOther_ = (!settings_.CaseSensitive && IsAsciiLetter(first_)) ? first_ ^ 0x20 : first_;

  textTest_ = LastByteTest{};
  binaryTest_ = LastByteTest{};
  if (PatternLength >= 2) {
    const unsigned char last = Pattern[PatternLength - 1];
    // Binary compares, and case-kept text compares, are exact.
    binaryTest_ = LastByteTest{true, last, last};
    if (settings_.CaseSensitive || patternCaseless_) {
      textTest_ = binaryTest_;
    } else if (patternAscii_) {
      // Folding maps each character to one character and compares bytes that are not
      // UTF-8 singly, so a window of at most PatternLength bytes equals an ASCII
      // pattern only as PatternLength single bytes, each the pattern's in either case.
      const unsigned char other = IsAsciiLetter(last) ? last ^ 0x20 : last;
      textTest_ = LastByteTest{true, last, other};
    }
    // A pattern with other characters may match a window of another byte length.
  }

#if KOLBRIN_HAVE_AVX2_PATH
  const std::size_t lastOffset = textTest_.on ? PatternLength - 1 : 0;
  textEvents_ = TextEvents{first_, firstOther_, textTest_.on, textTest_.a, textTest_.b, lastOffset};
  wideSkipper_ = gWideVectors.load() && ProcessorHasAvx2() ? ChooseSkipper(textEvents_) : nullptr;
#endif
}

ScanResult FastScanner::ScanStep(const std::string& path, std::uint32_t chunkSize) {
  if (path != CurrentFile_) {
    CurrentFile_ = path;
    Results_.clear();
    LoadFailed_ = !FileData.Load(path, kMaxScannedFileSize);
    if (LoadFailed_) return ScanResult::ScanNoHits;
    Text.Start(FileData.data(), FileData.size());
    ResetPass();
    if (onFileLoaded_) onFileLoaded_();
  }

  // A mapped file's pages come in ahead of the scan and go behind it, before the
  // decision below reads ahead. Decoded text is a copy, read from the file at once.
  if (Text.data() == FileData.data()) FileData.FollowScan(Position);
  // The decision must hold for every byte this chunk may examine; when it turns the
  // file into decoded text, only the first pass can have run, and it starts again.
  const std::uint64_t reach = std::uint64_t{Position} + chunkSize + 1;
  if (reach > Text.settledTo() && Text.Settle(static_cast<std::size_t>(reach))) {
    ResetPass();
    Results_.clear();
  }
  if (!ScanChunk(chunkSize)) return ScanResult::ScanMore;
  // A hit's line can carry the pass to the end past what was checked: the decision
  // is completed before the pass counts as done.
  if (!Text.settled() && Text.Settle(Text.size())) {
    ResetPass();
    Results_.clear();
    return ScanResult::ScanMore;
  }

  const bool secondPass =
      !settings_.String2.empty() && ActiveString != settings_.String2 &&
      ((settings_.AndMode == kAndMode && !Results_.empty()) || settings_.AndMode == kOrMode);
  if (secondPass) {
    SetActiveString(settings_.String2);
    ResetPass();
    FirstPassCount = Results_.size();
    return ScanResult::ScanMore;
  }
  if (settings_.AndMode == kAndMode) {
    if (Results_.size() == FirstPassCount) {
      Results_.clear();
      return ScanResult::ScanNoHits;
    }
    return ScanResult::ScanHits;
  }
  return Results_.empty() ? ScanResult::ScanNoHits : ScanResult::ScanHits;
}

// One call examines limit + 1 bytes, or the rest of the pass when that is fewer (then
// it returns true). Bytes read for a compare window or for the rest of a hit's line
// are not examined, so they do not count.
bool FastScanner::ScanChunk(std::uint32_t limit) {
  const unsigned char* const data = Text.data();
  const std::size_t size = Text.size();
  std::uint64_t budget = std::uint64_t{limit} + 1;
  for (;;) {
    if (Position >= size) return true;
    const std::size_t end = size - Position > budget ? Position + budget : size;
    std::size_t at;
    if (!IsBinary) {
      at = FindTextEvent(data, size, Position, end);
    } else if (PatternLength != 0) {
      at = FindCandidate(data, size, Position, end);
    } else {
      at = end;  // nothing left that could show
    }
    budget -= at - Position;
    Position = at;
    if (at == end) return budget != 0;  // not exhausted: the pass is finished
    ExamineByte(data, size);
    if (--budget == 0) return false;
  }
}

// The first event in [from, end) while the pass is text: a candidate that passes the
// last-byte test, or a counted control byte. The line feeds before it are counted.
std::size_t FastScanner::FindTextEvent(const unsigned char* data, std::size_t size,
                                       std::size_t from, std::size_t end) {
  const LastByteTest test = textTest_;
  const std::size_t lastOffset = test.on ? PatternLength - 1 : 0;
  std::size_t p = from;
  std::uint64_t lines = 0;
#if defined(__SSE2__)
  // Vectors also load the bytes lastOffset further on, so they stop short of the
  // end of the file by that much.
  const std::size_t vectorEnd = size > lastOffset ? std::min(end, size - lastOffset) : 0;
  const __m128i first = _mm_set1_epi8(static_cast<char>(first_));
  const __m128i other = _mm_set1_epi8(static_cast<char>(firstOther_));
  const __m128i lastA = _mm_set1_epi8(static_cast<char>(test.a));
  const __m128i lastB = _mm_set1_epi8(static_cast<char>(test.b));
  const __m128i lineFeed = _mm_set1_epi8('\n');
  const __m128i tab = _mm_set1_epi8('\t');
  const __m128i carriageReturn = _mm_set1_epi8('\r');
  const __m128i escape = _mm_set1_epi8(0x1B);
  const auto events = [&](const unsigned char* at, __m128i v, __m128i lf) {
    const __m128i tolerated =
        _mm_or_si128(_mm_or_si128(lf, _mm_cmpeq_epi8(v, tab)),
                     _mm_or_si128(_mm_cmpeq_epi8(v, carriageReturn), _mm_cmpeq_epi8(v, escape)));
    const __m128i controls = _mm_andnot_si128(tolerated, LowBytes(v));
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
#if KOLBRIN_HAVE_AVX2_PATH
  if (wideSkipper_ != nullptr) {
    p = wideSkipper_(data, p, vectorEnd, textEvents_, lines);
    found = true;  // at a block with an event, or short of a whole block
  }
#endif
  while (!found && vectorEnd >= p + 64) {
    const std::size_t stop = p + std::min<std::size_t>((vectorEnd - p) / 64, 63) * 64;
    __m128i tally = _mm_setzero_si128();
    for (; p < stop; p += 64) {
      const __m128i a = Load16(data + p);
      const __m128i b = Load16(data + p + 16);
      const __m128i c = Load16(data + p + 32);
      const __m128i d = Load16(data + p + 48);
      const __m128i lfA = _mm_cmpeq_epi8(a, lineFeed);
      const __m128i lfB = _mm_cmpeq_epi8(b, lineFeed);
      const __m128i lfC = _mm_cmpeq_epi8(c, lineFeed);
      const __m128i lfD = _mm_cmpeq_epi8(d, lineFeed);
      const __m128i any =
          _mm_or_si128(_mm_or_si128(events(data + p, a, lfA), events(data + p + 16, b, lfB)),
                       _mm_or_si128(events(data + p + 32, c, lfC), events(data + p + 48, d, lfD)));
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
  for (; vectorEnd >= p + 16; p += 16) {
    const __m128i v = Load16(data + p);
    const __m128i lf = _mm_cmpeq_epi8(v, lineFeed);
    if (const unsigned m = Mask16(events(data + p, v, lf))) {
      const int i = std::countr_zero(m);
      tally = _mm_sub_epi8(tally, _mm_and_si128(lf, Load16(kLanesBefore + 16 - i)));
      LineNo += static_cast<std::int64_t>(lines + SumLanes(tally));
      return p + static_cast<std::size_t>(i);
    }
    tally = _mm_sub_epi8(tally, lf);
  }
  lines += SumLanes(tally);
#endif
  for (; p < end; ++p) {
    const unsigned char b = data[p];
    if (IsCountedControl(b)) break;
    if ((b == first_ || b == firstOther_) &&
        (!test.on || p + lastOffset >= size || data[p + lastOffset] == test.a ||
         data[p + lastOffset] == test.b)) {
      break;
    }
    if (b == '\n') ++lines;
  }
  LineNo += static_cast<std::int64_t>(lines);
  return p;
}

// The first candidate in [from, end) that passes the last-byte test, or end.
std::size_t FastScanner::FindCandidate(const unsigned char* data, std::size_t size,
                                       std::size_t from, std::size_t end) const {
  const LastByteTest test = binaryTest_;
  if (!test.on && first_ == firstOther_) {
    const void* hit = std::memchr(data + from, first_, end - from);
    return hit == nullptr ? end
                          : static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - data);
  }
  const std::size_t lastOffset = test.on ? PatternLength - 1 : 0;
  std::size_t p = from;
#if defined(__SSE2__)
  const std::size_t vectorEnd = size > lastOffset ? std::min(end, size - lastOffset) : 0;
  const __m128i first = _mm_set1_epi8(static_cast<char>(first_));
  const __m128i other = _mm_set1_epi8(static_cast<char>(firstOther_));
  const __m128i last = _mm_set1_epi8(static_cast<char>(test.a));
  const auto candidates = [&](const unsigned char* at) {
    const __m128i v = Load16(at);
    const __m128i firsts = _mm_or_si128(_mm_cmpeq_epi8(v, first), _mm_cmpeq_epi8(v, other));
    if (!test.on) return firsts;
    return _mm_and_si128(firsts, _mm_cmpeq_epi8(Load16(at + lastOffset), last));
  };
  for (; vectorEnd >= p + 64; p += 64) {
    const __m128i a = candidates(data + p);
    const __m128i b = candidates(data + p + 16);
    const __m128i c = candidates(data + p + 32);
    const __m128i d = candidates(data + p + 48);
    if (Mask16(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) != 0) break;
  }
  for (; vectorEnd >= p + 16; p += 16) {
    if (const unsigned m = Mask16(candidates(data + p))) {
      return p + static_cast<std::size_t>(std::countr_zero(m));
    }
  }
#endif
  for (; p < end; ++p) {
    const unsigned char b = data[p];
    if ((b == first_ || b == firstOther_) &&
        (!test.on || p + lastOffset >= size || data[p + lastOffset] == test.a)) {
      return p;
    }
  }
  return end;
}

// The plain scanner's loop body for the byte at Position.
void FastScanner::ExamineByte(const unsigned char* data, std::size_t size) {
  const std::size_t at = Position;
  const unsigned char b = data[at];
  Position = at + 1;

  if (!IsBinary && IsCountedControl(b)) {
    if (ControlCount == kToleratedControls) {
      IsBinary = true;
    } else {
      ++ControlCount;
    }
  }
  if (b == '\n') {
    ++LineNo;
    LineStart = at + 1;
  }
  if (!IsCandidate(b)) return;

  // The window is the candidate and the PatternLength - 1 bytes after it, as far as
  // the file goes; the plain scanner pads it with zero bytes.
  const std::size_t available = std::min(PatternLength - 1, size - (at + 1));
  bool equal;
  if (settings_.CaseSensitive || IsBinary) {
    // The candidate test has already matched the first byte, in either ASCII case
    // when case is ignored; the rest must match exactly. A short window cannot, as
    // the pattern holds no zero byte.
    equal = available == PatternLength - 1 &&
            std::memcmp(data + at + 1, Pattern + 1, PatternLength - 1) == 0;
  } else {
    equal = TextEqual(data, at, available);
  }
  if (!equal) return;  // the scan resumes at the byte after the candidate

  if (IsBinary) {
    MakeBinaryHit(data, at);
  } else {
    MakeTextHit(data, size, at, available);
  }
}

// The text compare of the window at `at` with the pattern, case ignored.
bool FastScanner::TextEqual(const unsigned char* data, std::size_t at,
                            std::size_t available) const {
  if (!patternAscii_) {
    // Identical bytes are identical text; anything else takes the full comparison,
    // unless the pattern has no case.
    if (available == PatternLength - 1 && data[at] == Pattern[0] &&
        std::memcmp(data + at + 1, Pattern + 1, available) == 0) {
      return true;
    }
    return !patternCaseless_ && ExactTextEqual(data, at, available);
  }
  // An ASCII pattern: the candidate matched the first byte in either case. Folding
  // goes unit by unit and keeps ASCII bytes ASCII, so while the window is ASCII too,
  // an ASCII case-insensitive compare gives the comparison's answer; a zero byte (or
  // the end of the file) ends the window's text short of the pattern.
  for (std::size_t k = 1; k < PatternLength; ++k) {
    const unsigned char w = k <= available ? data[at + k] : 0;
    if (AsciiLower(w) == lowerPattern_[k]) continue;
    if (w < 0x80) return false;
    return ExactTextEqual(data, at, available);
  }
  return true;
}

// The plain scanner's comparison, literally: the window up to its first zero byte
// against the pattern, as text without regard to case.
bool FastScanner::ExactTextEqual(const unsigned char* data, std::size_t at,
                                 std::size_t available) const {
  char window[256] = {};
  std::memcpy(window, data + at, available + 1);
  const std::string_view windowText(window, ::strnlen(window, 255));
  const std::string_view patternText(reinterpret_cast<const char*>(Pattern), PatternLength);
  return platform::CompareTextIgnoreCase(windowText, patternText) == 0;
}

void FastScanner::MakeBinaryHit(const unsigned char* data, std::size_t at) {
  // An exact match: the window is the candidate byte and the rest of the pattern,
  // none of them zero.
  Position = at + PatternLength;
  char entry[8 + 6 + 8 + 256];
  char* out = entry;
  WriteHex8(out, static_cast<std::uint32_t>(at));
  out = std::copy_n("BIN[", 4, out);
  WriteHex8(out, static_cast<std::uint32_t>(at));
  out = std::copy_n("]:", 2, out);
  std::memcpy(out, data + at, PatternLength);
  out += PatternLength;
  MakeRoomForEntry(at);
  Results_.push_back(std::string_view(entry, static_cast<std::size_t>(out - entry)));
}

// A text hit at `at` with its window matched: the line so far, the window raw, then
// the rest of the line, which is consumed. The entry is written straight into the
// results: the sort prefix and the node's head, then the line, which is the rest of
// the text unless it holds a TAB.
void FastScanner::MakeTextHit(const unsigned char* data, std::size_t size, std::size_t at,
                              std::size_t available) {
  constexpr std::size_t kHeadRoom = 8 + 5 + 20 + 2;  // prefix, "LINE[", number, "]:"
  constexpr std::size_t kVectorSlack = 16;           // whole vectors may be stored
  char* const entry = Results_.Reserve(kHeadRoom + kLineCapacity + kVectorSlack);
  char* out = entry;
  WriteHex8(out, static_cast<std::uint32_t>(at));
  out = std::copy_n("LINE[", 5, out);
  WriteLineNumber(out, LineNo);
  out = std::copy_n("]:", 2, out);
  const auto headLength = static_cast<std::size_t>(out - entry);
  unsigned char* const line = reinterpret_cast<unsigned char*>(out);
  std::size_t length = 0;

  // The examined bytes of the line up to the candidate, CRs left out (each is
  // overwritten by the next byte), the first kLineCapacity of them.
  std::size_t start = LineStart;
  if (start <= at) {
    const void* lastFeed = ::memrchr(data + start, '\n', at - start);
    if (lastFeed != nullptr) {
      start = static_cast<std::size_t>(static_cast<const unsigned char*>(lastFeed) - data) + 1;
    }
    const std::size_t head = std::min<std::size_t>(at + 1 - start, kLineCapacity);
    if (std::memchr(data + start, '\r', head) == nullptr) {
      std::memcpy(line, data + start, head);
      length = head;
    } else {
      for (std::size_t q = start; q <= at && length < kLineCapacity; ++q) {
        if (data[q] != '\r') line[length++] = data[q];
      }
    }
  }

  // The window's other bytes go in as they are, CRs and line feeds included; past
  // the end of the file the window holds zero bytes.
  for (std::size_t k = 1; k < PatternLength && length < kLineCapacity; ++k) {
    line[length++] = k <= available ? data[at + k] : 0;
  }
  std::size_t q = at + 1 + available;

  // The rest of the line: up to a line feed, or a control byte (ESC too), which
  // makes the rest of the pass binary; both are consumed. CRs are skipped.
  while (q < size) {
    bool atLowByte = false;
#if defined(__SSE2__)
    // Whole vectors are copied while the line has room, up to a byte below 0x20.
    while (length < kLineCapacity && size - q >= 16) {
      const __m128i v = Load16(data + q);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(line + length), v);
      if (const unsigned m = Mask16(LowBytes(v))) {
        const auto n = static_cast<std::size_t>(std::countr_zero(m));
        length += n;
        q += n;
        atLowByte = true;
        break;
      }
      length += 16;
      q += 16;
    }
    length = std::min<std::size_t>(length, kLineCapacity);
#endif
    if (!atLowByte) {
      const std::size_t low = FindLowByte(data, q, size);
      if (length < kLineCapacity) {
        const std::size_t n = std::min<std::size_t>(low - q, kLineCapacity - length);
        std::memcpy(line + length, data + q, n);
        length += n;
      }
      q = low;
      if (q == size) break;
    }
    const unsigned char b = data[q++];
    if (b == '\t') {
      if (length < kLineCapacity) line[length++] = b;
    } else if (b == '\n') {
      ++LineNo;
      break;
    } else if (b != '\r') {
      IsBinary = true;
      break;
    }
  }
  Position = q;
  LineStart = q;

  if (length == kLineCapacity) std::memcpy(line + kLineCapacity - 3, "...", 3);

  // The text ends at the line's first zero byte, and each TAB becomes spaces.
  MakeRoomForEntry(at);
  std::size_t stop = FindTabOrZero(line, 0, length);
  if (stop == length || line[stop] == 0) {
    Results_.Commit(headLength + stop);
    return;
  }
  char expanded[kHeadRoom + kLineCapacity * 16];
  char* text = std::copy_n(entry, headLength, expanded);
  for (std::size_t k = 0;;) {
    std::memcpy(text, line + k, stop - k);
    text += stop - k;
    if (stop == length || line[stop] == 0) break;
    text = std::fill_n(text, tabSpaces_, ' ');
    k = stop + 1;
    stop = FindTabOrZero(line, k, length);
  }
  Results_.push_back(std::string_view(expanded, static_cast<std::size_t>(text - expanded)));
}

// Grows the entries by the hits the rest of the file is likely to hold at the rate
// so far, instead of doubling again and again: a frequent word makes millions of
// entries, and each regrowth moves them all into memory that is new to the process.
// The growth stays between twice and eight times, so a dense start cannot reserve
// much more than is used.
void FastScanner::MakeRoomForEntry(std::size_t at) {
  const std::size_t count = Results_.size();
  if (count < Results_.capacity()) return;
  std::size_t more = std::max<std::size_t>(count, 16);
  if (count >= 1024 && at > 0) {
    const double expected = static_cast<double>(count) * static_cast<double>(Text.size() - at) /
                            static_cast<double>(at);
    more = std::clamp(static_cast<std::size_t>(expected * 1.125), more, 7 * count);
  }
  Results_.reserve(count + more);
}

}  // namespace

std::unique_ptr<Scanner> MakeFastScanner(const SearchSettings& settings) {
  return std::make_unique<FastScanner>(settings);
}

void SetFastScannerWideVectors(bool enabled) { gWideVectors.store(enabled); }

}  // namespace kolbrin
