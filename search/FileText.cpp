// The decision of what text a file is searched as: the file's bytes as they stand,
// or their decoding from a byte order mark's UTF-16, ISO-2022-JP, CP932 or EUC-JP.
// The transcoders themselves are in search/Transcoders.cpp.
#include "search/FileText.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>

#include "search/Scanner.h"
#include "search/Transcoders.h"
#include "search/Utf8Check.h"

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

  if (!HasByteTables(TextEncoding::Cp932) || !HasByteTables(TextEncoding::EucJp)) {
    return KeepRaw();
  }
  unsigned char* out = Reserve(RoomFor(rawSize_));
  if (out == nullptr) return KeepRaw();
  const BackgroundFill fill(buffer_, rawSize_ + rawSize_ / 8);
  // CP932 first, written out, as it is the more common; EUC-JP is then only scored,
  // and a CP932 file usually shows it is no EUC-JP within its first kana.
  const TableDecoding asCp932 = DecodeByTables(TextEncoding::Cp932, raw_, rawSize_, out);
  if (asCp932.clean) {
    const TableDecoding asEucJp = DecodeByTables(TextEncoding::EucJp, raw_, rawSize_, nullptr);
    if (!asEucJp.clean || asCp932.score >= asEucJp.score) {
      return UseDecoded(TextEncoding::Cp932, asCp932.length);
    }
    DecodeByTables(TextEncoding::EucJp, raw_, rawSize_, out);
    return UseDecoded(TextEncoding::EucJp, asEucJp.length);
  }
  const TableDecoding asEucJp = DecodeByTables(TextEncoding::EucJp, raw_, rawSize_, out);
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
    if (HasByteTables(mode_)) length = DecodeByTablesReplacing(mode_, in, size, out);
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

}  // namespace kolbrin
