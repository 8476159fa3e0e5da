// The worker-thread facility and TGrep's walk over the dropped paths.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/WorkerThread.h"
#include "search/ResultTree.h"
#include "search/Threadg.h"
#include "tests/SearchSupport.h"
#include "tests/TestSupport.h"

namespace kolbrin {
namespace {

using platform::EventLoop;
using test::TempFolder;

class ScriptedWorker final : public platform::WorkerThread {
 public:
  explicit ScriptedWorker(platform::Dispatcher& owner) : WorkerThread(owner) {}
  ~ScriptedWorker() override { StopAndJoin(); }
  std::function<void(ScriptedWorker&)> body;
  using WorkerThread::Synchronize;

 protected:
  void Execute() override { body(*this); }
};

TEST(WorkerThreadLifecycle, SynchronizedCallsAndCompletionRunOnTheOwnersThread) {
  EventLoop loop;
  ScriptedWorker worker(loop);
  const std::thread::id owner = std::this_thread::get_id();
  std::vector<std::string> events;
  worker.body = [&](ScriptedWorker& self) {
    EXPECT_NE(std::this_thread::get_id(), owner);
    self.Synchronize([&] {
      EXPECT_EQ(std::this_thread::get_id(), owner);
      events.push_back("sync");
    });
    events.push_back("after sync");  // the worker waited for the call
  };
  bool ended = false;
  worker.SetOnTerminate([&] {
    EXPECT_EQ(std::this_thread::get_id(), owner);
    EXPECT_TRUE(worker.Finished());
    events.push_back("completed");
    ended = true;
  });
  EXPECT_FALSE(worker.Finished()) << "created suspended";
  worker.Resume();
  loop.RunUntil([&] { return ended; });
  EXPECT_EQ(events, (std::vector<std::string>{"sync", "after sync", "completed"}));
  EXPECT_FALSE(worker.FatalException());
}

TEST(WorkerThreadLifecycle, CompletionRunsAfterTheBodyThrew) {
  EventLoop loop;
  ScriptedWorker worker(loop);
  worker.body = [](ScriptedWorker& self) {
    // An exception of a synchronized call reaches the body, and leaves it.
    self.Synchronize([] { throw std::runtime_error("host failed"); });
  };
  bool ended = false;
  worker.SetOnTerminate([&] { ended = true; });
  worker.Resume();
  loop.RunUntil([&] { return ended; });
  ASSERT_TRUE(worker.FatalException());
  EXPECT_THROW(std::rethrow_exception(worker.FatalException()), std::runtime_error);
}

TEST(WorkerThreadLifecycle, ReleasingAWaitingWorkerNeitherHangsNorRunsItsCalls) {
  EventLoop loop;
  bool callRan = false;
  bool completionRan = false;
  {
    ScriptedWorker worker(loop);
    worker.body = [&](ScriptedWorker& self) { self.Synchronize([&] { callRan = true; }); };
    worker.SetOnTerminate([&] { completionRan = true; });
    worker.Resume();
    // The loop is not run, so the worker waits in its call until it is released.
  }
  bool drained = false;
  loop.Post([&] { drained = true; });
  loop.RunUntil([&] { return drained; });
  EXPECT_FALSE(callRan);
  EXPECT_FALSE(completionRan);
}

TEST(WorkerThreadLifecycle, OwnerThatOnlyWaitsLetsTheWorkerMakeItsOwnCalls) {
  EventLoop loop(/*ownerOnlyWaits=*/true);
  ScriptedWorker worker(loop);
  std::thread::id callThread;
  std::thread::id bodyThread;
  worker.body = [&](ScriptedWorker& self) {
    bodyThread = std::this_thread::get_id();
    self.Synchronize([&] { callThread = std::this_thread::get_id(); });
  };
  bool ended = false;
  worker.SetOnTerminate([&] { ended = true; });
  worker.Resume();
  loop.RunUntil([&] { return ended; });
  EXPECT_EQ(callThread, bodyThread);
}

TEST(WorkerThreadLifecycle, NeverResumedWorkerIsReleasedQuietly) {
  EventLoop loop;
  bool ran = false;
  {
    ScriptedWorker worker(loop);
    worker.body = [&ran](ScriptedWorker&) { ran = true; };
  }
  EXPECT_FALSE(ran) << "a worker released before it was resumed never runs its body";
}

using test::Search;

TEST(SearchTraversal, SearchesPathsInCaseInsensitiveOrderOnce) {
  TempFolder folder;
  const std::string base = folder.path() + "/";
  for (const char* name : {"b.txt", "A.txt", "a.txt", "C.txt", "_.txt"})
    folder.Write(name, "key\n");
  Search search("key");
  for (const char* name : {"b.txt", "C.txt", "a.txt", "A.txt", "_.txt", "b.txt"}) {
    search.grep->Paths.Add(base + name);
  }
  EXPECT_EQ(search.grep->Paths.size(), 5u) << "only byte-identical paths are the same path";
  SortedPathList all;
  all.Assign({base + "b.txt", base + "C.txt", base + "a.txt", base + "A.txt", base + "_.txt",
              base + "b.txt"});
  ASSERT_EQ(all.size(), 5u) << "added at once, the same list";
  for (std::size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i], search.grep->Paths[i]);
  search.Run();
  EXPECT_EQ(search.FileNodes(),
            (std::vector<std::string>{base + "_.txt", base + "A.txt", base + "a.txt",
                                      base + "b.txt", base + "C.txt"}));
  EXPECT_GE(search.host.menuUpdates, 1) << "once for each batch of nodes";
  ASSERT_FALSE(search.host.statuses.empty());
  EXPECT_EQ(search.host.statuses.front(), base + "_.txt 検索中...");
  EXPECT_EQ(search.host.statuses.back(), "") << "the status bar is emptied at the end";
  EXPECT_FALSE(search.grep->FatalException());
}

TEST(SearchTraversal, SkipsFoldersAndShowsFilesNamedLikeArchivesAndUnreadableFilesWhenAsked) {
  TempFolder folder;
  const std::string base = folder.path() + "/";
  ::mkdir((base + "sub").c_str(), 0700);
  folder.Write("data.zip.txt", "key\n");
  folder.Write("in.lzh.d/plain.txt", "key\n");
  folder.Write("X.Zip", "key\n");
  folder.Write("empty.txt", "nothing\n");
  folder.Write("hit.txt", "a key\n");
  Search search("key");
  search.host.hide = false;
  for (const char* name :
       {"sub", "data.zip.txt", "in.lzh.d/plain.txt", "X.Zip", "empty.txt", "hit.txt", "gone.txt"}) {
    search.grep->Paths.Add(base + name);
  }
  search.Run();
  const std::vector<FileNode>& files = search.host.tree.Files();
  // Text files whose names hold ".zip" or ".lzh" are refused by the plug-ins'
  // signature check, or found without one loaded, and searched as files.
  std::vector<std::string> texts;
  for (const FileNode& file : files) texts.push_back(file.text);
  EXPECT_EQ(texts, (std::vector<std::string>{base + "data.zip.txt", base + "empty.txt",
                                             base + "gone.txt", base + "hit.txt",
                                             base + "in.lzh.d/plain.txt", base + "X.Zip"}));
  ASSERT_EQ(files.size(), 6u);
  EXPECT_TRUE(files[1].hits.empty());
  EXPECT_TRUE(files[2].hits.empty());
  EXPECT_EQ(files[3].hits, std::vector<std::string>{"LINE[0000000001]:a key"});
  // The file that could not be read was not searched, and is counted as such.
  const SearchSummary& summary = search.grep->Summary();
  EXPECT_EQ(summary.files, 5u);
  EXPECT_EQ(summary.filesWithHits, 4u);
  EXPECT_EQ(summary.hits, 4u);
  EXPECT_EQ(summary.failed, 1u);
  EXPECT_FALSE(summary.stopped);
}

TEST(SearchTraversal, HidesFilesWithoutHits) {
  TempFolder folder;
  Search search("key");
  search.grep->Paths.Add(folder.Write("a.txt", "none\n"));
  search.grep->Paths.Add(folder.Write("b.txt", "key\n"));
  search.grep->Paths.Add(folder.path() + "/missing.txt");
  search.Run();
  EXPECT_EQ(search.FileNodes(), std::vector<std::string>{folder.path() + "/b.txt"});
  EXPECT_EQ(search.host.menuUpdates, 1) << "the menu is refreshed only for added nodes";
  EXPECT_EQ(search.grep->Summary().files, 2u) << "hidden files were searched all the same";
}

TEST(SearchSummaryText, CountsInGroupsOfThreeDigitsAndSaysAStop) {
  struct Case {
    SearchSummary summary;
    const char* text;
  };
  const Case cases[] = {
      {{0, 0, 0, false}, "0 ファイル中 0 ファイル、0 件"},
      {{1234, 56, 789, false}, "1,234 ファイル中 56 ファイル、789 件"},
      {{1000000, 100, 1234567, true}, "1,000,000 ファイル中 100 ファイル、1,234,567 件 — 中断しました"},
      {{7, 2, 3, false, 3}, "7 ファイル中 2 ファイル、3 件、検索できなかったファイル 3"},
      {{1, 0, 0, true, 1234}, "1 ファイル中 0 ファイル、0 件、検索できなかったファイル 1,234 — 中断しました"},
  };
  for (const Case& c : cases) EXPECT_EQ(SummaryText(c.summary), c.text);
}

TEST(SearchStop, PublishesTheLongFileSoFarAndStartsNoOther) {
  TempFolder folder;
  std::string lines;
  for (int i = 0; i < 100000; ++i) lines += "key\n";
  Search search("key");
  search.grep->Jobs = 1;  // the single worker: the stop comes within the chunk being scanned
  search.grep->String2 = "absent";  // AND: the decision is not made for a stopped file
  search.grep->Paths.Add(folder.Write("a-long.txt", lines));
  search.grep->Paths.Add(folder.Write("b-next.txt", "key\n"));
  search.host.onStatus = [&](const std::string& text) {
    if (!text.empty()) search.grep->RequestStop();
  };
  search.Run();
  const std::vector<FileNode>& files = search.host.tree.Files();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].text, folder.path() + "/a-long.txt");
  // One chunk examines 10,241 bytes; here each hit line costs one examined byte.
  EXPECT_EQ(files[0].hits.size(), 10241u);
  EXPECT_EQ(search.host.statuses.back(), "");
  EXPECT_TRUE(search.grep->Summary().stopped);
  EXPECT_EQ(search.grep->Summary().hits, 10241u);
}

// File nodes reach the owner in batches, but a file searched before a long one is
// handed over while the long one is still searched, not after it.
TEST(SearchStop, AFileBeforeALongOneIsShownWhileTheLongOneIsSearched) {
  TempFolder folder;
  std::string lines;
  while (lines.size() < (32u << 20)) lines += "key\n";
  Search search("key");
  search.grep->Jobs = 1;  // the single worker publishes between the long file's chunks
  search.grep->Paths.Add(folder.Write("a-short.txt", "key\n"));
  search.grep->Paths.Add(folder.Write("b-long.txt", lines));
  search.host.onAddFile = [&] { search.grep->RequestStop(); };
  search.Run();
  const std::vector<FileNode>& files = search.host.tree.Files();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_LT(files[1].hits.size(), lines.size() / 4) << "the long file was stopped part way";
}

TEST(SearchStop, HostFailureEndsTheSearchButStillCompletes) {
  TempFolder folder;
  Search search("key");
  search.grep->Paths.Add(folder.Write("a.txt", "key\n"));
  search.grep->Paths.Add(folder.Write("b.txt", "key\n"));
  search.host.onAddFile = [] { throw std::runtime_error("tree is full"); };
  search.Run();
  EXPECT_TRUE(search.grep->Finished());
  EXPECT_TRUE(search.grep->FatalException());
  EXPECT_TRUE(search.host.tree.Files().empty());
  search.grep.reset();  // released after its thread has ended
}

}  // namespace
}  // namespace kolbrin
