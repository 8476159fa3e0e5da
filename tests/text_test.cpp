// Text comparison, folding and upper-casing over UTF-8 with stray bytes.
#include "platform/Text.h"

#include <gtest/gtest.h>
#include <unicode/uchar.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace kolbrin::platform {
namespace {

int Sign(int value) { return (value > 0) - (value < 0); }

TEST(TextCompare, IgnoresCaseOfAsciiAndOtherLetters) {
  struct Case {
    const char* a;
    const char* b;
    int expected;
  };
  const Case cases[] = {
      {"abc", "ABC", 0},
      {"abc", "abd", -1},
      {"abd", "ABC", 1},
      {"ab", "abc", -1},
      {"", "", 0},
      {"", "a", -1},
      {"_", "a", -1},  // folding goes to lower case: "_" before letters
      {"_", "A", -1},
      {"Z", "_", 1},
      {"ÄRGER", "ärger", 0},
      {"ＡＢＣ", "ａｂｃ", 0},  // full-width Latin letters
      {"ΣΊΣΥΦΟΣ", "σίσυφος", 0},
      {"Straße", "STRASSE", 1},  // simple folding: ß stays one letter
      {"\xE2\x84\xAA", "k", 0},  // KELVIN SIGN folds to k
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Sign(CompareTextIgnoreCase(c.a, c.b)), c.expected) << c.a << " vs " << c.b;
    EXPECT_EQ(Sign(CompareTextIgnoreCase(c.b, c.a)), -c.expected) << c.b << " vs " << c.a;
  }
}

TEST(TextCompare, InvalidBytesCompareAsSingleBytes) {
  EXPECT_EQ(CompareTextIgnoreCase("a\xFF", "A\xFF"), 0);
  EXPECT_NE(CompareTextIgnoreCase("a\xFE", "a\xFF"), 0);
  // A truncated sequence is not equal to the character it starts.
  EXPECT_NE(CompareTextIgnoreCase("\xC3", "\xC3\x84"), 0);
  // Stray continuation bytes do not swallow the letter after them.
  EXPECT_EQ(CompareTextIgnoreCase("\x80Z", "\x80z"), 0);
  EXPECT_EQ(CompareTextIgnoreCase("\xE3\x81Q", "\xE3\x81q"), 0);
  // Embedded zero bytes are ordinary bytes: lengths are given explicitly.
  EXPECT_NE(CompareTextIgnoreCase(std::string("a\0b", 3), std::string("a\0c", 3)), 0);
}

TEST(TextCompare, OrderedBreaksTiesByBytesOnly) {
  EXPECT_LT(CompareTextOrdered("ABC", "abc"), 0);
  EXPECT_GT(CompareTextOrdered("abc", "ABC"), 0);
  EXPECT_EQ(CompareTextOrdered("abc", "abc"), 0);
  EXPECT_LT(CompareTextOrdered("abc", "ABD"), 0);  // the folded order comes first
}

// Random strings over letters of both cases, multi-byte letters and stray bytes.
std::vector<std::string> RandomTexts(unsigned seed, int count) {
  static const char* const kPieces[] = {"a",    "A",    "b",  "B",  "_",
                                        "ä",    "Ä",    "ｚ", "Ｚ", "\xFF",
                                        "\xC3", "\x80", "ß",  "0",  "\xE2\x84\xAA",
                                        "k",    ""};
  std::mt19937 random(seed);
  std::vector<std::string> texts;
  for (int i = 0; i < count; ++i) {
    std::string text;
    const int pieces = static_cast<int>(random() % 5);
    for (int p = 0; p < pieces; ++p) text += kPieces[random() % std::size(kPieces)];
    texts.push_back(text);
  }
  return texts;
}

TEST(TextCompare, IsATotalOrderConsistentWithTheFoldedKey) {
  const std::vector<std::string> texts = RandomTexts(7, 120);
  for (const std::string& a : texts) {
    for (const std::string& b : texts) {
      const int ab = CompareTextIgnoreCase(a, b);
      ASSERT_EQ(Sign(ab), -Sign(CompareTextIgnoreCase(b, a))) << a << " / " << b;
      ASSERT_EQ(ab == 0, FoldedTextKey(a) == FoldedTextKey(b)) << a << " / " << b;
      if (ab == 0) {
        ASSERT_EQ(FoldedTextHash(a), FoldedTextHash(b)) << a << " / " << b;
      }
      ASSERT_EQ(CompareTextOrdered(a, b) == 0, a == b);
    }
  }
  std::vector<std::string> sorted = texts;
  std::sort(sorted.begin(), sorted.end(), TextOrderedLess{});
  for (std::size_t i = 1; i < sorted.size(); ++i) {
    ASSERT_LE(CompareTextOrdered(sorted[i - 1], sorted[i]), 0);
    for (std::size_t j = i + 1; j < sorted.size(); j += 7) {
      ASSERT_LE(CompareTextIgnoreCase(sorted[i - 1], sorted[j]), 0) << "transitivity";
    }
  }
}

TEST(TextUpper, UpperCasesLettersAndKeepsEverythingElse) {
  EXPECT_EQ(UpperCaseText("/home/Docs/Read Me.txt"), "/HOME/DOCS/READ ME.TXT");
  EXPECT_EQ(UpperCaseText("data.zip.txt"), "DATA.ZIP.TXT");
  EXPECT_EQ(UpperCaseText("ärger ｚ"), "ÄRGER Ｚ");
  EXPECT_EQ(UpperCaseText("straße"), "STRAßE");
  EXPECT_EQ(UpperCaseText("検索.txt"), "検索.TXT");
  EXPECT_EQ(UpperCaseText("a\xFF\xC3z"), "A\xFF\xC3Z");
  EXPECT_EQ(UpperCaseText(std::string("a\0b", 3)), std::string("A\0B", 3));
}

TEST(TextCompare, CaselessCharactersAreNoFoldingsTarget) {
  // Every character folding changes must fold to one that is not called caseless,
  // and every caseless one must fold to itself: otherwise a search that compares
  // the bytes of a caseless pattern would miss a window that folds to it.
  for (UChar32 c = 0; c <= 0x10FFFF; ++c) {
    const UChar32 folded = u_foldCase(c, U_FOLD_CASE_DEFAULT);
    if (platform::IsCaselessCharacter(c)) {
      ASSERT_EQ(folded, c) << "U+" << std::hex << c;
    } else if (folded != c) {
      ASSERT_FALSE(platform::IsCaselessCharacter(folded)) << "U+" << std::hex << c;
    }
  }
  EXPECT_TRUE(platform::MatchesOnlyItself("検索する、ｶﾅ 123!"));
  EXPECT_FALSE(platform::MatchesOnlyItself("検索a"));
  EXPECT_FALSE(platform::MatchesOnlyItself("ＡＢＣ"));
  EXPECT_FALSE(platform::MatchesOnlyItself("検\xE6"));
}

}  // namespace
}  // namespace kolbrin::platform
