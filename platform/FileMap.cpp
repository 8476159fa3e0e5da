#include "platform/FileMap.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>

#include "platform/Files.h"
#include "platform/HeldRanges.h"

namespace kolbrin::platform {
namespace {

// The held mappings, for the SIGBUS handler. A file that finds the table full is read
// instead.
constinit HeldRanges gHeld;

// Pages are brought in up to 2 * kScanLead ahead of the scan once it is within
// kScanLead of the last piece's end; FileText checks 256 KiB ahead of the scan, and
// that stays within the pages brought in. Pages are let go kScanTrail at a time once
// the scan is 2 * kScanTrail past the last ones let go. A hit's line, read back from
// the hit, is rarely that long, and reading it again would only be slower. Letting
// go costs about as much per call as per page (a TLB flush), so it is done in large
// pieces: in 2 MiB pieces it made a scan of a cached file a fifth slower.
constexpr std::size_t kScanLead = std::size_t{1} << 20;
constexpr std::size_t kScanTrail = std::size_t{16} << 20;

std::uintptr_t gPageSize = 4096;
struct sigaction gPreviousBusAction {};
std::once_flag gHandlerOnce;
bool gHandlerInstalled = false;

// Async-signal-safe: atomics, mmap and sigaction only.
extern "C" void OnBusError(int signal, siginfo_t* info, void* context) {
  const int savedErrno = errno;
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  const HeldRanges::Range range = gHeld.Find(address);
  if (range.begin != 0) {
    // The file ends before this page now (or cannot be read there): zero pages from
    // here to the end of the mapping, and the faulting access is retried on them.
    const std::uintptr_t page = address & ~(gPageSize - 1);
    void* zeros = ::mmap(reinterpret_cast<void*>(page), range.end - page, PROT_READ,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    errno = savedErrno;
    if (zeros != MAP_FAILED) return;
  }

  // Not a held mapping's: whatever was there before us decides.
  const struct sigaction& previous = gPreviousBusAction;
  if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
    previous.sa_sigaction(signal, info, context);
    return;
  }
  if ((previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler != SIG_DFL &&
      previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal);
    return;
  }
  const bool sent = info->si_code <= 0;  // by kill or raise, not by a fault
  if (sent && (previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler == SIG_IGN) return;
  // The default action: a fault happens again on return and ends the process, a sent
  // signal is sent again.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(SIGBUS, &fallback, nullptr);
  if (sent) ::raise(SIGBUS);
  errno = savedErrno;
}

bool InstallBusHandler() {
  std::call_once(gHandlerOnce, [] {
    gPageSize = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    if (::sigaction(SIGBUS, nullptr, &gPreviousBusAction) != 0) return;
    struct sigaction action {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    gHandlerInstalled = ::sigaction(SIGBUS, &action, nullptr) == 0;
  });
  return gHandlerInstalled;
}

std::size_t RoundUp(std::size_t size, std::size_t unit) { return (size + unit - 1) / unit * unit; }

// The bytes of an empty file: there must be a valid pointer, but nothing is read.
const unsigned char kNoBytes[1] = {0};

}  // namespace

FileMap::~FileMap() { Unmap(); }

UniqueFd FileMap::Open(const std::string& path) {
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

bool FileMap::Load(const std::string& path, std::size_t maxSize) {
  Clear();
  // The file type is checked on the open descriptor, so a swap after a stat cannot
  // fool it.
  const UniqueFd file = Open(path);
  if (!file.valid()) return false;
  const std::optional<std::size_t> regularSize = RegularFileSize(file.get(), maxSize);
  if (!regularSize) return false;
  const std::size_t expected = *regularSize;
  if (expected == 0) {
    data_ = kNoBytes;
    return true;
  }
  if (expected >= kMappedFileSize && Map(file.get(), expected)) return true;
  return Read(file.get(), expected);
}

void FileMap::Clear() {
  Unmap();
  data_ = nullptr;
  size_ = 0;
}

bool FileMap::Map(int fd, std::size_t size) {
  if (!InstallBusHandler()) return false;
  // Nothing is brought in yet (see FollowScan): populating the whole mapping here
  // would read all of a large file, and hold all of it in memory, before the scan
  // could begin, or be stopped.
  void* at = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (at == MAP_FAILED) return false;
  const std::size_t length = RoundUp(size, gPageSize);
  const auto begin = reinterpret_cast<std::uintptr_t>(at);
  const int slot = gHeld.Hold(begin, begin + length);
  if (slot < 0) {
    ::munmap(at, length);
    return false;
  }
  // Larger read-ahead from the file; a hint only.
  ::madvise(at, length, MADV_SEQUENTIAL);
  map_ = static_cast<unsigned char*>(at);
  mapLength_ = length;
  slot_ = slot;
  data_ = map_;
  size_ = size;
  populatedTo_ = 0;
  releasedTo_ = 0;
  followFrom_ = 0;
  followUntil_ = 0;
  return true;
}

void FileMap::Follow(std::size_t offset) {
  if (map_ == nullptr) return;
  const std::size_t page = gPageSize;
  offset = std::min(offset, mapLength_);
  if (offset < releasedTo_) {  // a new pass from further back
    releasedTo_ = 0;
    populatedTo_ = offset / page * page;
  }
  if (offset + kScanLead > populatedTo_ && populatedTo_ < mapLength_) {
    const std::size_t from = std::max(populatedTo_, offset / page * page);
    const std::size_t to = std::min(mapLength_, RoundUp(offset + 2 * kScanLead, page));
    // It fails where the system cannot populate on request, or when the file was cut
    // short: the pages then come in by faults, and the SIGBUS handler covers a cut.
    populatedTo_ = ::madvise(map_ + from, to - from, MADV_POPULATE_READ) == 0 ? to : mapLength_;
  }
  if (offset >= releasedTo_ + 2 * kScanTrail) {
    // Unchanged pages of a private file mapping: letting them go loses nothing, as
    // the next read maps the file's page again.
    const std::size_t to = (offset - kScanTrail) / page * page;
    ::madvise(map_ + releasedTo_, to - releasedTo_, MADV_DONTNEED);
    releasedTo_ = to;
  }
  followFrom_ = releasedTo_;
  std::size_t populateAt = SIZE_MAX;
  if (populatedTo_ < mapLength_)
    populateAt = populatedTo_ > kScanLead ? populatedTo_ - kScanLead + 1 : 0;
  followUntil_ = std::min(populateAt, releasedTo_ + 2 * kScanTrail);
}

bool FileMap::Read(int fd, std::size_t size) {
  unsigned char* const buffer = buffer_.Reserve(size == 0 ? 1 : size);
  if (buffer == nullptr) return false;
  const std::optional<std::size_t> got = ReadUpTo(fd, buffer, size);
  if (!got) return false;
  data_ = buffer;
  size_ = *got;
  return true;
}

void FileMap::Unmap() {
  if (map_ == nullptr) return;
  // Out of the handler's table before the range can be reused by another mapping.
  gHeld.Release(slot_);
  ::munmap(map_, mapLength_);
  map_ = nullptr;
  mapLength_ = 0;
  slot_ = -1;
  followFrom_ = 0;
  followUntil_ = SIZE_MAX;
}

}  // namespace kolbrin::platform
