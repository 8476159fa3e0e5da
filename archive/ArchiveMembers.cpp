#include "archive/ArchiveMembers.h"

#include "archive/Archive.h"
#include "archive/MemberCopyName.h"

namespace kolbrin {
namespace {

class ArchiverMembers final : public MemberAccess {
 public:
  bool ListMembers(std::uint8_t archiveKind, const std::string& archivePath,
                   std::vector<std::string>& members) override {
    const std::int32_t listed = archiveKind == kLzhArchive ? ListLzhMembers(archivePath, members)
                                                           : ListZipMembers(archivePath, members);
    return listed == kArchiveOk;
  }

  bool NeedsPassword(std::uint8_t archiveKind, const std::string& member) const override {
    // A ZIP listing marks an encrypted member with "*" after the name's TAB.
    return archiveKind == kZipArchive && member.ends_with("\t*");
  }

  std::string CopyName(const std::string& member) const override { return MemberCopyName(member); }

  bool ExtractMembers(std::uint8_t archiveKind, const std::string& archivePath,
                      const std::vector<std::string>& members, const std::string& folder) override {
    const ZipOption flatWithoutPassword;
    const std::int32_t extracted =
        archiveKind == kLzhArchive
            ? ExtractLzhMembers(archivePath, members, folder, flatWithoutPassword)
            : ExtractZipMembers(archivePath, members, folder, flatWithoutPassword);
    return extracted == kArchiveOk;
  }
};

}  // namespace

MemberAccess& ArchiverMemberAccess() {
  static ArchiverMembers members;
  return members;
}

}  // namespace kolbrin
