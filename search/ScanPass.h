// What every scanner does the same way around its scan of the bytes: opening each
// file once, the two passes of a two-string search, the AND/OR decision that ends a
// file, and the state of a pass (line, binary, control count). A scanner derives
// from ScanPass and supplies the opening of a file (with the decision of its text),
// the reset of its own position and the scan of one chunk.
//
// Not here: the walk over the bytes that moves that state on and makes the hits,
// which each scanner does its own way, so that the plain one stays an independent
// reference for the fast one.
#pragma once

#include <unicode/utf8.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "search/Scanner.h"

namespace kolbrin {

// Bytes of a line that a text hit holds; a longer line ends in "...".
inline constexpr std::int32_t kLineCapacity = 238;

// The bytes a full line (kLineCapacity bytes) keeps before its "...": the first
// kLineCapacity - 3, or fewer when the last of those would cut a well-formed UTF-8
// character whose bytes are all held, which then goes whole, so that the line
// shows no broken character. Other bytes are cut where they fall.
inline std::size_t KeptBeforeEllipsis(const unsigned char* line) {
  constexpr std::size_t kept = kLineCapacity - 3;
  // The character cut would start at the last byte before `kept` that is no
  // continuation byte, at most three bytes back.
  for (std::size_t back = 1; back <= 3; ++back) {
    const std::size_t start = kept - back;
    if ((line[start] & 0xC0) == 0x80) continue;
    std::int32_t length = 0;
    UChar32 c;
    U8_NEXT(line + start, length, static_cast<std::int32_t>(kLineCapacity - start), c);
    return c >= 0 && start + static_cast<std::size_t>(length) > kept ? start : kept;
  }
  return kept;
}

constexpr bool IsAsciiLetter(unsigned char b) {
  return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
}

class ScanPass : public Scanner {
 public:
  void ResetForFile() override;
  ScanResult ScanStep(const std::string& path, std::uint32_t chunkSize) override;

  const std::string& CurrentFile() const override { return CurrentFile_; }
  void ClearCurrentFile() override { CurrentFile_.clear(); }
  TextList& Results() override { return Results_; }
  std::size_t FirstPassEntries() const override { return FirstPassCount; }
  bool LoadFailed() const override { return LoadFailed_; }

 protected:
  // The derived constructor calls ResetForFile, once its own members exist, so that
  // the first string's pattern reaches PatternChanged.
  explicit ScanPass(const SearchSettings& settings);

  // Opens `path` for the passes to come; false when it cannot be read.
  virtual bool Load(const std::string& path) = 0;
  // Puts the scanner's own position at the start of the text.
  virtual void ResetPosition() = 0;
  // Scans on for one chunk of `limit` + 1 bytes; true when the pass has reached the
  // end of the text.
  virtual bool ScanChunk(std::uint32_t limit) = 0;
  // Called when Pattern holds a new active string.
  virtual void PatternChanged() {}

  // Puts the pass back at the start of the text: line 1, text, no controls.
  void ResetPass() {
    IsBinary = false;
    LineNo = 1;
    ControlCount = 0;
    ResetPosition();
  }

  // Counts a control byte that a text pass does not tolerate: the one past
  // kToleratedControls makes the rest of the pass binary.
  void CountControl() {
    if (ControlCount == kToleratedControls) {
      IsBinary = true;
    } else {
      ++ControlCount;
    }
  }

  // Starts the file's first pass over: the text it scanned has been replaced.
  void RestartFile() {
    ResetPass();
    Results_.clear();
  }

  const SearchSettings settings_;
  const std::size_t tabSpaces_;  // spaces for each TAB of a text hit's line
  // The active string, zero-terminated, and its length up to its first zero byte.
  unsigned char Pattern[256] = {};
  std::size_t PatternLength = 0;
  TextList Results_;

  // The pass, as far as examined: binary once the control bytes exceed the tolerated
  // count, and the line reached. Line numbers are 64-bit so that a file of more than
  // 2^31 line feeds cannot overflow them.
  bool IsBinary = false;
  std::int64_t LineNo = 1;
  std::int32_t ControlCount = 0;

 private:
  void SetActiveString(const std::string& text);
  ScanResult FinishPass();

  std::string CurrentFile_;
  bool LoadFailed_ = false;
  std::size_t FirstPassCount = 0;
  std::string ActiveString;
};

}  // namespace kolbrin
