#include "platform/Text.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace kolbrin::platform {
namespace {

// Keys for bytes that are not valid UTF-8 sort after every character.
constexpr std::int32_t kInvalidByteBase = 0x110000;

struct Unit {
  std::int32_t key;  // folded code point, or kInvalidByteBase + byte
  bool valid;
};

// Reads the next character or stray byte at `i` and advances past it.
inline Unit NextFoldedUnit(std::string_view s, std::int32_t& i) {
  const auto lead = static_cast<unsigned char>(s[static_cast<std::size_t>(i)]);
  if (lead < 0x80) {
    ++i;
    return {(lead >= 'A' && lead <= 'Z') ? lead + 0x20 : lead, true};
  }
  const std::int32_t start = i;
  UChar32 c = 0;
  U8_NEXT(reinterpret_cast<const std::uint8_t*>(s.data()), i, static_cast<std::int32_t>(s.size()),
          c);
  if (c < 0) {
    // A broken sequence counts byte by byte, not by its maximal subpart.
    i = start + 1;
    return {kInvalidByteBase + lead, false};
  }
  return {static_cast<std::int32_t>(u_foldCase(c, U_FOLD_CASE_DEFAULT)), true};
}

void AppendUtf8(std::string& text, UChar32 c) {
  char buffer[U8_MAX_LENGTH];
  std::int32_t length = 0;
  U8_APPEND_UNSAFE(buffer, length, c);
  text.append(buffer, static_cast<std::size_t>(length));
}

}  // namespace

int CompareTextIgnoreCase(std::string_view a, std::string_view b) {
  // Identical ASCII bytes are identical units: skip the common ASCII prefix at once.
  const std::size_t common = std::min(a.size(), b.size());
  std::size_t k = 0;
  // Eight bytes at a time first: paths of one folder share long prefixes.
  for (; k + 8 <= common; k += 8) {
    std::uint64_t x;
    std::uint64_t y;
    std::memcpy(&x, a.data() + k, 8);
    std::memcpy(&y, b.data() + k, 8);
    if (x != y || (x & 0x8080808080808080u) != 0) break;
  }
  while (k < common && a[k] == b[k] && static_cast<unsigned char>(a[k]) < 0x80) ++k;
  // Two ASCII bytes that differ also when folded decide at once, as names sorted in
  // one folder mostly do.
  if (k < common) {
    const auto x = static_cast<unsigned char>(a[k]);
    const auto y = static_cast<unsigned char>(b[k]);
    if (x < 0x80 && y < 0x80) {
      const int foldedX = (x >= 'A' && x <= 'Z') ? x + 0x20 : x;
      const int foldedY = (y >= 'A' && y <= 'Z') ? y + 0x20 : y;
      if (foldedX != foldedY) return foldedX < foldedY ? -1 : 1;
    }
  }
  auto i = static_cast<std::int32_t>(k);
  auto j = static_cast<std::int32_t>(k);
  const auto na = static_cast<std::int32_t>(a.size());
  const auto nb = static_cast<std::int32_t>(b.size());
  while (i < na && j < nb) {
    const Unit ua = NextFoldedUnit(a, i);
    const Unit ub = NextFoldedUnit(b, j);
    if (ua.key != ub.key) return ua.key < ub.key ? -1 : 1;
  }
  if (i < na) return 1;
  if (j < nb) return -1;
  return 0;
}

bool IsCaselessCharacter(std::int32_t c) {
  if (c < 0x80) return !((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'));
  return (c >= 0x3000 && c <= 0x9FFF) || (c >= 0xF900 && c <= 0xFAFF) ||
         (c >= 0xFF61 && c <= 0xFF9F);
}

bool MatchesOnlyItself(std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  for (std::int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (c < 0 || !IsCaselessCharacter(c)) return false;
  }
  return true;
}

int CompareTextOrdered(std::string_view a, std::string_view b) {
  if (const int folded = CompareTextIgnoreCase(a, b); folded != 0) return folded;
  const int bytes = a.compare(b);
  return bytes < 0 ? -1 : (bytes > 0 ? 1 : 0);
}

std::string FoldedTextKey(std::string_view text) {
  std::string key;
  key.reserve(text.size());
  std::int32_t i = 0;
  const auto n = static_cast<std::int32_t>(text.size());
  while (i < n) {
    const std::int32_t start = i;
    const Unit u = NextFoldedUnit(text, i);
    if (!u.valid) {
      // 0xFF never occurs in UTF-8, so a marked stray byte cannot collide with a character.
      key.push_back('\xFF');
      key.push_back(text[static_cast<std::size_t>(start)]);
    } else if (u.key < 0x80) {
      key.push_back(static_cast<char>(u.key));
    } else {
      AppendUtf8(key, u.key);
    }
  }
  return key;
}

std::uint64_t FoldedTextHash(std::string_view text) {
  // FNV-1a over the folded units.
  std::uint64_t hash = 0xcbf29ce484222325u;
  std::int32_t i = 0;
  const auto n = static_cast<std::int32_t>(text.size());
  while (i < n) {
    hash ^= static_cast<std::uint32_t>(NextFoldedUnit(text, i).key);
    hash *= 0x100000001b3u;
  }
  return hash;
}

std::string UpperCaseText(std::string_view text) {
  // ASCII, as most paths are, is upper-cased in place up to the first other byte.
  std::string upper(text);
  std::size_t ascii = 0;
  for (; ascii < upper.size(); ++ascii) {
    const auto byte = static_cast<unsigned char>(upper[ascii]);
    if (byte >= 0x80) break;
    if (byte >= 'a' && byte <= 'z') upper[ascii] = static_cast<char>(byte - 0x20);
  }
  if (ascii == upper.size()) return upper;
  upper.resize(ascii);
  auto i = static_cast<std::int32_t>(ascii);
  const auto n = static_cast<std::int32_t>(text.size());
  while (i < n) {
    const auto lead = static_cast<unsigned char>(text[static_cast<std::size_t>(i)]);
    if (lead < 0x80) {
      upper.push_back(static_cast<char>((lead >= 'a' && lead <= 'z') ? lead - 0x20 : lead));
      ++i;
      continue;
    }
    const std::int32_t start = i;
    UChar32 c = 0;
    U8_NEXT(reinterpret_cast<const std::uint8_t*>(text.data()), i, n, c);
    if (c < 0) {
      i = start + 1;
      upper.push_back(static_cast<char>(lead));
      continue;
    }
    AppendUtf8(upper, u_toupper(c));
  }
  return upper;
}

}  // namespace kolbrin::platform
