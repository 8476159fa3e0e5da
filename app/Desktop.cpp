// The window's services on a real desktop: message boxes, the application dialog
// and launching through the platform layer.
#include <QFileDialog>
#include <QFileSystemModel>
#include <QMessageBox>
#include <QSortFilterProxyModel>

#include "app/Grep1.h"
#include "platform/Launch.h"

namespace kolbrin {
namespace {

const QString kExecutablesFilter = QStringLiteral("実行形式(実行可能なﾌｧｲﾙ)");
const QString kAllFilesFilter = QStringLiteral("すべてのﾌｧｲﾙ(*)");

// Linux executables have no name pattern: the first filter keeps the files that
// carry an execute permission (and every folder, to walk through).
class ExecutableFilter final : public QSortFilterProxyModel {
 public:
  using QSortFilterProxyModel::QSortFilterProxyModel;
  void SetExecutablesOnly(bool only) {
    executablesOnly_ = only;
    invalidateFilter();
  }

 protected:
  bool filterAcceptsRow(int row, const QModelIndex& parent) const override {
    if (!executablesOnly_) return true;
    const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel());
    if (files == nullptr) return true;
    const QFileInfo info = files->fileInfo(files->index(row, 0, parent));
    return info.isDir() || info.isExecutable();
  }

 private:
  bool executablesOnly_ = true;
};

std::optional<std::string> ChooseApplicationFile(QWidget* owner, const QString& title) {
  // Like one dialog for the window's life: it starts from the last chosen file.
  static QString lastChoice;
  QFileDialog dialog(owner, title);
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  auto* filter = new ExecutableFilter(&dialog);
  dialog.setProxyModel(filter);
  dialog.setNameFilters({kExecutablesFilter, kAllFilesFilter});
  QObject::connect(&dialog, &QFileDialog::filterSelected, filter, [filter](const QString& name) {
    filter->SetExecutablesOnly(name == kExecutablesFilter);
  });
  if (!lastChoice.isEmpty()) dialog.selectFile(lastChoice);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  lastChoice = dialog.selectedFiles().front();
  return lastChoice.toStdString();
}

}  // namespace

WindowServices WindowServices::Desktop() {
  WindowServices services;
  services.ShowWarning = [](QWidget* owner, const QString& text) {
    QMessageBox::warning(owner, QString::fromUtf8(kApplicationTitle), text);
  };
  services.ChooseApplication = ChooseApplicationFile;
  services.OpenDocument = platform::OpenDocument;
  services.LaunchApplication = platform::LaunchApplication;
  return services;
}

}  // namespace kolbrin
