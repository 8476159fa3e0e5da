// The decision of what text a file is searched as, made over a file read piece by
// piece; see search/TextDecision.h.
#include "search/TextDecision.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "search/ScanKernels.h"
#include "search/Scanner.h"
#include "search/Transcoders.h"
#include "search/Utf8Check.h"

namespace kolbrin {
namespace {

// The pieces of a file from `offset` on, read into `scratch`.
class Pieces {
 public:
  Pieces(const ReadAt& read, unsigned char* scratch, std::size_t size, std::uint64_t offset)
      : read_(read), scratch_(scratch), size_(size), offset_(offset) {}

  // Reads the next piece into the scratch buffer: its size, 0 at the end of the file.
  std::size_t Next() {
    const std::size_t count = read_(offset_, scratch_, size_);
    offset_ += count;
    return count;
  }
  const unsigned char* data() const { return scratch_; }

 private:
  const ReadAt& read_;
  unsigned char* const scratch_;
  const std::size_t size_;
  std::uint64_t offset_;
};

// Whether a file that is not well-formed UTF-8 is UTF-8 all the same, damaged: at
// most one ill-formed sequence for every 4 well-formed characters beyond ASCII (a
// UTF-8 file with a stray byte). Read as CP932, such a file would often decode
// cleanly, into nonsense. Text in another encoding shows itself within its first few
// characters, so the count stops early for it. (A file whose only fault is a last
// character that its end cuts short is told by Utf8Stream.)
class DamageCount {
 public:
  // Counts the next piece. False once the file is known not to be damaged UTF-8;
  // `looked` is then no less than the bytes of the piece up to the sequence that
  // showed it, else the piece's size. escape() says whether an ESC lies among them.
  bool Feed(const unsigned char* data, std::size_t size, std::size_t& looked) {
    looked = 0;
    escape_ = false;
    if (decided_) return false;
    looked = size;
    std::size_t skip = 0;
    if (heldSize_ != 0) {
      // The held bytes and enough of the piece to end the characters they start.
      unsigned char joined[sizeof held_ + 4];
      const std::size_t taken = std::min<std::size_t>(size, 4);
      std::memcpy(joined, held_, heldSize_);
      std::memcpy(joined + heldSize_, data, taken);
      const std::size_t joinedSize = heldSize_ + taken;
      const std::size_t counted = Count(joined, joinedSize, false);
      if (decided_) {
        looked = taken;
        return false;
      }
      if (taken == size) {
        Hold(joined + counted, joinedSize - counted);
        return true;
      }
      skip = counted - heldSize_;
    }
    const std::size_t counted = Count(data + skip, size - skip, false);
    if (decided_) {
      looked = skip + counted;
      return false;
    }
    Hold(data + skip + counted, size - skip - counted);
    return true;
  }

  // The file has ended: whether it is damaged UTF-8.
  bool Finish() {
    if (!decided_) Count(held_, heldSize_, true);
    heldSize_ = 0;
    return !decided_ && illFormed_ * 4 <= wellFormed_;
  }

  // An ESC among the bytes that the last Feed looked at (an ISO-2022-JP escape
  // sequence may have begun there).
  bool escape() const { return escape_; }

 private:
  void Hold(const unsigned char* bytes, std::size_t size) {
    std::memcpy(held_, bytes, size);
    heldSize_ = size;
  }

  // Counts the characters of [data, data + size) as ICU's U8_NEXT reads them over the
  // whole file, four bytes at most at a time: unless `last`, the count stops before a
  // character less than four bytes from the end. Returns the bytes counted.
  std::size_t Count(const unsigned char* data, std::size_t size, bool last) {
    constexpr std::uint64_t kHighBits = 0x8080808080808080u;
    constexpr std::uint64_t kLowBits = 0x0101010101010101u;
    std::size_t p = 0;
    // ASCII is skipped a vector or a word at a time, its ESC bytes noted.
    std::uint64_t escapes = 0;
    while (p < size) {
#if defined(__SSE2__)
      if (size - p >= 16) {
        const __m128i v = sse2::Load16(data + p);
        if (sse2::Mask16(v) == 0) {
          escapes |= sse2::Mask16(_mm_cmpeq_epi8(v, _mm_set1_epi8(0x1B)));
          p += 16;
          continue;
        }
      }
#endif
      std::uint64_t word;
      if (size - p >= 8 && (std::memcpy(&word, data + p, 8), (word & kHighBits) == 0)) {
        const std::uint64_t esc = word ^ (0x1B * kLowBits);
        escapes |= (esc - kLowBits) & ~esc & kHighBits;  // a zero byte: an ESC
        p += 8;
        continue;
      }
      if (data[p] < 0x80) {
        escapes |= data[p] == 0x1B;
        ++p;
        continue;
      }
      if (!last && size - p < 4) break;
      UChar32 c;
      std::int32_t length = 0;
      const auto available = static_cast<std::int32_t>(std::min<std::size_t>(size - p, 4));
      U8_NEXT(data + p, length, available, c);
      p += static_cast<std::size_t>(length);
      if (c >= 0) {
        ++wellFormed_;
      } else if (++illFormed_ >= 16 && illFormed_ * 4 > wellFormed_) {
        decided_ = true;
        break;
      }
    }
    escape_ = escape_ || escapes != 0;
    return p;
  }

  unsigned char held_[3] = {};
  std::size_t heldSize_ = 0;
  std::size_t wellFormed_ = 0;
  std::size_t illFormed_ = 0;
  bool decided_ = false;  // not damaged UTF-8
  bool escape_ = false;
};

// Whether the file from `offset` on decodes through `decoder` (started) without a
// failure and into a text that counts as text; `out` has room for
// StreamDecoder::MaxOutput(scratchSize).
bool DecodesToText(StreamDecoder& decoder, const ReadAt& read, unsigned char* scratch,
                   std::size_t scratchSize, std::uint64_t offset, unsigned char* out) {
  Pieces pieces(read, scratch, scratchSize, offset);
  std::size_t controls = 0;
  for (std::size_t size; (size = pieces.Next()) != 0;) {
    const std::size_t written = decoder.Decode(pieces.data(), size, out);
    if (decoder.failed() || !StillCountsAsText(out, written, controls)) return false;
  }
  const std::size_t written = decoder.Finish(out);
  return !decoder.failed() && StillCountsAsText(out, written, controls);
}

// One byte order's reading of a file as UTF-16 without a byte order mark, given piece
// by piece (a unit split between pieces is held), with the evidence that it is text.
class Utf16Reading {
 public:
  explicit Utf16Reading(bool bigEndian) : bigEndian_(bigEndian) {}

  // Reads the next piece. Returns alive() (so far).
  bool Feed(const unsigned char* data, std::size_t size) {
    std::size_t p = 0;
    if (held_ && size != 0) {
      Unit(heldByte_, data[0]);
      held_ = false;
      p = 1;
    }
    for (; alive_ && size - p >= 2; p += 2) Unit(data[p], data[p + 1]);
    if (alive_ && p < size) {
      heldByte_ = data[p];
      held_ = true;
    }
    return alive_;
  }
  // The file has ended: a byte left over (an odd size) or a lead surrogate without
  // its trail ends the reading. Returns alive().
  bool Finish() {
    if (held_ || lead_ || characters_ == 0) alive_ = false;
    return alive_;
  }

  // One lane mostly zero: at least 9 in 10 characters below U+0100.
  bool LatinHeavy() const { return alive_ && below0100_ * 10 >= characters_ * 9; }
  // Japanese: kana, kanji, ideographic punctuation and full-width forms are at least
  // half of the characters beyond ASCII, and at least one in 10 of them is a kana
  // (8-bit text read as UTF-16 is mostly kanji, hardly ever kana); the text has a line break
  // (U+000A or U+000D) and no character from U+0A00 to U+0AFF or U+0D00 to U+0DFF (8-bit text with
  // a stray NUL, read as UTF-16, reads mostly as kanji, but its line breaks pair with the bytes
  // beside them, half of them into those blocks).
  bool Japanese() const {
    return alive_ && beyond_ != 0 && japanese_ * 2 >= beyond_ && kana_ * 10 >= japanese_ &&
           lineBreaks_ != 0 && pairedBreaks_ == 0;
  }
  // How much the reading looks like text, to choose between byte orders: each kana
  // scores 4, each other Japanese character 2, each ASCII character 1 (ASCII read in
  // the wrong byte order is never ASCII).
  std::uint64_t Score() const { return 4 * kana_ + 2 * (japanese_ - kana_) + ascii_; }
  bool alive() const { return alive_; }

 private:
  void Unit(unsigned char first, unsigned char second) {
    const auto unit =
        static_cast<std::uint32_t>(bigEndian_ ? (first << 8) | second : (second << 8) | first);
    if (lead_) {
      lead_ = false;
      if (unit < 0xDC00 || unit > 0xDFFF) {
        alive_ = false;  // a lead surrogate without its trail
        return;
      }
      const std::uint32_t c = 0x10000 + ((leadUnit_ - 0xD800) << 10) + (unit - 0xDC00);
      Beyond(c);
      return;
    }
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      lead_ = true;
      leadUnit_ = unit;
      return;
    }
    if ((unit >= 0xDC00 && unit <= 0xDFFF) || unit == 0) {
      alive_ = false;  // a lone trail surrogate, or a NUL
      return;
    }
    if (unit < 0x80) {
      ++characters_;
      ++below0100_;
      ++ascii_;
      if (unit == '\n' || unit == '\r') ++lineBreaks_;
      // The decoded text must count as text: at most ten counted control bytes.
      const auto low = static_cast<unsigned char>(unit);
      if (IsCountedControl(low) && ++controls_ > 10) alive_ = false;
      return;
    }
    Beyond(unit);
  }

  void Beyond(std::uint32_t c) {
    ++characters_;
    ++beyond_;
    if (c < 0x100) ++below0100_;
    if ((c >> 8) == 0x0A || (c >> 8) == 0x0D) ++pairedBreaks_;
    if (c >= 0x3041 && c <= 0x30FF) {
      ++kana_;
      ++japanese_;
    } else if ((c >= 0x3000 && c <= 0x303F) || (c >= 0x3400 && c <= 0x4DBF) ||
               (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xF900 && c <= 0xFAFF) ||
               (c >= 0xFF01 && c <= 0xFFEF) || (c >= 0x20000 && c <= 0x3FFFF)) {
      ++japanese_;
    }
  }

  const bool bigEndian_;
  bool alive_ = true;
  bool held_ = false;
  unsigned char heldByte_ = 0;
  bool lead_ = false;
  std::uint32_t leadUnit_ = 0;
  std::uint64_t characters_ = 0;
  std::uint64_t below0100_ = 0;
  std::uint64_t ascii_ = 0;
  std::uint64_t beyond_ = 0;
  std::uint64_t japanese_ = 0;
  std::uint64_t kana_ = 0;
  std::uint64_t lineBreaks_ = 0;
  std::uint64_t pairedBreaks_ = 0;
  std::size_t controls_ = 0;
};

// The file's first two bytes, for a byte order mark; fewer for a shorter file.
std::size_t ReadHead(const ReadAt& read, unsigned char (&head)[2]) {
  std::size_t size = 0;
  while (size < 2) {
    const std::size_t count = read(size, head + size, 2 - size);
    if (count == 0) break;
    size += count;
  }
  return size;
}

enum class Utf8Outcome { WellFormed, CutShortAtTheEnd, IllFormed };

struct Utf8Reading {
  Utf8Outcome outcome = Utf8Outcome::IllFormed;
  bool designation = false;  // an ISO-2022-JP designation (before an ill-formed sequence)
};

// Reads the file through Utf8Stream, stopping at the first ill-formed sequence.
Utf8Reading ReadAsUtf8(const ReadAt& read, unsigned char* scratch, std::size_t scratchSize) {
  Utf8Stream stream;
  Pieces pieces(read, scratch, scratchSize, 0);
  Utf8Reading reading;
  for (std::size_t size; (size = pieces.Next()) != 0;) {
    if (!stream.Feed(pieces.data(), size)) {
      reading.designation = stream.designation();
      return reading;
    }
  }
  reading.outcome = stream.Finish() ? Utf8Outcome::WellFormed : Utf8Outcome::CutShortAtTheEnd;
  reading.designation = stream.designation();
  return reading;
}

// At most one bad byte for every 16 Japanese characters (kana, kanji, half-width
// katakana) of a CP932, EUC-JP or ISO-2022-JP reading.
bool FewBadBytes(const TableCounts& counts) {
  return counts.of(CharKind::Bad) * 16 <= counts.of(CharKind::Kana) + counts.of(CharKind::Kanji) +
                                              counts.of(CharKind::HalfWidthKana);
}

// Whether the file, from the piece that `pieces` read last (`size` bytes) on, holds
// an ISO-2022-JP designation before its reading as ISO-2022-JP gives up; no byte
// before that piece may be part of a designation. Until its first designation the
// reading is of ASCII, with no Japanese character, so it gives up at a NUL byte, an
// eleventh counted control byte or a sixteenth byte at or above 0x80 (each of them
// bad); counted from a piece past the start of the file, these are the least it holds.
bool DesignationAhead(Pieces& pieces, std::size_t size) {
  DesignationSearch designations;
  std::size_t controls = 0;
  std::size_t high = 0;
  for (; size != 0; size = pieces.Next()) {
    const unsigned char* data = pieces.data();
    if (designations.Feed(data, size)) return true;
    if (!StillCountsAsText(data, size, controls)) return false;
    for (std::size_t p = 0; p < size; ++p) high += data[p] >> 7;
    if (high >= 16) return false;
  }
  return false;
}

TextDecision Decided(TextEncoding from, std::uint64_t skip = 0) { return {from, skip}; }

// How much a reading looks like Japanese, to choose between two that both do: each
// kana 4, each kanji (ideographs, ideographic punctuation, full-width letters) 2.
// Half-width katakana score nothing: a line of EUC-JP kanji read as CP932 is all
// half-width katakana, which Japanese text seldom holds without other Japanese.
std::uint64_t Score(const TableCounts& counts) {
  return 4 * counts.of(CharKind::Kana) + 2 * counts.of(CharKind::Kanji);
}

TextDecision DecideAuto(const ReadAt& read, unsigned char* scratch, std::size_t scratchSize,
                        const unsigned char (&head)[2], std::size_t headSize,
                        std::vector<unsigned char>& out, Decisions decisions) {
  // 1. A UTF-16 byte order mark, which is not part of the text.
  if (headSize == 2 &&
      ((head[0] == 0xFF && head[1] == 0xFE) || (head[0] == 0xFE && head[1] == 0xFF))) {
    const TextEncoding from = head[0] == 0xFF ? TextEncoding::Utf16Le : TextEncoding::Utf16Be;
    StreamDecoder decoder;
    if (!decoder.StartChecked(from)) return Decided(TextEncoding::Bytes);
    out.resize(StreamDecoder::MaxOutput(scratchSize));
    if (!DecodesToText(decoder, read, scratch, scratchSize, 2, out.data())) {
      return Decided(TextEncoding::Bytes);
    }
    return Decided(from, 2);
  }

  // 2. UTF-16 without a byte order mark, when the evidence is clear.
  if (const TextEncoding utf16 = DecideUtf16WithoutMark(read, scratch, scratchSize);
      utf16 != TextEncoding::Bytes) {
    return Decided(utf16);
  }

  // 3. ISO-2022-JP, for a file with a designation. 4. Otherwise well-formed UTF-8
  // stands as it is, and so does UTF-8 but for a last character that the end cuts
  // short (as step 5 would have it).
  const auto readsAsIso = [&] {
    StreamDecoder decoder;
    return ReadsAsIso2022Jp(read, scratch, scratchSize, decoder);
  };
  const Utf8Reading utf8 = ReadAsUtf8(read, scratch, scratchSize);
  if (utf8.outcome != Utf8Outcome::IllFormed) {
    const bool iso = utf8.designation && readsAsIso();
    return Decided(iso ? TextEncoding::Iso2022Jp : TextEncoding::Bytes);
  }

  // Not UTF-8. A designation is looked for as far as the file may still be damaged
  // UTF-8: once it is known not to be (16 ill-formed sequences or more, each with a
  // byte at or above 0x80), without a designation so far, its ISO-2022-JP reading
  // has given up, with 16 bad bytes and no Japanese character yet.
  bool designation = utf8.designation;
  DesignationSearch designations;
  // 5. UTF-8 but for a few stray bytes. 6. CP932 or EUC-JP, when the reading looks
  // like Japanese; of two, the one that looks more so, a tie going to EUC-JP.
  TableReading cp932;
  TableReading eucJp;
  if (!cp932.Start(TextEncoding::Cp932) || !eucJp.Start(TextEncoding::EucJp)) {
    return Decided(TextEncoding::Bytes);
  }
  DamageCount damage;
  bool counting = true;
  Pieces pieces(read, scratch, scratchSize, 0);
  for (std::size_t size; (size = pieces.Next()) != 0;) {
    if (counting) {
      std::size_t looked = 0;
      counting = damage.Feed(pieces.data(), size, looked);
      if (!designation) designation = designations.Feed(pieces.data(), looked, damage.escape());
    }
    const bool asCp932 = cp932.Feed(pieces.data(), size);
    const bool asEucJp = eucJp.Feed(pieces.data(), size);
    if (!asCp932 && !asEucJp) {
      // No reading is left but ISO-2022-JP.
      if (designation) break;
      if (!counting || !DesignationAhead(pieces, size)) return Decided(TextEncoding::Bytes);
      return Decided(readsAsIso() ? TextEncoding::Iso2022Jp : TextEncoding::Bytes);
    }
    // Known to be no damaged UTF-8 and no ISO-2022-JP, with one reading left: the
    // rest of the file decides only whether that reading holds, and the scan's
    // decoding counts it.
    if (decisions == Decisions::MayStopEarly && !counting && asCp932 != asEucJp && !designation) {
      TextDecision provisional = Decided(asCp932 ? TextEncoding::Cp932 : TextEncoding::EucJp);
      provisional.provisional = true;
      return provisional;
    }
  }
  // 3. With a designation, ISO-2022-JP comes before the readings of steps 5 and 6.
  if (designation && readsAsIso()) {
    return Decided(TextEncoding::Iso2022Jp);
  }
  if (!cp932.alive() && !eucJp.alive()) return Decided(TextEncoding::Bytes);
  if (counting && damage.Finish()) return Decided(TextEncoding::Bytes);
  const bool asCp932 = cp932.Finish() && LooksJapanese(cp932.counts());
  const bool asEucJp = eucJp.Finish() && LooksJapanese(eucJp.counts());
  if (asCp932 && (!asEucJp || Score(cp932.counts()) > Score(eucJp.counts()))) {
    return Decided(TextEncoding::Cp932);
  }
  // 7. Anything else stands as it is.
  return Decided(asEucJp ? TextEncoding::EucJp : TextEncoding::Bytes);
}

TextDecision DecideForced(TextEncoding mode, const ReadAt& read, unsigned char* scratch,
                          std::size_t scratchSize, const unsigned char (&head)[2],
                          std::size_t headSize, std::vector<unsigned char>& out) {
  // Well-formed UTF-8 forced as UTF-8 stands as it is.
  if (mode == TextEncoding::Utf8 &&
      ReadAsUtf8(read, scratch, scratchSize).outcome == Utf8Outcome::WellFormed) {
    return Decided(TextEncoding::Bytes);
  }
  std::uint64_t skip = 0;
  if (headSize == 2 && ((mode == TextEncoding::Utf16Le && head[0] == 0xFF && head[1] == 0xFE) ||
                        (mode == TextEncoding::Utf16Be && head[0] == 0xFE && head[1] == 0xFF))) {
    skip = 2;
  }
  StreamDecoder decoder;
  if (!decoder.Start(mode)) return Decided(TextEncoding::Bytes);
  out.resize(StreamDecoder::MaxOutput(scratchSize));
  // A text that would count as binary is searched as raw bytes, so its binary hits
  // show the file's own offsets and bytes.
  if (!DecodesToText(decoder, read, scratch, scratchSize, skip, out.data())) {
    return Decided(TextEncoding::Bytes);
  }
  return Decided(mode, skip);
}

}  // namespace

bool HoldsCountedControl(const unsigned char* data, std::size_t size) {
  std::size_t p = 0;
#if KOLBRIN_HAVE_AVX2_PATH
  if (ProcessorHasAvx2()) {
    p = avx2::SkipControlFreeBlocks(data, 0, size);
    if (size - p >= 128) return true;
  }
#endif
#if defined(__SSE2__)
  for (; size - p >= 16; p += 16) {
    if (sse2::Mask16(sse2::CountedControls(sse2::Load16(data + p))) != 0) return true;
  }
#endif
  for (; p < size; ++p) {
    if (IsCountedControl(data[p])) return true;
  }
  return false;
}

TextEncoding DecideUtf16WithoutMark(const ReadAt& read, unsigned char* scratch,
                                    std::size_t scratchSize) {
  // The sign: a NUL or counted control byte among the first kUtf16ProbeBytes.
  bool sign = false;
  {
    Pieces head(read, scratch, scratchSize, 0);
    for (std::size_t seen = 0, size; !sign && seen < kUtf16ProbeBytes && (size = head.Next()) != 0;
         seen += size) {
      sign = HoldsCountedControl(head.data(), std::min(size, kUtf16ProbeBytes - seen));
    }
  }
  if (!sign) return TextEncoding::Bytes;
  Utf16Reading le(false);
  Utf16Reading be(true);
  Pieces pieces(read, scratch, scratchSize, 0);
  for (std::size_t size; (size = pieces.Next()) != 0;) {
    const bool asLe = le.alive() && le.Feed(pieces.data(), size);
    const bool asBe = be.alive() && be.Feed(pieces.data(), size);
    if (!asLe && !asBe) return TextEncoding::Bytes;
  }
  le.Finish();
  be.Finish();
  // A reading with one lane mostly zero wins (both cannot: the text holds no NUL).
  if (le.LatinHeavy()) return TextEncoding::Utf16Le;
  if (be.LatinHeavy()) return TextEncoding::Utf16Be;
  const bool asLe = le.Japanese();
  const bool asBe = be.Japanese();
  if (asLe && (!asBe || le.Score() >= be.Score())) return TextEncoding::Utf16Le;
  return asBe ? TextEncoding::Utf16Be : TextEncoding::Bytes;
}

bool ReadsAsIso2022Jp(const ReadAt& read, unsigned char* scratch, std::size_t scratchSize,
                      StreamDecoder& decoder) {
  if (!decoder.StartChecked(TextEncoding::Iso2022Jp)) return false;
  // Other text gives the reading up within its first few lines: the file is read in
  // pieces that grow from 4 KiB to the scratch buffer's size, and decoded in steps
  // that grow from 256 bytes to 4 KiB, into a buffer whose text is not kept.
  constexpr std::size_t kLongestStep = 4096;
  unsigned char out[StreamDecoder::MaxOutput(kLongestStep)];
  std::size_t step = 256;
  std::uint64_t offset = 0;
  for (std::size_t piece = std::min(scratchSize, kLongestStep);;
       piece = std::min(scratchSize, 2 * piece)) {
    const std::size_t size = read(offset, scratch, piece);
    if (size == 0) break;
    offset += size;
    for (std::size_t p = 0; p < size; p += step, step = std::min(kLongestStep, 2 * step)) {
      decoder.Decode(scratch + p, std::min(step, size - p), out);
      if (decoder.failed()) return false;
    }
  }
  decoder.Finish(out);
  return !decoder.failed() && FewBadBytes(decoder.counts());
}

bool LooksJapanese(const TableCounts& counts) {
  const std::uint64_t kana = counts.of(CharKind::Kana);
  const std::uint64_t fullWidth = kana + counts.of(CharKind::Kanji);
  const std::uint64_t halfWidth = counts.of(CharKind::HalfWidthKana);
  const std::uint64_t other = counts.of(CharKind::Other);
  const std::uint64_t all = fullWidth + halfWidth + other;
  // No user-defined characters (the decoding already stops at one).
  if (counts.of(CharKind::UserDefined) != 0) return false;
  // At most one bad byte for every 16 Japanese characters.
  if (!FewBadBytes(counts)) return false;
  // Text of half-width katakana only (a half-width CSV); as single bytes, they cost
  // no ASCII its place.
  if (fullWidth == 0) return halfWidth != 0 && other == 0;
  // At least half the characters beyond ASCII are kana or kanji.
  if (fullWidth * 2 < all) return false;
  // Fewer than half of the two-byte characters sit inside an ASCII word, where a
  // Western letter and the ASCII letter after it read as one (Latin-1 as CP932).
  if (counts.inWord * 2 >= fullWidth + other) return false;
  // Text with hardly any kana (fewer than 1 in 50 characters) whose words are split
  // by single spaces (1 in 8 characters or more) is not Japanese (Korean, read as
  // EUC-JP, is kanji between spaces).
  if (kana * 50 < all && counts.spaced * 8 >= all) return false;
  return true;
}

bool ProvisionalReadingHolds(TextEncoding from, const TableCounts& counts, const ReadAt& read,
                             unsigned char* scratch, std::size_t scratchSize) {
  // The rule asks less of fewer characters in words and fewer spaced ones: with the
  // least and the most that the counts allow, the same answer settles it.
  TableCounts least = counts;
  least.inWord = 0;
  least.spaced = 0;
  TableCounts most = counts;
  most.inWord = counts.letterTrails;
  most.spaced = counts.of(CharKind::Kana) + counts.of(CharKind::Kanji) +
                counts.of(CharKind::HalfWidthKana) + counts.of(CharKind::Other);
  const bool best = LooksJapanese(least);
  if (best == LooksJapanese(most)) return best;
  TableReading reading;
  if (!reading.Start(from)) return false;
  Pieces pieces(read, scratch, scratchSize, 0);
  for (std::size_t size; (size = pieces.Next()) != 0;) {
    if (!reading.Feed(pieces.data(), size)) return false;
  }
  return reading.Finish() && LooksJapanese(reading.counts());
}

TextDecision DecideFileText(TextEncoding mode, const ReadAt& read, unsigned char* scratch,
                            std::size_t scratchSize, Decisions decisions) {
  if (mode == TextEncoding::Bytes) return Decided(TextEncoding::Bytes);
  unsigned char head[2];
  const std::size_t headSize = ReadHead(read, head);
  if (headSize == 0) return Decided(TextEncoding::Bytes);  // an empty file
  std::vector<unsigned char> out;
  if (mode == TextEncoding::Auto)
    return DecideAuto(read, scratch, scratchSize, head, headSize, out, decisions);
  return DecideForced(mode, read, scratch, scratchSize, head, headSize, out);
}

TextEncoding DecodeFileText(TextEncoding mode, const unsigned char* bytes, std::size_t size,
                            std::string& text) {
  const ReadAt read = [&](std::uint64_t offset, unsigned char* buffer, std::size_t room) {
    if (offset >= size) return std::size_t{0};
    const std::size_t count = std::min<std::size_t>(room, size - offset);
    std::memcpy(buffer, bytes + offset, count);
    return count;
  };
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  std::vector<unsigned char> scratch(std::max<std::size_t>(1, std::min(size, kPiece)));
  const TextDecision decision = DecideFileText(mode, read, scratch.data(), scratch.size());
  StreamDecoder decoder;
  const bool started = mode == TextEncoding::Auto ? decoder.StartChecked(decision.from)
                                                  : decoder.Start(decision.from);
  if (decision.from == TextEncoding::Bytes || !started) {
    text.assign(reinterpret_cast<const char*>(bytes), size);
    return TextEncoding::Bytes;
  }
  text.clear();
  std::size_t length = 0;
  for (std::size_t p = decision.skip; p < size; p += kPiece) {
    const std::size_t piece = std::min(kPiece, size - p);
    text.resize(length + StreamDecoder::MaxOutput(piece));
    length +=
        decoder.Decode(bytes + p, piece, reinterpret_cast<unsigned char*>(text.data()) + length);
  }
  text.resize(length + StreamDecoder::MaxOutput(0));
  length += decoder.Finish(reinterpret_cast<unsigned char*>(text.data()) + length);
  text.resize(length);
  return decision.from;
}

}  // namespace kolbrin
