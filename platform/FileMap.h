// Whole-file bytes for the scanner without a copy where that pays: a large regular
// file is mapped read-only, a small one is read into a buffer kept and reused from
// file to file. The same files load, and the same ones are refused, as with FileBytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/PageBuffer.h"
#include "platform/UniqueFd.h"

namespace kolbrin::platform {

// Files of at least this many bytes are mapped; smaller ones are read, as a mapping
// costs more than a copy for them.
inline constexpr std::size_t kMappedFileSize = std::size_t{1} << 20;

// The bytes of one whole file. Reloading releases the previous file first, so at
// most one is held at a time; the read buffer only ever grows.
//
// A mapped file that is truncated while it is held reads as zero bytes past its new
// end instead of raising SIGBUS: a process-wide SIGBUS handler, installed with the
// first mapping, replaces the faulting pages of a held mapping with zero pages and
// passes every other SIGBUS on to the handler that was there before.
//
// A mapped file's pages are not brought in when it loads, so loading a file of any
// size takes no time and no memory; they come in as they are read, and as FollowScan
// asks for them.
class FileMap {
 public:
  FileMap() = default;
  ~FileMap();
  FileMap(const FileMap&) = delete;
  FileMap& operator=(const FileMap&) = delete;

  // Loads the whole regular file at `path`. Returns false, and holds nothing, when it
  // cannot be opened or read, is not a regular file (a FIFO, device, socket or
  // folder; none of them is waited on), is larger than `maxSize`, or does not fit in
  // memory.
  bool Load(const std::string& path, std::size_t maxSize);
  // Releases the file; the read buffer stays for the next one.
  void Clear();

  // Tells the file held where a scan moving forward through it has got to, so that
  // memory follows the scan: when mapped, the pages up to 2 MiB ahead of `offset`
  // are brought in a piece at a time (one call instead of a fault every few pages),
  // and those more than 16 to 32 MiB behind are let go. Any byte may still
  // be read: a page let go comes back from the file. A smaller offset than before
  // starts over from there. Cheap enough to call for every chunk scanned.
  void FollowScan(std::size_t offset) {
    if (offset < followFrom_ || offset >= followUntil_) Follow(offset);
  }

  const unsigned char* data() const { return data_; }
  std::size_t size() const { return size_; }
  // True while the file held is mapped rather than read.
  bool mapped() const { return map_ != nullptr; }

 private:
  UniqueFd Open(const std::string& path);
  bool Map(int fd, std::size_t size);
  bool Read(int fd, std::size_t size);
  void Unmap();
  void Follow(std::size_t offset);

  const unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
  unsigned char* map_ = nullptr;  // the mapping, when the file is mapped
  std::size_t mapLength_ = 0;
  int slot_ = -1;                // the mapping's entry in the SIGBUS handler's table
  std::size_t populatedTo_ = 0;  // the mapping's pages before this were brought in
  std::size_t releasedTo_ = 0;   // and those before this let go
  // FollowScan has nothing to do for offsets in [followFrom_, followUntil_).
  std::size_t followFrom_ = 0;
  std::size_t followUntil_ = SIZE_MAX;
  PageBuffer buffer_;   // the reused read buffer
  std::string folder_;  // the folder of the file loaded last
  UniqueFd folderFd_;   // and that folder, held open once a second file came from it
};

}  // namespace kolbrin::platform
