// Files in the encodings Japanese text is kept in: found by the typed (UTF-8) string
// and shown as UTF-8, by both scanners; the detection's edge cases; the UTF-8 check's
// vector path against ICU's U8_NEXT.
#include <gtest/gtest.h>
#include <unicode/ucnv.h>
#include <unicode/utf8.h>

#include <random>
#include <string>
#include <vector>

#include "search/FileText.h"
#include "search/ResultTree.h"
#include "search/Scanner.h"
#include "search/TextDecision.h"
#include "search/Utf8Check.h"
#include "tests/TestSupport.h"

namespace kolbrin {
namespace {

using test::Encode;

using test::TempFolder;

const std::string kUtf8Bom = "\xEF\xBB\xBF";

// The file's lines; lines that an encoding cannot hold (half-width katakana and the
// extension characters in ISO-2022-JP) are replaced there by "-", so that line
// numbers stay the same.
std::vector<std::string> JapaneseLines() {
  std::string longLine = "長い行";
  for (int i = 0; i < 100; ++i) longLine += "あ";
  longLine += "末尾";
  return {
      "一行目",
      "検索する文字列です",
      "ﾊﾝｶｸｶﾅの行",
      "表示とソフトと能力",  // 表, ソ and 能 end in 0x5C in CP932
      "①㈱髙の拡張文字",     // NEC and IBM extensions in CP932
      "ＡＢＣ全角",
      longLine,
      "\t二つ目の語",
  };
}

struct EncodedFile {
  const char* label;
  std::string bytes;
};

std::vector<EncodedFile> EncodedFiles() {
  const std::vector<std::string> lines = JapaneseLines();
  const auto join = [&](const char* converter, bool onlyJisX0208, const char* lineEnd) {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const bool kept = !onlyJisX0208 || (i != 2 && i != 4);
      text += (kept ? lines[i] : "-") + lineEnd;
    }
    return converter == nullptr ? text : Encode(text, converter);
  };
  const auto bom16 = [](const char* mark, std::string text) { return mark + text; };
  return {
      {"utf-8", join(nullptr, false, "\n")},
      {"utf-8 bom", kUtf8Bom + join(nullptr, false, "\n")},
      {"cp932 crlf", join("windows-31j", false, "\r\n")},
      {"euc-jp", join("EUC-JP", false, "\n")},
      {"iso-2022-jp", join("ISO-2022-JP", true, "\r\n")},
      {"utf-16le bom", bom16("\xFF\xFE", join("UTF-16LE", false, "\r\n"))},
      {"utf-16be bom", bom16("\xFE\xFF", join("UTF-16BE", false, "\n"))},
  };
}

SearchSettings Settings(std::string string1, std::string string2 = "", bool caseSensitive = false,
                        std::int32_t andMode = kAndMode) {
  return SearchSettings{std::move(string1), std::move(string2), caseSensitive, 4, andMode};
}

std::vector<std::string> Hits(Scanner& scanner, const std::string& path, std::uint32_t chunk) {
  test::ScanOutcome outcome = test::ScanToEnd(scanner, path, chunk);
  const TextList hits = ShownHitTexts(outcome.entries, outcome.firstPassEntries);
  return std::vector<std::string>(hits.begin(), hits.end());
}

TEST(ScanEncodings, EveryEncodingIsFoundByTheTypedStringAndShownAsUtf8) {
  const std::string longShown = [] {
    // 9 bytes, then 75 times 3 bytes: the 76th あ would be cut, so the line stops
    // before it.
    std::string text = "長い行";
    for (int i = 0; i < 75; ++i) text += "あ";
    return "LINE[0000000007]:" + text + "...";
  }();
  struct Query {
    const char* label;
    SearchSettings settings;
    std::vector<std::string> expected;  // for files that hold every line
    bool onlyWithAllLines = false;      // not held by ISO-2022-JP
  };
  const std::vector<Query> queries = {
      {"plain word", Settings("検索"), {"LINE[0000000002]:検索する文字列です"}},
      {"half-width kana", Settings("ｶｸｶﾅ"), {"LINE[0000000003]:ﾊﾝｶｸｶﾅの行"}, true},
      {"0x5C trail bytes", Settings("ソフト"), {"LINE[0000000004]:表示とソフトと能力"}},
      {"extensions", Settings("㈱髙"), {"LINE[0000000005]:①㈱髙の拡張文字"}, true},
      {"full-width, case ignored", Settings("ａｂｃ"), {"LINE[0000000006]:ＡＢＣ全角"}},
      {"long line", Settings("長い行"), {longShown}},
      {"and, two lines",
       Settings("文字列", "二つ目"),
       {"LINE[0000000002]:検索する文字列です", "LINE[0000000008]:    二つ目の語"}},
      {"ascii backslash is not a trail byte", Settings("\\"), {}},
  };
  TempFolder folder;
  for (const EncodedFile& file : EncodedFiles()) {
    ASSERT_FALSE(file.bytes.empty()) << "file=" << file.label << " could not be encoded";
    const std::string path = folder.Write("japanese.txt", file.bytes);
    const bool allLines = std::string_view(file.label) != "iso-2022-jp";
    for (const Query& query : queries) {
      const std::vector<std::string> expected =
          query.onlyWithAllLines && !allLines ? std::vector<std::string>{} : query.expected;
      for (const std::uint32_t chunk : {3u, kChunkSize}) {
        auto plain = MakePlainScanner(query.settings);
        auto fast = MakeFastScanner(query.settings);
        EXPECT_EQ(expected, Hits(*plain, path, chunk))
            << "file=" << file.label << " query=" << query.label << " chunk=" << chunk
            << " scanner=plain";
        EXPECT_EQ(expected, Hits(*fast, path, chunk))
            << "file=" << file.label << " query=" << query.label << " chunk=" << chunk
            << " scanner=fast";
      }
    }
  }
}

std::string Repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

TextEncoding Detect(const std::string& bytes, TextEncoding mode = TextEncoding::Auto) {
  std::string text;
  return DecodeFileText(mode, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                        text);
}

std::string DecodedText(const std::string& bytes, TextEncoding mode) {
  std::string text;
  DecodeFileText(mode, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), text);
  return text;
}

TEST(DetectEncoding, EdgeCasesAreDecidedByTheDocumentedRule) {
  const std::string sjis = Encode("これは検索のテストです。\r\n", "windows-31j");
  const std::string euc = Encode("その他の資料\n会議の資料\n", "EUC-JP");
  // Half-width katakana in pairs: as CP932 they are kana, as EUC-JP the same bytes
  // are two-byte characters; both read cleanly and score the same, so CP932 wins.
  const std::string halfWidth = Encode("ｶﾀｶﾅ ﾃｽﾄﾃﾞｽ\n", "windows-31j");
  struct Case {
    const char* label;
    std::string bytes;
    TextEncoding expected;
  };
  const std::vector<Case> cases = {
      {"empty", "", TextEncoding::Bytes},
      {"pure ascii", "plain text\n", TextEncoding::Bytes},
      {"utf-8 with bom", kUtf8Bom + "検索\n", TextEncoding::Bytes},
      // Both decode cleanly as CP932, into nonsense.
      {"utf-8 cut inside its last character", Repeat("ファイルの検索\n", 4) + "\xE6\xA4",
       TextEncoding::Bytes},
      {"utf-8 with a stray byte", "ファイル\xA1の検索\n", TextEncoding::Bytes},
      {"cp932", sjis, TextEncoding::Cp932},
      {"euc-jp, also clean as cp932", euc, TextEncoding::EucJp},
      {"half-width kana, also clean as euc-jp", halfWidth, TextEncoding::Cp932},
      // A little damage is tolerated: one bad byte for 24 Japanese characters.
      {"cp932 with one stray byte", sjis + "\x80" + sjis, TextEncoding::Cp932},
      {"cp932 cut inside a character", sjis + sjis.substr(0, 1 + sjis.find('\x82', 1)),
       TextEncoding::Cp932},
      {"cp932 with ten control bytes", sjis + std::string(10, '\x01'), TextEncoding::Cp932},
      {"cp932 with eleven control bytes", sjis + std::string(11, '\x01'), TextEncoding::Bytes},
      {"cp932 with a nul", sjis + std::string(1, '\0'), TextEncoding::Bytes},
      {"cp932 with dos end of file", sjis + "\x1A", TextEncoding::Cp932},
      {"binary that happens to decode", "\x82\xA0" + std::string(40, '\x02'), TextEncoding::Bytes},
      {"utf-16 without bom, japanese", Encode("検索です\n", "UTF-16LE"), TextEncoding::Utf16Le},
      {"utf-16le bom, lone surrogate", std::string("\xFF\xFE\x00\xD8\x61\0", 6),
       TextEncoding::Bytes},
      {"utf-16le bom, odd length", "\xFF\xFE" + Encode("検索", "UTF-16LE") + "x",
       TextEncoding::Bytes},
      {"iso-2022-jp", Encode("検索する\n", "ISO-2022-JP"), TextEncoding::Iso2022Jp},
      {"ansi colours", "\x1B[31mred\x1B[0m\n", TextEncoding::Bytes},
      {"iso-2022-jp escape in an 8-bit file", Encode("検索する\n", "ISO-2022-JP") + "é",
       TextEncoding::Bytes},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, Detect(c.bytes)) << "case=" << c.label;
  }
  // The two ambiguous files are what they claim to be: clean in both readings.
  for (const std::string* both : {&euc, &halfWidth}) {
    EXPECT_EQ(std::string::npos, DecodedText(*both, TextEncoding::Cp932).find("\xEF\xBF\xBD"));
    EXPECT_EQ(std::string::npos, DecodedText(*both, TextEncoding::EucJp).find("\xEF\xBF\xBD"));
  }
  // Control bytes keep their values through the decoding.
  EXPECT_EQ("これは検索のテストです。\r\n\x1A", DecodedText(sjis + "\x1A", TextEncoding::Auto));
}

// A file large enough that its text's pages are filled on another thread while it
// is decoded: the text is still exactly the file's, character for character.
TEST(DetectEncoding, LargeFilesDecodeToTheirExactText) {
  std::string utf8;
  for (const std::string& line : JapaneseLines()) utf8 += line + "\r\n";
  utf8 = Repeat(utf8, 9 << 20 >> 10);  // about 9 MiB
  for (const auto& [converter, expected] :
       {std::pair{"windows-31j", TextEncoding::Cp932}, std::pair{"EUC-JP", TextEncoding::EucJp}}) {
    const std::string bytes = Encode(utf8, converter);
    std::string text;
    EXPECT_EQ(expected, DecodeFileText(TextEncoding::Auto,
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       bytes.size(), text))
        << "encoding=" << converter;
    EXPECT_TRUE(text == utf8) << "encoding=" << converter;
  }
}

TEST(DetectEncoding, ForcedEncodingsDecodeEveryFileAndReplaceBadSequences) {
  const std::string sjis = Encode("検索\n", "windows-31j");
  struct Case {
    const char* label;
    TextEncoding mode;
    std::string bytes;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"bytes keeps cp932 raw", TextEncoding::Bytes, sjis, sjis},
      {"cp932 with a stray byte", TextEncoding::Cp932, "\x80" + sjis, "\xEF\xBF\xBD検索\n"},
      {"euc-jp with a byte it lacks", TextEncoding::EucJp, "a\xFF", "a\xEF\xBF\xBD"},
      {"euc-jp holds no c1 controls", TextEncoding::EucJp, "a\x8Cz", "a\xEF\xBF\xBDz"},
      {"cp932 cut inside a character", TextEncoding::Cp932, "a\x82", "a\xEF\xBF\xBD"},
      {"cp932 keeps control bytes", TextEncoding::Cp932, "\x1A\x7F", "\x1A\x7F"},
      {"utf-16le without bom", TextEncoding::Utf16Le, Encode("検索\n", "UTF-16LE"), "検索\n"},
      {"utf-16be drops its bom", TextEncoding::Utf16Be, "\xFE\xFF" + Encode("a", "UTF-16BE"), "a"},
      {"valid utf-8 stays", TextEncoding::Utf8, kUtf8Bom + "検索", kUtf8Bom + "検索"},
      {"bad utf-8 is replaced", TextEncoding::Utf8, "a\xFFz", "a\xEF\xBF\xBDz"},
      {"binary stays raw", TextEncoding::Cp932, sjis + std::string(11, '\x02'),
       sjis + std::string(11, '\x02')},
      {"iso-2022-jp", TextEncoding::Iso2022Jp, Encode("検索", "ISO-2022-JP"), "検索"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.text, DecodedText(c.bytes, c.mode)) << "case=" << c.label;
  }
}

// Large files whose need for decoding shows far beyond what the fast scanner checks
// ahead: the first non-UTF-8 byte of a CP932 file, the first ISO-2022-JP designation
// of a 7-bit file. The scan so far was over raw bytes and must start again.
TEST(ScanEncodings, AFileFoundToNeedDecodingLateIsScannedAgainFromItsStart) {
  const std::string ascii = Repeat("ascii line with a word\n", 40000);  // about 900 KiB
  TempFolder folder;
  for (const char* encoding : {"windows-31j", "ISO-2022-JP"}) {
    const std::string bytes = ascii + Encode("検索の行 word\n", encoding) + ascii;
    const std::string path = folder.Write("late.txt", bytes);
    for (const SearchSettings& settings :
         {Settings("word"), Settings("検索", "word", false, kOrMode)}) {
      auto plain = MakePlainScanner(settings);
      auto fast = MakeFastScanner(settings);
      const std::vector<std::string> expected = Hits(*plain, path, kChunkSize);
      const std::string label = std::string("encoding=") + encoding + " string=" + settings.String1;
      EXPECT_EQ(expected, Hits(*fast, path, kChunkSize)) << label;
      ASSERT_EQ(80001u, expected.size()) << label;
      EXPECT_EQ("LINE[0000040001]:検索の行 word", expected[40000]) << label;
    }
  }
  // A hit at the start of one long line whose rest, read to the end of the file,
  // holds the first CP932 byte: the first pass ends there, before the second begins.
  const std::string line = "word " + std::string(600000, 'x') + Encode("検索", "windows-31j");
  const std::string path = folder.Write("line.txt", line);
  const SearchSettings settings = Settings("word", "検索", false, kAndMode);
  auto plain = MakePlainScanner(settings);
  auto fast = MakeFastScanner(settings);
  const std::vector<std::string> expected = Hits(*plain, path, kChunkSize);
  ASSERT_EQ(1u, expected.size());
  EXPECT_EQ(expected, Hits(*fast, path, kChunkSize));
}

// The fast scanner against the plain one over decoded files: the same entries and
// the same result at every chunk size and vector width.
TEST(ScanEncodings, FastScannerMatchesThePlainOneOverDecodedFiles) {
  static const char* const kPieces[] = {"検", "索", "ア", "ｱ",    "表", "ソ",   "a", "A",
                                        "ａ", "Ａ", "\n", "\r\n", "\t", "\x01", " ", "x"};
  static const char* const kEncodings[] = {"windows-31j", "EUC-JP", "ISO-2022-JP", "UTF-16LE"};
  std::mt19937 random(20261210);
  TempFolder folder;
  for (int round = 0; round < 400; ++round) {
    std::string text;
    const int pieces = static_cast<int>(random() % 300);
    for (int i = 0; i < pieces; ++i) {
      text += kPieces[random() % std::size(kPieces)];
      if (random() % 60 == 0) text += std::string(random() % 300, 'q');  // long lines
    }
    const char* encoding = kEncodings[random() % std::size(kEncodings)];
    std::string bytes = Encode(text, encoding);
    if (std::string_view(encoding) == "UTF-16LE") bytes = "\xFF\xFE" + bytes;
    if (random() % 10 == 0) bytes.insert(random() % (bytes.size() + 1), "\x80");  // raw
    const auto pattern = [&] {
      std::string p;
      for (int i = 0, n = 1 + static_cast<int>(random() % 3); i < n; ++i) {
        p += kPieces[random() % 10];
      }
      return p;
    };
    const SearchSettings settings = Settings(pattern(), random() % 2 ? pattern() : "",
                                             random() % 2 == 0, random() % 2 ? kAndMode : kOrMode);
    const std::string path = folder.Write("random.txt", bytes);
    for (const std::uint32_t chunk : {1u, 7u, kChunkSize}) {
      auto plain = MakePlainScanner(settings);
      const test::ScanOutcome expected = test::ScanToEnd(*plain, path, chunk);
      for (const bool wide : {true, false}) {
        auto fast = MakeFastScanner(settings, wide ? VectorWidth::Widest : VectorWidth::Narrow);
        const test::ScanOutcome actual = test::ScanToEnd(*fast, path, chunk);
        ASSERT_TRUE(expected.result == actual.result && expected.entries == actual.entries)
            << "round=" << round << " encoding=" << encoding << " chunk=" << chunk
            << (wide ? " wide" : " narrow") << " s1=" << testing::PrintToString(settings.String1)
            << " s2=" << testing::PrintToString(settings.String2)
            << " bytes=" << testing::PrintToString(bytes);
      }
    }
  }
}

// The reference: ICU's U8_NEXT over the whole range.
bool WellFormed(const std::string& bytes) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  const auto length = static_cast<std::int32_t>(bytes.size());
  for (std::int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(data, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

bool CheckedWellFormed(const std::string& bytes, std::size_t pieces) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t from = 0;
  for (std::size_t k = 1; k <= pieces; ++k) {
    const std::size_t to = bytes.size() * k / pieces;
    if (to < from) continue;
    const Utf8Check check = CheckUtf8(data, from, to, bytes.size());
    if (check.invalid) return false;
    from = check.checkedTo;
  }
  // The last piece ends at the end of the data, which no character runs past.
  return from == bytes.size();
}

TEST(Utf8Check, AgreesWithIcuOnBothPathsAndAnySplit) {
  const std::vector<std::string> pieces = {"a",
                                           "\n",
                                           "\x1B",
                                           "é",
                                           "検",
                                           "😀",
                                           "\xC0\xAF",
                                           "\xE0\x80\xAF",
                                           "\xED\xA0\x80",
                                           "\xF4\x90\x80\x80",
                                           "\xF5\x80\x80\x80",
                                           "\x80",
                                           "\xC3",
                                           "\xE6\xA4",
                                           "\xF0\x9F\x98",
                                           "\xFF",
                                           std::string(70, 'x')};
  std::mt19937 random(20261209);
  for (int round = 0; round < 3000; ++round) {
    std::string bytes;
    const int count = static_cast<int>(random() % 40);
    for (int i = 0; i < count; ++i) {
      // Mostly well-formed pieces, so that a bad one lands anywhere in a long run.
      const std::size_t pick = random() % 8 == 0 ? random() % pieces.size() : random() % 6;
      bytes += pieces[pick == 5 ? pieces.size() - 1 : pick];
    }
    const bool expected = WellFormed(bytes);
    for (const int width : {64, 32, 0}) {
      SetUtf8CheckWidestVector(width);
      for (const std::size_t split : {1u, 2u, 5u}) {
        EXPECT_EQ(expected, CheckedWellFormed(bytes, split))
            << "vectors=" << width << " split=" << split
            << " bytes=" << testing::PrintToString(bytes);
      }
    }
    SetUtf8CheckWidestVector(64);
    if (HasFailure()) break;
  }
}

}  // namespace
}  // namespace kolbrin
