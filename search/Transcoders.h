// The transcoders FileText decodes a file with, to UTF-8: ICU's converters, and for
// CP932 and EUC-JP byte tables taken from them once; and the rule a decoded text must
// pass to be searched as text. What to decode from is decided in search/FileText.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "search/TextEncoding.h"

namespace kolbrin {

// Whether `text` would stay text for the scanner: no NUL byte, at most ten counted
// control bytes.
bool CountsAsText(const unsigned char* text, std::size_t size);

// Transcodes [in, in + size) from `encoding` to UTF-8 through ICU into `out`, which
// has room for `room` bytes. Strict: the whole input must be well-formed and mapped;
// otherwise each bad sequence becomes U+FFFD. Returns the UTF-8 length, or nothing.
std::optional<std::size_t> ConvertWithIcu(TextEncoding encoding, const unsigned char* in,
                                          std::size_t size, bool strict, unsigned char* out,
                                          std::size_t room);

// The byte tables of CP932 and EUC-JP hold every byte sequence ICU maps, with its
// UTF-8 and how much it counts toward the text looking Japanese. Decoding through
// them gives ICU's own result for a well-formed file, at table speed. They are
// built on first use and shared by all threads.

// Whether the tables of `encoding` (Cp932 or EucJp) could be built.
bool HasByteTables(TextEncoding encoding);

struct TableDecoding {
  bool clean = false;      // well-formed and mapped, and it counts as text
  std::size_t length = 0;  // of the UTF-8
  std::int64_t score = 0;  // the higher, the more it looks like Japanese text
};

// Decodes [in, in + size) from `encoding` (Cp932 or EucJp), stopping at the first
// sequence ICU would refuse; writes the UTF-8 to `out` when it is not null (it needs
// room for three bytes per input byte, plus 16).
TableDecoding DecodeByTables(TextEncoding encoding, const unsigned char* in, std::size_t size,
                             unsigned char* out);

// Decodes the whole of [in, in + size) into `out`, each byte that starts no mapped
// sequence becoming U+FFFD; control bytes are let through.
std::size_t DecodeByTablesReplacing(TextEncoding encoding, const unsigned char* in,
                                    std::size_t size, unsigned char* out);

}  // namespace kolbrin
