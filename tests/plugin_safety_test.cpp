// What extraction never does: write outside the destination, follow a link,
// pass the member size cap or take the file system's free-space reserve.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/PluginHarness.h"

namespace kolbrin::test {
namespace {

TEST(PluginSafety, NamesThatWouldEscapeTheFolderAreRefusedWithFoldersAndFlattenedWithout) {
  const std::string absolute = "/tmp/kolbrin-plugin-escape-" + std::to_string(::getpid());
  const Names hostile = {"../x.txt", absolute, "dir/../../y.txt", "C:/z.txt", "a/./../../w.txt"};
  const Names flat = {"x.txt", absolute.substr(5), "y.txt", "z.txt", "w.txt"};
  for (const Kind& kind : {kZip, kLzh0, kTarGz}) {
    for (const bool withFolders : {false, true}) {
      TempFolder root;
      const std::string archive = root.path() + "/a";
      std::vector<FixtureMember> members;
      for (const std::string& name : hostile) members.push_back({name, "bad"});
      kind.Write(archive, members);
      ASSERT_EQ(List(kind.plugin(), archive).names, hostile) << kind.label;
      const std::string folder = root.path() + "/sub/D";
      fs::create_directories(folder);
      for (std::size_t i = 0; i < hostile.size(); ++i) {
        EXPECT_EQ(Extract(kind.plugin(), archive, folder, hostile[i], withFolders),
                  withFolders ? ARCHIVER_UNSAFE_NAME : ARCHIVER_OK)
            << kind.label << " " << hostile[i];
        if (!withFolders) {
          EXPECT_EQ(ReadWholeFile(folder + "/" + flat[i]), "bad") << hostile[i];
        }
      }
      Names written = {"D"};
      if (!withFolders) {
        for (const std::string& name : flat) written.push_back("D/" + name);
      }
      std::sort(written.begin(), written.end());
      EXPECT_EQ(Contents(root.path() + "/sub"), written) << kind.label;
      EXPECT_FALSE(fs::exists(absolute));
    }
  }
}

TEST(PluginSafety, LinksInTheArchiveOrTheDestinationAreNotFollowed) {
  for (const Kind& kind : {kZip, kLzh2, kTarGz}) {
    SCOPED_TRACE(kind.label);
    TempFolder root;
    const std::string outside = root.path() + "/outside";
    const std::string folder = root.path() + "/D";
    root.Write("outside/target.txt", "keep");
    fs::create_directory(folder);
    fs::create_directory_symlink(outside, folder + "/sub");
    fs::create_symlink(outside + "/target.txt", folder + "/z.txt");
    const std::string archive = root.path() + "/a";
    kind.Write(archive,
               {Link("ln", outside), {"ln/x.txt", "x"}, {"sub/y.txt", "y"}, {"z.txt", "z"}});
    const Plugin& p = kind.plugin();
    EXPECT_EQ(List(p, archive).names, (Names{"ln/x.txt", "sub/y.txt", "z.txt"}));
    EXPECT_EQ(Extract(p, archive, folder, "ln/x.txt", true), ARCHIVER_OK);
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(folder + "/ln")));
    EXPECT_EQ(Extract(p, archive, folder, "sub/y.txt", true), ARCHIVER_UNSAFE_NAME);
    EXPECT_EQ(Extract(p, archive, folder, "z.txt", true), ARCHIVER_OK);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(folder + "/z.txt")));
    EXPECT_EQ(ReadWholeFile(folder + "/z.txt"), "z");
    EXPECT_EQ(Contents(outside), Names{"target.txt"});
    EXPECT_EQ(ReadWholeFile(outside + "/target.txt"), "keep");
  }
}

TEST(PluginSizeCap, MemberPassingTheCapLeavesNoPartialFile) {
  constexpr std::size_t kCap = 150000;
  for (const Kind& kind : {kZip, kLzh2, kTarGz, kSevenZip}) {
    SCOPED_TRACE(kind.label);
    TempFolder root;
    const std::string archive = root.path() + "/a";
    kind.Write(archive, {{"fits.bin", std::string(kCap, 'f')},
                         {"over.bin", std::string(kCap + 1, 'o')},
                         {"huge.bin", std::string(4 * kCap, 'h')}});
    const Plugin& p = kind.plugin();
    p.setCap(kCap);
    const std::string folder = root.path() + "/D";
    EXPECT_EQ(Extract(p, archive, folder, "fits.bin", false), ARCHIVER_OK);
    EXPECT_EQ(Extract(p, archive, folder, "over.bin", false), ARCHIVER_TOO_LARGE);
    EXPECT_EQ(Extract(p, archive, folder, "huge.bin", false), ARCHIVER_TOO_LARGE);
    p.setCap(std::uint64_t{4} << 30);
    EXPECT_EQ(Contents(folder), Names{"fits.bin"});
  }
}

// A member that would leave less free space than the reserve fails before the file
// system fills, and leaves no partial file; one that fits is written.
TEST(PluginFreeSpace, MemberThatWouldTakeTheReserveLeavesNoPartialFile) {
  TempFolder root;
  const std::string archive = root.path() + "/a";
  kZip.Write(archive, {{"small.txt", "s"}, {"big.bin", std::string(64 << 20, '\0')}});
  struct statvfs disk {};
  ASSERT_EQ(::statvfs(root.path().c_str(), &disk), 0);
  const std::uint64_t available = std::uint64_t{disk.f_bavail} * disk.f_frsize;
  if (available < (std::uint64_t{256} << 20)) GTEST_SKIP() << "too little free space to try";
  const Plugin& p = kZip.plugin();
  // 16 MiB may be written: enough for the small member, not for the big one.
  p.setReserve(available - (std::uint64_t{16} << 20));
  const std::string folder = root.path() + "/D";
  EXPECT_EQ(Extract(p, archive, folder, "big.bin", false), ARCHIVER_NO_ROOM);
  EXPECT_EQ(Extract(p, archive, folder, "small.txt", false), ARCHIVER_OK);
  p.setReserve(ARCHIVER_DEFAULT_RESERVE);
  EXPECT_EQ(Contents(folder), Names{"small.txt"});
}

// Every result of every entry on a damaged archive is one of the failure codes.

// What one archive's members write together stops at its cap, counted from its
// listing: the member that reaches it writes no byte beyond, fails with its own
// result and leaves no file; a new listing starts the count again.
TEST(PluginArchiveCap, MembersStopWritingAtTheArchivesTotalCap) {
  constexpr std::uint64_t kMiB = 1 << 20;
  for (const Kind& kind : {kZip, kLzh2, kTarGz}) {
    SCOPED_TRACE(kind.label);
    TempFolder root;
    const std::string archive = root.path() + "/a";
    kind.Write(archive, {{"one.bin", std::string(3 * kMiB, 'x')},
                         {"two.bin", std::string(3 * kMiB, 'y')}});
    const Plugin& p = kind.plugin();
    p.setArchiveCap(4 * kMiB);
    const std::string folder = root.path() + "/D";
    ASSERT_EQ(List(p, archive).names, (Names{"one.bin", "two.bin"}));
    EXPECT_EQ(Extract(p, archive, folder, "one.bin", false), ARCHIVER_OK);
    const std::uint64_t before = test::BytesWritten();
    EXPECT_EQ(Extract(p, archive, folder, "two.bin", false), ARCHIVER_OVER_ARCHIVE_CAP);
    EXPECT_LE(test::BytesWritten() - before, kMiB + test::kOtherWrites) << "written past the cap";
    EXPECT_EQ(Contents(folder), Names{"one.bin"});
    List(p, archive);
    EXPECT_EQ(Extract(p, archive, folder, "two.bin", false), ARCHIVER_OK);
    p.setArchiveCap(ARCHIVER_DEFAULT_ARCHIVE_CAP);
  }
}

}  // namespace
}  // namespace kolbrin::test
