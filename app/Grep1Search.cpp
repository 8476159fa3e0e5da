// TfmMain: starting a search from dropped files, its progress and its end.
#include <QApplication>
#include <QCheckBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QTreeView>
#include <QUrl>
#include <unordered_set>

#include "app/Grep1.h"
#include "archive/ArchiveMembers.h"
#include "platform/Files.h"

namespace kolbrin {
namespace {

// The dropped files' paths, as bytes: a name that is not UTF-8 (Shift_JIS bytes
// from an old archive, say) arrives percent-encoded in its URL and is decoded to its
// own bytes, never through a QString, which would replace them.
std::vector<std::string> DroppedPaths(const QMimeData* data) {
  std::vector<std::string> paths;
  if (data == nullptr) return paths;
  for (const QUrl& url : data->urls()) {
    if (!url.isLocalFile()) continue;
    const QByteArray path =
        QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
    if (!path.isEmpty())
      paths.emplace_back(path.constData(), static_cast<std::size_t>(path.size()));
  }
  return paths;
}

}  // namespace

void TfmMain::MakeWholeWindowTheDropTarget() {
  // A control that takes drops itself (a search box would insert the file's URL as
  // text) keeps them from the window; without, a drop anywhere reaches the window.
  for (QWidget* child : findChildren<QWidget*>()) child->setAcceptDrops(false);
  setAcceptDrops(true);
}

// A drag entering is answered as one moving over the window.
void TfmMain::dragEnterEvent(QDragEnterEvent* event) { dragMoveEvent(event); }

// While a search runs a drop is refused, so the drag shows that it is not taken and
// no file manager believes that a move took place. A drag of files is told by its
// formats alone: a list of 20,000 files is parsed once, at the drop, not at every
// move of the pointer.
void TfmMain::dragMoveEvent(QDragMoveEvent* event) {
  if (!IsSearching() && event->mimeData() != nullptr && event->mimeData()->hasUrls()) {
    event->setDropAction(Qt::CopyAction);
    event->accept();
  } else {
    event->ignore();
  }
}

void TfmMain::dropEvent(QDropEvent* event) {
  const std::vector<std::string> paths = DroppedPaths(event->mimeData());
  if (IsSearching() || paths.empty()) {
    event->ignore();
    return;
  }
  // The files are read, never moved: a copy is all the drag source is told.
  event->setDropAction(Qt::CopyAction);
  event->accept();
  WMDropFiles(paths);
}

void TfmMain::WMDropFiles(const std::vector<std::string>& paths) {
  // One search at a time: a drop while one runs is ignored.
  if (IsSearching()) return;
  // Kept also when the search string is missing: Enter then searches them.
  LastPaths = paths;
  activateWindow();
  raise();
  setWindowTitle(QString::fromUtf8(kApplicationTitle));
  const std::string string1 = edFind1->text().toStdString();
  if (string1.size() > 255) return;
  if (string1.empty()) {
    services_.ShowWarning(this, QStringLiteral("検索文字列を入力してください。"));
    edFind1->setFocus();
    return;
  }

  // From here on the search runs, although its worker starts only once the window
  // has been cleared for it.
  worker_ =
      std::make_unique<TGrep>(dispatcher_, static_cast<SearchHost&>(*this), ArchiverMemberAccess());
  edFind1->setReadOnly(true);
  edFind2->setReadOnly(true);
  cbDist->setEnabled(false);
  cbNFOpt->setEnabled(false);

  setWindowTitle(BaseCaption + QStringLiteral(" Now Deleting..."));
  QApplication::setOverrideCursor(Qt::WaitCursor);
  repaint();
  // The previous search's copies go on the worker, before it extracts anything.
  worker_->CopiesToDelete = std::move(TempFileList);
  tvFind->setUpdatesEnabled(false);
  model->Clear();
  tvFind->header()->resizeSection(0, tvFind->header()->defaultSectionSize());
  UpdateMenuState();
  tvFind->setUpdatesEnabled(true);
  TempFileList.clear();
  sbMsg->clearMessage();
  QApplication::restoreOverrideCursor();

  setWindowTitle(BaseCaption + QStringLiteral(" Now Searching..."));
  repaint();

  TGrep& search = *worker_;
  search.SetOnTerminate([this] { SearchTerminated(); });
  search.TempDir = TempDir;
  search.String1 = string1;
  search.String2 = edFind2->text().toStdString();
  search.CaseSensitive = cbDist->isChecked();
  search.HideFilesWithoutHits = cbNFOpt->isChecked();
  search.TabWidth = TabPosition();
  search.AndMode = AndMode;
  search.Encoding = Encoding;
  search.SearchFolders = SearchFolders;
  search.Jobs = Jobs;
  search.Paths.Assign(paths);

  pbStop->show();
  search.Resume();
}

void TfmMain::SearchAgain() {
  if (IsSearching() || LastPaths.empty()) return;
  WMDropFiles(std::vector<std::string>(LastPaths));
}

void TfmMain::TakeFilesToSearch(const std::vector<std::string>& paths) {
  if (IsSearching()) return;
  LastPaths.clear();
  std::unordered_set<std::string> taken;  // a path named twice is one file
  for (const std::string& path : paths) {
    if (path.empty() || !platform::Exists(path) || !taken.insert(path).second) continue;
    LastPaths.push_back(path);
  }
  if (LastPaths.empty()) return;
  sbMsg->showMessage(QString::number(LastPaths.size()) +
                     QStringLiteral(" 個のファイル — 検索文字列を入力して Enter"));
  edFind1->setFocus();
}

void TfmMain::pbStopClick() {
  if (worker_ != nullptr) worker_->RequestStop();
  pbStop->hide();
}

void TfmMain::SearchTerminated() {
  ShowPending();
  // A search stopped inside an extraction may leave its busy cursor behind.
  while (extractingCursors_ > 0) ShowExtracting(false);
  pbStop->hide();
  edFind1->setReadOnly(false);
  edFind2->setReadOnly(false);
  cbDist->setEnabled(true);
  cbNFOpt->setEnabled(true);
  // The callback runs while the worker's thread is finishing: the worker is joined
  // and released from a later event, on this thread.
  const SearchSummary summary = worker_->Summary();
  endedWorker_ = std::move(worker_);
  QTimer::singleShot(0, this, [this] { endedWorker_.reset(); });
  setWindowTitle(BaseCaption + (summary.stopped ? QStringLiteral(" 中断しました")
                                                : QStringLiteral(" Searching Completion.")));
  sbMsg->showMessage(QString::fromStdString(SummaryText(summary)));
  if (CloseRequested) close();
}

void TfmMain::AddFileNode(const std::string& text, TextList hitTexts) {
  pendingFiles_.push_back(FileNode{text, std::move(hitTexts)});
  if (!showPendingTimer_->isActive()) showPendingTimer_->start();
}

void TfmMain::ShowPending() {
  showPendingTimer_->stop();
  if (pendingStatus_) {
    if (pendingStatus_->empty()) {
      sbMsg->clearMessage();
    } else {
      sbMsg->showMessage(QString::fromStdString(*pendingStatus_));
    }
    pendingStatus_.reset();
  }
  if (pendingFiles_.empty()) return;
  model->AddFileNodes(std::move(pendingFiles_));
  pendingFiles_.clear();
  // The column is as wide as the widest text, so a long line scrolls rather than
  // being cut short; measured from the texts, as laying out every one is slow.
  const int advance = QFontMetrics(tvFind->font()).horizontalAdvance(QLatin1Char('0'));
  const int indent = tvFind->indentation();
  const int width = std::max(indent + model->WidestFileColumns() * advance,
                             2 * indent + model->WidestHitColumns() * advance) +
                    advance;
  if (width > tvFind->header()->sectionSize(0)) tvFind->header()->resizeSection(0, width);
  UpdateMenuState();
}

void TfmMain::AddTempFile(const std::string& path) { TempFileList.push_back(path); }

void TfmMain::ShowExtracting(bool extracting) {
  // The cursor belongs to this thread: the worker only asks for it.
  if (extracting) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ++extractingCursors_;
  } else if (extractingCursors_ > 0) {
    QApplication::restoreOverrideCursor();
    --extractingCursors_;
  }
}

void TfmMain::SetStatusText(const std::string& text) {
  pendingStatus_ = text;
  if (!showPendingTimer_->isActive()) showPendingTimer_->start();
}

}  // namespace kolbrin
