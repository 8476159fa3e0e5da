#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace kolbrin::platform {
namespace {

constexpr int kMaxFolderDepth = 64;

// Closes the descriptor on every way out of Load.
struct FileDescriptor {
  int fd;
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
};

// Deletes everything inside the open folder `folder`, reaching each entry relative
// to it, so a link is removed, not followed. Reads the entries with getdents64 into
// a buffer on the stack, and passes over them again until none is left, as entries
// removed or created during a pass can make it miss some.
void EmptyFolder(int folder, int depth) {
  alignas(dirent64) char buffer[2048];
  for (int pass = 0; pass < 8; ++pass) {
    bool sawEntry = false;
    if (::lseek(folder, 0, SEEK_SET) != 0) return;
    for (;;) {
      const ssize_t got = ::getdents64(folder, buffer, sizeof buffer);
      if (got <= 0) break;
      for (ssize_t at = 0; at < got;) {
        const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
        at += entry->d_reclen;
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        sawEntry = true;
        if (::unlinkat(folder, name, 0) == 0 || errno != EISDIR) continue;
        if (depth < kMaxFolderDepth) {
          const int inner = ::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
          if (inner >= 0) {
            EmptyFolder(inner, depth + 1);
            ::close(inner);
          }
        }
        ::unlinkat(folder, name, AT_REMOVEDIR);
      }
    }
    if (!sawEntry) return;
  }
}

}  // namespace

bool FileBytes::Load(const std::string& path, std::size_t maxSize) {
  Clear();
  // O_NONBLOCK keeps the open itself from waiting on a FIFO without a writer; the
  // file type is checked on the open descriptor, so a swap after a stat cannot fool it.
  FileDescriptor file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
  if (file.fd < 0) return false;
  struct stat info {};
  if (::fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) return false;
  const auto expected = static_cast<std::size_t>(info.st_size);
  if (expected > maxSize) return false;

  std::unique_ptr<unsigned char[]> bytes;
  try {
    bytes = std::make_unique_for_overwrite<unsigned char[]>(expected == 0 ? 1 : expected);
  } catch (const std::bad_alloc&) {
    return false;
  }
  // A file that shrinks while it is read is taken as far as it goes; bytes appended
  // meanwhile are not waited for.
  std::size_t got = 0;
  while (got < expected) {
    const ssize_t n = ::read(file.fd, bytes.get() + got, expected - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  data_ = std::move(bytes);
  size_ = got;
  return true;
}

void FileBytes::Clear() {
  data_.reset();
  size_ = 0;
}

bool IsFolder(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool NameTaken(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 || errno != ENOENT;
}

bool DeleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

std::string TempDirectory() {
  std::string folder;
  for (const char* name : {"TEMP", "TMPDIR"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') {
      folder = value;
      break;
    }
  }
  if (folder.empty()) folder = "/tmp";
  if (folder.back() != '/') folder.push_back('/');
  return folder;
}

std::string CreatePrivateFolder(const std::string& parent) {
  // mkdtemp makes the folder with mode 0700 and a random name, and fails rather
  // than reuse anything already there.
  std::string pattern = parent + "kolbrin-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return {};
  return pattern + "/";
}

bool RemoveEmptyFolder(const std::string& path) { return ::rmdir(path.c_str()) == 0; }

bool RemoveFolderTree(const std::string& path) {
  // Without its trailing "/", a link at `path` is not followed by O_NOFOLLOW. The
  // copy lives on the stack: nothing here may allocate (see the header).
  char folder[PATH_MAX];
  std::size_t length = path.size();
  while (length > 1 && path[length - 1] == '/') --length;
  if (length == 0 || length >= sizeof folder) return false;
  std::memcpy(folder, path.data(), length);
  folder[length] = '\0';
  // Once rmdir succeeds nothing can be created in the folder, even by a thread that
  // holds it open; a file created while it is emptied makes rmdir fail, and the
  // next round takes that file.
  for (int round = 0; round < 4; ++round) {
    if (::rmdir(folder) == 0 || errno == ENOENT) return true;
    if (errno != ENOTEMPTY && errno != EEXIST) return false;
    const int open = ::open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (open < 0) return errno == ENOENT;
    EmptyFolder(open, 0);
    ::close(open);
  }
  return ::rmdir(folder) == 0 || errno == ENOENT;
}

std::string CurrentFolder() {
  std::vector<char> buffer(4096);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return {};
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

}  // namespace kolbrin::platform
