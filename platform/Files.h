// File access for the engine: whole-file reading, the folder test, deletion and
// the temporary folder. No function here blocks on a FIFO, device or socket.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace kolbrin::platform {

// The bytes of one whole file, held in memory. Reloading discards the previous
// contents first, so at most one file is held at a time.
class FileBytes {
 public:
  // Reads the whole regular file at `path`. Returns false, and holds nothing, when
  // it cannot be opened or read, is not a regular file (a FIFO, device, socket or
  // folder), is larger than `maxSize`, or does not fit in memory.
  bool Load(const std::string& path, std::size_t maxSize);
  void Clear();

  const unsigned char* data() const { return data_.get(); }
  std::size_t size() const { return size_; }

 private:
  std::unique_ptr<unsigned char[]> data_;
  std::size_t size_ = 0;
};

// True when `path` exists and is a folder (symbolic links followed).
bool IsFolder(const std::string& path);

// True unless nothing at all is at `path` (a link is not followed; a path that
// cannot be looked at counts as taken).
bool NameTaken(const std::string& path);

// Deletes one file (not a folder). Returns false when nothing was deleted.
bool DeleteFile(const std::string& path);

// The folder for temporary files: $TEMP, else $TMPDIR, else /tmp, always ending in "/".
std::string TempDirectory();

// Creates a new folder inside `parent` (which ends in "/") that only this user
// can enter, under a name no one can predict. Returns its path ending in "/", or
// an empty text when it cannot be created.
std::string CreatePrivateFolder(const std::string& parent);

// Removes `path` if it is an empty folder; false otherwise.
bool RemoveEmptyFolder(const std::string& path);

// Removes the folder `path` and everything in it, symbolic links included but never
// followed. True when `path` is gone, also when it was already missing or when
// another thread removes parts of it at the same time; false when it remains.
// Allocates no memory and takes no lock, so it works while another thread is held
// in the middle of malloc (see WorkerThread::HoldForExit).
bool RemoveFolderTree(const std::string& path);

// The process's current folder, without a trailing "/" (except for the root
// itself); empty when it cannot be determined.
std::string CurrentFolder();

}  // namespace kolbrin::platform
