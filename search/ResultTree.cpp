#include "search/ResultTree.h"

#include <algorithm>
#include <cstdint>

#include "platform/Text.h"
#include "search/HitEntry.h"

namespace kolbrin {
namespace {

bool IsUpperHexDigit(unsigned char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// The order of the entries, decided on the sort prefix where it can be: while both
// prefixes are upper-case hex digits, the first byte where they differ decides,
// because folding keeps such bytes in the same order ('0'-'9' before 'a'-'f' as
// before 'A'-'F'). Entries of one pass always differ there, so sorting and checking
// the order rarely need the full comparison. A long prefix begins with "G", which is
// no hex digit, so the full comparison orders it, after every short one.
struct EntryLess {
  platform::TextOrderedLess less;
  bool operator()(std::string_view a, std::string_view b) const {
    if (a.size() >= kSortPrefixLength && b.size() >= kSortPrefixLength) {
      for (std::size_t k = 0; k < kSortPrefixLength; ++k) {
        const auto x = static_cast<unsigned char>(a[k]);
        const auto y = static_cast<unsigned char>(b[k]);
        if (!IsUpperHexDigit(x) || !IsUpperHexDigit(y)) break;
        if (x != y) return x < y;
      }
    }
    return less(a, b);
  }
};
}  // namespace

TextList ShownHitTexts(TextList& results, std::size_t firstPassEntries) {
  // Only the views move: the entries' bytes stay where the scanner put them, and the
  // texts are the entries with their sort prefixes cut off.
  std::vector<std::string_view>& entries = results.Views();

  const auto textOf = [](std::string_view entry) {
    entry.remove_prefix(std::min(entry.size(), SortPrefixLength(entry)));
    return entry;
  };
  // Each pass finds its hits in offset order, so the entries are one or two sorted
  // runs: merging them is linear, and the order is the same as a full sort's. One
  // pass needs nothing.
  if (firstPassEntries != 0) {
    const EntryLess less;
    const auto runEnd = std::is_sorted_until(entries.begin(), entries.end(), less);
    if (runEnd != entries.end()) {
      if (std::is_sorted(runEnd, entries.end(), less)) {
        std::inplace_merge(entries.begin(), runEnd, entries.end(), less);
      } else {
        std::sort(entries.begin(), entries.end(), less);
      }
    }
  }
  if (firstPassEntries == 0 || firstPassEntries >= entries.size()) {
    // The hits of one pass: no two entries can be equal.
    for (std::string_view& entry : entries) entry = textOf(entry);
    return std::move(results);
  }

  // The duplicate test: an open-addressing table of (hash, index of a kept text),
  // keyed by a hash of the folded text, so no key is built per entry and texts are
  // compared only when their hashes agree. Kept texts move to the front.
  std::size_t capacity = 16;
  while (capacity < entries.size() * 2) capacity *= 2;
  struct Slot {
    std::uint64_t hash = 0;
    std::uint32_t index = 0xFFFFFFFFu;
  };
  std::vector<Slot> table(capacity);
  const std::size_t mask = capacity - 1;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string_view text = textOf(entries[i]);
    const std::uint64_t hash = platform::FoldedTextHash(text);
    std::size_t at = hash & mask;
    bool duplicate = false;
    for (; table[at].index != 0xFFFFFFFFu; at = (at + 1) & mask) {
      if (table[at].hash == hash &&
          platform::CompareTextIgnoreCase(entries[table[at].index], text) == 0) {
        duplicate = true;
        break;
      }
    }
    if (duplicate) continue;
    table[at] = Slot{hash, static_cast<std::uint32_t>(kept)};
    entries[kept++] = text;
  }
  entries.resize(kept);
  return std::move(results);
}

void ResultTree::AddFile(std::string text, TextList hits) {
  files_.push_back(FileNode{std::move(text), std::move(hits)});
}

std::size_t ResultTree::HitCount() const {
  std::size_t count = 0;
  for (const FileNode& file : files_) count += file.hits.size();
  return count;
}

}  // namespace kolbrin
