#include "archive/ArchiveMembers.h"

#include "archive/Archive.h"
#include "archive/ArchiverApi.h"
#include "archive/MemberCopyName.h"

namespace kolbrin {
namespace {

// Why a member was not extracted, from the library's result.
std::string ExtractionFailure(std::int32_t extracted) {
  switch (extracted) {
    case kLibraryMissing:
      return "the archiver plug-in is not loaded";
    case kLibraryBusy:
      return "the archiver plug-in is busy";
    default:
      break;
  }
  switch (LastCommandCode()) {
    case ARCHIVER_TOO_LARGE:
      return "larger than the extraction cap";
    case ARCHIVER_OVER_ARCHIVE_CAP:
      return "over the archive's total extraction cap";
    case ARCHIVER_NO_ROOM:
      return "free space below the reserve";
    case ARCHIVER_STOPPED:
      return "stopped";
    case ARCHIVER_WRITE_FAILED:
      return "cannot be written";
    case ARCHIVER_BAD_DATA:
      return "damaged data";
    case ARCHIVER_BAD_ARCHIVE:
      return "damaged archive";
    case ARCHIVER_UNSAFE_NAME:
      return "no name to be written under";
    case ARCHIVER_BAD_ARGUMENT:
      return "name cannot be passed to the archiver plug-in";
    case ARCHIVER_NO_MEMBER:
      return "not found in the archive";
    default:
      return "cannot be extracted";
  }
}

class ArchiverMembers final : public MemberAccess {
 public:
  Listing ListMembers(std::uint8_t archiveKind, const std::string& archivePath,
                      std::vector<std::string>& members) override {
    std::int32_t listed = kLibraryMissing;
    switch (archiveKind) {
      case kLzhArchive:
        listed = ListLzhMembers(archivePath, members);
        break;
      case kZipArchive:
        listed = ListZipMembers(archivePath, members);
        break;
      case kOtherArchive:
        listed = ListAnyMembers(archivePath, members);
        break;
      default:
        break;
    }
    switch (listed) {
      case kArchiveOk:
        return Listing::Listed;
      case kListingCutShort:
        return Listing::CutShort;
      case kCannotOpen:
        members.clear();
        return Listing::Damaged;
      default:
        // Refused by its signature (a file that cannot be read is refused too),
        // empty, or no library to ask.
        members.clear();
        return Listing::NotThisKind;
    }
  }

  bool NeedsPassword(std::uint8_t archiveKind, const std::string& member) const override {
    // A ZIP listing, and one of the other kinds, marks an encrypted member with "*"
    // after the name's TAB.
    return archiveKind != kLzhArchive && member.ends_with("\t*");
  }

  std::string CopyName(const std::string& member) const override { return MemberCopyName(member); }

  std::string ExtractMembers(std::uint8_t archiveKind, const std::string& archivePath,
                             const std::vector<std::string>& members, const std::string& folder,
                             std::uint64_t sizeCap) override {
    ZipOption flatWithoutPassword;
    flatWithoutPassword.SizeCap = sizeCap;
    std::int32_t extracted = kLibraryMissing;
    switch (archiveKind) {
      case kLzhArchive:
        extracted = ExtractLzhMembers(archivePath, members, folder, flatWithoutPassword);
        break;
      case kZipArchive:
        extracted = ExtractZipMembers(archivePath, members, folder, flatWithoutPassword);
        break;
      case kOtherArchive:
        extracted = ExtractAnyMembers(archivePath, members, folder, flatWithoutPassword);
        break;
      default:
        break;
    }
    return extracted == kArchiveOk ? std::string() : ExtractionFailure(extracted);
  }
};

}  // namespace

MemberAccess& ArchiverMemberAccess() {
  static ArchiverMembers members;
  return members;
}

}  // namespace kolbrin
