// The binding to the archiver libraries: command lines, loading, and listing
// through the real plug-ins.
#include "archive/Archive.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "archive/MemberCopyName.h"
#include "platform/Files.h"
#include "platform/Library.h"
#include "tests/ArchiveFixtures.h"
#include "tests/TestSupport.h"

namespace kolbrin {
namespace {

using Texts = std::vector<std::string>;
using test::TempFolder;

TEST(ArchiveCommandLine, LzhQuotesArchiveFolderAndMembersWithBlanks) {
  EXPECT_EQ(LzhCommandLine("/data/A.LZH", {"README.TXT"}, "/tmp/k/", ZipOption{}),
            "e -r2 -u3 -m1 -x0 -n1 \"/data/A.LZH\" \"/tmp/k/\" README.TXT ");
  ZipOption keep;
  keep.KeepPaths = true;
  keep.ShowIndicator = true;
  EXPECT_EQ(LzhCommandLine("/a b.lzh", {"MY FILE.TXT", "DOC/README.TXT", "T\tAB"}, "/d/", keep),
            "e -r2 -u3 -m1 -x1 -n0 \"/a b.lzh\" \"/d/\" \"MY FILE.TXT\" DOC/README.TXT T\tAB ");
}

TEST(ArchiveCommandLine, ZipCarriesTheListedTabPasswordAndPathSwitches) {
  EXPECT_EQ(ZipCommandLine("/data/A.ZIP", {"README.TXT\t"}, "/tmp/k/", ZipOption{}),
            "-x -n -o -j --i \"/data/A.ZIP\" \"/tmp/k/\" README.TXT\t ");
  ZipOption password;
  password.UsePassword = true;
  EXPECT_EQ(ZipCommandLine("/a.zip", {"MY FILE.TXT\t*"}, "/d/", password),
            "-x -n -o -P  -j --i \"/a.zip\" \"/d/\" \"MY FILE.TXT\t*\" ");
  ZipOption keep;
  keep.KeepPaths = true;
  keep.ShowIndicator = true;
  EXPECT_EQ(ZipCommandLine("/a.zip", {"x\t", "y\t"}, "/d/", keep),
            "-x -n -o -i \"/a.zip\" \"/d/\" x\t y\t ");
  keep.UsePassword = true;
  keep.Password = "s3cret";
  EXPECT_EQ(ZipCommandLine("/a.zip", {"x\t"}, "/d/", keep),
            "-x -n -o -P s3cret -i \"/a.zip\" \"/d/\" x\t ");
}

std::string Repeated(const std::string& text, int times) {
  std::string repeated;
  for (int i = 0; i < times; ++i) repeated += text;
  return repeated;
}

// The copy-name rule's corners; the member search tests show the library and the
// search agree on the common ones.
TEST(MemberCopyName, KeepsTheLastPartTrimmedAndShortensItBeforeTheExtension) {
  const std::string longExtension = "." + std::string(40, 'e');
  const std::pair<std::string, std::string> cases[] = {
      {"dir/a.txt\t", "a.txt"},
      {"dir/ \t", ""},
      {"a/..", ""},
      {" . ", ""},
      {"\"q\"", "\"q\""},
      {std::string(300, 'a'), std::string(255, 'a')},
      {std::string(300, 'a') + longExtension, std::string(255, 'a')},
      {"." + std::string(300, 'h'), "." + std::string(254, 'h')},
      {"a" + Repeated("\xE3\x81\x82", 100) + ".c", "a" + Repeated("\xE3\x81\x82", 84) + ".c"},
      {"ab" + Repeated("\xE3\x81\x82", 100) + ".c", "ab" + Repeated("\xE3\x81\x82", 83) + ".c"},
  };
  for (const auto& [name, copy] : cases) EXPECT_EQ(MemberCopyName(name), copy) << name;
}

// A quote followed by a blank cannot be written on a command line: no command.
TEST(ArchiveCommandLine, NamesNoCommandLineCanCarryAreNotExtracted) {
  TempFolder folder;
  ASSERT_TRUE(LoadZipLibrary());
  const std::string zip = folder.path() + "/a.zip";
  test::WriteZip(zip, {{"q", "other"}, {"q\" x.txt", "quoted"}});
  EXPECT_EQ(ExtractZipMembers(zip, {"q\" x.txt\t"}, folder.path() + "/d/", ZipOption{}),
            kCommandFailed);
  EXPECT_FALSE(platform::IsFolder(folder.path() + "/d")) << "a command was issued";
  FreeZipLibrary();
}

TEST(ArchiveLibraryName, FollowsTheFixedMapping) {
  EXPECT_EQ(platform::LibraryFileName("UNLHA32.DLL"), "libunlha32.so");
  EXPECT_EQ(platform::LibraryFileName("UNZIP32.DLL"), "libunzip32.so");
}

TEST(ArchiveLibraries, MissingOrIncompleteLibrariesMakeEveryCallFail) {
  FreeLzhLibrary();
  FreeZipLibrary();
  EXPECT_FALSE(LoadLzhLibraryNamed("NOSUCHARC.DLL"));
  EXPECT_FALSE(LoadZipLibraryNamed("NOSUCHARC.DLL"));
  // Built without UnlhaGetRunning.
  EXPECT_FALSE(LoadLzhLibraryNamed("UNLHA32X.DLL"));
  // The LZH library lacks UnZipGetAttribute and every other UnZip entry.
  EXPECT_FALSE(LoadZipLibraryNamed("UNLHA32.DLL"));

  Texts members{"untouched"};
  EXPECT_EQ(ListLzhMembers("/x.lzh", members), kLibraryMissing);
  EXPECT_EQ(ListZipMembers("/x.zip", members), kLibraryMissing);
  EXPECT_EQ(members, Texts{"untouched"});
  EXPECT_EQ(ExtractLzhMembers("/x.lzh", members, "/tmp/", ZipOption{}), kLibraryMissing);
  EXPECT_EQ(ExtractZipMembers("/x.zip", members, "/tmp/", ZipOption{}), kLibraryMissing);
  EXPECT_TRUE(FreeLzhLibrary());
  EXPECT_TRUE(FreeZipLibrary());
}

// Loads both real plug-ins for the length of a test.
class ArchiveListing : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadLzhLibrary());
    ASSERT_TRUE(LoadZipLibrary());
  }
  void TearDown() override {
    EXPECT_TRUE(FreeLzhLibrary());
    EXPECT_TRUE(FreeZipLibrary());
  }
  TempFolder folder;
};

TEST_F(ArchiveListing, ZipEntriesEndInTabAndEncryptedOnesInAMark) {
  const std::string zip = folder.path() + "/a.zip";
  test::WriteZip(zip,
                 {{"dir", "", true},
                  {"dir/one.txt", "1"},
                  {"MY FILE.TXT", "2"},
                  {"secret.txt", "3", false, "", true}},
                 "pw");
  Texts members;
  ASSERT_EQ(ListZipMembers(zip, members), kArchiveOk);
  EXPECT_EQ(members, (Texts{"dir/one.txt\t", "MY FILE.TXT\t", "secret.txt\t*"}));
}

TEST_F(ArchiveListing, LzhEntriesAreTheNamesAsListed) {
  const std::string lzh = folder.path() + "/a.lzh";
  test::WriteStoredLzh(lzh, {{"doc/readme.txt", "1"}, {"b c.txt", "2"}});
  Texts members;
  ASSERT_EQ(ListLzhMembers(lzh, members), kArchiveOk);
  EXPECT_EQ(members, (Texts{"doc/readme.txt", "b c.txt"}));
}

TEST_F(ArchiveListing, FailuresLeaveOnlyTheErrorEntry) {
  const std::string emptyZip = folder.path() + "/empty.zip";
  test::WriteZip(emptyZip, {});
  const std::string emptyLzh = folder.Write("empty.lzh", std::string(1, '\0'));
  const std::string notArchive = folder.Write("plain.zip", "just text\n");
  struct Case {
    std::string path;
    bool zip;
    std::int32_t expected;
  };
  const Case cases[] = {
      {emptyZip, true, kNoMembers},
      {emptyLzh, false, kNoMembers},
      {notArchive, true, kNotAnArchive},
      {notArchive, false, kNotAnArchive},
      {emptyZip, false, kNotAnArchive},  // a ZIP is no LZH
      {folder.path() + "/missing.zip", true, kNotAnArchive},
  };
  for (const Case& c : cases) {
    Texts members{"old"};
    const std::int32_t result =
        c.zip ? ListZipMembers(c.path, members) : ListLzhMembers(c.path, members);
    EXPECT_EQ(result, c.expected) << c.path;
    EXPECT_EQ(members, Texts{ArchiveErrorEntry(c.path)}) << c.path;
  }
  EXPECT_EQ(ArchiveErrorEntry("/x.zip"), "ﾌｧｲﾙが異常です。[/x.zip]");
}

TEST_F(ArchiveListing, ExtractionPutsTheFlatCopyInTheFolder) {
  const std::string zip = folder.path() + "/a.zip";
  test::WriteZip(zip, {{"deep/dir/MY FILE.TXT", "zip bytes"}});
  const std::string lzh = folder.path() + "/a.lzh";
  test::WriteStoredLzh(lzh, {{"doc/readme.txt", "lzh bytes"}});
  const std::string destination = folder.path() + "/out/";
  ASSERT_EQ(::mkdir(destination.c_str(), 0700), 0);

  Texts members;
  ASSERT_EQ(ListZipMembers(zip, members), kArchiveOk);
  EXPECT_EQ(ExtractZipMembers(zip, members, destination, ZipOption{}), kArchiveOk);
  ASSERT_EQ(ListLzhMembers(lzh, members), kArchiveOk);
  EXPECT_EQ(ExtractLzhMembers(lzh, members, destination, ZipOption{}), kArchiveOk);
  platform::FileBytes copy;
  ASSERT_TRUE(copy.Load(destination + "MY FILE.TXT", 100));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(copy.data()), copy.size()), "zip bytes");
  ASSERT_TRUE(copy.Load(destination + "readme.txt", 100));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(copy.data()), copy.size()), "lzh bytes");

  EXPECT_EQ(ExtractZipMembers(zip, {"absent.txt\t"}, destination, ZipOption{}), kCommandFailed);
}

}  // namespace
}  // namespace kolbrin
