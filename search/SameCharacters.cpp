#include "search/SameCharacters.h"

#include <cstring>
#include <string_view>

#include "platform/Text.h"

namespace kolbrin {
namespace {

struct Pair {
  std::string_view a;
  std::string_view b;
};

// Each pair in UTF-8: the JIS mapping, then the Windows one.
constexpr Pair kPairs[] = {
    {"\xE3\x80\x9C", "\xEF\xBD\x9E"},  // 〜 ～ wave dash
    {"\xE2\x80\x96", "\xE2\x88\xA5"},  // ‖ ∥ double vertical line
    {"\xE2\x88\x92", "\xEF\xBC\x8D"},  // − － minus sign
    {"\xC2\xA2", "\xEF\xBF\xA0"},      // ¢ ￠ cent sign
    {"\xC2\xA3", "\xEF\xBF\xA1"},      // £ ￡ pound sign
    {"\xC2\xAC", "\xEF\xBF\xA2"},      // ¬ ￢ not sign
};

bool StartsWith(const unsigned char* text, std::size_t available, std::string_view bytes) {
  return available >= bytes.size() && std::memcmp(text, bytes.data(), bytes.size()) == 0;
}

// The pair whose mapping starts at `text`, or -1; `length` is that mapping's length.
int PairAt(const unsigned char* text, std::size_t available, std::size_t& length) {
  for (int k = 0; k < static_cast<int>(std::size(kPairs)); ++k) {
    for (const std::string_view mapping : {kPairs[k].a, kPairs[k].b}) {
      if (StartsWith(text, available, mapping)) {
        length = mapping.size();
        return k;
      }
    }
  }
  return -1;
}

}  // namespace

void MappedString::Assign(const unsigned char* text, std::size_t length) {
  string_.assign(reinterpret_cast<const char*>(text), length);
  pieces_.clear();
  otherFirst_ = length != 0 ? text[0] : 0;
  bool mapped = false;
  std::size_t run = 0;  // where the run of other characters began
  for (std::size_t k = 0; k < length;) {
    std::size_t size = 0;
    const int pair = text[k] >= 0x80 ? PairAt(text + k, length - k, size) : -1;
    if (pair < 0) {
      ++k;
      continue;
    }
    if (k > run) pieces_.push_back(Piece{run, k - run, -1});
    if (k == 0) {
      const Pair& p = kPairs[pair];
      otherFirst_ =
          static_cast<unsigned char>(p.a[0] == static_cast<char>(text[0]) ? p.b[0] : p.a[0]);
    }
    pieces_.push_back(Piece{k, 0, pair});
    mapped = true;
    k += size;
    run = k;
  }
  if (!mapped) {
    pieces_.clear();
    return;
  }
  if (length > run) pieces_.push_back(Piece{run, length - run, -1});
}

std::size_t MappedString::Match(const unsigned char* text, std::size_t available,
                                bool caseSensitive) const {
  std::size_t at = 0;
  for (const Piece& piece : pieces_) {
    if (piece.pair >= 0) {
      const Pair& p = kPairs[piece.pair];
      if (StartsWith(text + at, available - at, p.a)) {
        at += p.a.size();
      } else if (StartsWith(text + at, available - at, p.b)) {
        at += p.b.size();
      } else {
        return 0;
      }
      continue;
    }
    if (available - at < piece.length) return 0;
    const std::string_view run(string_.data() + piece.start, piece.length);
    const std::string_view window(reinterpret_cast<const char*>(text + at), piece.length);
    const bool equal =
        caseSensitive ? window == run : platform::CompareTextIgnoreCase(window, run) == 0;
    if (!equal) return 0;
    at += piece.length;
  }
  return at;
}

}  // namespace kolbrin
