// The parts of the archiver plug-ins that do not depend on which library they are
// built into: command lines, member names, reading archives through libarchive and
// writing members safely. Plugin.cpp binds them to one library's entries.
//
// Three libraries share them: LZH (libunlha32.so), ZIP (libunzip32.so) and the
// other kinds (libanyarc.so: 7z, RAR, tar and compressed tar, cpio, ISO 9660, CAB,
// and single compressed files), whose command lines and listed names take the ZIP
// library's form.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/UniqueFd.h"

struct archive;

namespace kolbrin::plugin {

enum class Format { Lzh, Zip, Any };

// The ZIP library's command-line switches and listed-name form (a TAB, and "*" for
// an encrypted member, after each name) are the other kinds' too.
constexpr bool TakesZipForm(Format format) { return format != Format::Lzh; }

// ---- Command lines ---------------------------------------------------------------

struct Command {
  std::string archive;
  std::string destination;
  std::vector<std::string> members;
  bool withFolders = false;
  bool hasPassword = false;
  std::string password;
};

// Parses an extraction command line of `format`'s library. False for anything that
// is not a complete extraction command.
bool ParseCommand(Format format, std::string_view line, Command& command);

// Whether the command's member token `token` names the member named `name`, as
// ListedName lists it. ZIP tokens may carry the TAB and "*" the program appends to
// listed names.
bool TokenNamesMember(Format format, std::string_view token, std::string_view name);

// The longest name the find record holds, its terminating zero after it (checked
// against ArchiverApi.h in Plugin.cpp).
inline constexpr std::size_t kLongestListedName = 533;

// The name a member is listed under: its own, or, when that is longer than
// kLongestListedName, "…/" and its copy name, which a flat extraction writes the
// same way.
std::string ListedName(std::string_view name);

// ---- Member names ----------------------------------------------------------------

bool IsValidUtf8(std::string_view text);

// A stored name as UTF-8: valid UTF-8 as it is, else Shift-JIS (CP932), else Latin-1.
std::string StoredNameToUtf8(std::string_view stored);

// Wide characters as UTF-8, for names libarchive only has in wide form.
std::string WideToUtf8(const wchar_t* wide);

// An LZH name read with libarchive's Latin-1 header charset: each wide character is a
// stored byte. Undoes libarchive's backslash-to-slash change inside Shift-JIS
// characters before decoding.
std::string LzhNameToUtf8(const wchar_t* latin1);

// The name of the one member of a single compressed file at `archivePath` (libarchive's
// "raw" format): the file's name without its compression extension (".gz", ".bz2",
// ".xz", ".zst", ".lz4", ".Z", any case), or with ".tar" for the short forms of a
// compressed tar (".tgz", ".tbz2", ".tbz", ".txz", ".tzst"), whose tar could not be
// read; a name without such an extension stays as it is.
std::string SingleMemberName(std::string_view archivePath);

// "*" and "?" (one character); "*.*" matches every name, also names without a dot.
bool MatchesWildcard(std::string_view pattern, std::string_view name);

// The folder components and the file name of `name` (the last element), or false when
// writing it could leave the destination folder: empty, absolute (also "C:"), or with
// a ".." component. "." and empty components are dropped.
bool SplitSafeName(std::string_view name, std::vector<std::string>& parts);

// ---- Reading ---------------------------------------------------------------------

// Makes the calling thread's character conversions UTF-8 for its lifetime; libarchive
// converts names through the thread's locale.
class Utf8LocaleScope {
 public:
  Utf8LocaleScope();
  ~Utf8LocaleScope();
  Utf8LocaleScope(const Utf8LocaleScope&) = delete;
  Utf8LocaleScope& operator=(const Utf8LocaleScope&) = delete;

 private:
  void* previous_ = nullptr;
};

// Frees the UTF-8 locale the scopes share, when the library is unloaded and no
// thread reads any more; a later scope would make it again.
void ReleaseUtf8Locale();

struct Member {
  std::string name;  // UTF-8
  bool regular = false;
  bool encrypted = false;
};

// One pass over an archive's members, in stored order.
class ArchiveReader {
 public:
  enum class Step { Member, End, Damaged };

  explicit ArchiveReader(Format format) : format_(format) {}
  ~ArchiveReader();
  ArchiveReader(const ArchiveReader&) = delete;
  ArchiveReader& operator=(const ArchiveReader&) = delete;

  // Opens `path` and reads the first header; false when the file is not a readable
  // archive of this format (for Format::Any: a file that no compression filter
  // decodes and no archive format reads). `password` may be null.
  bool Open(const std::string& path, const std::string* password);
  Step Next(Member& member);
  // The file as it was when opened.
  const struct stat& status() const { return status_; }
  // For reading the data of the member Next returned last.
  ::archive* raw() { return archive_; }
  bool untouched() const { return !consumedFirst_; }
  // Whether the archive file has been deleted since it was opened (the reader
  // still holds its space on the file system).
  bool fileDeleted() const;

 private:
  Step Read(Member& member);

  Format format_;
  std::string path_;
  platform::UniqueFd fd_;  // closed after the reader is freed
  ::archive* archive_ = nullptr;
  struct stat status_ {};
  bool emptyArchive_ = false;
  bool single_ = false;  // a single compressed file: its one member, then the end
  // RAR 5 only: which members are encrypted (Rar5EncryptedFiles), and how many
  // members have been read.
  std::vector<bool> rar5Encrypted_;
  std::size_t membersRead_ = 0;
  bool consumedFirst_ = false;
  Step firstStep_ = Step::End;
  Member first_;
  Step finalStep_ = Step::Member;  // End or Damaged once reached
};

// For each file header of the RAR 5 archive open at `fd`, in stored order, whether
// it belongs to an encrypted member: libarchive does not say so for RAR 5, and reads
// the encrypted bytes as the member's data. Stops at the first damage, so a list
// shorter than the members is possible.
std::vector<bool> Rar5EncryptedFiles(int fd);

// ---- Writing ---------------------------------------------------------------------

// Result codes are the interface's ARCHIVER_* values.
//
// Opens the destination folder, creating it and the folders above it when missing;
// no descriptor on failure.
platform::UniqueFd OpenDestination(const std::string& folder);

// What one member's writing may take: its decompressed bytes at most `sizeCap`
// (else ARCHIVER_TOO_LARGE) and at most `archiveRoom`, what its archive may still
// write (else ARCHIVER_OVER_ARCHIVE_CAP), and never the file system's free space
// below `reserve` bytes (ARCHIVER_DEFAULT_RESERVE: the smaller of 1 GiB and a
// twentieth of its size; else ARCHIVER_NO_ROOM). A byte is never written past
// either cap. `stop` (may be null) is the program's stop flag: nonzero ends the
// writing with ARCHIVER_STOPPED; it is looked at before each piece of at most
// 64 KiB.
struct WriteLimits {
  std::uint64_t sizeCap = 0;
  std::uint64_t reserve = 0;
  std::uint64_t archiveRoom = UINT64_MAX;
  const int* stop = nullptr;
};

// Whether the program's stop flag `stop` (may be null) is set; read atomically, as
// another thread sets it.
inline bool StopRequested(const int* stop) {
  return stop != nullptr && __atomic_load_n(stop, __ATOMIC_RELAXED) != 0;
}

// What the last look at the free space allows to be written before the next look:
// at most 1 MiB, for at most a second, carried from one member to the next when they
// go into one folder, so that thousands of small members cost one look a MiB, not
// one each. Reset (default) when the folder changes.
struct ReserveWatch {
  std::uint64_t allowance = 0;
  std::uint64_t reserve = 0;  // the reserve it was looked at for
  std::chrono::steady_clock::time_point lookedAt{};
};

// What of a member's data has been read already (ahead of the command that writes
// it): `bytes`, which are all of it when `whole`; `failed` when reading it failed.
struct MemberData {
  std::string_view bytes;
  bool whole = false;
  bool failed = false;
};

// Writes the data of a member into `destination` (a folder fd): `read`, then the rest
// from `reader` (positioned on the rest of that member's data; may be null when
// `read` is whole), under `parts`: its folder components, then its file name, which
// is the only one used when `withFolders` is false. Never goes through a symbolic
// link. Replaces a file (or a link) of the same name; leaves no file on failure.
// `watch` (may be null) carries the look at the free space to the next member written
// into the same folder; it is not used with folders, which may be other file systems.
// `written` receives the bytes written, also those of a member that failed.
int WriteMember(::archive* reader, const MemberData& read, int destination,
                const std::vector<std::string>& parts, bool withFolders, const WriteLimits& limits,
                ReserveWatch* watch, std::uint64_t& written);

// Opens (creating each when missing) the folder `relative` below the open folder
// `base`, every step relative to the one before and never through a symbolic link:
// "." and empty steps stay where they are, ".." or an absolute path fail with
// ARCHIVER_UNSAFE_NAME. ARCHIVER_OK with `opened` set to the folder: `base` itself
// when `relative` names no step below it (`folder` then stays empty), else the
// folder opened into `folder`; or the failure code.
int OpenFolderBelow(int base, std::string_view relative, platform::UniqueFd& folder, int& opened);

}  // namespace kolbrin::plugin
