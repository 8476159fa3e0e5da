#include "app/ResultTreeModel.h"

namespace kolbrin {

void ResultTreeModel::AddFileNode(std::string text, TextList hits) {
  const int row = static_cast<int>(files_.size());
  beginInsertRows({}, row, row);
  files_.push_back(FileNode{std::move(text), std::move(hits), false});
  endInsertRows();
}

void ResultTreeModel::RemoveFileNode(int row) {
  beginRemoveRows({}, row, row);
  files_.erase(files_.begin() + row);
  endRemoveRows();
}

void ResultTreeModel::Clear() {
  beginResetModel();
  files_.clear();
  endResetModel();
}

QModelIndex ResultTreeModel::FileNodeOf(const QModelIndex& index) const {
  if (!index.isValid()) return {};
  return IsFileNode(index) ? index : parent(index);
}

std::string_view ResultTreeModel::TextOf(const QModelIndex& index) const {
  if (IsFileNode(index)) return files_[static_cast<std::size_t>(index.row())].text;
  const FileNode& file = files_[index.internalId() - 1];
  return file.hits[static_cast<std::size_t>(index.row())];
}

QModelIndex ResultTreeModel::index(int row, int column, const QModelIndex& parent) const {
  if (column != 0 || row < 0) return {};
  if (!parent.isValid()) {
    return row < static_cast<int>(files_.size()) ? createIndex(row, 0, quintptr{0}) : QModelIndex();
  }
  if (!IsFileNode(parent)) return {};
  const FileNode& file = files_[static_cast<std::size_t>(parent.row())];
  if (row >= static_cast<int>(file.hits.size())) return {};
  return createIndex(row, 0, static_cast<quintptr>(parent.row()) + 1);
}

QModelIndex ResultTreeModel::parent(const QModelIndex& child) const {
  if (!child.isValid() || IsFileNode(child)) return {};
  return createIndex(static_cast<int>(child.internalId() - 1), 0, quintptr{0});
}

int ResultTreeModel::rowCount(const QModelIndex& parent) const {
  if (!parent.isValid()) return static_cast<int>(files_.size());
  if (!IsFileNode(parent)) return 0;
  return static_cast<int>(files_[static_cast<std::size_t>(parent.row())].hits.size());
}

int ResultTreeModel::columnCount(const QModelIndex&) const { return 1; }

QVariant ResultTreeModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || role != Qt::DisplayRole) return {};
  // Node texts are byte strings in the ANSI code page, which is UTF-8 here.
  const std::string_view text = TextOf(index);
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace kolbrin
