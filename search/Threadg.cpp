#include "search/Threadg.h"

#include <algorithm>

#include "archive/Archive.h"
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

std::string MemberCopyName(const std::string& listedEntry) {
  std::size_t begin = 0;
  std::size_t end = listedEntry.size();
  while (begin < end && static_cast<unsigned char>(listedEntry[begin]) <= 0x20) ++begin;
  while (end > begin && static_cast<unsigned char>(listedEntry[end - 1]) <= 0x20) --end;
  std::string name = listedEntry.substr(begin, end - begin);
  const std::size_t slash = name.rfind('/');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

TGrep::TGrep(platform::Dispatcher& owner, SearchHost& host) : WorkerThread(owner), host_(host) {}

TGrep::~TGrep() { StopAndJoin(); }

void TGrep::Execute() {
  scanner_ =
      MakeScannerFor(SearchSettings{String1, String2, CaseSensitive, TabWidth, AndMode, Encoding});
  scanner_->SetOnFileLoaded([this] { ShowProgress(); });

  for (std::size_t i = 0; i < Paths.size() && !Terminated(); ++i) {
    const std::string& path = Paths[i];
    ArchiveKind = ArchiveKindOf(path);
    if (ArchiveKind == kPlainFile) {
      SearchPlainFile(path);
    } else if (!platform::IsFolder(path)) {
      SearchArchive(path);
    }
  }

  scanner_->ClearCurrentFile();
  ShowProgress();
}

void TGrep::SearchPlainFile(const std::string& path) {
  // A folder among the paths is passed over without a node. Only a path that could
  // not be loaded is asked about, so a file costs no look-up of its own.
  if (ScanFile(path) == ScanResult::ScanNoHits && scanner_->LoadFailed() &&
      platform::IsFolder(path)) {
    return;
  }
  FlushResults();
}

ScanResult TGrep::ScanFile(const std::string& path) {
  scanner_->ResetForFile();
  ScanResult result;
  do {
    result = scanner_->ScanStep(path, kChunkSize);
  } while (result == ScanResult::ScanMore && !Terminated());
  return result;
}

void TGrep::SearchArchive(const std::string& path) {
  // Without a private folder to extract into, members are not extracted at all.
  if (TempDir.empty()) return;
  const bool lzh = ArchiveKind == kLzhArchive;
  const std::int32_t listed =
      lzh ? ListLzhMembers(path, MemberList) : ListZipMembers(path, MemberList);
  if (listed != kArchiveOk) return;

  // Flat copies, without a password: every extraction gets the same options.
  const ZipOption options;
  for (const std::string& member : MemberList) {
    if (Terminated()) break;
    // An encrypted member cannot be extracted without its password.
    if (!lzh && member.size() >= 2 && member.compare(member.size() - 2, 2, "\t*") == 0) continue;
    ExtractList.assign(1, member);
    Post([this] { host_.ShowExtracting(true); });
    const std::int32_t extracted = lzh ? ExtractLzhMembers(path, ExtractList, TempDir, options)
                                       : ExtractZipMembers(path, ExtractList, TempDir, options);
    Post([this] { host_.ShowExtracting(false); });
    if (extracted != kArchiveOk) continue;

    const std::string copy = TempDir + MemberCopyName(member);
    const ScanResult result = ScanFile(copy);
    if (result == ScanResult::ScanNoHits) platform::DeleteFile(copy);
    // A member stopped before its end without hits, and hidden, is not listed for
    // later deletion: its copy goes now.
    if (!FlushResults() && result == ScanResult::ScanMore) platform::DeleteFile(copy);
  }
}

void TGrep::ShowProgress() {
  const std::string text = ProgressText(scanner_->CurrentFile());
  Synchronize([&] { host_.SetStatusText(text); });
}

bool TGrep::FlushResults() {
  // Sorting and de-duplicating happen here on the worker, so the owner's thread only
  // inserts the finished nodes.
  TextList hits = ShownHitTexts(scanner_->Results(), scanner_->FirstPassEntries());
  bool added = false;
  Synchronize([&] {
    if (hits.empty() && host_.HideFilesWithoutHits()) return;
    host_.AddFileNode(scanner_->CurrentFile(), std::move(hits));
    added = true;
    if (ArchiveKind != kPlainFile) host_.AddTempFile(scanner_->CurrentFile());
    host_.UpdateMenuState();
  });
  return added;
}

}  // namespace kolbrin
