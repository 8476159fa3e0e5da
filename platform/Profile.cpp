#include "platform/Profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/Files.h"
#include "platform/Library.h"
#include "platform/UniqueFd.h"

namespace kolbrin::platform {
namespace {

// A settings file larger than this is not ours; reading it gives the defaults.
constexpr std::size_t kMaxSettingsFileBytes = 16u << 20;

std::string_view Trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

struct Line {
  std::string_view text;  // without its line end
  std::string_view end;   // "\n", "\r\n", or empty for a last line without one
};

// Calls `visit(line, index, last)` for each line of `bytes` in order, until it
// returns false. The lines are never collected: a file of millions of empty lines
// costs no memory.
template <class Visit>
void ForEachLine(std::string_view bytes, Visit visit) {
  for (std::size_t index = 0; !bytes.empty(); ++index) {
    Line line;
    const std::size_t lf = bytes.find('\n');
    if (lf == std::string_view::npos) {
      line = {bytes, {}};
      bytes = {};
    } else {
      const std::size_t textEnd = (lf > 0 && bytes[lf - 1] == '\r') ? lf - 1 : lf;
      line = {bytes.substr(0, textEnd), bytes.substr(textEnd, lf + 1 - textEnd)};
      bytes.remove_prefix(lf + 1);
    }
    if (!visit(line, index, bytes.empty())) return;
  }
}

enum class LineKind { Other, Header, Key };

struct ParsedLine {
  LineKind kind = LineKind::Other;
  std::string_view name;    // the section or key name, trimmed
  std::size_t valueAt = 0;  // for a key: where its value begins in the line
};

ParsedLine Parse(std::string_view text) {
  const std::string_view trimmed = Trim(text);
  if (trimmed.empty() || trimmed.front() == ';') return {};
  if (trimmed.front() == '[') {
    const std::size_t close = trimmed.find(']');
    if (close == std::string_view::npos) return {};
    return {LineKind::Header, Trim(trimmed.substr(1, close - 1)), 0};
  }
  const std::size_t equals = text.find('=');
  if (equals == std::string_view::npos) return {};
  return {LineKind::Key, Trim(text.substr(0, equals)), equals + 1};
}

std::string CleanValue(std::string_view raw) {
  std::string_view value = Trim(raw);
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    value = value.substr(1, value.size() - 2);
  }
  return std::string(value.substr(0, kMaxProfileValueBytes));
}

std::optional<std::string> ReadValue(const std::string& section, const std::string& key,
                                     const std::string& file) {
  FileBytes bytes;
  if (!bytes.Load(file, kMaxSettingsFileBytes)) return std::nullopt;
  const std::string_view contents(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  const std::string_view wantedSection = Trim(section);
  const std::string_view wantedKey = Trim(key);
  bool inSection = false;
  std::optional<std::string> value;
  ForEachLine(contents, [&](const Line& line, std::size_t, bool) {
    const ParsedLine parsed = Parse(line.text);
    if (parsed.kind == LineKind::Header) {
      inSection = EqualIgnoringAsciiCase(parsed.name, wantedSection);
    } else if (parsed.kind == LineKind::Key && inSection &&
               EqualIgnoringAsciiCase(parsed.name, wantedKey)) {
      value = CleanValue(line.text.substr(parsed.valueAt));
    }
    return !value;
  });
  return value;
}

std::optional<int> ParseInt(std::string_view text) {
  std::uint64_t magnitude = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    for (const char c : text.substr(2)) {
      int digit = 0;
      if (c >= '0' && c <= '9') {
        digit = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        digit = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        digit = c - 'A' + 10;
      } else {
        return std::nullopt;
      }
      magnitude = magnitude * 16 + static_cast<std::uint64_t>(digit);
      if (magnitude > UINT32_MAX) return std::nullopt;
    }
    return static_cast<int>(static_cast<std::uint32_t>(magnitude));
  }
  const bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  const std::uint64_t limit = negative ? 2147483648u : 2147483647u;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    magnitude = magnitude * 10 + static_cast<std::uint64_t>(c - '0');
    if (magnitude > limit) return std::nullopt;
  }
  const auto value = static_cast<std::int64_t>(magnitude);
  return static_cast<int>(negative ? -value : value);
}

// The file's contents with the one key set; every line not changed keeps its bytes.
std::string WithKeySet(std::string_view contents, std::string_view section, std::string_view key,
                       std::string_view value) {
  std::string_view newline = "\n";  // the file's own, as its first line ends
  ForEachLine(contents, [&](const Line& line, std::size_t, bool) {
    if (!line.end.empty()) newline = line.end;
    return false;
  });

  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::size_t replaceAt = kNone;
  std::size_t sectionAt = kNone;
  std::size_t insertAfter = kNone;  // the last key line of the section's first occurrence
  bool inSection = false;
  bool inFirstOccurrence = false;
  std::size_t valueAt = 0;
  ForEachLine(contents, [&](const Line& line, std::size_t i, bool) {
    const ParsedLine parsed = Parse(line.text);
    if (parsed.kind == LineKind::Header) {
      inSection = EqualIgnoringAsciiCase(parsed.name, section);
      inFirstOccurrence = inSection && sectionAt == kNone;
      if (inFirstOccurrence) sectionAt = insertAfter = i;
    } else if (parsed.kind == LineKind::Key && inSection) {
      if (EqualIgnoringAsciiCase(parsed.name, key)) {
        replaceAt = i;
        valueAt = parsed.valueAt;
      } else if (inFirstOccurrence) {
        insertAfter = i;
      }
    }
    return replaceAt == kNone;
  });

  std::string result;
  result.reserve(contents.size() + section.size() + key.size() + value.size() + 8);
  const auto appendKeyLine = [&] { result.append(key).append("=").append(value).append(newline); };
  ForEachLine(contents, [&](const Line& line, std::size_t i, bool last) {
    if (i == replaceAt) {
      result.append(line.text.substr(0, valueAt)).append(value).append(line.end);
      return true;
    }
    result.append(line.text).append(line.end);
    const bool addAfterThis =
        replaceAt == kNone && (i == insertAfter || (last && sectionAt == kNone));
    if (!addAfterThis) return true;
    if (line.end.empty()) result.append(newline);
    if (sectionAt == kNone) result.append("[").append(section).append("]").append(newline);
    appendKeyLine();
    return true;
  });
  if (contents.empty()) {
    result.append("[").append(section).append("]").append(newline);
    appendKeyLine();
  }
  return result;
}

bool HoldsLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

// Writes `contents` to a new file beside `target` and renames it over `target`, so
// readers and a crash see either the old file or the whole new one.
bool ReplaceFile(const std::string& target, std::string_view contents, mode_t mode) {
  const std::string folder = FolderOf(target);
  std::string temporary = folder + "." + FileNameOf(target) + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);  // O_EXCL, mode 0600
  if (fd < 0) return false;
  bool written = WriteAll(fd, contents) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
  written = ::close(fd) == 0 && written;
  if (!written || ::rename(temporary.c_str(), target.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  // Makes the rename itself durable; the file is complete either way, so a failure
  // here only risks the old contents coming back after a crash.
  const UniqueFd folderFd(
      ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folderFd.valid()) ::fsync(folderFd.get());
  return true;
}

}  // namespace

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& file) {
  return ReadValue(section, key, file).value_or(defaultValue);
}

int GetPrivateProfileInt(const std::string& section, const std::string& key, int defaultValue,
                         const std::string& file) {
  const std::optional<std::string> value = ReadValue(section, key, file);
  if (!value) return defaultValue;
  return ParseInt(*value).value_or(defaultValue);
}

bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& file) {
  const std::string_view sectionName = Trim(section);
  const std::string_view keyName = Trim(key);
  if (HoldsLineBreak(sectionName) || HoldsLineBreak(keyName) || HoldsLineBreak(value)) return false;
  if (sectionName.find(']') != std::string_view::npos) return false;
  if (keyName.empty() || keyName.find('=') != std::string_view::npos || keyName.front() == ';' ||
      keyName.front() == '[') {
    return false;
  }

  // Renaming over a symbolic link would replace the link; the file it points to is
  // the one meant.
  std::string target = file;
  struct stat info {};
  if (::lstat(file.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    char* resolved = ::realpath(file.c_str(), nullptr);
    if (resolved == nullptr) return false;
    target = resolved;
    std::free(resolved);
  }

  FileBytes old;
  mode_t mode = 0644;
  if (::stat(target.c_str(), &info) == 0) {
    if (!S_ISREG(info.st_mode) || !old.Load(target, kMaxSettingsFileBytes)) return false;
    mode = info.st_mode & 07777;
  } else if (errno != ENOENT) {
    return false;
  }
  const std::string_view contents(reinterpret_cast<const char*>(old.data()), old.size());
  return ReplaceFile(target, WithKeySet(contents, sectionName, keyName, value), mode);
}

std::string SettingsPathBeside(const std::string& programPath) {
  const std::size_t slash = programPath.rfind('/');
  const std::size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
  const std::size_t dot = programPath.rfind('.');
  if (dot == std::string::npos || dot < nameAt) return programPath + ".ini";
  return programPath.substr(0, dot) + ".ini";
}

std::string ResolveSettingsPath(const std::string& programPath) {
  // An installed program never writes beside itself, not even when run by root:
  // the settings are the user's, and the package manager owns the program's folder.
  const std::string folder = FolderOf(programPath);
  const bool installed = IsFolder(InstalledPluginFolder(folder));
  const bool writable =
      !installed && ::access(folder.empty() ? "." : folder.c_str(), W_OK | X_OK) == 0;
  return ResolveSettingsPath(programPath, writable);
}

std::string ResolveSettingsPath(const std::string& programPath, bool programFolderWritable) {
  const std::string beside = SettingsPathBeside(programPath);
  struct stat info {};
  if (programFolderWritable || ::stat(beside.c_str(), &info) == 0) return beside;

  std::vector<std::string> configHomes;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') {
    configHomes.emplace_back(xdg);
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    configHomes.push_back(std::string(home) + "/.config");
  }
  for (const std::string& configHome : configHomes) {
    const std::string folder = configHome + "/kolbrin";
    if (CreateFolders(folder, 0700)) return folder + "/kolbrin.ini";
  }
  return {};
}

}  // namespace kolbrin::platform
