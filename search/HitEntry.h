// The result entry of one hit, in one place for every scanner: a sort prefix of 8
// upper-case hex digits (the hit's offset in the text searched), then the text of
// the hit's node, which begins with `LINE[<line number>]:` for a text hit or
// `BIN[<offset>]:` for a binary one. The result tree sorts on the prefix and shows
// the rest (search/ResultTree.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kolbrin {

inline constexpr std::size_t kSortPrefixLength = 8;

// The longest head a hit entry can have: the sort prefix, "LINE[", the digits of
// the largest 64-bit line number, "]:".
inline constexpr std::size_t kMaxHitHeadLength = kSortPrefixLength + 5 + 19 + 2;

// Each writer puts its text at `out`, without a terminating zero, and returns the
// end of what it wrote.

// The sort prefix of a hit at `offset`.
char* WriteSortPrefix(char* out, std::uint32_t offset);

// A text hit's node head, `LINE[0000000042]:`: the line number with at least ten
// digits, leading zeros added.
char* WriteLineHead(char* out, std::int64_t lineNumber);

// A binary hit's node head, `BIN[0000002A]:`.
char* WriteBinaryHead(char* out, std::uint32_t offset);

}  // namespace kolbrin
