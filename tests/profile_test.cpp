// The settings file: reading and writing keys, and where the file lives.
#include "platform/Profile.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <set>
#include <string>

#include "platform/Files.h"
#include "platform/Library.h"
#include "tests/TestSupport.h"

namespace kolbrin::platform {
namespace {

using test::ReadWholeFile;
using test::TempFolder;

std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

struct ReadCase {
  const char* what;
  std::string contents;
  const char* section;
  const char* key;
  std::string expected;
};

TEST(ProfileRead, FindsTheValueTheWayWindowsDoes) {
  const ReadCase cases[] = {
      {"blanks trimmed", "[Main]\n  Width =  640 \t\n", "Main", "Width", "640"},
      {"names without case", "[MaIn]\nWiDtH=1\n", "main", "WIDTH", "1"},
      {"quote pair removed", "[s]\nk= \"a b\" \n", "s", "k", "a b"},
      {"lone quote kept", "[s]\nk=\"abc\n", "s", "k", "\"abc"},
      {"CRLF line ends", "[s]\r\nk=v\r\n", "s", "k", "v"},
      {"comment skipped", "[s]\n;k=commented\nk=real\n", "s", "k", "real"},
      {"first match wins", "[s]\nk\nk=first\nk=second\n", "s", "k", "first"},
      {"key of another section", "[a]\nk=1\n[b]\nj=2\n", "b", "k", "<default>"},
      {"key before any section", "k=1\n[s]\n", "s", "k", "<default>"},
      {"blanks around the section name", "  [  s  ]  \nk=v\n", "s", "k", "v"},
      {"section repeated", "[s]\na=1\n[t]\n[S]\nk=2\n", "s", "k", "2"},
      {"'=' inside the value", "[s]\nk=a=b\n", "s", "k", "a=b"},
      {"empty value is not missing", "[s]\nk=\n", "s", "k", ""},
      {"last line without line end", "[s]\nk=v", "s", "k", "v"},
      {"long value cut", "[s]\nk=" + std::string(3000, 'x') + "\n", "s", "k",
       std::string(kMaxProfileValueBytes, 'x')},
      {"cut after the quotes go", "[s]\nk=\"" + std::string(kMaxProfileValueBytes, 'y') + "\"\n",
       "s", "k", std::string(kMaxProfileValueBytes, 'y')},
  };
  TempFolder folder;
  for (const ReadCase& c : cases) {
    const std::string file = folder.Write("settings.ini", c.contents);
    EXPECT_EQ(GetPrivateProfileString(c.section, c.key, "<default>", file), c.expected) << c.what;
  }
}

TEST(ProfileRead, WhatIsNotAReadableFileIsMissing) {
  TempFolder folder;
  EXPECT_EQ(GetPrivateProfileString("s", "k", "d", folder.path() + "/missing.ini"), "d");
  EXPECT_EQ(GetPrivateProfileString("s", "k", "d", folder.path()), "d") << "a folder";
  EXPECT_EQ(GetPrivateProfileInt("s", "k", 5, folder.path() + "/missing.ini"), 5);
}

TEST(ProfileRead, IntegersAcceptOnlyWholeNumbersThatFit) {
  const std::pair<const char*, int> cases[] = {
      {"12", 12},
      {"abc", 7},
      {"0x0A", 10},
      {"0X1f", 31},
      {"65537", 65537},
      {"0x", 7},
      {"", 7},
      {" 12 ", 12},
      {"-5", -5},
      {"12abc", 7},
      {"-", 7},
      {"+3", 7},
      {"0x-1", 7},
      {"\"42\"", 42},
      {"2147483647", INT_MAX},
      {"2147483648", 7},
      {"-2147483648", INT_MIN},
      {"0xFFFFFFFF", -1},
      {"0x100000000", 7},
      {"0x0000000010", 16},
  };
  TempFolder folder;
  for (const auto& [value, expected] : cases) {
    const std::string file = folder.Write("settings.ini", std::string("[s]\nk=") + value + "\n");
    EXPECT_EQ(GetPrivateProfileInt("s", "k", 7, file), expected) << '"' << value << '"';
  }
}

struct WriteCase {
  const char* what;
  std::optional<std::string> before;  // nullopt: no file yet
  const char* section;
  const char* key;
  const char* value;
  std::string after;
};

TEST(ProfileWrite, ChangesOneKeyAndKeepsEveryOtherLine) {
  const std::string kept = "; Kolbrin\n[Kolbrin]\nAPR_LIST1=lzh\nUnknown line\n\n[Other]\nX=1\n";
  const WriteCase cases[] = {
      {"each key written on its own", kept, "Kolbrin", "APR_LIST2", "zip",
       "; Kolbrin\n[Kolbrin]\nAPR_LIST1=lzh\nAPR_LIST2=zip\nUnknown line\n\n[Other]\nX=1\n"},
      {"replaced without case, spelling kept", kept, "KOLBRIN", "apr_list1", "lzh;zip",
       "; Kolbrin\n[Kolbrin]\nAPR_LIST1=lzh;zip\nUnknown line\n\n[Other]\nX=1\n"},
      {"new section at the end", kept, "New", "k", "v", kept + "[New]\nk=v\n"},
      {"no file yet", std::nullopt, "New", "k", "v", "[New]\nk=v\n"},
      {"empty file", "", "New", "k", "v", "[New]\nk=v\n"},
      {"CRLF kept and used", "[s]\r\na=1\r\n[t]\r\n", "s", "b", "2",
       "[s]\r\na=1\r\nb=2\r\n[t]\r\n"},
      {"section without keys", "[s]\n[t]\nk=1\n", "s", "k", "2", "[s]\nk=2\n[t]\nk=1\n"},
      {"last line gets a line end", "[a]\nx=1", "a", "y", "2", "[a]\nx=1\ny=2\n"},
      {"after a last line without end", "[a]\nx=1", "b", "k", "v", "[a]\nx=1\n[b]\nk=v\n"},
      {"the key line read is the one replaced", "[s]\na=1\n[t]\n[s]\nk=old\n", "s", "k", "new",
       "[s]\na=1\n[t]\n[s]\nk=new\n"},
      {"commented key left alone", "[s]\n;k=old\n", "s", "k", "new", "[s]\nk=new\n;k=old\n"},
  };
  for (const WriteCase& c : cases) {
    TempFolder folder;
    const std::string file = folder.path() + "/settings.ini";
    if (c.before) folder.Write("settings.ini", *c.before);
    ASSERT_TRUE(WritePrivateProfileString(c.section, c.key, c.value, file)) << c.what;
    EXPECT_EQ(ReadWholeFile(file), c.after) << c.what;
    EXPECT_EQ(GetPrivateProfileString(c.section, c.key, "", file), c.value) << c.what;
    EXPECT_EQ(Names(folder.path()), std::set<std::string>{"settings.ini"}) << "temporary file left";
  }
}

TEST(ProfileWrite, RefusesWhatCouldNotBeReadBack) {
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"s\n", "k", "v"}, {"s", "k\r", "v"}, {"s", "k", "v\nw=1"}, {"s", "k", "v\r"}, {"s", "", "v"},
      {"s", "a=b", "v"}, {"s", ";k", "v"},  {"s", "[k", "v"},     {"s]", "k", "v"},
  };
  TempFolder folder;
  const std::string file = folder.Write("settings.ini", "[s]\nk=old\n");
  for (const auto& [section, key, value] : cases) {
    EXPECT_FALSE(WritePrivateProfileString(section, key, value, file)) << section << '|' << key;
    EXPECT_EQ(ReadWholeFile(file), "[s]\nk=old\n");
  }
}

TEST(ProfileWrite, AFailedWriteLeavesTheOldFileAndNoTemporaryFile) {
  TempFolder folder;
  EXPECT_FALSE(WritePrivateProfileString("s", "k", "v", folder.path() + "/missing/settings.ini"));
  EXPECT_FALSE(WritePrivateProfileString("s", "k", "v", folder.path())) << "a folder";

  // A file size limit fails the write part-way, as a full disk does.
  const std::string file = folder.Write("settings.ini", "[s]\nk=old\n");
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto savedSignal = ::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool written = WritePrivateProfileString("s", "k", std::string(10000, 'v'), file);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, savedSignal);
  EXPECT_FALSE(written);
  EXPECT_EQ(ReadWholeFile(file), "[s]\nk=old\n");
  EXPECT_EQ(Names(folder.path()), std::set<std::string>{"settings.ini"});
}

TEST(ProfileWrite, KeepsPermissionsAndWritesThroughASymbolicLink) {
  TempFolder folder;
  const std::string file = folder.Write("settings.ini", "[s]\n");
  ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
  const std::string link = folder.path() + "/link.ini";
  ASSERT_EQ(::symlink(file.c_str(), link.c_str()), 0);
  ASSERT_TRUE(WritePrivateProfileString("s", "k", "v", link));
  struct stat info {};
  ASSERT_EQ(::lstat(link.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode)) << "the link was replaced";
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(ReadWholeFile(file), "[s]\nk=v\n");

  const std::string fresh = folder.path() + "/fresh.ini";
  ASSERT_TRUE(WritePrivateProfileString("s", "k", "v", fresh));
  ASSERT_EQ(::stat(fresh.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u);
}

TEST(ProfilePath, ExtensionOfTheProgramNameReplaced) {
  const std::pair<const char*, const char*> cases[] = {
      {"/opt/k/kolbrin", "/opt/k/kolbrin.ini"},
      {"/a.b/kolbrin.bin", "/a.b/kolbrin.ini"},
      {"/a.b/kolbrin", "/a.b/kolbrin.ini"},
      {"kolbrin.x.y", "kolbrin.x.ini"},
  };
  for (const auto& [program, settings] : cases) EXPECT_EQ(SettingsPathBeside(program), settings);
}

// Sets an environment variable for one test and restores it afterwards.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    if (old != nullptr) old_ = old;
    value == nullptr ? ::unsetenv(name) : ::setenv(name, value, 1);
  }
  ~ScopedEnvironment() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(ProfilePath, InstalledProgramFallsBackToTheUsersConfigFolder) {
  TempFolder folder;
  const std::string program = folder.path() + "/bin/kolbrin";
  const std::string home = folder.path() + "/home";
  ScopedEnvironment homeVariable("HOME", home.c_str());
  ASSERT_EQ(::mkdir(home.c_str(), 0755), 0);

  EXPECT_EQ(ResolveSettingsPath(program, true), program + ".ini");
  {
    const std::string xdg = folder.path() + "/xdg";
    ScopedEnvironment xdgVariable("XDG_CONFIG_HOME", xdg.c_str());
    EXPECT_EQ(ResolveSettingsPath(program, false), xdg + "/kolbrin/kolbrin.ini");
    struct stat info {};
    ASSERT_EQ(::stat((xdg + "/kolbrin").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
  }
  const std::string file = folder.Write("a-file", "");
  for (const char* xdg : {static_cast<const char*>(nullptr), "", "relative/xdg", file.c_str()}) {
    ScopedEnvironment xdgVariable("XDG_CONFIG_HOME", xdg);
    EXPECT_EQ(ResolveSettingsPath(program, false), home + "/.config/kolbrin/kolbrin.ini");
  }
  {
    // Nowhere to keep settings: none are kept, and none beside the program.
    ScopedEnvironment xdgVariable("XDG_CONFIG_HOME", file.c_str());
    ScopedEnvironment homeVariable("HOME", file.c_str());
    EXPECT_EQ(ResolveSettingsPath(program, false), "");
  }
  folder.Write("bin/kolbrin.ini", "");
  EXPECT_EQ(ResolveSettingsPath(program, false), program + ".ini") << "a file beside is used";
  EXPECT_EQ(ResolveSettingsPath(folder.path() + "/kolbrin"), folder.path() + "/kolbrin.ini");
}

// An installed program (its plug-ins in ../lib/kolbrin) keeps its settings in the
// user's folder even where it could write beside itself, as root can in /usr/bin.
TEST(ProfilePath, InstalledProgramNeverWritesBesideItself) {
  TempFolder folder;
  const std::string xdg = folder.path() + "/xdg";
  ScopedEnvironment xdgVariable("XDG_CONFIG_HOME", xdg.c_str());
  const std::string program = folder.path() + "/usr/bin/kolbrin";
  folder.Write("usr/bin/kolbrin", "");
  EXPECT_EQ(ResolveSettingsPath(program), program + ".ini") << "a build folder";
  ASSERT_TRUE(std::filesystem::create_directories(folder.path() + "/usr/lib/kolbrin"));
  EXPECT_EQ(ResolveSettingsPath(program), xdg + "/kolbrin/kolbrin.ini");
}

TEST(ProfilePath, ProgramPathIsTheRunningTestProgram) {
  const std::optional<std::string> path = ProgramPath();
  ASSERT_TRUE(path);
  EXPECT_TRUE(path->starts_with('/')) << *path;
  EXPECT_EQ(FileNameOf(*path), "kolbrin_tests");
}

}  // namespace
}  // namespace kolbrin::platform
