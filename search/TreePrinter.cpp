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

std::size_t PlainPrefix(std::string_view text, bool tabsAllowed) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  const auto isControl = [tabsAllowed](unsigned char byte) {
    return (byte < 0x20 && !(tabsAllowed && byte == '\t')) || byte == 0x7F;
  };
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kHighs = 0x8080808080808080u;
  std::size_t i = 0;
  // Eight bytes at a time while none is below 0x20 or 0x7F.
  for (; size - i >= 8; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes + i, sizeof word);
    const std::uint64_t below = (word - 0x20 * kOnes) & ~word & kHighs;
    const std::uint64_t del = ((word ^ (0x7F * kOnes)) - kOnes) & ~(word ^ (0x7F * kOnes)) & kHighs;
    if ((below | del) != 0) break;
  }
  for (; i < size; ++i) {
    if (isControl(bytes[i])) return i;
  }
  return size;
}

std::string ShownText(std::string_view text) {
  std::string shown;
  StringSink sink{shown};
  WriteShownText(sink, text);
  return shown;
}

}  // namespace kolbrin
