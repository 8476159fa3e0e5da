#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <vector>

#include "platform/UniqueFd.h"

namespace kolbrin::platform {
namespace {

constexpr int kMaxFolderDepth = 64;

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
  constexpr int kFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
  std::optional<UniqueFd> held = OpenInPrivateFolder(path, kFlags);
  const UniqueFd file = held ? std::move(*held) : UniqueFd(::open(path.c_str(), kFlags));
  if (!file.valid()) return false;
  const std::optional<std::size_t> regularSize = RegularFileSize(file.get(), maxSize);
  if (!regularSize) return false;
  const std::size_t expected = *regularSize;

  std::unique_ptr<unsigned char[]> bytes;
  try {
    bytes = std::make_unique_for_overwrite<unsigned char[]>(expected == 0 ? 1 : expected);
  } catch (const std::bad_alloc&) {
    return false;
  }
  const std::optional<std::size_t> got = ReadUpTo(file.get(), bytes.get(), expected);
  if (!got) return false;
  data_ = std::move(bytes);
  size_ = *got;
  return true;
}

void FileBytes::Clear() {
  data_.reset();
  size_ = 0;
}

std::optional<std::size_t> RegularFileSize(int fd, std::size_t maxSize) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) return std::nullopt;
  const auto size = static_cast<std::size_t>(info.st_size);
  if (size > maxSize) return std::nullopt;
  return size;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

std::optional<std::size_t> ReadUpTo(int fd, unsigned char* buffer, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(fd, buffer + got, size - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

bool IsFolder(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool Exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

bool NameTaken(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 || errno != ENOENT;
}

namespace {

// The private folders that live in this process: descriptor and path.
struct HeldFolders {
  // Shared while a folder's descriptor is used, so the copies of a search are
  // opened, written and deleted on several threads at once, and no descriptor is
  // closed under them.
  std::shared_mutex mutex;
  std::vector<std::pair<int, std::string>> folders;
};

// Made on first use in storage of its own and never destroyed, so a PrivateFolder
// that outlives the other statics can still let go; not on the heap, so that a
// plug-in that links this file and is unloaded leaves nothing allocated behind.
HeldFolders& TheHeldFolders() {
  alignas(HeldFolders) static unsigned char storage[sizeof(HeldFolders)];
  static HeldFolders* const held = new (storage) HeldFolders;
  return *held;
}

void HoldFolder(int fd, const std::string& path) {
  HeldFolders& held = TheHeldFolders();
  std::unique_lock lock(held.mutex);
  held.folders.emplace_back(fd, path);
}

void LetGoFolder(int fd) {
  HeldFolders& held = TheHeldFolders();
  std::unique_lock lock(held.mutex);
  std::erase_if(held.folders, [fd](const auto& entry) { return entry.first == fd; });
}

// The folder that holds the file or folder at `relative` (beginning "./") below the
// open folder `base`, reached step by step without following a link, and the last
// step's name; false when a step is missing, a link, "..", or the name is empty.
// `parent` is `base` itself for a name directly in it (most copies), else a folder
// opened into `opened`.
bool OpenParentBelow(int base, std::string_view relative, UniqueFd& opened, int& parent,
                     std::string& name) {
  while (relative.ends_with('/')) relative.remove_suffix(1);
  const std::size_t slash = relative.rfind('/');
  name = std::string(slash == std::string_view::npos ? relative : relative.substr(slash + 1));
  std::string_view steps = slash == std::string_view::npos ? "" : relative.substr(0, slash);
  if (name.empty() || name == "." || name == "..") return false;
  int current = base;
  while (!steps.empty()) {
    const std::size_t end = steps.find('/');
    const std::string step(steps.substr(0, end));
    steps.remove_prefix(end == std::string_view::npos ? steps.size() : end + 1);
    if (step.empty() || step == ".") continue;
    if (step == "..") return false;
    opened =
        UniqueFd(::openat(current, step.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!opened.valid()) return false;
    current = opened.get();
  }
  parent = current;
  return true;
}

// Runs `use` with the open folder that holds `path` below a living private folder
// (see WithHeldPlace) and the path's last name, each step reached without following
// a link. Nothing, without running `use`, when `path` lies in no private folder or
// is the folder itself; false when a step cannot be reached; else what `use` gave.
std::optional<bool> InPrivateFolder(
    const std::string& path, const std::function<bool(int parent, const std::string& name)>& use) {
  std::optional<bool> done;
  WithHeldPlace(path, [&](int folder, const std::string& relative) {
    if (relative == "./") return;
    UniqueFd opened;
    int parent = -1;
    std::string name;
    done = OpenParentBelow(folder, relative, opened, parent, name) && use(parent, name);
  });
  return done;
}

// Unlinks `path` (`flags` as unlinkat's) relative to the private folder holding it,
// else by its path (also the private folder itself, which is inside none).
bool Unlink(const std::string& path, int flags) {
  const std::optional<bool> unlinked =
      InPrivateFolder(path, [flags](int parent, const std::string& name) {
        return ::unlinkat(parent, name.c_str(), flags) == 0;
      });
  return unlinked ? *unlinked : ::unlinkat(AT_FDCWD, path.c_str(), flags) == 0;
}

}  // namespace

bool WithHeldPlace(const std::string& path,
                   const std::function<void(int folder, const std::string& relative)>& use) {
  HeldFolders& held = TheHeldFolders();
  std::shared_lock lock(held.mutex);
  for (const auto& [fd, folder] : held.folders) {
    // The folder's path ends in "/"; the folder named without it is the folder too.
    const bool inside = path.starts_with(folder) || path + "/" == folder;
    if (!inside) continue;
    use(fd, "./" + (path.size() > folder.size() ? path.substr(folder.size()) : ""));
    return true;
  }
  return false;
}

std::optional<std::uint64_t> FileSizeOf(const std::string& path) {
  struct stat info {};
  const std::optional<bool> looked =
      InPrivateFolder(path, [&info](int parent, const std::string& name) {
        return ::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
      });
  if (!(looked ? *looked : ::lstat(path.c_str(), &info) == 0) || info.st_size < 0) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(info.st_size);
}

std::optional<UniqueFd> OpenInPrivateFolder(const std::string& path, int flags) {
  UniqueFd file;
  const std::optional<bool> opened =
      InPrivateFolder(path, [&file, flags](int parent, const std::string& name) {
        file.Reset(::openat(parent, name.c_str(), flags | O_NOFOLLOW));
        return file.valid();
      });
  if (!opened) return std::nullopt;
  return file;
}

PrivateFolder& PrivateFolder::operator=(PrivateFolder&& other) noexcept {
  if (this != &other) {
    if (fd_.valid()) LetGoFolder(fd_.get());
    path_ = std::move(other.path_);
    fd_ = std::move(other.fd_);
  }
  return *this;
}

PrivateFolder::~PrivateFolder() {
  if (fd_.valid()) LetGoFolder(fd_.get());
}

bool DeleteFile(const std::string& path) { return Unlink(path, 0); }

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
  // Made absolute once: a relative folder would be joined to the current folder
  // again wherever a path inside it is used.
  if (folder.front() != '/') {
    if (const std::optional<std::string> current = CurrentFolder()) {
      folder = AbsolutePath(folder, *current);
    }
  }
  if (folder.back() != '/') folder.push_back('/');
  return folder;
}

namespace {

constexpr std::string_view kPrivateFolderPrefix = "kolbrin-";
constexpr std::size_t kPrivateFolderRandom = 6;  // the XXXXXX of mkdtemp

// Removes the private folders in `parent` that belong to this user and that no
// running program holds locked, once they are old enough not to be one that another
// program has just made and not yet locked.
void RemoveStalePrivateFolders(const std::string& parent) {
  const UniqueFd parentFd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!parentFd.valid()) return;
  DIR* listing = ::fdopendir(::dup(parentFd.get()));
  if (listing == nullptr) return;
  std::vector<std::string> stale;
  const time_t now = ::time(nullptr);
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view name(entry->d_name);
    if (!name.starts_with(kPrivateFolderPrefix) ||
        name.size() != kPrivateFolderPrefix.size() + kPrivateFolderRandom) {
      continue;
    }
    struct stat info {};
    if (::fstatat(parentFd.get(), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
        now - info.st_mtime < kPrivateFolderGraceSeconds) {
      continue;
    }
    const UniqueFd folder(::openat(parentFd.get(), entry->d_name,
                                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    // Locked by a running program: its folder, not ours to touch.
    if (!folder.valid() || ::flock(folder.get(), LOCK_EX | LOCK_NB) != 0) continue;
    stale.emplace_back(name);
  }
  ::closedir(listing);
  for (const std::string& name : stale) RemoveFolderTree(parent + name);
}

}  // namespace

std::optional<PrivateFolder> CreatePrivateFolder(const std::string& parent) {
  struct stat info {};
  if (::stat(parent.c_str(), &info) != 0) return std::nullopt;
  if ((info.st_mode & S_IWOTH) != 0 && (info.st_mode & S_ISVTX) == 0) return std::nullopt;
  RemoveStalePrivateFolders(parent);
  // mkdtemp makes the folder with mode 0700 and a random name, and fails rather
  // than reuse anything already there.
  std::string pattern = parent + std::string(kPrivateFolderPrefix) + "XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return std::nullopt;
  UniqueFd fd(::open(pattern.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid() || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    ::rmdir(pattern.c_str());
    return std::nullopt;
  }
  HoldFolder(fd.get(), pattern + "/");
  return PrivateFolder(pattern + "/", std::move(fd));
}

bool CreateFolders(const std::string& folder, mode_t mode) {
  if (folder.empty()) return false;
  // Each prefix that ends before a "/" (a leading one aside), then the whole path;
  // a prefix that is already a folder is passed.
  for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string prefix = folder.substr(0, slash);
    if (::mkdir(prefix.c_str(), mode) != 0 && !IsFolder(prefix)) return false;
    if (slash == std::string::npos) break;
  }
  return IsFolder(folder);
}

bool RemoveEmptyFolder(const std::string& path) { return Unlink(path, AT_REMOVEDIR); }

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

std::optional<std::string> CurrentFolder() {
  std::vector<char> buffer(4096);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return std::nullopt;
    buffer.resize(buffer.size() * 2);
  }
  return std::string(buffer.data());
}

std::string AbsolutePath(const std::string& path, const std::string& currentFolder) {
  if (!path.empty() && path.front() == '/') return path;
  if (!currentFolder.empty() && currentFolder.back() == '/') return currentFolder + path;
  return currentFolder + "/" + path;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string FileNameOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace kolbrin::platform
