// One file read from its start to its end, a piece at a time, into a buffer the
// caller owns and reuses: nothing is mapped, and the memory a search needs does not
// grow with the file. The same files open, and the same ones are refused, as with
// FileBytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/UniqueFd.h"

namespace kolbrin::platform {

// Reads one file at a time. Every call comes from one thread.
class FileReader {
 public:
  // Opens the regular file at `path` and puts the reading position at its start,
  // closing the file opened before. False, with nothing open, when it cannot be
  // opened or is no regular file (a FIFO, device, socket or folder; none of them is
  // waited on).
  bool Open(const std::string& path);
  void Close();

  // Reads on from the reading position into buffer[0, size): how many bytes came,
  // fewer than `size` only at the end of the file (0 there). A file that shrinks is
  // read as far as it goes and one that grows as far as it has grown when the read
  // reaches its new bytes; a read that fails ends the file there, what was read
  // before stays read.
  std::size_t Read(unsigned char* buffer, std::size_t size);
  // The same from `offset`, leaving the reading position where it is.
  std::size_t ReadAt(std::uint64_t offset, unsigned char* buffer, std::size_t size) const;
  // Moves the reading position, as for a new pass from the start.
  void Seek(std::uint64_t offset) { position_ = offset; }

  // The file's size when it was opened: a hint, as the file may change.
  std::uint64_t openedSize() const { return openedSize_; }

 private:
  UniqueFd OpenInFolder(const std::string& path);

  UniqueFd file_;
  std::uint64_t position_ = 0;
  std::uint64_t openedSize_ = 0;
  std::string folder_;  // the folder of the file opened last
  UniqueFd folderFd_;   // and that folder, held open once a second file came from it
};

}  // namespace kolbrin::platform
