// File access for the engine and the archiver plug-ins: whole-file reading, the
// read and write loops over a descriptor, the folder and existence tests, making
// and deleting folders and files, the temporary folder, the current folder, and
// the split of a path into folder and file name. No function here blocks on a
// FIFO, device or socket.
//
// Built on its own, position-independent and needing nothing else of ours, so
// that the plug-ins link it without linking the rest of platform/.
//
// A value that may be missing comes as std::optional; an action that only
// succeeds or fails says so with bool.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/UniqueFd.h"

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

// The size of the file open at `fd`, checked on the descriptor itself so that a
// swap after a stat cannot fool it; nothing when it is no regular file (a folder, a
// FIFO, a device) or is larger than `maxSize`.
std::optional<std::size_t> RegularFileSize(int fd, std::size_t maxSize);

// Writes all of `bytes` to `fd`, resuming after interruptions and short writes.
// False on the first write that fails or writes nothing; how much was written by
// then is unknown.
bool WriteAll(int fd, std::string_view bytes);

// Reads from `fd` into `buffer` until `size` bytes are in or the file ends: the
// number of bytes read, smaller only at the end of the file (a file that shrinks
// while it is read is taken as far as it goes; bytes appended meanwhile are not
// waited for). Nothing when a read fails.
std::optional<std::size_t> ReadUpTo(int fd, unsigned char* buffer, std::size_t size);

// True when `path` exists and is a folder (symbolic links followed).
bool IsFolder(const std::string& path);

// True when something is at `path` that can be looked at (symbolic links followed:
// a dangling link does not exist).
bool Exists(const std::string& path);

// True unless nothing at all is at `path` (a link is not followed; a path that
// cannot be looked at counts as taken).
bool NameTaken(const std::string& path);

// Deletes one file (not a folder). Returns false when nothing was deleted. A path
// inside a living PrivateFolder (by its text, see WithHeldPlace) is deleted
// relative to the folder's held descriptor, each folder step opened without
// following a link: were the folder's path swapped for a link meanwhile, nothing
// outside the folder is deleted.
bool DeleteFile(const std::string& path);

// The folder for temporary files: $TEMP, else $TMPDIR, else /tmp, made absolute from
// the current folder when relative, always ending in "/".
std::string TempDirectory();

// A folder of the program's own inside TEMP, where archive members are extracted:
// only this user can enter it, its name cannot be predicted, and it is held open
// and locked (flock) for as long as the object lives, so that another instance can
// tell it from one left behind by a program that has ended. Removing the folder is
// the owner's business; the object only closes its descriptor.
class PrivateFolder {
 public:
  PrivateFolder(PrivateFolder&& other) noexcept = default;
  PrivateFolder& operator=(PrivateFolder&& other) noexcept;
  ~PrivateFolder();

  const std::string& path() const { return path_; }  // ends in "/"
  int fd() const { return fd_.get(); }               // the folder, open and locked

 private:
  friend std::optional<PrivateFolder> CreatePrivateFolder(const std::string& parent);
  PrivateFolder(std::string path, UniqueFd fd) : path_(std::move(path)), fd_(std::move(fd)) {}
  std::string path_;
  UniqueFd fd_;
};

// Creates a private folder inside `parent` (which ends in "/"); nothing when it
// cannot be created, or when `parent` is writable by everyone without the sticky
// bit (anyone could rename the folder away and put a link in its place). First
// removes this user's private folders in `parent` that no running program holds
// (one killed, say), once they are kPrivateFolderGraceSeconds old: a folder another
// program is making this moment is not yet locked.
std::optional<PrivateFolder> CreatePrivateFolder(const std::string& parent);
inline constexpr int kPrivateFolderGraceSeconds = 10;

// Runs `use` with the descriptor of the PrivateFolder that holds `path` (its text
// starts with the path of a PrivateFolder that lives in this process) and the rest
// of the path relative to it, beginning "./" ("./" for the folder itself, "./2/" for
// its folder "2", "./2/a.txt" for a file in it); false, without running `use`, when
// no living private folder holds it. Lets the copies be written and deleted
// relative to the folder the program holds open, never through its path, which
// another process could rename away and replace by a link. The descriptor stays
// open while `use` runs and is not `use`'s to close; `use` must not call this (or
// the functions below that use it) itself. Any thread, several at once.
bool WithHeldPlace(const std::string& path,
                   const std::function<void(int folder, const std::string& relative)>& use);

// The size of the file at `path` (a link is not followed); nothing when it cannot be
// looked at. Inside a living private folder it is looked at relative to the folder
// held open (see WithHeldPlace), which spares walking the folder's own path.
std::optional<std::uint64_t> FileSizeOf(const std::string& path);

// Opens the file at `path` with `flags` (open's) relative to the private folder that
// holds it (see WithHeldPlace), each step without following a link, the file
// itself included: an invalid descriptor when that fails. Nothing when `path` lies
// in no living private folder, and the caller opens it by its path. So a member's
// copy is read from the folder it was written to.
std::optional<UniqueFd> OpenInPrivateFolder(const std::string& path, int flags);

// Creates the folder `folder` and every missing folder above it, each with `mode`
// (less the umask). True when `folder` is a folder afterwards, also when it was
// there before; false when a part of the path cannot be made a folder, or the path
// is empty.
bool CreateFolders(const std::string& folder, mode_t mode);

// Removes `path` if it is an empty folder; false otherwise. Inside a living
// PrivateFolder, relative to its descriptor, as DeleteFile.
bool RemoveEmptyFolder(const std::string& path);

// Removes the folder `path` and everything in it, symbolic links included but never
// followed. True when `path` is gone, also when it was already missing or when
// another thread removes parts of it at the same time; false when it remains.
// Allocates no memory and takes no lock, so it works while another thread is held
// in the middle of malloc (see WorkerThread::HoldForExit).
bool RemoveFolderTree(const std::string& path);

// The process's current folder, without a trailing "/" (except for the root
// itself); nothing when it cannot be determined (it was removed, or a folder above
// it cannot be read), and then only the caller knows what a relative path should
// mean.
std::optional<std::string> CurrentFolder();

// `path` made absolute by putting `currentFolder` (absolute, as CurrentFolder gives
// it) in front of a relative one; nothing else is normalised.
std::string AbsolutePath(const std::string& path, const std::string& currentFolder);

// The folder part of `path`: up to and including its last "/", empty when it has
// none. FolderOf(path) + FileNameOf(path) is always `path`. Pure text.
std::string FolderOf(const std::string& path);
// The part of `path` after its last "/" (all of it when it has none). Pure text.
std::string FileNameOf(const std::string& path);

}  // namespace kolbrin::platform
