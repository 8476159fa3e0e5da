#include "app/ResultTreeModel.h"

#include <unicode/utf8.h>

#include <algorithm>

#include "search/TreePrinter.h"
#include "search/Utf8Check.h"

namespace kolbrin {
namespace {

// About the columns `text` takes in a fixed-pitch font as the tree shows it: ASCII,
// two-byte characters and half-width katakana one, other characters (CJK, kana,
// full-width forms) two, and each byte that is not UTF-8 four, for its "\xHH".
int Columns(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  int columns = 0;
  for (std::size_t i = 0; i < size;) {
    const std::size_t start = i;
    UChar32 c;
    U8_NEXT(bytes, i, size, c);
    if (c < 0) {
      columns += 4 * static_cast<int>(i - start);
    } else {
      const bool narrow = c < 0x800 || (c >= 0xFF61 && c <= 0xFF9F);
      columns += narrow ? 1 : 2;
    }
  }
  return columns;
}

}  // namespace

void ResultTreeModel::Measure(const FileNode& file) {
  // Well-formed text takes no more columns than it has bytes; a byte that is not
  // UTF-8 takes four (its "\xHH"). So a text no longer than the widest so far is
  // counted only when it holds such bytes, found by the fast check.
  const auto wider = [](int& widest, std::string_view text) {
    const std::size_t size = text.size();
    if (size * 4 <= static_cast<std::size_t>(widest)) return;
    if (size <= static_cast<std::size_t>(widest) &&
        !CheckUtf8(reinterpret_cast<const unsigned char*>(text.data()), 0, size, size).invalid) {
      return;
    }
    widest = std::max(widest, Columns(text));
  };
  wider(widestFile_, file.text);
  for (std::string_view hit : file.hits) wider(widestHit_, hit);
}

void ResultTreeModel::AddFileNode(std::string text, TextList hits) {
  std::vector<FileNode> files;
  files.push_back(FileNode{std::move(text), std::move(hits)});
  AddFileNodes(std::move(files));
}

void ResultTreeModel::AddFileNodes(std::vector<FileNode> files) {
  if (files.empty()) return;
  const int first = static_cast<int>(files_.size());
  beginInsertRows({}, first, first + static_cast<int>(files.size()) - 1);
  for (FileNode& file : files) {
    const int row = static_cast<int>(files_.size());
    files_.push_back(std::make_unique<Node>(Node{std::move(file), row}));
    Measure(files_.back()->file);
  }
  endInsertRows();
}

void ResultTreeModel::RemoveFileNode(int row) { RemoveFileNodes(row, 1); }

void ResultTreeModel::RemoveFileNodes(int first, int count) {
  if (count <= 0) return;
  beginRemoveRows({}, first, first + count - 1);
  files_.erase(files_.begin() + first, files_.begin() + first + count);
  // The nodes after them move up; their hits' indexes follow through their Node.
  for (std::size_t row = static_cast<std::size_t>(first); row < files_.size(); ++row) {
    files_[row]->row = static_cast<int>(row);
  }
  endRemoveRows();
}

void ResultTreeModel::Clear() {
  beginResetModel();
  files_.clear();
  widestFile_ = 0;
  widestHit_ = 0;
  endResetModel();
}

QModelIndex ResultTreeModel::FileNodeOf(const QModelIndex& index) const {
  if (!index.isValid()) return {};
  return IsFileNode(index) ? index : parent(index);
}

std::string_view ResultTreeModel::TextOf(const QModelIndex& index) const {
  if (IsFileNode(index)) return files_[static_cast<std::size_t>(index.row())]->file.text;
  return NodeOfHit(index).file.hits[static_cast<std::size_t>(index.row())];
}

QModelIndex ResultTreeModel::index(int row, int column, const QModelIndex& parent) const {
  if (column != 0 || row < 0) return {};
  if (!parent.isValid()) {
    return row < static_cast<int>(files_.size()) ? createIndex(row, 0) : QModelIndex();
  }
  if (!IsFileNode(parent)) return {};
  const Node& file = *files_[static_cast<std::size_t>(parent.row())];
  if (row >= static_cast<int>(file.file.hits.size())) return {};
  return createIndex(row, 0, &file);
}

QModelIndex ResultTreeModel::parent(const QModelIndex& child) const {
  if (!child.isValid() || IsFileNode(child)) return {};
  return createIndex(NodeOfHit(child).row, 0);
}

int ResultTreeModel::rowCount(const QModelIndex& parent) const {
  if (!parent.isValid()) return static_cast<int>(files_.size());
  if (!IsFileNode(parent)) return 0;
  return static_cast<int>(files_[static_cast<std::size_t>(parent.row())]->file.hits.size());
}

int ResultTreeModel::columnCount(const QModelIndex&) const { return 1; }

QVariant ResultTreeModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || role != Qt::DisplayRole) return {};
  // Node texts are byte strings in the ANSI code page, which is UTF-8 here; bytes
  // that are not show as "\xHH", as the copy command copies them.
  const std::string shown = ShownText(TextOf(index));
  return QString::fromUtf8(shown.data(), static_cast<qsizetype>(shown.size()));
}

}  // namespace kolbrin
