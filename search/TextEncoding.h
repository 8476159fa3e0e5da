// How a loaded file becomes the text the scanner searches. A file in UTF-8 (pure
// ASCII included) is searched byte for byte, as it stands. A file in another
// encoding that Japanese text is commonly kept in is transcoded to UTF-8 once, so
// that the search strings, which are UTF-8, find its text and its hit lines read as
// UTF-8 everywhere they are shown.
//
// Automatic detection, file by file, in this order:
//   1. A UTF-16LE or UTF-16BE byte order mark: the file is decoded as UTF-16 (the
//      mark dropped) when it decodes cleanly and the text holds no NUL and at most
//      ten control bytes; otherwise it is searched as raw bytes.
//   2. UTF-16 without a byte order mark: tried only when the file's first 4096 bytes
//      (kUtf16ProbeBytes) hold a NUL byte or a counted control byte (below 0x20, but
//      for TAB, LF, CR and ESC). Each byte order's reading is taken when the file has
//      an even size, decodes strictly (no lone surrogate), holds no U+0000 and at most
//      ten control characters, and either
//        - at least 9 in 10 of its characters are below U+0100 (one byte lane mostly
//          zero: English and other Latin text), or
//        - kana, kanji (CJK ideographs), ideographic punctuation and full-width forms
//          are at least half of its characters beyond ASCII, at least one in 10 of
//          those is a kana, it has a line break (U+000A or U+000D), and no character
//          from U+0A00 to U+0AFF or U+0D00 to U+0DFF (where 8-bit text with a stray
//          NUL puts its line breaks when read as UTF-16).
//      A reading with one lane mostly zero wins; of two Japanese ones, the one scoring
//      more (kana 4, other Japanese characters 2, ASCII 1), a tie going to UTF-16LE.
//      Japanese UTF-16 of kanji only, or without a line break, stays raw.
//   3. A file that holds an ISO-2022-JP designation (ESC $ @, ESC $ B, ESC $ ( D,
//      ESC ( B, ESC ( J or ESC ( I) is decoded as ISO-2022-JP when it reads as such
//      but for a few bad bytes. It is read as ICU reads it (ASCII, JIS X 0201 Roman
//      and katakana, JIS X 0208), each byte of a sequence that ICU cannot read being
//      bad (of an unknown escape sequence, the ESC alone; of one designating a set
//      that ISO-2022-JP lacks, as ESC $ ( D does JIS X 0212, all of it). The reading
//      is taken when its text holds no NUL and at most ten control bytes and it has
//      at most one bad byte for every 16 kana, kanji and half-width katakana (a last
//      character or escape sequence that the end of the file cuts short is no damage,
//      and neither is a designation right after another); a reading with 16 or more
//      bad bytes, more than one for every 4 such characters so far, is given up where
//      it stands. Each bad byte is kept in the text as that very byte, as in step 6.
//      A UTF-8, CP932 or EUC-JP file read so is bad bytes wherever it is not ASCII,
//      and goes on to the steps below.
//   4. Valid UTF-8 (a UTF-8 byte order mark allowed) is searched as it stands.
//   5. Otherwise, a file that is UTF-8 but for a few ill-formed sequences (at most
//      one for every 4 well-formed characters beyond ASCII: a UTF-8 file cut inside
//      a character, or with a stray byte) is searched as raw bytes.
//   6. Otherwise, a file without NUL bytes and with at most ten control bytes (as
//      the scanner counts them) is read as EUC-JP and as CP932 (Shift_JIS as Windows
//      writes it, NEC and IBM extensions included); bytes below 0x80 are ASCII as
//      they stand in both. A byte that starts no mapped sequence is bad (C1 control
//      codes, which ICU passes some EUC-JP bytes through as, count as unmapped); the
//      characters beyond ASCII are counted as kana (hiragana, full-width katakana),
//      kanji (CJK ideographs, ideographic punctuation, full-width letters and
//      digits), half-width katakana, user-defined (private use) and other. A reading
//      is taken only when it looks like Japanese text:
//        - it holds no user-defined character;
//        - it has at most one bad byte for every 16 kana, kanji and half-width
//          katakana (a last character that the end of the file cuts short is no
//          damage); a reading with 16 or more bad bytes, more than one for every 4
//          such characters so far, is given up where it stands;
//        - it has kana or kanji, and they are at least half of its characters beyond
//          ASCII; or it is half-width katakana only;
//        - fewer than half of its two-byte characters sit inside an ASCII word (right
//          after an ASCII letter, with an ASCII letter as their second byte: a
//          Western letter and the letter after it, as Latin-1 reads in CP932);
//        - unless it has at least one kana for every 50 characters beyond ASCII, fewer
//          than one character in 8 follows a single ASCII space that follows another
//          such character (words split by spaces: Korean, read as EUC-JP).
//      When both readings are taken, the one that looks more like Japanese wins: each
//      kana scores 4, each kanji 2, anything else 0 (a line of EUC-JP kanji read as
//      CP932 is half-width katakana, which Japanese text seldom holds alone); a tie
//      goes to EUC-JP. The chosen reading keeps each bad byte in the text as that
//      very byte (a cut last character, all its bytes), so it shows as a raw file's
//      bytes do and nothing is lost. Text in other encodings (Latin-1, Windows-1252,
//      EUC-KR, GBK, Big5) fails these tests and stays raw, so an ASCII search finds
//      what it finds in the file's bytes.
//   7. Anything else is searched as raw bytes.
//
// A forced encoding decodes every file that way, bad sequences becoming U+FFFD,
// unless the text would count as binary (more than ten control bytes): such a file
// is searched as raw bytes, so its binary hits keep the file's offsets and bytes.
// A valid UTF-8 file forced as UTF-8 is searched as it stands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kolbrin {

enum class TextEncoding : std::uint8_t {
  Auto,   // decided file by file (the default)
  Bytes,  // no decoding: every file byte for byte
  Utf8,
  Cp932,
  EucJp,
  Iso2022Jp,
  Utf16Le,
  Utf16Be,
};

// The name of an encoding, as kolbrin-grep's --encoding and the settings file's
// ENCODING take it, case ignored: "auto", "bytes", "utf-8", "cp932" (also
// "shift_jis" and "sjis"), "euc-jp", "iso-2022-jp", "utf-16le", "utf-16be".
// Nothing for an unknown name.
std::optional<TextEncoding> ParseEncodingName(std::string_view name);

// Every name ParseEncodingName takes, for usage texts.
inline constexpr std::string_view kEncodingNames =
    "auto, bytes, utf-8, cp932 (also shift_jis, sjis), euc-jp, iso-2022-jp, utf-16le, utf-16be";

}  // namespace kolbrin
