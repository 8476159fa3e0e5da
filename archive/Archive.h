// Access to archives through the three archiver libraries (our plug-ins; their
// interface is ArchiverApi.h): UNLHA32.DLL for LZH, UNZIP32.DLL for ZIP and
// ANYARC.DLL for the other kinds (7z, RAR, tar, cpio, ISO 9660, CAB, single
// compressed files). Loading and releasing them, listing an archive's members and
// extracting members into a folder. The member search reaches these through
// ArchiveMembers.h.
//
// Each library's state is program-wide. Load and free run on the owner's thread
// when no search runs; listing and extraction run on the search worker, one call
// at a time. Nothing here shows a message or the busy cursor: the worker asks its
// host for that around each extraction.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kolbrin {

// The largest member a library writes unless told otherwise.
inline constexpr std::uint64_t kDefaultMemberSizeCap = std::uint64_t{4} << 30;

// The options of one extraction call.
struct ZipOption {
  bool KeepPaths = false;      // extract with the stored folders, else flat
  bool UsePassword = false;    // ZIP and the other kinds: hand Password to the library
  bool ShowIndicator = false;  // selects the form of the indicator switch
  std::string Password;        // ZIP and the other kinds only
  // The largest member the library may write; handed to a library that has the
  // SetMemberSizeCap entry before the command.
  std::uint64_t SizeCap = kDefaultMemberSizeCap;
};

// Results of listing and extraction, each its own value.
inline constexpr std::int32_t kArchiveOk = 0;
inline constexpr std::int32_t kLibraryMissing = -1;  // the library is not available
inline constexpr std::int32_t kNotAnArchive = -2;    // listing: the library refuses the file
inline constexpr std::int32_t kCannotOpen = -3;      // listing: the archive cannot be opened
inline constexpr std::int32_t kNoMembers = -4;       // listing: no first member
inline constexpr std::int32_t kLibraryBusy = -5;     // extraction: no command was run
// Extraction: the library's command failed for another reason than those below
// (damaged data, a member not found, an unsafe name, a write error), or the command
// line could not be written.
inline constexpr std::int32_t kCommandFailed = -6;
// Extraction: the member was not written, for the reason named; none leaves a file.
inline constexpr std::int32_t kExtractionStopped = -7;  // the search's stop came meanwhile
inline constexpr std::int32_t kMemberTooLarge = -8;     // over ZipOption::SizeCap
inline constexpr std::int32_t kOverArchiveCap = -9;     // over the archive's total cap
inline constexpr std::int32_t kNoRoomLeft = -10;        // would take the free-space reserve
// Listing: the members before a part that cannot be read are listed, the rest not.
inline constexpr std::int32_t kListingCutShort = -11;

// The plug-in's own result (ARCHIVER_OK or an ARCHIVER_ code of ArchiverApi.h) of
// the last command this thread ran, telling why an extraction failed with
// kCommandFailed.
std::int32_t LastCommandCode();

// The only entry of a member list after a failed listing.
std::string ArchiveErrorEntry(const std::string& archivePath);

// True when the library and all its entries were found.
bool LoadLzhLibrary();
bool LoadZipLibrary();
bool LoadAnyLibrary();
// The same for a library of another name, for tests of incomplete libraries.
bool LoadLzhLibraryNamed(const std::string& windowsName);
bool LoadZipLibraryNamed(const std::string& windowsName);
bool LoadAnyLibraryNamed(const std::string& windowsName);
// False only when releasing a loaded library failed.
bool FreeLzhLibrary();
bool FreeZipLibrary();
bool FreeAnyLibrary();

// Lists the members into `members` (emptied first): the LZH names as the library
// gives them; each ZIP name, and each name of the other kinds, followed by a TAB,
// and "*" for an encrypted member. With kLibraryMissing `members` is left as it
// was; with kListingCutShort it holds the members listed before the damage; after
// the other failures it holds only ArchiveErrorEntry.
std::int32_t ListLzhMembers(const std::string& archivePath, std::vector<std::string>& members);
std::int32_t ListZipMembers(const std::string& archivePath, std::vector<std::string>& members);
std::int32_t ListAnyMembers(const std::string& archivePath, std::vector<std::string>& members);

// Extracts the listed `members` into `destination` (ending in "/"). A command line
// cannot name a path or member holding a quote followed by a blank: the call then
// fails with kCommandFailed and issues no command, so nothing is written.
//
// A destination inside a living private folder (platform::WithHeldPlace) is
// handed to the library as that folder's descriptor and the path below it, so the
// copies land in the folder the program holds open whatever its path names by then.
// Called on a worker thread (platform::WorkerThread), the extraction stops within
// 64 KiB of the worker's RequestStop (kExtractionStopped); a stop requested before
// the call runs no command. Both reach libraries that have the entries.
std::int32_t ExtractLzhMembers(const std::string& archivePath,
                               const std::vector<std::string>& members,
                               const std::string& destination, ZipOption options);
std::int32_t ExtractZipMembers(const std::string& archivePath,
                               const std::vector<std::string>& members,
                               const std::string& destination, ZipOption options);
// The other kinds take the ZIP command line (ZipCommandLine).
std::int32_t ExtractAnyMembers(const std::string& archivePath,
                               const std::vector<std::string>& members,
                               const std::string& destination, ZipOption options);

// The command lines the extraction hands to each library.
std::string LzhCommandLine(const std::string& archivePath, const std::vector<std::string>& members,
                           const std::string& destination, const ZipOption& options);
std::string ZipCommandLine(const std::string& archivePath, const std::vector<std::string>& members,
                           const std::string& destination, const ZipOption& options);

}  // namespace kolbrin
