// Member names: from stored bytes to UTF-8, wildcards, and which names are safe to
// write.
#include <unicode/ucnv.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <memory>

#include "plugins/PluginCore.h"

namespace kolbrin::plugin {
namespace {

// The Microsoft variant of Shift-JIS that Japanese Windows writes: 0x5C stays a
// backslash and 0x7E a tilde.
constexpr const char* kCp932 = "ibm-943_P15A-2003";

void AppendUtf8(std::string& out, char32_t c) {
  char bytes[U8_MAX_LENGTH];
  std::int32_t length = 0;
  U8_APPEND_UNSAFE(bytes, length, c);
  out.append(bytes, static_cast<std::size_t>(length));
}

// The character at `at`, advancing `at` past it; negative for a byte that does not
// begin a valid UTF-8 sequence, which is passed alone.
UChar32 NextCharacter(std::string_view text, std::int32_t& at) {
  const std::int32_t start = at;
  UChar32 c = 0;
  U8_NEXT(reinterpret_cast<const std::uint8_t*>(text.data()), at,
          static_cast<std::int32_t>(text.size()), c);
  if (c < 0) at = start + 1;
  return c;
}

bool IsCp932LeadByte(unsigned char b) {
  return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

bool DecodeCp932(std::string_view bytes, std::string& utf8) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UConverter, void (*)(UConverter*)> converter(ucnv_open(kCp932, &status),
                                                               ucnv_close);
  if (U_FAILURE(status)) return false;
  // Stop at the first byte sequence that is not CP932, rather than substituting.
  ucnv_setToUCallBack(converter.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  std::u16string wide(bytes.size() + 1, u'\0');
  const int32_t wideLength =
      ucnv_toUChars(converter.get(), wide.data(), static_cast<int32_t>(wide.size()), bytes.data(),
                    static_cast<int32_t>(bytes.size()), &status);
  if (U_FAILURE(status)) return false;
  std::string out(static_cast<std::size_t>(wideLength) * 3 + 1, '\0');
  int32_t outLength = 0;
  u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &outLength, wide.data(), wideLength,
              &status);
  if (U_FAILURE(status)) return false;
  out.resize(static_cast<std::size_t>(outLength));
  utf8 = std::move(out);
  return true;
}

std::string Latin1ToUtf8(std::string_view bytes) {
  std::string out;
  for (const char c : bytes) AppendUtf8(out, static_cast<unsigned char>(c));
  return out;
}

std::u32string CodePoints(std::string_view text) {
  std::u32string points;
  const auto length = static_cast<std::int32_t>(text.size());
  for (std::int32_t i = 0; i < length;) {
    const std::int32_t start = i;
    const UChar32 c = NextCharacter(text, i);
    // An invalid byte counts as one character, the byte's value.
    points.push_back(c < 0 ? static_cast<unsigned char>(text[static_cast<std::size_t>(start)])
                           : static_cast<char32_t>(c));
  }
  return points;
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
  const auto length = static_cast<std::int32_t>(text.size());
  for (std::int32_t i = 0; i < length;) {
    if (NextCharacter(text, i) < 0) return false;
  }
  return true;
}

std::string StoredNameToUtf8(std::string_view stored) {
  if (IsValidUtf8(stored)) return std::string(stored);
  std::string decoded;
  if (DecodeCp932(stored, decoded)) return decoded;
  return Latin1ToUtf8(stored);
}

std::string WideToUtf8(const wchar_t* wide) {
  std::string out;
  for (const wchar_t* c = wide; *c != L'\0'; ++c) {
    const auto point = static_cast<char32_t>(*c);
    const bool valid = point <= 0x10FFFF && (point < 0xD800 || point > 0xDFFF);
    AppendUtf8(out, valid ? point : U'\uFFFD');
  }
  return out;
}

std::string LzhNameToUtf8(const wchar_t* latin1) {
  std::string bytes;
  for (const wchar_t* w = latin1; *w != L'\0'; ++w) {
    // Not one byte a character after all: take the characters themselves.
    if (static_cast<std::uint32_t>(*w) > 0xFF) return WideToUtf8(latin1);
    bytes.push_back(static_cast<char>(*w));
  }
  if (IsValidUtf8(bytes)) return bytes;
  // libarchive turns every backslash of a level-0 name into "/", also the second byte
  // 0x5C of a Shift-JIS character such as 0x95 0x5C; no Shift-JIS character ends in
  // "/", so such a "/" was that byte.
  std::string restored = bytes;
  for (std::size_t i = 0; i < restored.size(); ++i) {
    if (IsCp932LeadByte(static_cast<unsigned char>(restored[i])) && i + 1 < restored.size()) {
      if (restored[i + 1] == '/') restored[i + 1] = '\\';
      ++i;
    }
  }
  std::string decoded;
  if (DecodeCp932(restored, decoded)) return decoded;
  return Latin1ToUtf8(bytes);
}

std::string SingleMemberName(std::string_view archivePath) {
  std::string_view name = archivePath;
  if (const std::size_t slash = name.rfind('/'); slash != std::string_view::npos) {
    name.remove_prefix(slash + 1);
  }
  struct Extension {
    std::string_view text;  // lower case
    std::string_view replacement;
  };
  static constexpr Extension kExtensions[] = {{".gz", ""},      {".bz2", ""},      {".xz", ""},
                                              {".zst", ""},     {".lz4", ""},      {".z", ""},
                                              {".tgz", ".tar"}, {".tbz2", ".tar"}, {".tbz", ".tar"},
                                              {".txz", ".tar"}, {".tzst", ".tar"}};
  const auto endsWith = [&](std::string_view extension) {
    if (name.size() <= extension.size()) return false;  // a name that is only the extension
    const std::string_view tail = name.substr(name.size() - extension.size());
    return std::equal(tail.begin(), tail.end(), extension.begin(), [](char a, char b) {
      return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
    });
  };
  for (const Extension& extension : kExtensions) {
    if (endsWith(extension.text)) {
      return std::string(name.substr(0, name.size() - extension.text.size()))
          .append(extension.replacement);
    }
  }
  return std::string(name);
}

bool MatchesWildcard(std::string_view pattern, std::string_view name) {
  if (pattern == "*.*" || pattern == "*" || pattern.empty()) return true;
  const std::u32string p = CodePoints(pattern);
  const std::u32string n = CodePoints(name);
  // Greedy matching with one backtrack point: the last "*" seen.
  std::size_t pi = 0;
  std::size_t ni = 0;
  std::size_t starAt = std::u32string::npos;
  std::size_t starName = 0;
  while (ni < n.size()) {
    if (pi < p.size() && p[pi] == U'*') {
      starAt = pi++;
      starName = ni;
    } else if (pi < p.size() && (p[pi] == U'?' || p[pi] == n[ni])) {
      ++pi;
      ++ni;
    } else if (starAt != std::u32string::npos) {
      pi = starAt + 1;
      ni = ++starName;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == U'*') ++pi;
  return pi == p.size();
}

bool SplitSafeName(std::string_view name, std::vector<std::string>& parts) {
  parts.clear();
  if (name.empty() || name.front() == '/' || name.back() == '/') return false;
  const bool driveLetter =
      name.size() >= 2 && name[1] == ':' &&
      ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'));
  if (driveLetter) return false;
  std::size_t start = 0;
  while (start <= name.size()) {
    const std::size_t slash = std::min(name.find('/', start), name.size());
    const std::string_view part = name.substr(start, slash - start);
    if (part == "..") return false;
    if (!part.empty() && part != ".") parts.emplace_back(part);
    start = slash + 1;
  }
  // A last component of "." would name the folder itself.
  return !parts.empty() && !name.ends_with("/.") && name != ".";
}

}  // namespace kolbrin::plugin
