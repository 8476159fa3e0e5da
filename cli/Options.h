// Command-line parsing for kolbrin-grep, kept apart from main so it can be tested.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "search/Scanner.h"

namespace kolbrin::cli {

struct Options {
  SearchSettings settings;
  bool showEmpty = false;
  bool searchFolders = false;  // -r: a folder stands for the files below it
  unsigned jobs = 0;           // --jobs: files searched at once, 0 one per core
  std::vector<std::string> paths;
};

struct ParseOutcome {
  enum Kind { Run, Help, Version, UsageError } kind = UsageError;
  Options options;
  std::string message;  // names the problem, for UsageError
};

ParseOutcome ParseArguments(const std::vector<std::string>& arguments);

extern const char kUsage[];
extern const char kVersion[];

}  // namespace kolbrin::cli
