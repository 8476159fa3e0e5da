// Writing one member inside the destination folder, whatever the archive holds.
//
// Every path step is taken relative to an open folder: the destination first, then
// each stored folder opened without following a link. The data goes to a file
// created afresh under the target name (whatever was there, a link included, is
// removed first and never followed), which is removed again when the member fails,
// so a failure never leaves a partial file. A file written one member after another,
// thousands of times in a search, costs no temporary name and no rename.
#include <archive.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>

#include "archive/ArchiverApi.h"
#include "platform/Files.h"
#include "platform/UniqueFd.h"
#include "plugins/PluginCore.h"

namespace kolbrin::plugin {
namespace {

constexpr std::size_t kCopyBlock = 64 * 1024;
constexpr std::uint64_t kReserveCheckInterval = 1 << 20;
constexpr std::uint64_t kDefaultReserveCeiling = std::uint64_t{1} << 30;
// A name that another process keeps recreating is given up after this many removals.
constexpr int kCreateAttempts = 100;

using platform::UniqueFd;

// Opens (creating it when missing) the folder `name` inside `parent`, never through
// a symbolic link. ARCHIVER_OK with `folder` set, or the failure code.
int OpenSubfolder(int parent, const std::string& name, UniqueFd& folder) {
  if (::mkdirat(parent, name.c_str(), 0700) != 0 && errno != EEXIST) {
    return ARCHIVER_WRITE_FAILED;
  }
  const int fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    folder.Reset(fd);
    return ARCHIVER_OK;
  }
  struct stat status {};
  if (::fstatat(parent, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(status.st_mode)) {
    return ARCHIVER_UNSAFE_NAME;
  }
  return ARCHIVER_WRITE_FAILED;
}

// Creates `name` in `folder` as a new, empty file: whatever holds the name (a file,
// a link) is removed first; a folder there fails. ARCHIVER_OK with `file` set, or the
// failure code.
int CreateFresh(int folder, const std::string& name, UniqueFd& file) {
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    const int fd =
        ::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      file.Reset(fd);
      return ARCHIVER_OK;
    }
    if (errno != EEXIST || ::unlinkat(folder, name.c_str(), 0) != 0) {
      return ARCHIVER_WRITE_FAILED;
    }
  }
  return ARCHIVER_WRITE_FAILED;
}

// The free space on the file system of `fd` that writing may not go below.
std::uint64_t ReserveOf(const struct statvfs& disk, std::uint64_t reserve) {
  if (reserve != ARCHIVER_DEFAULT_RESERVE) return reserve;
  const std::uint64_t size = static_cast<std::uint64_t>(disk.f_blocks) * disk.f_frsize;
  return std::min<std::uint64_t>(kDefaultReserveCeiling, size / 20);
}

// How many bytes may be written to `fd` and leave the reserve free; nothing when the
// reserve is already taken. A file system that cannot tell its free space does not
// stop the writing.
std::optional<std::uint64_t> RoomAboveReserve(int fd, std::uint64_t reserve) {
  struct statvfs disk {};
  if (::fstatvfs(fd, &disk) != 0) return UINT64_MAX;
  const std::uint64_t available = static_cast<std::uint64_t>(disk.f_bavail) * disk.f_frsize;
  const std::uint64_t keep = ReserveOf(disk, reserve);
  if (available < keep) return std::nullopt;
  return available - keep;
}

constexpr std::chrono::seconds kLookLasts{1};

// Writes a member's data into `fd` piece by piece, under the limits. Only the bytes
// counted here are trusted: declared sizes lie in both directions. The free space is
// looked at before the first byte and whenever kReserveCheckInterval bytes have been
// written since the last look (which may have been for the member before, in the same
// folder), so the reserve is kept to within that.
class LimitedWriter {
 public:
  LimitedWriter(int fd, const WriteLimits& limits, ReserveWatch* watch)
      : fd_(fd), limits_(limits), watch_(watch != nullptr ? *watch : own_) {}

  int Start() {
    if (StopRequested(limits_.stop)) return ARCHIVER_STOPPED;
    const auto now = std::chrono::steady_clock::now();
    if (watch_.reserve != limits_.reserve || now - watch_.lookedAt >= kLookLasts) {
      watch_.allowance = 0;
    }
    // A member of no bytes still needs the reserve to be free.
    return watch_.allowance > 0 || Look() ? ARCHIVER_OK : ARCHIVER_NO_ROOM;
  }

  // Checked before the piece is written: the program's stop, then the caps, so
  // nothing is written past a cap, nor more than one piece after a stop.
  int Put(std::string_view piece) {
    if (StopRequested(limits_.stop)) return ARCHIVER_STOPPED;
    const std::uint64_t after = total_ + piece.size();
    if (after > limits_.sizeCap) return ARCHIVER_TOO_LARGE;
    if (after > limits_.archiveRoom) return ARCHIVER_OVER_ARCHIVE_CAP;
    if (piece.size() > watch_.allowance && (!Look() || piece.size() > watch_.allowance)) {
      return ARCHIVER_NO_ROOM;
    }
    watch_.allowance -= piece.size();
    if (!platform::WriteAll(fd_, piece)) return ARCHIVER_WRITE_FAILED;
    total_ = after;
    return ARCHIVER_OK;
  }

  std::uint64_t total() const { return total_; }

 private:
  // False when the reserve is already taken.
  bool Look() {
    watch_.allowance = 0;
    watch_.reserve = limits_.reserve;
    watch_.lookedAt = std::chrono::steady_clock::now();
    const std::optional<std::uint64_t> room = RoomAboveReserve(fd_, limits_.reserve);
    if (!room) return false;
    watch_.allowance = std::min<std::uint64_t>(*room, kReserveCheckInterval);
    return true;
  }

  int fd_;
  WriteLimits limits_;
  ReserveWatch own_;
  ReserveWatch& watch_;
  std::uint64_t total_ = 0;
};

// Copies the member's data into `fd`: what was read already, then the rest from
// `reader`. ARCHIVER_OK or the failure code.
int CopyData(::archive* reader, const MemberData& read, int fd, const WriteLimits& limits,
             ReserveWatch* watch, std::uint64_t& written) {
  LimitedWriter writer(fd, limits, watch);
  struct Count {
    const LimitedWriter& writer;
    std::uint64_t& written;
    ~Count() { written = writer.total(); }
  } count{writer, written};
  int result = writer.Start();
  for (std::size_t at = 0; result == ARCHIVER_OK && at < read.bytes.size(); at += kCopyBlock) {
    result = writer.Put(read.bytes.substr(at, kCopyBlock));
  }
  if (result != ARCHIVER_OK) return result;
  if (read.failed || (!read.whole && reader == nullptr)) return ARCHIVER_BAD_DATA;
  if (read.whole) return ARCHIVER_OK;
  // Not filled with zeros first: thousands of small members would each pay for it.
  const std::unique_ptr<char[]> buffer = std::make_unique_for_overwrite<char[]>(kCopyBlock);
  for (;;) {
    const la_ssize_t got = archive_read_data(reader, buffer.get(), kCopyBlock);
    if (got == 0) return ARCHIVER_OK;
    // ARCHIVE_WARN too: a CRC error, a wrong size or an unsupported method.
    if (got < 0) return ARCHIVER_BAD_DATA;
    result = writer.Put(std::string_view(buffer.get(), static_cast<std::size_t>(got)));
    if (result != ARCHIVER_OK) return result;
  }
}

}  // namespace

UniqueFd OpenDestination(const std::string& folder) {
  UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid() || errno != ENOENT || folder.empty()) return fd;
  if (!platform::CreateFolders(folder, 0700)) return UniqueFd();
  return UniqueFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

int OpenFolderBelow(int base, std::string_view relative, UniqueFd& folder, int& opened) {
  if (relative.starts_with('/')) return ARCHIVER_UNSAFE_NAME;
  UniqueFd current;
  int at = base;
  while (!relative.empty()) {
    const std::size_t slash = relative.find('/');
    const std::string step(relative.substr(0, slash));
    relative.remove_prefix(slash == std::string_view::npos ? relative.size() : slash + 1);
    if (step.empty() || step == ".") continue;
    if (step == "..") return ARCHIVER_UNSAFE_NAME;
    UniqueFd next;
    if (const int result = OpenSubfolder(at, step, next); result != ARCHIVER_OK) return result;
    current = std::move(next);
    at = current.get();
  }
  folder = std::move(current);
  opened = at;
  return ARCHIVER_OK;
}

int WriteMember(::archive* reader, const MemberData& read, int destination,
                const std::vector<std::string>& parts, bool withFolders, const WriteLimits& limits,
                ReserveWatch* watch, std::uint64_t& written) {
  written = 0;
  if (parts.empty()) return ARCHIVER_UNSAFE_NAME;
  if (StopRequested(limits.stop)) return ARCHIVER_STOPPED;
  UniqueFd folder;
  int target = destination;
  if (withFolders) {
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
      UniqueFd next;
      const int result = OpenSubfolder(target, parts[i], next);
      if (result != ARCHIVER_OK) return result;
      folder = std::move(next);
      target = folder.get();
    }
  }
  const std::string& name = parts.back();

  UniqueFd file;
  if (const int created = CreateFresh(target, name, file); created != ARCHIVER_OK) return created;
  int result = CopyData(reader, read, file.get(), limits, withFolders ? nullptr : watch, written);
  if (::close(file.Release()) != 0 && result == ARCHIVER_OK) result = ARCHIVER_WRITE_FAILED;
  if (result != ARCHIVER_OK) ::unlinkat(target, name.c_str(), 0);
  return result;
}

}  // namespace kolbrin::plugin
