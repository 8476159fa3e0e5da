// The main window: start-up, searches started by drops, the tree's commands and
// opening results, with the desktop's services replaced by recorders.
#include <gtest/gtest.h>

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTreeView>
#include <QTest>
#include <QUrl>
#include <QAccessible>
#include <csignal>
#include <filesystem>
#include <memory>
#include <thread>

#include "app/Grep1.h"
#include "app/SignalClose.h"
#include "platform/Profile.h"
#include "tests/ArchiveFixtures.h"
#include "tests/TestSupport.h"

namespace kolbrin {
namespace {

using test::TempFolder;
using Texts = std::vector<std::string>;

struct Launch {
  std::string application;  // empty for the desktop's opener
  std::string document;
  std::string folder;
};

class Window : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(folder.path() + "/temp");
    settings = folder.path() + "/kolbrin.ini";
  }

  TfmMain& Open() {
    WindowServices services;
    services.ShowWarning = [this](QWidget*, const QString& text) {
      warnings.push_back(text.toStdString());
    };
    services.ChooseApplication = [this](QWidget*, const QString& title) {
      dialogTitles.push_back(title.toStdString());
      return chosenApplication;
    };
    services.OpenDocument = [this](const std::string& document, const std::string& where,
                                   std::function<void()> failedLater) {
      launches.push_back({"", document, where});
      openerFailedLater = std::move(failedLater);
      return launchSucceeds;
    };
    services.LaunchApplication = [this](const std::string& application, const std::string& document,
                                        const std::string& where) {
      launches.push_back({application, document, where});
      return launchSucceeds;
    };
    window = std::make_unique<TfmMain>(settings, folder.path() + "/temp/", services);
    window->show();
    return *window;
  }

  // A file of 8 MiB of hit lines, long enough to still be searched a while later.
  std::string BigKeyFile(const std::string& name) {
    std::string lines;
    while (lines.size() < (8u << 20)) lines += "key\n";
    return folder.Write(name, lines);
  }

  // Drops `paths` and waits until the search has ended.
  void DropAndWait(const Texts& paths) {
    window->WMDropFiles(paths);
    WaitUntil([&] { return !window->IsSearching(); });
  }

  static void WaitUntil(const std::function<bool()>& done) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < 20000) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    ASSERT_TRUE(done()) << "timed out";
    QCoreApplication::processEvents();
  }

  Texts FileNodes() const {
    Texts texts;
    for (const FileNode& file : window->model->Files()) texts.push_back(file.text);
    return texts;
  }

  void Select(int file, int hit = -1) {
    const QModelIndex node = window->model->index(file, 0);
    window->tvFind->setCurrentIndex(hit < 0 ? node : window->model->index(hit, 0, node));
  }

  TempFolder folder;
  std::string settings;
  std::unique_ptr<TfmMain> window;
  Texts warnings;
  Texts dialogTitles;
  std::vector<Launch> launches;
  std::optional<std::string> chosenApplication;
  bool launchSucceeds = true;
  std::function<void()> openerFailedLater;
};

TEST_F(Window, StartsIdleWithDefaultsAndWritesTheTabWidthAtClose) {
  TfmMain& w = Open();
  EXPECT_EQ(w.windowTitle(), QString::fromUtf8("Kolbrin! Ver1.10a"));
  EXPECT_EQ(w.udTab->value(), 8);
  EXPECT_EQ(w.RecentApps, settings::RecentAppSlots{});
  EXPECT_TRUE(w.mnHistoryMenu->actions().isEmpty()) << "the placeholder is gone";
  EXPECT_TRUE(w.cbNFOpt->isChecked());
  EXPECT_FALSE(w.cbDist->isChecked());
  EXPECT_EQ(w.pbOpt->text(), "AND");
  EXPECT_FALSE(w.pbStop->isVisible());
  for (QAction* item : {w.mnEdit, w.mnOpenApp, w.mnHistory, w.mnClose, w.mnAllOpen, w.mnAllClose}) {
    EXPECT_FALSE(item->isEnabled()) << item->text().toStdString();
  }
  EXPECT_TRUE(w.mnCopy->isEnabled());
  const std::string privateFolder = w.TempDir;
  EXPECT_EQ(privateFolder.rfind(folder.path() + "/temp/kolbrin-", 0), 0u);
  EXPECT_TRUE(std::filesystem::is_directory(privateFolder));

  w.udTab->setValue(12);
  EXPECT_TRUE(w.close());
  EXPECT_EQ(platform::GetPrivateProfileString("KOLBRIN", "TAB", "", settings), "12");
  EXPECT_FALSE(std::filesystem::exists(privateFolder)) << "the empty private folder is removed";
}

TEST_F(Window, ReadsTabWidthAndSparseRecentApplications) {
  platform::WritePrivateProfileString("KOLBRIN", "TAB", "0x0A", settings);
  platform::WritePrivateProfileString("KOLBRIN", "APR_LIST2", "/usr/bin/editor", settings);
  TfmMain& w = Open();
  EXPECT_EQ(w.udTab->value(), 10);
  EXPECT_EQ(w.RecentApps, (settings::RecentAppSlots{"", "/usr/bin/editor", "", "", ""}));
  ASSERT_EQ(w.mnHistoryMenu->actions().size(), 1);
  QAction* item = w.mnHistoryMenu->actions().front();
  EXPECT_EQ(item->text(), "editor");
  EXPECT_EQ(item->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_1));
}

TEST_F(Window, SearchesUseTheEncodingFromSettingsAutoWhenMissingOrUnknown) {
  const std::pair<const char*, TextEncoding> cases[] = {
      {nullptr, TextEncoding::Auto},  {"EUC-JP", TextEncoding::EucJp},
      {"sjis", TextEncoding::Cp932},  {"bytes", TextEncoding::Bytes},
      {"latin1", TextEncoding::Auto},
  };
  for (const auto& [stored, expected] : cases) {
    if (stored != nullptr) {
      platform::WritePrivateProfileString("KOLBRIN", "ENCODING", stored, settings);
    }
    EXPECT_EQ(Open().Encoding, expected) << (stored ? stored : "no key");
  }

  // The encoding read at start-up is the one the search uses.
  platform::WritePrivateProfileString("KOLBRIN", "ENCODING", "UTF-16BE", settings);
  TfmMain& w = Open();
  w.edFind1->setText("key");
  w.WMDropFiles({folder.Write("a.txt", "key\n")});
  ASSERT_NE(w.SearchThread(), nullptr);
  EXPECT_EQ(w.SearchThread()->Encoding, TextEncoding::Utf16Be);
  WaitUntil([&] { return w.SearchThread() == nullptr; });
}

TEST_F(Window, DropRunsASearchAndShowsItsCaptionsAndNodes) {
  TfmMain& w = Open();
  const std::string a = folder.Write("a.txt", "one key\n");
  const std::string b = folder.Write("B.txt", "none\n");
  std::filesystem::create_directory(folder.path() + "/sub");
  w.edFind1->setText("key");
  w.WMDropFiles({b, folder.path() + "/sub", a});
  EXPECT_TRUE(w.IsSearching());
  EXPECT_EQ(w.windowTitle(), QString::fromUtf8("Kolbrin! Ver1.10a Now Searching..."));
  EXPECT_TRUE(w.edFind1->isReadOnly());
  EXPECT_FALSE(w.cbNFOpt->isEnabled());
  EXPECT_TRUE(w.pbStop->isVisible());
  WaitUntil([&] { return !w.IsSearching(); });
  EXPECT_EQ(w.windowTitle(), QString::fromUtf8("Kolbrin! Ver1.10a Searching Completion."));
  EXPECT_EQ(FileNodes(), Texts{a});
  EXPECT_FALSE(w.edFind1->isReadOnly());
  EXPECT_TRUE(w.cbNFOpt->isEnabled());
  EXPECT_FALSE(w.pbStop->isVisible());
  // The folder is passed over, not counted.
  EXPECT_EQ(w.sbMsg->currentMessage(), QString::fromUtf8("2 ファイル中 1 ファイル、1 件"));
  EXPECT_TRUE(w.mnAllOpen->isEnabled());
  EXPECT_FALSE(w.mnEdit->isEnabled()) << "no node selected yet";
  WaitUntil([&] { return w.SearchThread() == nullptr; });
}

TEST_F(Window, FoldersSettingMakesADroppedFolderStandForTheFilesBelowIt) {
  platform::WritePrivateProfileString("KOLBRIN", "FOLDERS", "1", settings);
  TfmMain& w = Open();
  const std::string a = folder.Write("tree/a.txt", "key\n");
  const std::string deep = folder.Write("tree/Sub/deep.txt", "key\n");
  folder.Write("tree/Sub/none.txt", "nothing\n");
  // Folders whose names differ only in case: their files interleave in the order.
  const std::string other = folder.Write("tree/sub/b.txt", "key\n");
  const std::string dropped = folder.Write("B.txt", "key\n");
  w.edFind1->setText("key");
  DropAndWait({folder.path() + "/tree", dropped});
  EXPECT_EQ(FileNodes(), (Texts{dropped, a, other, deep}));
  EXPECT_EQ(w.sbMsg->currentMessage(), QString::fromUtf8("5 ファイル中 4 ファイル、4 件"));
}

// The tree's column is not sized by laying out every node (a search of thousands
// of files then took minutes): it is measured from the texts, and a long line must
// still fit, so it scrolls instead of being cut short.
TEST_F(Window, TheTreeIsAsWideAsItsLongestLine) {
  TfmMain& w = Open();
  const std::string line = "key " + std::string(150, 'x') + " 検索の行";
  w.edFind1->setText("key");
  DropAndWait({folder.Write("a.txt", line + "\n")});
  const int shown = w.tvFind->indentation() * 2 +
                    QFontMetrics(w.tvFind->font())
                        .horizontalAdvance(QString::fromUtf8("LINE[0000000001]:" + line));
  EXPECT_GE(w.tvFind->header()->sectionSize(0), shown);
  EXPECT_NE(w.tvFind->header()->sectionResizeMode(0), QHeaderView::ResizeToContents);
}

TEST_F(Window, DropWithoutSearchStringWarnsAndKeepsTheTree) {
  TfmMain& w = Open();
  w.edFind1->setText("key");
  DropAndWait({folder.Write("a.txt", "key\n")});
  w.edFind1->clear();
  w.WMDropFiles({folder.path() + "/a.txt"});
  EXPECT_FALSE(w.IsSearching());
  EXPECT_EQ(warnings, Texts{"検索文字列を入力してください。"});
  EXPECT_EQ(FileNodes().size(), 1u);
  EXPECT_EQ(w.windowTitle(), QString::fromUtf8("Kolbrin! Ver1.10a"));
}

TEST_F(Window, RealDropEventStartsTheSearch) {
  TfmMain& w = Open();
  w.edFind1->setText("key");
  const std::string a = folder.Write("a b.txt", "key\n");
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(QString::fromStdString(a))});
  const QPoint at(20, 100);
  QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&w, &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDragMoveEvent move(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&w, &move);
  QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&w, &drop);
  EXPECT_TRUE(w.IsSearching());
  WaitUntil([&] { return !w.IsSearching(); });
  EXPECT_EQ(FileNodes(), Texts{a});
}

// What a drag source learns of a drag over `target`: whether the window takes it,
// and whether the drop was taken as a copy.
struct DragOutcome {
  bool entered = false;
  bool copied = false;
};

// Drags `urls` over `target` and drops them, as a file manager does: the URLs also
// as text, so that a text box could take them as text.
DragOutcome DragAndDrop(QWidget* target, const QList<QUrl>& urls, Qt::KeyboardModifiers keys = {}) {
  QMimeData data;
  data.setUrls(urls);
  data.setText(urls.front().toString());
  const QPoint at(5, 5);
  const Qt::DropActions actions = Qt::CopyAction | Qt::MoveAction;
  QDragEnterEvent enter(at, actions, &data, Qt::LeftButton, keys);
  QApplication::sendEvent(target, &enter);
  if (!enter.isAccepted()) return {};
  QDragMoveEvent move(at, actions, &data, Qt::LeftButton, keys);
  QApplication::sendEvent(target, &move);
  QDropEvent drop(QPointF(at), actions, &data, Qt::LeftButton, keys);
  QApplication::sendEvent(target, &drop);
  return {true, drop.isAccepted() && drop.dropAction() == Qt::CopyAction};
}

TEST_F(Window, DroppedNameThatIsNotUtf8IsSearchedAsItsBytes) {
  TfmMain& w = Open();
  w.edFind1->setText("key");
  // 検索 in Shift_JIS, as names come out of old ZIP archives made on Windows.
  const std::string path = folder.Write("\x8C\x9F\x8D\xF5.txt", "key\n");
  const QUrl url = QUrl::fromEncoded(
      "file://" + QByteArray::fromStdString(path).toPercentEncoding("/"), QUrl::StrictMode);
  EXPECT_TRUE(DragAndDrop(&w, {url}).copied);
  WaitUntil([&] { return !w.IsSearching(); });
  EXPECT_EQ(FileNodes(), Texts{path});
  ASSERT_EQ(w.model->rowCount(), 1);
  EXPECT_EQ(w.model->rowCount(w.model->index(0, 0)), 1) << "the hit is found in the file";
  w.tvFind->setCurrentIndex(w.model->index(0, 0));
  w.mnEditClick();
  ASSERT_EQ(launches.size(), 1u);
  EXPECT_EQ(launches[0].document, path) << "opened by its bytes";
}

TEST_F(Window, DropOnAnyControlStartsTheSearch) {
  TfmMain& w = Open();
  w.edFind1->setText("key");
  const std::string a = folder.Write("a.txt", "key\n");
  EXPECT_TRUE(DragAndDrop(w.edFind2, {QUrl::fromLocalFile(QString::fromStdString(a))}).copied);
  EXPECT_TRUE(w.IsSearching());
  WaitUntil([&] { return !w.IsSearching(); });
  EXPECT_TRUE(w.edFind2->text().isEmpty()) << "the file did not become text";
  EXPECT_EQ(FileNodes(), Texts{a});
}

TEST_F(Window, DropDuringASearchIsRefusedNotSwallowed) {
  TfmMain& w = Open();
  w.edFind1->setText("key");
  w.WMDropFiles({BigKeyFile("big.txt")});
  ASSERT_TRUE(w.IsSearching());
  const std::string other = folder.Write("other.txt", "key\n");
  // With Shift a file manager asks for a move: it must not be told one took place.
  const DragOutcome outcome =
      DragAndDrop(&w, {QUrl::fromLocalFile(QString::fromStdString(other))}, Qt::ShiftModifier);
  EXPECT_FALSE(outcome.entered) << "the drag shows the window does not take it";
  EXPECT_FALSE(outcome.copied);
  WaitUntil([&] { return !w.IsSearching(); });
  EXPECT_EQ(FileNodes().size(), 1u);
}

TEST_F(Window, StopButtonEndsTheSearchEarly) {
  TfmMain& w = Open();
  std::string lines;
  while (lines.size() < (8u << 20)) lines += "key\n";
  const std::string big = folder.Write("a-big.txt", lines);
  const std::string next = folder.Write("b-next.txt", "key\n");
  w.edFind1->setText("key");
  w.WMDropFiles({big, next});
  w.pbStopClick();
  EXPECT_FALSE(w.pbStop->isVisible()) << "hidden at once";
  EXPECT_TRUE(w.IsSearching()) << "until the worker has ended";
  WaitUntil([&] { return !w.IsSearching(); });
  // The stop may come before the long file is loaded or while it is scanned: either
  // way the next file is never searched and the long one not to its end.
  std::size_t hits = 0;
  for (const FileNode& file : w.model->Files()) hits += file.hits.size();
  EXPECT_LT(hits, lines.size() / 4);
  for (const std::string& shown : FileNodes()) EXPECT_NE(shown, next);
  EXPECT_EQ(w.windowTitle(), QString::fromUtf8("Kolbrin! Ver1.10a 中断しました"));
  EXPECT_TRUE(w.sbMsg->currentMessage().endsWith(QString::fromUtf8(" 件 — 中断しました")))
      << w.sbMsg->currentMessage().toStdString();
}

TEST_F(Window, CloseDuringASearchWaitsForItsEnd) {
  TfmMain& w = Open();
  w.edFind1->setText("key");
  w.WMDropFiles({BigKeyFile("big.txt")});
  EXPECT_FALSE(w.close()) << "refused while searching";
  EXPECT_TRUE(w.CloseRequested);
  EXPECT_TRUE(w.isVisible());
  WaitUntil([&] { return !w.isVisible(); });
  EXPECT_EQ(platform::GetPrivateProfileString("KOLBRIN", "TAB", "", settings), "8");
}

TEST_F(Window, TerminateDuringAnArchiveSearchClosesAndRemovesThePrivateFolder) {
  TfmMain& w = Open();
  platform::EndingSignals endingSignals;
  const SignalClose signalClose(w, endingSignals);
  std::string lines;
  while (lines.size() < (64u << 20)) lines += "nothing here at all\n";
  const std::string zip = folder.path() + "/slow.zip";
  test::WriteZip(zip, {{"slow.txt", lines}, {"next.txt", "key\n"}});
  w.edFind1->setText("key");
  w.WMDropFiles({zip});
  // A member is being extracted, or its copy searched.
  WaitUntil([&] { return !std::filesystem::is_empty(w.TempDir) || !w.IsSearching(); });
  ASSERT_TRUE(w.IsSearching()) << "the search ended before the signal";
  ::kill(::getpid(), SIGTERM);
  WaitUntil([&] { return !w.isVisible(); });
  EXPECT_EQ(signalClose.ExitStatus(), 128 + SIGTERM);
  EXPECT_TRUE(std::filesystem::is_empty(folder.path() + "/temp")) << "a copy or a .part remains";
}

TEST_F(Window, NextDropDeletesThePreviousSearchsCopies) {
  TfmMain& w = Open();
  const std::string zip = folder.path() + "/a.zip";
  test::WriteZip(zip, {{"doc/hit.txt", "key\n"}});
  w.edFind1->setText("key");
  DropAndWait({zip});
  const std::string copy = w.TempDir + "hit.txt";
  EXPECT_EQ(FileNodes(), Texts{copy});
  EXPECT_EQ(w.TempFileList, Texts{copy});
  ASSERT_TRUE(std::filesystem::exists(copy));
  // Dropping the copy itself: it is deleted first, then searched as unreadable.
  w.cbNFOpt->setChecked(false);
  DropAndWait({copy});
  EXPECT_FALSE(std::filesystem::exists(copy));
  EXPECT_TRUE(w.TempFileList.empty());
  ASSERT_EQ(FileNodes(), Texts{copy});
  EXPECT_TRUE(w.model->Files()[0].hits.empty());
}

TEST_F(Window, SelectedHitStillNamesItsFileAfterHidingFilesWithoutHits) {
  TfmMain& w = Open();
  const std::string a = folder.Write("a.txt", "nothing\n");
  const std::string b = folder.Write("b.txt", "key in b\n");
  const std::string c = folder.Write("c.txt", "key in c\n");
  w.cbNFOpt->setChecked(false);
  w.edFind1->setText("key");
  DropAndWait({a, b, c});
  ASSERT_EQ(w.model->rowCount(), 3);
  w.mnAllOpenClick();
  w.tvFind->setCurrentIndex(w.model->index(0, 0, w.model->index(1, 0)));

  w.cbNFOpt->setChecked(true);
  ASSERT_EQ(w.model->rowCount(), 2);
  const QModelIndex selected = w.tvFind->currentIndex();
  ASSERT_TRUE(selected.isValid());
  EXPECT_EQ(w.model->TextOf(selected), "LINE[0000000001]:key in b");
  w.mnEditClick();
  ASSERT_EQ(launches.size(), 1u);
  EXPECT_EQ(launches[0].document, b);
}

TEST_F(Window, CopyKeepsInvalidBytesAsHexEscapes) {
  TfmMain& w = Open();
  // A Shift_JIS name, and a line that decodes in no encoding, so it is searched
  // as raw bytes.
  const std::string path = folder.Write("\x8C\x9F.txt", "key \xFF\xFE\n");
  w.edFind1->setText("key");
  DropAndWait({path});
  ASSERT_EQ(w.model->rowCount(), 1);
  w.mnAllOpenClick();
  w.mnCopyClick();
  EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(),
            "-" + folder.path() + "/\\x8C\\x9F.txt\n\tLINE[0000000001]:key \\xFF\\xFE\n");
}

TEST_F(Window, CopyExpandCollapseAndCloseList) {
  TfmMain& w = Open();
  const std::string p = folder.Write("p.txt", "key 1\nkey 2\n");
  const std::string q = folder.Write("q.txt", "key 3\n");
  const std::string r = folder.Write("r.txt", "nothing\n");
  w.cbNFOpt->setChecked(false);
  w.edFind1->setText("key");
  DropAndWait({p, q, r});
  QClipboard* clipboard = QGuiApplication::clipboard();
  w.mnCopyClick();
  EXPECT_EQ(clipboard->text().toStdString(), "+" + p + "\n+" + q + "\n " + r + "\n");
  w.mnAllOpenClick();
  Select(1, 0);
  w.mnCloseClick();
  w.mnCopyClick();
  EXPECT_EQ(clipboard->text().toStdString(), "-" + p +
                                                 "\n\tLINE[0000000001]:key 1\n"
                                                 "\tLINE[0000000002]:key 2\n+" +
                                                 q + "\n " + r + "\n");
  w.mnAllCloseClick();
  w.mnCopyClick();
  EXPECT_EQ(clipboard->text().toStdString(), "+" + p + "\n+" + q + "\n " + r + "\n");

  // Hiding files without hits afterwards removes exactly those.
  w.cbNFOpt->setChecked(true);
  EXPECT_EQ(FileNodes(), (Texts{p, q}));
  w.cbNFOpt->setChecked(false);
  EXPECT_EQ(FileNodes(), (Texts{p, q}));
}

TEST_F(Window, AndOrButtonTogglesTheModeTheNextSearchUses) {
  TfmMain& w = Open();
  const std::string a = folder.Write("a.txt", "alpha\n");
  w.edFind1->setText("alpha");
  w.edFind2->setText("beta");
  DropAndWait({a});
  EXPECT_TRUE(FileNodes().empty()) << "AND needs both";
  w.pbOptClick();
  EXPECT_EQ(w.pbOpt->text(), "OR");
  DropAndWait({a});
  EXPECT_EQ(FileNodes(), Texts{a});
  w.pbOptClick();
  EXPECT_EQ(w.pbOpt->text(), "AND");
  EXPECT_EQ(w.AndMode, kAndMode);
}

TEST_F(Window, OpeningCommandsActOnTheTargetFileFromItsFolder) {
  TfmMain& w = Open();
  const std::string file = folder.Write("my docs/a b.txt", "key\n");
  w.edFind1->setText("key");
  DropAndWait({file});
  const std::string where = folder.path() + "/my docs/";

  w.mnEditClick();
  EXPECT_TRUE(launches.empty()) << "nothing selected: nothing happens";
  Select(0, 0);
  w.tvFindClick();
  EXPECT_TRUE(w.mnEdit->isEnabled());
  w.mnEditClick();
  ASSERT_EQ(launches.size(), 1u);
  EXPECT_EQ(launches[0].document, file);
  EXPECT_EQ(launches[0].folder, where);

  chosenApplication = "/opt/tools/Viewer";
  w.mnOpenAppClick();
  EXPECT_EQ(dialogTitles, Texts{"a b.txtを開くｱﾌﾟﾘｹｰｼｮﾝを指定して下さい。"});
  ASSERT_EQ(launches.size(), 2u);
  EXPECT_EQ(launches[1].application, "/opt/tools/Viewer");
  EXPECT_EQ(launches[1].folder, where);
  EXPECT_EQ(w.RecentApps[0], "/opt/tools/Viewer");
  EXPECT_EQ(platform::GetPrivateProfileString("KOLBRIN", "APR_LIST1", "", settings),
            "/opt/tools/Viewer");
  ASSERT_EQ(w.mnHistoryMenu->actions().size(), 1);
  EXPECT_EQ(w.mnHistoryMenu->actions().front()->text(), "Viewer");

  // A failed launch warns and changes nothing.
  launchSucceeds = false;
  chosenApplication = "/bin/other";
  w.mnOpenAppClick();
  EXPECT_EQ(warnings, Texts{"ｱﾌﾟﾘｹｰｼｮﾝの起動に失敗しました。"});
  EXPECT_EQ(w.RecentApps, (settings::RecentAppSlots{"/opt/tools/Viewer", "", "", "", ""}));
  w.mnEditClick();
  EXPECT_EQ(warnings.back(), "ファイルを開けませんでした。");

  launchSucceeds = true;
  w.mnHistoryMenu->actions().front()->trigger();
  EXPECT_EQ(launches.back().application, "/opt/tools/Viewer");
  EXPECT_EQ(launches.back().document, file);
}

// The window's thread wakes once a file: Qt's own loop, not GLib's, and the
// started programs do not inherit the choice.
TEST(WindowApplication, RunsOnQtsOwnEventLoopWithoutPassingTheChoiceOn) {
  const char* dispatcher = QAbstractEventDispatcher::instance()->metaObject()->className();
  EXPECT_EQ(std::string_view(dispatcher).find("Glib"), std::string_view::npos) << dispatcher;
  EXPECT_FALSE(qEnvironmentVariableIsSet("QT_NO_GLIB"));
}

TEST_F(Window, AnOpenerFailingLaterWarnsOnTheWindowsThreadAndNeverAfterTheWindowHasGone) {
  Open().edFind1->setText("key");
  DropAndWait({folder.Write("a.txt", "key\n")});
  Select(0);
  window->mnEditClick();
  ASSERT_TRUE(openerFailedLater);
  EXPECT_TRUE(warnings.empty()) << "the window did not wait for the opener";
  std::thread(openerFailedLater).join();  // as the opener's reaper reports it
  EXPECT_TRUE(warnings.empty()) << "shown from another thread";
  QCoreApplication::processEvents();
  EXPECT_EQ(warnings, Texts{"ファイルを開けませんでした。"});

  window->mnEditClick();
  std::thread(openerFailedLater).join();
  window.reset();
  QCoreApplication::processEvents();
  std::thread(openerFailedLater).join();
  QCoreApplication::processEvents();
  EXPECT_EQ(warnings.size(), 1u);
}

// The search boxes take the width the window gains and the option button keeps to
// the right edge; the tree fills the space between the panel and the status line.
TEST_F(Window, LayoutFollowsTheWindowSize) {
  TfmMain& w = Open();
  EXPECT_EQ(w.size(), QSize(346, 291));
  const int boxWidth = w.edFind1->width();
  const int optionMargin = w.width() - w.pbOpt->geometry().right();
  const int stopCentre = w.pbStop->geometry().center().x();
  const auto expectFilled = [&](const char* when) {
    EXPECT_EQ(w.tvFind->x(), 0) << when;
    EXPECT_EQ(w.tvFind->width(), w.width()) << when;
    EXPECT_EQ(w.tvFind->y(), w.Panel1->geometry().bottom() + 1) << when;
    EXPECT_EQ(w.tvFind->geometry().bottom() + 1, w.sbMsg->y()) << when;
  };
  expectFilled("at the opening size");
  w.resize(w.width() + 154, w.height() + 109);
  QCoreApplication::processEvents();
  EXPECT_EQ(w.edFind1->width(), boxWidth + 154);
  EXPECT_EQ(w.edFind2->width(), boxWidth + 154);
  EXPECT_EQ(w.width() - w.pbOpt->geometry().right(), optionMargin);
  expectFilled("after growing");
  EXPECT_GT(w.pbStop->geometry().center().x(), stopCentre) << "the stop button stays in the middle";
  EXPECT_GE(w.minimumWidth() + 8, 192);
}

// Recent applications used from slots 3 and then 5: each use moves that application
// to slot 1 and keeps every other one, in order, once.
TEST_F(Window, RecentApplicationFromALaterSlotMovesUpWithoutLosingAnother) {
  for (int slot = 1; slot <= 5; ++slot) {
    const std::string key = "APR_LIST" + std::to_string(slot);
    platform::WritePrivateProfileString("KOLBRIN", key, "/opt/app" + std::to_string(slot), settings);
  }
  TfmMain& w = Open();
  w.edFind1->setText("key");
  DropAndWait({folder.Write("a.txt", "key\n")});
  Select(0);
  w.mnHistoryItemClick(2);
  w.mnHistoryItemClick(4);
  ASSERT_EQ(launches.size(), 2u);
  EXPECT_EQ(launches[0].application, "/opt/app3");
  EXPECT_EQ(launches[1].application, "/opt/app5");
  const settings::RecentAppSlots expected{"/opt/app5", "/opt/app3", "/opt/app1", "/opt/app2",
                                          "/opt/app4"};
  EXPECT_EQ(w.RecentApps, expected);
  EXPECT_EQ(settings::ReadRecentApps(settings), expected);
}

// However a node comes to be selected after a new search (a right click, the
// keyboard), the file commands follow it, and Ctrl+1 opens it with the most recent
// application.
TEST_F(Window, FileCommandsFollowARightClickOrKeyboardSelection) {
  platform::WritePrivateProfileString("KOLBRIN", "APR_LIST1", "/opt/viewer", settings);
  TfmMain& w = Open();
  w.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  const std::string a = folder.Write("a.txt", "key\n");
  const std::string b = folder.Write("b.txt", "key\n");
  w.edFind1->setText("key");
  for (const char* how : {"right click", "keyboard"}) {
    SCOPED_TRACE(how);
    launches.clear();
    DropAndWait({a, b});
    ASSERT_FALSE(w.mnEdit->isEnabled()) << "a new search selects nothing";
    if (std::string_view(how) == "right click") {
      const QPoint at = w.tvFind->visualRect(w.model->index(1, 0)).center();
      QContextMenuEvent click(QContextMenuEvent::Mouse, at, w.tvFind->viewport()->mapToGlobal(at));
      QApplication::sendEvent(w.tvFind->viewport(), &click);
      EXPECT_TRUE(w.mnCmd->isVisible());
      w.mnCmd->hide();
    } else {
      w.tvFind->setFocus();
      QTest::keyClick(w.tvFind, Qt::Key_Down);
      QTest::keyClick(w.tvFind, Qt::Key_Down);
    }
    for (QAction* item : {w.mnEdit, w.mnOpenApp, w.mnHistory, w.mnClose}) {
      EXPECT_TRUE(item->isEnabled()) << item->text().toStdString();
    }
    w.tvFind->setFocus();
    QTest::keyClick(w.tvFind, Qt::Key_1, Qt::ControlModifier);
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].application, "/opt/viewer");
    EXPECT_EQ(launches[0].document, b);
  }
}

// Enter or F5 in a search box searches the last files again with the strings now
// set; with no files dropped yet it does nothing.
TEST_F(Window, EnterSearchesTheLastFilesAgainWithTheStringsNowSet) {
  TfmMain& w = Open();
  QTest::keyClick(w.edFind1, Qt::Key_Return);
  EXPECT_FALSE(w.IsSearching()) << "no files yet";
  const std::string a = folder.Write("a.txt", "alpha\n");
  const std::string b = folder.Write("b.txt", "beta\n");
  w.edFind1->setText("alpha");
  DropAndWait({b, a});
  EXPECT_EQ(FileNodes(), Texts{a});
  w.edFind1->setText("beta");
  QTest::keyClick(w.edFind1, Qt::Key_Return);
  EXPECT_TRUE(w.IsSearching());
  WaitUntil([&] { return !w.IsSearching(); });
  EXPECT_EQ(FileNodes(), Texts{b});
  w.edFind1->setText("a");
  w.cbNFOpt->setChecked(false);
  QTest::keyClick(w.edFind2, Qt::Key_F5);
  WaitUntil([&] { return !w.IsSearching(); });
  EXPECT_EQ(FileNodes(), (Texts{a, b}));
}

// Files named on the command line wait for a search string and Enter; names that
// are no existing path are left out.
TEST_F(Window, FilesFromTheCommandLineWaitForEnter) {
  TfmMain& w = Open();
  const std::string a = folder.Write("a.txt", "key\n");
  const std::string b = folder.Write("b.txt", "key\n");
  w.TakeFilesToSearch({b, folder.path() + "/missing.txt", a, a});
  EXPECT_FALSE(w.IsSearching());
  EXPECT_EQ(w.sbMsg->currentMessage(),
            QString::fromUtf8("2 個のファイル — 検索文字列を入力して Enter"));
  EXPECT_TRUE(warnings.empty());
  w.edFind1->setText("key");
  QTest::keyClick(w.edFind1, Qt::Key_Return);
  WaitUntil([&] { return !w.IsSearching(); });
  EXPECT_EQ(FileNodes(), (Texts{a, b}));
  EXPECT_EQ(w.sbMsg->currentMessage(), QString::fromUtf8("2 ファイル中 2 ファイル、2 件"));
}

// Screen readers are told what the tree and the TAB box are, and not about the
// controls that are hidden.
TEST_F(Window, AssistiveTechnologySeesNamedControlsAndNoHiddenOnes) {
  TfmMain& w = Open();
  QAccessibleInterface* window = QAccessible::queryAccessibleInterface(&w);
  ASSERT_NE(window, nullptr);
  std::vector<QObject*> listed;
  for (int i = 0; i < window->childCount(); ++i) {
    listed.push_back(window->child(i)->object());
    EXPECT_EQ(window->indexOfChild(window->child(i)), i);
  }
  EXPECT_EQ(std::count(listed.begin(), listed.end(), w.Label5), 0);
  EXPECT_EQ(std::count(listed.begin(), listed.end(), w.pbStop), 0);
  EXPECT_EQ(std::count(listed.begin(), listed.end(), w.tvFind), 1);
  EXPECT_EQ(QAccessible::queryAccessibleInterface(w.tvFind)->text(QAccessible::Name),
            QString::fromUtf8("検索結果"));
  EXPECT_EQ(QAccessible::queryAccessibleInterface(w.udTab)->text(QAccessible::Name),
            QString::fromUtf8("TAB幅"));
  w.pbStop->show();
  EXPECT_EQ(window->childCount(), static_cast<int>(listed.size()) + 1) << "shown, it is listed";
  w.pbStop->hide();
}

}  // namespace
}  // namespace kolbrin
