// A search run against a host that records what the window would be shown.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "archive/ArchiveMembers.h"
#include "platform/WorkerThread.h"
#include "search/ResultTree.h"
#include "search/Threadg.h"

namespace kolbrin::test {

class RecordingHost final : public SearchHost {
 public:
  bool hide = true;
  ResultTree tree;
  std::vector<std::string> statuses;
  std::vector<std::string> tempFiles;
  int menuUpdates = 0;
  std::function<void(const std::string&)> onStatus;
  std::function<void()> onAddFile;

  void AddFileNode(const std::string& text, TextList hits) override {
    if (onAddFile) onAddFile();
    tree.AddFile(text, std::move(hits));
  }
  void AddTempFile(const std::string& path) override { tempFiles.push_back(path); }
  // Each path that could not be searched, with the reason.
  std::vector<std::pair<std::string, std::string>> failures;
  void ReportFailure(const std::string& path, const std::string& reason) override {
    failures.emplace_back(path, reason);
  }
  void UpdateMenuState() override { ++menuUpdates; }
  void SetStatusText(const std::string& text) override {
    statuses.push_back(text);
    if (onStatus) onStatus(text);
  }
  // Each extraction shown and ended, with the thread that was asked to show it.
  std::vector<bool> extracting;
  std::vector<std::thread::id> extractingThreads;
  void ShowExtracting(bool on) override {
    extracting.push_back(on);
    extractingThreads.push_back(std::this_thread::get_id());
  }
};

struct Search {
  platform::EventLoop loop;
  RecordingHost host;
  std::unique_ptr<TGrep> grep = std::make_unique<TGrep>(loop, host, ArchiverMemberAccess());

  explicit Search(const std::string& string1) { grep->String1 = string1; }
  void Run() {
    bool ended = false;
    grep->HideFilesWithoutHits = host.hide;
    grep->SetOnTerminate([&] { ended = true; });
    grep->Resume();
    loop.RunUntil([&] { return ended; });
  }
  std::vector<std::string> FileNodes() const {
    std::vector<std::string> texts;
    for (const FileNode& file : host.tree.Files()) texts.push_back(file.text);
    return texts;
  }
};

}  // namespace kolbrin::test
