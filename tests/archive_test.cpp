// The binding to the archiver libraries: command lines, loading, and listing
// through the real plug-ins.
#include "archive/Archive.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "archive/MemberCopyName.h"
#include "platform/FileReader.h"
#include "platform/Files.h"
#include "platform/Library.h"
#include "platform/WorkerThread.h"
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

// Another process renames the private folder away between two extractions and puts
// a link to its own folder in its place: the copies still land in the folder the
// program holds, a copy is read from there, and deleting a copy by its path deletes
// nothing outside.
TEST_F(ArchiveListing, CopiesStayInTheHeldFolderWhenItsPathBecomesALink) {
  const std::string zip = folder.path() + "/a.zip";
  test::WriteZip(zip, {{"a.txt", "first"}, {"b.txt", "second"}, {"c.txt", "third"}});
  const std::string outside = folder.path() + "/outside/";
  std::filesystem::create_directory(outside);
  std::ofstream(outside + "a.txt") << "bait";
  std::ofstream(outside + "b.txt") << "bait";
  std::optional<platform::PrivateFolder> held = platform::CreatePrivateFolder(folder.path() + "/");
  ASSERT_TRUE(held);
  const std::string named = held->path();  // ends in "/"
  const std::string moved = folder.path() + "/moved/";

  ASSERT_EQ(ExtractZipMembers(zip, {"a.txt\t"}, named, ZipOption{}), kArchiveOk);
  const std::string link = named.substr(0, named.size() - 1);
  ASSERT_EQ(std::rename(link.c_str(), moved.substr(0, moved.size() - 1).c_str()), 0);
  ASSERT_EQ(::symlink(outside.c_str(), link.c_str()), 0);
  EXPECT_EQ(ExtractZipMembers(zip, {"b.txt\t"}, named, ZipOption{}), kArchiveOk);
  EXPECT_EQ(ExtractZipMembers(zip, {"c.txt\t"}, named + "2/", ZipOption{}), kArchiveOk);
  platform::FileBytes bytes;
  ASSERT_TRUE(bytes.Load(named + "a.txt", 100));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()), "first");
  platform::FileReader reader;
  ASSERT_TRUE(reader.Open(named + "2/c.txt"));
  unsigned char buffer[16];
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer), reader.Read(buffer, sizeof buffer)),
            "third");
  EXPECT_TRUE(platform::DeleteFile(named + "b.txt"));
  EXPECT_TRUE(platform::DeleteFile(named + "2/c.txt"));
  EXPECT_TRUE(platform::RemoveEmptyFolder(named + "2/"));

  EXPECT_EQ(test::ReadWholeFile(outside + "b.txt"), "bait");
  EXPECT_EQ(test::ReadWholeFile(outside + "a.txt"), "bait");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(outside), {}), 2);
  EXPECT_EQ(test::ReadWholeFile(moved + "a.txt"), "first");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(moved), {}), 1)
      << "b.txt and 2/ deleted in the held folder";
}

// A ZIP whose one member, `name`, is `bytes` zeros, deflated: a few hundred KiB.
void WriteZeroBomb(const std::string& path, const std::string& name, std::int64_t bytes) {
  archive* writer = archive_write_new();
  archive_write_set_format_zip(writer);
  ASSERT_EQ(archive_write_set_options(writer, "zip:compression=deflate"), ARCHIVE_OK);
  ASSERT_EQ(archive_write_open_filename(writer, path.c_str()), ARCHIVE_OK);
  archive_entry* entry = archive_entry_new();
  archive_entry_set_pathname(entry, name.c_str());
  archive_entry_set_filetype(entry, AE_IFREG);
  archive_entry_set_perm(entry, 0644);
  archive_entry_set_size(entry, bytes);
  ASSERT_EQ(archive_write_header(writer, entry), ARCHIVE_OK);
  archive_entry_free(entry);
  const std::string zeros(1 << 20, '\0');
  for (std::int64_t done = 0; done < bytes; done += static_cast<std::int64_t>(zeros.size())) {
    ASSERT_EQ(archive_write_data(writer, zeros.data(), zeros.size()),
              static_cast<la_ssize_t>(zeros.size()));
  }
  ASSERT_EQ(archive_write_close(writer), ARCHIVE_OK);
  archive_write_free(writer);
}

// Extracts one member on a worker thread, as the search does.
class ExtractingWorker final : public platform::WorkerThread {
 public:
  ExtractingWorker(platform::Dispatcher& owner, std::string zip, std::string member,
                   std::string destination)
      : WorkerThread(owner), zip_(std::move(zip)), member_(std::move(member)),
        destination_(std::move(destination)) {}
  ~ExtractingWorker() override { StopAndJoin(); }
  std::int32_t result = kArchiveOk;

 protected:
  void Execute() override {
    result = ExtractZipMembers(zip_, {member_ + "\t"}, destination_, ZipOption{});
  }

 private:
  std::string zip_, member_, destination_;
};

// The worker's stop reaches the member being written: it ends within 1 MiB written,
// with its own result, and leaves no partial file.
TEST_F(ArchiveListing, StopDuringAnExtractionEndsItWithin1MiB) {
  const std::string zip = folder.path() + "/bomb.zip";
  WriteZeroBomb(zip, "zeros.bin", std::int64_t{512} << 20);
  const std::string destination = folder.path() + "/d/";
  const std::string copy = destination + "zeros.bin";
  platform::EventLoop owner(/*ownerOnlyWaits=*/true);
  ExtractingWorker worker(owner, zip, "zeros.bin", destination);
  std::atomic<bool> done{false};
  worker.SetOnTerminate([&] { done = true; });
  std::atomic<std::uint64_t> atStop{0};
  std::thread stopper([&] {
    // Stops once 4 MiB of the copy are on disk.
    std::error_code error;
    while (!worker.Finished()) {
      if (std::filesystem::file_size(copy, error) >= (4u << 20) && !error) {
        atStop = test::BytesWritten();
        worker.RequestStop();
        return;
      }
      std::this_thread::yield();
    }
  });
  worker.Resume();
  owner.RunUntil([&] { return done.load(); });
  stopper.join();
  ASSERT_NE(atStop.load(), 0u) << "the extraction ended before the stop";
  EXPECT_EQ(worker.result, kExtractionStopped);
  EXPECT_LE(test::BytesWritten() - atStop.load(), (std::uint64_t{1} << 20) + test::kOtherWrites);
  EXPECT_FALSE(platform::NameTaken(copy));
}

}  // namespace
}  // namespace kolbrin
