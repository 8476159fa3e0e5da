// The result tree without a window: file nodes in the order their scanning ended,
// each with its hit nodes, and nothing deeper. Also the publication rule that turns
// a finished file's result entries into hit-node texts, and the tree's text form.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "search/TextList.h"

namespace kolbrin {

struct FileNode {
  std::string text;  // the searched file's path
  TextList hits;     // hit-node texts, in file-offset order
  bool expanded = false;
};

// Orders `results` without regard to case (ties by bytes) and returns the
// hit-node texts in that order: each entry without its 8-character sort prefix,
// leaving out a text equal, without regard to case, to one already taken.
// `firstPassEntries` (see Scanner::FirstPassEntries): 0 when all entries come from
// one pass, in the order it found them, so they are in order already and their texts
// all differ (each holds its own line number or offset): nothing is sorted or tested.
// The entries are consumed: their bytes move into the texts, and `results` is left
// empty.
TextList ShownHitTexts(TextList& results, std::size_t firstPassEntries = 1);

// A node's text as the tree shows and copies it. Well-formed UTF-8 stands as it is
// (a backslash in it stays one backslash); each byte that is not part of a
// well-formed UTF-8 sequence (a line of a file searched as raw bytes, a binary hit,
// a name in a legacy encoding) becomes "\x" and two upper-case hexadecimal digits,
// so "\x8C" for the byte 0x8C. No byte is lost or turned into U+FFFD; "\xHH"
// stands for an invalid byte only, and a text can hold it literally as well.
std::string ShownText(std::string_view text);
void AppendShownText(std::string& out, std::string_view text);

// Appends one file node's lines of the tree's text form to `text`: its marker and
// path, then, when `showHits`, a TAB and each hit's text.
void AppendTreeLines(std::string& text, const FileNode& file, bool showHits);

// The text form of a tree, one LF-ended line per shown node: "-" and the path of an
// expanded file with hits followed by a TAB and each hit's text, "+" and the path
// of a collapsed file with hits, " " and the path of a file without hits. Every
// text appears as the tree shows it (ShownText).
// `files` is any range of FileNode in the tree's order; `expanded(i)` tells whether
// file node i is expanded.
template <class FileNodes>
std::string TreeText(const FileNodes& files, const std::function<bool(std::size_t)>& expanded) {
  // The length of the text with its well-formed bytes, so a tree of a million hits
  // is written into one allocation.
  std::vector<bool> showHits;
  std::size_t length = 0;
  for (const FileNode& file : files) {
    showHits.push_back(!file.hits.empty() && expanded(showHits.size()));
    length += file.text.size() + 2;
    if (!showHits.back()) continue;
    for (std::string_view hit : file.hits) length += hit.size() + 2;
  }
  std::string text;
  text.reserve(length);
  std::size_t i = 0;
  for (const FileNode& file : files) AppendTreeLines(text, file, showHits[i++]);
  return text;
}

class ResultTree {
 public:
  void AddFile(std::string text, TextList hits, bool expanded);
  const std::vector<FileNode>& Files() const { return files_; }
  std::size_t HitCount() const;

  // The tree in its text form, each file as its `expanded` flag says.
  std::string CopyText() const;

 private:
  std::vector<FileNode> files_;
};

}  // namespace kolbrin
