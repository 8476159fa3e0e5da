// The characters that Japanese text holds in two mappings: the Unicode tables of
// Windows and of JIS (and so EUC-JP and ISO-2022-JP decoded one way, or UTF-8 files
// written on different systems) give different code points for the same character.
// A search finds each of them in either mapping, case ignored or kept, as it is one
// character and not a case: 〜 U+301C and ～ U+FF5E, ‖ U+2016 and ∥ U+2225,
// − U+2212 and － U+FF0D, ¢ U+00A2 and ￠ U+FFE0, £ U+00A3 and ￡ U+FFE1,
// ¬ U+00AC and ￢ U+FFE2.
//
// The mappings of a pair may differ in UTF-8 length (¢ is two bytes, ￠ three), so
// the text a string matches may be longer or shorter than the string: at most
// kLongestMappedMatch bytes.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kolbrin {

// The longest text a string of at most 255 bytes can match: each two-byte mapping
// may stand for a three-byte one.
inline constexpr std::size_t kLongestMappedMatch = 255 + 255 / 2;

// A search string cut into what it compares as it stands and the characters it
// finds in either mapping.
class MappedString {
 public:
  // Cuts `length` bytes at `text`. Empty when they hold none of the characters, and
  // the string then compares as before.
  void Assign(const unsigned char* text, std::size_t length);
  bool empty() const { return pieces_.empty(); }

  // The first byte of the string's first character in its other mapping; the
  // string's own first byte when that character has only one.
  unsigned char OtherFirstByte() const { return otherFirst_; }

  // The length of the text at `text` (of which `available` bytes may be read) that
  // matches the string, or 0 when it does not match. The runs of other characters
  // compare exactly, or, case ignored, as text without regard to case
  // (platform::CompareTextIgnoreCase) over as many bytes as the run has.
  std::size_t Match(const unsigned char* text, std::size_t available, bool caseSensitive) const;

 private:
  struct Piece {
    std::size_t start = 0;   // in string_
    std::size_t length = 0;  // bytes of a run; 0 for a mapped character
    int pair = -1;           // the mapped character's pair, or -1 for a run
  };
  std::string string_;
  std::vector<Piece> pieces_;
  unsigned char otherFirst_ = 0;
};

}  // namespace kolbrin
