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
#include <memory>

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
    const int fd = ::openat(folder, name.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
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

// Whether `bytes` more may be written to `fd` and leave the reserve free. A file
// system that cannot tell its free space does not stop the writing.
bool LeavesReserve(int fd, std::uint64_t bytes, std::uint64_t reserve) {
  struct statvfs disk {};
  if (::fstatvfs(fd, &disk) != 0) return true;
  const std::uint64_t available = static_cast<std::uint64_t>(disk.f_bavail) * disk.f_frsize;
  const std::uint64_t keep = ReserveOf(disk, reserve);
  return available >= keep && available - keep >= bytes;
}

// Writes a member's data into `fd` piece by piece, under the limits. Only the bytes
// counted here are trusted: declared sizes lie in both directions. The free space is
// looked at before the first byte and every kReserveCheckInterval bytes after, so the
// reserve is kept to within that.
class LimitedWriter {
 public:
  LimitedWriter(int fd, const WriteLimits& limits) : fd_(fd), limits_(limits) {}

  int Start() const {
    return LeavesReserve(fd_, 0, limits_.reserve) ? ARCHIVER_OK : ARCHIVER_WRITE_FAILED;
  }

  int Put(std::string_view piece) {
    total_ += piece.size();
    if (total_ > limits_.sizeCap) return ARCHIVER_TOO_LARGE;
    if (total_ - checkedAt_ >= kReserveCheckInterval) {
      if (!LeavesReserve(fd_, kReserveCheckInterval, limits_.reserve)) return ARCHIVER_WRITE_FAILED;
      checkedAt_ = total_;
    }
    return platform::WriteAll(fd_, piece) ? ARCHIVER_OK : ARCHIVER_WRITE_FAILED;
  }

 private:
  int fd_;
  WriteLimits limits_;
  std::uint64_t total_ = 0;
  std::uint64_t checkedAt_ = 0;
};

// Copies the member's data into `fd`: what was read already, then the rest from
// `reader`. ARCHIVER_OK or the failure code.
int CopyData(::archive* reader, const MemberData& read, int fd, const WriteLimits& limits) {
  LimitedWriter writer(fd, limits);
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

int WriteMember(::archive* reader, const MemberData& read, int destination,
                const std::vector<std::string>& parts, bool withFolders, const WriteLimits& limits) {
  if (parts.empty()) return ARCHIVER_UNSAFE_NAME;
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
  int result = CopyData(reader, read, file.get(), limits);
  if (::close(file.Release()) != 0 && result == ARCHIVER_OK) result = ARCHIVER_WRITE_FAILED;
  if (result != ARCHIVER_OK) ::unlinkat(target, name.c_str(), 0);
  return result;
}

}  // namespace kolbrin::plugin
