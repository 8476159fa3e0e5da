#include "platform/FolderWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>

#include "platform/Files.h"
#include "platform/Text.h"
#include "platform/UniqueFd.h"

namespace kolbrin::platform {
namespace {

// O_NONBLOCK and O_DIRECTORY: a path that turns out to be a FIFO fails at once
// instead of waiting for a writer.
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

// Opens the folder `relative` below the open folder `root` without following a
// symbolic link on the way, so a folder swapped for a link while the walk runs is
// not entered. openat2 checks every part of the path; where the kernel lacks it
// (before Linux 5.6) or a sandbox refuses it, openat checks the last part.
UniqueFd OpenFolderBelow(int root, const std::string& relative) {
#ifdef SYS_openat2
  open_how how{};
  how.flags = kFolderFlags | O_NOFOLLOW;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH;
  const long fd = ::syscall(SYS_openat2, root, relative.c_str(), &how, sizeof how);
  if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return UniqueFd(static_cast<int>(fd));
#endif
  return UniqueFd(::openat(root, relative.c_str(), kFolderFlags | O_NOFOLLOW));
}

struct CloseFolder {
  void operator()(DIR* folder) const { ::closedir(folder); }
};

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// One folder of the walk: its path with a "/" after it and, once it is read, its
// files and folders ordered by their names, a folder's name taken with its "/".
struct Folder {
  struct Entry {
    std::string path;  // a folder's with a "/" after it
    Folder* folder;    // the folder's own record; null for a file
  };
  std::string path;
  std::vector<Entry> entries;
};

// The folders below one root, read by one or two threads at once: the reading of
// folders (system calls, mostly) is what a walk spends its time on.
class Walk {
 public:
  Walk(int root, std::size_t baseSize, const std::function<bool()>& stopRequested)
      : root_(root), baseSize_(baseSize), stopRequested_(stopRequested) {}

  void Start(std::string rootPath) {
    folders_.push_back(Folder{std::move(rootPath), {}});
    toRead_.push_back(&folders_.back());
  }

  // Reads folders until none is left, on every thread that calls it. The first
  // failure (no memory) stops both threads and is kept for RethrowFailure.
  void ReadFolders() noexcept {
    try {
      std::unique_lock lock(mutex_);
      for (;;) {
        changed_.wait(lock, [this] { return stopped_ || !toRead_.empty() || reading_ == 0; });
        if (stopped_ || toRead_.empty()) return;
        Folder& folder = *toRead_.back();
        toRead_.pop_back();
        ++reading_;
        lock.unlock();
        const bool stop = !Read(folder);
        lock.lock();
        --reading_;
        for (Folder::Entry& entry : folder.entries) {
          if (entry.path.back() != '/') {
            ++filesFound_;
            continue;
          }
          folders_.push_back(Folder{entry.path, {}});
          entry.folder = &folders_.back();
          toRead_.push_back(entry.folder);
        }
        if (stop) stopped_ = true;
        changed_.notify_all();
      }
    } catch (...) {
      const std::lock_guard lock(mutex_);
      if (!failure_) failure_ = std::current_exception();
      stopped_ = true;
      changed_.notify_all();
    }
  }

  void RethrowFailure() const {
    if (failure_) std::rethrow_exception(failure_);
  }

  // Appends the files, folder by folder in the order of the entries, each folder's
  // files in the place of its entry. Called once the readers have ended.
  void ListFiles(std::vector<std::string>& files) {
    // Room for them at once, growing as push_back would for a caller that walks many
    // folders into one list.
    const std::size_t needed = files.size() + filesFound_;
    if (needed > files.capacity()) files.reserve(std::max(needed, 2 * files.capacity()));
    // The folders entered and not yet left, each with its next entry.
    std::vector<std::pair<Folder*, std::size_t>> entered{{&folders_.front(), 0}};
    while (!entered.empty()) {
      auto& [folder, next] = entered.back();
      if (next == folder->entries.size()) {
        entered.pop_back();
        continue;
      }
      Folder::Entry& entry = folder->entries[next++];
      if (entry.folder == nullptr) {
        files.push_back(std::move(entry.path));
      } else {
        entered.emplace_back(entry.folder, 0);
      }
    }
  }

 private:
  // Reads one folder's entries and orders them; false when a stop was asked for.
  bool Read(Folder& folder) {
    // The root is open already; below it, the path from the root without its "/".
    const std::size_t below = folder.path.size() - baseSize_ - 1;
    UniqueFd fd = below == 0 ? UniqueFd(::dup(root_))
                             : OpenFolderBelow(root_, folder.path.substr(baseSize_ + 1, below - 1));
    if (!fd.valid()) return true;
    const std::unique_ptr<DIR, CloseFolder> stream(::fdopendir(fd.get()));
    if (stream == nullptr) return true;
    fd.Release();  // the stream's now
    const int folderFd = ::dirfd(stream.get());

    // A read that fails ends the folder as its end does.
    while (const dirent* entry = ::readdir(stream.get())) {
      if (stopRequested_()) return false;
      const char* name = entry->d_name;
      if (IsDotOrDotDot(name)) continue;
      unsigned char type = entry->d_type;
      struct stat status;
      if (type == DT_UNKNOWN) {
        if (::fstatat(folderFd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
        type = IFTODT(status.st_mode);
      }
      if (type == DT_LNK) {
        // Looked through only to see a regular file; a stat opens nothing, and a loop
        // fails with ELOOP.
        if (::fstatat(folderFd, name, &status, 0) != 0 || !S_ISREG(status.st_mode)) continue;
        type = DT_REG;
      }
      if (type == DT_REG) {
        folder.entries.push_back({folder.path + name, nullptr});
      } else if (type == DT_DIR) {
        folder.entries.push_back({folder.path + name + "/", nullptr});
      }
    }
    // Only the names are compared: the folder's path is the same in all of them.
    const std::size_t named = folder.path.size();
    std::sort(folder.entries.begin(), folder.entries.end(),
              [named](const Folder::Entry& a, const Folder::Entry& b) {
                return CompareTextOrdered(std::string_view(a.path).substr(named),
                                          std::string_view(b.path).substr(named)) < 0;
              });
    return true;
  }

  const int root_;
  const std::size_t baseSize_;
  const std::function<bool()>& stopRequested_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Folder> folders_;   // every folder found, the root first; never moved
  std::vector<Folder*> toRead_;  // found and not yet taken by a reader
  int reading_ = 0;              // folders being read
  std::size_t filesFound_ = 0;   // in the folders read
  bool stopped_ = false;
  std::exception_ptr failure_;
};

}  // namespace

bool ListFilesBelow(const std::string& path, std::vector<std::string>& files,
                    const std::function<bool()>& stopRequested) {
  const UniqueFd root(::open(path.c_str(), kFolderFlags));
  if (!root.valid()) {
    // Every file named lands here, and needs no second look-up; a folder that cannot
    // be opened is still a folder, passed over rather than searched as a file.
    return errno != ENOTDIR && IsFolder(path);
  }
  std::string base = path;
  while (!base.empty() && base.back() == '/') base.pop_back();

  Walk walk(root.get(), base.size(), stopRequested);
  walk.Start(base + "/");
  {
    // A second reader where there is a second processor; without one (or without a
    // thread to be had) the caller reads alone.
    std::thread helper;
    if (std::thread::hardware_concurrency() > 1) {
      try {
        helper = std::thread([&walk] { walk.ReadFolders(); });
      } catch (const std::system_error&) {
      }
    }
    walk.ReadFolders();
    if (helper.joinable()) helper.join();
  }
  walk.RethrowFailure();
  walk.ListFiles(files);
  return true;
}

}  // namespace kolbrin::platform
