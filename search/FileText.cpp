#include "search/FileText.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "search/Scanner.h"
#include "search/Utf8Check.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kolbrin {
namespace {

// The check runs this far ahead of the scan: far enough that it is called seldom,
// near enough that the scan finds the bytes still in the cache.
constexpr std::size_t kCheckAhead = std::size_t{256} << 10;

// A decoding buffer larger than this is given back when it is not in use.
constexpr std::size_t kKeptBuffer = std::size_t{64} << 20;

// From this size of expected text on, the buffer's pages are filled on another
// processor while the text is written.
constexpr std::size_t kBackgroundFillSize = std::size_t{8} << 20;

class BackgroundFill {
 public:
  BackgroundFill(platform::PageBuffer& buffer, std::size_t expected) : buffer_(buffer) {
    if (expected >= kBackgroundFillSize) buffer_.FillInBackground(expected);
  }
  ~BackgroundFill() { buffer_.StopFilling(); }
  BackgroundFill(const BackgroundFill&) = delete;
  BackgroundFill& operator=(const BackgroundFill&) = delete;

 private:
  platform::PageBuffer& buffer_;
};

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

// Transcodes [in, in + size) from `encoding` to UTF-8 through ICU into `out`, which
// has room for `room` bytes. Strict: the whole input must be well-formed and mapped;
// otherwise each bad sequence becomes U+FFFD. Returns the UTF-8 length, or nothing.
std::optional<std::size_t> ConvertWithIcu(TextEncoding encoding, const unsigned char* in,
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

  struct Outcome {
    bool clean = false;
    std::size_t length = 0;  // of the UTF-8
    std::int64_t score = 0;
  };

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

// An ISO-2022-JP designation: ESC $ @, ESC $ B, ESC $ ( D, ESC ( B, ESC ( J, ESC ( I.
bool HasIso2022Designation(const unsigned char* data, std::size_t size) {
  for (const unsigned char* p = data;
       (p = static_cast<const unsigned char*>(std::memchr(p, 0x1B, size - (p - data)))) != nullptr;
       ++p) {
    const std::size_t rest = size - static_cast<std::size_t>(p - data);
    if (rest >= 3 && p[1] == '$' && (p[2] == '@' || p[2] == 'B')) return true;
    if (rest >= 3 && p[1] == '(' && (p[2] == 'B' || p[2] == 'J' || p[2] == 'I')) return true;
    if (rest >= 4 && p[1] == '$' && p[2] == '(' && p[3] == 'D') return true;
  }
  return false;
}

// Whether a file that is not well-formed UTF-8 is UTF-8 all the same, damaged: at
// most one ill-formed sequence for every 4 well-formed characters beyond ASCII (a
// UTF-8 file cut inside a character, or with a stray byte). Read as CP932, such a
// file would often decode cleanly, into nonsense. Text in another encoding shows
// itself within its first few characters, so the count stops early for it.
bool IsDamagedUtf8(const unsigned char* data, std::size_t size) {
  // The most common damage, told at vector speed: well-formed up to a last
  // character that the file's end cuts short.
  for (std::size_t k = 1; k <= 3 && k <= size; ++k) {
    const unsigned char b = data[size - k];
    if (b < 0x80) break;
    if (b >= 0xC0) {
      if (!CheckUtf8(data, 0, size - k, size).invalid) return true;
      break;
    }
  }
  constexpr std::uint64_t kHighBits = 0x8080808080808080u;
  std::size_t wellFormed = 0;
  std::size_t illFormed = 0;
  for (std::size_t p = 0; p < size;) {
    std::uint64_t word;
    if (size - p >= 8 && (std::memcpy(&word, data + p, 8), (word & kHighBits) == 0)) {
      p += 8;
      continue;
    }
    if (data[p] < 0x80) {
      ++p;
      continue;
    }
    UChar32 c;
    std::int32_t length = 0;
    const auto available = static_cast<std::int32_t>(std::min<std::size_t>(size - p, 4));
    U8_NEXT(data + p, length, available, c);
    p += static_cast<std::size_t>(length);
    if (c >= 0) {
      ++wellFormed;
    } else if (++illFormed >= 16 && illFormed * 4 > wellFormed) {
      return false;
    }
  }
  return illFormed * 4 <= wellFormed;
}

enum class ByteOrderMark { None, Utf16Le, Utf16Be };

ByteOrderMark FindByteOrderMark(const unsigned char* data, std::size_t size) {
  if (size >= 2 && data[0] == 0xFF && data[1] == 0xFE) return ByteOrderMark::Utf16Le;
  if (size >= 2 && data[0] == 0xFE && data[1] == 0xFF) return ByteOrderMark::Utf16Be;
  return ByteOrderMark::None;
}

// The room a transcoding to UTF-8 may need: three bytes for each input byte at most
// (a half-width katakana, or a bad byte become U+FFFD), and room for whole-vector
// stores past the end.
std::size_t RoomFor(std::size_t size) { return size > (SIZE_MAX - 64) / 3 ? 0 : 3 * size + 64; }

}  // namespace

FileText::FileText(TextEncoding mode) : mode_(mode) {}
FileText::~FileText() = default;

void FileText::Start(const unsigned char* bytes, std::size_t size) {
  raw_ = bytes;
  rawSize_ = size;
  text_ = bytes;
  textSize_ = size;
  decodedFrom_ = TextEncoding::Bytes;
  checkedTo_ = 0;
  nonAscii_ = false;
  settled_ = mode_ == TextEncoding::Bytes || size == 0;
  if (settled_) return;
  // A large decoded text is not held on for the next file.
  if (buffer_.capacity() > kKeptBuffer) buffer_.Release();
  if (mode_ != TextEncoding::Auto) {
    settled_ = true;
    DecideForced();
  } else if (FindByteOrderMark(bytes, size) != ByteOrderMark::None) {
    DecideWholeFile(false);
  }
}

bool FileText::Settle(std::size_t upTo) {
  if (settled_ || upTo <= checkedTo_) return false;
  const std::size_t to =
      std::min(rawSize_, std::max(upTo, checkedTo_ + std::min(kCheckAhead, rawSize_)));
  const Utf8Check check = CheckUtf8(raw_, checkedTo_, to, rawSize_);
  if (check.invalid) return DecideWholeFile(true);
  // ESC bytes matter only as ISO-2022-JP designations in a file that is 7-bit so
  // far; the escape sequences of a coloured log pass.
  // (A designation may run past the range: three bytes more are looked at. Deciding
  // the whole file early is never wrong, only slower.)
  if (check.escape && !nonAscii_ && !check.nonAscii &&
      HasIso2022Designation(raw_ + checkedTo_,
                            std::min(rawSize_, check.checkedTo + 3) - checkedTo_)) {
    return DecideWholeFile(false);
  }
  nonAscii_ = nonAscii_ || check.nonAscii;
  checkedTo_ = check.checkedTo;
  if (checkedTo_ >= rawSize_) settled_ = true;  // UTF-8 all through: the file as it stands
  return false;
}

bool FileText::DecideWholeFile(bool knownInvalidUtf8) {
  settled_ = true;
  const ByteOrderMark mark = FindByteOrderMark(raw_, rawSize_);
  if (mark != ByteOrderMark::None) {
    // The mark is not part of the text.
    const TextEncoding from =
        mark == ByteOrderMark::Utf16Le ? TextEncoding::Utf16Le : TextEncoding::Utf16Be;
    unsigned char* out = Reserve(RoomFor(rawSize_));
    if (out == nullptr) return KeepRaw();
    const BackgroundFill fill(buffer_, rawSize_);
    const std::optional<std::size_t> length =
        ConvertWithIcu(from, raw_ + 2, rawSize_ - 2, /*strict=*/true, out, buffer_.capacity());
    if (!length || !CountsAsText(out, *length)) return KeepRaw();
    return UseDecoded(from, *length);
  }

  Utf8Check whole;
  whole.invalid = knownInvalidUtf8;
  if (!knownInvalidUtf8) whole = CheckUtf8(raw_, 0, rawSize_, rawSize_);
  if (!whole.invalid) {
    if (whole.nonAscii || !whole.escape || !HasIso2022Designation(raw_, rawSize_) ||
        !CountsAsText(raw_, rawSize_)) {
      return KeepRaw();
    }
    unsigned char* out = Reserve(RoomFor(rawSize_));
    if (out == nullptr) return KeepRaw();
    const BackgroundFill fill(buffer_, rawSize_);
    const std::optional<std::size_t> length = ConvertWithIcu(
        TextEncoding::Iso2022Jp, raw_, rawSize_, /*strict=*/true, out, buffer_.capacity());
    if (!length) return KeepRaw();
    return UseDecoded(TextEncoding::Iso2022Jp, *length);
  }
  if (IsDamagedUtf8(raw_, rawSize_)) return KeepRaw();

  const ByteTables& cp932 = TablesFor(TextEncoding::Cp932);
  const ByteTables& eucJp = TablesFor(TextEncoding::EucJp);
  if (!cp932.usable() || !eucJp.usable()) return KeepRaw();
  unsigned char* out = Reserve(RoomFor(rawSize_));
  if (out == nullptr) return KeepRaw();
  const BackgroundFill fill(buffer_, rawSize_ + rawSize_ / 8);
  // CP932 first, written out, as it is the more common; EUC-JP is then only scored,
  // and a CP932 file usually shows it is no EUC-JP within its first kana.
  const ByteTables::Outcome asCp932 = cp932.Decode(raw_, rawSize_, out);
  if (asCp932.clean) {
    const ByteTables::Outcome asEucJp = eucJp.Decode(raw_, rawSize_, nullptr);
    if (!asEucJp.clean || asCp932.score >= asEucJp.score) {
      return UseDecoded(TextEncoding::Cp932, asCp932.length);
    }
    eucJp.Decode(raw_, rawSize_, out);
    return UseDecoded(TextEncoding::EucJp, asEucJp.length);
  }
  const ByteTables::Outcome asEucJp = eucJp.Decode(raw_, rawSize_, out);
  if (!asEucJp.clean) return KeepRaw();
  return UseDecoded(TextEncoding::EucJp, asEucJp.length);
}

bool FileText::DecideForced() {
  if (mode_ == TextEncoding::Utf8 && !CheckUtf8(raw_, 0, rawSize_, rawSize_).invalid) {
    return KeepRaw();  // well-formed: as it stands
  }
  const unsigned char* in = raw_;
  std::size_t size = rawSize_;
  const ByteOrderMark mark = FindByteOrderMark(raw_, rawSize_);
  if ((mode_ == TextEncoding::Utf16Le && mark == ByteOrderMark::Utf16Le) ||
      (mode_ == TextEncoding::Utf16Be && mark == ByteOrderMark::Utf16Be)) {
    in += 2;
    size -= 2;
  }
  unsigned char* out = Reserve(RoomFor(size));
  if (out == nullptr) return KeepRaw();
  std::optional<std::size_t> length;
  const BackgroundFill fill(buffer_, size);
  if (mode_ == TextEncoding::Cp932 || mode_ == TextEncoding::EucJp) {
    // The same tables as detection uses, so a forced reading shows what a detected
    // one would, bad bytes aside.
    const ByteTables& tables = TablesFor(mode_);
    if (tables.usable()) length = tables.DecodeReplacing(in, size, out);
  } else {
    length = ConvertWithIcu(mode_, in, size, /*strict=*/false, out, buffer_.capacity());
  }
  // A text that would count as binary is searched as raw bytes, so its binary hits
  // show the file's own offsets and bytes.
  if (!length || !CountsAsText(out, *length)) return KeepRaw();
  return UseDecoded(mode_, *length);
}

bool FileText::UseDecoded(TextEncoding from, std::size_t size) {
  // Offsets in the text are 32-bit.
  if (size > kMaxScannedFileSize) return false;
  text_ = buffer_.data();
  textSize_ = size;
  decodedFrom_ = from;
  return true;
}

bool FileText::KeepRaw() {
  // A failed decoding of a large file leaves pages that no text will use.
  if (buffer_.capacity() > kKeptBuffer) buffer_.Release();
  return false;
}

unsigned char* FileText::Reserve(std::size_t size) {
  return size == 0 ? nullptr : buffer_.Reserve(size);
}

TextEncoding DecodeFileText(TextEncoding mode, const unsigned char* bytes, std::size_t size,
                            std::string& text) {
  FileText file(mode);
  file.Start(bytes, size);
  file.SettleAll();
  text.assign(reinterpret_cast<const char*>(file.data()), file.size());
  return file.decodedFrom();
}

}  // namespace kolbrin
