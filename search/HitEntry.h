// The result entry of one hit, in one place for every scanner: a sort prefix (the
// hit's offset in the text searched), then the text of the hit's node, which begins
// with `LINE[<line number>]:` for a text hit or `BIN[<offset>]:` for a binary one.
// The result tree sorts on the prefix and shows the rest (search/ResultTree.h).
//
// The prefix is 8 upper-case hex digits while the offset fits them. A larger offset
// (a file of 4 GiB or more) gets "G" and 16 hex digits: "G" sorts after every hex
// digit, with case ignored too, so the prefixes still sort as the offsets do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kolbrin {

inline constexpr std::size_t kSortPrefixLength = 8;
inline constexpr std::size_t kLongSortPrefixLength = 17;

// The length of the sort prefix `entry` begins with.
constexpr std::size_t SortPrefixLength(std::string_view entry) {
  return !entry.empty() && entry[0] == 'G' ? kLongSortPrefixLength : kSortPrefixLength;
}

// The longest head a hit entry can have: the longest sort prefix, "LINE[", the
// digits of the largest 64-bit line number, "]:".
inline constexpr std::size_t kMaxHitHeadLength = kLongSortPrefixLength + 5 + 19 + 2;

// Each writer puts its text at `out`, without a terminating zero, and returns the
// end of what it wrote.

// The sort prefix of a hit at `offset`.
char* WriteSortPrefix(char* out, std::uint64_t offset);

// A text hit's node head, `LINE[0000000042]:`: the line number with at least ten
// digits, leading zeros added.
char* WriteLineHead(char* out, std::int64_t lineNumber);

// A binary hit's node head, `BIN[0000002A]:`: the offset with at least eight hex
// digits, leading zeros added.
char* WriteBinaryHead(char* out, std::uint64_t offset);

}  // namespace kolbrin
