// Helpers shared by the tests: a private temporary folder, reading a whole file,
// scanning a file to the end, and running a program with its output captured.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "search/Scanner.h"

namespace kolbrin::test {

// A fresh folder under the system's temporary folder, removed with its contents.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return path_; }
  // Writes `bytes` to `name` inside the folder and returns the file's path.
  std::string Write(const std::string& name, const std::string& bytes) const;

 private:
  std::string path_;
};

// `utf8` in the encoding ICU calls `converterName`; empty when a character has no
// mapping there.
std::string Encode(const std::string& utf8, const char* converterName);

// The whole content of the file at `path`; empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);

// Bytes this process has handed to write() so far (wchar of /proc/self/io), all
// threads and every descriptor together.
std::uint64_t BytesWritten();
// What a test allows for the process's other writes (its threads signalling each
// other, a sanitizer's own) when it measures one extraction's writes that way.
inline constexpr std::uint64_t kOtherWrites = 4096;

struct ScanOutcome {
  ScanResult result = ScanResult::ScanMore;
  TextList entries;                  // the result entries, sort prefixes included
  std::size_t firstPassEntries = 0;  // the scanner's FirstPassEntries at the end
  int steps = 0;                     // ScanStep calls made
};

// Resets `scanner` for a new file and calls ScanStep until the file is finished.
ScanOutcome ScanToEnd(Scanner& scanner, const std::string& path, std::uint32_t chunkSize);

struct ProcessOutcome {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Runs `program` with `arguments` in `workingFolder` (empty: the current one),
// stdin from /dev/null.
ProcessOutcome RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                          const std::string& workingFolder = "");

}  // namespace kolbrin::test
