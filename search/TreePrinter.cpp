#include "search/TreePrinter.h"

#include <unicode/utf8.h>

#include <cstdint>
#include <cstring>

namespace kolbrin {

Utf8Prefix SplitAtIllFormedUtf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  std::size_t i = 0;
  while (i < size) {
    // ASCII, the bulk of most lines, eight bytes at a time.
    if (size - i >= 8) {
      std::uint64_t word;
      std::memcpy(&word, bytes + i, sizeof word);
      if ((word & 0x8080808080808080u) == 0) {
        i += 8;
        continue;
      }
    }
    const std::size_t start = i;
    UChar32 c;
    U8_NEXT(bytes, i, size, c);
    // U8_NEXT stepped over the longest ill-formed start.
    if (c < 0) return Utf8Prefix{start, i - start};
  }
  return Utf8Prefix{size, 0};
}

std::string ShownText(std::string_view text) {
  std::string shown;
  StringSink sink{shown};
  WriteShownText(sink, text);
  return shown;
}

}  // namespace kolbrin
