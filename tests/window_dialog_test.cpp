// The application dialog of the desktop services, off screen: what its two filters
// list in a real folder, read from the dialog's own view once the folder is loaded.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QFileSystemModel>
#include <QKeyEvent>
#include <QListView>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "app/Desktop.h"
#include "tests/TestSupport.h"

namespace kolbrin {
namespace {

using test::TempFolder;
using Names = std::set<std::string>;

// Runs the event loop until `done` holds; false if it never does within 5 seconds.
bool ProcessEventsUntil(const std::function<bool()>& done) {
  const QDeadlineTimer deadline(5000);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

// The names the dialog's file list shows for the folder it is in.
Names ListedNames(const QListView& list) {
  Names names;
  const QAbstractItemModel* model = list.model();
  for (int row = 0; row < model->rowCount(list.rootIndex()); ++row) {
    names.insert(model->index(row, 0, list.rootIndex()).data().toString().toStdString());
  }
  return names;
}

// The names listed once the list has settled: the file system model applies a new
// filter later, from the event loop, so a list that already shows `expected` is
// given a further moment before it is read.
Names SettledNames(const QListView& list, const Names& expected) {
  ProcessEventsUntil([&] { return ListedNames(list) == expected; });
  const QDeadlineTimer settle(300);
  while (!settle.hasExpired()) QApplication::processEvents(QEventLoop::AllEvents, 20);
  return ListedNames(list);
}

// The dialog keeps its layout and history in Qt's own settings file when it is
// destroyed; the test points that file into its own folder.
class ConfigFolderGuard {
 public:
  explicit ConfigFolderGuard(const std::string& folder) : previous_(qgetenv("XDG_CONFIG_HOME")) {
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(folder));
  }
  ~ConfigFolderGuard() {
    if (previous_.isNull()) {
      qunsetenv("XDG_CONFIG_HOME");
    } else {
      qputenv("XDG_CONFIG_HOME", previous_);
    }
  }

 private:
  QByteArray previous_;
};

TEST(ApplicationDialog, FirstFilterListsExecutablesAndFoldersSecondListsAllFiles) {
  TempFolder config;
  const ConfigFolderGuard configGuard(config.path());
  TempFolder folder;
  ::chmod(folder.Write("program", "#!/bin/sh\nexit 0\n").c_str(), 0755);
  ::chmod(folder.Write("tool.sh", "#!/bin/sh\nexit 0\n").c_str(), 0700);
  folder.Write("notes.txt", "text");
  std::filesystem::create_directory(folder.path() + "/sub");

  const std::unique_ptr<QFileDialog> dialog = MakeApplicationDialog(nullptr, "title");
  auto* list = dialog->findChild<QListView*>("listView");
  auto* filters = dialog->findChild<QComboBox*>("fileTypeCombo");
  auto* files = dialog->findChild<QFileSystemModel*>();
  ASSERT_NE(list, nullptr);
  ASSERT_NE(filters, nullptr);
  ASSERT_NE(files, nullptr);
  bool loaded = false;
  QObject::connect(files, &QFileSystemModel::directoryLoaded,
                   [&](const QString& path) { loaded = loaded || path == folder.path().c_str(); });
  dialog->setDirectory(QString::fromStdString(folder.path()));
  dialog->show();
  ASSERT_TRUE(ProcessEventsUntil([&] { return loaded; })) << "the folder never loaded";

  const Names executables{"program", "sub", "tool.sh"};
  EXPECT_EQ(filters->currentIndex(), 0);
  EXPECT_EQ(SettledNames(*list, executables), executables) << "first filter";

  // The user steps to the second filter with the arrow key.
  QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
  QApplication::sendEvent(filters, &down);
  ASSERT_EQ(filters->currentIndex(), 1);
  const Names everything{"notes.txt", "program", "sub", "tool.sh"};
  EXPECT_EQ(SettledNames(*list, everything), everything) << "second filter";

  QKeyEvent up(QEvent::KeyPress, Qt::Key_Up, Qt::NoModifier);
  QApplication::sendEvent(filters, &up);
  ASSERT_EQ(filters->currentIndex(), 0);
  EXPECT_EQ(SettledNames(*list, executables), executables) << "back to the first filter";
}

}  // namespace
}  // namespace kolbrin
