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
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <vector>

#include "archive/ArchiverApi.h"
#include "plugins/PluginCore.h"

namespace kolbrin::plugin {
namespace {

constexpr std::size_t kCopyBlock = 64 * 1024;
constexpr int kTemporaryNameAttempts = 100;

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { Reset(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Opens (creating it when missing) the folder `name` inside `parent`, never through
// a symbolic link. ARCHIVER_OK with `folder` set, or the failure code.
int OpenSubfolder(int parent, const std::string& name, Descriptor& folder) {
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

bool WriteAll(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t written = ::write(fd, data, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

// Copies the member's data into `fd`: ARCHIVER_OK or the failure code. Only the bytes
// counted here are trusted: declared sizes lie in both directions.
int CopyData(::archive* reader, int fd, std::uint64_t sizeCap) {
  std::vector<char> buffer(kCopyBlock);
  std::uint64_t total = 0;
  for (;;) {
    const la_ssize_t got = archive_read_data(reader, buffer.data(), buffer.size());
    if (got == 0) return ARCHIVER_OK;
    // ARCHIVE_WARN too: a CRC error, a wrong size or an unsupported method.
    if (got < 0) return ARCHIVER_BAD_DATA;
    total += static_cast<std::uint64_t>(got);
    if (total > sizeCap) return ARCHIVER_TOO_LARGE;
    if (!WriteAll(fd, buffer.data(), static_cast<std::size_t>(got))) return ARCHIVER_WRITE_FAILED;
  }
}

}  // namespace

int OpenDestination(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0 || errno != ENOENT || folder.empty()) return fd;
  for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string prefix = folder.substr(0, slash);
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return -1;
    if (slash == std::string::npos) break;
  }
  return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int WriteMember(::archive* reader, int destination, const std::vector<std::string>& parts,
                bool withFolders, std::uint64_t sizeCap) {
  if (parts.empty()) return ARCHIVER_UNSAFE_NAME;
  Descriptor folder;
  int target = destination;
  if (withFolders) {
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
      Descriptor next;
      const int result = OpenSubfolder(target, parts[i], next);
      if (result != ARCHIVER_OK) return result;
      folder.Reset(next.Release());
      target = folder.get();
    }
  }
  const std::string& name = parts.back();

  std::string temporary;
  Descriptor file;
  for (int attempt = 0; attempt < kTemporaryNameAttempts && file.get() < 0; ++attempt) {
    temporary = TemporaryName(attempt);
    const int fd = ::openat(target, temporary.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) return ARCHIVER_WRITE_FAILED;
    file.Reset(fd);
  }
  if (file.get() < 0) return ARCHIVER_WRITE_FAILED;

  int result = CopyData(reader, file.get(), sizeCap);
  if (::close(file.Release()) != 0 && result == ARCHIVER_OK) result = ARCHIVER_WRITE_FAILED;
  if (result == ARCHIVER_OK && ::renameat(target, temporary.c_str(), target, name.c_str()) != 0) {
    result = ARCHIVER_WRITE_FAILED;
  }
  if (result != ARCHIVER_OK) ::unlinkat(target, temporary.c_str(), 0);
  return result;
}

}  // namespace kolbrin::plugin
