#include "search/TextEncoding.h"

#include <array>
#include <utility>

namespace kolbrin {
namespace {

struct NamedEncoding {
  std::string_view name;
  TextEncoding encoding;
};

constexpr std::array<NamedEncoding, 10> kNames{{
    {"auto", TextEncoding::Auto},
    {"bytes", TextEncoding::Bytes},
    {"utf-8", TextEncoding::Utf8},
    {"cp932", TextEncoding::Cp932},
    {"shift_jis", TextEncoding::Cp932},
    {"sjis", TextEncoding::Cp932},
    {"euc-jp", TextEncoding::EucJp},
    {"iso-2022-jp", TextEncoding::Iso2022Jp},
    {"utf-16le", TextEncoding::Utf16Le},
    {"utf-16be", TextEncoding::Utf16Be},
}};

bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) {
      return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

std::optional<TextEncoding> ParseEncodingName(std::string_view name) {
  for (const NamedEncoding& entry : kNames) {
    if (EqualIgnoringAsciiCase(entry.name, name)) return entry.encoding;
  }
  return std::nullopt;
}

}  // namespace kolbrin
