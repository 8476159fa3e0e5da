// The scanner's file bytes: read or mapped, the same bytes as FileBytes, the same
// refusals, and no crash when a mapped file is truncated under it.
#include "platform/FileMap.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include "platform/Files.h"
#include "platform/HeldRanges.h"
#include "tests/TestSupport.h"

namespace kolbrin::platform {
namespace {

using test::TempFolder;

std::string Held(const FileMap& file) {
  return std::string(reinterpret_cast<const char*>(file.data()), file.size());
}

// Bytes that differ from place to place, so a shifted or stale page shows.
std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 4093) & 0xFF);
  return bytes;
}

TEST(FileMapLoad, HoldsTheSameBytesAsFileBytesOnBothSidesOfTheMappingSize) {
  TempFolder folder;
  FileMap file;
  FileBytes reference;
  for (const std::size_t size :
       {std::size_t{0}, std::size_t{1}, std::size_t{4096}, kMappedFileSize - 1, kMappedFileSize,
        kMappedFileSize + 4097, std::size_t{100}}) {
    const std::string path = folder.Write("f" + std::to_string(size), Pattern(size));
    ASSERT_TRUE(file.Load(path, 1u << 30)) << size;
    ASSERT_TRUE(reference.Load(path, 1u << 30)) << size;
    EXPECT_EQ(file.size(), size);
    EXPECT_NE(file.data(), nullptr) << "even an empty file has a valid pointer";
    EXPECT_EQ(Held(file),
              std::string(reinterpret_cast<const char*>(reference.data()), reference.size()))
        << size;
    EXPECT_EQ(file.mapped(), size >= kMappedFileSize) << size;
  }
}

TEST(FileMapLoad, ReusesItsReadBufferAndReleasesTheMapping) {
  TempFolder folder;
  FileMap file;
  ASSERT_TRUE(file.Load(folder.Write("small", "first file"), 1u << 30));
  const unsigned char* buffer = file.data();
  ASSERT_TRUE(file.Load(folder.Write("large", Pattern(kMappedFileSize)), 1u << 30));
  EXPECT_TRUE(file.mapped());
  ASSERT_TRUE(file.Load(folder.Write("other", "second"), 1u << 30));
  EXPECT_FALSE(file.mapped());
  EXPECT_EQ(file.data(), buffer) << "a file that fits is read into the same buffer";
  EXPECT_EQ(Held(file), "second");
  file.Clear();
  EXPECT_EQ(file.size(), 0u);
}

TEST(FileMapLoad, RefusesWhatIsNotAReadableRegularFile) {
  TempFolder folder;
  FileMap file;
  ASSERT_TRUE(file.Load(folder.Write("large", Pattern(kMappedFileSize)), 1u << 30));
  EXPECT_FALSE(file.Load(folder.path() + "/missing", 100));
  EXPECT_EQ(file.size(), 0u) << "a failed load holds nothing";
  EXPECT_FALSE(file.mapped());
  EXPECT_FALSE(file.Load(folder.path(), 100)) << "a folder";
  const std::string fifo = folder.path() + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(file.Load(fifo, 100)) << "a FIFO without a writer must not hang";
  EXPECT_FALSE(file.Load("/dev/zero", 100)) << "a device that never ends";
  EXPECT_FALSE(file.Load(folder.Write("over", std::string(101, 'x')), 100)) << "over the limit";
  EXPECT_TRUE(file.Load(folder.Write("limit", std::string(100, 'x')), 100)) << "at the limit";
}

TEST(FileMapLoad, FilesOfOneFolderInARowAndAFolderReplacedBetweenThem) {
  TempFolder folder;
  const std::string a1 = folder.Write("a/one.txt", "a one");
  const std::string a2 = folder.Write("a/two.txt", "a two");
  const std::string b1 = folder.Write("b/one.txt", "b one");
  FileMap file;
  for (const auto& [path, bytes] :
       {std::pair{a1, "a one"}, {a2, "a two"}, {a1, "a one"}, {b1, "b one"}, {a2, "a two"}}) {
    ASSERT_TRUE(file.Load(path, 1 << 20)) << path;
    EXPECT_EQ(Held(file), bytes) << path;
  }
  EXPECT_FALSE(file.Load(folder.path() + "/a/missing.txt", 1 << 20));
  EXPECT_FALSE(file.Load(folder.path() + "/a", 1 << 20)) << "a folder is no file";

  // The folder goes away and comes back with other files: the path decides.
  ASSERT_TRUE(file.Load(a1, 1 << 20));
  ASSERT_TRUE(file.Load(a2, 1 << 20));
  std::filesystem::remove_all(folder.path() + "/a");
  folder.Write("a/one.txt", "new one");
  ASSERT_TRUE(file.Load(a1, 1 << 20));
  EXPECT_EQ(Held(file), "new one");
  std::filesystem::remove_all(folder.path() + "/a");
  EXPECT_FALSE(file.Load(a1, 1 << 20));
}

// The resident memory of this process.
std::size_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t total = 0;
  std::size_t resident = 0;
  statm >> total >> resident;
  return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// Under AddressSanitizer every byte read also reads its shadow byte, one for each
// eight, and the shadow pages stay resident: they count against the scan's memory.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUnderAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kUnderAddressSanitizer = true;
#else
constexpr bool kUnderAddressSanitizer = false;
#endif
#else
constexpr bool kUnderAddressSanitizer = false;
#endif

TEST(FileMapLargeFile, LoadsWithoutBringingInThePagesAndHoldsOnlyThoseNearTheScan) {
  TempFolder folder;
  // Sparse: cheap to make, but every page brought in takes memory.
  constexpr std::size_t kSize = std::size_t{2} << 30;
  constexpr std::size_t kScanned = std::size_t{256} << 20;
  constexpr std::size_t kMarked = (std::size_t{100} << 20) + 5;
  const std::string path = folder.path() + "/sparse";
  {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    const bool made = ::ftruncate(fd, static_cast<off_t>(kSize)) == 0 &&
                      ::pwrite(fd, "A", 1, 0) == 1 &&
                      ::pwrite(fd, "B", 1, static_cast<off_t>(kMarked)) == 1;
    ::close(fd);
    ASSERT_TRUE(made);
  }
  const std::size_t before = ResidentBytes();
  FileMap file;
  ASSERT_TRUE(file.Load(path, SIZE_MAX));
  ASSERT_TRUE(file.mapped());
  EXPECT_LT(ResidentBytes() - before, kSize / 8) << "the load brought the file in";

  // The fast scanner's steps: chunks of 10,241 bytes, every page read.
  volatile unsigned char read = 0;
  for (std::size_t offset = 0; offset < kScanned; offset += 10241) {
    file.FollowScan(offset);
    for (std::size_t at = offset; at < offset + 10241; at += 2048) read = file.data()[at];
  }
  static_cast<void>(read);
  EXPECT_LT(ResidentBytes() - before, kScanned / 4 + (kUnderAddressSanitizer ? kScanned / 8 : 0))
      << "the pages behind the scan stay";
  // Pages let go read as before: far behind the scan, and from the start of a new pass.
  EXPECT_EQ(file.data()[kMarked], 'B');
  file.FollowScan(0);
  EXPECT_EQ(file.data()[0], 'A');
}

TEST(HeldRangesLookup, NeverPairsTheBeginOfOneRangeWithTheEndOfTheNext) {
  HeldRanges table;
  const int slot = table.Hold(0x10000, 0x20000);
  ASSERT_EQ(slot, 0);
  // Between the lookup's reads of begin and end, the range is let go and its entry
  // taken for one further on: the address is in neither, so nothing may be found.
  bool reused = false;
  const HeldRanges::Range found = table.Find(0x30000, [&] {
    if (reused) return;
    reused = true;
    table.Release(slot);
    EXPECT_EQ(table.Hold(0x40000, 0x50000), slot);
  });
  EXPECT_TRUE(reused);
  EXPECT_EQ(found.begin, 0u) << "found [" << found.begin << ", " << found.end << ")";
  EXPECT_EQ(table.Find(0x48000).begin, 0x40000u);
  EXPECT_EQ(table.Find(0x18000).begin, 0u);
}

TEST(FileMapTruncation, AMappedFileCutShortReadsAsZeroBytesPastItsNewEnd) {
  TempFolder folder;
  const std::size_t size = 4 * kMappedFileSize + 123;
  const std::string bytes = Pattern(size);
  const std::string path = folder.Write("shrinking", bytes);
  FileMap file;
  ASSERT_TRUE(file.Load(path, 1u << 30));
  ASSERT_TRUE(file.mapped());
  const std::size_t kept = 3 * 4096 + 10;
  ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(kept)), 0);

  // Every byte is read: without the handler the pages past the new end raise SIGBUS.
  std::size_t differing = 0;
  std::size_t nonzeroPastEnd = 0;
  for (std::size_t i = 0; i < file.size(); ++i) {
    const auto b = static_cast<char>(file.data()[i]);
    if (i < kept && b != bytes[i]) ++differing;
    if (i >= 4 * 4096 && b != 0) ++nonzeroPastEnd;
  }
  EXPECT_EQ(differing, 0u) << "the bytes that are still there";
  EXPECT_EQ(nonzeroPastEnd, 0u) << "the pages past the new end";

  // The next file maps and reads normally.
  ASSERT_TRUE(file.Load(folder.Write("next", bytes), 1u << 30));
  EXPECT_EQ(Held(file), bytes);
}

// A SIGBUS that is not a held mapping's must still end the process as before: as a
// signal, or through a sanitizer's report.
bool DidNotSurvive(int status) {
  return WIFSIGNALED(status) ? WTERMSIG(status) == SIGBUS
                             : WIFEXITED(status) && WEXITSTATUS(status) != 0;
}

// The child process of a death test runs the test again up to the statement, so it
// makes a folder of its own; and it ends without destructors, so it removes that
// folder itself, before the end. The files stay open, or mapped, meanwhile.
TEST(FileMapTruncationDeathTest, OtherBusErrorsAreNotSwallowed) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempFolder folder;
  const std::string held = folder.Write("held", Pattern(kMappedFileSize));
  const std::string foreign = folder.Write("foreign", Pattern(8 * 4096));
  EXPECT_EXIT(
      {
        FileMap file;
        const bool loaded = file.Load(held, 1u << 30) && file.mapped();
        // A mapping of someone else's, faulting past the end of its file.
        const int fd = ::open(foreign.c_str(), O_RDWR | O_CLOEXEC);
        void* other =
            fd < 0 ? MAP_FAILED : ::mmap(nullptr, 8 * 4096, PROT_READ, MAP_PRIVATE, fd, 0);
        std::filesystem::remove_all(folder.path());
        if (!loaded || other == MAP_FAILED || ::ftruncate(fd, 0) != 0) std::_Exit(0);
        const volatile char* bytes = static_cast<const char*>(other);
        const char faulting = bytes[4 * 4096];
        static_cast<void>(faulting);
        std::_Exit(0);
      },
      DidNotSurvive, "");
  EXPECT_EXIT(
      {
        FileMap file;
        const bool loaded = file.Load(held, 1u << 30);
        std::filesystem::remove_all(folder.path());
        if (!loaded) std::_Exit(0);
        std::raise(SIGBUS);
        std::_Exit(0);
      },
      DidNotSurvive, "");
}

}  // namespace
}  // namespace kolbrin::platform
