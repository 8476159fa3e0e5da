#include "platform/FileReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string_view>

#include "platform/Files.h"

namespace kolbrin::platform {

UniqueFd FileReader::OpenInFolder(const std::string& path) {
  // O_NONBLOCK keeps the open itself from waiting on a FIFO without a writer.
  constexpr int kFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0 || slash + 1 == path.size()) {
    return UniqueFd(::open(path.c_str(), kFlags));
  }
  // Files of one folder usually come one after the other. From the second of them
  // on, the name is opened in the folder held open, so the folder's own path is not
  // walked again for each file.
  const std::string_view folder(path.data(), slash);
  if (folder != folder_) {
    folderFd_.Reset();
    folder_.assign(folder);
    return UniqueFd(::open(path.c_str(), kFlags));
  }
  if (!folderFd_.valid())
    folderFd_.Reset(::open(folder_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (folderFd_.valid()) {
    UniqueFd file(::openat(folderFd_.get(), path.c_str() + slash + 1, kFlags));
    if (file.valid() || errno != ENOENT) return file;
    // The folder may have been removed or replaced since it was opened: the path decides.
    folderFd_.Reset();
  }
  return UniqueFd(::open(path.c_str(), kFlags));
}

bool FileReader::Open(const std::string& path) {
  Close();
  // A member's copy is read from the private folder held open, not through its path.
  std::optional<UniqueFd> held =
      OpenInPrivateFolder(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  UniqueFd file = held ? std::move(*held) : OpenInFolder(path);
  if (!file.valid()) return false;
  // The type is checked on the open descriptor, so a swap after a stat cannot fool it.
  struct stat info {};
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) return false;
  // A hint for a larger read-ahead; the file is read from start to end. A small file
  // is read in one go anyway.
  if (info.st_size > (off_t{1} << 20)) ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  file_ = std::move(file);
  openedSize_ = static_cast<std::uint64_t>(info.st_size);
  return true;
}

void FileReader::Close() {
  file_.Reset();
  position_ = 0;
  openedSize_ = 0;
}

std::size_t FileReader::Read(unsigned char* buffer, std::size_t size) {
  const std::size_t got = ReadAt(position_, buffer, size);
  position_ += got;
  return got;
}

std::size_t FileReader::ReadAt(std::uint64_t offset, unsigned char* buffer,
                               std::size_t size) const {
  if (!file_.valid()) return 0;
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n =
        ::pread(file_.get(), buffer + got, size - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
    // A short read at the size the file had is its end: no read more to hear so.
    if (offset + got >= openedSize_) break;
  }
  return got;
}

}  // namespace kolbrin::platform
