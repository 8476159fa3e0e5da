// The transcoders a file is decoded with, to UTF-8, piece by piece: ICU's converters,
// and for CP932 and EUC-JP byte tables taken from them once; and the rule a decoded
// text must pass to be searched as text. What to decode from is decided in
// search/TextDecision.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "search/TextEncoding.h"

namespace kolbrin {

// Whether a text given piece by piece would stay text for the scanner: no NUL byte,
// at most ten counted control bytes. `controls` carries the count of counted control
// bytes from one piece to the next. False once the text so far does not count as text.
bool StillCountsAsText(const unsigned char* text, std::size_t size, std::size_t& controls);

// The byte tables of CP932 and EUC-JP hold every byte sequence ICU maps, with its
// UTF-8 and how much it counts toward the text looking Japanese. Decoding through
// them gives ICU's own result for a well-formed file, at table speed. They are
// built on first use and shared by all threads.
class ByteTables;

// A character of a multi-byte input that the end of one piece cut short, kept until
// the next piece completes it.
struct HeldBytes {
  unsigned char bytes[4] = {};
  std::size_t size = 0;
};

// The kinds of character a CP932 or EUC-JP reading is judged by.
enum class CharKind : std::uint8_t {
  Kana,           // hiragana and full-width katakana
  Kanji,          // CJK ideographs, ideographic punctuation, full-width letters and digits
  HalfWidthKana,  // half-width katakana
  Other,          // any other character beyond ASCII (Greek, Cyrillic, symbols, ...)
  UserDefined,    // a private-use character (a user-defined area of the encoding)
  Bad,            // a byte that starts no mapped sequence
};
inline constexpr std::size_t kCharKinds = 6;

// What a byte-table decoding counts, and carries from one piece to the next; the
// counts do not depend on where the pieces end. The context of characters (inWord,
// spaced, and what tracks it) is counted by TableReading only, not by the decoding
// for the scan.
struct TableCounts {
  std::size_t controls = 0;              // counted control bytes
  std::uint64_t kinds[kCharKinds] = {};  // characters beyond ASCII by CharKind
  std::uint64_t inWord = 0;        // two-byte characters whose second byte is an ASCII letter,
                                   // right after an ASCII letter (Latin-1 `Fran\xe7ois` as CP932)
  std::uint64_t spaced = 0;        // characters beyond ASCII right after one ASCII space that
                                   // follows another (words split by spaces, as Korean writes)
  std::uint64_t letterTrails = 0;  // two-byte characters whose second byte is an ASCII
                                   // letter (inWord counts those of them after a letter)
  std::uint64_t asciiRun = 1;      // ASCII bytes since the last character beyond ASCII (the
                                   // start of the file counts as one)
  unsigned char lastByte = 0;      // the last ASCII byte read
  bool nonAscii = false;           // a character beyond ASCII was read

  std::uint64_t of(CharKind kind) const { return kinds[static_cast<std::size_t>(kind)]; }
};

// The CP932 or EUC-JP reading of a file given piece by piece, counted as
// StreamDecoder::StartChecked counts it, and judged as it judges; nothing is written.
class TableReading {
 public:
  // Starts over for a new file. False when the tables of `encoding` cannot be had.
  bool Start(TextEncoding encoding);
  // Reads the next piece of the file. Returns alive() (so far).
  bool Feed(const unsigned char* data, std::size_t size);
  // The file has ended. Returns alive().
  bool Finish();
  // Not yet ruled out (see StreamDecoder::StartChecked); whether the reading is
  // taken is judged from counts() at the end.
  bool alive() const { return alive_; }
  const TableCounts& counts() const { return counts_; }

 private:
  const ByteTables* tables_ = nullptr;
  HeldBytes held_;
  TableCounts counts_;
  bool alive_ = false;
};

// Decodes a file read piece by piece to UTF-8, the output of all pieces together
// being that of the whole file at once; for a file that decodes cleanly, replacing
// bad sequences and stopping at them give the same text.
class StreamDecoder {
 public:
  StreamDecoder();
  ~StreamDecoder();
  StreamDecoder(const StreamDecoder&) = delete;
  StreamDecoder& operator=(const StreamDecoder&) = delete;

  // Starts a new text decoded from `from` (Cp932, EucJp through the byte tables; Utf8,
  // Iso2022Jp, Utf16Le, Utf16Be through ICU). Each bad sequence becomes U+FFFD (in
  // the tables, a byte that starts no mapped sequence; decoding goes on with the next
  // byte); control bytes pass through. False when the converter cannot be had.
  bool Start(TextEncoding from);
  // As Start, for a text decided automatically. Through ICU (Utf16Le, Utf16Be), the
  // first bad sequence (or a lone surrogate) ends the decoding, and failed() says
  // so. Through the tables (Cp932, EucJp), a byte that starts no mapped sequence is
  // kept in the text as that very byte (a character the end of the file cuts short,
  // all its bytes), so nothing of the file is lost, and the characters are counted
  // (counts()); the decoding ends, failed() saying so, at a NUL byte, an eleventh
  // counted control byte, a user-defined character, or once 16 or more bad bytes are
  // more than one for every 4 Japanese characters (kana, kanji, half-width katakana)
  // read so far: a reading so damaged is no reading. Iso2022Jp is read by ICU and
  // kept and counted likewise: each byte of a sequence that ICU reports as bad
  // stays as it stands and counts as a bad byte; the bytes of a character or escape
  // sequence that the end of the file cuts short stay too, but are no damage, and
  // a designation right after another (an empty segment, which ICU reports) is
  // taken as any other. Whether a reading that gets to the end is taken is judged
  // from its counts (search/TextEncoding.h, steps 3 and 6).
  bool StartChecked(TextEncoding from);
  bool failed() const { return failed_; }
  // What the decoding kept and counted so far (Cp932, EucJp; Iso2022Jp when checked).
  const TableCounts& counts() const { return counts_; }

  // The UTF-8 of the next `size` bytes of the file, written to `out`, which has room
  // for MaxOutput(size) bytes; a character split at the end of the piece is held
  // and completed by the next call. Returns the bytes written.
  std::size_t Decode(const unsigned char* in, std::size_t size, unsigned char* out);
  // The file has ended: writes what a character cut short by the end becomes.
  // Returns the bytes written (room: MaxOutput(0)).
  std::size_t Finish(unsigned char* out);

  // Three bytes for each input byte at most (a half-width katakana, or a bad byte,
  // become three), and room for held bytes and whole-vector stores past the end.
  static constexpr std::size_t MaxOutput(std::size_t size) { return 3 * size + 64; }

 private:
  struct Icu;
  bool StartAs(TextEncoding from, bool strict);
  bool StartIcu(TextEncoding from, bool strict);
  std::size_t ConvertIcu(const unsigned char* in, std::size_t size, unsigned char* out, bool flush);
  std::size_t ConvertKeeping(const unsigned char* in, std::size_t size, unsigned char* out,
                             bool flush);

  TextEncoding from_ = TextEncoding::Bytes;
  const ByteTables* tables_ = nullptr;  // for Cp932 and EucJp
  HeldBytes held_;
  TableCounts counts_;
  std::unique_ptr<Icu> icu_;  // the converters, kept from text to text
  bool failed_ = false;
  bool strict_ = false;
  bool keeping_ = false;  // ISO-2022-JP through ICU, its bad bytes kept and counted
};

}  // namespace kolbrin
