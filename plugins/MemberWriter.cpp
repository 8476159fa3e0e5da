// Writing one member inside the destination folder, whatever the archive holds.
//
// Every path step is taken relative to an open folder: the destination first, then
// each stored folder opened without following a link. The data goes to a fresh
// temporary file beside the target, renamed over the target only once it is whole,
// so a failure never leaves a partial file and a link at the target name is
// replaced, not followed.
#include <archive.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <vector>

#include "archive/ArchiverApi.h"
#include "platform/Files.h"
#include "platform/UniqueFd.h"
#include "plugins/PluginCore.h"

namespace kolbrin::plugin {
namespace {

constexpr std::size_t kCopyBlock = 64 * 1024;
constexpr std::uint64_t kReserveCheckInterval = 1 << 20;
constexpr std::uint64_t kDefaultReserveCeiling = std::uint64_t{1} << 30;
constexpr int kTemporaryNameAttempts = 100;

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

std::string TemporaryName(int attempt) {
  static std::atomic<unsigned> counter{0};
  const auto clock =
      static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
  char name[96];
  std::snprintf(name, sizeof name, ".kolbrin-%ld-%u-%llx-%d.part", static_cast<long>(::getpid()),
                counter.fetch_add(1), clock, attempt);
  return name;
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

// Copies the member's data into `fd`: ARCHIVER_OK or the failure code. Only the bytes
// counted here are trusted: declared sizes lie in both directions. The free space is
// looked at every kReserveCheckInterval bytes, so the reserve is kept to within that.
int CopyData(::archive* reader, int fd, const WriteLimits& limits) {
  std::vector<char> buffer(kCopyBlock);
  std::uint64_t total = 0;
  std::uint64_t checkedAt = 0;
  if (!LeavesReserve(fd, 0, limits.reserve)) return ARCHIVER_WRITE_FAILED;
  for (;;) {
    const la_ssize_t got = archive_read_data(reader, buffer.data(), buffer.size());
    if (got == 0) return ARCHIVER_OK;
    // ARCHIVE_WARN too: a CRC error, a wrong size or an unsupported method.
    if (got < 0) return ARCHIVER_BAD_DATA;
    total += static_cast<std::uint64_t>(got);
    if (total > limits.sizeCap) return ARCHIVER_TOO_LARGE;
    if (total - checkedAt >= kReserveCheckInterval) {
      if (!LeavesReserve(fd, kReserveCheckInterval, limits.reserve)) return ARCHIVER_WRITE_FAILED;
      checkedAt = total;
    }
    if (!platform::WriteAll(fd, std::string_view(buffer.data(), static_cast<std::size_t>(got)))) {
      return ARCHIVER_WRITE_FAILED;
    }
  }
}

}  // namespace

UniqueFd OpenDestination(const std::string& folder) {
  UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid() || errno != ENOENT || folder.empty()) return fd;
  if (!platform::CreateFolders(folder, 0700)) return UniqueFd();
  return UniqueFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

int WriteMember(::archive* reader, int destination, const std::vector<std::string>& parts,
                bool withFolders, const WriteLimits& limits) {
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

  std::string temporary;
  UniqueFd file;
  for (int attempt = 0; attempt < kTemporaryNameAttempts && file.get() < 0; ++attempt) {
    temporary = TemporaryName(attempt);
    const int fd = ::openat(target, temporary.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) return ARCHIVER_WRITE_FAILED;
    file.Reset(fd);
  }
  if (file.get() < 0) return ARCHIVER_WRITE_FAILED;

  int result = CopyData(reader, file.get(), limits);
  if (::close(file.Release()) != 0 && result == ARCHIVER_OK) result = ARCHIVER_WRITE_FAILED;
  if (result == ARCHIVER_OK && ::renameat(target, temporary.c_str(), target, name.c_str()) != 0) {
    result = ARCHIVER_WRITE_FAILED;
  }
  if (result != ARCHIVER_OK) ::unlinkat(target, temporary.c_str(), 0);
  return result;
}

}  // namespace kolbrin::plugin
