// The model behind tvFind: file nodes at level 0 and their hit nodes at level 1,
// nothing deeper, each carrying only its text. A file arrives with all its hits
// in one insert, so a file of 100,000 hits costs one model change.
#pragma once

#include <QAbstractItemModel>
#include <memory>
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
  // Removes `count` file nodes from `first` on, with their hits, in one change.
  void RemoveFileNodes(int first, int count);
  void Clear();

  class FileList;
  // The file nodes in the tree's order, as a range of FileNode with an index.
  FileList Files() const;
  // The widest file-node and hit-node texts so far, in columns of a fixed-pitch
  // font (a wide character takes two), for the tree's width without laying out
  // every text.
  int WidestFileColumns() const { return widestFile_; }
  int WidestHitColumns() const { return widestHit_; }
  bool IsFileNode(const QModelIndex& index) const {
    return index.isValid() && !index.constInternalPointer();
  }
  // The file node an index belongs to: itself for a file node, its parent for a hit.
  QModelIndex FileNodeOf(const QModelIndex& index) const;
  std::string_view TextOf(const QModelIndex& index) const;

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;

 private:
  // A file node and its current row. The index of a hit node points at its file's
  // Node, which stays at its address while other file nodes come and go, so a
  // persistent index of a hit (the view's selection) still names its own file
  // after rows before it are removed. A file node's index points at nothing.
  struct Node {
    FileNode file;
    int row = 0;
  };

  const Node& NodeOfHit(const QModelIndex& hit) const {
    return *static_cast<const Node*>(hit.constInternalPointer());
  }
  void Measure(const FileNode& file);

  std::vector<std::unique_ptr<Node>> files_;
  int widestFile_ = 0;
  int widestHit_ = 0;
};

// The model's file nodes seen as FileNode values, without a copy. Written out rather
// than a std::views::transform, which clang 14 cannot compile with libstdc++ 12.
class ResultTreeModel::FileList {
 public:
  using Nodes = std::vector<std::unique_ptr<Node>>;

  class Iterator {
   public:
    explicit Iterator(Nodes::const_iterator at) : at_(at) {}
    const FileNode& operator*() const { return (*at_)->file; }
    Iterator& operator++() {
      ++at_;
      return *this;
    }
    bool operator==(const Iterator&) const = default;

   private:
    Nodes::const_iterator at_;
  };

  explicit FileList(const Nodes& nodes) : nodes_(&nodes) {}
  Iterator begin() const { return Iterator(nodes_->begin()); }
  Iterator end() const { return Iterator(nodes_->end()); }
  std::size_t size() const { return nodes_->size(); }
  const FileNode& operator[](std::size_t i) const { return (*nodes_)[i]->file; }

 private:
  const Nodes* nodes_;
};

inline ResultTreeModel::FileList ResultTreeModel::Files() const { return FileList(files_); }

}  // namespace kolbrin
