// The result tree's text form, written in one place for every front end: the
// window's copy command collects it in a string (TreeText), kolbrin-grep streams it
// to standard output through a buffer of its own (a sink). The printer makes the
// lines; where they go, and what a failed write means, is the sink's business.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "search/ResultTree.h"

namespace kolbrin {

// A node's text as the tree shows and copies it. Well-formed UTF-8 stands as it is
// (a backslash in it stays one backslash); each byte that is not part of a
// well-formed UTF-8 sequence (a line of a file searched as raw bytes, a binary hit,
// a name in a legacy encoding) becomes "\x" and two upper-case hexadecimal digits,
// so "\x8C" for the byte 0x8C. No byte is lost or turned into U+FFFD; "\xHH"
// stands for an invalid byte only, and a text can hold it literally as well.
std::string ShownText(std::string_view text);

// How a text begins: `wellFormed` bytes of well-formed UTF-8, then `illFormed`
// bytes of one ill-formed sequence (the longest ill-formed start), each of which is
// shown as "\xHH". `illFormed` is 0 when the whole text is well-formed.
struct Utf8Prefix {
  std::size_t wellFormed = 0;
  std::size_t illFormed = 0;
};
Utf8Prefix SplitAtIllFormedUtf8(std::string_view text);

// How node texts appear in the text form.
enum class TextForm {
  Shown,  // as the tree shows them (ShownText)
  Raw,    // their own bytes, as the search found them, but for control bytes (below)
};

// The length of the longest start of `text` without a control byte (0x00 to 0x1F
// and 0x7F), a TAB not counting as one when `tabsAllowed`.
std::size_t PlainPrefix(std::string_view text, bool tabsAllowed);

// Where the printer writes: it hands over the text form in pieces, in order, as
// single bytes and as runs of bytes; a piece may end inside a line.
template <class Sink>
concept TreeSink = requires(Sink& sink, std::string_view piece, char byte) {
  sink.Write(piece);
  sink.Write(byte);
};

// A sink that appends to a string.
struct StringSink {
  std::string& text;
  void Write(std::string_view piece) { text.append(piece); }
  void Write(char byte) { text.push_back(byte); }
};

// Writes `text` to `sink` as ShownText gives it, without a string of its own.
template <TreeSink Sink>
void WriteShownText(Sink& sink, std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (;;) {
    const Utf8Prefix prefix = SplitAtIllFormedUtf8(text);
    if (prefix.wellFormed > 0) sink.Write(text.substr(0, prefix.wellFormed));
    if (prefix.illFormed == 0) return;
    for (std::size_t k = prefix.wellFormed; k < prefix.wellFormed + prefix.illFormed; ++k) {
      const auto byte = static_cast<unsigned char>(text[k]);
      const char escaped[4] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xF]};
      sink.Write(std::string_view(escaped, sizeof escaped));
    }
    text.remove_prefix(prefix.wellFormed + prefix.illFormed);
  }
}

// Writes `text` to `sink` with its own bytes, each control byte (but a TAB when
// `tabsAllowed`) as "\x" and two upper-case hexadecimal digits: a line feed or an
// escape sequence in a name or a line can then neither make a line of the text form
// look like another node nor reach a terminal.
template <TreeSink Sink>
void WriteRawText(Sink& sink, std::string_view text, bool tabsAllowed) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (;;) {
    const std::size_t plain = PlainPrefix(text, tabsAllowed);
    if (plain > 0) sink.Write(text.substr(0, plain));
    if (plain == text.size()) return;
    const auto byte = static_cast<unsigned char>(text[plain]);
    const char escaped[4] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xF]};
    sink.Write(std::string_view(escaped, sizeof escaped));
    text.remove_prefix(plain + 1);
  }
}

// Writes the text form of a tree to `sink`, one LF-ended line per shown node: "-"
// and the path of an expanded file with hits followed by a TAB and each hit's text,
// "+" and the path of a collapsed file with hits, " " and the path of a file
// without hits. `files` is any range of FileNode in the tree's order;
// `expandedOf(i)` tells whether file node i is expanded, and is asked about files
// with hits only.
template <class FileNodes, class ExpandedOf, TreeSink Sink>
void PrintTree(const FileNodes& files, const ExpandedOf& expandedOf, TextForm form, Sink& sink) {
  // A path holds no TAB of the form; a hit line may, as its file does.
  const auto writeText = [form, &sink](std::string_view text, bool tabsAllowed) {
    if (form == TextForm::Shown) {
      WriteShownText(sink, text);
    } else {
      WriteRawText(sink, text, tabsAllowed);
    }
  };
  std::size_t i = 0;
  for (const FileNode& file : files) {
    const bool showHits = !file.hits.empty() && expandedOf(i);
    ++i;
    sink.Write(file.hits.empty() ? ' ' : (showHits ? '-' : '+'));
    writeText(file.text, false);
    sink.Write('\n');
    if (!showHits) continue;
    for (std::string_view hit : file.hits) {
      sink.Write('\t');
      writeText(hit, true);
      sink.Write('\n');
    }
  }
}

// The text form of a tree in one string, every text shown (TextForm::Shown), as the
// copy command puts it on the clipboard. `expandedOf` is asked once per file with
// hits.
template <class FileNodes, class ExpandedOf>
std::string TreeText(const FileNodes& files, const ExpandedOf& expandedOf) {
  // The length of the text with its well-formed bytes, so a tree of a million hits
  // is written into one allocation.
  std::vector<bool> showHits;
  std::size_t length = 0;
  for (const FileNode& file : files) {
    showHits.push_back(!file.hits.empty() && expandedOf(showHits.size()));
    length += file.text.size() + 2;
    if (!showHits.back()) continue;
    for (std::string_view hit : file.hits) length += hit.size() + 2;
  }
  std::string text;
  text.reserve(length);
  const auto expanded = [&showHits](std::size_t i) -> bool { return showHits[i]; };
  StringSink sink{text};
  PrintTree(files, expanded, TextForm::Shown, sink);
  return text;
}

}  // namespace kolbrin
