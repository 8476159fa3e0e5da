// The result tree without a window: file nodes in the order their scanning ended,
// each with its hit nodes, and nothing deeper. Also the publication rule that turns
// a finished file's result entries into hit-node texts. The tree's text form is
// written by search/TreePrinter.h.
#pragma once

#include <string>
#include <vector>

#include "search/TextList.h"

namespace kolbrin {

struct FileNode {
  std::string text;  // the searched file's path
  TextList hits;     // hit-node texts, in file-offset order
};

// Orders `results` without regard to case (ties by bytes) and returns the
// hit-node texts in that order: each entry without its sort prefix,
// leaving out a text equal, without regard to case, to one already taken.
// `firstPassEntries` (see Scanner::FirstPassEntries): 0 when all entries come from
// one pass, in the order it found them, so they are in order already and their texts
// all differ (each holds its own line number or offset): nothing is sorted or tested.
// Otherwise how many entries the first pass found; kPassesNotKnown for entries of
// unknown origin.
// The entries are consumed: their bytes move into the texts, and `results` is left
// empty.
TextList ShownHitTexts(TextList& results, std::size_t firstPassEntries);

// `firstPassEntries` for entries that no scanner's passes account for: in any order,
// and any of them may equal another, as if a second pass had begun after the first
// entry. All are sorted and tested for equal texts.
inline constexpr std::size_t kPassesNotKnown = 1;

class ResultTree {
 public:
  void AddFile(std::string text, TextList hits);
  const std::vector<FileNode>& Files() const { return files_; }
  std::size_t HitCount() const;

 private:
  std::vector<FileNode> files_;
};

}  // namespace kolbrin
