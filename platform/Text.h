// Text comparison and upper-casing for the ANSI code page, which is UTF-8 here.
//
// Texts are byte strings. Valid UTF-8 sequences compare as characters, letters
// without regard to case (Unicode simple case folding, full-width Latin letters
// included); bytes that are not valid UTF-8 compare as single bytes. Folding goes
// to lower case, so "_" sorts before the letters. All functions are thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kolbrin::platform {

// Compares without regard to letter case: negative, zero or positive. Zero means
// the texts are equal as case-folded text (the same as FoldedTextKey equality).
int CompareTextIgnoreCase(std::string_view a, std::string_view b);

// CompareTextIgnoreCase with ties broken by the bytes: a strict total order, for
// sorting. Zero only for byte-identical texts.
int CompareTextOrdered(std::string_view a, std::string_view b);

// A key that is equal for two texts exactly when CompareTextIgnoreCase calls them
// equal; for hashing in duplicate tests.
std::string FoldedTextKey(std::string_view text);

// A hash that is equal for texts CompareTextIgnoreCase calls equal; it allocates
// nothing.
std::uint64_t FoldedTextHash(std::string_view text);

// Upper-cases every letter (Unicode simple upper-case mapping); invalid bytes and
// everything else stay as they are. The result may differ in byte length.
std::string UpperCaseText(std::string_view text);

// Strict-weak-order comparator for standard containers and algorithms.
struct TextOrderedLess {
  bool operator()(std::string_view a, std::string_view b) const {
    return CompareTextOrdered(a, b) < 0;
  }
};

}  // namespace kolbrin::platform
