// The plug-ins' command lines and extraction: switches, quoting, replaced files,
// real LZH compression and many members.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/PluginHarness.h"

namespace kolbrin::test {
namespace {

struct CommandCase {
  const Kind* kind;
  std::string line;  // "A" and "D" stand for the archive and the destination
  int result;
  Names files;  // what the destination holds afterwards
};

std::string Expand(std::string line, const std::string& archive, const std::string& folder) {
  for (const auto& [from, to] :
       {std::pair{"\"A\"", Quoted(archive)}, std::pair{"\"D/\"", Quoted(folder + "/")}}) {
    for (std::size_t at = line.find(from); at != std::string::npos; at = line.find(from)) {
      line.replace(at, std::strlen(from), to);
    }
  }
  return line;
}

void RunCommandCases(const std::vector<CommandCase>& cases,
                     const std::vector<FixtureMember>& members) {
  for (const CommandCase& c : cases) {
    SCOPED_TRACE(std::string(c.kind->label) + ": " + c.line);
    TempFolder root;
    const std::string archive = root.path() + "/a";
    const std::string folder = root.path() + "/D";
    c.kind->Write(archive, members, "pw");
    fs::create_directory(folder);
    EXPECT_EQ(RunCommand(c.kind->plugin(), Expand(c.line, archive, folder)), c.result);
    EXPECT_EQ(Contents(folder), c.files);
    EXPECT_EQ(c.kind->plugin().running(), 0);
  }
}

TEST(PluginCommandLine, IncompleteOrUnknownCommandsAreBadArguments) {
  const std::vector<CommandCase> cases = {
      {&kLzh2, "", ARCHIVER_BAD_ARGUMENT, {}},
      {&kLzh2, "e -x0", ARCHIVER_BAD_ARGUMENT, {}},
      {&kLzh2, "e -x0 \"A\" ", ARCHIVER_BAD_ARGUMENT, {}},
      {&kLzh2, "e -x0 \"A\" \"D/\" ", ARCHIVER_BAD_ARGUMENT, {}},
      {&kLzh2, "d -x0 \"A\" \"D/\" m.txt", ARCHIVER_BAD_ARGUMENT, {}},
      {&kLzh2, "-x0 e \"A\" \"D/\" m.txt", ARCHIVER_BAD_ARGUMENT, {}},
      // An unclosed quote is a plain character: the member "m.txt is not there.
      {&kLzh2, "e \"A\" \"D/\" \"m.txt", ARCHIVER_NO_MEMBER, {}},
      {&kZip, "-x -n -o -j", ARCHIVER_BAD_ARGUMENT, {}},
      {&kZip, "-x \"A\" \"D/\" ", ARCHIVER_BAD_ARGUMENT, {}},
      {&kZip, "-P", ARCHIVER_BAD_ARGUMENT, {}},
      {&kZip, "-j \"A\" \"D/\" \"m.txt", ARCHIVER_NO_MEMBER, {}},
      {&kLzh2, "e \"A\" \"D/\" m.txt", ARCHIVER_OK, {"m.txt"}}};
  RunCommandCases(cases, {{"m.txt", "m"}});
  EXPECT_EQ(Lzh().command(nullptr, nullptr, nullptr, 0), ARCHIVER_BAD_ARGUMENT);
  char output[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(Zip().command(nullptr, "-j", output, sizeof output), ARCHIVER_BAD_ARGUMENT);
  EXPECT_LT(std::strlen(output), sizeof output) << "the message is cut to fit";
}

TEST(PluginCommandLine, QuotesTabsBackslashesAndDashesStayInMemberNames) {
  const std::vector<CommandCase> cases = {
      {&kLzh2,
       "e -x0 \"A\" \"D/\" \"MY \"FILE\".TXT\" \"A B.TXT\"",
       ARCHIVER_OK,
       {"A B.TXT", "MY \"FILE\".TXT"}},
      {&kLzh2,
       "e -x0 \"A\" \"D/\" -x1 back\\slash.txt q\"mid.txt",
       ARCHIVER_OK,
       {"-x1", "back\\slash.txt", "q\"mid.txt"}},
      {&kLzh2, "e -x0 \"A\" \"D/\" \"A B.TXT\"\"", ARCHIVER_NO_MEMBER, {}},
      {&kZip,
       "-x -n -o -j --i \"A\" \"D/\" -j\t \"A B.TXT\t\" \"MY \"FILE\".TXT\"",
       ARCHIVER_OK,
       {"-j", "A B.TXT", "MY \"FILE\".TXT"}},
      {&kZip, "-j \"A\" \"D/\" q\"mid.txt\t", ARCHIVER_OK, {"q\"mid.txt"}},
      // A name that starts with a quote and holds no blank is written unquoted.
      {&kLzh2, "e -x0 \"A\" \"D/\" \"lead.txt ", ARCHIVER_OK, {"\"lead.txt"}},
      {&kZip, "-j \"A\" \"D/\" back\\slash.txt\tx", ARCHIVER_NO_MEMBER, {}},
      {&kZip, "-j \"A\" \"D/\" back\\slash.txt\t\t", ARCHIVER_NO_MEMBER, {}}};
  RunCommandCases(cases, {{"MY \"FILE\".TXT", "1"},
                          {"A B.TXT", "2"},
                          {"-x1", "3"},
                          {"-j", "4"},
                          {"back\\slash.txt", "5"},
                          {"q\"mid.txt", "6"},
                          {"\"lead.txt", "7"}});
}

TEST(PluginCommandLine, PasswordSwitchTakesTheNextTokenEvenWhenEmpty) {
  FixtureMember secret{"dir/secret.txt", "s"};
  secret.encrypted = true;
  const std::vector<CommandCase> cases = {
      {&kZip, "-x -n -o -P  -j --i \"A\" \"D/\" dir/plain.txt\t ", ARCHIVER_OK, {"plain.txt"}},
      {&kZip, "-x -P \"\" -j \"A\" \"D/\" dir/plain.txt\t", ARCHIVER_OK, {"plain.txt"}},
      {&kZip, "-x -P -j \"A\" \"D/\" dir/plain.txt\t", ARCHIVER_OK, {"dir", "dir/plain.txt"}},
      {&kZip, "-x -P pw -j \"A\" \"D/\" dir/secret.txt\t* ", ARCHIVER_OK, {"secret.txt"}},
      {&kZip, "-x -P wrong -j \"A\" \"D/\" dir/secret.txt\t*", ARCHIVER_BAD_DATA, {}},
      {&kZip, "-x -j \"A\" \"D/\" dir/secret.txt\t*", ARCHIVER_BAD_DATA, {}},
      {&kZip, "-x -P  -j \"A\" \"D/\" dir/secret.txt\t*", ARCHIVER_BAD_DATA, {}}};
  RunCommandCases(cases, {{"dir/plain.txt", "p"}, secret});
}

TEST(PluginExtraction, FlatOrWithStoredFoldersAsTheSwitchesSay) {
  std::vector<CommandCase> cases = {
      {&kLzh0, "e \"A\" \"D/\" dir/sub/b.txt", ARCHIVER_OK, {"b.txt"}},
      {&kLzh1, "x \"A\" \"D/\" dir/sub/b.txt", ARCHIVER_OK, {"dir", "dir/sub", "dir/sub/b.txt"}},
      {&kLzh2, "x -x0 \"A\" \"D/\" dir/sub/b.txt", ARCHIVER_OK, {"b.txt"}},
      {&kLzh2,
       "e -x1 \"A\" \"D/\" dir/sub/b.txt",
       ARCHIVER_OK,
       {"dir", "dir/sub", "dir/sub/b.txt"}},
      {&kZip, "-j \"A\" \"D/\" dir/sub/b.txt", ARCHIVER_OK, {"b.txt"}},
      {&kZip, "-x \"A\" \"D/\" dir/sub/b.txt\t", ARCHIVER_OK, {"dir", "dir/sub", "dir/sub/b.txt"}},
      {&kZip, "-j \"A\" \"D/\" dir/sub/b.txt nope.txt", ARCHIVER_NO_MEMBER, {"b.txt"}},
      {&kZip, "-j \"A\" \"D/\" dir/sub", ARCHIVER_NO_MEMBER, {}},
      {&kLzh2, "e \"A\" \"D/\" dir/sub/", ARCHIVER_NO_MEMBER, {}}};
  RunCommandCases(cases, {Folder("dir/sub/"), {"dir/sub/b.txt", "b"}});
}

TEST(PluginExtraction, ReplacesAFileNotAFolderAndCreatesAMissingDestination) {
  for (const Kind& kind : {kZip, kLzh2, kTarGz}) {
    SCOPED_TRACE(kind.label);
    TempFolder root;
    const std::string archive = root.path() + "/a";
    kind.Write(archive, {{"b.txt", "new"}});
    const std::string folder = root.path() + "/D";
    root.Write("D/b.txt", "old contents");
    ASSERT_EQ(Extract(kind.plugin(), archive, folder, "b.txt", false), ARCHIVER_OK);
    EXPECT_EQ(ReadWholeFile(folder + "/b.txt"), "new");
    EXPECT_EQ(Contents(folder), Names{"b.txt"}) << "no temporary file left";
    const std::string fresh = root.path() + "/new/deeper";
    ASSERT_EQ(Extract(kind.plugin(), archive, fresh, "b.txt", false), ARCHIVER_OK);
    EXPECT_EQ(ReadWholeFile(fresh + "/b.txt"), "new");
    fs::remove(folder + "/b.txt");
    fs::create_directories(folder + "/b.txt/in the way");
    EXPECT_EQ(Extract(kind.plugin(), archive, folder, "b.txt", false), ARCHIVER_WRITE_FAILED);
    EXPECT_EQ(Contents(folder), (Names{"b.txt", "b.txt/in the way"}));
  }
}

// The reader kept open between commands must not serve a stale position or file.
TEST(PluginExtraction, RepeatedNamesBackwardsAndChangedArchivesReadRightMember) {
  for (const Kind& kind : {kZip, kLzh2, kTarGz, kSevenZip}) {
    SCOPED_TRACE(kind.label);
    TempFolder root;
    const std::string archive = root.path() + "/a";
    const std::string folder = root.path() + "/D";
    kind.Write(archive, {{"same.txt", "first"}, {"other.txt", "o"}, {"same.txt", "second"}});
    const Plugin& p = kind.plugin();
    const auto extract = [&](const std::string& name) {
      EXPECT_EQ(Extract(p, archive, folder, name, false), ARCHIVER_OK);
      return ReadWholeFile(folder + "/" + name);
    };
    EXPECT_EQ(extract("same.txt"), "first");
    EXPECT_EQ(extract("same.txt"), "second");
    EXPECT_EQ(extract("other.txt"), "o") << "behind the reader";
    EXPECT_EQ(extract("same.txt"), "second");
    EXPECT_EQ(extract("same.txt"), "first");
    kind.Write(archive + ".new", {{"same.txt", "third"}, {"other.txt", "O"}});
    fs::rename(archive + ".new", archive);
    EXPECT_EQ(extract("same.txt"), "third");
    EXPECT_EQ(extract("other.txt"), "O");
  }
}

// With its folders, a name that would leave the destination is refused; flat, only
// its last part is used, so the member is written inside it all the same.

TEST(LzhRealCompression, Lh5Lh6Lh7AtEveryHeaderLevelExtractExactly) {
  struct Fixture {
    std::string file;
    Names names;
    Names expected;
  };
  std::vector<Fixture> fixtures;
  for (const char* method : {"lh5", "lh6", "lh7"}) {
    for (const char* level : {"0", "1", "2"}) {
      fixtures.push_back({std::string(method) + "-level" + level + ".lzh",
                          {"sample.txt", "docs/notes.txt"},
                          {"sample.txt", "notes.txt"}});
    }
  }
  for (const char* level : {"0", "2"}) {
    fixtures.push_back({std::string("sjis-level") + level + ".lzh",
                        {"表.txt", "ソフト/表.txt"},
                        {"hyo.txt", "sofuto-hyo.txt"}});
  }
  for (const Fixture& f : fixtures) {
    SCOPED_TRACE(f.file);
    const std::string archive = FixturePath("lzh/" + f.file);
    ASSERT_EQ(List(Lzh(), archive).names, f.names);
    TempFolder root;
    for (std::size_t i = 0; i < f.names.size(); ++i) {
      ASSERT_EQ(Extract(Lzh(), archive, root.path(), f.names[i], true), ARCHIVER_OK);
      EXPECT_EQ(ReadWholeFile(root.path() + "/" + f.names[i]),
                ReadWholeFile(FixturePath("lzh/expected/" + f.expected[i])));
    }
  }
}

TEST(PluginScale, TwoThousandMembersExtractOneCommandEachInListedOrder) {
  std::vector<FixtureMember> members;
  Names names;
  for (int i = 0; i < 2000; ++i) {
    names.push_back("dir" + std::to_string(i % 10) + "/m" + std::to_string(i) + ".txt");
    members.push_back({names.back(), "member " + std::to_string(i) + "\n"});
  }
  for (const Kind& kind : {kZip, kLzh2, kTarGz, kSevenZip}) {
    SCOPED_TRACE(kind.label);
    TempFolder root;
    const std::string archive = root.path() + "/a";
    kind.Write(archive, members);
    const Plugin& p = kind.plugin();
    ASSERT_EQ(List(p, archive).names, names);
    for (const std::string& name : names) {
      ASSERT_EQ(Extract(p, archive, root.path() + "/D", name, true), ARCHIVER_OK);
    }
    for (const FixtureMember& m : members) {
      ASSERT_EQ(ReadWholeFile(root.path() + "/D/" + m.name), m.data);
    }
  }
}

// The program searches an archive inside an archive between two members of the
// outer one: each archive's members come out right in turn, and an archive file
// deleted once its members are out is not kept open (its space stays taken while a
// descriptor holds it).
TEST(PluginExtraction, ArchivesExtractedInTurnGiveTheRightMembersAndADeletedOneIsLetGo) {
  for (const Kind& kind : {kZip, kTarGz, kSevenZip}) {
    SCOPED_TRACE(kind.label);
    TempFolder root;
    std::vector<FixtureMember> outer;
    std::vector<FixtureMember> inner;
    for (int i = 0; i < 4; ++i) {
      outer.push_back({"o" + std::to_string(i), "outer " + std::to_string(i)});
      inner.push_back({"i" + std::to_string(i), "inner " + std::to_string(i)});
    }
    const std::string outerPath = root.path() + "/outer";
    const std::string innerPath = root.path() + "/inner";
    kind.Write(outerPath, outer);
    kind.Write(innerPath, inner);
    const Plugin& p = kind.plugin();
    const std::string folder = root.path() + "/D";
    for (int i = 0; i < 4; ++i) {
      for (const auto& [path, member] :
           {std::pair{outerPath, outer[i]}, std::pair{innerPath, inner[i]}}) {
        ASSERT_EQ(Extract(p, path, folder, member.name, false), ARCHIVER_OK) << member.name;
        EXPECT_EQ(ReadWholeFile(folder + "/" + member.name), member.data);
      }
    }
    // A member of the outer archive before the inner one is deleted, so that only the
    // cursor on the inner archive's last member may still hold it.
    ASSERT_EQ(Extract(p, outerPath, folder, "o0", false), ARCHIVER_OK);
    ASSERT_EQ(Extract(p, innerPath, folder, "i1", false), ARCHIVER_OK);
    fs::remove(innerPath);
    ASSERT_EQ(Extract(p, outerPath, folder, "o1", false), ARCHIVER_OK);
    for (const auto& descriptor : fs::directory_iterator("/proc/self/fd")) {
      std::error_code error;
      const fs::path target = fs::read_symlink(descriptor.path(), error);
      EXPECT_NE(target.string(), innerPath + " (deleted)");
    }
  }
}

}  // namespace
}  // namespace kolbrin::test
