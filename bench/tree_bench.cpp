// Times the result tree with one file of 100,000 hit nodes: adding the file,
// expanding all, copying the tree as text and clearing it, as the window does.
// Runs off screen:  QT_QPA_PLATFORM=offscreen kolbrin-tree-bench [HITS] [ROUNDS]
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QTreeView>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/ResultTreeModel.h"
#include "search/HitEntry.h"
#include "search/TreePrinter.h"

namespace {

double Milliseconds(QElapsedTimer& timer) {
  return static_cast<double>(timer.nsecsElapsed()) / 1e6;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication application(argc, argv);
  const int hits = argc > 1 ? std::atoi(argv[1]) : 100000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;

  kolbrin::TextList texts;
  for (int i = 0; i < hits; ++i) {
    char head[40];
    texts.push_back(std::string(head, kolbrin::WriteLineHead(head, i + 1)) +
                    "a line of about sixty bytes with the search string in it");
  }

  kolbrin::ResultTreeModel model;
  QTreeView view;
  view.setModel(&model);
  view.setHeaderHidden(true);
  view.setUniformRowHeights(true);
  view.resize(346, 201);
  view.show();
  QApplication::processEvents();

  std::vector<double> add, expand, copy, clear;
  for (int round = 0; round < rounds; ++round) {
    QElapsedTimer timer;
    timer.start();
    model.AddFileNode("/data/file.txt", texts);
    QApplication::processEvents();
    add.push_back(Milliseconds(timer));

    timer.restart();
    view.expandAll();
    QApplication::processEvents();
    expand.push_back(Milliseconds(timer));

    timer.restart();
    const std::string text = kolbrin::TreeText(
        model.Files(), [&](std::size_t i) { return view.isExpanded(model.index(int(i), 0)); });
    QGuiApplication::clipboard()->setText(QString::fromStdString(text));
    copy.push_back(Milliseconds(timer));

    timer.restart();
    model.Clear();
    QApplication::processEvents();
    clear.push_back(Milliseconds(timer));
  }
  std::printf("result tree, one file of %d hit nodes, median of %d rounds (ms)\n", hits, rounds);
  std::printf("add %.1f  expand all %.1f  copy %.1f  clear %.1f\n", Median(add), Median(expand),
              Median(copy), Median(clear));
  return 0;
}
