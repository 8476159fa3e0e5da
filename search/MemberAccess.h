// What the search worker needs of archives: listing one, extracting listed members
// into a folder, and the name a member's copy is written under there. search/
// declares only this, so that it depends on platform/ alone; archive/ArchiveMembers.h
// implements it over the archiver libraries, and whoever builds a TGrep hands that
// in (a test may hand in its own).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kolbrin {

// The kinds of a file; members are asked for of the archive kinds.
inline constexpr std::uint8_t kPlainFile = 0;
inline constexpr std::uint8_t kZipArchive = 1;
inline constexpr std::uint8_t kLzhArchive = 2;
// 7z, RAR, tar (also compressed), cpio, ISO 9660, CAB and single compressed files.
inline constexpr std::uint8_t kOtherArchive = 3;

// Called on the search worker, one call at a time.
class MemberAccess {
 public:
  virtual ~MemberAccess() = default;

  // What listing an archive came to.
  enum class Listing {
    Listed,       // `members` holds its members
    NotThisKind,  // not an archive of that kind (its signature does not match), one
                  // without members, or no library for the kind is loaded: a file
                  // to search as such
    Damaged,      // an archive of that kind whose data cannot be read
    CutShort,     // `members` holds the members before a part that cannot be read
  };
  // Lists the members of the archive of `archiveKind` at `archivePath` into
  // `members`, in the listed form the other calls take; unless Listed, `members`
  // holds nothing to extract.
  virtual Listing ListMembers(std::uint8_t archiveKind, const std::string& archivePath,
                              std::vector<std::string>& members) = 0;
  // Whether the listed `member` needs a password; without one it cannot be extracted.
  virtual bool NeedsPassword(std::uint8_t archiveKind, const std::string& member) const = 0;
  // The file name the copy of the listed `member` gets when extracted without its
  // folders; empty when it cannot be written that way.
  virtual std::string CopyName(const std::string& member) const = 0;
  // Extracts the listed `members` without their folders and without a password
  // into `folder` (ending in "/"), none of them larger than `sizeCap` bytes (a
  // library that cannot be told so may write a larger one). Empty when they were
  // all extracted, else why not (a short English reason, e.g. "larger than the
  // extraction cap").
  virtual std::string ExtractMembers(std::uint8_t archiveKind, const std::string& archivePath,
                              const std::vector<std::string>& members, const std::string& folder,
                              std::uint64_t sizeCap) = 0;
};

}  // namespace kolbrin
