// TfmMain: the result tree's pop-up menu and the option buttons.
#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QKeySequence>
#include <QMenu>
#include <QPushButton>
#include <QTreeView>

#include "app/Grep1.h"
#include "platform/Files.h"
#include "search/TreePrinter.h"

namespace kolbrin {

QModelIndex TfmMain::TargetFileNode() const {
  const QModelIndexList selected = tvFind->selectionModel()->selectedIndexes();
  if (selected.isEmpty()) return {};
  return model->FileNodeOf(selected.front());
}

void TfmMain::mnEditClick() {
  const QModelIndex target = TargetFileNode();
  if (!target.isValid()) return;
  const std::string path(model->TextOf(target));
  // The window never waits for the opener: a failure it reports later is shown
  // when the window's thread next runs its events.
  auto failedLater = [late = lateFailures_, this] {
    const std::lock_guard<std::mutex> lock(late->mutex);
    if (late->dispatcher != nullptr) late->dispatcher->Post([this] { ShowOpenFailure(); });
  };
  if (!services_.OpenDocument(path, platform::FolderOf(path), std::move(failedLater))) {
    ShowOpenFailure();
  }
}

void TfmMain::ShowOpenFailure() {
  services_.ShowWarning(this, QStringLiteral("ファイルを開けませんでした。"));
}

void TfmMain::mnOpenAppClick() {
  const QModelIndex target = TargetFileNode();
  if (!target.isValid()) return;
  const std::string path(model->TextOf(target));
  const QString title = QString::fromStdString(platform::FileNameOf(path)) +
                        QStringLiteral("を開くｱﾌﾟﾘｹｰｼｮﾝを指定して下さい。");
  const std::optional<std::string> application = services_.ChooseApplication(this, title);
  if (!application) return;
  Launch(*application);
}

void TfmMain::mnHistoryItemClick(std::size_t slot) {
  // Its shortcut does nothing while the submenu is disabled.
  if (!mnHistory->isEnabled() || slot >= RecentApps.size()) return;
  if (!TargetFileNode().isValid()) return;
  Launch(RecentApps[slot]);
}

void TfmMain::Launch(std::string application) {
  const std::string path(model->TextOf(TargetFileNode()));
  // The document reaches the application as one argument, so it needs no quotes.
  if (services_.LaunchApplication(application, path, platform::FolderOf(path))) {
    AddRecentApp(application);
  } else {
    services_.ShowWarning(this, QStringLiteral("ｱﾌﾟﾘｹｰｼｮﾝの起動に失敗しました。"));
  }
}

void TfmMain::AddRecentApp(const std::string& application) {
  settings::AddRecentApp(RecentApps, application);
  settings::WriteRecentApps(SettingsPath, RecentApps);
  RebuildHistoryMenu();
}

void TfmMain::RebuildHistoryMenu() {
  // The old items may be running their click right now: they go later.
  for (QAction* item : mnHistoryMenu->actions()) {
    mnHistoryMenu->removeAction(item);
    tvFind->removeAction(item);
    item->deleteLater();
  }
  historyItems_.clear();
  int shortcut = 1;
  for (std::size_t slot = 0; slot < RecentApps.size(); ++slot) {
    const std::string name = platform::FileNameOf(RecentApps[slot]);
    if (name.empty()) continue;
    QString caption = QString::fromStdString(name);
    caption.replace(QLatin1Char('&'), QStringLiteral("&&"));
    auto* item = new QAction(caption, this);
    item->setShortcut(QKeySequence(Qt::CTRL | static_cast<Qt::Key>(Qt::Key_0 + shortcut)));
    item->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(item, &QAction::triggered, this, [this, slot] { mnHistoryItemClick(slot); });
    mnHistoryMenu->addAction(item);
    tvFind->addAction(item);
    historyItems_.push_back(item);
    ++shortcut;
  }
}

void TfmMain::mnCopyClick() {
  const std::string text = TreeText(model->Files(), [this](std::size_t i) {
    return tvFind->isExpanded(model->index(int(i), 0));
  });
  QGuiApplication::clipboard()->setText(QString::fromStdString(text));
}

void TfmMain::mnAllOpenClick() { tvFind->expandAll(); }

void TfmMain::mnAllCloseClick() { tvFind->collapseAll(); }

void TfmMain::mnCloseClick() {
  const QModelIndex target = TargetFileNode();
  if (target.isValid()) tvFind->collapse(target);
}

void TfmMain::tvFindClick() { UpdateMenuState(); }

void TfmMain::cbNFOptClick() {
  if (!cbNFOpt->isChecked()) return;
  // From the last file node back, so the rows still to visit keep their numbers;
  // each run of neighbouring file nodes without hits goes in one change.
  const auto files = model->Files();
  for (int end = model->rowCount(); end > 0;) {
    int first = end;
    while (first > 0 && files[static_cast<std::size_t>(first - 1)].hits.empty()) --first;
    if (first < end) model->RemoveFileNodes(first, end - first);
    end = first - 1;
  }
}

void TfmMain::pbOptClick() {
  if (AndMode == kAndMode) {
    AndMode = kOrMode;
    pbOpt->setText(QStringLiteral("OR"));
  } else {
    AndMode = kAndMode;
    pbOpt->setText(QStringLiteral("AND"));
  }
}

}  // namespace kolbrin
