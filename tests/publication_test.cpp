// The publication rule and the tree's text form.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "search/HitEntry.h"
#include "search/ResultTree.h"
#include "search/TreePrinter.h"

namespace kolbrin {
namespace {

using Texts = std::vector<std::string>;

TEST(Publication, OrdersByOffsetAndDropsThePrefix) {
  TextList results{"0000000ALINE[0000000003]:ten", "00000009LINE[0000000002]:nine",
                   "000001F3BIN[000001F3]:x", "00000000LINE[0000000001]:zero"};
  EXPECT_EQ(ShownHitTexts(results, kPassesNotKnown),
            (Texts{"LINE[0000000001]:zero", "LINE[0000000002]:nine", "LINE[0000000003]:ten",
                   "BIN[000001F3]:x"}));
}

TEST(Publication, EqualTextsIgnoringCaseAreShownOnceAtTheLowerOffset) {
  TextList results{"00000010LINE[0000000001]:Alpha beta", "00000004LINE[0000000002]:other",
                   "00000002LINE[0000000001]:Alpha beta", "00000030BIN[00000030]:abc",
                   "00000030BIN[00000030]:ABC",           "00000031BIN[00000031]:abc"};
  EXPECT_EQ(ShownHitTexts(results, kPassesNotKnown),
            (Texts{"LINE[0000000001]:Alpha beta", "LINE[0000000002]:other", "BIN[00000030]:ABC",
                   "BIN[00000031]:abc"}));
}

TEST(Publication, SameOffsetOrdersByTheRestOfTheText) {
  TextList results{"00000005LINE[0000000001]:b", "00000005LINE[0000000001]:a"};
  EXPECT_EQ(ShownHitTexts(results, kPassesNotKnown),
            (Texts{"LINE[0000000001]:a", "LINE[0000000001]:b"}));
}

TEST(Publication, TwoPassRunsAndShuffledEntriesGiveTheSameOrder) {
  // Two passes append two sorted runs; any order of the same entries publishes alike.
  TextList runs{"00000001LINE[0000000001]:a", "00000009LINE[0000000002]:b",
                "00000003LINE[0000000001]:a", "0000000ALINE[0000000003]:c"};
  TextList shuffled{runs[3], runs[1], runs[0], runs[2]};
  const Texts expected{"LINE[0000000001]:a", "LINE[0000000002]:b", "LINE[0000000003]:c"};
  EXPECT_EQ(ShownHitTexts(runs, 2), expected);
  EXPECT_EQ(ShownHitTexts(shuffled, kPassesNotKnown), expected);
}

TEST(Publication, OffsetsPastFourGibibytesSortAfterTheOthersAndShowAllTheirDigits) {
  const auto binary = [](std::uint64_t offset) {
    char entry[kMaxHitHeadLength + 1];
    char* end = WriteBinaryHead(WriteSortPrefix(entry, offset), offset);
    *end++ = 'k';
    return std::string(entry, end);
  };
  EXPECT_EQ(binary(0xFFFFFFFF), "FFFFFFFFBIN[FFFFFFFF]:k");
  EXPECT_EQ(binary(0x100000000), "G0000000100000000BIN[100000000]:k");
  TextList results{binary(0x200000000), binary(0x10000000F), binary(0xFFFFFFFF),
                   binary(0x100000000), binary(0x12)};
  EXPECT_EQ(ShownHitTexts(results, kPassesNotKnown),
            (Texts{"BIN[00000012]:k", "BIN[FFFFFFFF]:k", "BIN[100000000]:k", "BIN[10000000F]:k",
                   "BIN[200000000]:k"}));
}

TEST(Publication, PrefixesThatAreNotUpperCaseHexSortAsFoldedText) {
  // Upper-case hex prefixes order by their bytes; anything else in the first eight
  // bytes falls back to the folded order, where 'b' sorts after 'A' and '_' before
  // 'a' although its byte lies between the two cases.
  TextList results{"0000000bLINE[0000000002]:x", "0000000ALINE[0000000001]:y",
                   "0000000_LINE[0000000003]:z", "00000009LINE[0000000004]:w", "short"};
  EXPECT_EQ(ShownHitTexts(results, kPassesNotKnown),
            (Texts{"LINE[0000000004]:w", "LINE[0000000003]:z", "LINE[0000000001]:y",
                   "LINE[0000000002]:x", ""}));
}

TEST(TreeText, MarksExpandedCollapsedAndEmptyFiles) {
  ResultTree tree;
  const auto expandedOf = [](std::size_t i) { return i != 1; };
  EXPECT_EQ(TreeText(tree.Files(), expandedOf), "");
  tree.AddFile("/p", {"LINE[0000000001]:one", "LINE[0000000002]:two"});
  tree.AddFile("/q", {"BIN[00000000]:x"});
  tree.AddFile("/r", {});
  EXPECT_EQ(TreeText(tree.Files(), expandedOf),
            "-/p\n\tLINE[0000000001]:one\n\tLINE[0000000002]:two\n+/q\n /r\n");
  EXPECT_EQ(tree.HitCount(), 3u);
}

// The first control byte is found wherever it lies, in the vector blocks, the
// overlapping last block and the bytes after them, and a TAB only counts in a path.
TEST(RawTextForm, FindsTheFirstControlByteAtEveryPlace) {
  for (std::size_t size = 0; size <= 100; ++size) {
    for (std::size_t at = 0; at <= size; ++at) {
      for (const char control : {'\n', '\x1b', '\x7f', '\t', '\0'}) {
        std::string text(size, 'a');
        if (at < size) text[at] = control;
        const bool tab = control == '\t';
        EXPECT_EQ(PlainPrefix(text, false), at) << size << " " << at;
        EXPECT_EQ(PlainPrefix(text, true), tab ? size : at) << size << " " << at;
      }
    }
  }
  // Bytes of UTF-8 text and raw bytes from 0x80 on are no control bytes.
  EXPECT_EQ(PlainPrefix("\xE6\xA4\x9C\xFF\x80 abcdefghijklmnopqrstuvwxyz0123456789", false), 42u);
}

}  // namespace
}  // namespace kolbrin
