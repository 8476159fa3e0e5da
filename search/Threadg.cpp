#include "search/Threadg.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <functional>
#include <optional>
#include <string_view>
#include <system_error>

#include "platform/Files.h"
#include "platform/FolderWalk.h"
#include "platform/Text.h"
#include "search/ResultTree.h"

namespace kolbrin {

bool SortedPathList::Add(std::string path) {
  const auto at = std::lower_bound(paths_.begin(), paths_.end(), path, platform::TextOrderedLess{});
  if (at != paths_.end() && *at == path) return false;
  paths_.insert(at, std::move(path));
  return true;
}

void SortedPathList::Assign(std::vector<std::string> paths) {
  const platform::TextOrderedLess less;
  // A folder's walk lists its files in this order already, most of the time: one
  // pass then finds each path before the next, and none twice.
  const auto notBefore = [&less](const std::string& a, const std::string& b) {
    return !less(a, b);
  };
  if (std::adjacent_find(paths.begin(), paths.end(), notBefore) != paths.end()) {
    std::sort(paths.begin(), paths.end(), less);
    // The order is total, ties broken by the bytes: identical paths end up side by side.
    paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
  }
  paths_ = std::move(paths);
}

namespace {

// Whether `fileName` ends in `extension` (upper case), in any case, after something.
bool HasExtension(std::string_view fileName, std::string_view extension) {
  if (fileName.size() <= extension.size()) return false;  // a name that is only the extension
  const std::string_view tail = fileName.substr(fileName.size() - extension.size());
  return std::equal(tail.begin(), tail.end(), extension.begin(), [](char a, char b) {
    return (a >= 'a' && a <= 'z' ? static_cast<char>(a - 'a' + 'A') : a) == b;
  });
}

// Whether the archive named `fileName` takes much work to unpack (LZMA, PPMd,
// bzip2): the plug-in's thread reading it ahead then keeps a core busy.
bool CostlyToUnpack(std::string_view fileName) {
  static constexpr std::array<std::string_view, 7> kCostly = {".7Z",  ".RAR", ".XZ",  ".TXZ",
                                                              ".BZ2", ".TBZ", ".TBZ2"};
  return std::any_of(kCostly.begin(), kCostly.end(), [fileName](std::string_view extension) {
    return HasExtension(fileName, extension);
  });
}

}  // namespace

std::uint8_t ArchiveKindByExtension(const std::string& fileName) {
  static constexpr std::array<std::string_view, 17> kOtherKinds = {
      ".7Z",  ".RAR", ".TAR", ".TGZ", ".TBZ2", ".TBZ", ".TXZ", ".TZST", ".CPIO",
      ".ISO", ".CAB", ".GZ",  ".BZ2", ".XZ",   ".ZST", ".LZ4", ".Z"};
  if (HasExtension(fileName, ".LHA")) return kLzhArchive;
  for (const std::string_view extension : kOtherKinds) {
    if (HasExtension(fileName, extension)) return kOtherArchive;
  }
  return kPlainFile;
}

ArchiveKinds ArchiveKindsOf(const std::string& namedPath, const std::string& fileName) {
  ArchiveKinds tried;
  const auto add = [&tried](std::uint8_t kind) {
    const auto end = tried.kinds.begin() + tried.count;
    if (kind != kPlainFile && std::find(tried.kinds.begin(), end, kind) == end) {
      tried.kinds[tried.count++] = kind;
    }
  };
  const std::string upper = platform::UpperCaseText(namedPath);
  if (upper.find(".LZH") != std::string::npos) add(kLzhArchive);
  if (upper.find(".ZIP") != std::string::npos) add(kZipArchive);
  add(ArchiveKindByExtension(fileName));
  return tried;
}

std::string ProgressText(const std::string& path) {
  return path.empty() ? std::string() : path + " 検索中...";
}

namespace {

// A count with a comma between each group of three digits.
std::string GroupedDigits(std::uint64_t number) {
  std::string digits = std::to_string(number);
  for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, 1, ',');
  return digits;
}

}  // namespace

std::string SummaryText(const SearchSummary& summary) {
  std::string text = GroupedDigits(summary.files) + " ファイル中 " +
                     GroupedDigits(summary.filesWithHits) + " ファイル、" +
                     GroupedDigits(summary.hits) + " 件";
  if (summary.failed != 0) text += "、検索できなかったファイル " + GroupedDigits(summary.failed);
  if (summary.stopped) text += " — 中断しました";
  return text;
}

std::string MemberCopyFolders::FolderFor(const std::string& copyName) {
  if (topNames_.try_emplace(copyName, false).second) return tempDir_;
  // A repeat: numbered folders below the next number for this name never hold it,
  // and each number at or above it holds it only once it has been handed out.
  std::uint64_t& number = nextNumber_.try_emplace(copyName, 2).first->second;
  for (;; ++number) {
    std::string name = std::to_string(number);
    const auto [at, added] = topNames_.try_emplace(name, true);
    // A copy at the top holds that name: the number is passed over for good.
    if (!added && !at->second) continue;
    ++number;
    return tempDir_ + name + "/";
  }
}

void DeleteMemberCopy(const std::string& copy, const std::string& tempDir) {
  platform::DeleteFile(copy);
  const std::string folder = platform::FolderOf(copy);
  if (folder != tempDir && folder.starts_with(tempDir)) platform::RemoveEmptyFolder(folder);
}

TGrep::TGrep(platform::Dispatcher& owner, SearchHost& host, MemberAccess& members)
    : WorkerThread(owner), host_(host), members_(members) {}

TGrep::~TGrep() { StopAndJoin(); }

void TGrep::Execute() {
  const unsigned threads = ScannerThreadsFor(Jobs);
  scans_ = std::make_unique<ScanAhead>(
      SearchSettings{String1, String2, CaseSensitive, TabWidth, AndMode, Encoding}, MakeScannerFor,
      threads, [this] { return Terminated() || abandoned_.load(std::memory_order_relaxed); });
  mostAhead_ = threads == 0 ? 1 : (threads + 1) * kFilesAheadPerThread;
  copyFolders_ = std::make_unique<MemberCopyFolders>(TempDir);
  try {
    for (const std::string& copy : CopiesToDelete) DeleteMemberCopy(copy, TempDir);
    CopiesToDelete.clear();
    if (SearchFolders) TakeInFolders();

    for (std::size_t i = 0; i < Paths.size(); ++i) {
      if (Terminated()) {
        summary_.stopped = true;
        break;
      }
      const std::string& path = Paths[i];
      // A path named like an archive is tried as one; a file its plug-ins refuse by
      // its signature is searched as what it is. (A folder is passed over there.)
      if (SearchAsArchive(path, ArchiveKindsOf(path, platform::FileNameOf(path)), path, 1)) {
        continue;
      }
      ArchiveKind = kPlainFile;
      Expect(Pending(Pending::Kind::File, path));
    }
    FinishPending();
  } catch (...) {
    // The owner is gone or failed: nothing more is shown, and no copy is left waiting.
    abandoned_ = true;
    DropPending();
    throw;
  }

  ShowProgress({});
  Publish();
}

void TGrep::TakeInFolders() {
  std::vector<std::string> files;
  files.reserve(Paths.size());
  const std::function<bool()> stopRequested = [this] { return Terminated(); };
  for (std::size_t i = 0; i < Paths.size() && !Terminated(); ++i) {
    const std::string& path = Paths[i];
    // A large tree takes a while: the status bar names the path being walked.
    walking_ = &path;
    statusChanged_ = true;
    PublishIfDue();
    if (!platform::ListFilesBelow(path, files, stopRequested)) files.push_back(path);
  }
  walking_ = nullptr;
  // After a stop the list is not worth ordering: the search loop ends before the
  // first file.
  if (!Terminated()) Paths.Assign(std::move(files));
}

namespace {

// Why the file at `path`, which the scanner could not load, cannot be read; empty
// for a folder, which is passed over. Asked only after a failure, so a file costs
// no look-up of its own.
std::string ReadFailure(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return std::error_code(errno, std::generic_category()).message();
  struct stat status {};
  const bool looked = ::fstat(fd, &status) == 0;
  const int lookError = errno;
  ::close(fd);
  if (!looked) return std::error_code(lookError, std::generic_category()).message();
  if (S_ISDIR(status.st_mode)) return {};
  if (!S_ISREG(status.st_mode)) return "not a regular file";
  return "cannot be read";
}

// The member as the archive names it: a listed name without the TAB and the
// encryption mark after it.
std::string MemberName(const std::string& member) { return member.substr(0, member.find('\t')); }

}  // namespace

bool TGrep::SearchAsArchive(const std::string& path, const ArchiveKinds& kinds,
                            const std::string& shown, int depth) {
  // Without a private folder to extract into, members are not extracted at all.
  if (TempDir.empty()) return false;
  for (std::size_t i = 0; i < kinds.count; ++i) {
    if (depth == 1) ArchiveKind = kinds.kinds[i];
    if (SearchArchive(kinds.kinds[i], path, shown, depth)) return true;
  }
  return false;
}

bool TGrep::SearchArchive(std::uint8_t kind, const std::string& path, const std::string& shown,
                          int depth) {
  // The list of each level lives while the archives inside it are searched.
  std::vector<std::string> members;
  switch (members_.ListMembers(kind, path, members)) {
    case MemberAccess::Listing::NotThisKind:
      return false;
    case MemberAccess::Listing::Damaged:
      ReportFailure(shown, "damaged archive");
      return true;
    case MemberAccess::Listing::CutShort:
      // The members listed are still searched.
      ReportFailure(shown, "damaged archive: members after the damage cannot be listed");
      break;
    case MemberAccess::Listing::Listed:
      break;
  }

  // One busy cursor for the whole dropped archive, not one per member.
  if (depth == 1) Post([this] { host_.ShowExtracting(true); });
  // While the plug-in's thread unpacks a costly archive ahead, one scanner thread
  // fewer works, so that thread has a core: on two cores it is what the search waits
  // for, and sharing the cores evenly would slow it down.
  // With no thread left, each member is scanned as soon as it is extracted, as the
  // single worker does.
  const unsigned threadsAtWork = scans_->MostThreadsAtWork();
  const std::size_t mostAhead = mostAhead_;
  const bool costly = threadsAtWork > 0 && CostlyToUnpack(platform::FileNameOf(path));
  if (costly) {
    scans_->SetMostThreadsAtWork(threadsAtWork - 1);
    if (threadsAtWork == 1) mostAhead_ = 1;
  }
  // Flat copies, without a password.
  std::vector<std::string> extractList;
  for (const std::string& member : members) {
    if (Terminated()) {
      summary_.stopped = true;
      break;
    }
    if (members_.NeedsPassword(kind, member)) continue;
    // The library writes the copy under this name; a name with nothing usable left
    // cannot be written flat.
    const std::string copyName = members_.CopyName(member);
    if (copyName.empty()) {
      ReportFailure(shown + ": " + MemberName(member), "no name to be written under");
      continue;
    }
    // Each member searched gets a copy of its own, which its file node names until
    // the copies are deleted: a name already used in this search (the same name in
    // two folders of the archive, or in another archive) goes to a numbered folder.
    // A copy left by an earlier search belongs to no node any more and is replaced.
    const std::string folder = copyFolders_->FolderFor(copyName);
    // What this search's copies may still take, this one included.
    std::uint64_t room = RoomLeft();
    extractList.assign(1, member);
    std::string failure = members_.ExtractMembers(kind, path, extractList, folder, room);
    const std::string copy = folder + copyName;
    if (!failure.empty() && !Terminated() && pendingBytes_ != 0) {
      // The copies waiting for their scans may be what left too little room (under
      // the cap, or on the disk): once they are finished the room is what the single
      // worker would have had, and the member is tried again.
      DeleteMemberCopy(copy, TempDir);
      FinishAll();
      if (!Terminated()) {
        room = RoomLeft();
        failure = members_.ExtractMembers(kind, path, extractList, folder, room);
      }
    }
    if (!failure.empty()) {
      // The numbered folder the library made for it, if any, goes again.
      DeleteMemberCopy(copy, TempDir);
      // An extraction given up for a stop is no failure of the member.
      if (!Terminated()) ReportFailure(shown + ": " + MemberName(member), std::move(failure));
      continue;
    }
    SearchMemberCopy(copy, shown + ": " + MemberName(member), room, depth);
  }
  if (costly) {
    scans_->SetMostThreadsAtWork(threadsAtWork);
    mostAhead_ = mostAhead;
  }
  if (depth == 1) Post([this] { host_.ShowExtracting(false); });
  return true;
}

std::optional<std::uint64_t> TGrep::HoldCopy(const std::string& copy, const std::string& shown,
                                             std::uint64_t room,
                                             void (TGrep::*report)(const std::string&,
                                                                   std::string)) {
  // A library that cannot be told the room may have written a larger copy, which
  // is not kept.
  const std::optional<std::uint64_t> bytes = platform::FileSizeOf(copy);
  if (!bytes || *bytes > room) {
    DeleteMemberCopy(copy, TempDir);
    (this->*report)(shown, bytes ? "larger than the extraction cap" : "cannot be read");
    return std::nullopt;
  }
  heldBytes_ += *bytes;
  return bytes;
}

void TGrep::SearchMemberCopy(const std::string& copy, const std::string& shown,
                             std::uint64_t room, int depth) {
  Pending member(Pending::Kind::Member, copy, shown);
  member.room = room;
  if (depth < kDeepestArchive) {
    // Judged by the copy's own name (the private folder's path says nothing), then
    // confirmed by its content as the library lists it.
    const std::string name = platform::FileNameOf(copy);
    if (const ArchiveKinds kinds = ArchiveKindsOf(name, name); !kinds.empty()) {
      // Held while its members are searched.
      const std::optional<std::uint64_t> held = HoldCopy(copy, shown, room, &TGrep::ReportFailure);
      if (!held) return;
      if (SearchAsArchive(copy, kinds, shown, depth + 1)) {
        // The copy of an archive gets no node; its members have been searched.
        DeleteCopy(copy, *held);
        return;
      }
      member.bytes = *held;
      member.held = true;
    }
  }
  // A copy waiting to be scanned takes its room like a held one, so that the next
  // extraction is given only what is left. The single worker scans it at once, and
  // a copy searched and deleted at once (most of them) costs no look-up of its size.
  if (!member.held && mostAhead_ > 1) {
    member.bytes = platform::FileSizeOf(copy).value_or(0);
    pendingBytes_ += member.bytes;
  }
  Expect(std::move(member));
}

std::uint64_t TGrep::RoomLeft() const {
  const std::uint64_t taken = heldBytes_ + pendingBytes_;
  return taken < ExtractionCap ? ExtractionCap - taken : 0;
}

void TGrep::DeleteCopy(const std::string& copy, std::uint64_t bytes) {
  DeleteMemberCopy(copy, TempDir);
  heldBytes_ -= std::min(bytes, heldBytes_);
}

void TGrep::Expect(Pending pending) {
  // When the most are ahead, the worker waits for half of them, not for each one.
  // After a stop nothing is finished any more: the entry is only dropped.
  if (pending_.size() >= mostAhead_ && !finishedAfterStop_) FinishFront(scans_->Pending() / 2);
  if (pending.kind == Pending::Kind::Failure) {
    pending_.push_back(std::move(pending));
  } else {
    std::string path = pending.path;
    // A member's copy without hits goes as soon as it has been scanned; one in a
    // numbered folder is left to the worker, which removes the folder with it.
    const bool deleteWithoutHits = pending.kind == Pending::Kind::Member && !pending.held &&
                                   path.starts_with(TempDir) &&
                                   path.find('/', TempDir.size()) == std::string::npos;
    pending_.push_back(std::move(pending));
    // The single worker scans it now: the status bar names it meanwhile.
    if (scans_->SingleWorker()) ShowProgress(path);
    scans_->Add(
        std::move(path), [this] { PublishIfDue(); }, deleteWithoutHits);
  }
  // With no room ahead, each file is finished before the next is looked at, as by
  // the single worker.
  if (mostAhead_ == 1) FinishAll();
  FinishReady();
}

void TGrep::ReportFailure(const std::string& path, std::string reason) {
  Expect(Pending(Pending::Kind::Failure, path, std::move(reason)));
}

void TGrep::FinishReady() {
  while (!pending_.empty() && !finishedAfterStop_ &&
         (pending_.front().kind == Pending::Kind::Failure || scans_->FrontDone())) {
    FinishOne();
  }
  PublishIfDue();
}

void TGrep::FinishFront(std::size_t ahead) {
  const std::uint64_t wanted = finished_ + 1;
  if (pending_.front().kind != Pending::Kind::Failure && !scans_->FrontDone()) {
    ShowProgress(pending_.front().path);
    const auto interval = std::chrono::duration_cast<std::chrono::milliseconds>(kPublishInterval);
    // The worker scans files ahead itself meanwhile; between its chunks the files
    // before them that are done are finished and published, so none waits for a
    // long file after it.
    while (finished_ < wanted && !finishedAfterStop_ &&
           !scans_->WaitForFront(interval, ahead, [this] { FinishReady(); })) {
      PublishIfDue();
      // A batch that is late does not hold back the file it waits for.
      if (scans_->FrontDone()) break;
    }
  }
  if (finished_ < wanted && !finishedAfterStop_) FinishOne();
}

void TGrep::FinishOne() {
  Pending pending = std::move(pending_.front());
  pending_.pop_front();
  ScanOutcome outcome;
  if (pending.kind != Pending::Kind::Failure) {
    ShowProgress(pending.path);
    outcome = scans_->TakeFront();
  }
  Finish(pending, std::move(outcome));
  ++finished_;
  if (Terminated()) finishedAfterStop_ = true;
}

void TGrep::Finish(Pending& pending, ScanOutcome outcome) {
  if (pending.kind != Pending::Kind::Failure && !outcome.begun) {
    // A file the stop came before was not searched at all: it is dropped as the
    // work after it is.
    summary_.stopped = true;
    DropCopy(pending);
    return;
  }
  switch (pending.kind) {
    case Pending::Kind::Failure:
      PublishFailure(pending.path, std::move(pending.detail));
      return;
    case Pending::Kind::File:
      FinishFile(pending, outcome);
      break;
    case Pending::Kind::Member:
      FinishMember(pending, outcome);
      break;
  }
  if (outcome.result == ScanResult::ScanMore) summary_.stopped = true;
}

void TGrep::FinishFile(const Pending& file, ScanOutcome& outcome) {
  if (outcome.result == ScanResult::ScanNoHits && outcome.loadFailed) {
    std::string reason = ReadFailure(file.path);
    // A folder among the paths is passed over without a node.
    if (reason.empty()) return;
    FlushResults(file.path, outcome, /*member=*/false);
    PublishFailure(file.path, std::move(reason));
    return;
  }
  FlushResults(file.path, outcome, /*member=*/false);
}

void TGrep::FinishMember(const Pending& member, ScanOutcome& outcome) {
  const std::string& copy = member.path;
  // The size of a copy counts once the copy is held beyond its search.
  std::optional<std::uint64_t> held;
  if (member.held) {
    held = member.bytes;
  } else {
    pendingBytes_ -= member.bytes;  // no longer waiting
  }
  if (outcome.result == ScanResult::ScanNoHits) {
    std::string failure = outcome.loadFailed ? ReadFailure(copy) : std::string();
    if (!outcome.deleted) DeleteMemberCopy(copy, TempDir);
    heldBytes_ -= std::min(held.value_or(0), heldBytes_);
    // Hidden, it is not published; shown, its node names the deleted copy.
    FlushResults(copy, outcome, /*member=*/true);
    if (outcome.loadFailed) {
      PublishFailure(member.detail, failure.empty() ? "cannot be read" : std::move(failure));
    }
    return;
  }
  // Kept for its node.
  if (!held) held = HoldCopy(copy, member.detail, member.room, &TGrep::PublishFailure);
  if (!held) return;
  // A member stopped before its end without hits, and hidden, is not listed for
  // later deletion: its copy goes now.
  const bool stopped = outcome.result == ScanResult::ScanMore;
  if (!FlushResults(copy, outcome, /*member=*/true) && stopped) DeleteCopy(copy, *held);
}

void TGrep::FinishAll() {
  while (!pending_.empty() && !finishedAfterStop_) FinishFront();
}

void TGrep::FinishPending() {
  FinishAll();
  if (!pending_.empty()) {
    summary_.stopped = true;
    DropPending();
  }
}

void TGrep::DropPending() {
  // The scans end within a chunk of the stop; a copy is deleted once nothing reads it.
  scans_.reset();
  for (const Pending& pending : pending_) DropCopy(pending);
  pending_.clear();
}

void TGrep::DropCopy(const Pending& pending) {
  if (pending.kind != Pending::Kind::Member) return;
  if (pending.held) {
    DeleteCopy(pending.path, pending.bytes);
  } else {
    DeleteMemberCopy(pending.path, TempDir);
    pendingBytes_ -= pending.bytes;
  }
}

void TGrep::PublishFailure(const std::string& path, std::string reason) {
  ++summary_.failed;
  unpublished_.push_back({path, {}, false, std::move(reason)});
  PublishIfDue();
}

void TGrep::ShowProgress(const std::string& path) {
  // The text is made when it is handed over, not for each of thousands of files.
  progress_ = path;
  statusChanged_ = true;
}

bool TGrep::FlushResults(const std::string& file, ScanOutcome& outcome, bool member) {
  TextList& hits = outcome.hits;
  // A file that could not be read was not searched.
  if (!outcome.loadFailed) ++summary_.files;
  if (!hits.empty()) ++summary_.filesWithHits;
  summary_.hits += hits.size();
  if (hits.empty() && HideFilesWithoutHits) return false;
  unpublished_.push_back({file, std::move(hits), member, {}});
  PublishIfDue();
  return true;
}

void TGrep::PublishIfDue() {
  if ((statusChanged_ || !unpublished_.empty()) &&
      Clock::now() - lastPublished_ >= kPublishInterval) {
    Publish();
  }
}

void TGrep::Publish() {
  if (!statusChanged_ && unpublished_.empty()) return;
  if (statusChanged_) status_ = ProgressText(walking_ != nullptr ? *walking_ : progress_);
  Synchronize([&] {
    bool added = false;
    for (FileNode& file : unpublished_) {
      if (!file.failure.empty()) {
        host_.ReportFailure(file.text, file.failure);
        continue;
      }
      host_.AddFileNode(file.text, std::move(file.hits));
      if (file.member) host_.AddTempFile(file.text);
      added = true;
    }
    if (added) host_.UpdateMenuState();
    if (statusChanged_) host_.SetStatusText(status_);
  });
  unpublished_.clear();
  statusChanged_ = false;
  lastPublished_ = Clock::now();
}

}  // namespace kolbrin
