// What text a file is searched as, decided by reading it once through a small buffer
// (a file of any size), and the decoding of a whole file in memory. The rules of the
// decision are in search/TextEncoding.h; the decoding itself is StreamDecoder's, in
// search/Transcoders.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "search/TextEncoding.h"
#include "search/Transcoders.h"

namespace kolbrin {

// Reads file bytes at `offset` into `buffer` (room `size`): the count, 0 at the end
// of the file.
using ReadAt =
    std::function<std::size_t(std::uint64_t offset, unsigned char* buffer, std::size_t size)>;

struct TextDecision {
  TextEncoding from = TextEncoding::Bytes;  // Bytes: the file is searched as it stands
  std::uint64_t skip = 0;                   // bytes at the start that are not text (a UTF-16
                                            // byte order mark)
  // Decided before the end of the file (see Decisions::MayStopEarly): `from` (CP932 or
  // EUC-JP) is the one reading left, and holds if the rest of the file decodes as it
  // without failing (StreamDecoder::StartChecked) and the decoder's counts at the end
  // look like Japanese (LooksJapanese); otherwise the file stands as it is.
  bool provisional = false;
};

// Whether a decision may stop reading once one reading is left for the rest of the
// file to confirm, so that the confirming is done by the decoding that the scan needs
// anyway, in the same pass.
enum class Decisions { Final, MayStopEarly };

// The decision for a whole file under `mode` (Auto or a forced encoding; Bytes gives
// Bytes), made by reading it through `scratch` (any size of at least one byte). Every
// check runs over each piece as it is read and stops once it has decided; the
// reading stops when all have. A file is read again only when its first reading
// leaves a question open: a file with an ISO-2022-JP designation is decoded as
// ISO-2022-JP, a file found not to be UTF-8 is read as CP932 and EUC-JP from its
// start, and a file forced as UTF-8 that is not well-formed is decoded.
TextDecision DecideFileText(TextEncoding mode, const ReadAt& read, unsigned char* scratch,
                            std::size_t scratchSize, Decisions decisions = Decisions::Final);

// How many bytes at the start of a file are looked at for a sign of UTF-16 without a
// byte order mark: a NUL byte or a counted control byte (HoldsCountedControl).
inline constexpr std::size_t kUtf16ProbeBytes = 4096;

// Whether [data, data + size) holds a NUL byte or another control byte that the
// scanner counts toward binary (IsCountedControl in search/Scanner.h: below 0x20, but
// for TAB, LF, CR and ESC).
bool HoldsCountedControl(const unsigned char* data, std::size_t size);

// Whether a file without a byte order mark is UTF-16, read through `scratch`: Utf16Le
// or Utf16Be when it is (the rule of search/TextEncoding.h, step 2), else Bytes. Reads
// nothing past the first kUtf16ProbeBytes unless these hold a counted control byte,
// and stops once neither byte order can hold.
TextEncoding DecideUtf16WithoutMark(const ReadAt& read, unsigned char* scratch,
                                    std::size_t scratchSize);

// Whether a file with an ISO-2022-JP designation is ISO-2022-JP (the rule of
// search/TextEncoding.h, step 3), read through `scratch` and decoded by `decoder`
// (started over; one kept from file to file keeps its converter): its reading, bad
// bytes kept, gets to the end of the file without giving up and has few bad bytes.
// The reading stops where it gives up.
bool ReadsAsIso2022Jp(const ReadAt& read, unsigned char* scratch, std::size_t scratchSize,
                      StreamDecoder& decoder);

// Whether a CP932 or EUC-JP reading that got to the end of the file with `counts`
// is taken: the rule of search/TextEncoding.h, step 5.
bool LooksJapanese(const TableCounts& counts);

// Whether the scan's own decoding of a provisional reading is taken, from its counts,
// which leave out the context of the characters (TableCounts::inWord and spaced):
// the context is read, by reading the file through `scratch` once more, only when it
// could change the answer, which text with kana and few letter-trailed characters
// never needs.
bool ProvisionalReadingHolds(TextEncoding from, const TableCounts& counts, const ReadAt& read,
                             unsigned char* scratch, std::size_t scratchSize);

// Decides and transcodes a whole file in memory, as a scan sees it; for the plain
// scanner, tests and tools. Returns the encoding decoded from (Bytes: the file as it
// stands) and sets `text` to the text searched.
TextEncoding DecodeFileText(TextEncoding mode, const unsigned char* bytes, std::size_t size,
                            std::string& text);

}  // namespace kolbrin
