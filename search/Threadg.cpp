#include "search/Threadg.h"

#include <algorithm>

#include "platform/Files.h"
#include "platform/Text.h"
#include "search/ResultTree.h"

namespace kolbrin {

bool SortedPathList::Add(std::string path) {
  const auto at = std::lower_bound(paths_.begin(), paths_.end(), path, platform::TextOrderedLess{});
  if (at != paths_.end() && *at == path) return false;
  paths_.insert(at, std::move(path));
  return true;
}

std::uint8_t ArchiveKindOf(const std::string& path) {
  const std::string upper = platform::UpperCaseText(path);
  if (upper.find(".LZH") != std::string::npos) return kLzhArchive;
  if (upper.find(".ZIP") != std::string::npos) return kZipArchive;
  return kPlainFile;
}

std::string ProgressText(const std::string& path) {
  return path.empty() ? std::string() : path + " 検索中...";
}

TGrep::TGrep(platform::Dispatcher& owner, SearchHost& host) : WorkerThread(owner), host_(host) {}

TGrep::~TGrep() { StopAndJoin(); }

void TGrep::Execute() {
  scanner_ = MakeScanner(SearchSettings{String1, String2, CaseSensitive, TabWidth, AndMode});
  scanner_->SetOnFileLoaded([this] { ShowProgress(); });

  for (std::size_t i = 0; i < Paths.size() && !Terminated(); ++i) {
    const std::string& path = Paths[i];
    if (platform::IsFolder(path)) continue;
    ArchiveKind = ArchiveKindOf(path);
    // Archives are searched member by member through the archiver libraries;
    // without them an archive is passed over silently, never scanned as a plain file.
    if (ArchiveKind != kPlainFile) continue;
    SearchPlainFile(path);
  }

  scanner_->ClearCurrentFile();
  ShowProgress();
}

void TGrep::SearchPlainFile(const std::string& path) {
  scanner_->ResetForFile();
  while (scanner_->ScanStep(path, kChunkSize) == ScanResult::ScanMore && !Terminated()) {
  }
  FlushResults();
}

void TGrep::ShowProgress() {
  const std::string text = ProgressText(scanner_->CurrentFile());
  Synchronize([&] { host_.SetStatusText(text); });
}

void TGrep::FlushResults() {
  // Sorting and de-duplicating happen here on the worker, so the owner's thread only
  // inserts the finished nodes.
  std::vector<std::string> hits = ShownHitTexts(scanner_->Results());
  Synchronize([&] {
    if (hits.empty() && host_.HideFilesWithoutHits()) return;
    host_.AddFileNode(scanner_->CurrentFile(), std::move(hits));
    if (ArchiveKind != kPlainFile) host_.AddTempFile(scanner_->CurrentFile());
    host_.UpdateMenuState();
  });
}

}  // namespace kolbrin
