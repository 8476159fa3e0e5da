// The name of a member's flat copy: the one rule by which the archiver plug-ins
// write a member extracted without folders, and by which the member search finds
// the copy it asked for. The rule is stated in ArchiverApi.h; this is its code,
// header-only so that the plug-ins share it without linking any of the program.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kolbrin {

// The longest copy name, in bytes: the longest file name the file systems take.
inline constexpr std::size_t kLongestCopyName = 255;
// The longest extension a shortened copy name keeps.
inline constexpr std::size_t kLongestKeptExtension = 32;

// The copy name of a member listed as `listedName` (a ZIP listing's trailing TAB
// may be there): the part after the last "/", without the bytes up to 0x20 at
// either end, shortened to kLongestCopyName bytes when longer by cutting the part
// before its extension (the last ".", followed by at most kLongestKeptExtension
// bytes) at a character boundary. Empty when nothing usable is left: an empty
// name, or one that would name a folder ("." or "..").
inline std::string MemberCopyName(std::string_view listedName) {
  std::string_view name = listedName;
  if (const std::size_t slash = name.rfind('/'); slash != std::string_view::npos) {
    name.remove_prefix(slash + 1);
  }
  while (!name.empty() && static_cast<unsigned char>(name.front()) <= 0x20) name.remove_prefix(1);
  while (!name.empty() && static_cast<unsigned char>(name.back()) <= 0x20) name.remove_suffix(1);
  if (name == "." || name == "..") return {};
  if (name.size() <= kLongestCopyName) return std::string(name);

  std::string_view extension;
  if (const std::size_t dot = name.rfind('.');
      dot != std::string_view::npos && dot > 0 && name.size() - dot <= kLongestKeptExtension + 1) {
    extension = name.substr(dot);
  }
  std::size_t cut = kLongestCopyName - extension.size();
  // Back to the start of a UTF-8 character, so no character is split.
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
  return std::string(name.substr(0, cut)).append(extension);
}

}  // namespace kolbrin
