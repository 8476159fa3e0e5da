// The streaming reader: which files it refuses, files of one folder in a row, and a
// file that changes while it is read.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <utility>

#include "platform/FileReader.h"
#include "tests/TestSupport.h"

namespace kolbrin::platform {
namespace {

using test::TempFolder;

std::string ReadAll(FileReader& reader, std::size_t piece) {
  std::string text;
  std::string buffer(piece, '\0');
  auto* bytes = reinterpret_cast<unsigned char*>(buffer.data());
  for (std::size_t got; (got = reader.Read(bytes, piece)) != 0;) text.append(buffer, 0, got);
  return text;
}

TEST(FileReaderOpen, RefusesWhatIsNotAReadableRegularFile) {
  TempFolder folder;
  FileReader reader;
  EXPECT_FALSE(reader.Open(folder.path() + "/missing"));
  EXPECT_FALSE(reader.Open(folder.path())) << "a folder";
  const std::string fifo = folder.path() + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(reader.Open(fifo)) << "a FIFO without a writer must not hang";
  EXPECT_FALSE(reader.Open("/dev/zero")) << "a device that never ends";
  ASSERT_TRUE(reader.Open(folder.Write("empty", "")));
  EXPECT_EQ(ReadAll(reader, 7), "");
}

TEST(FileReaderOpen, FilesOfOneFolderInARowAndAFolderReplacedBetweenThem) {
  TempFolder folder;
  const std::string a1 = folder.Write("a/one.txt", "a one");
  const std::string a2 = folder.Write("a/two.txt", "a two");
  const std::string b1 = folder.Write("b/one.txt", "b one");
  FileReader reader;
  for (const auto& [path, bytes] :
       {std::pair{a1, "a one"}, {a2, "a two"}, {a1, "a one"}, {b1, "b one"}, {a2, "a two"}}) {
    ASSERT_TRUE(reader.Open(path)) << path;
    EXPECT_EQ(ReadAll(reader, 2), bytes) << path;
  }
  EXPECT_FALSE(reader.Open(folder.path() + "/a/missing.txt"));

  // The folder goes away and comes back with other files: the path decides.
  ASSERT_TRUE(reader.Open(a1));
  ASSERT_TRUE(reader.Open(a2));
  std::filesystem::remove_all(folder.path() + "/a");
  folder.Write("a/one.txt", "new one");
  ASSERT_TRUE(reader.Open(a1));
  EXPECT_EQ(ReadAll(reader, 3), "new one");
  std::filesystem::remove_all(folder.path() + "/a");
  EXPECT_FALSE(reader.Open(a1));
}

TEST(FileReaderRead, AFileThatShrinksOrGrowsIsReadAsFarAsItGoes) {
  TempFolder folder;
  const std::string path = folder.Write("log", "0123456789");
  FileReader reader;
  unsigned char piece[4];
  ASSERT_TRUE(reader.Open(path));
  ASSERT_EQ(reader.Read(piece, 4), 4u);
  ASSERT_EQ(::truncate(path.c_str(), 6), 0);
  EXPECT_EQ(ReadAll(reader, 4), "45");
  folder.Write("log", "0123456789abcdef");
  EXPECT_EQ(ReadAll(reader, 4), "6789abcdef") << "read on where it was";
  reader.Seek(0);
  EXPECT_EQ(ReadAll(reader, 5), "0123456789abcdef");
}

}  // namespace
}  // namespace kolbrin::platform
