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

// What a byte-table decoding carries from one piece to the next.
struct TableCounts {
  std::size_t controls = 0;
  std::int64_t score = 0;
};

// The CP932 or EUC-JP reading of a file given piece by piece, judged as a whole:
// clean (every sequence mapped, and it counts as text), and its score; nothing is
// written.
class TableReading {
 public:
  // Starts over for a new file. False when the tables of `encoding` cannot be had.
  bool Start(TextEncoding encoding);
  // Reads the next piece of the file. Returns clean() (so far).
  bool Feed(const unsigned char* data, std::size_t size);
  // The file has ended: a character it cuts short is bad. Returns clean().
  bool Finish();
  bool clean() const { return clean_; }
  std::int64_t score() const { return counts_.score; }

 private:
  const ByteTables* tables_ = nullptr;
  HeldBytes held_;
  TableCounts counts_;
  bool clean_ = false;
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
  // As Start, but the first bad or unmapped sequence (or a lone UTF-16 surrogate)
  // ends the decoding, and failed() says so; through the tables, so does a NUL or an
  // eleventh counted control byte, as for TableReading. For the decision.
  bool StartStrict(TextEncoding from);
  bool failed() const { return failed_; }

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

  TextEncoding from_ = TextEncoding::Bytes;
  const ByteTables* tables_ = nullptr;  // for Cp932 and EucJp
  HeldBytes held_;
  TableCounts counts_;
  std::unique_ptr<Icu> icu_;  // the converters, kept from text to text
  bool failed_ = false;
  bool strict_ = false;
};

}  // namespace kolbrin
