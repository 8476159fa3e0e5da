// A direct transcription of the scanning algorithm: every byte goes through the
// whole per-byte state machine. Kept simple on purpose, as the reference that
// faster scanners are compared with byte for byte.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "platform/Files.h"
#include "platform/Text.h"
#include "search/HitEntry.h"
#include "search/SameCharacters.h"
#include "search/ScanPass.h"
#include "search/TextDecision.h"

namespace kolbrin {
namespace {

constexpr bool IsControlByte(unsigned char b, bool escTolerated) {
  if (b >= 0x20 || b == '\t' || b == '\n' || b == '\r') return false;
  return !(escTolerated && b == 0x1B);
}

class PlainScanner final : public ScanPass {
 public:
  explicit PlainScanner(const SearchSettings& settings) : ScanPass(settings) { ResetForFile(); }

 private:
  // The whole file in memory, and the text decided for it at once.
  bool Load(const std::string& path) override {
    if (!FileData.Load(path, SIZE_MAX)) return false;
    const TextEncoding from =
        DecodeFileText(settings_.Encoding, FileData.data(), FileData.size(), Decoded);
    Text = from == TextEncoding::Bytes
               ? std::string_view(reinterpret_cast<const char*>(FileData.data()), FileData.size())
               : std::string_view(Decoded);
    return true;
  }

  void ResetPosition() override {
    Offset = 0;
    LineLen = 0;
    ReadPosition = 0;
  }

  // The byte at the read position, advancing past it; -1 at the end of the file.
  int ReadByte() {
    if (ReadPosition >= Text.size()) return -1;
    return static_cast<unsigned char>(Text[ReadPosition++]);
  }

  std::size_t ReadBytes(unsigned char* target, std::size_t count) {
    const std::size_t available = Text.size() - ReadPosition;
    const std::size_t n = std::min(count, available);
    std::memcpy(target, Text.data() + ReadPosition, n);
    ReadPosition += n;
    return n;
  }

  void PatternChanged() override { Mapped.Assign(Pattern, PatternLength); }

  bool IsCandidate(unsigned char b) const {
    if (PatternLength == 0) return false;
    if (b == Pattern[0]) return true;
    // A text pass also finds the first character in its other mapping.
    if (!IsBinary && !Mapped.empty() && b == Mapped.OtherFirstByte()) return true;
    return !settings_.CaseSensitive && IsAsciiLetter(b) && (b ^ 0x20) == Pattern[0];
  }

  bool ScanChunk(std::uint32_t limit) override;
  void MatchMapped();
  void MakeTextHit();

  MappedString Mapped;  // the active string, when a text pass finds characters of it mapped
  platform::FileBytes FileData;
  std::string Decoded;
  std::string_view Text;  // the file's bytes, or their decoding
  std::size_t ReadPosition = 0;
  std::uint64_t Offset = 0;
  std::int32_t LineLen = 0;
  std::uint64_t HitOffset = 0;
  std::int64_t HitLine = 0;
  unsigned char LineBuffer[240] = {};
};

bool PlainScanner::ScanChunk(std::uint32_t limit) {
  std::uint32_t counter = 0;
  for (;;) {
    const int next = ReadByte();
    if (next < 0) return true;
    const auto b = static_cast<unsigned char>(next);

    // A CR is held but not counted, so the next byte overwrites it.
    LineBuffer[LineLen] = b;
    if (b != '\r' && LineLen < kLineCapacity) ++LineLen;

    if (IsControlByte(b, /*escTolerated=*/true) && !IsBinary) CountControl();

    if (b == '\n') {
      ++LineNo;
      LineLen = 0;
    }

    if (IsCandidate(b) && !IsBinary && !Mapped.empty()) {
      MatchMapped();
    } else if (IsCandidate(b)) {
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
        Offset += PatternLength - 1;
        if (IsBinary) {
          char head[kMaxHitHeadLength];
          char* headEnd = WriteBinaryHead(WriteSortPrefix(head, HitOffset), HitOffset);
          const char* matched = reinterpret_cast<const char*>(window);
          Results_.push_back(std::string(head, headEnd) +
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

// A text pass's candidate for a string with characters found in either mapping: the
// window is the text the string matches, which may differ from it in length; its
// bytes after the candidate are consumed and held in the line.
void PlainScanner::MatchMapped() {
  const std::size_t start = ReadPosition - 1;
  const auto* bytes = reinterpret_cast<const unsigned char*>(Text.data());
  const std::size_t matched =
      Mapped.Match(bytes + start, Text.size() - start, settings_.CaseSensitive);
  if (matched == 0) return;
  HitLine = LineNo;
  HitOffset = Offset;
  for (std::size_t k = 1; k < matched && LineLen < kLineCapacity; ++k) {
    LineBuffer[LineLen++] = bytes[start + k];
  }
  ReadPosition = start + matched;
  Offset += matched - 1;
  MakeTextHit();
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

  if (LineLen == kLineCapacity) {
    LineLen = static_cast<std::int32_t>(KeptBeforeEllipsis(LineBuffer));
    std::memcpy(LineBuffer + LineLen, "...", 3);
    LineLen += 3;
  }
  LineBuffer[LineLen] = 0;

  char head[kMaxHitHeadLength];
  std::string entry(head, WriteLineHead(WriteSortPrefix(head, HitOffset), HitLine));
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
