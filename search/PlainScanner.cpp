// A direct transcription of the scanning algorithm: every byte goes through the
// whole per-byte state machine. Kept simple on purpose, as the reference that
// faster scanners are compared with byte for byte.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/Files.h"
#include "platform/Text.h"
#include "search/FileText.h"
#include "search/Scanner.h"

namespace kolbrin {
namespace {

constexpr std::int32_t kLineCapacity = 238;  // bytes of a line that are held

constexpr bool IsControlByte(unsigned char b, bool escTolerated) {
  if (b >= 0x20 || b == '\t' || b == '\n' || b == '\r') return false;
  return !(escTolerated && b == 0x1B);
}

constexpr bool IsAsciiLetter(unsigned char b) {
  return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
}

std::string SortPrefix(std::uint32_t offset) {
  char prefix[16];
  std::snprintf(prefix, sizeof prefix, "%08X", offset);
  return prefix;
}

class PlainScanner final : public Scanner {
 public:
  explicit PlainScanner(const SearchSettings& settings)
      : settings_(settings),
        tabSpaces_(static_cast<std::size_t>(std::clamp(settings.TabWidth, 1, 16))),
        Text(settings.Encoding) {
    ResetForFile();
  }

  void ResetForFile() override {
    SetActiveString(settings_.String1);
    FirstPassCount = 0;
    CurrentFile_.clear();
  }

  ScanResult ScanStep(const std::string& path, std::uint32_t chunkSize) override;

  const std::string& CurrentFile() const override { return CurrentFile_; }
  void ClearCurrentFile() override { CurrentFile_.clear(); }
  TextList& Results() override { return Results_; }
  std::size_t FirstPassEntries() const override { return FirstPassCount; }
  bool LoadFailed() const override { return LoadFailed_; }
  void SetOnFileLoaded(std::function<void()> notification) override {
    onFileLoaded_ = std::move(notification);
  }

 private:
  void SetActiveString(const std::string& text) {
    ActiveString = text;
    const std::size_t length = std::min<std::size_t>(text.size(), sizeof Pattern - 1);
    std::memcpy(Pattern, text.data(), length);
    Pattern[length] = 0;
    PatternLength = std::strlen(reinterpret_cast<const char*>(Pattern));
  }

  void ResetPass() {
    Offset = 0;
    LineNo = 1;
    LineLen = 0;
    IsBinary = false;
    ControlCount = 0;
    ReadPosition = 0;
  }

  // The byte at the read position, advancing past it; -1 at the end of the file.
  int ReadByte() {
    if (ReadPosition >= Text.size()) return -1;
    return Text.data()[ReadPosition++];
  }

  std::size_t ReadBytes(unsigned char* target, std::size_t count) {
    const std::size_t available = Text.size() - ReadPosition;
    const std::size_t n = std::min(count, available);
    std::memcpy(target, Text.data() + ReadPosition, n);
    ReadPosition += n;
    return n;
  }

  bool IsCandidate(unsigned char b) const {
    if (PatternLength == 0) return false;
    if (b == Pattern[0]) return true;
    return !settings_.CaseSensitive && IsAsciiLetter(b) && (b ^ 0x20) == Pattern[0];
  }

  bool ScanChunk(std::uint32_t limit);
  void MakeTextHit();

  const SearchSettings settings_;
  const std::size_t tabSpaces_;
  std::function<void()> onFileLoaded_;

  platform::FileBytes FileData;
  // The text searched: the file's bytes, or their UTF-8 transcoding, decided at load.
  FileText Text;
  std::size_t ReadPosition = 0;
  unsigned char Pattern[256] = {};
  std::size_t PatternLength = 0;
  bool IsBinary = false;
  std::uint32_t Offset = 0;
  // Line numbers are 64-bit so that a file of more than 2^31 line feeds cannot overflow them.
  std::int64_t LineNo = 1;
  std::int32_t LineLen = 0;
  std::int32_t ControlCount = 0;
  std::uint32_t HitOffset = 0;
  std::int64_t HitLine = 0;
  unsigned char LineBuffer[240] = {};
  std::string CurrentFile_;
  bool LoadFailed_ = false;
  std::size_t FirstPassCount = 0;
  TextList Results_;
  std::string ActiveString;
};

ScanResult PlainScanner::ScanStep(const std::string& path, std::uint32_t chunkSize) {
  if (path != CurrentFile_) {
    CurrentFile_ = path;
    Results_.clear();
    LoadFailed_ = !FileData.Load(path, kMaxScannedFileSize);
    if (LoadFailed_) return ScanResult::ScanNoHits;
    Text.Start(FileData.data(), FileData.size());
    Text.SettleAll();
    ResetPass();
    if (onFileLoaded_) onFileLoaded_();
  }

  if (!ScanChunk(chunkSize)) return ScanResult::ScanMore;

  const bool secondPass =
      !settings_.String2.empty() && ActiveString != settings_.String2 &&
      ((settings_.AndMode == kAndMode && !Results_.empty()) || settings_.AndMode == kOrMode);
  if (secondPass) {
    SetActiveString(settings_.String2);
    ResetPass();
    FirstPassCount = Results_.size();
    return ScanResult::ScanMore;
  }
  if (settings_.AndMode == kAndMode) {
    if (Results_.size() == FirstPassCount) {
      Results_.clear();
      return ScanResult::ScanNoHits;
    }
    return ScanResult::ScanHits;
  }
  return Results_.empty() ? ScanResult::ScanNoHits : ScanResult::ScanHits;
}

bool PlainScanner::ScanChunk(std::uint32_t limit) {
  std::uint32_t counter = 0;
  for (;;) {
    const int next = ReadByte();
    if (next < 0) return true;
    const auto b = static_cast<unsigned char>(next);

    // A CR is held but not counted, so the next byte overwrites it.
    LineBuffer[LineLen] = b;
    if (b != '\r' && LineLen < kLineCapacity) ++LineLen;

    if (IsControlByte(b, /*escTolerated=*/true) && !IsBinary) {
      if (ControlCount == kToleratedControls) {
        IsBinary = true;
      } else {
        ++ControlCount;
      }
    }

    if (b == '\n') {
      ++LineNo;
      LineLen = 0;
    }

    if (IsCandidate(b)) {
      const std::size_t noted = ReadPosition;
      unsigned char window[256] = {};
      window[0] = b;
      ReadBytes(window + 1, PatternLength - 1);
      bool equal;
      if (settings_.CaseSensitive || IsBinary) {
        // The candidate test has already matched the first byte, in either ASCII
        // case when case is ignored; the rest must match exactly.
        equal = std::memcmp(window + 1, Pattern + 1, PatternLength - 1) == 0;
      } else {
        const std::string_view windowText(reinterpret_cast<const char*>(window),
                                          ::strnlen(reinterpret_cast<const char*>(window), 255));
        const std::string_view patternText(reinterpret_cast<const char*>(Pattern), PatternLength);
        equal = platform::CompareTextIgnoreCase(windowText, patternText) == 0;
      }

      if (!equal) {
        ReadPosition = noted;
      } else {
        HitLine = LineNo;
        HitOffset = Offset;
        for (std::size_t k = 1; k < PatternLength && LineLen < kLineCapacity; ++k) {
          LineBuffer[LineLen++] = window[k];
        }
        Offset += static_cast<std::uint32_t>(PatternLength - 1);
        if (IsBinary) {
          char head[32];
          std::snprintf(head, sizeof head, "BIN[%08X]:", HitOffset);
          const char* matched = reinterpret_cast<const char*>(window);
          Results_.push_back(SortPrefix(HitOffset) + head +
                             std::string(matched, ::strnlen(matched, 255)));
        } else {
          MakeTextHit();
        }
      }
    }

    ++Offset;
    if (counter == limit) return false;
    ++counter;
  }
}

void PlainScanner::MakeTextHit() {
  for (;;) {
    const int next = ReadByte();
    if (next < 0) break;
    ++Offset;
    const auto b = static_cast<unsigned char>(next);
    if (IsControlByte(b, /*escTolerated=*/false)) {
      IsBinary = true;
      break;
    }
    if (b == '\n') {
      ++LineNo;
      break;
    }
    if (b == '\r') continue;
    if (LineLen < kLineCapacity) LineBuffer[LineLen++] = b;
  }

  if (LineLen == kLineCapacity) std::memcpy(LineBuffer + kLineCapacity - 3, "...", 3);
  LineBuffer[LineLen] = 0;

  char head[48];
  std::snprintf(head, sizeof head, "LINE[%010lld]:", static_cast<long long>(HitLine));
  std::string entry = SortPrefix(HitOffset) + head;
  for (const unsigned char* p = LineBuffer; *p != 0; ++p) {
    if (*p == '\t') {
      entry.append(tabSpaces_, ' ');
    } else {
      entry.push_back(static_cast<char>(*p));
    }
  }
  Results_.push_back(std::move(entry));
  LineLen = 0;
}

}  // namespace

std::unique_ptr<Scanner> MakePlainScanner(const SearchSettings& settings) {
  return std::make_unique<PlainScanner>(settings);
}

std::unique_ptr<Scanner> MakeScanner(const SearchSettings& settings) {
  return MakeFastScanner(settings);
}

}  // namespace kolbrin
