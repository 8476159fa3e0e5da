// Which members of a RAR 5 archive are encrypted. libarchive reads the headers of
// such a member but ignores its encryption record, and hands out the encrypted
// bytes as its data; the headers are walked here to find those records.
//
// A RAR 5 archive is its signature, then blocks: a CRC32 (4 bytes), the header's
// size (a variable-length number), the header, then the data area the header
// announces. A header starts with its type and flags; flag 0x01 announces an extra
// area (its size follows), flag 0x02 a data area (its size follows). The extra area
// takes the header's last bytes and holds records, each its size, its type and its
// fields; a file header (type 2) whose extra area holds a record of type 1 belongs
// to an encrypted member. Numbers are 7 bits a byte, low bits first, the high bit
// saying that another byte follows.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "plugins/PluginCore.h"

namespace kolbrin::plugin {
namespace {

constexpr std::array<unsigned char, 8> kSignature = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x01, 0x00};
// How far into the file the signature is looked for (a self-extracting program
// comes before it).
constexpr std::size_t kSignatureSearch = 1 << 20;
// Headers are at most 2 MiB; a larger size is damage.
constexpr std::uint64_t kLargestHeader = 2 << 20;
constexpr std::size_t kLongestNumber = 10;  // bytes of a 64-bit variable-length number
constexpr std::uint64_t kFileHeader = 2;
constexpr std::uint64_t kArchiveEncryptionHeader = 4;
constexpr std::uint64_t kEndOfArchive = 5;
constexpr std::uint64_t kEncryptionRecord = 1;
constexpr std::uint64_t kHasExtraArea = 0x01;
constexpr std::uint64_t kHasDataArea = 0x02;

// Reads variable-length numbers from a span of bytes; a number that runs past the
// end fails.
class Numbers {
 public:
  Numbers(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}

  std::optional<std::uint64_t> Next() {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < kLongestNumber && at_ < size_; ++i) {
      const unsigned char byte = data_[at_++];
      value |= static_cast<std::uint64_t>(byte & 0x7F) << (7 * i);
      if ((byte & 0x80) == 0) return value;
    }
    return std::nullopt;
  }
  std::size_t at() const { return at_; }

 private:
  const unsigned char* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// Whether the extra area `extra` holds an encryption record.
bool HoldsEncryptionRecord(const unsigned char* extra, std::size_t size) {
  std::size_t at = 0;
  while (at < size) {
    Numbers numbers(extra + at, size - at);
    const std::optional<std::uint64_t> recordSize = numbers.Next();
    if (!recordSize || *recordSize == 0) return false;
    const std::size_t sizeBytes = numbers.at();
    const std::optional<std::uint64_t> type = numbers.Next();
    if (!type) return false;
    if (*type == kEncryptionRecord) return true;
    if (*recordSize > size - at - sizeBytes) return false;
    at += sizeBytes + static_cast<std::size_t>(*recordSize);
  }
  return false;
}

std::optional<std::uint64_t> SignatureEnd(int fd) {
  std::vector<unsigned char> head(kSignatureSearch);
  const ssize_t got = ::pread(fd, head.data(), head.size(), 0);
  if (got < static_cast<ssize_t>(kSignature.size())) return std::nullopt;
  const auto end = head.begin() + got;
  const auto found = std::search(head.begin(), end, kSignature.begin(), kSignature.end());
  if (found == end) return std::nullopt;
  return static_cast<std::uint64_t>(found - head.begin()) + kSignature.size();
}

}  // namespace

std::vector<bool> Rar5EncryptedFiles(int fd) {
  std::vector<bool> encrypted;
  struct stat status {};
  if (::fstat(fd, &status) != 0) return encrypted;
  const auto fileSize = static_cast<std::uint64_t>(status.st_size);
  const std::optional<std::uint64_t> start = SignatureEnd(fd);
  if (!start) return encrypted;
  std::vector<unsigned char> header;
  for (std::uint64_t at = *start; at < fileSize;) {
    // The CRC, then the header's size.
    unsigned char prefix[4 + kLongestNumber] = {};
    const ssize_t got = ::pread(fd, prefix, sizeof prefix, static_cast<off_t>(at));
    if (got <= 4) break;
    Numbers sizeField(prefix + 4, static_cast<std::size_t>(got) - 4);
    const std::optional<std::uint64_t> headerSize = sizeField.Next();
    if (!headerSize || *headerSize == 0 || *headerSize > kLargestHeader) break;
    const std::uint64_t headerAt = at + 4 + sizeField.at();
    header.resize(static_cast<std::size_t>(*headerSize));
    if (::pread(fd, header.data(), header.size(), static_cast<off_t>(headerAt)) !=
        static_cast<ssize_t>(header.size())) {
      break;
    }
    Numbers fields(header.data(), header.size());
    const std::optional<std::uint64_t> type = fields.Next();
    const std::optional<std::uint64_t> flags = fields.Next();
    if (!type || !flags) break;
    std::uint64_t extraSize = 0;
    std::uint64_t dataSize = 0;
    if ((*flags & kHasExtraArea) != 0) {
      const std::optional<std::uint64_t> value = fields.Next();
      if (!value || *value > header.size()) break;
      extraSize = *value;
    }
    if ((*flags & kHasDataArea) != 0) {
      const std::optional<std::uint64_t> value = fields.Next();
      if (!value) break;
      dataSize = *value;
    }
    if (*type == kArchiveEncryptionHeader || *type == kEndOfArchive) break;
    if (*type == kFileHeader) {
      const std::size_t extraAt = header.size() - static_cast<std::size_t>(extraSize);
      encrypted.push_back(
          HoldsEncryptionRecord(header.data() + extraAt, static_cast<std::size_t>(extraSize)));
    }
    const std::uint64_t next = headerAt + *headerSize;
    if (dataSize > fileSize - std::min(next, fileSize)) break;
    at = next + dataSize;
  }
  return encrypted;
}

}  // namespace kolbrin::plugin
