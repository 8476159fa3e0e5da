#include "archive/Archive.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "archive/ArchiverApi.h"
#include "platform/Files.h"
#include "platform/Library.h"
#include "platform/WorkerThread.h"

namespace kolbrin {
namespace {

constexpr std::uint32_t kOpenMode = 0x00400202;
constexpr std::uint32_t kOutputSize = 200;

// One library's program-wide state: available exactly when `module` is set.
struct ArchiverLibrary {
  platform::ModuleHandle module = nullptr;
  decltype(&UnlhaCheckArchive) CheckArchive = nullptr;
  decltype(&UnlhaOpenArchive) OpenArchive = nullptr;
  decltype(&UnlhaCloseArchive) CloseArchive = nullptr;
  decltype(&UnlhaFindFirst) FindFirst = nullptr;
  decltype(&UnlhaFindNext) FindNext = nullptr;
  decltype(&UnlhaSetBackGroundMode) SetBackGroundMode = nullptr;
  decltype(&UnlhaSetCursorMode) SetCursorMode = nullptr;
  decltype(&UnlhaGetRunning) GetRunning = nullptr;
  decltype(&Unlha) Command = nullptr;
  decltype(&UnZipGetAttribute) GetAttribute = nullptr;          // ZIP and the other kinds
  decltype(&UnlhaSetMemberSizeCap) SetMemberSizeCap = nullptr;  // when the library has it
  decltype(&UnlhaSetDestinationFolder) SetDestinationFolder = nullptr;  // likewise
  decltype(&UnlhaSetStopFlag) SetStopFlag = nullptr;                    // likewise
  char output[kOutputSize] = {};
};

ArchiverLibrary gLzh;
ArchiverLibrary gZip;
ArchiverLibrary gAny;
thread_local int gLastCommandCode = ARCHIVER_OK;

template <typename Entry>
bool Find(platform::ModuleHandle module, const std::string& name, Entry& entry) {
  entry = reinterpret_cast<Entry>(platform::GetProcAddress(module, name.c_str()));
  return entry != nullptr;
}

// `prefix` is "Unlha", "UnZip" or "AnyArc"; the entries are looked up in their
// fixed order.
bool Load(ArchiverLibrary& library, const std::string& windowsName, const std::string& prefix,
          bool withAttribute) {
  library = ArchiverLibrary{};
  const platform::ModuleHandle module = platform::LoadLibrary(windowsName);
  if (module == nullptr) return false;
  bool complete = Find(module, prefix + "CheckArchive", library.CheckArchive) &&
                  Find(module, prefix + "OpenArchive", library.OpenArchive) &&
                  Find(module, prefix + "CloseArchive", library.CloseArchive) &&
                  Find(module, prefix + "FindFirst", library.FindFirst) &&
                  Find(module, prefix + "FindNext", library.FindNext) &&
                  Find(module, prefix + "SetBackGroundMode", library.SetBackGroundMode) &&
                  Find(module, prefix + "SetCursorMode", library.SetCursorMode) &&
                  Find(module, prefix + "GetRunning", library.GetRunning) &&
                  Find(module, prefix, library.Command);
  if (complete && withAttribute)
    complete = Find(module, prefix + "GetAttribute", library.GetAttribute);
  if (!complete) {
    // An incomplete library is not used at all, so it is released at once.
    platform::FreeLibrary(module);
    library = ArchiverLibrary{};
    return false;
  }
  // Optional: without it the member search checks each copy's size itself.
  Find(module, prefix + "SetMemberSizeCap", library.SetMemberSizeCap);
  Find(module, prefix + "SetDestinationFolder", library.SetDestinationFolder);
  Find(module, prefix + "SetStopFlag", library.SetStopFlag);
  library.module = module;
  return true;
}

bool Free(ArchiverLibrary& library) {
  if (library.module == nullptr) return true;
  const bool freed = platform::FreeLibrary(library.module);
  library = ArchiverLibrary{};
  return freed;
}

std::int32_t List(ArchiverLibrary& library, int checkMode, bool zip, const std::string& archivePath,
                  std::vector<std::string>& members) {
  if (library.module == nullptr) return kLibraryMissing;
  library.SetBackGroundMode(1);
  library.SetCursorMode(0);
  members.clear();
  if (!library.CheckArchive(archivePath.c_str(), checkMode)) {
    members.push_back(ArchiveErrorEntry(archivePath));
    return kNotAnArchive;
  }
  const ARCHIVER_HANDLE archive = library.OpenArchive(nullptr, archivePath.c_str(), kOpenMode);
  if (archive == nullptr) {
    members.push_back(ArchiveErrorEntry(archivePath));
    return kCannotOpen;
  }
  unsigned char record[ARCHIVER_FIND_RECORD_SIZE] = {};
  if (const int first = library.FindFirst(archive, "*.*", record); first != 0) {
    library.CloseArchive(archive);
    members.push_back(ArchiveErrorEntry(archivePath));
    // Anything but the end of the list is an archive that cannot be read.
    return first == ARCHIVER_END ? kNoMembers : kCannotOpen;
  }
  int next = 0;
  do {
    const char* name = reinterpret_cast<const char*>(record + ARCHIVER_NAME_OFFSET);
    std::string entry(name, ::strnlen(name, sizeof record - ARCHIVER_NAME_OFFSET));
    if (zip) {
      entry += '\t';
      if ((library.GetAttribute(archive) & ARCHIVER_ENCRYPTED) != 0) entry += '*';
    }
    members.push_back(std::move(entry));
    std::memset(record, 0, sizeof record);
  } while ((next = library.FindNext(archive, record)) == 0);
  library.CloseArchive(archive);
  // Anything but the end of the list: the archive is damaged after the members so far.
  return next == ARCHIVER_END ? kArchiveOk : kListingCutShort;
}

// The binding's result for a command's result.
std::int32_t CommandResult(int result) {
  switch (result) {
    case ARCHIVER_OK:
      return kArchiveOk;
    case ARCHIVER_STOPPED:
      return kExtractionStopped;
    case ARCHIVER_TOO_LARGE:
      return kMemberTooLarge;
    case ARCHIVER_OVER_ARCHIVE_CAP:
      return kOverArchiveCap;
    case ARCHIVER_NO_ROOM:
      return kNoRoomLeft;
    default:
      return kCommandFailed;
  }
}

std::int32_t RunCommand(ArchiverLibrary& library, const std::string& commandLine) {
  if (library.GetRunning()) return kLibraryBusy;
  library.SetBackGroundMode(1);
  library.SetCursorMode(0);
  const int result = library.Command(nullptr, commandLine.c_str(), library.output, kOutputSize);
  gLastCommandCode = result;
  return CommandResult(result);
}

std::string Quoted(const std::string& text) { return "\"" + text + "\" "; }

// Members are quoted only when they hold a blank (a TAB does not count) or start
// with a quote, which would otherwise open a quoted run.
void AppendMembers(std::string& line, const std::vector<std::string>& members) {
  for (const std::string& member : members) {
    const bool quote = member.find(' ') != std::string::npos || member.starts_with('"');
    line += quote ? Quoted(member) : member + " ";
  }
}

// A quote followed by a blank ends a quoted run, and nothing escapes it: a text
// holding one cannot be written on a command line as itself.
bool FitsCommandLine(const std::string& text) { return text.find("\" ") == std::string::npos; }

bool FitCommandLine(const std::string& archivePath, const std::vector<std::string>& members,
                    const std::string& destination) {
  return FitsCommandLine(archivePath) && FitsCommandLine(destination) &&
         std::all_of(members.begin(), members.end(), FitsCommandLine);
}

// The command line for one library: LzhCommandLine or ZipCommandLine.
using CommandLineFor = std::string (*)(const std::string&, const std::vector<std::string>&,
                                       const std::string&, const ZipOption&);

std::int32_t Extract(ArchiverLibrary& library, CommandLineFor commandLineFor,
                     const std::string& archivePath, const std::vector<std::string>& members,
                     const std::string& destination, const ZipOption& options) {
  if (library.module == nullptr) return kLibraryMissing;
  const int* stop = platform::CurrentWorkerStopFlag();
  if (stop != nullptr && __atomic_load_n(stop, __ATOMIC_RELAXED) != 0) return kExtractionStopped;
  // `folder` is the held private folder (or -1) that `named` lies in.
  const auto run = [&](int folder, const std::string& named) -> std::int32_t {
    if (!FitCommandLine(archivePath, members, named)) {
      gLastCommandCode = ARCHIVER_BAD_ARGUMENT;
      return kCommandFailed;
    }
    if (library.SetMemberSizeCap != nullptr) library.SetMemberSizeCap(options.SizeCap);
    if (folder >= 0) library.SetDestinationFolder(folder);
    if (library.SetStopFlag != nullptr) library.SetStopFlag(stop);
    const std::int32_t result =
        RunCommand(library, commandLineFor(archivePath, members, named, options));
    if (library.SetStopFlag != nullptr) library.SetStopFlag(nullptr);
    if (folder >= 0) library.SetDestinationFolder(-1);
    return result;
  };
  // Inside the private folder, the library is handed the folder itself and the
  // path below it: a link put in the folder's place cannot redirect the copies.
  std::int32_t result = kCommandFailed;
  if (library.SetDestinationFolder != nullptr &&
      platform::WithHeldPlace(destination, [&](int folder, const std::string& relative) {
        result = run(folder, relative);
      })) {
    return result;
  }
  return run(-1, destination);
}

}  // namespace

std::string ArchiveErrorEntry(const std::string& archivePath) {
  return "ﾌｧｲﾙが異常です。[" + archivePath + "]";
}

std::int32_t LastCommandCode() { return gLastCommandCode; }

bool LoadLzhLibrary() { return LoadLzhLibraryNamed("UNLHA32.DLL"); }
bool LoadZipLibrary() { return LoadZipLibraryNamed("UNZIP32.DLL"); }
bool LoadAnyLibrary() { return LoadAnyLibraryNamed("ANYARC.DLL"); }
bool LoadLzhLibraryNamed(const std::string& windowsName) {
  return Load(gLzh, windowsName, "Unlha", false);
}
bool LoadZipLibraryNamed(const std::string& windowsName) {
  return Load(gZip, windowsName, "UnZip", true);
}
bool LoadAnyLibraryNamed(const std::string& windowsName) {
  return Load(gAny, windowsName, "AnyArc", true);
}
bool FreeLzhLibrary() { return Free(gLzh); }
bool FreeZipLibrary() { return Free(gZip); }
bool FreeAnyLibrary() { return Free(gAny); }

std::int32_t ListLzhMembers(const std::string& archivePath, std::vector<std::string>& members) {
  return List(gLzh, 0, false, archivePath, members);
}
std::int32_t ListZipMembers(const std::string& archivePath, std::vector<std::string>& members) {
  return List(gZip, 1, true, archivePath, members);
}
std::int32_t ListAnyMembers(const std::string& archivePath, std::vector<std::string>& members) {
  return List(gAny, 0, true, archivePath, members);
}

std::string LzhCommandLine(const std::string& archivePath, const std::vector<std::string>& members,
                           const std::string& destination, const ZipOption& options) {
  std::string line = "e -r2 -u3 -m1 ";
  line += options.KeepPaths ? "-x1 " : "-x0 ";
  line += options.ShowIndicator ? "-n0 " : "-n1 ";
  line += Quoted(archivePath);
  line += Quoted(destination);
  AppendMembers(line, members);
  return line;
}

std::string ZipCommandLine(const std::string& archivePath, const std::vector<std::string>& members,
                           const std::string& destination, const ZipOption& options) {
  std::string line = "-x -n -o ";
  if (options.UsePassword) line += "-P " + options.Password + " ";
  if (!options.KeepPaths) line += "-j ";
  line += options.ShowIndicator ? "-i " : "--i ";
  line += Quoted(archivePath);
  line += Quoted(destination);
  AppendMembers(line, members);
  return line;
}

std::int32_t ExtractLzhMembers(const std::string& archivePath,
                               const std::vector<std::string>& members,
                               const std::string& destination, ZipOption options) {
  return Extract(gLzh, LzhCommandLine, archivePath, members, destination, options);
}

std::int32_t ExtractZipMembers(const std::string& archivePath,
                               const std::vector<std::string>& members,
                               const std::string& destination, ZipOption options) {
  return Extract(gZip, ZipCommandLine, archivePath, members, destination, options);
}

std::int32_t ExtractAnyMembers(const std::string& archivePath,
                               const std::vector<std::string>& members,
                               const std::string& destination, ZipOption options) {
  return Extract(gAny, ZipCommandLine, archivePath, members, destination, options);
}

}  // namespace kolbrin
