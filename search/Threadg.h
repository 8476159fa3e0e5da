// TGrep, the search worker: one object per search. It walks the dropped paths in
// order on its own thread, scans each plain file, and hands every finished file's
// results and its progress to the host on the owner's thread.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/WorkerThread.h"
#include "search/MemberAccess.h"
#include "search/ScanAhead.h"
#include "search/Scanner.h"

namespace kolbrin {

// What the worker needs from the window (or any other front end). Every call runs
// on the owner's thread while the worker waits.
class SearchHost {
 public:
  virtual ~SearchHost() = default;
  // Appends a file node with its hit nodes, in the given order.
  virtual void AddFileNode(const std::string& text, TextList hitTexts) = 0;
  // Remembers an extracted archive member, to be deleted later.
  virtual void AddTempFile(const std::string& path) = 0;
  // Refreshes the enabled state of the result-tree commands.
  virtual void UpdateMenuState() = 0;
  // Sets the status-bar text; empty clears it.
  virtual void SetStatusText(const std::string& text) = 0;
  // Shows that an archive member is being extracted (the busy cursor), or that the
  // extraction has ended. Called in pairs, without the worker waiting for them.
  virtual void ShowExtracting(bool /*extracting*/) {}
  // Tells that `path` could not be searched, and why (a short English reason such
  // as "No such file or directory"). For an archive member `path` is the archive's
  // path, ": " and the member's name. Published in order with the file nodes; the
  // window only counts these (SearchSummary::failed).
  virtual void ReportFailure(const std::string& /*path*/, const std::string& /*reason*/) {}
};

// The dropped paths, ordered without regard to case (ties by bytes). Adding a
// byte-identical path again leaves the list unchanged.
class SortedPathList {
 public:
  // Returns false when the path was already there.
  bool Add(std::string path);
  // Replaces the list by `paths`, ordered as Add orders them, each byte-identical path
  // once. Thousands of paths are sorted at once rather than inserted one by one.
  void Assign(std::vector<std::string> paths);
  std::size_t size() const { return paths_.size(); }
  const std::string& operator[](std::size_t index) const { return paths_[index]; }

 private:
  std::vector<std::string> paths_;
};

// The archive kinds a file is tried as, in order, judged by its name only: an LZH
// archive when ".LZH" stands anywhere in the upper-cased `namedPath`, a ZIP archive
// when ".ZIP" does, then the kind its `fileName`'s extension names
// (ArchiveKindByExtension), each once. Whether it is one is the plug-in's to say
// (TGrep::SearchAsArchive); none at all makes a plain file.
struct ArchiveKinds {
  std::array<std::uint8_t, 3> kinds{};
  std::size_t count = 0;
  bool empty() const { return count == 0; }
};
ArchiveKinds ArchiveKindsOf(const std::string& namedPath, const std::string& fileName);

// The kind a file name's extension (at its end, in any case) names: ".lha" an LZH
// archive; ".7z", ".rar", ".tar", ".tgz", ".tbz2", ".tbz", ".txz", ".tzst", ".cpio",
// ".iso", ".cab", ".gz", ".bz2", ".xz", ".zst", ".lz4" and ".Z" one of the other
// kinds (kOtherArchive). Such a file is an archive only when its content says so.
std::uint8_t ArchiveKindByExtension(const std::string& fileName);

// How deep archives inside archives are opened: the dropped archive is level 1, an
// archive among its members level 2. One deeper is searched as a plain file.
inline constexpr int kDeepestArchive = 3;

// What the copies one search holds at once may take, in bytes (see TGrep).
inline constexpr std::uint64_t kDefaultExtractionCap = std::uint64_t{4} << 30;

// The text the status bar shows while `path` is searched.
std::string ProgressText(const std::string& path);

// What a search did, counted as its file nodes were published: every file read and
// searched (an archive member is one file), shown or hidden for want of hits.
struct SearchSummary {
  std::uint64_t files = 0;          // files searched
  std::uint64_t filesWithHits = 0;  // of them, files with at least one hit
  std::uint64_t hits = 0;           // hit nodes of those files
  bool stopped = false;             // the stop came before every file was searched
  std::uint64_t failed = 0;         // files that could not be searched (ReportFailure)
};

// The summary as the status bar and kolbrin-grep show it when the search has ended:
// "1,234 ファイル中 56 ファイル、789 件", then "、検索できなかったファイル 3" when
// some could not be searched, and " — 中断しました" after a stop.
std::string SummaryText(const SearchSummary& summary);

// Where the member copies of one search go in the private folder: a copy name
// (see MemberAccess::CopyName) used for the first time goes into the folder itself;
// each repeat into a numbered folder inside it ("2/", "3/", ...), the first one
// that does not hold that name yet. A numbered folder is never one of the copies
// in the folder itself, nor is such a copy ever put where a numbered folder is:
// each name at the top is either. Kept in memory, with the next number to try for
// each name, so a name repeated n times costs O(n) in all.
class MemberCopyFolders {
 public:
  explicit MemberCopyFolders(std::string tempDir) : tempDir_(std::move(tempDir)) {}
  // The folder (ending in "/") for the next copy named `copyName`; from then on
  // that copy counts as made.
  std::string FolderFor(const std::string& copyName);

 private:
  std::string tempDir_;
  // Each name taken in the folder itself: true for a numbered folder, false for a copy.
  std::unordered_map<std::string, bool> topNames_;
  // For each repeated copy name, the next numbered folder that may take it.
  std::unordered_map<std::string, std::uint64_t> nextNumber_;
};

// Deletes a member's copy, and the numbered folder it was put in when that is left
// empty.
void DeleteMemberCopy(const std::string& copy, const std::string& tempDir);

class TGrep final : public platform::WorkerThread {
 public:
  // Created suspended. `owner` runs the synchronized calls and the completion
  // callback; `host` is only ever called on the owner's thread; `members` is how
  // the worker lists and extracts archive members, and must outlive the search.
  TGrep(platform::Dispatcher& owner, SearchHost& host, MemberAccess& members);
  ~TGrep() override;

  // Inputs, set by the owner before Resume and not changed afterwards.
  SortedPathList Paths;
  std::string String1;
  std::string String2;
  std::string TempDir;  // ends in "/"; a private folder, where members are extracted
  bool CaseSensitive = false;
  // Files without hits get no file node. The window's option cannot change while a
  // search runs, so it is given once, and such a file costs no call to the owner.
  bool HideFilesWithoutHits = true;
  std::int32_t TabWidth = 8;
  std::int32_t AndMode = kAndMode;
  TextEncoding Encoding = TextEncoding::Auto;  // how each file is decoded
  // A folder among Paths stands for every regular file below it (see
  // platform::ListFilesBelow), all of them ordered together with the files among
  // Paths; the folders are walked on the worker, before the first file is searched.
  // Without it a folder is passed over.
  bool SearchFolders = false;
  // The copies an earlier search made in TempDir, deleted before anything is
  // extracted: deleting thousands of them would hold up the owner's thread.
  std::vector<std::string> CopiesToDelete;
  // How many files are scanned at once: 0 one per core, 1 the single worker (every
  // file scanned on the worker itself, one after another), at most kMostJobs. With
  // more, scanner threads search the next files (and extracted members) ahead while
  // the worker publishes the earlier ones in order: what is shown is the same.
  unsigned Jobs = 0;
  // The scanner each scanning thread uses; the benchmarks also time the plain one.
  ScanAhead::ScannerFactory MakeScannerFor = MakeScanner;

  // The bytes that the copies this search holds at once may take: the copies kept
  // for their hits, the copies of archives whose members are being searched, and
  // the member being extracted. A member that would pass it is not extracted; a
  // copy deleted gives its bytes back. (The free-space reserve of the archiver
  // libraries is measured on the file system itself, so it counts all of them too.)
  std::uint64_t ExtractionCap = kDefaultExtractionCap;

  // Kind of the dropped path being worked on: kPlainFile (also for a file named
  // like an archive that is searched as a plain one), kZipArchive, kLzhArchive or
  // kOtherArchive.
  std::uint8_t ArchiveKind = kPlainFile;

  // What the search did; read by the owner once the search has ended.
  const SearchSummary& Summary() const { return summary_; }

 protected:
  void Execute() override;

 private:
  // A file handed to the scanning, or a failure, waiting for its turn to be
  // published: everything the worker finds goes through these, in the order shown.
  struct Pending {
    enum class Kind : std::uint8_t { File, Member, Failure };
    Pending(Kind kind, std::string path, std::string detail = {})
        : kind(kind), path(std::move(path)), detail(std::move(detail)) {}
    Kind kind;
    std::string path;        // the file, the member's copy, or what could not be searched
    std::string detail;      // Member: how reports name it; Failure: why it failed
    std::uint64_t room = 0;  // Member: what the copies could still take when it was made
    // Member: what its copy takes, counted in heldBytes_ when `held`, else (while
    // other scans run) in pendingBytes_.
    std::uint64_t bytes = 0;
    bool held = false;  // Member: counted as held already (a copy tried as an archive)
  };

  // Replaces each folder among Paths by the regular files below it.
  void TakeInFolders();
  // Tries `path` as each of `kinds` (ArchiveKindsOf), in that order, `depth` levels
  // deep (the dropped archive is 1). False, having searched nothing, when every
  // kind's plug-in refuses it by its signature (or none is loaded): it is then a
  // file to search as such. A damaged archive is reported, not searched. `shown`
  // names it in reports: the dropped path, or for an archive inside an archive the
  // outer one's name, ": " and its member name.
  bool SearchAsArchive(const std::string& path, const ArchiveKinds& kinds,
                       const std::string& shown, int depth);
  // Searches the members of the archive of `kind` at `path`; false when the
  // plug-in says it is not an archive of that kind.
  bool SearchArchive(std::uint8_t kind, const std::string& path, const std::string& shown,
                     int depth);
  // Searches the member's copy `copy`, extracted from an archive `depth` levels deep
  // with `room` bytes left under ExtractionCap: as an archive when its name and
  // content make it one and the depth allows, else as a file. `shown` names the
  // member in reports: its archive's name, ": " and its own.
  void SearchMemberCopy(const std::string& copy, const std::string& shown, std::uint64_t room,
                        int depth);
  // Counts the member copy `copy` as held, when it fits in `room`; else deletes it
  // and reports `shown` (through `report`), and returns nothing.
  std::optional<std::uint64_t> HoldCopy(const std::string& copy, const std::string& shown,
                                        std::uint64_t room,
                                        void (TGrep::*report)(const std::string&, std::string));
  // What the copies may still take under ExtractionCap, those waiting for their
  // scans counted.
  std::uint64_t RoomLeft() const;
  // Deletes a copy this search made and no node lists, giving its bytes back.
  void DeleteCopy(const std::string& copy, std::uint64_t bytes);

  // Queues `pending` behind what is already waiting, handing a file or member to
  // the scanning, and publishes what is ready. Waits first while the most files are
  // ahead (kFilesAheadPerThread), so memory and the copies on disk stay bounded.
  void Expect(Pending pending);
  // Counts `path` as not searched, in order with the files queued before it.
  void ReportFailure(const std::string& path, std::string reason);
  // Finishes the waiting entries whose scans are done, earliest first.
  void FinishReady();
  // Finishes the earliest waiting entry, waiting for its scan and, a while at
  // most, for the scan `ahead` jobs after it (and publishing what is due meanwhile).
  // Once a stop has been seen in FinishOne, nothing more.
  void FinishFront(std::size_t ahead = 0);
  // Finishes the earliest waiting entry, whose scan is done.
  void FinishOne();
  // Turns an entry and its scan into what the owner is shown.
  void Finish(Pending& pending, ScanOutcome outcome);
  void FinishFile(const Pending& file, ScanOutcome& outcome);
  void FinishMember(const Pending& member, ScanOutcome& outcome);
  // At the end: finishes every entry; after a stop only the one being published
  // (the earliest), and the rest is dropped (DropPending).
  void FinishPending();
  // Finishes every waiting entry in order (after a stop, no more than FinishFront
  // does).
  void FinishAll();
  // Ends the scanning and deletes the copies of the members still waiting.
  void DropPending();
  // Deletes the copy of a member that is dropped unsearched.
  void DropCopy(const Pending& pending);
  // Counts `path` as not searched and hands the reason to the host with the next batch.
  void PublishFailure(const std::string& path, std::string reason);
  // Shows `path` as the file being searched in the status bar, from the next batch on.
  void ShowProgress(const std::string& path);
  // Publishes a finished file; true when it gets a file node, which lists the
  // file's copy for deletion when it is a `member`'s. What the owner shows
  // (file nodes, the status text) reaches it in batches (Publish), each in one
  // synchronized call: a search of thousands of small files a second would
  // otherwise wake the owner and wait for it twice per file.
  bool FlushResults(const std::string& file, ScanOutcome& outcome, bool member);
  // Hands over what was published since the last batch when a batch is due
  // (kPublishInterval since the last one); called per file and per step of a long
  // file, so nothing waits long for a file that takes long.
  void PublishIfDue();
  // Hands over everything published so far: the file nodes in order, then the
  // latest status text.
  void Publish();

  SearchHost& host_;
  MemberAccess& members_;
  // The scanning of the files queued in pending_, one job for each File and Member.
  std::unique_ptr<ScanAhead> scans_;
  std::deque<Pending> pending_;
  std::size_t mostAhead_ = 1;  // entries pending_ may hold
  // Once an entry has been finished after a stop, no other is: what is left is dropped.
  bool finishedAfterStop_ = false;
  std::uint64_t finished_ = 0;  // entries finished so far
  // Set when the body ends by an exception, so the scanning ends as after a stop.
  std::atomic<bool> abandoned_{false};
  std::unique_ptr<MemberCopyFolders> copyFolders_;  // where this search's copies go
  std::uint64_t heldBytes_ = 0;     // what the copies it holds take, see ExtractionCap
  std::uint64_t pendingBytes_ = 0;  // what the copies waiting for their scans take
  SearchSummary summary_;
  // A published file that the owner has not been handed yet.
  struct FileNode {
    std::string text;
    TextList hits;
    bool member;          // its copy is listed for deletion
    std::string failure;  // when set, not a node: `text` could not be searched, and why
  };
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration kPublishInterval = std::chrono::milliseconds(50);
  static constexpr std::size_t kFilesAheadPerThread = 128;
  std::vector<FileNode> unpublished_;
  Clock::time_point lastPublished_{};
  std::string progress_;        // the file the status bar names
  std::string status_;          // the latest status text
  bool statusChanged_ = false;  // not yet handed to the owner
  // While folders are walked, the path among Paths being walked, which the status
  // text names instead of the file being searched.
  const std::string* walking_ = nullptr;
};

}  // namespace kolbrin
