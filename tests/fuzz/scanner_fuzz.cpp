// libFuzzer target: arbitrary bytes and options fed to the plain and the fast
// scanner; any difference in their results aborts.
//
// Input layout: byte 0 flags (bit 0 case kept, bit 1 OR, bit 2 a second string),
// byte 1 tab width, byte 2 chunk size selector (its high bits: the fast scanner's
// read piece), byte 3 and 4 the two string lengths (1..5 and 0..5), then the
// strings, then the file's bytes.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "search/Scanner.h"

namespace {

// The result of each step (or, with `steps` false, of the last: a file read in
// pieces may turn out to need decoding late, and is then scanned again), the entries.
std::string Dump(kolbrin::Scanner& scanner, const std::string& path, std::uint32_t chunk,
                 bool steps) {
  std::ostringstream dump;
  scanner.ResetForFile();
  kolbrin::ScanResult result;
  do {
    result = scanner.ScanStep(path, chunk);
    if (steps) dump << static_cast<int>(result);
  } while (result == kolbrin::ScanResult::ScanMore);
  if (!steps) dump << static_cast<int>(result);
  dump << "\nfirst pass=" << scanner.FirstPassEntries();
  for (std::string_view entry : scanner.Results()) dump << "\n" << entry;
  return dump.str();
}

const std::string& InputPath() {
  static const std::string path = [] {
    const char* folder = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(folder) + "/kolbrin-fuzz-" + std::to_string(::getpid());
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  if (size < 5) return 0;
  const unsigned flags = data[0];
  kolbrin::SearchSettings settings;
  settings.CaseSensitive = (flags & 1) != 0;
  settings.AndMode = (flags & 2) ? kolbrin::kOrMode : kolbrin::kAndMode;
  settings.TabWidth = 1 + data[1] % 16;
  static const std::uint32_t kChunks[] = {1, 2, 3, 4, 5, 7, 64, kolbrin::kChunkSize};
  const std::uint32_t chunk = kChunks[data[2] % 8];
  static const std::size_t kPieces[] = {1, 3, 64, kolbrin::kReadPieceSize};
  const std::size_t piece = kPieces[(data[2] >> 3) % 4];
  const std::size_t length1 = 1 + data[3] % 5;
  const std::size_t length2 = (flags & 4) ? data[4] % 6 : 0;
  std::size_t at = 5;
  if (size < at + length1 + length2) return 0;
  settings.String1.assign(reinterpret_cast<const char*>(data + at), length1);
  at += length1;
  settings.String2.assign(reinterpret_cast<const char*>(data + at), length2);
  at += length2;
  // Strings reach the scanner zero-terminated, as the front ends give them.
  if (settings.String1.find('\0') != std::string::npos ||
      settings.String2.find('\0') != std::string::npos) {
    return 0;
  }

  std::FILE* file = std::fopen(InputPath().c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data + at, 1, size - at, file);
  std::fclose(file);

  const bool steps = piece > size - at;
  auto plain = kolbrin::MakePlainScanner(settings);
  const std::string expected = Dump(*plain, InputPath(), chunk, steps);
  // The fast scanner with 64- and 32-byte vectors where the processor has them, and 16.
  for (const auto width :
       {kolbrin::VectorWidth::Widest, kolbrin::VectorWidth::Wide, kolbrin::VectorWidth::Narrow}) {
    auto fast = kolbrin::MakeFastScanner(settings, width, piece);
    const std::string actual = Dump(*fast, InputPath(), chunk, steps);
    if (expected != actual) {
      std::fprintf(stderr,
                   "scanners differ (chunk %u, piece %zu, width %d)\nplain:\n%s\nfast:\n%s\n",
                   chunk, piece, static_cast<int>(width), expected.c_str(), actual.c_str());
      std::abort();
    }
  }
  return 0;
}
