// The transcoders FileText decodes with; see search/Transcoders.h.
#include "search/Transcoders.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <vector>

#include "search/ScanKernels.h"
#include "search/Scanner.h"

namespace kolbrin {
namespace {

// Whether a byte below 0x20 ends a decoding: a NUL, or a counted control byte beyond
// the tenth. The vector loops call it only for NULs and counted control bytes.
inline bool TooManyControls(unsigned char b, std::size_t& controls) {
  return b == 0 ||
         (IsCountedControl(b) && ++controls > static_cast<std::size_t>(kToleratedControls));
}

// StillCountsAsText for text[p, to), 16 bytes at a time, then byte by byte.
bool CountControls(const unsigned char* text, std::size_t p, std::size_t to,
                   std::size_t& controls) {
#if defined(__SSE2__)
  for (; to - p >= 16; p += 16) {
    for (unsigned low = sse2::Mask16(sse2::CountedControls(sse2::Load16(text + p))); low != 0;
         low &= low - 1) {
      if (TooManyControls(text[p + static_cast<std::size_t>(std::countr_zero(low))], controls)) {
        return false;
      }
    }
  }
#endif
  for (; p < to; ++p) {
    if (text[p] < 0x20 && TooManyControls(text[p], controls)) return false;
  }
  return true;
}

// What kind of character `c` is, for the judging of whether a reading looks like
// Japanese text (search/TextDecision.cpp).
CharKind KindOf(UChar32 c) {
  if (c >= 0x3041 && c <= 0x30FF) return CharKind::Kana;
  if ((c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF) ||  // CJK ideographs
      (c >= 0xF900 && c <= 0xFAFF) || (c >= 0x3000 && c <= 0x303F) ||  // ... and punctuation
      (c >= 0xFF01 && c <= 0xFF5E)) {                                  // full-width forms
    return CharKind::Kanji;
  }
  if (c >= 0xFF61 && c <= 0xFF9F) return CharKind::HalfWidthKana;
  if (c >= 0xE000 && c <= 0xF8FF) return CharKind::UserDefined;
  return CharKind::Other;
}

// What a byte-table decoding makes of a byte that starts no mapped sequence.
enum class BadBytes { Replace, Keep };

// A decoding counts each character in one word of 10-bit fields, added up now and
// then: one field for each kind before Bad, then one for the letter-trailed
// characters (TableCounts::letterTrails). A character's increment of that word is in
// its mapping.
constexpr int kFieldBits = 10;
constexpr std::size_t kPackedKinds = static_cast<std::size_t>(CharKind::Bad);
constexpr std::uint64_t FieldOne(std::size_t field) {
  return std::uint64_t{1} << (kFieldBits * field);
}
// The fields are added up once a decoding has gone this many bytes past where they
// were last added up, at the end of the character it is in: every character is a
// byte at least, so a field counts at most kFlushSpan + 1 characters, and never
// carries into the next.
constexpr std::size_t kFlushSpan = (std::size_t{1} << kFieldBits) - 2;

// The stretch of bytes whose control bytes a decoding that keeps bad bytes counts at
// a time, ahead of the decoding (a multiple of the widest vector loop's 128 bytes;
// smaller stretches cost more in calls, larger ones gain nothing).
constexpr std::size_t kCheckAhead = 4096;

// The increment of the packed counts for a character of `kind`, letter-trailed or not.
constexpr std::uint64_t Counted(CharKind kind, bool letterTrail) {
  const auto k = static_cast<std::size_t>(kind);
  return (k < kPackedKinds ? FieldOne(k) : 0) + (letterTrail ? FieldOne(kPackedKinds) : 0);
}

// Adds the fields of `packed` to `kinds` and `letterTrails`; 0.
inline std::uint64_t AddPacked(std::uint64_t (&kinds)[kCharKinds], std::uint64_t& letterTrails,
                               std::uint64_t packed) {
  constexpr std::uint64_t kField = (std::uint64_t{1} << kFieldBits) - 1;
  for (std::size_t k = 0; k < kPackedKinds; ++k) kinds[k] += (packed >> (kFieldBits * k)) & kField;
  letterTrails += (packed >> (kFieldBits * kPackedKinds)) & kField;
  return 0;
}

inline bool IsAsciiLetter(unsigned char b) { return ((b | 0x20) >= 'a' && (b | 0x20) <= 'z'); }

// The ICU converter of each encoding that is decoded.
const char* IcuName(TextEncoding encoding) {
  switch (encoding) {
    case TextEncoding::Utf8:
      return "UTF-8";
    case TextEncoding::Cp932:
      return "windows-31j";
    case TextEncoding::EucJp:
      return "EUC-JP";
    case TextEncoding::Iso2022Jp:
      return "ISO-2022-JP";
    case TextEncoding::Utf16Le:
      return "UTF-16LE";
    case TextEncoding::Utf16Be:
      return "UTF-16BE";
    case TextEncoding::Auto:
    case TextEncoding::Bytes:
      break;
  }
  return nullptr;
}

struct ConverterCloser {
  void operator()(UConverter* converter) const { ucnv_close(converter); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

// The pivot of a streaming conversion, in UTF-16 units.
constexpr std::size_t kPivotSize = 1024;

Converter OpenConverter(const char* name) {
  UErrorCode error = U_ZERO_ERROR;
  Converter converter(ucnv_open(name, &error));
  if (U_FAILURE(error)) return nullptr;
  return converter;
}

// Writes U+FFFD for each ill-formed or unmapped sequence (ICU's own substitute is
// U+001A for some, which the scanner would count as a control byte).
extern "C" void WriteReplacementCharacter(const void*, UConverterToUnicodeArgs* arguments,
                                          const char*, int32_t, UConverterCallbackReason reason,
                                          UErrorCode* error) {
  if (reason > UCNV_IRREGULAR) return;  // reset, close, clone: nothing to write
  static const UChar kReplacement = 0xFFFD;
  *error = U_ZERO_ERROR;
  ucnv_cbToUWriteUChars(arguments, &kReplacement, 1, 0, error);
}

// An ISO-2022-JP reading decided automatically keeps each byte ICU cannot read as
// that very byte. ISO-2022-JP as ICU reads it has no character beyond the BMP, so
// its text holds no surrogate: the bytes are passed on as lone surrogates, 0xDC00
// plus the byte, or 0xD800 plus the byte for those of a character (or an escape
// sequence) that the end of the file cuts short, which are no damage.
constexpr UChar kBadByteMark = 0xDC00;
constexpr UChar kCutByteMark = 0xD800;

extern "C" void MarkBadBytes(const void*, UConverterToUnicodeArgs* arguments, const char* bytes,
                             int32_t length, UConverterCallbackReason reason, UErrorCode* error) {
  if (reason > UCNV_IRREGULAR) return;  // reset, close, clone: nothing to write
  if (reason == UCNV_IRREGULAR) {
    // A designation right after another, the segment between them empty: ICU
    // reports it, but it designates as any other, and nothing of the text is amiss.
    *error = U_ZERO_ERROR;
    return;
  }
  const UChar mark = *error == U_TRUNCATED_CHAR_FOUND ? kCutByteMark : kBadByteMark;
  *error = U_ZERO_ERROR;
  UChar marks[8];
  for (int32_t at = 0; at < length && U_SUCCESS(*error);) {
    const int32_t count = std::min<int32_t>(length - at, 8);
    for (int32_t k = 0; k < count; ++k) {
      marks[k] = static_cast<UChar>(mark | static_cast<unsigned char>(bytes[at + k]));
    }
    ucnv_cbToUWriteUChars(arguments, marks, count, 0, error);
    at += count;
  }
}

}  // namespace

// A stateless multi-byte encoding (CP932, EUC-JP) as a tree of byte tables taken
// from its ICU converter once: every byte sequence that ICU maps, with its UTF-8 and
// its kind. Decoding through the tables gives ICU's own result for a well-formed
// file, at table speed, and stops at the first sequence that ICU would refuse.
class ByteTables {
 public:
  struct Mapping {
    std::uint8_t utf8[4] = {};
    std::uint8_t length = 0;   // bytes of utf8; 0: a lead byte, or a sequence that is
                               // ill-formed or unmapped
    bool lead = false;         // a lead byte: `next` is the table of the byte after it
    bool letterTrail = false;  // two bytes, the second an ASCII letter
    // A character's increment of the packed counts (Counted), or a lead byte's table
    // of the byte after it: one word for either keeps a mapping at 16 bytes, so the
    // tables of an encoding stay in the nearest cache, and a character is counted by
    // one add.
    union {
      std::uint64_t counted = 0;
      const Mapping* next;
    };
  };
  using Table = std::array<Mapping, 256>;

  explicit ByteTables(TextEncoding encoding) {
    Converter converter = OpenConverter(IcuName(encoding));
    if (!converter) return;
    UErrorCode error = U_ZERO_ERROR;
    ucnv_setToUCallBack(converter.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                        &error);
    if (U_FAILURE(error)) return;
    tables_.push_back(std::make_unique<Table>());
    unsigned char sequence[4];
    Fill(converter.get(), *tables_[0], sequence, 0);
    // Bytes below 0x80 are ASCII as they stand, as Windows reads them: ICU's table
    // swaps three control codes (1A, 1C, 7F) the IBM way, and a DOS end-of-file 1A
    // must stay what the scanner counts as a control byte.
    for (unsigned b = 0; b < 0x80; ++b) {
      Mapping& m = (*tables_[0])[b];
      if (m.lead) tables_.clear();  // not a stateless ASCII-based encoding
      if (tables_.empty()) return;
      m = Mapping{{static_cast<std::uint8_t>(b)}, 1, false, false, 0};
    }
  }

  bool usable() const { return !tables_.empty(); }

  using Counts = TableCounts;
  struct Step {
    std::size_t read = 0;     // input bytes decoded
    std::size_t written = 0;  // UTF-8 bytes written
    bool ok = true;           // false: the reading is ruled out (Keep only)
  };
  static Step Failed() {
    Step step;
    step.ok = false;
    return step;
  }

  // Decodes [in, in + size) as a piece of a longer input: unless `last`, a sequence
  // that the piece's end cuts short is left unread, for the caller to hand over again
  // with the bytes after it. A bad byte becomes U+FFFD (Replace) or stays as it is and
  // is counted (Keep, which also ends the decoding as StreamDecoder::StartChecked
  // says).
  template <bool Write, BadBytes Bad>
  Step Run(const unsigned char* in, std::size_t size, bool last, unsigned char* out,
           Counts& counts) const {
    constexpr bool kKeep = Bad == BadBytes::Keep;
    // Only a reading that writes nothing looks at the context of characters (after
    // which ASCII byte each comes): the decoding for the scan is kept to what each
    // character needs, and its counts say how much the context could matter
    // (letterTrails), so that it is read when it does (search/TextDecision.h).
    constexpr bool kContext = !Write;
    const Mapping* const root = tables_[0]->data();
    // The loop keeps to cursors (the next byte to read, the next to write) so that
    // what it carries fits in registers; `o` moves only when the decoding writes.
    const unsigned char* s = in;
    const unsigned char* const end = in + size;
    unsigned char* o = out;
    std::size_t controls = counts.controls;
    std::uint64_t kinds[kCharKinds];
    std::memcpy(kinds, counts.kinds, sizeof kinds);
    // The kinds before Bad, and the letter-trailed characters, are counted in the
    // 10-bit fields of one word, added to `kinds` once the decoding gets to `flushAt`.
    std::uint64_t packed = 0;
    const unsigned char* flushAt = in + std::min(size, kFlushSpan);
    std::uint64_t asciiRun = counts.asciiRun;
    unsigned char lastByte = counts.lastByte;
    std::uint64_t letterTrails = counts.letterTrails;
    // NULs and counted control bytes are ASCII, as they stand in the text, wherever
    // they are: the bytes of a multi-byte character are 0x40 and above, and a piece's
    // end cuts short only bytes from 0x80 on. So the decoding's loops copy ASCII
    // without looking at it, and they are counted apart, with the widest vectors the
    // processor has: kCheckAhead bytes at a time, just ahead of the decoding (where
    // the packed counts are added up), so that the decoding finds them in the nearest
    // cache; and whatever is left at the end.
    std::size_t checked = 0;  // the bytes before in + checked are counted
    const auto checkAhead = [&](std::size_t from) {
      const std::size_t to = std::min(size, std::max(checked, from) + kCheckAhead);
      const bool text = StillCountsAsText(in + checked, to - checked, controls);
      checked = to;
      return text;
    };
    if (kKeep && !checkAhead(0)) return Failed();
    bool cut = false;  // the piece ends inside a character
    for (;;) {
      const unsigned char* const asciiFrom = s;
      // A run of ASCII goes over as it stands, sixteen bytes at a time.
#if defined(__SSE2__)
      while (end - s >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        if constexpr (Write) _mm_storeu_si128(reinterpret_cast<__m128i*>(o), v);
        const auto high = static_cast<unsigned>(_mm_movemask_epi8(v));
        const std::size_t ascii = high == 0 ? 16 : static_cast<std::size_t>(std::countr_zero(high));
        s += ascii;
        if constexpr (Write) o += ascii;
        if (high != 0) break;
      }
#endif
      for (; s < end && *s < 0x80; ++s) {
        if constexpr (Write) *o++ = *s;
      }
      if (kContext && s != asciiFrom) {
        asciiRun += static_cast<std::uint64_t>(s - asciiFrom);
        lastByte = s[-1];
      }
      if (s == end) break;
      // Then a run of other characters, each looked up byte by byte.
      do {
        const Mapping* m = &root[*s];
        std::size_t used = 1;
        while (m->lead && s + used < end) {
          m = &m->next[s[used]];
          ++used;
        }
        // A bad sequence, or the input ending inside a character: the end of a piece
        // leaves it for the next, the end of the file makes it bad.
        if (m->length == 0) {
          if (m->lead && !last) {
            cut = true;
            break;
          }
          if constexpr (kKeep) {
            // A character the end of the file cuts short keeps all its bytes and is
            // no damage; a bad byte elsewhere stays as it is, one at a time.
            if (!m->lead) {
              used = 1;
              packed = AddPacked(kinds, letterTrails, packed);
              const std::uint64_t bad = ++kinds[static_cast<std::size_t>(CharKind::Bad)];
              if (bad >= 16 &&
                  bad * 4 > kinds[static_cast<std::size_t>(CharKind::Kana)] +
                                kinds[static_cast<std::size_t>(CharKind::Kanji)] +
                                kinds[static_cast<std::size_t>(CharKind::HalfWidthKana)]) {
                return Failed();
              }
            }
            if constexpr (Write) {
              // One byte, or two that the end of the file cuts short (see RunPiece),
              // copied as such rather than by a call to memcpy.
              o[0] = s[0];
              if (used > 1) o[1] = s[1];
              o += used;
            }
            s += used;
            if constexpr (kContext) asciiRun = 0;
            continue;
          } else {
            ++kinds[static_cast<std::size_t>(CharKind::Bad)];
            m = &kReplacement;
            used = 1;
          }
        }
        if (kContext && asciiRun != 0) {
          // The first character after ASCII.
          if (asciiRun == 1 && lastByte == ' ' && counts.nonAscii) ++counts.spaced;
          if (m->letterTrail && IsAsciiLetter(lastByte)) ++counts.inWord;
          asciiRun = 0;
          counts.nonAscii = true;
        }
        if constexpr (Write) {
          std::memcpy(o, m->utf8, sizeof m->utf8);
          o += m->length;
        }
        packed += m->counted;
        s += used;
      } while (s < flushAt && *s >= 0x80);
      if (cut) break;
      if (s >= flushAt) {
        packed = AddPacked(kinds, letterTrails, packed);
        flushAt = s + std::min(static_cast<std::size_t>(end - s), kFlushSpan);
        // The counting of control bytes stays at least half a stretch ahead.
        const auto at = static_cast<std::size_t>(s - in);
        if (kKeep && checked < std::min(size, at + kCheckAhead / 2) && !checkAhead(at)) {
          return Failed();
        }
      }
    }
    if (kKeep && !StillCountsAsText(in + checked, size - checked, controls)) return Failed();
    packed = AddPacked(kinds, letterTrails, packed);
    // A user-defined character rules the reading out.
    if (kKeep && kinds[static_cast<std::size_t>(CharKind::UserDefined)] != 0) return Failed();
    counts.controls = controls;
    std::memcpy(counts.kinds, kinds, sizeof kinds);
    if constexpr (kContext) {
      counts.asciiRun = asciiRun;
      counts.lastByte = lastByte;
    }
    counts.letterTrails = letterTrails;
    Step step;
    step.read = static_cast<std::size_t>(s - in);
    step.written = static_cast<std::size_t>(o - out);
    return step;
  }

 private:
  // Fills `table` for the sequences that begin with sequence[0, depth).
  void Fill(UConverter* converter, Table& table, unsigned char* sequence, int depth) {
    for (unsigned b = 0; b < 256; ++b) {
      sequence[depth] = static_cast<unsigned char>(b);
      UChar units[8];
      UErrorCode error = U_ZERO_ERROR;
      const int32_t count = ucnv_toUChars(
          converter, units, 8, reinterpret_cast<const char*>(sequence), depth + 1, &error);
      Mapping& m = table[b];
      if (error == U_TRUNCATED_CHAR_FOUND && depth < 2) {
        // A lead byte: the table of the bytes after it.
        tables_.push_back(std::make_unique<Table>());
        Table& next = *tables_.back();
        m.lead = true;
        m.next = next.data();
        Fill(converter, next, sequence, depth + 1);
        continue;
      }
      if (U_FAILURE(error) || count <= 0) continue;
      UChar32 c;
      int32_t at = 0;
      U16_NEXT(units, at, count, c);
      if (at != count) continue;  // more than one character: not seen in these encodings
      // ICU passes some bytes of EUC-JP through as C1 control codes, which no Japanese
      // text holds; a reading that needs them is no reading.
      if (c >= 0x80 && c <= 0x9F) continue;
      int32_t length = 0;
      UBool failed = false;
      U8_APPEND(m.utf8, length, static_cast<int32_t>(sizeof m.utf8), c, failed);
      if (failed) continue;
      m.length = static_cast<std::uint8_t>(length);
      m.letterTrail = depth == 1 && IsAsciiLetter(static_cast<unsigned char>(b));
      m.counted = Counted(KindOf(c), m.letterTrail);
    }
  }

  static constexpr Mapping kReplacement{
      {0xEF, 0xBF, 0xBD}, 3, false, false, Counted(CharKind::Other, false)};

  std::vector<std::unique_ptr<Table>> tables_;
};

namespace {

// The tables of CP932 and EUC-JP, built on first use and shared by all threads.
const ByteTables& TablesFor(TextEncoding encoding) {
  if (encoding == TextEncoding::EucJp) {
    static const ByteTables eucJp(TextEncoding::EucJp);
    return eucJp;
  }
  static const ByteTables cp932(TextEncoding::Cp932);
  return cp932;
}

// Decodes the next piece of a longer input through `tables`, first completing the
// character `held` from the piece before, then holding the one this piece's end
// cuts short (at most two bytes: the tables' sequences are three at most).
template <bool Write, BadBytes Bad>
ByteTables::Step RunPiece(const ByteTables& tables, HeldBytes& held, TableCounts& counts,
                          const unsigned char* in, std::size_t size, unsigned char* out) {
  ByteTables::Step step;
  std::size_t skip = 0;
  if (held.size != 0) {
    // The held bytes and the piece's first few, enough to end the held character
    // (with a whole piece after it) or the whole piece (when it is that short).
    // (Sixteen bytes, as the decoder reads by vectors where it has that many.)
    unsigned char joined[16] = {};
    const std::size_t taken = std::min<std::size_t>(size, 4);
    std::memcpy(joined, held.bytes, held.size);
    std::memcpy(joined + held.size, in, taken);
    const std::size_t joinedSize = held.size + taken;
    const ByteTables::Step first = tables.Run<Write, Bad>(joined, joinedSize, false, out, counts);
    if (!first.ok) return first;
    step.written = first.written;
    if (taken == size) {
      held.size = joinedSize - first.read;
      std::memmove(held.bytes, joined + first.read, held.size);
      step.read = size;
      return step;
    }
    // The held character ended inside `joined`, which the piece goes on beyond.
    skip = first.read - held.size;
    held.size = 0;
  }
  const ByteTables::Step rest = tables.Run<Write, Bad>(
      in + skip, size - skip, false, Write ? out + step.written : nullptr, counts);
  if (!rest.ok) return rest;
  const std::size_t read = skip + rest.read;
  held.size = size - read;
  std::memcpy(held.bytes, in + read, held.size);
  step.read = size;
  step.written += rest.written;
  return step;
}

}  // namespace

bool StillCountsAsText(const unsigned char* text, std::size_t size, std::size_t& controls) {
  std::size_t p = 0;
#if KOLBRIN_HAVE_AVX2_PATH
  if (ProcessorHasAvx2()) {
    // Blocks without a counted control byte are passed over with 32-byte vectors, four
    // at a time; a block with one is counted as the rest is.
    while ((p = avx2::SkipControlFreeBlocks(text, p, size)) + 128 <= size) {
      if (!CountControls(text, p, p + 128, controls)) return false;
      p += 128;
    }
  }
#endif
  return CountControls(text, p, size, controls);
}

bool TableReading::Start(TextEncoding encoding) {
  const ByteTables& tables = TablesFor(encoding);
  tables_ = tables.usable() ? &tables : nullptr;
  held_ = HeldBytes{};
  counts_ = TableCounts{};
  alive_ = tables_ != nullptr;
  return alive_;
}

bool TableReading::Feed(const unsigned char* data, std::size_t size) {
  if (alive_) {
    alive_ = RunPiece<false, BadBytes::Keep>(*tables_, held_, counts_, data, size, nullptr).ok;
  }
  return alive_;
}

bool TableReading::Finish() {
  if (alive_ && held_.size != 0) {
    alive_ =
        tables_->Run<false, BadBytes::Keep>(held_.bytes, held_.size, true, nullptr, counts_).ok;
  }
  held_.size = 0;
  return alive_;
}

struct StreamDecoder::Icu {
  TextEncoding from = TextEncoding::Bytes;  // that `source` converts from
  Converter source;
  Converter target = OpenConverter("UTF-8");
  UChar pivot[kPivotSize];
  UChar* pivotSource = pivot;
  UChar* pivotTarget = pivot;
};

StreamDecoder::StreamDecoder() = default;
StreamDecoder::~StreamDecoder() = default;

bool StreamDecoder::Start(TextEncoding from) { return StartAs(from, false); }

bool StreamDecoder::StartChecked(TextEncoding from) { return StartAs(from, true); }

bool StreamDecoder::StartAs(TextEncoding from, bool strict) {
  from_ = from;
  tables_ = nullptr;
  keeping_ = strict && from == TextEncoding::Iso2022Jp;
  held_ = HeldBytes{};
  counts_ = TableCounts{};
  failed_ = false;
  strict_ = strict;
  if (from == TextEncoding::Cp932 || from == TextEncoding::EucJp) {
    const ByteTables& tables = TablesFor(from);
    if (tables.usable()) tables_ = &tables;
    failed_ = tables_ == nullptr;
    return !failed_;
  }
  return StartIcu(from, strict);
}

bool StreamDecoder::StartIcu(TextEncoding from, bool strict) {
  failed_ = true;
  const char* name = IcuName(from);
  if (name == nullptr) return false;
  if (!icu_) icu_ = std::make_unique<Icu>();
  if (!icu_->target) return false;
  if (!icu_->source || icu_->from != from) {
    icu_->source = OpenConverter(name);
    icu_->from = from;
    if (!icu_->source) return false;
  }
  ucnv_resetToUnicode(icu_->source.get());
  ucnv_resetFromUnicode(icu_->target.get());
  UErrorCode error = U_ZERO_ERROR;
  if (keeping_) {
    ucnv_setToUCallBack(icu_->source.get(), MarkBadBytes, nullptr, nullptr, nullptr, &error);
  } else if (strict) {
    ucnv_setToUCallBack(icu_->source.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                        &error);
    // A lone UTF-16 surrogate passes the decoding and fails only as UTF-8.
    ucnv_setFromUCallBack(icu_->target.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                          &error);
  } else {
    ucnv_setToUCallBack(icu_->source.get(), WriteReplacementCharacter, nullptr, nullptr, nullptr,
                        &error);
    ucnv_setFromUCallBack(icu_->target.get(), UCNV_FROM_U_CALLBACK_SUBSTITUTE, nullptr, nullptr,
                          nullptr, &error);
  }
  if (U_FAILURE(error)) return false;
  icu_->pivotSource = icu_->pivotTarget = icu_->pivot;
  failed_ = false;
  return true;
}

std::size_t StreamDecoder::ConvertIcu(const unsigned char* in, std::size_t size, unsigned char* out,
                                      bool flush) {
  if (failed_ || (size == 0 && !flush)) return 0;
  // The converters and the pivot between them keep a character split between pieces
  // (and ISO-2022-JP's shift state) from call to call, as ucnv_convertEx allows
  // when it is given the same pivot with neither reset nor flush.
  char* written = reinterpret_cast<char*>(out);
  const char* read = reinterpret_cast<const char*>(in);
  UErrorCode error = U_ZERO_ERROR;
  ucnv_convertEx(icu_->target.get(), icu_->source.get(), &written, written + MaxOutput(size), &read,
                 read + size, icu_->pivot, &icu_->pivotSource, &icu_->pivotTarget,
                 icu_->pivot + kPivotSize, /*reset=*/false, flush, &error);
  if (U_FAILURE(error)) failed_ = true;
  return static_cast<std::size_t>(written - reinterpret_cast<char*>(out));
}

std::size_t StreamDecoder::ConvertKeeping(const unsigned char* in, std::size_t size,
                                          unsigned char* out, bool flush) {
  if (failed_ || (size == 0 && !flush)) return 0;
  // ICU reads the piece into the pivot, as much as it holds at a time, and each of
  // its characters goes to UTF-8 here, counted; a character or an escape sequence
  // split between pieces is kept in the converter until the next piece.
  const char* read = reinterpret_cast<const char*>(in);
  const char* const end = read + size;
  std::size_t length = 0;
  std::uint64_t* const kinds = counts_.kinds;
  constexpr auto kBad = static_cast<std::size_t>(CharKind::Bad);
  for (;;) {
    UChar* pivotEnd = icu_->pivot;
    UErrorCode error = U_ZERO_ERROR;
    ucnv_toUnicode(icu_->source.get(), &pivotEnd, icu_->pivot + kPivotSize, &read, end, nullptr,
                   flush, &error);
    if (U_FAILURE(error) && error != U_BUFFER_OVERFLOW_ERROR) {
      failed_ = true;
      return 0;
    }
    for (const UChar* unit = icu_->pivot; unit != pivotEnd; ++unit) {
      const UChar c = *unit;
      if (c < 0x80 || U16_IS_SURROGATE(c)) {
        // ASCII, or a byte ICU cannot read, kept as it stands.
        const auto b = static_cast<unsigned char>(c);
        out[length++] = b;
        if (b < 0x20 && TooManyControls(b, counts_.controls)) {
          failed_ = true;
          return 0;
        }
        if ((c & 0xFF00) == kBadByteMark && ++kinds[kBad] >= 16 &&
            kinds[kBad] * 4 > kinds[static_cast<std::size_t>(CharKind::Kana)] +
                                  kinds[static_cast<std::size_t>(CharKind::Kanji)] +
                                  kinds[static_cast<std::size_t>(CharKind::HalfWidthKana)]) {
          failed_ = true;
          return 0;
        }
        continue;
      }
      ++kinds[static_cast<std::size_t>(KindOf(c))];
      if (c < 0x800) {
        out[length++] = static_cast<unsigned char>(0xC0 | (c >> 6));
      } else {
        out[length++] = static_cast<unsigned char>(0xE0 | (c >> 12));
        out[length++] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      }
      out[length++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    }
    if (error != U_BUFFER_OVERFLOW_ERROR) return length;
  }
}

std::size_t StreamDecoder::Decode(const unsigned char* in, std::size_t size, unsigned char* out) {
  if (tables_ != nullptr) {
    if (!strict_) {
      return RunPiece<true, BadBytes::Replace>(*tables_, held_, counts_, in, size, out).written;
    }
    if (failed_) return 0;
    const ByteTables::Step step =
        RunPiece<true, BadBytes::Keep>(*tables_, held_, counts_, in, size, out);
    failed_ = !step.ok;
    return step.ok ? step.written : 0;
  }
  if (keeping_) return ConvertKeeping(in, size, out, false);
  return ConvertIcu(in, size, out, false);
}

std::size_t StreamDecoder::Finish(unsigned char* out) {
  if (tables_ != nullptr) {
    const std::size_t held = held_.size;
    held_.size = 0;
    if (held == 0 || failed_) return 0;
    if (!strict_) {
      return tables_->Run<true, BadBytes::Replace>(held_.bytes, held, true, out, counts_).written;
    }
    const ByteTables::Step step =
        tables_->Run<true, BadBytes::Keep>(held_.bytes, held, true, out, counts_);
    failed_ = !step.ok;
    return step.ok ? step.written : 0;
  }
  static const unsigned char kNothing = 0;  // ICU takes no null source, even an empty one
  if (keeping_) return ConvertKeeping(&kNothing, 0, out, true);
  return ConvertIcu(&kNothing, 0, out, true);
}

}  // namespace kolbrin
