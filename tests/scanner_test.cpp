// The plain scanner, corner by corner. Every case runs at several chunk sizes, as
// the results must not depend on where a chunk ends.
#include "search/Scanner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "search/HitEntry.h"
#include "search/ResultTree.h"
#include "tests/TestSupport.h"

namespace kolbrin {
namespace {

using test::ScanOutcome;
using test::TempFolder;

SearchSettings Settings(std::string string1, std::string string2 = "", bool caseSensitive = false,
                        std::int32_t andMode = kAndMode, std::int32_t tabWidth = 8) {
  return SearchSettings{std::move(string1), std::move(string2), caseSensitive, tabWidth, andMode};
}

constexpr std::uint32_t kChunkSizes[] = {1, 2, 3, 7, kChunkSize};

// Scans `bytes` at every chunk size, checks that they agree, and returns the
// published hit texts.
std::vector<std::string> HitsOf(const std::string& bytes, const SearchSettings& settings,
                                ScanResult* result = nullptr) {
  TempFolder folder;
  const std::string path = folder.Write("input.txt", bytes);
  TextList first;
  ScanResult firstResult = ScanResult::ScanMore;
  for (const std::uint32_t chunk : kChunkSizes) {
    auto scanner = MakePlainScanner(settings);
    ScanOutcome outcome = test::ScanToEnd(*scanner, path, chunk);
    TextList hits = ShownHitTexts(outcome.entries, outcome.firstPassEntries);
    if (chunk == kChunkSizes[0]) {
      first = hits;
      firstResult = outcome.result;
    } else {
      EXPECT_EQ(first, hits) << "chunk=" << chunk;
      EXPECT_EQ(firstResult, outcome.result) << "chunk=" << chunk;
    }
  }
  if (result != nullptr) *result = firstResult;
  return std::vector<std::string>(first.begin(), first.end());
}

using Hits = std::vector<std::string>;

TEST(ScanText, ReportsLineNumberAndWholeLineOfEachHit) {
  const std::string text = "one\ntwo\nthe needle here\nfour\nfive\nsix\nneedle again\neight\n";
  EXPECT_EQ(HitsOf(text, Settings("needle")),
            (Hits{"LINE[0000000003]:the needle here", "LINE[0000000007]:needle again"}));
}

TEST(ScanText, OneTextHitPerLineButBinaryHitsDoNotMerge) {
  EXPECT_EQ(HitsOf("ab ab ab\nab\n", Settings("ab")),
            (Hits{"LINE[0000000001]:ab ab ab", "LINE[0000000002]:ab"}));
  const std::string binary = std::string(11, '\0') + "xyzxyz";
  EXPECT_EQ(HitsOf(binary, Settings("xyz")), (Hits{"BIN[0000000B]:xyz", "BIN[0000000E]:xyz"}));
}

TEST(ScanText, FailedCandidateResumesAtTheNextByte) {
  EXPECT_EQ(HitsOf("aaab\n", Settings("aab")), (Hits{"LINE[0000000001]:aaab"}));
  const std::string binary = std::string(11, '\x01') + "aaab";
  EXPECT_EQ(HitsOf(binary, Settings("aab")), (Hits{"BIN[0000000C]:aab"}));
}

TEST(ScanBinary, EleventhControlByteTurnsTheRestOfThePassBinary) {
  const std::string tenNuls = std::string(10, '\0') + "\nfind me\n";
  EXPECT_EQ(HitsOf(tenNuls, Settings("find")), (Hits{"LINE[0000000002]:find me"}));
  const std::string elevenNuls = "find first\n" + std::string(11, '\0') + "\nfind me\n";
  EXPECT_EQ(HitsOf(elevenNuls, Settings("find")),
            (Hits{"LINE[0000000001]:find first", "BIN[00000017]:find"}));
}

TEST(ScanBinary, EscIsToleratedBeforeTheHitButEndsTheLineAfterIt) {
  EXPECT_EQ(HitsOf("a\x1b[1mkey\n", Settings("key")), (Hits{"LINE[0000000001]:a\x1b[1mkey"}));
  // ESC after the hit ends the line text and makes the rest of the pass binary.
  EXPECT_EQ(HitsOf("key one\x1btail\nkey two\n", Settings("key")),
            (Hits{"LINE[0000000001]:key one", "BIN[0000000D]:key"}));
  // In the main scan ESC is not counted: twelve of them leave the file text.
  EXPECT_EQ(HitsOf(std::string(12, '\x1b') + "\nkey\n", Settings("key")),
            (Hits{"LINE[0000000002]:key"}));
}

TEST(ScanText, TabBecomesExactlyTabWidthSpaces) {
  EXPECT_EQ(HitsOf("\tx\tkey\t\n", Settings("key", "", false, kAndMode, 3)),
            (Hits{"LINE[0000000001]:   x   key   "}));
  EXPECT_EQ(HitsOf("a\tkey\n", Settings("key", "", false, kAndMode, 1)),
            (Hits{"LINE[0000000001]:a key"}));
}

TEST(ScanText, LongLinesAreCutTo235BytesAndEllipsis) {
  const auto lineOf = [](std::size_t length) { return "key" + std::string(length - 3, 'x'); };
  EXPECT_EQ(HitsOf(lineOf(300) + "\n", Settings("key")),
            (Hits{"LINE[0000000001]:" + lineOf(235) + "..."}));
  EXPECT_EQ(HitsOf(lineOf(238) + "\n", Settings("key")),
            (Hits{"LINE[0000000001]:" + lineOf(235) + "..."}));
  EXPECT_EQ(HitsOf(lineOf(237) + "\n", Settings("key")), (Hits{"LINE[0000000001]:" + lineOf(237)}));
  // A hit far into a long line still shows the line's start.
  const std::string late = std::string(400, 'y') + "key\n";
  EXPECT_EQ(HitsOf(late, Settings("key")),
            (Hits{"LINE[0000000001]:" + std::string(235, 'y') + "..."}));
}

// The cap keeps a well-formed UTF-8 character whole or not at all; bytes that are no
// such character are cut at byte 235 as ever.
TEST(ScanText, LongLinesAreCutBeforeACharacterTheCapWouldSplit) {
  const auto times = [](const std::string& piece, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += piece;
    return text;
  };
  struct Case {
    const char* label;
    std::string line;
    std::string shown;  // the hit line's text, up to and with its "..."
  };
  const Case cases[] = {
      // 漢 at 234..236: 78 kanji stay.
      {"kanji from byte 0", times("漢", 100), times("漢", 78) + "..."},
      // 漢 at 235..237 begins just after the kept bytes: nothing is cut.
      {"kanji after 1 byte", "k" + times("漢", 100), "k" + times("漢", 78) + "..."},
      // 漢 at 233..235.
      {"kanji after 2 bytes", "kk" + times("漢", 100), "kk" + times("漢", 77) + "..."},
      // ä at 234..235.
      {"two-byte letters", times("ä", 150), times("ä", 117) + "..."},
      // 𠀋 at 232..235: the cut goes three bytes back.
      {"four-byte characters", times("𠀋", 70), times("𠀋", 58) + "..."},
      // A line of exactly the capacity is cut the same way.
      {"238 bytes", "kk" + times("漢", 78) + "xx", "kk" + times("漢", 77) + "..."},
      // A lead byte whose continuation is missing is no character: cut as before.
      {"lead byte without its continuation",
       "k" + std::string(233, 'x') + "\xE6\xBC" + std::string(20, 'x'),
       "k" + std::string(233, 'x') + "\xE6..."},
      // Latin-1 bytes, and a surrogate's encoding, are no UTF-8 characters either.
      {"latin-1 bytes", "kk" + times("\xE9t", 120), "kk" + times("\xE9t", 116) + "\xE9..."},
      {"encoded surrogate", "k" + std::string(233, 'x') + "\xED\xA0\x80" + std::string(9, 'x'),
       "k" + std::string(233, 'x') + "\xED..."},
      {"invalid bytes to the end", "k" + std::string(300, '\xFF'),
       "k" + std::string(234, '\xFF') + "..."},
  };
  for (const Case& c : cases) {
    // The line's first two bytes, searched in the file's bytes as they stand.
    SearchSettings settings = Settings(c.line.substr(0, 2), "", true);
    settings.Encoding = TextEncoding::Bytes;
    EXPECT_EQ(HitsOf(c.line + "\n", settings), (Hits{"LINE[0000000001]:" + c.shown})) << c.label;
  }
}

TEST(ScanText, CarriageReturnsNeverShowAndDoNotCountLines) {
  const Hits expected{"LINE[0000000002]:the key", "LINE[0000000003]:key two"};
  EXPECT_EQ(HitsOf("one\r\nthe key\r\nkey two\r\n", Settings("key")), expected);
  EXPECT_EQ(HitsOf("one\nthe key\nkey two\n", Settings("key")), expected);
  // A CR is overwritten by the byte after it, before and after the hit alike.
  EXPECT_EQ(HitsOf("a\rb key c\rd\n", Settings("key")), (Hits{"LINE[0000000001]:ab key cd"}));
  // CR-only line ends make one line.
  EXPECT_EQ(HitsOf("x\rkey\ry\r", Settings("key")), (Hits{"LINE[0000000001]:xkeyy"}));
}

TEST(ScanText, ZeroByteBeforeTheHitCutsTheLineText) {
  EXPECT_EQ(HitsOf(std::string("ab\0cd key\n", 10), Settings("key")),
            (Hits{"LINE[0000000001]:ab"}));
}

TEST(ScanText, OtherControlBytesStayInTheLineText) {
  EXPECT_EQ(HitsOf("a\x02 key\n", Settings("key")), (Hits{"LINE[0000000001]:a\x02 key"}));
}

TEST(ScanCase, IgnoredCaseComparesTextButBinaryOnlyTheFirstByte) {
  EXPECT_EQ(HitsOf("x Abc y\n", Settings("aBC")), (Hits{"LINE[0000000001]:x Abc y"}));
  EXPECT_EQ(HitsOf("x Abc y\n", Settings("aBC", "", /*caseSensitive=*/true)), Hits{});
  const std::string binary = std::string(11, '\0');
  EXPECT_EQ(HitsOf(binary + "Abc", Settings("aBC")), Hits{});
  EXPECT_EQ(HitsOf(binary + "ABC", Settings("aBC")), (Hits{"BIN[0000000B]:ABC"}));
}

TEST(ScanCase, IgnoredCaseFoldsLettersBeyondAscii) {
  // The candidate test looks at the first byte only; the rest compares as text.
  EXPECT_EQ(HitsOf("Straße ÄRGER\n", Settings("ärger")), (Hits{"LINE[0000000001]:Straße ÄRGER"}));
  EXPECT_EQ(HitsOf("ＡＢＣ\n", Settings("ａｂｃ")), (Hits{"LINE[0000000001]:ＡＢＣ"}));
  EXPECT_EQ(HitsOf("ＡＢＣ\n", Settings("ａｂｃ", "", true)), Hits{});
}

TEST(ScanPasses, AndNeedsBothStrings) {
  ScanResult result;
  EXPECT_EQ(HitsOf("alpha\nbeta\n", Settings("alpha", "gamma"), &result), Hits{});
  EXPECT_EQ(result, ScanResult::ScanNoHits);
  EXPECT_EQ(HitsOf("alpha\nbeta\n", Settings("gamma", "alpha"), &result), Hits{});
  EXPECT_EQ(result, ScanResult::ScanNoHits);
  EXPECT_EQ(HitsOf("beta\nalpha\n", Settings("alpha", "beta"), &result),
            (Hits{"LINE[0000000001]:beta", "LINE[0000000002]:alpha"}));
  EXPECT_EQ(result, ScanResult::ScanHits);
}

TEST(ScanPasses, OrKeepsTheHitsOfEither) {
  ScanResult result;
  EXPECT_EQ(HitsOf("alpha\nbeta\n", Settings("gamma", "beta", false, kOrMode), &result),
            (Hits{"LINE[0000000002]:beta"}));
  EXPECT_EQ(result, ScanResult::ScanHits);
  EXPECT_EQ(HitsOf("alpha\n", Settings("gamma", "delta", false, kOrMode), &result), Hits{});
  EXPECT_EQ(result, ScanResult::ScanNoHits);
}

TEST(ScanPasses, LineHitByBothStringsIsShownOnce) {
  EXPECT_EQ(HitsOf("one alpha beta\ntwo\n", Settings("beta", "alpha")),
            (Hits{"LINE[0000000001]:one alpha beta"}));
  EXPECT_EQ(HitsOf("one alpha beta\n", Settings("beta", "alpha", false, kOrMode)),
            (Hits{"LINE[0000000001]:one alpha beta"}));
}

TEST(ScanPasses, EachPassStartsAsText) {
  // The first pass turns binary at the ESC after its hit; the second starts afresh.
  EXPECT_EQ(HitsOf("foo\x1b\nbar\n", Settings("foo", "bar", false, kOrMode)),
            (Hits{"LINE[0000000001]:foo", "LINE[0000000002]:bar"}));
}

TEST(ScanPasses, SameStringTwiceMakesOnePass) {
  TempFolder folder;
  const std::string path = folder.Write("f", "x key\n");
  auto scanner = MakePlainScanner(Settings("key", "key", false, kOrMode));
  const ScanOutcome outcome = test::ScanToEnd(*scanner, path, kChunkSize);
  EXPECT_EQ(outcome.entries.size(), 1u);
  EXPECT_EQ(outcome.result, ScanResult::ScanHits);
}

TEST(ScanChunks, HitLineAcrossAChunkBoundaryShowsTheWholeLine) {
  const std::string text = std::string(10230, 'a') + "\n" + "0123456789key-tail\n";
  EXPECT_EQ(HitsOf(text, Settings("key")), (Hits{"LINE[0000000002]:0123456789key-tail"}));
}

TEST(ScanChunks, CallExaminesAtMostLimitPlusOneBytes) {
  TempFolder folder;
  const auto steps = [&](std::size_t size, std::uint32_t chunk) {
    const std::string path = folder.Write("f", std::string(size, 'x'));
    auto scanner = MakePlainScanner(Settings("q"));
    return test::ScanToEnd(*scanner, path, chunk).steps;
  };
  EXPECT_EQ(steps(0, 4), 1);
  EXPECT_EQ(steps(4, 4), 1);
  EXPECT_EQ(steps(5, 4), 2);  // the fifth byte ends the first call's budget
  EXPECT_EQ(steps(9, 4), 2);
  EXPECT_EQ(steps(10, 4), 3);
}

TEST(ScanFiles, EmptyAndUnreadableFilesHaveNoHits) {
  ScanResult result;
  EXPECT_EQ(HitsOf("", Settings("key"), &result), Hits{});
  EXPECT_EQ(result, ScanResult::ScanNoHits);

  auto scanner = MakePlainScanner(Settings("key"));
  const ScanOutcome outcome = test::ScanToEnd(*scanner, "/nonexistent/kolbrin/file", kChunkSize);
  EXPECT_EQ(outcome.result, ScanResult::ScanNoHits);
  EXPECT_EQ(outcome.steps, 1);
  EXPECT_TRUE(outcome.entries.empty());
  EXPECT_EQ(scanner->CurrentFile(), "/nonexistent/kolbrin/file");
  EXPECT_TRUE(scanner->LoadFailed());
}

TEST(ScanFiles, SamePathIsLoadedAgainAfterTheReset) {
  TempFolder folder;
  const std::string path = folder.Write("f", "key\n");
  auto scanner = MakePlainScanner(Settings("key"));
  EXPECT_EQ(test::ScanToEnd(*scanner, path, kChunkSize).entries.size(), 1u);
  folder.Write("f", "key\nkey\n");
  EXPECT_EQ(test::ScanToEnd(*scanner, path, kChunkSize).entries.size(), 2u);
}

TEST(ScanEntries, CarrySortPrefixOfTheHitOffset) {
  TempFolder folder;
  const std::string path = folder.Write("f", std::string(0x1F3, 'x') + "key\n");
  auto scanner = MakePlainScanner(Settings("key"));
  const ScanOutcome outcome = test::ScanToEnd(*scanner, path, kChunkSize);
  ASSERT_EQ(outcome.entries.size(), 1u);
  EXPECT_EQ(outcome.entries[0].substr(0, 26), "000001F3LINE[0000000001]:x");
}

// A sparse file of 4.5 GiB: its holes read as zero bytes, so the hit at its end is a
// binary hit, at an offset that needs more than eight hex digits. In memory where
// there is a tmpfs, whose holes read fastest.
TEST(ScanLargeFiles, AHitPastFourGibibytesIsFound) {
  TempFolder folder;
  std::string path = "/dev/shm/kolbrin-sparse-" + std::to_string(::getpid());
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    path = folder.path() + "/sparse.log";
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  }
  ASSERT_GE(fd, 0);
  struct Remove {
    std::string path;
    ~Remove() { ::unlink(path.c_str()); }
  } remove{path};
  const std::uint64_t offset = (std::uint64_t{9} << 29) + 3;
  ASSERT_EQ(::pwrite(fd, "key\n", 4, static_cast<off_t>(offset)), 4);
  ::close(fd);
  auto scanner = MakeFastScanner(Settings("key", "", true));
  ScanOutcome outcome = test::ScanToEnd(*scanner, path, 1u << 30);
  EXPECT_EQ(outcome.result, ScanResult::ScanHits);
  EXPECT_EQ(ShownHitTexts(outcome.entries, outcome.firstPassEntries), (Hits{"BIN[120000003]:key"}));
}

// What was read is searched; nothing more is waited for, and nothing crashes.
TEST(ScanLargeFiles, AFileThatShrinksOrGrowsWhileItIsScanned) {
  TempFolder folder;
  std::string text;
  for (int line = 1; line <= 2000; ++line) text += "line " + std::to_string(line) + " key\n";
  for (const bool grow : {false, true}) {
    const std::string path = folder.Write("changing.log", text);
    auto scanner = MakeFastScanner(Settings("key"), VectorWidth::Widest, 4096);
    scanner->ResetForFile();
    ASSERT_EQ(scanner->ScanStep(path, 100), ScanResult::ScanMore);
    if (grow) {
      folder.Write("changing.log", text + text);
    } else {
      ASSERT_EQ(::truncate(path.c_str(), 10000), 0);
    }
    ScanResult result;
    int steps = 0;
    do {
      result = scanner->ScanStep(path, 100);
    } while (result == ScanResult::ScanMore && ++steps < 100000);
    ASSERT_EQ(result, ScanResult::ScanHits) << (grow ? "grow" : "shrink");
    const std::size_t hits = scanner->Results().size();
    if (grow) {
      EXPECT_EQ(hits, 4000u) << "the file is read as far as it has grown";
    } else {
      EXPECT_GT(hits, 100u);
      EXPECT_LT(hits, 2000u);
    }
  }
}

// The line number is written two digits at a time; an odd count of digits, or one
// beyond ten, must come out as printf would write it.
TEST(ScanEntries, LineNumbersOfEveryLengthKeepAllTheirDigits) {
  for (const std::int64_t line : {std::int64_t{1}, std::int64_t{42}, std::int64_t{9'999'999'999},
                                  std::int64_t{10'000'000'000}, std::int64_t{123'456'789'012},
                                  std::int64_t{9'223'372'036'854'775'807}}) {
    char expected[48];
    std::snprintf(expected, sizeof expected,
                  "0000BEEFLINE[%010lld]:", static_cast<long long>(line));
    char head[kMaxHitHeadLength];
    EXPECT_EQ(std::string(head, WriteLineHead(WriteSortPrefix(head, 0xBEEF), line)), expected);
  }
}

}  // namespace
}  // namespace kolbrin
