// TfmMain, Kolbrin's one window: the search strings and options, the result tree
// with its pop-up menu, the stop button and the status bar. Files dropped on it
// start a search on a TGrep worker; the window owns that worker, the settings, the
// recent applications and the list of extracted copies kept for the tree.
#pragma once

#include <QLabel>
#include <QWidget>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/QtDispatcher.h"
#include "app/ResultTreeModel.h"
#include "app/WindowSettings.h"
#include "platform/Files.h"
#include "search/TextEncoding.h"
#include "search/Threadg.h"

class QAction;
class QCheckBox;
class QLineEdit;
class QMenu;
class QPushButton;
class QSpinBox;
class QStatusBar;
class QTreeView;
class QWidget;

class QTimer;
class QTranslator;

namespace kolbrin {

inline constexpr char kApplicationTitle[] = "Kolbrin! Ver1.10a";

// What the window asks of the desktop, replaceable so tests can answer and watch.
struct WindowServices {
  // A warning message box owned by the window, with the application title.
  std::function<void(QWidget* owner, const QString& text)> ShowWarning;
  // The application dialog: the chosen program, or nothing when cancelled.
  std::function<std::optional<std::string>(QWidget* owner, const QString& title)> ChooseApplication;
  // Opens a document with the desktop's opener without waiting for it; false when
  // it could not be started. An opener that fails afterwards calls `failedLater`,
  // from any thread.
  std::function<bool(const std::string& document, const std::string& folder,
                     std::function<void()> failedLater)>
      OpenDocument;
  // Starts an application with the document as its one argument; false on failure.
  std::function<bool(const std::string& application, const std::string& document,
                     const std::string& folder)>
      LaunchApplication;

  static WindowServices Desktop();
};

class TfmMain final : public QWidget, private SearchHost {
 public:
  // Builds the window and reads `settingsPath`; the private folder for extracted
  // members is made inside `tempParent` (the TEMP folder, ending in "/").
  TfmMain(std::string settingsPath, std::string tempParent, WindowServices services);
  ~TfmMain() override;

  // Sets the font substitutes for the Windows fonts the layout names.
  static void InstallFontSubstitutions();
  // Installs Qt's Japanese texts for its own dialogs and buttons (qtbase_ja.qm in
  // Qt's translations folder) in the application, which owns them; nullptr, and
  // nothing installed, when the file is missing or does not load.
  static QTranslator* InstallQtTranslations();

  // Handlers, named after their control and event.
  void WMDropFiles(const std::vector<std::string>& paths);
  // Enter or F5 in a search box: searches the files of the last search again, with
  // the strings and options now set, as if they had been dropped again. Does nothing
  // while a search runs or before any files were dropped.
  void SearchAgain();
  // The files named on the command line (the file manager's "Open With") become the
  // files of the last search: nothing is searched until the user presses Enter. A
  // path that does not exist is left out. The status bar says how many files wait.
  void TakeFilesToSearch(const std::vector<std::string>& paths);
  void pbStopClick();
  void SearchTerminated();
  // Ends the program at once with `exitStatus`, without waiting for a running
  // search: its worker is held where it is and the private folder is removed with
  // everything in it. For when an orderly close can no longer be waited for.
  [[noreturn]] void AbandonSession(int exitStatus);
  void UpdateMenuState() override;
  void mnEditClick();
  void mnOpenAppClick();
  void mnHistoryItemClick(std::size_t slot);
  void mnCopyClick();
  void mnAllOpenClick();
  void mnAllCloseClick();
  void mnCloseClick();
  void tvFindClick();
  void cbNFOptClick();
  void pbOptClick();
  void AddRecentApp(const std::string& application);
  void RebuildHistoryMenu();

  // The fields the window keeps.
  QString BaseCaption;
  std::string TempDir;  // the private folder's path, empty without one
  std::string SettingsPath;
  settings::RecentAppSlots RecentApps;
  bool CloseRequested = false;
  std::int32_t AndMode = kAndMode;
  // How every search decodes its files: key ENCODING of the settings file, read at
  // start-up; a missing or unknown name means Auto.
  TextEncoding Encoding = TextEncoding::Auto;
  // Whether a dropped folder is searched, file by file below it: key FOLDERS of the
  // settings file, read at start-up; off unless it is 1.
  bool SearchFolders = false;
  // How many files a search scans at once: key JOBS of the settings file, read at
  // start-up; 0 (the default) is one per core.
  unsigned Jobs = 0;
  std::vector<std::string> TempFileList;
  // The files of the last search, as dropped, for SearchAgain.
  std::vector<std::string> LastPaths;

  // Whether a search runs: from the drop that starts it until its worker has ended.
  bool IsSearching() const { return worker_ != nullptr; }
  // The running search's worker; null while none runs.
  const TGrep* SearchThread() const { return worker_.get(); }

  // Controls, in creation order.
  QLabel* Label5 = nullptr;
  QTreeView* tvFind = nullptr;
  QWidget* Panel1 = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label3 = nullptr;
  QLabel* Label4 = nullptr;
  QCheckBox* cbDist = nullptr;
  QLineEdit* edFind1 = nullptr;
  QCheckBox* cbNFOpt = nullptr;
  QSpinBox* udTab = nullptr;  // with its own edit box, edTab
  QLineEdit* edFind2 = nullptr;
  QPushButton* pbOpt = nullptr;
  QPushButton* pbStop = nullptr;
  QStatusBar* sbMsg = nullptr;
  ResultTreeModel* model = nullptr;

  QMenu* mnCmd = nullptr;
  QAction* mnEdit = nullptr;
  QAction* mnOpenApp = nullptr;
  QAction* mnHistory = nullptr;
  QAction* mnCopy = nullptr;
  QAction* mnAllOpen = nullptr;
  QAction* mnAllClose = nullptr;
  QAction* mnClose = nullptr;
  QMenu* mnHistoryMenu = nullptr;

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildControls();
  void BuildMenu();
  void ConnectHandlers();
  void FormCreate();
  // Makes every control pass drops on to the window, which starts the search.
  void MakeWholeWindowTheDropTarget();
  void ReadSettings();
  void FormCloseQuery(bool& CanClose);
  void FormClose();
  int TabPosition() const;
  // The file node the opening commands act on; invalid without a selection.
  QModelIndex TargetFileNode() const;
  // Opens the tree's pop-up menu for Shift+F10 or the Menu key.
  void OpenTreeMenuFromKeyboard();
  // Takes its own copy: the recent list it may come from is rotated on success.
  void Launch(std::string application);
  void ShowOpenFailure();

  // SearchHost: the worker's synchronized calls, on the GUI thread.
  void AddFileNode(const std::string& text, TextList hitTexts) override;
  void AddTempFile(const std::string& path) override;
  void SetStatusText(const std::string& text) override;
  void ShowExtracting(bool extracting) override;
  // Shows what the worker published since the last call: the file nodes, in one
  // change of the tree, and the latest status text.
  void ShowPending();

  // What the worker published and the window does not show yet: a search of many
  // small files publishes thousands of files a second, and the window shows them in
  // batches, laid out and painted a few times a second rather than once a file.
  std::vector<FileNode> pendingFiles_;
  std::optional<std::string> pendingStatus_;
  int extractingCursors_ = 0;  // busy cursors set for extractions and not yet undone
  QTimer* showPendingTimer_ = nullptr;

  WindowServices services_;
  std::string tempParent_;
  std::optional<platform::PrivateFolder> privateFolder_;  // held while the window lives
  QtDispatcher dispatcher_;
  // The way back to the window for an opener's late failure, which arrives on the
  // thread that reaps the opener, maybe after the window has gone: the window
  // empties it when it goes, and tasks posted to the dispatcher before then are
  // dropped with it.
  struct LateFailures {
    std::mutex mutex;
    QtDispatcher* dispatcher = nullptr;
  };
  std::shared_ptr<LateFailures> lateFailures_ = std::make_shared<LateFailures>();
  // The running search's worker, set exactly while a search runs: the one record of
  // whether one does.
  std::unique_ptr<TGrep> worker_;
  // A worker that has ended, its thread still finishing; released from a later event.
  std::unique_ptr<TGrep> endedWorker_;
  std::vector<QAction*> historyItems_;
};

}  // namespace kolbrin
