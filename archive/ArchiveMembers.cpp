#include "archive/ArchiveMembers.h"

#include "archive/Archive.h"
#include "archive/MemberCopyName.h"

namespace kolbrin {
namespace {

class ArchiverMembers final : public MemberAccess {
 public:
  bool ListMembers(std::uint8_t archiveKind, const std::string& archivePath,
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
    return listed == kArchiveOk;
  }

  bool NeedsPassword(std::uint8_t archiveKind, const std::string& member) const override {
    // A ZIP listing, and one of the other kinds, marks an encrypted member with "*"
    // after the name's TAB.
    return archiveKind != kLzhArchive && member.ends_with("\t*");
  }

  std::string CopyName(const std::string& member) const override { return MemberCopyName(member); }

  bool ExtractMembers(std::uint8_t archiveKind, const std::string& archivePath,
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
    return extracted == kArchiveOk;
  }
};

}  // namespace

MemberAccess& ArchiverMemberAccess() {
  static ArchiverMembers members;
  return members;
}

}  // namespace kolbrin
