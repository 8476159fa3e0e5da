// The entries of one archiver library. Built once per library: KOLBRIN_PLUGIN_LZH
// gives the "Unlha" entries, KOLBRIN_PLUGIN_ZIP the "UnZip" ones and
// KOLBRIN_PLUGIN_ANY the "AnyArc" ones (the other kinds: 7z, RAR, tar, cpio, ISO
// 9660, CAB and single compressed files); KOLBRIN_PLUGIN_WITHOUT_GET_RUNNING leaves
// out the GetRunning entry, for a library the program must refuse.
#include <archive.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "archive/MemberCopyName.h"
#include "plugins/PluginCore.h"

// Only the interface's entries leave the library (with a version script on top).
#pragma GCC visibility push(default)
#include "archive/ArchiverApi.h"
#pragma GCC visibility pop

#if defined(KOLBRIN_PLUGIN_LZH) + defined(KOLBRIN_PLUGIN_ZIP) + defined(KOLBRIN_PLUGIN_ANY) != 1
#error "define exactly one of KOLBRIN_PLUGIN_LZH, KOLBRIN_PLUGIN_ZIP and KOLBRIN_PLUGIN_ANY"
#endif

namespace kolbrin::plugin {
namespace {

#if defined(KOLBRIN_PLUGIN_LZH)
constexpr Format kFormat = Format::Lzh;
#elif defined(KOLBRIN_PLUGIN_ZIP)
constexpr Format kFormat = Format::Zip;
#else
constexpr Format kFormat = Format::Any;
#endif

static_assert(kLongestListedName == ARCHIVER_FIND_RECORD_SIZE - ARCHIVER_NAME_OFFSET - 1);
constexpr std::uint64_t kDefaultSizeCap = std::uint64_t{4} << 30;
// ARCHIVER_DEFAULT_ARCHIVE_CAP: what one archive may write in all, at least the floor,
// else this many times the archive file's size.
constexpr std::uint64_t kArchiveCapFloor = std::uint64_t{1} << 30;
constexpr std::uint64_t kArchiveCapRatio = 100;
// How many archives' totals are remembered; the oldest are forgotten beyond it.
constexpr std::size_t kArchiveTotals = 64;

struct OpenArchive {
  std::string path;
  std::unique_ptr<ArchiveReader> reader;
  std::string wildcard = "*.*";
  int attribute = -1;  // of the member found last
};

// Which archive file a cached reader belongs to: a changed file is a new archive.
struct ArchiveKey {
  using Stamp = std::pair<std::int64_t, std::int64_t>;  // seconds, nanoseconds

  std::string path;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  Stamp modified;
  Stamp changed;
  std::optional<std::string> password;

  static ArchiveKey Of(const std::string& path, const struct stat& status,
                       std::optional<std::string> password) {
    return ArchiveKey{path,
                      status.st_dev,
                      status.st_ino,
                      status.st_size,
                      {status.st_mtim.tv_sec, status.st_mtim.tv_nsec},
                      {status.st_ctim.tv_sec, status.st_ctim.tv_nsec},
                      std::move(password)};
  }
  bool operator==(const ArchiveKey&) const = default;
};

// The program extracts one member per command, in listed order, right after listing.
// Reopening the archive for each would be quadratic, so one reader stays open after
// the member extracted last and goes forward from there; only a member behind it
// costs a reopen.
//
// The reader also runs ahead on a thread of its own: it reads the next headers and
// the data of the next members into memory (at most kAheadMembers members and
// kAheadBytes bytes, and of one member kAheadMemberBytes), so that decompression
// goes on while the program searches the member written last. Whoever is not the
// thread reading ahead touches the reader only once that thread has ended.
class MemberCursor {
 public:
  enum class Found { Yes, No, Damaged };

  // A header read ahead, with as much of the member's data as was read.
  struct Item {
    ArchiveReader::Step step = ArchiveReader::Step::End;
    Member member;
    std::string data;
    bool whole = false;   // `data` is all of the member's data
    bool failed = false;  // reading its data failed
  };

  MemberCursor() = default;
  ~MemberCursor() { Halt(); }
  MemberCursor(const MemberCursor&) = delete;
  MemberCursor& operator=(const MemberCursor&) = delete;

  // Opens the archive `key` describes, unless this cursor is already on it, and
  // starts reading ahead: the program lists an archive before it extracts from it.
  void Warm(const ArchiveKey& key) {
    if (!positioned_ || !(key == key_)) Reopen(key);
  }

  // Moves to the next member (from the current position on, then from the start)
  // that `token` names, in the archive `key` describes as just seen.
  Found Seek(const ArchiveKey& key, const std::string& token) {
    if (!positioned_ || !(key == key_)) {
      if (!Reopen(key)) return Found::Damaged;
    }
    const std::size_t start = next_;
    for (;;) {
      const Found found = Step(token);
      if (found == Found::Yes || found == Found::Damaged) return found;
      if (atEnd_) break;
    }
    if (start == 0) return Found::No;
    if (!Reopen(key)) return Found::Damaged;
    while (next_ < start) {
      const Found found = Step(token);
      if (found == Found::Yes || found == Found::Damaged) return found;
      if (atEnd_) break;
    }
    return Found::No;
  }

  // After the member Seek found has been written: reads on ahead.
  void ReadAhead() {
    std::lock_guard lock(mutex_);
    // A member whose data stays in the reader is the last one read ahead: once it has
    // been taken, the reader is past it; while it waits, the reader must stay put.
    if (stop_ == Stop::Partial && ahead_.empty()) stop_ = Stop::None;
    StartFillLocked();
  }

  // The member the last successful Seek found, and what of its data was read ahead.
  const Item& found() const { return found_; }
  // For reading the rest of that member's data; null when it was read whole.
  ::archive* raw() { return reader_ ? reader_->raw() : nullptr; }
  // After a failed member, the reader's position is unknown.
  void Drop() {
    Halt();
    Reset();
  }
  // The archive this cursor was last used on (empty when it never was).
  const std::string& path() const { return key_.path; }
  // Closes the archive when its file has been deleted: it would keep holding its
  // space on the file system.
  void DropDeleted() {
    if (!positioned_) return;
    Halt();
    if (reader_ != nullptr && reader_->fileDeleted()) Reset();
  }

 private:
  static constexpr std::size_t kAheadMembers = 512;
  static constexpr std::size_t kAheadBytes = std::size_t{4} << 20;
  static constexpr std::size_t kAheadMemberBytes = std::size_t{1} << 20;
  static constexpr std::size_t kReadBlock = 64 * 1024;

  // Why the thread reading ahead stopped for good (until the program moves on).
  enum class Stop { None, End, Partial };

  bool Reopen(const ArchiveKey& key) {
    Halt();
    Reset();
    reader_ = std::make_unique<ArchiveReader>(kFormat);
    const std::string* password = key.password ? &*key.password : nullptr;
    if (!reader_->Open(key.path, password)) {
      reader_.reset();
      return false;
    }
    // The file as opened, not as seen before: a file swapped in between is a change.
    key_ = ArchiveKey::Of(key.path, reader_->status(), key.password);
    positioned_ = true;
    std::lock_guard lock(mutex_);
    StartFillLocked();
    return true;
  }

  // Forgets the archive; the thread reading ahead has ended.
  void Reset() {
    reader_.reset();
    ahead_.clear();
    aheadBytes_ = 0;
    stop_ = Stop::None;
    positioned_ = false;
    next_ = 0;
    atEnd_ = false;
  }

  // Ends the thread reading ahead, keeping what it has read.
  void Halt() {
    {
      std::unique_lock lock(mutex_);
      halt_ = true;
      changed_.wait(lock, [this] { return !filling_; });
      halt_ = false;
    }
    if (filler_.joinable()) filler_.join();
  }

  void StartFillLocked() {
    if (filling_ || stop_ != Stop::None || reader_ == nullptr ||
        ahead_.size() >= kAheadMembers / 2) {
      return;
    }
    // The last run has ended (filling_ is false): joining it does not wait.
    if (filler_.joinable()) filler_.join();
    filling_ = true;
    filler_ = std::thread([this] { Fill(); });
  }

  // The thread reading ahead: headers and data until a limit, the end, damage, a
  // member too large to hold, or Halt.
  void Fill() {
    Utf8LocaleScope utf8;
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        if (halt_ || ahead_.size() >= kAheadMembers || aheadBytes_ >= kAheadBytes) {
          filling_ = false;
          changed_.notify_all();
          return;
        }
      }
      Item item;
      item.step = reader_->Next(item.member);
      Stop stop = Stop::None;
      if (item.step != ArchiveReader::Step::Member) {
        stop = Stop::End;
      } else if (item.member.encrypted) {
        // Its data is read, with the password, by the command that wants it.
        stop = Stop::Partial;
      } else if (item.member.regular) {
        ReadData(item);
        // The reader stays inside this member's data: the program goes on from there.
        if (!item.whole) stop = Stop::Partial;
      }
      // Closed at the end at once: the program may delete the file next.
      if (stop == Stop::End) reader_.reset();
      std::lock_guard lock(mutex_);
      aheadBytes_ += item.data.size();
      ahead_.push_back(std::move(item));
      if (stop != Stop::None) {
        stop_ = stop;
        filling_ = false;
        changed_.notify_all();
        return;
      }
      changed_.notify_all();
    }
  }

  void ReadData(Item& item) {
    // Not filled with zeros for each member: thousands of small members would pay.
    if (!block_) block_ = std::make_unique_for_overwrite<char[]>(kReadBlock);
    while (item.data.size() < kAheadMemberBytes) {
      const la_ssize_t got = archive_read_data(reader_->raw(), block_.get(), kReadBlock);
      if (got == 0) {
        item.whole = true;
        return;
      }
      if (got < 0) {
        item.failed = true;
        return;
      }
      item.data.append(block_.get(), static_cast<std::size_t>(got));
    }
  }

  // The next header: read ahead, else read here (the thread reading ahead has
  // stopped, and the reader is the caller's).
  Item NextItem() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !ahead_.empty() || !filling_; });
    if (!ahead_.empty()) {
      Item item = std::move(ahead_.front());
      ahead_.pop_front();
      aheadBytes_ -= item.data.size();
      // A member whose data stays in the reader is the caller's to finish or skip.
      if (!(ahead_.empty() && stop_ == Stop::Partial)) StartFillLocked();
      return item;
    }
    lock.unlock();
    Item item;
    if (reader_ != nullptr) {
      item.step = reader_->Next(item.member);
      if (item.step != ArchiveReader::Step::Member) reader_.reset();
    }
    std::lock_guard relock(mutex_);
    if (stop_ == Stop::Partial) stop_ = Stop::None;
    if (item.step != ArchiveReader::Step::Member) stop_ = Stop::End;
    return item;
  }

  Found Step(const std::string& token) {
    found_ = NextItem();
    switch (found_.step) {
      case ArchiveReader::Step::End:
        atEnd_ = true;
        positioned_ = false;
        return Found::No;
      case ArchiveReader::Step::Damaged:
        Reset();
        return Found::Damaged;
      case ArchiveReader::Step::Member:
        break;
    }
    ++next_;
    return found_.member.regular && TokenNamesMember(kFormat, token, found_.member.name)
               ? Found::Yes
               : Found::No;
  }

  ArchiveKey key_;
  std::unique_ptr<ArchiveReader> reader_;
  bool positioned_ = false;  // open on key_, with members (or the end) still to come
  std::size_t next_ = 0;     // members taken since the archive was opened
  bool atEnd_ = false;
  Item found_;

  // Shared with the thread reading ahead, under mutex_.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Item> ahead_;
  std::size_t aheadBytes_ = 0;
  bool filling_ = false;  // the thread reading ahead runs
  bool halt_ = false;     // asks it to end
  Stop stop_ = Stop::None;
  std::thread filler_;
  std::unique_ptr<char[]> block_;  // the thread reading ahead reads data into it
};

// A few cursors, one per archive: the program searches an archive inside an archive
// between two members of the outer one, and each goes on where it stopped.
class Cursors {
 public:
  // The cursor of the archive at `path`, else the one used least recently.
  MemberCursor& For(const std::string& path) {
    Slot* chosen = &slots_[0];
    for (Slot& slot : slots_) {
      if (slot.cursor.path() == path) {
        chosen = &slot;
        break;
      }
      if (slot.lastUsed < chosen->lastUsed) chosen = &slot;
    }
    chosen->lastUsed = ++clock_;
    return chosen->cursor;
  }

  void DropDeleted() {
    for (Slot& slot : slots_) slot.cursor.DropDeleted();
  }

 private:
  // The dropped archive and the two levels of archives inside it, and one more.
  static constexpr std::size_t kCursors = 4;
  struct Slot {
    MemberCursor cursor;
    std::uint64_t lastUsed = 0;
  };
  std::array<Slot, kCursors> slots_;
  std::uint64_t clock_ = 0;
};

class Library {
 public:
  Library() = default;
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  bool Check(const char* path) {
    if (path == nullptr) return false;
    Utf8LocaleScope utf8;
    ArchiveReader reader(kFormat);
    return reader.Open(path, nullptr);
  }

  ARCHIVER_HANDLE Open(const char* path) {
    if (path == nullptr) return nullptr;
    Utf8LocaleScope utf8;
    auto archive = std::make_unique<OpenArchive>();
    archive->path = path;
    archive->reader = std::make_unique<ArchiveReader>(kFormat);
    if (!archive->reader->Open(archive->path, nullptr)) return nullptr;
    // A listing starts a new pass over the archive: its total starts again.
    ResetWritten(archive->path);
    // The program extracts members right after listing them: the reader for that
    // starts reading ahead now, beside the listing (unless a command runs).
    if (std::unique_lock command(commandMutex_, std::try_to_lock); command.owns_lock()) {
      cursors_.For(archive->path)
          .Warm(ArchiveKey::Of(archive->path, archive->reader->status(), std::nullopt));
    }
    std::lock_guard lock(mutex_);
    const std::uintptr_t id = nextId_++;
    archives_.emplace(id, std::move(archive));
    return reinterpret_cast<ARCHIVER_HANDLE>(id);
  }

  int Close(ARCHIVER_HANDLE handle) {
    std::unique_ptr<OpenArchive> closing;
    {
      std::lock_guard lock(mutex_);
      const auto found = archives_.find(reinterpret_cast<std::uintptr_t>(handle));
      if (found == archives_.end()) return ARCHIVER_BAD_HANDLE;
      closing = std::move(found->second);
      archives_.erase(found);
    }
    Utf8LocaleScope utf8;
    closing.reset();
    return ARCHIVER_OK;
  }

  int FindFirst(ARCHIVER_HANDLE handle, const char* wildcard, void* record) {
    std::lock_guard lock(mutex_);
    OpenArchive* archive = Find(handle);
    if (archive == nullptr) return ARCHIVER_BAD_HANDLE;
    if (wildcard == nullptr || record == nullptr) return ARCHIVER_BAD_ARGUMENT;
    Utf8LocaleScope utf8;
    archive->wildcard = wildcard;
    archive->attribute = -1;
    if (!archive->reader->untouched()) {
      auto reader = std::make_unique<ArchiveReader>(kFormat);
      if (!reader->Open(archive->path, nullptr)) return ARCHIVER_BAD_ARCHIVE;
      archive->reader = std::move(reader);
    }
    return FindNextLocked(*archive, record);
  }

  int FindNext(ARCHIVER_HANDLE handle, void* record) {
    std::lock_guard lock(mutex_);
    OpenArchive* archive = Find(handle);
    if (archive == nullptr) return ARCHIVER_BAD_HANDLE;
    if (record == nullptr) return ARCHIVER_BAD_ARGUMENT;
    Utf8LocaleScope utf8;
    return FindNextLocked(*archive, record);
  }

  int Attribute(ARCHIVER_HANDLE handle) {
    std::lock_guard lock(mutex_);
    OpenArchive* archive = Find(handle);
    return archive == nullptr ? -1 : archive->attribute;
  }

  int Running() const { return running_.load() > 0 ? 1 : 0; }

  void SetSizeCap(std::uint64_t bytes) { sizeCap_.store(bytes); }
  void SetReserve(std::uint64_t bytes) { reserve_.store(bytes); }
  void SetArchiveCap(std::uint64_t bytes) { archiveCap_.store(bytes); }
  void SetDestinationFolder(int folder) { base_.store(folder); }
  void SetStopFlag(const int* flag) { stop_.store(flag); }

  int Run(const char* line, char* output, std::uint32_t outputSize) {
    std::unique_lock lock(commandMutex_, std::try_to_lock);
    if (!lock.owns_lock()) {
      return Report(ARCHIVER_BUSY, "another command is running", output, outputSize);
    }
    // GetRunning reads the count without a lock, while this command holds one.
    struct RunningMark {
      explicit RunningMark(std::atomic<int>& count) : count_(count) { count_.fetch_add(1); }
      ~RunningMark() { count_.fetch_sub(1); }
      std::atomic<int>& count_;
    } mark(running_);
    std::string message;
    const int result = RunLocked(line, message);
    return Report(result, message, output, outputSize);
  }

 private:
  // Declared first, so destroyed last, once every reader and its thread has gone:
  // the UTF-8 locale is freed when the library is unloaded.
  struct LocaleRelease {
    LocaleRelease() = default;
    LocaleRelease(const LocaleRelease&) = delete;
    LocaleRelease& operator=(const LocaleRelease&) = delete;
    ~LocaleRelease() { ReleaseUtf8Locale(); }
  } localeRelease_;

  OpenArchive* Find(ARCHIVER_HANDLE handle) {
    const auto found = archives_.find(reinterpret_cast<std::uintptr_t>(handle));
    return found == archives_.end() ? nullptr : found->second.get();
  }

  static int FindNextLocked(OpenArchive& archive, void* record) {
    Member member;
    for (;;) {
      switch (archive.reader->Next(member)) {
        case ArchiveReader::Step::End:
          archive.attribute = -1;
          return ARCHIVER_END;
        case ArchiveReader::Step::Damaged:
          archive.attribute = -1;
          return ARCHIVER_BAD_ARCHIVE;
        case ArchiveReader::Step::Member:
          break;
      }
      if (!member.regular || member.name.empty() ||
          !MatchesWildcard(archive.wildcard, member.name)) {
        continue;
      }
      // A name too long for the record is listed by its copy name (ListedName).
      const std::string listed = ListedName(member.name);
      auto* bytes = static_cast<char*>(record);
      std::memset(bytes, 0, ARCHIVER_FIND_RECORD_SIZE);
      std::memcpy(bytes + ARCHIVER_NAME_OFFSET, listed.data(), listed.size());
      archive.attribute = member.encrypted ? ARCHIVER_ENCRYPTED : 0;
      return ARCHIVER_OK;
    }
  }

  int RunLocked(const char* line, std::string& message) {
    Command command;
    if (line == nullptr || !ParseCommand(kFormat, line, command)) {
      message = "bad command line";
      return ARCHIVER_BAD_ARGUMENT;
    }
    const int* stop = stop_.load();
    if (StopRequested(stop)) {
      message = "stopped";
      return ARCHIVER_STOPPED;
    }
    Utf8LocaleScope utf8;
    struct stat status {};
    if (::stat(command.archive.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
      message = "cannot read the archive";
      return ARCHIVER_BAD_ARCHIVE;
    }
    const ArchiveKey key = ArchiveKey::Of(
        command.archive, status,
        command.hasPassword ? std::optional<std::string>(command.password) : std::nullopt);
    // An archive deleted since the last command is let go when the program turns to
    // another one (the copy of a nested archive is deleted before the outer archive's
    // next member); a stat per cursor per member would cost thousands in a search.
    if (command.archive != lastArchive_) {
      cursors_.DropDeleted();
      lastArchive_ = command.archive;
    }
    int destination = -1;
    if (const int opened = Destination(command.destination, destination); opened != ARCHIVER_OK) {
      message = "cannot open the destination folder";
      return opened;
    }
    std::uint64_t archiveCap = archiveCap_.load();
    if (archiveCap == ARCHIVER_DEFAULT_ARCHIVE_CAP) {
      const auto size = static_cast<std::uint64_t>(status.st_size);
      archiveCap = size > kArchiveCapFloor / kArchiveCapRatio ? size * kArchiveCapRatio
                                                              : kArchiveCapFloor;
    }
    int result = ARCHIVER_OK;
    for (const std::string& token : command.members) {
      result = ExtractOne(key, token, destination, command.withFolders, archiveCap, stop, message);
      if (result != ARCHIVER_OK) break;
    }
    if (result == ARCHIVER_OK) message = "extracted";
    return result;
  }

  // Opens the destination folder into `opened`: ARCHIVER_OK, or the failure code.
  // With a folder set (SetDestinationFolder), `folder` is taken relative to it, step
  // by step, never through a link. Without one, the folder of the last command stays
  // open, as the program extracts thousands of members into one, and is used again
  // while its path still names that folder.
  int Destination(const std::string& folder, int& opened) {
    if (const int base = base_.load(); base >= 0) {
      // The folder set is used as it is (most copies go straight into it), and only
      // a folder below it is opened.
      platform::UniqueFd below;
      int belowFd = -1;
      if (const int result = OpenFolderBelow(base, folder, below, belowFd); result != ARCHIVER_OK) {
        return result;
      }
      struct stat now {};
      if (::fstat(belowFd, &now) != 0) return ARCHIVER_WRITE_FAILED;
      // The look at the free space is carried on only within one folder.
      if (!destinationSeen_ || now.st_dev != destinationId_.st_dev ||
          now.st_ino != destinationId_.st_ino) {
        reserveWatch_ = ReserveWatch{};
      }
      destination_ = std::move(below);
      destinationId_ = now;
      destinationSeen_ = true;
      // Never found again by its path.
      destinationPath_.clear();
      opened = belowFd;
      return ARCHIVER_OK;
    }
    struct stat now {};
    if (destination_.valid() && !destinationPath_.empty() && folder == destinationPath_ &&
        ::stat(folder.c_str(), &now) == 0 && now.st_dev == destinationId_.st_dev &&
        now.st_ino == destinationId_.st_ino) {
      opened = destination_.get();
      return ARCHIVER_OK;
    }
    destination_ = OpenDestination(folder);
    destinationPath_ = folder;
    reserveWatch_ = ReserveWatch{};
    if (destination_.valid() && ::fstat(destination_.get(), &destinationId_) != 0) {
      destination_.Reset();
    }
    destinationSeen_ = destination_.valid();
    if (!destination_.valid()) return ARCHIVER_WRITE_FAILED;
    opened = destination_.get();
    return ARCHIVER_OK;
  }

  // What the archive at `path` has written since it was listed.
  std::uint64_t Written(const std::string& path) {
    std::lock_guard lock(writtenMutex_);
    for (const auto& [archive, bytes] : written_) {
      if (archive == path) return bytes;
    }
    return 0;
  }
  void AddWritten(const std::string& path, std::uint64_t bytes) {
    std::lock_guard lock(writtenMutex_);
    for (auto& [archive, total] : written_) {
      if (archive == path) {
        total += bytes;
        return;
      }
    }
    if (written_.size() >= kArchiveTotals) written_.pop_front();
    written_.emplace_back(path, bytes);
  }
  void ResetWritten(const std::string& path) {
    std::lock_guard lock(writtenMutex_);
    std::erase_if(written_, [&](const auto& entry) { return entry.first == path; });
  }

  int ExtractOne(const ArchiveKey& key, const std::string& token, int destination, bool withFolders,
                 std::uint64_t archiveCap, const int* stop, std::string& message) {
    MemberCursor& cursor = cursors_.For(key.path);
    switch (cursor.Seek(key, token)) {
      case MemberCursor::Found::Damaged:
        message = "damaged archive";
        return ARCHIVER_BAD_ARCHIVE;
      case MemberCursor::Found::No:
        message = "no member " + token;
        return ARCHIVER_NO_MEMBER;
      case MemberCursor::Found::Yes:
        break;
    }
    // Flat, only the copy name is used, so a name that would leave the folder with
    // its stored folders is written safely inside it.
    std::vector<std::string> parts;
    bool named = false;
    if (withFolders) {
      named = SplitSafeName(cursor.found().member.name, parts);
    } else if (std::string copyName = MemberCopyName(cursor.found().member.name);
               !copyName.empty()) {
      parts.push_back(std::move(copyName));
      named = true;
    }
    int result = ARCHIVER_UNSAFE_NAME;
    if (named) {
      const MemberCursor::Item& found = cursor.found();
      const MemberData data{found.data, found.whole, found.failed};
      // A member read whole needs no reader, which may be reading ahead meanwhile.
      ::archive* rest = found.whole || found.failed ? nullptr : cursor.raw();
      const std::uint64_t done = Written(key.path);
      const WriteLimits limits{sizeCap_.load(), reserve_.load(),
                               done < archiveCap ? archiveCap - done : 0, stop};
      std::uint64_t written = 0;
      result = WriteMember(rest, data, destination, parts, withFolders, limits, &reserveWatch_,
                           written);
      AddWritten(key.path, written);
    }
    if (result == ARCHIVER_OK) cursor.ReadAhead();
    if (result != ARCHIVER_OK) {
      static const std::map<int, const char*> kReasons = {
          {ARCHIVER_UNSAFE_NAME, "has no safe name to be written under: "},
          {ARCHIVER_WRITE_FAILED, "cannot write "},
          {ARCHIVER_TOO_LARGE, "larger than the size cap: "},
          {ARCHIVER_OVER_ARCHIVE_CAP, "over the archive's total cap: "},
          {ARCHIVER_NO_ROOM, "would take the free-space reserve: "},
          {ARCHIVER_STOPPED, "stopped while writing "},
          {ARCHIVER_BAD_DATA, "damaged data or wrong password: "}};
      const auto reason = kReasons.find(result);
      message =
          (reason != kReasons.end() ? reason->second : "failed: ") + cursor.found().member.name;
      // The reader's position is unknown after a member read from it failed; one read
      // whole ahead left it where it was.
      if (!cursor.found().whole) cursor.Drop();
    }
    return result;
  }

  static int Report(int result, const std::string& message, char* output,
                    std::uint32_t outputSize) {
    if (output != nullptr && outputSize > 0) {
      const std::size_t length = std::min<std::size_t>(message.size(), outputSize - 1);
      std::memcpy(output, message.data(), length);
      output[length] = '\0';
    }
    return result;
  }

  std::mutex mutex_;  // the open archives
  std::map<std::uintptr_t, std::unique_ptr<OpenArchive>> archives_;
  // Handles are ids, never addresses, and never reused; the libraries count from
  // different bases so that one refuses another's handles.
  std::uintptr_t nextId_ = kFormat == Format::Lzh   ? 0x4C5A0001
                           : kFormat == Format::Zip ? 0x5A490001
                                                    : 0x414E0001;

  std::mutex commandMutex_;
  Cursors cursors_;
  std::string lastArchive_;         // of the last command
  // The last command's destination folder, when it was opened (not the folder set).
  platform::UniqueFd destination_;
  std::string destinationPath_;
  struct stat destinationId_ {};
  bool destinationSeen_ = false;  // destinationId_ names the last destination
  ReserveWatch reserveWatch_;  // for the members written into destination_
  std::atomic<int> running_{0};
  std::atomic<std::uint64_t> sizeCap_{kDefaultSizeCap};
  std::atomic<std::uint64_t> reserve_{ARCHIVER_DEFAULT_RESERVE};
  std::atomic<std::uint64_t> archiveCap_{ARCHIVER_DEFAULT_ARCHIVE_CAP};
  std::atomic<int> base_{-1};                 // SetDestinationFolder
  std::atomic<const int*> stop_{nullptr};     // SetStopFlag
  // What each archive listed lately has written since (see SetArchiveCap), the
  // oldest first.
  std::mutex writtenMutex_;
  std::deque<std::pair<std::string, std::uint64_t>> written_;
};

Library& TheLibrary() {
  static Library library;
  return library;
}

// No exception may cross into the C caller.
template <typename Result, typename Call>
Result Guarded(Result failure, Call call) {
  try {
    return call();
  } catch (...) {
    return failure;
  }
}

}  // namespace
}  // namespace kolbrin::plugin

using kolbrin::plugin::Guarded;
using kolbrin::plugin::TheLibrary;

#if defined(KOLBRIN_PLUGIN_LZH)
#define KOLBRIN_ENTRY(name) Unlha##name
#define KOLBRIN_COMMAND_ENTRY Unlha
#elif defined(KOLBRIN_PLUGIN_ZIP)
#define KOLBRIN_ENTRY(name) UnZip##name
#define KOLBRIN_COMMAND_ENTRY UnZip
#else
#define KOLBRIN_ENTRY(name) AnyArc##name
#define KOLBRIN_COMMAND_ENTRY AnyArc
#endif

extern "C" {

int KOLBRIN_ENTRY(CheckArchive)(const char* path, int /*mode*/) {
  return Guarded(0, [&] { return TheLibrary().Check(path) ? 1 : 0; });
}

ARCHIVER_HANDLE KOLBRIN_ENTRY(OpenArchive)(void* /*window*/, const char* path, uint32_t /*mode*/) {
  return Guarded(ARCHIVER_HANDLE{nullptr}, [&] { return TheLibrary().Open(path); });
}

int KOLBRIN_ENTRY(CloseArchive)(ARCHIVER_HANDLE archive) {
  return Guarded(ARCHIVER_BAD_HANDLE, [&] { return TheLibrary().Close(archive); });
}

int KOLBRIN_ENTRY(FindFirst)(ARCHIVER_HANDLE archive, const char* wildcard, void* record) {
  return Guarded(ARCHIVER_BAD_ARCHIVE,
                 [&] { return TheLibrary().FindFirst(archive, wildcard, record); });
}

int KOLBRIN_ENTRY(FindNext)(ARCHIVER_HANDLE archive, void* record) {
  return Guarded(ARCHIVER_BAD_ARCHIVE, [&] { return TheLibrary().FindNext(archive, record); });
}

#if !defined(KOLBRIN_PLUGIN_LZH)
int KOLBRIN_ENTRY(GetAttribute)(ARCHIVER_HANDLE archive) {
  return Guarded(-1, [&] { return TheLibrary().Attribute(archive); });
}
#endif

int KOLBRIN_ENTRY(SetBackGroundMode)(int /*background*/) { return 0; }

int KOLBRIN_ENTRY(SetCursorMode)(int /*cursor*/) { return 0; }

#if !defined(KOLBRIN_PLUGIN_WITHOUT_GET_RUNNING)
int KOLBRIN_ENTRY(GetRunning)(void) { return TheLibrary().Running(); }
#endif

int KOLBRIN_COMMAND_ENTRY(void* /*window*/, const char* command, char* output,
                          uint32_t outputSize) {
  return Guarded(ARCHIVER_WRITE_FAILED,
                 [&] { return TheLibrary().Run(command, output, outputSize); });
}

void KOLBRIN_ENTRY(SetMemberSizeCap)(uint64_t bytes) { TheLibrary().SetSizeCap(bytes); }

void KOLBRIN_ENTRY(SetFreeSpaceReserve)(uint64_t bytes) { TheLibrary().SetReserve(bytes); }

void KOLBRIN_ENTRY(SetArchiveCap)(uint64_t bytes) { TheLibrary().SetArchiveCap(bytes); }

void KOLBRIN_ENTRY(SetDestinationFolder)(int folder) { TheLibrary().SetDestinationFolder(folder); }

void KOLBRIN_ENTRY(SetStopFlag)(const int* flag) { TheLibrary().SetStopFlag(flag); }

}  // extern "C"
