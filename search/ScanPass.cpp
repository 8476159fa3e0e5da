#include "search/ScanPass.h"

#include <algorithm>
#include <cstring>

namespace kolbrin {

ScanPass::ScanPass(const SearchSettings& settings)
    : settings_(settings),
      tabSpaces_(static_cast<std::size_t>(std::clamp(settings.TabWidth, 1, 16))) {}

void ScanPass::ResetForFile() {
  SetActiveString(settings_.String1);
  FirstPassCount = 0;
  CurrentFile_.clear();
}

void ScanPass::SetActiveString(const std::string& text) {
  ActiveString = text;
  const std::size_t length = std::min<std::size_t>(text.size(), sizeof Pattern - 1);
  std::memcpy(Pattern, text.data(), length);
  Pattern[length] = 0;
  PatternLength = std::strlen(reinterpret_cast<const char*>(Pattern));
  PatternChanged();
}

ScanResult ScanPass::ScanStep(const std::string& path, std::uint32_t chunkSize) {
  if (path != CurrentFile_) {
    CurrentFile_ = path;
    Results_.clear();
    LoadFailed_ = !Load(path);
    if (LoadFailed_) return ScanResult::ScanNoHits;
    ResetPass();
  }
  if (!ScanChunk(chunkSize)) return ScanResult::ScanMore;
  return FinishPass();
}

// At the end of a pass: the second string's pass follows when there is one and the
// first pass leaves it something to decide; otherwise the file is done.
ScanResult ScanPass::FinishPass() {
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

}  // namespace kolbrin
