// What every scanner does the same way around its scan of the bytes: loading each
// file once, the two passes of a two-string search, and the AND/OR decision that
// ends a file. A scanner derives from ScanPass and supplies the loading of a file's
// bytes into Text, the reset of its own pass state, and the scan of one chunk.
//
// Not here: the per-byte state machine (control counting, lines, hits), which each
// scanner keeps on its own so that the plain one stays an independent reference.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "search/FileText.h"
#include "search/Scanner.h"

namespace kolbrin {

// Bytes of a line that a text hit holds; a longer line ends in "...".
inline constexpr std::int32_t kLineCapacity = 238;

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
  void SetOnFileLoaded(std::function<void()> notification) override {
    onFileLoaded_ = std::move(notification);
  }

 protected:
  // The derived constructor calls ResetForFile, once its own members exist, so that
  // the first string's pattern reaches PatternChanged.
  explicit ScanPass(const SearchSettings& settings);

  // Reads `path` and starts Text on its bytes; false when it cannot be read. The
  // bytes stay valid until the next call.
  virtual bool LoadFile(const std::string& path) = 0;
  // Puts the pass back at the start of the text: offset 0, line 1, text, no controls.
  virtual void ResetPass() = 0;
  // Scans on for one chunk of `limit` + 1 bytes; true when the pass has reached the
  // end of the text.
  virtual bool ScanChunk(std::uint32_t limit) = 0;
  // Called when Pattern holds a new active string.
  virtual void PatternChanged() {}

  // Starts the file's first pass over: the text it scanned has been replaced.
  void RestartFile() {
    ResetPass();
    Results_.clear();
  }

  const SearchSettings settings_;
  const std::size_t tabSpaces_;  // spaces for each TAB of a text hit's line
  // The text searched: the file's bytes, or their UTF-8 transcoding.
  FileText Text;
  // The active string, zero-terminated, and its length up to its first zero byte.
  unsigned char Pattern[256] = {};
  std::size_t PatternLength = 0;
  TextList Results_;

 private:
  void SetActiveString(const std::string& text);
  ScanResult FinishPass();

  std::function<void()> onFileLoaded_;
  std::string CurrentFile_;
  bool LoadFailed_ = false;
  std::size_t FirstPassCount = 0;
  std::string ActiveString;
};

}  // namespace kolbrin
