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

// Whether `text` is equal, case ignored, only to exactly its own bytes: well-formed
// UTF-8 made only of characters that folding leaves as they are and that no other
// character folds to (ASCII other than letters, kana, CJK ideographs and
// punctuation, half-width katakana). A search for such a text can compare bytes.
bool MatchesOnlyItself(std::string_view text);

// Whether folding leaves `c` as it is and turns no other character into it; the
// characters MatchesOnlyItself accepts.
bool IsCaselessCharacter(std::int32_t c);

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
