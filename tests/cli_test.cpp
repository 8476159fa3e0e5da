// kolbrin-grep: argument parsing, and whole runs on files the test writes.
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli/Options.h"
#include "platform/Files.h"
#include "tests/ArchiveFixtures.h"
#include "tests/EncodingSamples.h"
#include "tests/TestSupport.h"

namespace kolbrin::cli {
namespace {

using test::EncodingSample;
using test::EncodingSamples;
using test::FixtureMember;
using test::ProcessOutcome;
using test::RunProgram;
using test::TempFolder;

const std::string kProgram = KOLBRIN_GREP_PATH;

TEST(CliArguments, ReadsOptionsInBothFormsAndStopsAtDoubleDash) {
  const ParseOutcome parsed = ParseArguments({"--tab=3", "--second", "two", "--or", "--case",
                                              "--show-empty", "-r", "one", "a", "--", "-b"});
  ASSERT_EQ(parsed.kind, ParseOutcome::Run) << parsed.message;
  EXPECT_TRUE(parsed.options.searchFolders);
  EXPECT_EQ(parsed.options.settings.String1, "one");
  EXPECT_EQ(parsed.options.settings.String2, "two");
  EXPECT_EQ(parsed.options.settings.TabWidth, 3);
  EXPECT_EQ(parsed.options.settings.AndMode, kOrMode);
  EXPECT_TRUE(parsed.options.settings.CaseSensitive);
  EXPECT_TRUE(parsed.options.showEmpty);
  EXPECT_EQ(parsed.options.paths, (std::vector<std::string>{"a", "-b"}));

  const ParseOutcome defaults = ParseArguments({"--", "--or", "path"});
  ASSERT_EQ(defaults.kind, ParseOutcome::Run);
  EXPECT_EQ(defaults.options.settings.String1, "--or");
  EXPECT_EQ(defaults.options.settings.TabWidth, 8);
  EXPECT_EQ(defaults.options.settings.AndMode, kAndMode);
  EXPECT_FALSE(defaults.options.settings.CaseSensitive);
  EXPECT_FALSE(defaults.options.showEmpty);
  EXPECT_FALSE(defaults.options.searchFolders);
  EXPECT_TRUE(ParseArguments({"one", "--recursive", "p"}).options.searchFolders);
  EXPECT_EQ(defaults.options.jobs, 0u);
  EXPECT_EQ(ParseArguments({"--jobs", "1", "one", "p"}).options.jobs, 1u);
  EXPECT_EQ(ParseArguments({"--jobs=64", "one", "p"}).options.jobs, 64u);
  EXPECT_EQ(ParseArguments({"--", "-r", "p"}).options.settings.String1, "-r");
}

TEST(CliArguments, RejectsBadInputNamingTheProblem) {
  struct Case {
    std::vector<std::string> arguments;
    const char* named;
  };
  const Case cases[] = {
      {{}, "STRING1"},
      {{"one"}, "PATH"},
      {{"", "p"}, "STRING1"},
      {{std::string(256, 'x'), "p"}, "STRING1"},
      {{"--second", std::string(256, 'x'), "one", "p"}, "--second"},
      {{"--tab", "0", "one", "p"}, "--tab"},
      {{"--tab=17", "one", "p"}, "--tab"},
      {{"--tab", "8x", "one", "p"}, "--tab"},
      {{"--tab"}, "--tab"},
      {{"--or=yes", "one", "p"}, "--or"},
      {{"--colour", "one", "p"}, "--colour"},
      {{"-i", "one", "p"}, "-i"},
      {{"-rr", "one", "p"}, "-rr"},
      {{"--recursive=1", "one", "p"}, "--recursive"},
      {{"--jobs", "-1", "one", "p"}, "--jobs"},
      {{"--jobs=65", "one", "p"}, "--jobs"},
      {{"--jobs", "two", "one", "p"}, "--jobs"},
  };
  for (const Case& c : cases) {
    const ParseOutcome parsed = ParseArguments(c.arguments);
    EXPECT_EQ(parsed.kind, ParseOutcome::UsageError) << c.named;
    EXPECT_NE(parsed.message.find(c.named), std::string::npos) << parsed.message;
  }
  EXPECT_EQ(ParseArguments({std::string(255, 'x'), "p"}).kind, ParseOutcome::Run);
  EXPECT_EQ(ParseArguments({"--tab", "16", "--second=", "x", "p"}).kind, ParseOutcome::Run);
}

TEST(CliArguments, EncodingTakesTheNamesInEitherFormAndRejectsOthers) {
  const std::pair<std::vector<std::string>, TextEncoding> accepted[] = {
      {{"one", "p"}, TextEncoding::Auto},
      {{"--encoding", "bytes", "one", "p"}, TextEncoding::Bytes},
      {{"--encoding=EUC-JP", "one", "p"}, TextEncoding::EucJp},
      {{"--encoding", "Shift_JIS", "one", "p"}, TextEncoding::Cp932},
      {{"--encoding=sjis", "one", "p"}, TextEncoding::Cp932},
      {{"--encoding", "utf-16be", "one", "p"}, TextEncoding::Utf16Be},
      {{"--encoding=utf-8", "--encoding=auto", "one", "p"}, TextEncoding::Auto},
  };
  for (const auto& [arguments, expected] : accepted) {
    const ParseOutcome parsed = ParseArguments(arguments);
    ASSERT_EQ(parsed.kind, ParseOutcome::Run) << arguments.front() << ": " << parsed.message;
    EXPECT_EQ(parsed.options.settings.Encoding, expected) << arguments.front();
    EXPECT_EQ(parsed.options.settings.String1, "one") << "the name is not taken as STRING1";
  }

  const ParseOutcome unknown = ParseArguments({"--encoding=latin1", "one", "p"});
  EXPECT_EQ(unknown.kind, ParseOutcome::UsageError);
  EXPECT_NE(unknown.message.find("'latin1'"), std::string::npos) << unknown.message;
  EXPECT_NE(unknown.message.find(kEncodingNames), std::string::npos) << unknown.message;
  EXPECT_EQ(unknown.message.find('\n'), std::string::npos) << "one line";
  const ParseOutcome missing = ParseArguments({"one", "p", "--encoding"});
  EXPECT_EQ(missing.kind, ParseOutcome::UsageError);
  EXPECT_NE(missing.message.find("--encoding"), std::string::npos) << missing.message;
}

TEST(CliRun, EncodingDecidesWhatAStringFindsAndHowHitLinesShow) {
  // "一行目", "検索する文字列です" and "表示とソフト" in CP932 (iconv -t CP932).
  const std::string line1 = "\x88\xEA\x8D\x73\x96\xDA";
  const std::string searched = "\x8C\x9F\x8D\xF5";  // 検索
  const std::string line2 = searched + "\x82\xB7\x82\xE9\x95\xB6\x8E\x9A\x97\xF1\x82\xC5\x82\xB7";
  const std::string line3 = "\x95\x5C\x8E\xA6\x82\xC6\x83\x5C\x83\x74\x83\x67";
  // The same text with a byte CP932 does not use after 検索する.
  const std::string strayLine2 = line2.substr(0, 8) + "\x80" + line2.substr(8);
  TempFolder folder;
  const std::string clean =
      folder.Write("clean.txt", line1 + "\r\n" + line2 + "\r\n" + line3 + "\r\n");
  const std::string stray =
      folder.Write("stray.txt", line1 + "\r\n" + strayLine2 + "\r\n" + line3 + "\r\n");

  struct Case {
    const char* label;
    std::vector<std::string> options;
    std::string string1;
    const std::string& path;
    int status;
    std::string shown;  // what follows "\n\t" in the output; empty when nothing is printed
  };
  const Case cases[] = {
      {"auto decodes CP932", {}, "検索", clean, 0, "LINE[0000000002]:検索する文字列です\n"},
      {"bytes: the UTF-8 string is not in the file", {"--encoding", "bytes"}, "検索", clean, 1, ""},
      {"bytes: the CP932 string is, shown raw",
       {"--encoding=bytes"},
       searched,
       clean,
       0,
       "LINE[0000000002]:" + line2 + "\n"},
      {"euc-jp forced on CP932: the UTF-8 string is not found",
       {"--encoding", "euc-jp"},
       "検索",
       clean,
       1,
       ""},
      // The raw file holds no EF BF BD, so a hit on U+FFFD comes from the decoding.
      {"euc-jp forced on CP932: bad sequences become U+FFFD",
       {"--encoding", "euc-jp"},
       "\xEF\xBF\xBD",
       clean,
       0,
       "LINE[0000000002]:"},
      {"cp932 forced: the stray byte becomes U+FFFD",
       {"--encoding", "cp932"},
       "検索",
       stray,
       0,
       "LINE[0000000002]:検索する\xEF\xBF\xBD文字列です\n"},
      {"auto decodes a file with one stray byte, keeping the byte",
       {},
       "検索",
       stray,
       0,
       "LINE[0000000002]:検索する\x80文字列です\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments = c.options;
    arguments.push_back(c.string1);
    arguments.push_back(c.path);
    const ProcessOutcome run = RunProgram(kProgram, arguments);
    EXPECT_EQ(run.status, c.status) << c.label << ": " << run.err;
    if (c.shown.empty()) {
      EXPECT_EQ(run.out, "") << c.label;
      continue;
    }
    EXPECT_EQ(run.out.rfind("-" + c.path + "\n\t", 0), 0u) << c.label << ": " << run.out;
    EXPECT_NE(run.out.find("\n\t" + c.shown), std::string::npos) << c.label << ": " << run.out;
  }
}

// The characters Japanese text holds in two mappings are found in either, case kept
// or ignored, and the hit line shows the file's own character.
TEST(CliRun, EachMappedCharacterFindsBothMappings) {
  const std::pair<std::string, std::string> pairs[] = {
      {"〜", "～"}, {"‖", "∥"}, {"−", "－"}, {"¢", "￠"}, {"£", "￡"}, {"¬", "￢"},
  };
  TempFolder folder;
  for (const auto& [jis, windows] : pairs) {
    for (const bool typedJis : {true, false}) {
      const std::string& typed = typedJis ? jis : windows;
      const std::string& held = typedJis ? windows : jis;
      const std::string label = "typed " + typed + " held " + held;
      // In a sentence, with letters of another case after it, and at the file's end.
      const std::string sentence = "価格は10" + held + "です Total\n";
      const std::string path =
          folder.Write("pair.txt", "一行目\n" + sentence + "next line\n末尾の" + held);
      for (const bool caseKept : {true, false}) {
        std::vector<std::string> arguments;
        if (caseKept) arguments.push_back("--case");
        arguments.insert(arguments.end(), {"10" + typed + "です", path});
        ProcessOutcome run = RunProgram(kProgram, arguments);
        EXPECT_EQ(run.status, 0) << label << (caseKept ? " case kept" : "") << run.err;
        EXPECT_EQ(run.out, "-" + path + "\n\tLINE[0000000002]:" + sentence)
            << label << (caseKept ? " case kept" : "");
      }
      // Case ignored applies to the letters around the character.
      ProcessOutcome run = RunProgram(kProgram, {typed + "です total", path});
      EXPECT_EQ(run.out, "-" + path + "\n\tLINE[0000000002]:" + sentence) << label;
      // The last character of the file.
      run = RunProgram(kProgram, {"--case", "の" + typed, path});
      EXPECT_EQ(run.out, "-" + path + "\n\tLINE[0000000004]:末尾の" + held + "\n") << label;
      // A two-string AND search needs both strings, each found mapped.
      run = RunProgram(kProgram, {"--second", typed, "next", path});
      EXPECT_EQ(run.out, "-" + path + "\n\tLINE[0000000002]:" + sentence +
                             "\tLINE[0000000003]:next line\n\tLINE[0000000004]:末尾の" + held +
                             "\n")
          << label;
      // Other characters that share a lead byte are no match.
      run = RunProgram(kProgram, {typed, folder.Write("other.txt", "ＡＢＣ ∞ ¡ 〃 ￣\n")});
      EXPECT_EQ(run.status, 1) << label << ": " << run.out;
    }
  }
}

// Realistic files in automatic mode: the Japanese ones are found by their Japanese
// text, the others stay raw, their hit lines shown as the file's own bytes.
TEST(CliRun, AutoDetectionFindsJapaneseAndLeavesOtherTextRaw) {
  TempFolder folder;
  const std::vector<EncodingSample> samples = EncodingSamples();
  std::vector<std::string> others;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const EncodingSample& sample = samples[i];
    const std::string path = folder.Write("sample" + std::to_string(i) + ".txt", sample.bytes);
    if (!sample.japanese) others.push_back(path);
    const ProcessOutcome run = RunProgram(kProgram, {sample.query, path});
    EXPECT_EQ(run.status, 0) << sample.label << ": " << run.err;
    char line[32];
    std::snprintf(line, sizeof line, "\tLINE[%010d]:", sample.line);
    EXPECT_NE(run.out.find(line), std::string::npos) << sample.label << ": " << run.out;
    if (!sample.japanese) {
      // The hit line as the file holds it.
      std::size_t start = 0;
      for (int n = 1; n < sample.line; ++n) start = sample.bytes.find('\n', start) + 1;
      const std::string own = sample.bytes.substr(start, sample.bytes.find('\n', start) - start);
      EXPECT_NE(run.out.find(line + own + "\n"), std::string::npos)
          << sample.label << ": " << run.out;
    }
  }
  // Over all the files that are not Japanese, an ASCII search in automatic mode finds
  // every line that a search of the bytes finds.
  for (const char* ascii : {"a", "e", "i", "n", "o", "s", "t", "r", "u", "ois", "ist", "the",
                            "README", "Seoul", "Beijing", "library", "2001", ".", " "}) {
    std::vector<std::string> arguments = {ascii};
    arguments.insert(arguments.end(), others.begin(), others.end());
    const ProcessOutcome automatic = RunProgram(kProgram, arguments);
    arguments.insert(arguments.begin(), {"--encoding", "bytes"});
    const ProcessOutcome bytes = RunProgram(kProgram, arguments);
    EXPECT_EQ(automatic.out, bytes.out) << "search=" << ascii;
  }
}

// UTF-16 without a byte order mark, as Windows tools write it, is found by what is
// typed; files that only look like it (odd length, a lone surrogate, binary data)
// stay raw, their search finding what a search of the bytes finds.
TEST(CliRun, Utf16WithoutAMarkIsFoundAndLookAlikesStayRaw) {
  const std::string english = "Windows PowerShell\r\nCopyright (C) Microsoft Corporation.\r\n";
  const std::string japanese = "設定ファイルを読み込みます。\r\n検索が終わりました。\r\n";
  std::string int32s;
  for (std::uint32_t value = 1; value < 400; value += 7) {
    for (int shift = 0; shift < 32; shift += 8) int32s += static_cast<char>(value >> shift);
  }
  static const char kPngHeader[] =
      "\x89PNG\r\n\x1A\n\0\0\0\rIHDR\0\0\x01\0\0\0\x01\0\x08\x06\0\0\0";
  const std::string png(kPngHeader, sizeof kPngHeader - 1);
  struct Case {
    const char* label;
    std::string bytes;
    const char* query;
    std::string shown;  // the hit line shown, when the file is decoded; empty: raw
  };
  const std::vector<Case> cases = {
      {"english utf-16le", test::Encode(english, "UTF-16LE"), "microsoft",
       "LINE[0000000002]:Copyright (C) Microsoft Corporation."},
      {"english utf-16be", test::Encode(english, "UTF-16BE"), "PowerShell",
       "LINE[0000000001]:Windows PowerShell"},
      {"japanese utf-16le", test::Encode(japanese, "UTF-16LE"), "検索",
       "LINE[0000000002]:検索が終わりました。"},
      {"japanese utf-16be", test::Encode(japanese, "UTF-16BE"), "読み込み",
       "LINE[0000000001]:設定ファイルを読み込みます。"},
      {"utf-16le of odd length", test::Encode(english, "UTF-16LE") + "x", "W", ""},
      {"utf-16le with a lone surrogate",
       test::Encode(english, "UTF-16LE") + std::string("\x00\xDC", 2), "W", ""},
      {"little-endian 32-bit integers", int32s, "\x01", ""},
      {"png-like header", png, "IHDR", ""},
  };
  TempFolder folder;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const std::string path = folder.Write("utf16-" + std::to_string(i) + ".txt", c.bytes);
    const ProcessOutcome automatic = RunProgram(kProgram, {c.query, path});
    if (!c.shown.empty()) {
      EXPECT_NE(automatic.out.find("\t" + c.shown + "\n"), std::string::npos)
          << c.label << ": " << automatic.out;
    } else {
      const ProcessOutcome bytes = RunProgram(kProgram, {"--encoding", "bytes", c.query, path});
      EXPECT_EQ(bytes.status, 0) << c.label;
      EXPECT_EQ(automatic.out, bytes.out) << c.label;
    }
  }
  // Real executables and images stay raw.
  for (const char* real : {"/usr/bin/env", "/usr/bin/true", "/usr/share/pixmaps/debian-logo.png",
                           "/usr/share/gitweb/static/git-logo.png"}) {
    std::ifstream in(real, std::ios::binary);
    if (!in) continue;
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const std::string path =
        folder.Write("real-" + std::filesystem::path(real).filename().string(), bytes);
    for (const char* query : {"e", "GLIBC", "PNG", "\x01"}) {
      const ProcessOutcome automatic = RunProgram(kProgram, {query, path});
      const ProcessOutcome raw = RunProgram(kProgram, {"--encoding", "bytes", query, path});
      EXPECT_EQ(automatic.out, raw.out) << real << " search=" << query;
    }
  }
}

TEST(CliArguments, RelativePathsGetTheCurrentFolderInFront) {
  using platform::AbsolutePath;
  EXPECT_EQ(AbsolutePath("a/../b.txt", "/home/u"), "/home/u/a/../b.txt");
  EXPECT_EQ(AbsolutePath("b.txt", "/"), "/b.txt");
  EXPECT_EQ(AbsolutePath("/abs/c.txt", "/home/u"), "/abs/c.txt");
}

TEST(CliRun, PrintsTheExpandedTreeAndExitsByHits) {
  TempFolder folder;
  folder.Write("b.txt", "x\n\tTwo Key\r\n");
  folder.Write("A.txt", "key one\nnada\nKEY three\n");
  folder.Write("none.txt", "nothing\n");
  const std::string base = folder.path() + "/";

  ProcessOutcome run = RunProgram(kProgram, {"key", "b.txt", "none.txt", "A.txt"}, folder.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "-" + base +
                         "A.txt\n\tLINE[0000000001]:key one\n"
                         "\tLINE[0000000003]:KEY three\n"
                         "-" +
                         base + "b.txt\n\tLINE[0000000002]:        Two Key\n");
  EXPECT_EQ(run.err, "") << "no status line when stderr is not a terminal";

  run = RunProgram(kProgram, {"--case", "--tab=2", "--show-empty", "Key", "b.txt", "none.txt"},
                   folder.path());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "-" + base + "b.txt\n\tLINE[0000000002]:  Two Key\n " + base + "none.txt\n");

  run = RunProgram(kProgram, {"--second", "three", "one", base + "A.txt", base + "b.txt"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "-" + base +
                         "A.txt\n\tLINE[0000000001]:key one\n"
                         "\tLINE[0000000003]:KEY three\n");

  run = RunProgram(kProgram, {"absent", base + "A.txt", folder.path()});
  EXPECT_EQ(run.status, 1) << "a folder without -r is skipped, not an error";
  EXPECT_EQ(run.out, "");
  run = RunProgram(kProgram, {"--show-empty", "absent", base + "A.txt"});
  EXPECT_EQ(run.status, 1) << "files without hits print no hit node";
  EXPECT_EQ(run.out, " " + base + "A.txt\n");
}

// -r over a tree holding every kind of entry a walk meets. With --show-empty a file
// node is listed for every path searched, also one that could not be read, so the
// output names exactly the paths the walk took in.
TEST(CliRun, RecursiveTakesInEveryRegularFileBelowAFolderAndNothingElse) {
  TempFolder folder;
  const std::string top = folder.path() + "/";
  const std::string b = top + "b/";
  for (const char* name : {"A.txt", "C.txt", "b/a.txt", "b/M.txt", "b/M/n.txt", "b/M/o/p.txt",
                           "b/q\xE9.txt", "b/locked/secret.txt"}) {
    folder.Write(name, "key\n");
  }
  folder.Write("b/Z.txt", "nothing\n");
  ASSERT_EQ(::mkfifo((b + "fifo").c_str(), 0600), 0);
  std::filesystem::create_symlink("a.txt", b + "Link.txt");
  std::filesystem::create_directory_symlink(".", b + "loop");
  std::filesystem::create_directory_symlink("M", b + "linkdir");
  std::filesystem::create_symlink("self", b + "self");
  std::filesystem::create_symlink("missing", b + "dangling");
  ASSERT_EQ(::chmod((b + "locked").c_str(), 0), 0);
  struct Unlock {
    std::string path;
    ~Unlock() { ::chmod(path.c_str(), 0700); }
  } unlock{b + "locked"};

  // Root reads every folder: it runs without that capability where it can.
  std::string program = kProgram;
  std::vector<std::string> arguments;
  bool lockedIsUnreadable = ::geteuid() != 0;
  const std::string setpriv = "/usr/bin/setpriv";
  const std::vector<std::string> dropReading = {"--bounding-set=-dac_override,-dac_read_search"};
  if (!lockedIsUnreadable && ::access(setpriv.c_str(), X_OK) == 0) {
    std::vector<std::string> probe = dropReading;
    probe.push_back("/bin/true");
    if (RunProgram(setpriv, probe).status == 0) {
      program = setpriv;
      arguments = dropReading;
      arguments.push_back(kProgram);
      lockedIsUnreadable = true;
    }
  }
  arguments.insert(arguments.end(),
                   {"-r", "--show-empty", "key", top + "C.txt", b, top + "A.txt", b + "a.txt"});

  const ProcessOutcome run = RunProgram(program, arguments);
  EXPECT_EQ(run.status, 0) << run.err;
  const std::string hit = "\n\tLINE[0000000001]:key\n";
  // One order over the dropped files and the folder's, letter case ignored; the
  // file dropped as well as found is searched once.
  std::string expected =
      "-" + top + "A.txt" + hit + "-" + b + "a.txt" + hit + "-" + b + "Link.txt" + hit;
  if (!lockedIsUnreadable) expected += "-" + b + "locked/secret.txt" + hit;
  expected += "-" + b + "M.txt" + hit + "-" + b + "M/n.txt" + hit + "-" + b + "M/o/p.txt" + hit +
              "-" + b + "q\xE9.txt" + hit + " " + b + "Z.txt\n" + "-" + top + "C.txt" + hit;
  EXPECT_EQ(run.out, expected);

  // Without -r the folder is still skipped.
  const ProcessOutcome plain = RunProgram(kProgram, {"--show-empty", "key", b, top + "A.txt"});
  EXPECT_EQ(plain.out, "-" + top + "A.txt" + hit);
  if (!lockedIsUnreadable) {
    GTEST_SKIP() << "run as root, and /usr/bin/setpriv cannot drop the capability to read "
                    "every folder: the unreadable folder was read, not passed over";
  }
}

// The output goes through a buffer of 1 MiB: lines of many lengths make nodes end
// at every place in it, and the output must still be the tree, byte for byte.
TEST(CliRun, OutputOfManyBuffersLosesNoByteAtTheirEdges) {
  TempFolder folder;
  std::string lines;
  std::string expected;
  for (int i = 0; i < 150000; ++i) {
    const std::string line = "key " + std::string(static_cast<std::size_t>(i % 53), 'x');
    lines += line + "\n";
    char head[32];
    std::snprintf(head, sizeof head, "\tLINE[%010d]:", i + 1);
    expected += head + line + "\n";
  }
  const std::string path = folder.Write("many.txt", lines);
  const ProcessOutcome run = RunProgram(kProgram, {"key", path});
  EXPECT_EQ(run.status, 0) << run.err;
  ASSERT_GT(expected.size(), 4u << 20);
  EXPECT_TRUE(run.out == "-" + path + "\n" + expected)
      << "sizes " << run.out.size() << " and " << path.size() + 2 + expected.size();
}

TEST(CliRun, UsageErrorsHelpAndVersion) {
  ProcessOutcome run = RunProgram(kProgram, {"--tab", "99", "key", "/tmp"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("--tab"), std::string::npos);
  EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;

  run = RunProgram(kProgram, {"--help"});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("kolbrin-grep [OPTIONS] STRING1 PATH..."), std::string::npos);
  // Every option the parser takes is named.
  for (const char* option : {"--second STRING", "--or", "--case", "--tab N", "--show-empty",
                             "-r, --recursive", "--encoding NAME", "--jobs N"}) {
    EXPECT_NE(run.out.find(option), std::string::npos) << option;
  }
  run = RunProgram(kProgram, {"--version"});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("1.2.0.0"), std::string::npos);
}

// Runs kolbrin-grep with stderr on a terminal, interrupts it once the status line
// shows `waitFor`, and returns its stdout, terminal output and exit status.
ProcessOutcome InterruptOnTerminal(const std::vector<std::string>& arguments,
                                   const std::string& waitFor, const std::string& outFile) {
  int master = -1;
  const pid_t child = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (child == 0) {
    // forkpty puts all three on the terminal; stdout goes to the file.
    std::FILE* out = std::freopen(outFile.c_str(), "wb", stdout);
    if (out == nullptr) ::_exit(126);
    std::vector<char*> argv{const_cast<char*>(kProgram.c_str())};
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(kProgram.c_str(), argv.data());
    ::_exit(127);
  }
  ProcessOutcome outcome;
  bool interrupted = false;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) break;  // EIO once the child has closed the terminal
    outcome.err.append(buffer, static_cast<std::size_t>(n));
    if (!interrupted && outcome.err.find(waitFor) != std::string::npos) {
      ::kill(child, SIGINT);
      interrupted = true;
    }
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(master);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  outcome.out = test::ReadWholeFile(outFile);
  return outcome;
}

TEST(CliRun, FirstInterruptStopsLikeTheStopButton) {
  TempFolder folder;
  std::string lines;
  lines.reserve(16 << 20);
  while (lines.size() < (16u << 20)) lines += "key\n";
  const std::string big = folder.Write("a-big.txt", lines);
  const std::string next = folder.Write("b-next.txt", "key\n");
  const ProcessOutcome run =
      InterruptOnTerminal({"key", big, next}, big + " 検索中...", folder.path() + "/out");
  EXPECT_EQ(run.status, 130) << run.err;
  ASSERT_EQ(run.out.rfind("-" + big + "\n\tLINE[0000000001]:key\n", 0), 0u)
      << run.out.substr(0, 80);
  EXPECT_EQ(run.out.find(next), std::string::npos) << "no further file starts";
  EXPECT_LT(run.out.size(), lines.size() * 5) << "the big file was not searched to its end";
  EXPECT_NE(run.err.rfind("\r\x1b[K"), std::string::npos) << "the status line is cleared";
  // Then the summary, as the window's status bar says it; the terminal ends lines in CR LF.
  EXPECT_NE(run.err.find(" 件 — 中断しました\r\n"), std::string::npos) << run.err;
}

// Points TEMP at a fresh folder for the programs a test starts.
class TempEnvironment {
 public:
  TempEnvironment() {
    if (const char* saved = std::getenv("TEMP")) saved_ = saved;
    ::setenv("TEMP", temp_.path().c_str(), 1);
  }
  ~TempEnvironment() {
    if (saved_) {
      ::setenv("TEMP", saved_->c_str(), 1);
    } else {
      ::unsetenv("TEMP");
    }
  }
  const std::string& path() const { return temp_.path(); }
  bool Empty() const { return std::filesystem::is_empty(temp_.path()); }

 private:
  TempFolder temp_;
  std::optional<std::string> saved_;
};

TEST(CliArchives, SearchesMembersAndLeavesNoCopyBehind) {
  TempFolder folder;
  TempEnvironment temp;
  const std::string zip = folder.path() + "/a.zip";
  test::WriteZip(zip, {{"doc/readme.txt", "the key\n"}, {"other.txt", "none\n"}});
  const ProcessOutcome run = RunProgram(kProgram, {"--show-empty", "key", zip});
  EXPECT_EQ(run.status, 0) << run.err;
  // The copies lay in a private folder inside TEMP, which is gone again.
  const std::string prefix = "-" + temp.path() + "/kolbrin-";
  ASSERT_EQ(run.out.rfind(prefix, 0), 0u) << run.out;
  EXPECT_NE(run.out.find("/readme.txt\n\tLINE[0000000001]:the key\n "), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("/other.txt\n"), std::string::npos) << run.out;
  EXPECT_TRUE(temp.Empty());
}

// A member's name can hold line feeds and escape sequences: written as "\xHH", one
// line stays one node, and nothing reaches the terminal as a control.
TEST(CliArchives, ControlBytesOfANameCannotForgeNodesOrReachTheTerminal) {
  TempFolder folder;
  TempEnvironment temp;
  const std::string zip = folder.path() + "/a.zip";
  test::WriteZip(zip, {{"report.txt\n\tLINE[0000000042]:forged hit\n-fake\x1b[2J.txt", "key\n"}});
  const ProcessOutcome run = RunProgram(kProgram, {"key", zip});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("/report.txt\\x0A\\x09LINE[0000000042]:forged hit\\x0A-fake\\x1B[2J.txt\n"
                         "\tLINE[0000000001]:key\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 2) << "one file node, one hit";
}

// Archive members are decided by the same evidence.
TEST(CliArchives, MembersAreDecidedLikeFiles) {
  TempFolder folder;
  TempEnvironment temp;
  std::vector<FixtureMember> members;
  const std::vector<EncodingSample> samples = EncodingSamples();
  for (std::size_t i = 0; i < samples.size(); ++i) {
    members.push_back({"m" + std::to_string(i) + ".txt", samples[i].bytes});
  }
  const std::string zip = folder.path() + "/samples.zip";
  test::WriteZip(zip, members);
  const std::string lzh = folder.path() + "/samples.lzh";
  test::WriteStoredLzh(lzh, members);
  for (const std::string& archive : {zip, lzh}) {
    for (std::size_t i = 0; i < samples.size(); ++i) {
      const ProcessOutcome run = RunProgram(kProgram, {samples[i].query, archive});
      const std::string member = "/m" + std::to_string(i) + ".txt\n";
      EXPECT_NE(run.out.find(member), std::string::npos)
          << archive << " " << samples[i].label << ": " << run.out;
    }
  }
}

// The member nodes of kolbrin-grep's output: each copy's file name with its hit lines.
std::map<std::string, std::vector<std::string>> MemberHits(const std::string& out) {
  std::map<std::string, std::vector<std::string>> members;
  std::vector<std::string>* current = nullptr;
  std::size_t start = 0;
  for (std::size_t end = out.find('\n'); end != std::string::npos;
       start = end + 1, end = out.find('\n', start)) {
    const std::string line = out.substr(start, end - start);
    if (line.starts_with("\t") && current != nullptr) {
      current->push_back(line.substr(1));
    } else if (!line.empty()) {
      current = &members[platform::FileNameOf(line.substr(1))];
    }
  }
  return members;
}

// One archive of each kind, made by the tools a user has (Python, bsdtar, zstd, lz4,
// compress, gcab) or committed (RAR), holding a UTF-8 text in a folder and a CP932
// text; a single compressed file holds the CP932 text under a Japanese name.
TEST(CliArchives, EveryKindIsSearchedMemberByMember) {
  TempFolder folder;
  TempEnvironment temp;
  const std::string cp932 =
      test::Encode("一行目\r\n検索する文字列です\r\n表示とソフト\r\n", "ibm-943_P15A-2003");
  const std::string source = folder.path() + "/source";
  folder.Write("source/docs/日本語.txt", "一行目\n検索する文字列です\n");
  folder.Write("source/sjis.txt", cp932);
  folder.Write("single/日本語.txt", cp932);
  const std::string tarWith =
      "import sys, tarfile\n"
      "with tarfile.open(sys.argv[1], sys.argv[2]) as t:\n"
      "    t.add('docs'); t.add('sjis.txt')\n";
  const std::string singleWith =
      "import sys, importlib\n"
      "data = open('../single/日本語.txt', 'rb').read()\n"
      "open(sys.argv[1], 'wb').write("
      "importlib.import_module(sys.argv[2]).compress(data))\n";
  const std::string lzh = folder.path() + "/made.lzh";
  test::WriteStoredLzh(lzh,
                       {{"docs/日本語.txt", "一行目\n検索する文字列です\n"}, {"sjis.txt", cp932}});
  struct Case {
    std::string archive;  // its file name
    std::string script;   // sh, in the source folder, writing "$1"
  };
  const std::vector<Case> multi = {
      {"a.tar", "python3 -c \"" + tarWith + "\" \"$1\" w"},
      {"a.tar.gz", "python3 -c \"" + tarWith + "\" \"$1\" w:gz"},
      {"a.tgz", "python3 -c \"" + tarWith + "\" \"$1\" w:gz"},
      {"a.tar.bz2", "python3 -c \"" + tarWith + "\" \"$1\" w:bz2"},
      {"a.tbz2", "python3 -c \"" + tarWith + "\" \"$1\" w:bz2"},
      {"a.tar.xz", "python3 -c \"" + tarWith + "\" \"$1\" w:xz"},
      {"a.txz", "python3 -c \"" + tarWith + "\" \"$1\" w:xz"},
      {"a.tar.zst", "python3 -c \"" + tarWith + "\" /dev/stdout 'w|' | zstd -q -o \"$1\""},
      {"a.7z", "bsdtar --format 7zip -cf \"$1\" docs sjis.txt"},
      {"a.cpio", "bsdtar --format newc -cf \"$1\" docs sjis.txt"},
      {"a.iso", "bsdtar --format iso9660 -cf \"$1\" docs sjis.txt"},
      {"a.cab", "gcab -c -z \"$1\" docs/日本語.txt sjis.txt"},
      {"stored4.rar", "cp \"" + test::FixturePath("rar/stored4.rar") + "\" \"$1\""},
      {"stored5.rar", "cp \"" + test::FixturePath("rar/stored5.rar") + "\" \"$1\""},
      {"a.LHA", "cp \"" + lzh + "\" \"$1\""}};
  const std::vector<Case> single = {
      {"日本語.txt.gz", "python3 -c \"" + singleWith + "\" \"$1\" gzip"},
      {"日本語.txt.bz2", "python3 -c \"" + singleWith + "\" \"$1\" bz2"},
      {"日本語.txt.xz", "python3 -c \"" + singleWith + "\" \"$1\" lzma"},
      {"日本語.txt.zst", "zstd -q -o \"$1\" ../single/日本語.txt"},
      {"日本語.txt.lz4", "lz4 -q ../single/日本語.txt \"$1\""},
      {"日本語.txt.Z", "compress -c ../single/日本語.txt > \"$1\""}};
  const std::vector<std::string> hit = {"LINE[0000000002]:検索する文字列です"};
  for (const bool one : {false, true}) {
    for (const Case& c : one ? single : multi) {
      SCOPED_TRACE(c.archive);
      const std::string archive = folder.path() + "/" + c.archive;
      const ProcessOutcome made = RunProgram("/bin/sh", {"-c", c.script, "sh", archive}, source);
      ASSERT_EQ(made.status, 0) << "could not make it (a tool missing?): " << made.err;
      const ProcessOutcome run = RunProgram(kProgram, {"検索", archive});
      EXPECT_EQ(run.status, 0) << run.err;
      std::map<std::string, std::vector<std::string>> expected = {{"日本語.txt", hit}};
      if (!one) expected["sjis.txt"] = hit;
      EXPECT_EQ(MemberHits(run.out), expected) << run.out;
      EXPECT_TRUE(temp.Empty());
    }
  }
}

// Named like an archive but not one, or one the library cannot open: searched as a
// file. A 7z whose data is damaged is listed, no member comes out (each one is
// reported), and nothing is left behind.
TEST(CliArchives, ArchivesThatCannotBeOpenedAreSearchedAsFilesAndDamageLeavesNothing) {
  TempFolder folder;
  TempEnvironment temp;
  std::string text;
  for (int i = 0; text.size() < 20000; ++i) text += "line " + std::to_string(i) + " key\n";
  const std::string good = folder.path() + "/good.7z";
  test::WriteSevenZip(good, {{"a.txt", text}, {"b.txt", text}});
  std::string bytes = test::ReadWholeFile(good);
  std::string truncated = bytes.substr(0, bytes.size() - 20);  // its member list is at the end
  bytes[40] = static_cast<char>(bytes[40] ^ 0x55);             // inside the packed data
  const std::string notGzip = folder.Write("notes.gz", "a key in plain text\n");
  const std::string cut = folder.Write("cut.7z", truncated);
  const std::string damaged = folder.Write("damaged.7z", bytes);
  const ProcessOutcome run = RunProgram(kProgram, {"--show-empty", "key", notGzip, cut, damaged});
  EXPECT_EQ(run.status, 2) << run.err;
  EXPECT_NE(run.err.find("kolbrin-grep: " + damaged + ": a.txt: "), std::string::npos) << run.err;
  EXPECT_NE(run.out.find("-" + notGzip + "\n\tLINE[0000000001]:a key in plain text\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find(cut + "\n"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("a.txt"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find(damaged), std::string::npos) << run.out;
  EXPECT_TRUE(temp.Empty());
}

// What cannot be searched is named on stderr, as grep does, and makes the exit
// status 2 even when hits were printed; the file node of --show-empty stays.
TEST(CliRun, PathsThatCannotBeSearchedAreNamedOnStderrAndExitTwo) {
  TempFolder folder;
  TempEnvironment temp;
  const std::string base = folder.path() + "/";
  const std::string hit = folder.Write("hit.txt", "a key\n");
  std::string zipBytes;
  {
    const std::string zip = base + "good.zip";
    test::WriteZip(zip, {{"a.txt", std::string(2000, 'k') + " key\n"}, {"b.txt", "key b\n"}});
    zipBytes = test::ReadWholeFile(zip);
  }
  zipBytes[60] = static_cast<char>(zipBytes[60] ^ 0xFF);  // inside a.txt's packed data
  const std::string damaged = folder.Write("damaged.zip", zipBytes);
  // A ZIP's signature, then nothing of a member's header.
  const std::string broken =
      folder.Write("broken.zip", zipBytes.substr(0, 4) + std::string(200, '\0'));
  // An LZH cut inside its second member's header: the first is still searched.
  std::string cut;
  {
    const std::string lzh = base + "whole.lzh";
    test::WriteStoredLzh(lzh, {{"first.txt", "key one\n"}, {"second.txt", "key two\n"}});
    const std::string bytes = test::ReadWholeFile(lzh);
    const std::size_t second = bytes.find("second.txt");
    cut = folder.Write("cut.lzh", bytes.substr(0, second - 4));
  }
  const std::string tooLong = base + std::string(5000, 'x');
  struct Case {
    const char* label;
    std::vector<std::string> arguments;
    std::string out;
    std::string err;
  };
  const std::string hitOut = "-" + hit + "\n\tLINE[0000000001]:a key\n";
  const std::vector<Case> cases = {
      {"missing", {"key", hit, base + "missing.txt"}, hitOut,
       "kolbrin-grep: " + base + "missing.txt: No such file or directory\n"},
      {"missing, shown", {"--show-empty", "key", base + "gone.txt"}, " " + base + "gone.txt\n",
       "kolbrin-grep: " + base + "gone.txt: No such file or directory\n"},
      {"control bytes", {"key", base + "a\nb\x1b.txt"}, "",
       "kolbrin-grep: " + base + "a\\x0Ab\\x1B.txt: No such file or directory\n"},
      {"too long", {"key", tooLong}, "", "kolbrin-grep: " + tooLong + ": File name too long\n"},
      {"damaged member", {"key", damaged}, "",
       "kolbrin-grep: " + damaged + ": a.txt: damaged data\n"},
      {"damaged archive", {"--show-empty", "key", broken}, "",
       "kolbrin-grep: " + broken + ": damaged archive\n"},
      {"listing cut short", {"key", cut}, "",
       "kolbrin-grep: " + cut + ": damaged archive: members after the damage cannot be listed\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ProcessOutcome run = RunProgram(kProgram, c.arguments);
    EXPECT_EQ(run.status, 2);
    // The damaged ZIP's good member is still searched.
    if (std::string(c.label) == "damaged member") {
      EXPECT_NE(run.out.find("/b.txt\n\tLINE[0000000001]:key b\n"), std::string::npos) << run.out;
    } else if (std::string(c.label) == "listing cut short") {
      EXPECT_NE(run.out.find("/first.txt\n\tLINE[0000000001]:key one\n"), std::string::npos)
          << run.out;
    } else {
      EXPECT_EQ(run.out, c.out);
    }
    EXPECT_EQ(run.err, c.err);
  }
  if (::geteuid() != 0) {
    const std::string locked = folder.Write("locked.txt", "key\n");
    ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
    const ProcessOutcome run = RunProgram(kProgram, {"key", locked});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "kolbrin-grep: " + locked + ": Permission denied\n");
  }
}

// A name holding ".zip" or ".lzh" is tried as an archive; what the plug-ins refuse
// by its signature is searched as a file, and a ZIP also named ".lzh" is opened as
// the ZIP it is. A relative path inside such a folder is searched too.
TEST(CliArchives, FilesNamedLikeArchivesThatAreNotOnesAreSearchedAsFiles) {
  TempFolder folder;
  TempEnvironment temp;
  const std::string base = folder.path() + "/";
  const std::vector<std::string> texts = {
      folder.Write("my.zipcodes/list.txt", "key in a folder named .zip\n"),
      folder.Write("site.zip.d/notes.txt", "key in site.zip.d\n"),
      folder.Write("readme.lzh.txt", "key in readme.lzh.txt\n"),
      folder.Write("plain.zip", "key in a text file named plain.zip\n")};
  const std::string both = base + "both.lzh.zip";
  test::WriteZip(both, {{"inner.txt", "key inside\n"}});
  std::vector<std::string> arguments = {"key", both};
  arguments.insert(arguments.end(), texts.begin(), texts.end());
  const ProcessOutcome run = RunProgram(kProgram, arguments);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  for (const std::string& text : texts) {
    EXPECT_NE(run.out.find("-" + text + "\n\tLINE[0000000001]:key"), std::string::npos) << text;
  }
  EXPECT_NE(run.out.find("/inner.txt\n\tLINE[0000000001]:key inside\n"), std::string::npos)
      << run.out;
  EXPECT_EQ(run.out.find("-" + both), std::string::npos) << run.out;

  const ProcessOutcome inside = RunProgram(kProgram, {"key", "list.txt"}, base + "my.zipcodes");
  EXPECT_EQ(inside.status, 0) << inside.err;
  EXPECT_EQ(inside.out, "-" + texts[0] + "\n\tLINE[0000000001]:key in a folder named .zip\n");
}

// Members whose names are longer than the find record holds (a deep path; 200
// kanji stored in CP932), and a member named like the numbered folder a repeated
// name went into, are all searched.
TEST(CliArchives, LongNamesAndNamesLikeNumberedFoldersAreSearched) {
  TempFolder folder;
  TempEnvironment temp;
  std::string deep;
  for (int i = 0; i < 60; ++i) deep += "folder" + std::to_string(10 + i) + "/";
  deep += "deep.txt";
  ASSERT_GT(deep.size(), 533u);
  std::string kanji;
  for (int i = 0; i < 200; ++i) kanji += "\x8A\xBF";  // 漢 in CP932
  kanji += ".txt";
  const std::string zip = folder.path() + "/names.zip";
  test::WriteZip(zip, {{deep, "key deep\n"},
                       {kanji, "key kanji\n"},
                       {"a/x.txt", "key a\n"},
                       {"b/x.txt", "key b\n"},
                       {"2", "key two\n"}});
  const ProcessOutcome run = RunProgram(kProgram, {"key", zip});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  for (const char* line : {"key deep", "key kanji", "key a", "key b", "key two"}) {
    EXPECT_NE(run.out.find(std::string("\tLINE[0000000001]:") + line + "\n"), std::string::npos)
        << line << "\n" << run.out;
  }
  EXPECT_NE(run.out.find("/2/x.txt\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("/2/2\n"), std::string::npos) << run.out;
  EXPECT_TRUE(temp.Empty());
}

TEST(CliArchives, InterruptedSearchStillCleansUp) {
  TempFolder folder;
  TempEnvironment temp;
  std::string lines;
  while (lines.size() < (16u << 20)) lines += "key\n";
  const std::string zip = folder.path() + "/big.zip";
  test::WriteZip(zip, {{"big.txt", lines}, {"next.txt", "key\n"}});
  const ProcessOutcome run =
      InterruptOnTerminal({"key", zip}, "big.txt 検索中...", folder.path() + "/out");
  EXPECT_EQ(run.status, 130) << run.err;
  EXPECT_NE(run.out.find("/big.txt\n\tLINE[0000000001]:key\n"), std::string::npos);
  EXPECT_EQ(run.out.find("next.txt"), std::string::npos);
  EXPECT_TRUE(temp.Empty());
}

// A ZIP whose first member takes a while to extract (200 MiB without a hit but in
// its last line), then a small one; made once, as it takes a second or two.
const std::string& SlowZip() {
  static const TempFolder folder;
  static const std::string zip = [] {
    std::string lines;
    lines.reserve(201u << 20);
    while (lines.size() < (200u << 20)) lines += "nothing here at all\n";
    lines += "key\n";
    const std::string path = folder.path() + "/slow.zip";
    test::WriteZip(path, {{"slow.txt", lines}, {"next.txt", "key\n"}});
    return path;
  }();
  return zip;
}

// Starts kolbrin-grep with stdout and stderr in files, SIGINT ignored when asked, as
// a background job of a non-interactive shell has it.
pid_t StartGrep(const std::vector<std::string>& arguments, const std::string& outFile,
                bool interruptIgnored) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (std::freopen(outFile.c_str(), "wb", stdout) == nullptr) ::_exit(126);
    if (std::freopen("/dev/null", "wb", stderr) == nullptr) ::_exit(126);
    ::signal(SIGINT, interruptIgnored ? SIG_IGN : SIG_DFL);
    std::vector<char*> argv{const_cast<char*>(kProgram.c_str())};
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(kProgram.c_str(), argv.data());
    ::_exit(127);
  }
  return child;
}

// Waits until the program's private folder inside `temp` holds a file: a member is
// being extracted. False when that does not happen within 20 s.
bool WaitForExtraction(const std::string& temp) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    std::error_code error;
    for (const auto& folder : std::filesystem::directory_iterator(temp, error)) {
      std::error_code inner;
      if (!std::filesystem::is_empty(folder.path(), inner) && !inner) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// Waits until `signal`, sent to the process `child`, is no longer pending: a handler
// has taken it. Signals sent back to back could otherwise reach different threads'
// handlers in either order, or merge into one.
void WaitUntilTaken(pid_t child, int signal) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream status("/proc/" + std::to_string(child) + "/status");
    std::string line;
    unsigned long long pending = 0;
    while (std::getline(status, line)) {
      if (line.rfind("ShdPnd:", 0) == 0) pending = std::stoull(line.substr(7), nullptr, 16);
    }
    if ((pending & (1ull << (signal - 1))) == 0) return;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

int WaitForExit(pid_t child) {
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(CliSignals, EveryEndingSignalLeavesNoExtractedFileBehind) {
  struct Case {
    const char* label;
    std::vector<int> signals;  // each sent once the one before has been taken
    int status;
  };
  const Case cases[] = {
      {"interrupt", {SIGINT}, 130},
      {"terminate", {SIGTERM}, 143},
      {"hang-up", {SIGHUP}, 129},
      {"second interrupt during the stop", {SIGINT, SIGINT}, 130},
      {"terminate during the stop", {SIGINT, SIGTERM}, 143},
  };
  const std::string& zip = SlowZip();  // before TEMP points at the folder that must end empty
  const TempFolder capture;
  for (const Case& c : cases) {
    TempEnvironment temp;
    const pid_t child =
        StartGrep({"key", zip}, capture.path() + "/out", /*interruptIgnored=*/false);
    ASSERT_GT(child, 0);
    const bool extracting = WaitForExtraction(temp.path());
    for (int signal : c.signals) {
      ::kill(child, signal);
      WaitUntilTaken(child, signal);
    }
    // A second signal may come as the search ends (on a busy machine the extraction
    // can finish first, or the thread that took the signal run its handler only after
    // the session has decided): the first signal's orderly end then wins, which is no
    // fault. Nothing may remain either way.
    const int status = WaitForExit(child);
    if (c.signals.size() == 1) {
      EXPECT_EQ(status, c.status) << c.label;
    } else {
      EXPECT_TRUE(status == c.status || status == 128 + c.signals.front()) << c.label << status;
    }
    EXPECT_TRUE(extracting) << c.label;
    EXPECT_TRUE(temp.Empty()) << c.label << ": the private folder, a copy or a .part remains";
  }
}

TEST(CliSignals, InterruptIgnoredAtStartStaysIgnored) {
  // Made before TEMP points at the folder that must end empty.
  const std::string& zip = SlowZip();
  TempFolder capture;
  TempEnvironment temp;
  const std::string outFile = capture.path() + "/out";
  const pid_t child = StartGrep({"key", zip}, outFile, /*interruptIgnored=*/true);
  ASSERT_GT(child, 0);
  ASSERT_TRUE(WaitForExtraction(temp.path()));
  ::kill(child, SIGINT);
  EXPECT_EQ(WaitForExit(child), 0);
  const std::string out = test::ReadWholeFile(outFile);
  EXPECT_NE(out.find("/next.txt\n\tLINE[0000000001]:key\n"), std::string::npos)
      << "the search went on to its end: " << out;
  EXPECT_TRUE(temp.Empty());
}

}  // namespace
}  // namespace kolbrin::cli
