// kolbrin-grep: argument parsing, and whole runs on files the test writes.
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cli/Options.h"
#include "tests/ArchiveFixtures.h"
#include "tests/TestSupport.h"

namespace kolbrin::cli {
namespace {

using test::ProcessOutcome;
using test::RunProgram;
using test::TempFolder;

const std::string kProgram = KOLBRIN_GREP_PATH;

TEST(CliArguments, ReadsOptionsInBothFormsAndStopsAtDoubleDash) {
  const ParseOutcome parsed = ParseArguments(
      {"--tab=3", "--second", "two", "--or", "--case", "--show-empty", "one", "a", "--", "-b"});
  ASSERT_EQ(parsed.kind, ParseOutcome::Run) << parsed.message;
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

TEST(CliArguments, RelativePathsGetTheCurrentFolderInFront) {
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

  run = RunProgram(kProgram, {"absent", base + "A.txt", base + "missing.txt", folder.path()});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  run = RunProgram(kProgram, {"--show-empty", "absent", base + "missing.txt"});
  EXPECT_EQ(run.status, 1) << "files without hits print no hit node";
  EXPECT_EQ(run.out, " " + base + "missing.txt\n");
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
  std::ifstream in(outFile, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  outcome.out = text.str();
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

}  // namespace
}  // namespace kolbrin::cli
