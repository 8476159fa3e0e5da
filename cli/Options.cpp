#include "cli/Options.h"

#include <charconv>

#include "search/ScanAhead.h"
#include "search/TextEncoding.h"

namespace kolbrin::cli {

const char kUsage[] =
    "Usage: kolbrin-grep [OPTIONS] STRING1 PATH...\n"
    "Search the files PATH... for STRING1 (and a second string) and print the\n"
    "result tree: \"-\" and the path of each file with hits, then a TAB and each hit.\n"
    "\n"
    "  --second STRING  the second search string (AND by default)\n"
    "  --or             either string suffices\n"
    "  --case           letter case must match\n"
    "  --tab N          spaces for a TAB in a shown line, 1 to 16 (default 8)\n"
    "  --show-empty     also list files without hits\n"
    "  -r, --recursive  search every regular file below a folder PATH (symbolic\n"
    "                   links to folders are not followed); without it folders\n"
    "                   are skipped\n"
    "  --encoding NAME  how files are decoded before the search (default auto):\n"
    "                   auto (file by file), bytes (no decoding), utf-8, cp932\n"
    "                   (also shift_jis, sjis), euc-jp, iso-2022-jp, utf-16le,\n"
    "                   utf-16be\n"
    "  --jobs N         files searched at once, 0 to 64 (default 0: one per\n"
    "                   processor core); 1 searches one file after another on\n"
    "                   one thread. The output is the same for any N\n"
    "  --help           show this help\n"
    "  --version        show the version\n"
    "  --               end of options\n"
    "\n"
    "Archives are searched member by member: a PATH whose name contains .zip or\n"
    ".lzh (any case), and one ending in .7z, .rar, .tar, .tar.gz, .tgz, .tar.bz2,\n"
    ".tbz2, .tbz, .tar.xz, .txz, .tar.zst, .tzst, .cpio, .iso, .cab, .lha, or a\n"
    "single compressed .gz, .bz2, .xz, .zst, .lz4 or .Z (any case) whose content\n"
    "confirms it; otherwise (a file the plug-ins refuse by its signature) it is\n"
    "searched as a file. Archives inside archives are opened up to 3 levels deep\n"
    "(the PATH is level 1).\n"
    "\n"
    "A path that cannot be searched (missing, unreadable, a damaged archive, a\n"
    "member that cannot be extracted) is named on stderr with the reason.\n"
    "\n"
    "Exit status: 0 if a hit was printed, 1 if none, 2 on a usage error or when a\n"
    "path could not be searched (even if hits were printed), 130 when stopped by an\n"
    "interrupt, 143 on SIGTERM, 129 on SIGHUP.\n";

const char kVersion[] = KOLBRIN_VERSION;

namespace {

constexpr std::size_t kMaxStringBytes = 255;

// `text` as a whole decimal number from `least` to `most`.
std::optional<int> ParseNumber(const std::string& text, int least, int most) {
  int value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end || value < least || value > most) {
    return std::nullopt;
  }
  return value;
}

ParseOutcome Fail(std::string message) {
  ParseOutcome outcome;
  outcome.kind = ParseOutcome::UsageError;
  outcome.message = std::move(message);
  return outcome;
}

}  // namespace

ParseOutcome ParseArguments(const std::vector<std::string>& arguments) {
  ParseOutcome outcome;
  outcome.kind = ParseOutcome::Run;
  Options& options = outcome.options;
  std::vector<std::string> operands;

  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--") {
      operands.insert(operands.end(), arguments.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                      arguments.end());
      break;
    }
    if (argument.size() < 2 || argument[0] != '-') {
      operands.push_back(argument);
      continue;
    }
    // The one short option, as grep spells it.
    if (argument == "-r") {
      options.searchFolders = true;
      continue;
    }
    if (argument[1] != '-') return Fail("unknown option '" + argument + "'");

    const std::size_t equals = argument.find('=');
    const std::string name = argument.substr(0, equals);
    std::optional<std::string> value;
    if (equals != std::string::npos) value = argument.substr(equals + 1);

    const bool takesValue =
        name == "--second" || name == "--tab" || name == "--encoding" || name == "--jobs";
    if (takesValue && !value) {
      if (i + 1 >= arguments.size()) return Fail("option '" + name + "' needs a value");
      value = arguments[++i];
    }
    if (!takesValue && value) return Fail("option '" + name + "' takes no value");

    if (name == "--second") {
      if (value->size() > kMaxStringBytes) return Fail("--second must be at most 255 bytes");
      options.settings.String2 = *value;
    } else if (name == "--tab") {
      const std::optional<int> width = ParseNumber(*value, 1, 16);
      if (!width) return Fail("--tab must be a number from 1 to 16, not '" + *value + "'");
      options.settings.TabWidth = *width;
    } else if (name == "--encoding") {
      const std::optional<TextEncoding> encoding = ParseEncodingName(*value);
      if (!encoding) {
        return Fail("--encoding must be one of " + std::string(kEncodingNames) + ", not '" +
                    *value + "'");
      }
      options.settings.Encoding = *encoding;
    } else if (name == "--jobs") {
      const std::optional<int> jobs = ParseNumber(*value, 0, static_cast<int>(kMostJobs));
      if (!jobs) return Fail("--jobs must be a number from 0 to 64, not '" + *value + "'");
      options.jobs = static_cast<unsigned>(*jobs);
    } else if (name == "--or") {
      options.settings.AndMode = kOrMode;
    } else if (name == "--case") {
      options.settings.CaseSensitive = true;
    } else if (name == "--show-empty") {
      options.showEmpty = true;
    } else if (name == "--recursive") {
      options.searchFolders = true;
    } else if (name == "--help") {
      outcome.kind = ParseOutcome::Help;
      return outcome;
    } else if (name == "--version") {
      outcome.kind = ParseOutcome::Version;
      return outcome;
    } else {
      return Fail("unknown option '" + name + "'");
    }
  }

  if (operands.empty()) return Fail("STRING1 is missing");
  options.settings.String1 = operands.front();
  if (options.settings.String1.empty() || options.settings.String1.size() > kMaxStringBytes) {
    return Fail("STRING1 must be 1 to 255 bytes");
  }
  options.paths.assign(operands.begin() + 1, operands.end());
  if (options.paths.empty()) return Fail("at least one PATH is needed");
  return outcome;
}

}  // namespace kolbrin::cli
