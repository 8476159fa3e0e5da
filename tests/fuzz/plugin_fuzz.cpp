// libFuzzer target: arbitrary bytes read by the three archiver plug-ins, linked in:
// as an LZH, as a ZIP and as any of the other kinds (7z, RAR, tar, cpio, ISO 9660,
// CAB, single compressed files). Each library checks and opens the file, lists every
// member twice, then extracts each listed member flat, one command each, and all of
// them with their folders in one command, under a 1 MiB member size cap; the command
// lines are the program's own (LzhCommandLine, ZipCommandLine, which the other kinds
// take too).
//
// Aborts when the libraries disagree with themselves (check against open, first
// listing against the second), when a listed name is not terminated inside the
// find record, when anything is written outside the destination folder, when a
// file passes the cap or is not a regular file, or when a flat extraction leaves
// anything but its one file (nothing at all after a failure: no partial file).
//
// Seeds: tests/fuzz/corpus-plugins/. The lh*-level*.lzh and sjis-level*.lzh are
// copies of tests/fixtures/lzh/; empty.lzh is the end mark alone (one zero byte);
// the others were written by WriteZip and WriteStoredLzh (tests/ArchiveFixtures.h):
//   zip-folders.zip     a.txt, docs/ (a folder entry), docs/notes.txt, docs/deeper/b.txt
//   zip-hostile.zip     ../up.txt, /abs.txt, dir/../../up2.txt, C:/drive.txt, link (a
//                       symbolic link to /tmp), "with space.txt", "\"quoted\" name.txt",
//                       f1/same.txt, f2/same.txt, "tab\tname.txt"
//   zip-encrypted.zip   secret.txt encrypted with the password "kolbrin", plain.txt
//   zip-sjis.zip        two Shift-JIS names without the UTF-8 flag, one in a folder
//   zip-over-cap.zip    zeros.bin, 1.5 MiB of zero bytes
//   lzh-stored-level{0,1,2}.lzh  a.txt, dir/ (a folder), dir/sub/b.txt, ../up.txt,
//                       link (a symbolic link to a.txt), "with space.txt"
// and for the other kinds, each holding a.txt, dir/b.txt and ../up.txt (the CAB only
// the first two; made with Debian's bsdtar, gzip, zstd, compress and gcab; the RAR
// files are tests/fixtures/rar/'s; ISO 9660 is left out, as its smallest image
// passes the 16 KiB inputs the fuzzer is run with):
//   other.tar.gz, other.tar.zst, other.7z, other.cpio, other.cab, stored4.rar,
//   stored5.rar, single.txt.gz, single.txt.Z
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "archive/Archive.h"
#include "archive/ArchiverApi.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kSizeCap = 1 << 20;
// Enough for every seed; more would only slow each input down.
constexpr std::size_t kMostMembers = 64;
constexpr std::size_t kMostFlatExtractions = 16;
const char kPassword[] = "kolbrin";

struct Library {
  const char* name;
  bool zip;
  decltype(&UnlhaCheckArchive) CheckArchive;
  decltype(&UnlhaOpenArchive) OpenArchive;
  decltype(&UnlhaCloseArchive) CloseArchive;
  decltype(&UnlhaFindFirst) FindFirst;
  decltype(&UnlhaFindNext) FindNext;
  decltype(&UnlhaGetRunning) GetRunning;
  decltype(&Unlha) Command;
  decltype(&UnZipGetAttribute) GetAttribute;  // ZIP and the other kinds
};

const Library kLibraries[] = {
    {"LZH", false, UnlhaCheckArchive, UnlhaOpenArchive, UnlhaCloseArchive, UnlhaFindFirst,
     UnlhaFindNext, UnlhaGetRunning, Unlha, nullptr},
    {"ZIP", true, UnZipCheckArchive, UnZipOpenArchive, UnZipCloseArchive, UnZipFindFirst,
     UnZipFindNext, UnZipGetRunning, UnZip, UnZipGetAttribute},
    {"AnyArc", true, AnyArcCheckArchive, AnyArcOpenArchive, AnyArcCloseArchive, AnyArcFindFirst,
     AnyArcFindNext, AnyArcGetRunning, AnyArc, AnyArcGetAttribute},
};

// The private folder: <root>/archive is the input, <root>/a/b/out the destination,
// so that a member escaping by up to three ".." still lands where the checks see it.
struct Folders {
  fs::path root;
  fs::path archive;
  fs::path destination;
};

const Folders& TheFolders() {
  static const Folders folders = [] {
    std::string pattern = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    pattern += "/kolbrin-plugin-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    Folders made{pattern, fs::path(pattern) / "archive", fs::path(pattern) / "a" / "b" / "out"};
    fs::create_directories(made.destination);
    return made;
  }();
  return folders;
}

[[noreturn]] void Fail(const Library& library, const std::string& what) {
  std::fprintf(stderr, "%s library: %s\n", library.name, what.c_str());
  std::abort();
}

std::set<std::string> Entries(const fs::path& folder) {
  std::set<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// Nothing beside the archive and the destination's folders, and inside the
// destination only folders and regular files within the cap.
void CheckWritten(const Library& library, const std::string& command) {
  const Folders& folders = TheFolders();
  const std::pair<fs::path, std::set<std::string>> expected[] = {
      {folders.root, {"archive", "a"}},
      {folders.root / "a", {"b"}},
      {folders.root / "a" / "b", {"out"}},
  };
  for (const auto& [folder, names] : expected) {
    if (Entries(folder) != names) Fail(library, "wrote outside the destination: " + command);
  }
  std::error_code error;
  for (fs::recursive_directory_iterator it(folders.destination, error), end; !error && it != end;
       it.increment(error)) {
    const fs::file_status status = it->symlink_status();
    if (fs::is_directory(status)) continue;
    if (!fs::is_regular_file(status)) Fail(library, "wrote a non-file: " + command);
    if (fs::file_size(it->path(), error) > kSizeCap) Fail(library, "passed the cap: " + command);
  }
}

void EmptyDestination() {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(TheFolders().destination, error)) {
    fs::remove_all(entry.path(), error);
  }
}

// The names as the program lists them: ZIP names end in a TAB, and "*" when encrypted.
std::vector<std::string> List(const Library& library, ARCHIVER_HANDLE archive) {
  std::vector<std::string> names;
  unsigned char record[ARCHIVER_FIND_RECORD_SIZE];
  std::memset(record, 0xFF, sizeof record);
  for (int result = library.FindFirst(archive, "*.*", record);
       result == ARCHIVER_OK && names.size() < kMostMembers;
       result = library.FindNext(archive, record)) {
    const char* name = reinterpret_cast<const char*>(record + ARCHIVER_NAME_OFFSET);
    const std::size_t room = sizeof record - ARCHIVER_NAME_OFFSET;
    const std::size_t length = ::strnlen(name, room);
    if (length == room) Fail(library, "a listed name is not terminated in the record");
    if (length == 0) Fail(library, "listed an empty name");
    std::string entry(name, length);
    if (library.zip) {
      const int attribute = library.GetAttribute(archive);
      if (attribute < 0) Fail(library, "no attribute for a listed member");
      entry += '\t';
      if ((attribute & ARCHIVER_ENCRYPTED) != 0) entry += '*';
    }
    names.push_back(std::move(entry));
    std::memset(record, 0xFF, sizeof record);
  }
  return names;
}

std::string CommandLine(const Library& library, const std::vector<std::string>& members,
                        const kolbrin::ZipOption& options) {
  const std::string archive = TheFolders().archive.string();
  const std::string destination = TheFolders().destination.string();
  return library.zip ? kolbrin::ZipCommandLine(archive, members, destination, options)
                     : kolbrin::LzhCommandLine(archive, members, destination, options);
}

int Run(const Library& library, const std::string& command) {
  if (library.GetRunning() != 0) Fail(library, "running before a command");
  char output[200];
  std::memset(output, 0xFF, sizeof output);
  const int result = library.Command(nullptr, command.c_str(), output, sizeof output);
  if (::strnlen(output, sizeof output) == sizeof output) Fail(library, "unterminated message");
  CheckWritten(library, command);
  return result;
}

void Exercise(const Library& library) {
  const std::string path = TheFolders().archive.string();
  const bool isArchive = library.CheckArchive(path.c_str(), 0) != 0;
  const ARCHIVER_HANDLE archive = library.OpenArchive(nullptr, path.c_str(), 0);
  if (isArchive != (archive != nullptr)) Fail(library, "check and open disagree");
  if (archive == nullptr) return;
  const std::vector<std::string> members = List(library, archive);
  // The second FindFirst reads the archive again from its start.
  if (List(library, archive) != members) Fail(library, "two listings differ");
  if (library.CloseArchive(archive) != ARCHIVER_OK) Fail(library, "close failed");

  kolbrin::ZipOption flat;
  for (std::size_t i = 0; i < members.size() && i < kMostFlatExtractions; ++i) {
    const std::string command = CommandLine(library, {members[i]}, flat);
    const int result = Run(library, command);
    const std::set<std::string> written = Entries(TheFolders().destination);
    // The program quotes a name with a blank as a whole, and a quote followed by a
    // blank inside it closes the quoted run early: the command then names other
    // members, which may be there and be written.
    const bool splitName = members[i].find("\" ") != std::string::npos;
    const bool expected =
        splitName || (result == ARCHIVER_OK
                          ? written.size() == 1 && fs::is_regular_file(fs::symlink_status(
                                                       TheFolders().destination / *written.begin()))
                          : written.empty());
    if (!expected) {
      Fail(library, "flat extraction (result " + std::to_string(result) + ") left " +
                        std::to_string(written.size()) + " entries: " + command);
    }
    EmptyDestination();
  }

  kolbrin::ZipOption withFolders;
  withFolders.KeepPaths = true;
  withFolders.UsePassword = library.zip;
  withFolders.Password = kPassword;
  if (!members.empty()) Run(library, CommandLine(library, members, withFolders));
  EmptyDestination();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  UnlhaSetMemberSizeCap(kSizeCap);
  UnZipSetMemberSizeCap(kSizeCap);
  AnyArcSetMemberSizeCap(kSizeCap);
  TheFolders();
  std::atexit([] {
    std::error_code error;
    fs::remove_all(TheFolders().root, error);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  const std::string path = TheFolders().archive.string();
  // A new file each time: the libraries keep a reader open on the archive they
  // extracted from last, known by its inode, size and times, and an archive
  // rewritten in place within one clock tick could pass for it.
  ::unlink(path.c_str());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0 || ::write(fd, data, size) != static_cast<ssize_t>(size) || ::close(fd) != 0) {
    std::perror(path.c_str());
    std::abort();
  }
  for (const Library& library : kLibraries) Exercise(library);
  return 0;
}
