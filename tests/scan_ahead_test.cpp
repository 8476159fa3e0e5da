// Files and members scanned ahead on several threads: the owner is shown exactly
// what the single worker shows, whatever order the scans finish in, and a stop
// leaves a prefix of it and no copy behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "archive/Archive.h"
#include "platform/Files.h"
#include "tests/ArchiveFixtures.h"
#include "tests/SearchSupport.h"
#include "tests/TestSupport.h"

namespace kolbrin {
namespace {

using test::FixtureMember;
using test::Search;
using test::TempFolder;

// Runs before each chunk that a scanner made by MakeHookedScanner scans, on the
// scanning thread; set before the search starts.
std::function<void(const std::string& path)> beforeEachStep;
class HookedScanner final : public Scanner {
 public:
  explicit HookedScanner(const SearchSettings& settings) : inner_(MakeScanner(settings)) {}
  void ResetForFile() override { inner_->ResetForFile(); }
  ScanResult ScanStep(const std::string& path, std::uint32_t chunkSize) override {
    beforeEachStep(path);
    return inner_->ScanStep(path, chunkSize);
  }
  const std::string& CurrentFile() const override { return inner_->CurrentFile(); }
  void ClearCurrentFile() override { inner_->ClearCurrentFile(); }
  TextList& Results() override { return inner_->Results(); }
  std::size_t FirstPassEntries() const override { return inner_->FirstPassEntries(); }
  bool LoadFailed() const override { return inner_->LoadFailed(); }

 private:
  std::unique_ptr<Scanner> inner_;
};
std::unique_ptr<Scanner> MakeHookedScanner(const SearchSettings& settings) {
  return std::make_unique<HookedScanner>(settings);
}

// A random while before each chunk, so that the files scanned ahead finish in any
// order.
std::atomic<unsigned> delaySeed{1};
void RandomDelay(const std::string&) {
  thread_local std::mt19937 random(delaySeed++);
  std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
}

// What one search showed the owner.
struct Shown {
  std::vector<FileNode> files;
  std::vector<std::pair<std::string, std::string>> failures;
  std::vector<std::string> tempFiles;
  SearchSummary summary;
};

std::set<std::string> CopiesIn(const std::string& folder) {
  std::set<std::string> copies;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) copies.insert(entry.path().string());
  }
  return copies;
}

// Every copy left in the private folder is one a file node lists (a node of a member
// without hits lists its copy too, which is deleted already).
void ExpectOnlyListedCopies(const std::string& tempDir, const Shown& shown,
                            const std::string& label) {
  const std::set<std::string> listed(shown.tempFiles.begin(), shown.tempFiles.end());
  for (const std::string& copy : CopiesIn(tempDir)) {
    EXPECT_TRUE(listed.count(copy)) << label << " left " << copy;
  }
}

class ScanAheadSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadLzhLibrary());
    ASSERT_TRUE(LoadZipLibrary());
    ASSERT_TRUE(LoadAnyLibrary());
    made = platform::CreatePrivateFolder(folder.path());
    ASSERT_TRUE(made);
    tempDir = made->path();

    // Plain, binary, unreadable and hit-less files, a folder, archives whose
    // members repeat a name (also across the archives), an archive inside one, a 7z,
    // and enough small files that the threads overtake each other.
    const std::string input = folder.path() + "/in/";
    ASSERT_EQ(::mkdir(input.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((input + "e-folder").c_str(), 0700), 0);
    const auto add = [&](const std::string& name, const std::string& bytes) {
      paths.push_back(folder.Write("in/" + name, bytes));
    };
    add("a.txt", "key one\nnothing\nKEY two\n");
    add("b.bin", std::string("\0\0key\0", 6) + "tail key");
    add("c.txt", "no hits here\n");
    paths.push_back(input + "d-missing.txt");
    paths.push_back(input + "e-folder");
    std::string lines;
    for (int i = 0; i < 20000; ++i) lines += i % 7 == 0 ? "a key line\n" : "filler\n";
    add("f-long.txt", lines);
    const std::string inner = folder.path() + "/inner.zip";
    test::WriteZip(inner, {{"x/readme.txt", "inner key\n"}, {"y/none.txt", "nothing\n"}});
    const std::string innerBytes = test::ReadWholeFile(inner);
    test::WriteZip(input + "g.zip", {{"x/readme.txt", "key 1\n"},
                                     {"y/readme.txt", "key 2\n"},
                                     {"z/readme.txt", "nothing\n"},
                                     {"bin.dat", std::string("\0key", 4)},
                                     {"inner.zip", innerBytes},
                                     {"long.txt", lines}});
    paths.push_back(input + "g.zip");
    test::WriteStoredLzh(input + "h.lzh",
                         {{"p/readme.txt", "key 3\n"}, {"q/readme.txt", "none\n"}});
    paths.push_back(input + "h.lzh");
    // Unpacked with much work: its members are scanned as the single worker would.
    test::WriteSevenZip(input + "i.7z",
                        {{"r/readme.txt", "key 4\n"}, {"s/none.txt", "none\n"}, {"t.txt", lines}});
    paths.push_back(input + "i.7z");
    for (int i = 0; i < 40; ++i) {
      add("n" + std::to_string(100 + i) + ".txt",
          i % 3 == 0 ? "no\n" : "a key " + std::to_string(i));
    }
  }

  // Runs one search over `paths`, deleting the copies of the search before.
  Shown Run(unsigned jobs, bool hide, bool delays,
            const std::function<void(TGrep&)>& whileRunning = {}) {
    Search search("key");
    search.grep->Jobs = jobs;
    search.grep->TempDir = tempDir;
    search.grep->CopiesToDelete = std::move(lastCopies);
    if (delays) {
      beforeEachStep = RandomDelay;
      search.grep->MakeScannerFor = MakeHookedScanner;
    }
    for (const std::string& path : paths) search.grep->Paths.Add(path);
    search.host.hide = hide;
    std::thread stopper;
    if (whileRunning) stopper = std::thread([&] { whileRunning(*search.grep); });
    search.Run();
    if (stopper.joinable()) stopper.join();
    lastCopies = search.host.tempFiles;
    return {search.host.tree.Files(), search.host.failures, search.host.tempFiles,
            search.grep->Summary()};
  }

  TempFolder folder;
  std::optional<platform::PrivateFolder> made;
  std::string tempDir;
  std::vector<std::string> paths;
  std::vector<std::string> lastCopies;
};

void ExpectSameFiles(const std::vector<FileNode>& actual, const std::vector<FileNode>& expected,
                     const std::string& label) {
  ASSERT_EQ(actual.size(), expected.size()) << label;
  for (std::size_t i = 0; i < actual.size(); ++i) {
    EXPECT_EQ(actual[i].text, expected[i].text) << label << " file " << i;
    EXPECT_EQ(actual[i].hits, expected[i].hits) << label << " " << actual[i].text;
  }
}

TEST_F(ScanAheadSearch, AnyNumberOfJobsShowsTheSingleWorkersTreeWhateverOrderScansFinishIn) {
  for (const bool hide : {true, false}) {
    const Shown single = Run(1, hide, /*delays=*/false);
    ASSERT_FALSE(single.failures.empty());
    ASSERT_GT(single.files.size(), 20u);
    for (const unsigned jobs : {2u, 8u}) {
      for (int round = 0; round < 8; ++round) {
        const std::string label = "hide=" + std::to_string(hide) + " jobs=" + std::to_string(jobs) +
                                  " round=" + std::to_string(round);
        const Shown shown = Run(jobs, hide, /*delays=*/true);
        ExpectSameFiles(shown.files, single.files, label);
        EXPECT_EQ(shown.failures, single.failures) << label;
        EXPECT_EQ(shown.tempFiles, single.tempFiles) << label;
        EXPECT_EQ(shown.summary.files, single.summary.files) << label;
        EXPECT_EQ(shown.summary.hits, single.summary.hits) << label;
        EXPECT_EQ(shown.summary.failed, single.summary.failed) << label;
        EXPECT_FALSE(shown.summary.stopped) << label;
        ExpectOnlyListedCopies(tempDir, shown, label);
      }
    }
  }
}

// Whenever the stop comes, what was shown is the single worker's tree cut short:
// every file before the last one whole, the last one possibly with part of its
// hits; no failure out of turn; and no copy left but those the nodes list.
TEST_F(ScanAheadSearch, AStopAtAnyMomentShowsAPrefixAndLeavesNoCopyBehind) {
  std::mt19937 random(20261210);
  for (const bool hide : {true, false}) {
    const auto started = std::chrono::steady_clock::now();
    const Shown single = Run(1, hide, /*delays=*/false);
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - started);
    for (int round = 0; round < 24; ++round) {
      const unsigned jobs = round % 2 == 0 ? 2 : 8;
      const auto after = std::chrono::microseconds(random() % (2 * took.count() + 1));
      const std::string label = "hide=" + std::to_string(hide) + " jobs=" + std::to_string(jobs) +
                                " stop after " + std::to_string(after.count()) + " us";
      const Shown shown = Run(jobs, hide, /*delays=*/round % 3 != 0, [after](TGrep& grep) {
        std::this_thread::sleep_for(after);
        grep.RequestStop();
      });
      ASSERT_LE(shown.files.size(), single.files.size()) << label;
      if (!shown.files.empty()) {
        const std::size_t last = shown.files.size() - 1;
        ExpectSameFiles({shown.files.begin(), shown.files.begin() + last},
                        {single.files.begin(), single.files.begin() + last}, label);
        EXPECT_EQ(shown.files[last].text, single.files[last].text) << label;
        const std::set<std::string_view> allHits(single.files[last].hits.begin(),
                                                 single.files[last].hits.end());
        for (const std::string_view hit : shown.files[last].hits) {
          EXPECT_TRUE(allHits.count(hit)) << label << " " << hit;
        }
      }
      ASSERT_LE(shown.failures.size(), single.failures.size()) << label;
      EXPECT_TRUE(std::equal(shown.failures.begin(), shown.failures.end(), single.failures.begin()))
          << label;
      ExpectOnlyListedCopies(tempDir, shown, label);
    }
  }
}

// The long file's chunks take a millisecond each, and are counted.
std::atomic<int> longFileSteps{0};
void SlowLongFile(const std::string& path) {
  if (!path.ends_with("b-long.txt")) return;
  ++longFileSteps;
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Whichever thread scans the long file, the worker itself included, the file
// before it is shown while the long one is scanned, not after it.
TEST(ScanAheadPublication, AFileIsShownWhileTheNextOneIsStillScanned) {
  TempFolder folder;
  const std::string lines(std::size_t{1} << 20, '\n');  // about a hundred chunks
  for (const unsigned jobs : {2u, 8u}) {
    Search search("key");
    search.grep->Jobs = jobs;
    beforeEachStep = SlowLongFile;
    search.grep->MakeScannerFor = MakeHookedScanner;
    search.grep->Paths.Add(folder.Write("a-short.txt", "key\n"));
    search.grep->Paths.Add(folder.Write("b-long.txt", lines));
    longFileSteps = 0;
    int stepsWhenShown = -1;
    search.host.onAddFile = [&] { stepsWhenShown = longFileSteps; };
    search.Run();
    ASSERT_EQ(search.host.tree.Files().size(), 1u);
    EXPECT_LT(stepsWhenShown, longFileSteps / 2) << "jobs=" << jobs;
  }
}

}  // namespace
}  // namespace kolbrin
