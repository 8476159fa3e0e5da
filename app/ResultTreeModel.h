// The model behind tvFind: file nodes at level 0 and their hit nodes at level 1,
// nothing deeper, each carrying only its text. A file arrives with all its hits
// in one insert, so a file of 100,000 hits costs one model change.
#pragma once

#include <QAbstractItemModel>
#include <string>
#include <vector>

#include "search/ResultTree.h"

namespace kolbrin {

class ResultTreeModel final : public QAbstractItemModel {
 public:
  using QAbstractItemModel::QAbstractItemModel;

  // Appends a file node with its hit nodes.
  void AddFileNode(std::string text, TextList hits);
  // Appends file nodes with their hit nodes, in one change of the model.
  void AddFileNodes(std::vector<FileNode> files);
  // Removes one file node and its hits.
  void RemoveFileNode(int row);
  void Clear();

  const std::vector<FileNode>& Files() const { return files_; }
  // The widest file-node and hit-node texts so far, in columns of a fixed-pitch
  // font (a wide character takes two), for the tree's width without laying out
  // every text.
  int WidestFileColumns() const { return widestFile_; }
  int WidestHitColumns() const { return widestHit_; }
  bool IsFileNode(const QModelIndex& index) const { return index.isValid() && !index.internalId(); }
  // The file node an index belongs to: itself for a file node, its parent for a hit.
  QModelIndex FileNodeOf(const QModelIndex& index) const;
  std::string_view TextOf(const QModelIndex& index) const;

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;

 private:
  void Measure(const FileNode& file);

  // A hit node's internal id is its file's row + 1; a file node's is 0.
  std::vector<FileNode> files_;
  int widestFile_ = 0;
  int widestHit_ = 0;
};

}  // namespace kolbrin
