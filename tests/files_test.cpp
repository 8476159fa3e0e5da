// Whole-file reading and the other file services the engine relies on.
#include "platform/Files.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "tests/TestSupport.h"

namespace kolbrin::platform {
namespace {

using test::TempFolder;

TEST(FileBytesLoad, ReadsTheWholeFileAndReplacesThePreviousOne) {
  TempFolder folder;
  const std::string bytes = std::string("a\0b\r\n", 5) + std::string(100000, 'z');
  FileBytes file;
  ASSERT_TRUE(file.Load(folder.Write("big", bytes), 1 << 20));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(file.data()), file.size()), bytes);
  ASSERT_TRUE(file.Load(folder.Write("empty", ""), 1 << 20));
  EXPECT_EQ(file.size(), 0u);
}

TEST(FileBytesLoad, RefusesWhatIsNotAReadableRegularFile) {
  TempFolder folder;
  FileBytes file;
  ASSERT_TRUE(file.Load(folder.Write("held", "bytes"), 100));
  EXPECT_FALSE(file.Load(folder.path() + "/missing", 100));
  EXPECT_EQ(file.size(), 0u) << "a failed load holds nothing";
  EXPECT_FALSE(file.Load(folder.path(), 100)) << "a folder";
  const std::string fifo = folder.path() + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(file.Load(fifo, 100)) << "a FIFO without a writer must not hang";
  EXPECT_FALSE(file.Load("/dev/zero", 100)) << "a device that never ends";
  EXPECT_FALSE(file.Load(folder.Write("large", std::string(101, 'x')), 100)) << "over the limit";
  if (::geteuid() != 0) {
    const std::string locked = folder.Write("locked", "secret");
    ::chmod(locked.c_str(), 0);
    EXPECT_FALSE(file.Load(locked, 100));
  }
}

TEST(FileServices, FolderTestAndDeletion) {
  TempFolder folder;
  const std::string plain = folder.Write("plain.txt", "x");
  EXPECT_TRUE(IsFolder(folder.path()));
  EXPECT_FALSE(IsFolder(plain));
  EXPECT_FALSE(IsFolder(folder.path() + "/missing"));
  EXPECT_TRUE(DeleteFile(plain));
  EXPECT_FALSE(DeleteFile(plain));
  EXPECT_FALSE(DeleteFile(folder.path())) << "folders are not deleted";
}

TEST(FileServices, FolderTreeRemovalDeletesLinksWithoutFollowingThem) {
  TempFolder folder;
  const std::string outside = folder.Write("outside/keep.txt", "kept");
  const std::string tree = folder.path() + "/tree/";
  folder.Write("tree/sub/deep/a.part", "partial");
  folder.Write("tree/copy.txt", "copy");
  std::filesystem::create_directory_symlink(folder.path() + "/outside", tree + "sub/linked");
  std::filesystem::create_symlink(outside, tree + "file-link");
  EXPECT_TRUE(RemoveFolderTree(tree));
  EXPECT_FALSE(std::filesystem::exists(folder.path() + "/tree"));
  EXPECT_TRUE(std::filesystem::exists(outside)) << "a link was followed";
  EXPECT_TRUE(RemoveFolderTree(tree)) << "already gone counts as removed";
  EXPECT_FALSE(RemoveFolderTree(outside)) << "a file is not a folder";
  EXPECT_TRUE(std::filesystem::exists(outside));
}

TEST(FileServices, TempDirectoryFollowsTheEnvironmentAndEndsInASlash) {
  const char* savedTemp = std::getenv("TEMP");
  const char* savedTmpdir = std::getenv("TMPDIR");
  const std::string temp = savedTemp ? savedTemp : "";
  const std::string tmpdir = savedTmpdir ? savedTmpdir : "";

  ::setenv("TEMP", "/var/k", 1);
  ::setenv("TMPDIR", "/other", 1);
  EXPECT_EQ(TempDirectory(), "/var/k/");
  ::unsetenv("TEMP");
  EXPECT_EQ(TempDirectory(), "/other/");
  ::setenv("TMPDIR", "/other/", 1);
  EXPECT_EQ(TempDirectory(), "/other/");
  ::unsetenv("TMPDIR");
  EXPECT_EQ(TempDirectory(), "/tmp/");
  // A relative folder is taken from the current folder once, so that paths inside
  // it stay right wherever they are joined.
  ::setenv("TEMP", "rel/tmp", 1);
  EXPECT_EQ(TempDirectory(), CurrentFolder().value() + "/rel/tmp/");
  ::unsetenv("TEMP");

  if (savedTemp) ::setenv("TEMP", temp.c_str(), 1);
  if (savedTmpdir) ::setenv("TMPDIR", tmpdir.c_str(), 1);
}

// A private folder left by a program that was killed is removed by the next one;
// a folder a running program holds, a fresh one, and anything not ours, are kept.
TEST(PrivateFolders, StaleOnesGoLiveOnesStay) {
  TempFolder folder;
  const std::string parent = folder.path() + "/";
  const auto aged = [&](const std::string& name) {
    const std::string path = parent + name;
    std::filesystem::create_directory(path);
    folder.Write(name + "/copy.txt", "left behind");
    const timespec old[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), old, 0);
    return path;
  };
  const std::optional<PrivateFolder> live = CreatePrivateFolder(parent);
  ASSERT_TRUE(live);
  const timespec old[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
  ::utimensat(AT_FDCWD, live->path().c_str(), old, 0);
  const std::string stale = aged("kolbrin-Ab12Cd");
  const std::string other = aged("kolbrin-notours");  // not a name this program makes
  std::filesystem::create_directory(parent + "kolbrin-Fresh1");  // being made right now
  const std::optional<PrivateFolder> next = CreatePrivateFolder(parent);
  ASSERT_TRUE(next);
  EXPECT_FALSE(std::filesystem::exists(stale));
  EXPECT_TRUE(std::filesystem::exists(live->path() + "."));
  EXPECT_TRUE(std::filesystem::exists(other));
  EXPECT_TRUE(std::filesystem::exists(parent + "kolbrin-Fresh1"));
}

// In a TEMP that everyone may write to without the sticky bit, anyone could swap
// the folder for a link: none is made there.
TEST(PrivateFolders, NoneInAWorldWritableFolderWithoutTheStickyBit) {
  TempFolder folder;
  const std::string parent = folder.path() + "/";
  ASSERT_EQ(::chmod(folder.path().c_str(), 0777), 0);
  EXPECT_FALSE(CreatePrivateFolder(parent));
  ASSERT_EQ(::chmod(folder.path().c_str(), 01777), 0);
  EXPECT_TRUE(CreatePrivateFolder(parent));
}

TEST(FilePaths, FolderAndFileName) {
  EXPECT_EQ(FolderOf("/home/u/a b.txt"), "/home/u/");
  EXPECT_EQ(FileNameOf("/home/u/a b.txt"), "a b.txt");
  EXPECT_EQ(FolderOf("plain"), "");
  EXPECT_EQ(FileNameOf("/dir/"), "");
}

}  // namespace
}  // namespace kolbrin::platform
