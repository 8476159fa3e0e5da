#include "search/ResultTree.h"

#include <algorithm>
#include <unordered_set>

#include "platform/Text.h"

namespace kolbrin {
namespace {
constexpr std::size_t kSortPrefixLength = 8;
}

std::vector<std::string> ShownHitTexts(std::vector<std::string>& results) {
  std::sort(results.begin(), results.end(), platform::TextOrderedLess{});
  std::vector<std::string> shown;
  shown.reserve(results.size());
  std::unordered_set<std::string> seen;
  seen.reserve(results.size());
  for (const std::string& entry : results) {
    std::string text = entry.size() > kSortPrefixLength ? entry.substr(kSortPrefixLength) : "";
    if (seen.insert(platform::FoldedTextKey(text)).second) shown.push_back(std::move(text));
  }
  return shown;
}

void ResultTree::AddFile(std::string text, std::vector<std::string> hits, bool expanded) {
  files_.push_back(FileNode{std::move(text), std::move(hits), expanded});
}

std::size_t ResultTree::HitCount() const {
  std::size_t count = 0;
  for (const FileNode& file : files_) count += file.hits.size();
  return count;
}

std::string TreeText(const std::vector<FileNode>& files,
                     const std::function<bool(std::size_t)>& expanded) {
  std::string text;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const FileNode& file = files[i];
    const bool showHits = !file.hits.empty() && expanded(i);
    text += file.hits.empty() ? ' ' : (showHits ? '-' : '+');
    text += file.text;
    text += '\n';
    if (!showHits) continue;
    for (const std::string& hit : file.hits) {
      text += '\t';
      text += hit;
      text += '\n';
    }
  }
  return text;
}

std::string ResultTree::CopyText() const {
  return TreeText(files_, [this](std::size_t i) { return files_[i].expanded; });
}

}  // namespace kolbrin
