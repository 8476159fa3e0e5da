#include "search/ResultTree.h"

#include <algorithm>

#include "platform/Text.h"

namespace kolbrin {
namespace {
constexpr std::size_t kSortPrefixLength = 8;
}

std::vector<std::string> ShownHitTexts(std::vector<std::string>& results,
                                       std::size_t firstPassEntries) {
  // Each pass finds its hits in offset order, so the entries are one or two sorted
  // runs: merging them is linear, and the order is the same as a full sort's.
  const platform::TextOrderedLess less;
  const auto runEnd = std::is_sorted_until(results.begin(), results.end(), less);
  if (runEnd != results.end()) {
    if (std::is_sorted(runEnd, results.end(), less)) {
      std::inplace_merge(results.begin(), runEnd, results.end(), less);
    } else {
      std::sort(results.begin(), results.end(), less);
    }
  }

  const auto textOf = [](std::string& entry) -> std::string&& {
    entry.erase(0, std::min(entry.size(), kSortPrefixLength));
    return std::move(entry);
  };
  if (firstPassEntries == 0 || firstPassEntries >= results.size()) {
    // One pass: the entries become the texts where they stand.
    for (std::string& entry : results) textOf(entry);
    std::vector<std::string> shown = std::move(results);
    results.clear();
    return shown;
  }
  std::vector<std::string> shown;
  shown.reserve(results.size());

  // The duplicate test: an open-addressing table of (hash, index into `shown`),
  // keyed by a hash of the folded text, so no key is built per entry and texts are
  // compared only when their hashes agree.
  std::size_t capacity = 16;
  while (capacity < results.size() * 2) capacity *= 2;
  struct Slot {
    std::uint64_t hash = 0;
    std::uint32_t index = 0xFFFFFFFFu;
  };
  std::vector<Slot> table(capacity);
  const std::size_t mask = capacity - 1;
  for (std::string& entry : results) {
    const std::string_view text =
        entry.size() > kSortPrefixLength ? std::string_view(entry).substr(kSortPrefixLength) : "";
    const std::uint64_t hash = platform::FoldedTextHash(text);
    std::size_t at = hash & mask;
    bool duplicate = false;
    for (; table[at].index != 0xFFFFFFFFu; at = (at + 1) & mask) {
      if (table[at].hash == hash &&
          platform::CompareTextIgnoreCase(shown[table[at].index], text) == 0) {
        duplicate = true;
        break;
      }
    }
    if (duplicate) continue;
    table[at] = Slot{hash, static_cast<std::uint32_t>(shown.size())};
    shown.push_back(textOf(entry));
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
