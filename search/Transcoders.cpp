// The transcoders FileText decodes with; see search/Transcoders.h.
#include "search/Transcoders.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "search/Scanner.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kolbrin {
namespace {

// Whether a byte below 0x20 ends a decoding: a NUL, or a counted control byte beyond
// the tenth. Called for each such byte, which is rare in text but for TAB, LF and CR.
inline bool TooManyControls(unsigned char b, std::size_t& controls) {
  return b == 0 ||
         (IsCountedControl(b) && ++controls > static_cast<std::size_t>(kToleratedControls));
}

#if defined(__SSE2__)
// The lanes of `v` below 0x20, as a bit mask.
inline unsigned LowByteMask(__m128i v) {
  return static_cast<unsigned>(
      _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v)));
}
#endif

// How much a character counts toward a reading looking like Japanese text.
std::int8_t JapaneseScore(UChar32 c) {
  if (c >= 0x3041 && c <= 0x30FF) return 4;                            // kana
  if ((c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF) ||  // CJK ideographs
      (c >= 0xF900 && c <= 0xFAFF) || (c >= 0x3000 && c <= 0x303F) ||  // ... and punctuation
      (c >= 0xFF01 && c <= 0xFF5E)) {                                  // full-width forms
    return 2;
  }
  if (c >= 0xFF61 && c <= 0xFF9F) return 1;  // half-width katakana
  return 0;
}

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

std::optional<std::size_t> ConvertThroughIcu(TextEncoding encoding, const unsigned char* in,
                                             std::size_t size, bool strict, unsigned char* out,
                                             std::size_t room) {
  Converter source = OpenConverter(IcuName(encoding));
  Converter target = OpenConverter("UTF-8");
  if (!source || !target) return std::nullopt;
  UErrorCode error = U_ZERO_ERROR;
  if (strict) {
    ucnv_setToUCallBack(source.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &error);
    // A lone UTF-16 surrogate passes the decoding and fails only as UTF-8.
    ucnv_setFromUCallBack(target.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                          &error);
  } else {
    ucnv_setToUCallBack(source.get(), WriteReplacementCharacter, nullptr, nullptr, nullptr, &error);
  }
  if (U_FAILURE(error)) return std::nullopt;
  char* written = reinterpret_cast<char*>(out);
  const char* read = reinterpret_cast<const char*>(in);
  ucnv_convertEx(target.get(), source.get(), &written, written + room, &read, read + size, nullptr,
                 nullptr, nullptr, nullptr, /*reset=*/true, /*flush=*/true, &error);
  if (U_FAILURE(error)) return std::nullopt;
  return static_cast<std::size_t>(written - reinterpret_cast<char*>(out));
}

// A stateless multi-byte encoding (CP932, EUC-JP) as a tree of byte tables taken
// from its ICU converter once: every byte sequence that ICU maps, with its UTF-8 and
// its score. Decoding through the tables gives ICU's own result for a well-formed
// file, at table speed, and stops at the first sequence that ICU would refuse.
class ByteTables {
 public:
  struct Mapping {
    std::uint8_t utf8[4] = {};
    std::uint8_t length = 0;  // bytes of utf8; 0: the sequence is ill-formed or unmapped
    std::int8_t score = 0;
    const Mapping* next = nullptr;  // for a lead byte: the table of the byte after it
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
      if (m.next != nullptr) tables_.clear();  // not a stateless ASCII-based encoding
      if (tables_.empty()) return;
      m = Mapping{{static_cast<std::uint8_t>(b)}, 1, 0, nullptr};
    }
  }

  bool usable() const { return !tables_.empty(); }

  using Outcome = TableDecoding;

  // Decodes [in, in + size), writing the UTF-8 to `out` when it is not null (it needs
  // room for three bytes per input byte, plus 16).
  Outcome Decode(const unsigned char* in, std::size_t size, unsigned char* out) const {
    return out != nullptr ? Run<true, false>(in, size, out) : Run<false, false>(in, size, nullptr);
  }

  // Decodes the whole of [in, in + size) into `out`, each byte that starts no mapped
  // sequence becoming U+FFFD; control bytes are let through.
  std::size_t DecodeReplacing(const unsigned char* in, std::size_t size, unsigned char* out) const {
    return Run<true, true>(in, size, out).length;
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
      m.score = JapaneseScore(c);
    }
  }

  // A well-formed reading also needs to count as text: no NUL, at most ten counted
  // control bytes. Those are single bytes below 0x20, so they are counted on the way.
  template <bool Write, bool Replace>
  Outcome Run(const unsigned char* in, std::size_t size, unsigned char* out) const {
    Outcome outcome;
    const Mapping* const root = tables_[0]->data();
    std::size_t p = 0;
    std::size_t length = 0;
    std::size_t controls = 0;
    std::int64_t score = 0;
    for (;;) {
      // A run of ASCII goes over as it stands, sixteen bytes at a time.
#if defined(__SSE2__)
      while (size - p >= 16) {
        // The decoder is the first to read a mapped file: asking for the bytes two
        // pages ahead keeps it from waiting for each page in turn.
        _mm_prefetch(reinterpret_cast<const char*>(in + p + 8192), _MM_HINT_T0);
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + p));
        if constexpr (Write) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + length), v);
        const auto high = static_cast<unsigned>(_mm_movemask_epi8(v));
        const std::size_t ascii = high == 0 ? 16 : static_cast<std::size_t>(std::countr_zero(high));
        for (unsigned low = Replace ? 0 : LowByteMask(v) & ((1u << ascii) - 1); low != 0;
             low &= low - 1) {
          if (TooManyControls(in[p + static_cast<std::size_t>(std::countr_zero(low))], controls)) {
            return outcome;
          }
        }
        p += ascii;
        length += ascii;
        if (high != 0) break;
      }
#endif
      for (; p < size && in[p] < 0x80; ++p, ++length) {
        if (!Replace && in[p] < 0x20 && TooManyControls(in[p], controls)) return outcome;
        if constexpr (Write) out[length] = in[p];
      }
      if (p == size) break;
      // Then a run of other characters, each looked up byte by byte.
      do {
        const Mapping* m = &root[in[p]];
        std::size_t used = 1;
        while (m->next != nullptr && p + used < size) {
          m = &m->next[in[p + used]];
          ++used;
        }
        // A bad sequence, or the file ending inside a character.
        if (m->next != nullptr || m->length == 0) {
          if constexpr (!Replace) return outcome;
          m = &kReplacement;
          used = 1;
        }
        if constexpr (Write) std::memcpy(out + length, m->utf8, sizeof m->utf8);
        length += m->length;
        score += m->score;
        p += used;
      } while (p < size && in[p] >= 0x80);
    }
    outcome.clean = true;
    outcome.length = length;
    outcome.score = score;
    return outcome;
  }

  static constexpr Mapping kReplacement{{0xEF, 0xBF, 0xBD}, 3, 0, nullptr};

  std::vector<std::unique_ptr<Table>> tables_;
};

// The tables of CP932 and EUC-JP, built on first use and shared by all threads.
const ByteTables& TablesFor(TextEncoding encoding) {
  if (encoding == TextEncoding::EucJp) {
    static const ByteTables eucJp(TextEncoding::EucJp);
    return eucJp;
  }
  static const ByteTables cp932(TextEncoding::Cp932);
  return cp932;
}

}  // namespace

// Whether `text` would stay text for the scanner: no NUL byte, at most ten counted
// control bytes.
bool CountsAsText(const unsigned char* text, std::size_t size) {
  std::size_t controls = 0;
  std::size_t p = 0;
#if defined(__SSE2__)
  for (; size - p >= 16; p += 16) {
    for (unsigned low = LowByteMask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text + p)));
         low != 0; low &= low - 1) {
      if (TooManyControls(text[p + static_cast<std::size_t>(std::countr_zero(low))], controls)) {
        return false;
      }
    }
  }
#endif
  for (; p < size; ++p) {
    if (text[p] < 0x20 && TooManyControls(text[p], controls)) return false;
  }
  return true;
}

std::optional<std::size_t> ConvertWithIcu(TextEncoding encoding, const unsigned char* in,
                                          std::size_t size, bool strict, unsigned char* out,
                                          std::size_t room) {
  return ConvertThroughIcu(encoding, in, size, strict, out, room);
}

bool HasByteTables(TextEncoding encoding) { return TablesFor(encoding).usable(); }

TableDecoding DecodeByTables(TextEncoding encoding, const unsigned char* in, std::size_t size,
                             unsigned char* out) {
  return TablesFor(encoding).Decode(in, size, out);
}

std::size_t DecodeByTablesReplacing(TextEncoding encoding, const unsigned char* in,
                                    std::size_t size, unsigned char* out) {
  return TablesFor(encoding).DecodeReplacing(in, size, out);
}

}  // namespace kolbrin
