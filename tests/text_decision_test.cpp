// The decision and the decoding over a file read piece by piece: the same decision
// and the same text whatever the pieces, split inside a character, an escape
// sequence or a byte order mark's text.
#include <gtest/gtest.h>
#include <unicode/ucnv.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "search/Scanner.h"
#include "search/TextDecision.h"
#include "search/Transcoders.h"
#include "search/Utf8Check.h"
#include "tests/EncodingSamples.h"
#include "tests/TestSupport.h"

namespace kolbrin {
namespace {

using test::Encode;

// How a file is cut into pieces: all of `size` bytes (the last shorter), or two at
// `cut`. Reads end at piece boundaries, as a short read of the file would.
struct Split {
  std::size_t size = 0;  // 0: two pieces at `cut`
  std::size_t cut = 0;

  std::size_t PieceAt(std::size_t offset, std::size_t fileSize) const {
    if (size != 0) return std::min(size, fileSize - offset);
    return offset < cut ? cut - offset : fileSize - offset;
  }
  std::string Label() const {
    return size != 0 ? "pieces of " + std::to_string(size) : "cut at " + std::to_string(cut);
  }
};

struct Outcome {
  TextDecision decision;
  std::string text;  // the decoded text, or the file's bytes for Bytes
};

// The decision and the text as a streaming scan sees them: DecideFileText through a
// scratch buffer of the split's size, then StreamDecoder over the same pieces.
Outcome DecideAndDecode(TextEncoding mode, const std::string& file, const Split& split) {
  const ReadAt read = [&](std::uint64_t offset, unsigned char* buffer, std::size_t room) {
    if (offset >= file.size()) return std::size_t{0};
    const std::size_t count = std::min(room, split.PieceAt(offset, file.size()));
    std::memcpy(buffer, file.data() + offset, count);
    return count;
  };
  std::vector<unsigned char> scratch(split.size != 0 ? split.size
                                                     : std::max<std::size_t>(1, file.size()));
  Outcome outcome;
  outcome.decision = DecideFileText(mode, read, scratch.data(), scratch.size());
  if (outcome.decision.from == TextEncoding::Bytes) {
    outcome.text = file;
    return outcome;
  }
  StreamDecoder decoder;
  // As the scan decodes: a decided file keeps its bad bytes, a forced one replaces them.
  EXPECT_TRUE(mode == TextEncoding::Auto ? decoder.StartChecked(outcome.decision.from)
                                         : decoder.Start(outcome.decision.from));
  const auto* bytes = reinterpret_cast<const unsigned char*>(file.data());
  std::vector<unsigned char> out;
  for (std::size_t p = outcome.decision.skip; p < file.size();) {
    const std::size_t piece = split.PieceAt(p, file.size());
    out.assign(StreamDecoder::MaxOutput(piece), 0);
    outcome.text.append(reinterpret_cast<const char*>(out.data()),
                        decoder.Decode(bytes + p, piece, out.data()));
    p += piece;
  }
  out.assign(StreamDecoder::MaxOutput(0), 0);
  outcome.text.append(reinterpret_cast<const char*>(out.data()), decoder.Finish(out.data()));
  return outcome;
}

// Pieces of 1, 2, 3, 7 and 64 bytes, a few seeded random sizes, and every cut in two.
std::vector<Split> SplitsOf(const std::string& file, std::mt19937& random) {
  std::vector<Split> splits;
  for (const std::size_t size : {1u, 2u, 3u, 7u, 64u}) splits.push_back({size, 0});
  for (int i = 0; i < 3; ++i) splits.push_back({1 + random() % (file.size() + 2), 0});
  for (std::size_t cut = 1; cut < file.size(); ++cut) splits.push_back({0, cut});
  return splits;
}

std::string Repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

const std::string kReplacement = "\xEF\xBF\xBD";

TEST(TextDecision, CornerFilesDecideAndDecodeAlikeAtEverySplit) {
  const std::string kanji = "検索";
  const std::string sjis = Encode("これは検索のテストです。\r\n", "windows-31j");
  const std::string euc = Encode("その他の資料\n会議の資料\n", "EUC-JP");
  // 丂 is in JIS X 0212 only: three bytes in EUC-JP, from 0x8F.
  const std::string jisX0212 = Encode("その丂の資料\n", "EUC-JP");
  const std::string iso = Encode("検索する\n", "ISO-2022-JP");
  // 16 kanji in ISO-2022-JP, as many as one bad byte needs; and 15.
  const std::string iso16 = Encode(Repeat("検索", 8) + "\n", "ISO-2022-JP");
  const std::string iso15 = Encode(Repeat("検索", 7) + "検\n", "ISO-2022-JP");
  const std::string emoji = "\xF0\x9F\x98\x80";  // a surrogate pair in UTF-16
  const std::string utf16le = "\xFF\xFE" + Encode("検" + emoji + "a\n", "UTF-16LE");
  const std::string utf16be = "\xFE\xFF" + Encode("検" + emoji + "a\n", "UTF-16BE");
  // UTF-16 without a byte order mark, and files that only look like it.
  const std::string englishLe = Encode("Search me\r\n", "UTF-16LE");
  const std::string englishBe = Encode("Search me\n", "UTF-16BE");
  const std::string japaneseLe = Encode("これは検索のテストです。\n", "UTF-16LE");
  const std::string japaneseBe = Encode("これは検索のテストです。\n", "UTF-16BE");
  // Hiragana in UTF-16LE are printable ASCII bytes ("B0" for あ): nothing but the NUL
  // of the line break, inside the first 4 KiB or past them, shows it is UTF-16.
  std::string aLe;
  for (int i = 0; i < 2048; ++i) aLe += Encode("あ", "UTF-16LE");
  std::string int32s;
  for (std::uint32_t value : {7u, 1200u, 65u, 300000u, 42u, 9u}) {
    for (int shift = 0; shift < 32; shift += 8) int32s += static_cast<char>(value >> shift);
  }
  static const char kPngHeader[] =
      "\x89PNG\r\n\x1A\n\0\0\0\rIHDR\0\0\x01\0\0\0\x01\0\x08\x06\0\0\0";
  const std::string png(kPngHeader, sizeof kPngHeader - 1);
  const std::string nulSeparated("/usr/bin\0/usr/local/bin\0/home/user/bin\0", 40);
  std::string binary;
  std::mt19937 bytes(7);
  for (int i = 0; i < 300; ++i) binary += static_cast<char>(bytes() & 0xFF);
  struct Case {
    const char* label;
    TextEncoding mode;
    std::string file;
    TextEncoding from;
    std::string text;  // the decoded text, when decoded
    std::uint64_t skip = 0;
  };
  const std::vector<Case> cases = {
      {"empty", TextEncoding::Auto, "", TextEncoding::Bytes, ""},
      {"cp932 pairs", TextEncoding::Auto, sjis, TextEncoding::Cp932,
       "これは検索のテストです。\r\n"},
      {"euc-jp pairs", TextEncoding::Auto, euc, TextEncoding::EucJp, "その他の資料\n会議の資料\n"},
      {"euc-jp jis x 0212 triple", TextEncoding::Auto, jisX0212, TextEncoding::EucJp,
       "その丂の資料\n"},
      {"iso-2022-jp", TextEncoding::Auto, iso, TextEncoding::Iso2022Jp, "検索する\n"},
      {"iso-2022-jp designation after ascii", TextEncoding::Auto, "plain \x1B(Jtext\x1B(B\n",
       TextEncoding::Iso2022Jp, "plain text\n"},
      {"iso-2022-jp with a control too many", TextEncoding::Auto, iso + std::string(11, '\x01'),
       TextEncoding::Bytes, ""},
      {"iso-2022-jp cut inside a character", TextEncoding::Auto, iso.substr(0, 6),
       TextEncoding::Iso2022Jp, "検:"},
      // A few bad bytes are kept as they stand: one for every 16 kanji at most.
      {"iso-2022-jp with a stray byte, one for 16 kanji", TextEncoding::Auto, iso16 + "\x80",
       TextEncoding::Iso2022Jp, Repeat("検索", 8) + "\n\x80"},
      {"iso-2022-jp with a stray byte, one for 15 kanji", TextEncoding::Auto, iso15 + "\x80",
       TextEncoding::Bytes, ""},
      // UTF-8 but for a lead byte at its end, cut short.
      {"iso-2022-jp ending in a stray 0xE9", TextEncoding::Auto, iso16 + "\xE9",
       TextEncoding::Iso2022Jp, Repeat("検索", 8) + "\n\xE9"},
      {"iso-2022-jp with an unmapped pair", TextEncoding::Auto,
       iso16.substr(0, 9) + "\x22\x2F" + iso16.substr(9) + iso16, TextEncoding::Iso2022Jp,
       "検索検\"/" + Repeat("索検", 6) + "索\n" + Repeat("検索", 8) + "\n"},
      // 16 bad bytes before the kanji that would make them few: given up where they are.
      {"iso-2022-jp given up at its sixteenth bad byte", TextEncoding::Auto,
       "\x1B(B" + std::string(16, '\x80') + Repeat(iso16, 16), TextEncoding::Bytes, ""},
      // A designation right after another designates as any other.
      {"iso-2022-jp with an empty segment", TextEncoding::Auto, "\x1B$B\x1B(Bplain\n",
       TextEncoding::Iso2022Jp, "plain\n"},
      // CP932 and UTF-8 read as ISO-2022-JP are all bad bytes.
      {"cp932 with an iso-2022-jp designation", TextEncoding::Auto, sjis + "\x1B(B",
       TextEncoding::Cp932, "これは検索のテストです。\r\n\x1B(B"},
      {"utf-8 with an iso-2022-jp designation", TextEncoding::Auto,
       Repeat("これは検索のテストです。\n", 4) + "\x1B(B", TextEncoding::Bytes, ""},
      {"ansi colours", TextEncoding::Auto, "\x1B[31mred\x1B[0m\n", TextEncoding::Bytes, ""},
      {"utf-16le bom, surrogate pair", TextEncoding::Auto, utf16le, TextEncoding::Utf16Le,
       "検" + emoji + "a\n", 2},
      {"utf-16be bom, surrogate pair", TextEncoding::Auto, utf16be, TextEncoding::Utf16Be,
       "検" + emoji + "a\n", 2},
      {"utf-16le bom, lone lead surrogate at the end", TextEncoding::Auto,
       std::string("\xFF\xFE\x61\x00\x3D\xD8", 6), TextEncoding::Bytes, ""},
      {"utf-16le bom alone", TextEncoding::Auto, "\xFF\xFE", TextEncoding::Utf16Le, "", 2},
      {"utf-16le without a mark, ascii", TextEncoding::Auto, englishLe, TextEncoding::Utf16Le,
       "Search me\r\n"},
      {"utf-16be without a mark, ascii", TextEncoding::Auto, englishBe, TextEncoding::Utf16Be,
       "Search me\n"},
      {"utf-16le without a mark, japanese", TextEncoding::Auto, japaneseLe, TextEncoding::Utf16Le,
       "これは検索のテストです。\n"},
      {"utf-16be without a mark, japanese", TextEncoding::Auto, japaneseBe, TextEncoding::Utf16Be,
       "これは検索のテストです。\n"},
      {"utf-16le without a mark, surrogate pair", TextEncoding::Auto,
       Encode("検索です" + emoji + "a\n", "UTF-16LE"), TextEncoding::Utf16Le,
       "検索です" + emoji + "a\n"},
      {"utf-16le without a mark, one character", TextEncoding::Auto, std::string("a\0", 2),
       TextEncoding::Utf16Le, "a"},
      {"utf-16le without a mark, odd length", TextEncoding::Auto, englishLe + "x",
       TextEncoding::Bytes, ""},
      {"utf-16le without a mark, lone trail surrogate", TextEncoding::Auto,
       englishLe + std::string("\x00\xDC", 2) + englishLe, TextEncoding::Bytes, ""},
      {"utf-16le without a mark, lone lead surrogate at the end", TextEncoding::Auto,
       englishLe + std::string("\x3D\xD8", 2), TextEncoding::Bytes, ""},
      {"utf-16le without a mark, eleven control characters", TextEncoding::Auto,
       englishLe + Encode(std::string(11, '\x01'), "UTF-16LE"), TextEncoding::Bytes, ""},
      {"utf-16le without a mark, its sign the last probed byte", TextEncoding::Auto,
       aLe.substr(0, 4094) + std::string("\n\0", 2), TextEncoding::Utf16Le,
       Repeat("あ", 2047) + "\n"},
      {"utf-16le without a mark, its sign past the probed bytes", TextEncoding::Auto,
       aLe + std::string("\n\0", 2), TextEncoding::Bytes, ""},
      {"little-endian 32-bit integers", TextEncoding::Auto, int32s, TextEncoding::Bytes, ""},
      {"png header", TextEncoding::Auto, png, TextEncoding::Bytes, ""},
      {"nul-separated paths", TextEncoding::Auto, nulSeparated, TextEncoding::Bytes, ""},
      {"ascii with one nul", TextEncoding::Auto, std::string("hello\0world, hello again\n", 25),
       TextEncoding::Bytes, ""},
      {"ascii ending in a line break and a nul", TextEncoding::Auto,
       std::string("hello\0world, hello again\n", 26), TextEncoding::Bytes, ""},
      {"utf-16le without a mark, kanji only", TextEncoding::Auto,
       Encode("長野県諏訪郡原村\n東京都千代田区\n", "UTF-16LE"), TextEncoding::Bytes, ""},
      {"cp932 with a control byte", TextEncoding::Auto, sjis + "\x01", TextEncoding::Cp932,
       "これは検索のテストです。\r\n\x01"},
      {"utf-8", TextEncoding::Auto, "検索" + emoji, TextEncoding::Bytes, ""},
      {"utf-8 cut inside its last character", TextEncoding::Auto,
       Repeat("ファイルの検索\n", 4) + "\xE6\xA4", TextEncoding::Bytes, ""},
      {"utf-8 ending in a lead and a stray byte", TextEncoding::Auto,
       Repeat("ファイルの検索\n", 4) + "\xC3\xA9\x80", TextEncoding::Bytes, ""},
      {"utf-8 with a stray byte", TextEncoding::Auto, "ファイル\xA1の検索\n", TextEncoding::Bytes,
       ""},
      {"as many stray bytes as characters, read as nothing", TextEncoding::Auto,
       Repeat("\x82\xA0\xE6\xA4\x9C", 20), TextEncoding::Bytes, ""},
      // The cut character's byte is kept as it stands.
      {"cp932 cut inside a character", TextEncoding::Auto, sjis + sjis.substr(0, 1),
       TextEncoding::Cp932, "これは検索のテストです。\r\n\x82"},
      {"cp932 with eleven control bytes", TextEncoding::Auto, sjis + std::string(11, '\x01'),
       TextEncoding::Bytes, ""},
      {"binary", TextEncoding::Auto, binary, TextEncoding::Bytes, ""},
      {"forced bytes", TextEncoding::Bytes, sjis, TextEncoding::Bytes, ""},
      {"forced cp932, stray and cut bytes", TextEncoding::Cp932,
       "\x80" + Encode(kanji, "windows-31j") + "a\x82", TextEncoding::Cp932,
       kReplacement + kanji + "a" + kReplacement},
      {"forced euc-jp, triple cut short", TextEncoding::EucJp, "a\x8F\xB0", TextEncoding::EucJp,
       "a" + kReplacement + kReplacement},
      {"forced euc-jp, c1 control", TextEncoding::EucJp, "a\x8Cz", TextEncoding::EucJp,
       "a" + kReplacement + "z"},
      {"forced utf-8, well-formed", TextEncoding::Utf8, "検索", TextEncoding::Bytes, ""},
      {"forced utf-8, bad bytes", TextEncoding::Utf8, "a\xFFz\xE6\xA4", TextEncoding::Utf8,
       "a" + kReplacement + "z" + kReplacement},
      {"forced utf-16le, bom dropped", TextEncoding::Utf16Le, utf16le, TextEncoding::Utf16Le,
       "検" + emoji + "a\n", 2},
      {"forced utf-16be, le bom kept", TextEncoding::Utf16Be, "\xFF\xFE" + Encode("a", "UTF-16BE"),
       TextEncoding::Utf16Be,
       "\xEF\xBF\xBE"
       "a"},
      {"forced utf-16le, odd length", TextEncoding::Utf16Le, Encode("検", "UTF-16LE") + "x",
       TextEncoding::Utf16Le, "検" + kReplacement},
      {"forced utf-16le, lone surrogate", TextEncoding::Utf16Le, std::string("\x3D\xD8\x61\x00", 4),
       TextEncoding::Utf16Le, kReplacement + "a"},
      {"forced iso-2022-jp, 8-bit byte", TextEncoding::Iso2022Jp, iso + "\xE9",
       TextEncoding::Iso2022Jp, "検索する\n" + kReplacement},
      {"forced cp932 that counts as binary", TextEncoding::Cp932, sjis + std::string(11, '\x02'),
       TextEncoding::Bytes, ""},
  };
  std::mt19937 random(20261211);
  for (const Case& c : cases) {
    const std::string expected = c.from == TextEncoding::Bytes ? c.file : c.text;
    for (const Split& split : SplitsOf(c.file, random)) {
      const Outcome outcome = DecideAndDecode(c.mode, c.file, split);
      EXPECT_EQ(c.from, outcome.decision.from) << "case=" << c.label << " " << split.Label();
      EXPECT_EQ(c.skip, outcome.decision.skip) << "case=" << c.label << " " << split.Label();
      EXPECT_EQ(expected, outcome.text) << "case=" << c.label << " " << split.Label();
      if (HasFailure()) return;
    }
    // The in-memory decoding says the same.
    std::string text;
    EXPECT_EQ(c.from, DecodeFileText(c.mode, reinterpret_cast<const unsigned char*>(c.file.data()),
                                     c.file.size(), text))
        << "case=" << c.label;
    EXPECT_EQ(expected, text) << "case=" << c.label;
  }
}

// Realistic small files: Japanese ones (short, damaged) are decoded, each bad byte
// kept as it stands; Western and other East Asian ones stay raw; at every split.
TEST(TextDecision, SampleFilesAreDecidedByTheirEvidence) {
  std::mt19937 random(20261213);
  for (const test::EncodingSample& sample : test::EncodingSamples()) {
    const Outcome whole = DecideAndDecode(TextEncoding::Auto, sample.bytes,
                                          Split{std::max<std::size_t>(1, sample.bytes.size())});
    EXPECT_EQ(sample.decided, whole.decision.from) << "case=" << sample.label;
    EXPECT_NE(whole.text.find(sample.query), std::string::npos) << "case=" << sample.label;
    // Nothing of the file is lost: bad bytes are kept, never replaced.
    EXPECT_EQ(whole.text.find("\xEF\xBF\xBD"), std::string::npos) << "case=" << sample.label;
    for (const Split split : {Split{1}, Split{1 + random() % 40}}) {
      const Outcome outcome = DecideAndDecode(TextEncoding::Auto, sample.bytes, split);
      EXPECT_TRUE(outcome.decision.from == whole.decision.from && outcome.text == whole.text)
          << "case=" << sample.label << " " << split.Label();
    }
  }
}

// ISO-2022-JP decided automatically keeps what ICU cannot read, and reads the rest as
// ICU does: every JIS X 0208 pair that ICU maps, JIS X 0201 half-width katakana and
// Roman letters decode to ICU's own text (that of a forced decoding), whatever the
// pieces.
TEST(TextDecision, WellFormedIso2022JpDecodesAsIcuReadsIt) {
  UErrorCode error = U_ZERO_ERROR;
  UConverter* converter = ucnv_open("ISO-2022-JP", &error);
  ASSERT_TRUE(U_SUCCESS(error));
  ucnv_setToUCallBack(converter, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &error);
  std::string file;
  for (char row = 0x21; row <= 0x7E; ++row) {
    std::string pairs;
    for (char cell = 0x21; cell <= 0x7E; ++cell) {
      const char pair[] = {'\x1B', '$', 'B', row, cell};
      UChar units[4];
      error = U_ZERO_ERROR;
      ucnv_toUChars(converter, units, 4, pair, sizeof pair, &error);
      if (U_SUCCESS(error)) pairs += {row, cell};
    }
    if (!pairs.empty()) file += "\x1B$B" + pairs + "\x1B(B\n";
  }
  ucnv_close(converter);
  file += "\x1B(I";
  for (char b = 0x21; b <= 0x5F; ++b) file += b;
  file += "\x1B(J";
  for (char b = 0x21; b <= 0x7E; ++b) file += b;
  file += "\x1B(B\n";
  std::string forced;
  ASSERT_EQ(
      TextEncoding::Iso2022Jp,
      DecodeFileText(TextEncoding::Iso2022Jp, reinterpret_cast<const unsigned char*>(file.data()),
                     file.size(), forced));
  ASSERT_EQ(forced.find(kReplacement), std::string::npos);
  for (const Split split : {Split{1}, Split{7}, Split{4096}, Split{0, file.size() / 2}}) {
    const Outcome outcome = DecideAndDecode(TextEncoding::Auto, file, split);
    EXPECT_EQ(TextEncoding::Iso2022Jp, outcome.decision.from) << split.Label();
    EXPECT_TRUE(outcome.text == forced) << split.Label();
  }
}

// Random files in every encoding, some damaged, under every mode: the decision and
// the text do not depend on how the file is cut into pieces.
TEST(TextDecision, RandomFilesDecideAndDecodeAlikeWhateverThePieces) {
  static const char* const kPieces[] = {"検", "索",   "ア", "ｱ",    "丂", "😀", "a",
                                        "\n", "\r\n", "\t", "\x01", " ",  "x", "①"};
  static const char* const kEncodings[] = {"windows-31j", "EUC-JP",   "ISO-2022-JP",
                                           "UTF-16LE",    "UTF-16BE", "UTF-8"};
  static const TextEncoding kModes[] = {
      TextEncoding::Auto,    TextEncoding::Auto,    TextEncoding::Auto,
      TextEncoding::Cp932,   TextEncoding::EucJp,   TextEncoding::Iso2022Jp,
      TextEncoding::Utf16Le, TextEncoding::Utf16Be, TextEncoding::Utf8};
  std::mt19937 random(20261212);
  for (int round = 0; round < 1500; ++round) {
    std::string text;
    for (int i = 0, n = static_cast<int>(random() % 60); i < n; ++i) {
      text += kPieces[random() % std::size(kPieces)];
    }
    const char* encoding = kEncodings[random() % std::size(kEncodings)];
    std::string file = Encode(text, encoding);
    if (file.empty()) file = Encode(text, "UTF-8");  // a character the encoding lacks
    if (random() % 3 == 0) file = (encoding[4] == 'B' ? "\xFE\xFF" : "\xFF\xFE") + file;
    if (random() % 4 == 0)
      file.insert(random() % (file.size() + 1), 1, "\x80\xFF\x8F\x1B\0"[random() % 5]);
    if (random() % 4 == 0 && !file.empty()) file.resize(random() % file.size());
    const TextEncoding mode = kModes[random() % std::size(kModes)];
    const Outcome whole = DecideAndDecode(mode, file, Split{std::max<std::size_t>(1, file.size())});
    for (const Split split : {Split{1 + random() % 5}, Split{1 + random() % 40},
                              Split{0, random() % (file.size() + 1)}}) {
      const Outcome outcome = DecideAndDecode(mode, file, split);
      ASSERT_TRUE(whole.decision.from == outcome.decision.from &&
                  whole.decision.skip == outcome.decision.skip && whole.text == outcome.text)
          << "round=" << round << " mode=" << static_cast<int>(mode) << " " << split.Label()
          << " file=" << testing::PrintToString(file);
    }
  }
}

// A piece of many kilobytes decoded at once is counted as it is when it comes a few
// bytes at a time: more characters of one kind than a field of the packed counts
// holds, and control bytes past the first few kilobytes, each counted once.
TEST(StreamDecoder, LargePieceIsCountedAsSmallPiecesAre) {
  // Japanese text, then kilobytes of ASCII (where the control bytes go).
  const std::string head = Repeat(Encode("これは検索のテストです。ｱｲ\n", "windows-31j"), 200) +
                           Repeat("a line of ASCII text\n", 300);
  const std::string controlled = "\x0B an ASCII line\n";
  const struct {
    const char* label;
    std::string file;
    bool failed;
  } cases[] = {
      {"3000 half-width katakana, then 3000 kana",
       Encode(Repeat("ｱ", 3000) + Repeat("あ", 3000), "windows-31j") + "\n" + head, false},
      {"ten controls late", head + Repeat(controlled, 10), false},
      {"eleven controls late", head + Repeat(controlled, 11), true},
  };
  const auto decode = [](const std::string& file, std::size_t piece, std::string& text) {
    StreamDecoder decoder;
    EXPECT_TRUE(decoder.StartChecked(TextEncoding::Cp932));
    const auto* bytes = reinterpret_cast<const unsigned char*>(file.data());
    std::vector<unsigned char> out(StreamDecoder::MaxOutput(piece));
    for (std::size_t p = 0; p < file.size(); p += piece) {
      const std::size_t size = std::min(piece, file.size() - p);
      text.append(reinterpret_cast<const char*>(out.data()),
                  decoder.Decode(bytes + p, size, out.data()));
    }
    text.append(reinterpret_cast<const char*>(out.data()), decoder.Finish(out.data()));
    return std::make_pair(decoder.failed(), decoder.counts());
  };
  for (const auto& c : cases) {
    std::string wholeText;
    std::string smallText;
    const auto [wholeFailed, whole] = decode(c.file, c.file.size(), wholeText);
    const auto [smallFailed, small] = decode(c.file, 5, smallText);
    EXPECT_EQ(c.failed, wholeFailed) << "case=" << c.label;
    EXPECT_EQ(c.failed, smallFailed) << "case=" << c.label;
    if (c.failed) continue;
    EXPECT_EQ(smallText, wholeText) << "case=" << c.label;
    EXPECT_EQ(small.controls, whole.controls) << "case=" << c.label;
    EXPECT_EQ(small.letterTrails, whole.letterTrails) << "case=" << c.label;
    for (std::size_t kind = 0; kind < kCharKinds; ++kind) {
      EXPECT_EQ(small.kinds[kind], whole.kinds[kind]) << "case=" << c.label << " kind=" << kind;
    }
  }
}

// StillCountsAsText and HoldsCountedControl tell each byte value alike in every lane
// of their paths (blocks of 128 bytes in 32-byte vectors, 16-byte vectors, single
// bytes): to StillCountsAsText a NUL ends the text, a counted control byte counts
// one, any other byte nothing; HoldsCountedControl finds the bytes IsCountedControl
// names.
TEST(CountedControls, EveryByteValueInEveryLaneIsToldAsIsCountedControlTellsIt) {
  constexpr std::size_t kSize = 128 * 2 + 16 * 3 + 6;
  for (unsigned value = 0; value < 256; ++value) {
    const auto b = static_cast<unsigned char>(value);
    for (std::size_t at = 0; at < kSize; ++at) {
      std::vector<unsigned char> text(kSize, 'a');
      text[at] = b;
      std::size_t controls = 0;
      const bool still = StillCountsAsText(text.data(), text.size(), controls);
      ASSERT_TRUE(still == (b != 0) && controls == (b != 0 && IsCountedControl(b) ? 1u : 0u))
          << "byte=" << value << " at=" << at;
      ASSERT_EQ(IsCountedControl(b), HoldsCountedControl(text.data(), text.size()))
          << "byte=" << value << " at=" << at;
    }
  }
}

bool HasDesignation(const std::string& bytes) {
  for (const char* designation : {"\x1B$@", "\x1B$B", "\x1B$(D", "\x1B(B", "\x1B(J", "\x1B(I"}) {
    if (bytes.find(designation) != std::string::npos) return true;
  }
  return false;
}

// Utf8Stream against ICU's U8_NEXT over the whole file, on every vector width, for
// random files fed in random pieces; designations are built from pieces so that
// they are often split.
TEST(Utf8Stream, AgreesWithTheWholeFileWhateverThePieces) {
  const std::vector<std::string> pieces = {"a",
                                           "\n",
                                           "\x1B",
                                           "$",
                                           "(",
                                           "B",
                                           "@",
                                           "D",
                                           "J",
                                           "é",
                                           "検",
                                           "😀",
                                           "\xC0\xAF",
                                           "\xE0\x80\xAF",
                                           "\xED\xA0\x80",
                                           "\xF4\x90\x80\x80",
                                           "\x80",
                                           "\xC3",
                                           "\xE6\xA4",
                                           "\xF0\x9F\x98",
                                           std::string(70, 'x')};
  std::mt19937 random(20261213);
  Utf8Stream stream;
  for (int round = 0; round < 3000; ++round) {
    std::string file;
    for (int i = 0, n = static_cast<int>(random() % 40); i < n; ++i) {
      // Mostly well-formed pieces, so that a bad one lands anywhere in a long run.
      file += pieces[random() % 8 == 0 ? random() % pieces.size() : random() % 12];
    }
    bool wellFormed = true;
    const auto* data = reinterpret_cast<const std::uint8_t*>(file.data());
    for (std::int32_t i = 0, length = static_cast<std::int32_t>(file.size()); i < length;) {
      UChar32 c;
      U8_NEXT(data, i, length, c);
      if (c < 0) wellFormed = false;
    }
    const bool nonAscii =
        std::any_of(file.begin(), file.end(), [](char b) { return (b & 0x80) != 0; });
    for (const int width : {64, 32, 0}) {
      SetUtf8CheckWidestVector(width);
      const std::size_t piece = 1 + random() % (random() % 2 ? 4 : 100);
      stream.Reset();
      for (std::size_t p = 0; p < file.size(); p += piece) {
        stream.Feed(data + p, std::min(piece, file.size() - p));
      }
      stream.Finish();
      const std::string label = "vectors=" + std::to_string(width) +
                                " piece=" + std::to_string(piece) +
                                " file=" + testing::PrintToString(file);
      EXPECT_EQ(wellFormed, stream.valid()) << label;
      if (wellFormed) {
        EXPECT_EQ(nonAscii, stream.nonAscii()) << label;
        EXPECT_EQ(HasDesignation(file), stream.designation()) << label;
      }
    }
    SetUtf8CheckWidestVector(64);
    if (HasFailure()) break;
  }
}

}  // namespace
}  // namespace kolbrin
