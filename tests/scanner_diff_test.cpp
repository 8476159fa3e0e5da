// The fast scanner against the plain one: the same results, entry for entry and
// step for step, over the named corners at many chunk sizes and over seeded
// random files, with the file read in pieces from one byte on, so that every state
// carried over a refill crosses one. Every run is labelled so a failure names itself.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "search/Scanner.h"
#include "tests/TestSupport.h"

namespace kolbrin {
namespace {

using test::TempFolder;

// Everything a scan shows: the result of each step (or, with `steps` false, of the
// last one), then the entries. A file read in small pieces may turn out to need
// decoding only after some steps, and is then scanned again from its start: its
// steps are more than the plain scanner's, which decides before it scans.
std::string Dump(Scanner& scanner, const std::string& path, std::uint32_t chunk,
                 bool steps = true) {
  std::ostringstream dump;
  scanner.ResetForFile();
  ScanResult result;
  int count = 0;
  do {
    result = scanner.ScanStep(path, chunk);
    if (steps) dump << static_cast<int>(result);
    if (++count > 1 << 24) break;
  } while (result == ScanResult::ScanMore);
  if (!steps) dump << static_cast<int>(result);
  dump << "\ncurrent=" << scanner.CurrentFile() << "\n";
  dump << "first pass=" << scanner.FirstPassEntries() << "\n";
  for (std::string_view entry : scanner.Results()) dump << entry << "\n";
  return dump.str();
}

std::string Describe(const SearchSettings& s) {
  std::ostringstream text;
  text << "s1=" << testing::PrintToString(s.String1) << " s2=" << testing::PrintToString(s.String2)
       << (s.CaseSensitive ? " case" : " nocase") << (s.AndMode == kAndMode ? " and" : " or")
       << " tab=" << s.TabWidth;
  return text.str();
}

// Compares both scanners on `bytes` at the chunk sizes that matter for `settings`,
// the fast one reading the file in pieces of each of `pieces` bytes.
void ExpectSameScan(const std::string& label, const std::string& bytes,
                    const SearchSettings& settings, const TempFolder& folder,
                    const std::vector<std::size_t>& pieces = {kReadPieceSize}) {
  const std::string path = folder.Write("diff.bin", bytes);
  const std::uint32_t length = static_cast<std::uint32_t>(settings.String1.size());
  std::vector<std::uint32_t> chunks = {
      1, 2, 3, length, kChunkSize, static_cast<std::uint32_t>(bytes.size() + 1)};
  if (length > 1) chunks.push_back(length - 1);
  auto plain = MakePlainScanner(settings);
  for (const std::size_t piece : pieces) {
    // A piece larger than the file reads it whole before the first byte is scanned.
    const bool steps = piece > bytes.size();
    // Every vector width: 64 and 32 bytes where the processor has them, and 16 bytes.
    for (const VectorWidth width : {VectorWidth::Widest, VectorWidth::Wide, VectorWidth::Narrow}) {
      auto fast = MakeFastScanner(settings, width, piece);
      for (const std::uint32_t chunk : chunks) {
        const std::string expected = Dump(*plain, path, chunk, steps);
        const std::string actual = Dump(*fast, path, chunk, steps);
        ASSERT_EQ(expected, actual)
            << "case=" << label << " piece=" << piece << " chunk=" << chunk
            << " width=" << static_cast<int>(width) << " " << Describe(settings)
            << " bytes=" << testing::PrintToString(bytes);
      }
    }
  }
}

// The piece sizes every named corner is read in: from one byte on, so that a refill
// falls on every byte of it, and one that reads it whole.
const std::vector<std::size_t> kCornerPieces = {1, 2, 3, 7, 64, 301, kReadPieceSize};

SearchSettings With(std::string s1, std::string s2 = "", bool caseSensitive = false,
                    std::int32_t andMode = kAndMode, std::int32_t tab = 8) {
  return SearchSettings{std::move(s1), std::move(s2), caseSensitive, tab, andMode};
}

std::string Times(const std::string& piece, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += piece;
  return text;
}

TEST(ScannerDifferential, NamedCornersAtEveryChunkSize) {
  const std::string nuls11(11, '\0');
  const auto line = [](std::size_t n) { return "key" + std::string(n - 3, 'x'); };
  struct Corner {
    const char* label;
    std::string bytes;
    SearchSettings settings;
  };
  const std::vector<Corner> corners = {
      {"lines-3-and-7", "1\n2\nthe key\n4\n5\n6\nkey again\n8\n", With("key")},
      {"two-in-a-line", "ab ab ab\nab\n", With("ab")},
      {"binary-no-overlap", nuls11 + "xyzxyz", With("xyz")},
      {"overlap-aab", "aaab\n", With("aab")},
      {"overlap-aab-binary", std::string(11, '\x01') + "aaab", With("aab")},
      {"ten-nuls", std::string(10, '\0') + "\nfind me\n", With("find")},
      {"eleventh-nul", "find first\n" + nuls11 + "\nfind me\n", With("find")},
      {"esc-before", "a\x1b[1mkey\n", With("key")},
      {"esc-after", "key one\x1btail\nkey two\n", With("key")},
      {"esc-main-scan", std::string(12, '\x1b') + "\nkey\n", With("key")},
      {"tab-width", "\tx\tkey\t\n", With("key", "", false, kAndMode, 3)},
      {"line-300", line(300) + "\nkey\n", With("key")},
      {"line-238", line(238) + "\n", With("key")},
      {"line-237", line(237) + "\n", With("key")},
      {"late-hit", std::string(400, 'y') + "key\n", With("key")},
      {"crlf", "one\r\nthe key\r\nkey two\r\n", With("key")},
      {"cr-overwrite", "a\rb key c\rd\n", With("key")},
      {"cr-only", "x\rkey\ry\r", With("key")},
      {"zero-cut", std::string("ab\0cd key\n", 10), With("key")},
      {"case-text", "x Abc y\n", With("aBC")},
      {"case-binary", nuls11 + "Abc ABC aBC", With("aBC")},
      {"utf8-fold", "Straße ÄRGER ＡＢＣ\n", With("ärger", "ａｂｃ", false, kOrMode)},
      {"and-second-missing", "alpha\nbeta\n", With("alpha", "gamma")},
      {"and-both", "beta\nalpha\n", With("alpha", "beta")},
      {"or", "alpha\nbeta\n", With("gamma", "beta", false, kOrMode)},
      {"same-line-both", "one alpha beta\n", With("beta", "alpha", false, kOrMode)},
      {"pass-reset", "foo\x1b\nbar\n", With("foo", "bar", false, kOrMode)},
      {"chunk-boundary", std::string(10230, 'a') + "\n0123456789key-tail\n", With("key")},
      {"empty", "", With("key")},
      {"pattern-with-lf", "a\nb x a\nb\n", With("a\nb")},
      {"pattern-with-cr", "a\rb\n", With("a\rb")},
      {"pattern-control-first", std::string(10, '\x02') + "\x02z\x02z", With("\x02z")},
      {"control-ends-hit-line", "key\x01more key\nkey\n", With("key")},
      {"window-past-end", "xxke", With("key")},
      {"lf-dense-without-events", std::string(100000, '\n') + "ab\n", With("ab")},
      {"line-held-over-refills", std::string(700, 'x') + "\r" + std::string(90, 'y') + "key\n",
       With("key")},
      {"late-cp932", std::string(900, 'a') + "\nkey one\n\x82\xa0 key \x8c\x9f\x8d\xf5\n",
       With("key", "検索", false, kOrMode)},
      {"euc-jp-pairs", "\xa4\xa2\xa4\xa4 \xb8\xa1\xba\xf7 key\n\xa4\xa2\n", With("検索")},
      {"iso-2022-jp-escapes", "one\n\x1b$B8!:w\x1b(B key\n\x1b$B$\"\x1b(B\n", With("検索")},
      {"cp932-then-a-bad-pair",
       [] {
         std::string text;
         for (int i = 0; i < 40; ++i) text += "\x82\xa0 key " + std::to_string(i) + "\n";
         return text + "\x82\x20 key\n";
       }(),
       With("key")},
      {"utf-8-split", "\xe6\xa4\x9c\xe7\xb4\xa2 key\n", With("検索")},
      {"cap-kanji", Times("漢", 100) + "\n", With("漢")},
      {"cap-kanji-after-1", "k" + Times("漢", 100) + "\n", With("漢")},
      {"cap-kanji-after-2", "kk" + Times("漢", 100) + "\n", With("漢", "", true)},
      {"cap-four-byte", Times("𠀋", 70) + "\n", With("𠀋")},
      {"cap-invalid-end", "key" + std::string(300, '\xFF') + "\n", With("key")},
      {"cap-cr-before-cut", "key" + Times("\r漢", 90) + "\n", With("key")},
      {"mapped-wave", "a 〜 b\nc ～ d\n", With("～")},
      {"mapped-wave-case", "a 〜 b\nc ～ d\n", With("〜", "", true)},
      {"mapped-cent-longer", "x ￠5 y\n¢6\n", With("¢5", "", true)},
      {"mapped-cent-shorter", "x ￠5 y\n¢5\n", With("￠5")},
      {"mapped-letters-around", "Price ￡5 and £5 LB\n", With("price £5", "lb")},
      {"mapped-at-end", "x ￢", With("¬")},
      {"mapped-cut-at-end", "x \xEF\xBF", With("¬")},
      {"mapped-other-lead-only", "ＡＢ \xEF\xBC\x8E\n", With("－")},
      {"mapped-same-lead", "a ‖ b ∥\n", With("∥", "", true)},
      {"mapped-binary-exact", std::string(11, '\0') + "￠ ¢ ¢", With("¢")},
      {"mapped-and", "a ～\nb ¬\n", With("〜", "￢")},
      {"mapped-longest",
       "x " + Times("￠", 127) + "z\n" + Times("¢", 127) + "z\n" + Times("¢", 126) + "￠z\n",
       With(Times("¢", 127) + "z")},
      {"mapped-hit-at-cap", std::string(233, 'y') + "−x\n" + std::string(234, 'y') + "－\n",
       With("－")},
      {"mapped-crlf-window", "a\r\n〜b\r\n", With("\n～")},
      // UTF-16 without a byte order mark: the first piece may hold no sign of it.
      {"utf-16le-ascii", std::string("k\0e\0y\0 \0o\0n\0e\0\n\0k\0e\0y\0\n\0", 24), With("key")},
      {"utf-16be-ascii", std::string("\0k\0e\0y\0\n\0x\0\n", 12), With("key")},
      {"utf-16le-japanese", "\x1c\x69\x22\x7d\x67\x30\x59\x30 \0k\0\n\0", With("検索")},
      {"utf-16le-hiragana-sign-late",
       [] {
         std::string text;
         for (int i = 0; i < 2100; ++i) text += "\x42\x30";  // あ
         return text + std::string("\n\0", 2);
       }(),
       With("B0B")},
      {"utf-16le-odd", std::string("k\0e\0y\0\n\0x", 9), With("key")},
      {"utf-16le-lone-surrogate", std::string("k\0e\0y\0\x00\xdc\n\0", 10), With("key")},
  };
  TempFolder folder;
  for (const Corner& corner : corners) {
    ExpectSameScan(corner.label, corner.bytes, corner.settings, folder, kCornerPieces);
    if (HasFatalFailure()) return;
  }
}

TEST(ScannerDifferential, EveryByteBelowSpaceInLongLines) {
  // Each byte value below 0x20, eleven times in lines longer than a vector block, so
  // the counted ones turn the pass binary and the tolerated ones never do.
  TempFolder folder;
  for (int value = 0; value < 0x20; ++value) {
    std::string bytes;
    for (int i = 0; i < 12; ++i) {
      bytes += std::string(70 + i, 'y') + static_cast<char>(value) + std::string(50, 'z');
      bytes += "\nkey " + std::to_string(i) + "\n";
    }
    ExpectSameScan("byte-" + std::to_string(value), bytes, With("key", "", value % 2 == 0), folder);
    if (HasFatalFailure()) return;
  }
}

TEST(ScannerDifferential, SeededRandomFiles) {
  static const char* const kPieces[] = {
      "a",    "A",    "b",    "B", "c", "C",  "\r", "\n", "\r\n", "\t",   "" /* a NUL byte */,
      "\x1b", "\x01", "\x1f", "ä", "Ä", "ｂ", "Ｂ", " ",  "x",    "\xC3", "\xFF"};
  std::mt19937 random(20261208);
  TempFolder folder;
  for (int round = 0; round < 3000; ++round) {
    std::string bytes;
    const int pieces = static_cast<int>(random() % 400);
    for (int i = 0; i < pieces; ++i) {
      const std::size_t which = random() % std::size(kPieces);
      bytes += (which == 10) ? std::string(1, '\0') : std::string(kPieces[which]);
      if (random() % 50 == 0) bytes += std::string(random() % 300, 'q');  // long lines
    }
    const auto pattern = [&] {
      static const char* const kPatternPieces[] = {"a", "A", "b", "B", "c", "ä", "\n", "x", " "};
      std::string text;
      const int length = 1 + static_cast<int>(random() % 4);
      for (int i = 0; i < length; ++i) text += kPatternPieces[random() % std::size(kPatternPieces)];
      return text.substr(0, 1 + random() % 5);
    };
    SearchSettings settings =
        With(pattern(), random() % 2 ? pattern() : "", random() % 2 == 0,
             random() % 2 ? kAndMode : kOrMode, 1 + static_cast<int>(random() % 16));
    ExpectSameScan("random-" + std::to_string(round), bytes, settings, folder,
                   {1 + random() % 700, kReadPieceSize});
    if (HasFatalFailure()) return;
  }
}

TEST(ScannerDifferential, SeededRandomFilesWithMappedCharacters) {
  // Both mappings of the characters found either way, among letters, line ends and
  // bytes that begin such a character but do not end it.
  static const char* const kPieces[] = {"〜", "～", "−",  "－", "¢", "￠",   "£",
                                        "￡", "¬",  "￢", "‖",  "∥", "\xEF", "\xC2",
                                        "a",  "A",  "\n", "\r", " ", "ä"};
  static const char* const kPatternPieces[] = {"〜", "～", "¢", "￠", "－", "∥", "a", "A", " "};
  std::mt19937 random(18003);
  TempFolder folder;
  for (int round = 0; round < 400; ++round) {
    std::string bytes;
    const int pieces = static_cast<int>(random() % 300);
    for (int i = 0; i < pieces; ++i) {
      bytes += kPieces[random() % std::size(kPieces)];
      if (random() % 60 == 0) bytes += std::string(random() % 300, 'q');  // long lines
    }
    const auto pattern = [&] {
      std::string text;
      const int length = 1 + static_cast<int>(random() % 3);
      for (int i = 0; i < length; ++i) text += kPatternPieces[random() % std::size(kPatternPieces)];
      return text;
    };
    SearchSettings settings = With(pattern(), random() % 3 == 0 ? pattern() : "", random() % 2 == 0,
                                   random() % 2 ? kAndMode : kOrMode);
    ExpectSameScan("mapped-random-" + std::to_string(round), bytes, settings, folder,
                   {1 + random() % 400, kReadPieceSize});
    if (HasFatalFailure()) return;
  }
}

TEST(ScannerDifferential, SparseEventsAcrossVectorBlocks) {
  // Long quiet stretches with a few events at random places, so that they fall on
  // every lane of a vector and across block edges, and the last-byte test reads
  // into the next block or up to the end of the file.
  static const char* const kEvents[] = {"ab", "AB",   "aB", "a",    "b",    "\n", "\r\n",
                                        "\t", "\x01", "",   "\x1b", "\x1f", "ä"};
  std::mt19937 random(77001);
  TempFolder folder;
  for (int round = 0; round < 300; ++round) {
    std::string bytes(1000 + random() % 3000, 'q');
    const int events = static_cast<int>(random() % 24);
    for (int i = 0; i < events; ++i) {
      const std::size_t which = random() % std::size(kEvents);
      const std::string event = which == 9 ? std::string(1, '\0') : std::string(kEvents[which]);
      bytes.replace(random() % bytes.size(), event.size(), event);
    }
    if (random() % 4 == 0) bytes += "ab";  // a hit in the file's last bytes
    static const char* const kPatterns[] = {"ab", "AB", "a", "abq", "q\nq", "äb"};
    SearchSettings settings = With(kPatterns[random() % std::size(kPatterns)], "",
                                   random() % 2 == 0, kAndMode, 1 + static_cast<int>(random() % 8));
    ExpectSameScan("sparse-" + std::to_string(round), bytes, settings, folder,
                   {1 + random() % 5000, kReadPieceSize});
    if (HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace kolbrin
