// The scanner: searches one file for the search strings and turns every hit into a
// result entry. It owns the file's bytes, line numbers and binary detection; the
// worker thread drives it file by file and chunk by chunk.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "search/TextEncoding.h"
#include "search/TextList.h"

namespace kolbrin {

enum class ScanResult {
  ScanMore,    // the file is not finished; call ScanStep again
  ScanNoHits,  // finished without hits, or the file cannot be read
  ScanHits,    // finished with hits
};

inline constexpr std::int32_t kAndMode = 1;  // a file has hits only if both strings occur
inline constexpr std::int32_t kOrMode = 2;   // either string suffices

// A pass stays text while it holds at most this many counted control bytes; the
// next one makes the rest of the pass binary. The decoding of a file goes by the
// same count, so a decoded file never turns binary.
inline constexpr std::int32_t kToleratedControls = 10;

// A control byte as the main scan counts it: below 0x20, but for TAB, LF, CR and
// ESC, which it tolerates.
constexpr bool IsCountedControl(unsigned char b) {
  return b < 0x20 && b != '\t' && b != '\n' && b != '\r' && b != 0x1B;
}

// The worker's chunk: a call of ScanStep examines at most this many bytes plus one.
inline constexpr std::uint32_t kChunkSize = 10240;

// The search settings, fixed for the whole search.
struct SearchSettings {
  std::string String1;  // 1..255 bytes
  std::string String2;  // 0..255 bytes; empty means a one-string search
  bool CaseSensitive = false;
  std::int32_t TabWidth = 8;  // spaces for each TAB in a text hit, 1..16
  std::int32_t AndMode = kAndMode;
  // How each file's bytes become the text searched; see search/TextEncoding.h.
  TextEncoding Encoding = TextEncoding::Auto;
};

// One scanner serves one worker thread; all calls come from that thread, except
// that CurrentFile is also read by the owner's thread while the worker waits for
// it. Results are sorted on the worker (ShownHitTexts in search/ResultTree.h) before
// the owner's thread is given the finished nodes.
class Scanner {
 public:
  virtual ~Scanner() = default;

  // The per-file reset: the first search string becomes the active one, the AND
  // bookkeeping starts afresh and the current file is forgotten, so the next
  // ScanStep loads the file even when its path equals the previous one.
  virtual void ResetForFile() = 0;
  // Loads `path` if it is not the current file, then scans on for one chunk.
  virtual ScanResult ScanStep(const std::string& path, std::uint32_t chunkSize) = 0;
  // The file being scanned, the text of its file node; empty before the first file.
  virtual const std::string& CurrentFile() const = 0;
  virtual void ClearCurrentFile() = 0;
  // The current file's result entries: 8 hex digits of the hit's offset, then the
  // hit node's text. In the order found, duplicates allowed.
  virtual TextList& Results() = 0;
  // How many of Results() the first pass found, when a second pass has begun; 0
  // while only the first pass ran. Only entries of different passes can be equal.
  virtual std::size_t FirstPassEntries() const = 0;
  // Whether the current file could not be read: it is missing, no regular file (a
  // folder, say), or opening it failed.
  virtual bool LoadFailed() const = 0;
};

// The plain byte-by-byte scanner: the reference the faster ones are held to.
std::unique_ptr<Scanner> MakePlainScanner(const SearchSettings& settings);

// The vectors a fast scanner's bulk searches use.
enum class VectorWidth {
  Widest,  // 64 bytes where the processor has them, else 32, else 16
  Wide,    // 32 bytes where the processor has them, else 16
  Narrow,  // 16 bytes
};

// How many bytes of a file the fast scanner reads at a time, into one buffer it
// keeps for every file and pass. Pieces of 128 KiB to 4 MiB search a cached file at
// the same speed within a few per cent; this one stays in a core's second-level
// cache from its reading to its scan.
inline constexpr std::size_t kReadPieceSize = std::size_t{256} << 10;

// The fast scanner: the plain one's results, step for step, from bulk searches over
// the file as it is read, `pieceSize` bytes at a time (tests make it tiny).
std::unique_ptr<Scanner> MakeFastScanner(const SearchSettings& settings,
                                         VectorWidth width = VectorWidth::Widest,
                                         std::size_t pieceSize = kReadPieceSize);

// The scanner a search uses.
std::unique_ptr<Scanner> MakeScanner(const SearchSettings& settings);

}  // namespace kolbrin
