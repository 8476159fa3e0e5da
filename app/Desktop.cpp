// The window's services on a real desktop: message boxes, the application dialog
// and launching through the platform layer.
#include "app/Desktop.h"

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
//
// QFileDialog hands the chosen filter's text to its file system model as name
// patterns; the executables filter has no pattern in it, so its whole text would be
// taken for one and match no file. This proxy therefore clears the model's name
// patterns each time a filter is applied and decides alone what is listed.
class ExecutableFilter final : public QSortFilterProxyModel {
 public:
  using QSortFilterProxyModel::QSortFilterProxyModel;
  // Call after the dialog has applied a filter: when it is first set and on every
  // choice the user makes.
  void SetExecutablesOnly(bool only) {
    if (auto* files = qobject_cast<QFileSystemModel*>(sourceModel())) files->setNameFilters({});
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
  const std::unique_ptr<QFileDialog> dialog = MakeApplicationDialog(owner, title);
  if (!lastChoice.isEmpty()) dialog->selectFile(lastChoice);
  if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) return std::nullopt;
  lastChoice = dialog->selectedFiles().front();
  return lastChoice.toStdString();
}

}  // namespace

std::unique_ptr<QFileDialog> MakeApplicationDialog(QWidget* owner, const QString& title) {
  auto dialog = std::make_unique<QFileDialog>(owner, title);
  dialog->setOption(QFileDialog::DontUseNativeDialog);
  dialog->setFileMode(QFileDialog::ExistingFile);
  dialog->setAcceptMode(QFileDialog::AcceptOpen);
  auto* filter = new ExecutableFilter(dialog.get());
  dialog->setProxyModel(filter);
  dialog->setNameFilters({kExecutablesFilter, kAllFilesFilter});
  filter->SetExecutablesOnly(true);
  // Emitted after the dialog has applied the user's choice to its model.
  QObject::connect(
      dialog.get(), &QFileDialog::filterSelected, filter,
      [filter](const QString& name) { filter->SetExecutablesOnly(name == kExecutablesFilter); });
  return dialog;
}

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
