// Kolbrin's entry point: the application, its title, fonts, icon and Qt's own
// texts in Japanese, the main window, and the message loop. An error that escapes
// start-up or the loop is shown in a message box, and the program then ends with
// exit code 0.
#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <exception>

#include "app/Desktop.h"
#include "app/Grep1.h"
#include "platform/Files.h"
#include "platform/Profile.h"

namespace {

void ShowFatalError(const char* text) {
  QMessageBox::critical(nullptr, QString::fromUtf8(kolbrin::kApplicationTitle),
                        QString::fromUtf8(text));
}

class KolbrinApplication final : public QApplication {
 public:
  using QApplication::QApplication;
  bool notify(QObject* receiver, QEvent* event) override {
    try {
      return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
      ShowFatalError(error.what());
    } catch (...) {
      ShowFatalError("unknown error");
    }
    exit(0);
    return false;
  }
};

}  // namespace

int main(int argc, char** argv) {
  // The command line is not used.
  const std::unique_ptr<KolbrinApplication> application =
      kolbrin::MakeApplication<KolbrinApplication>(argc, argv);
  try {
    QApplication::setApplicationName(QStringLiteral("Kolbrin"));
    QApplication::setApplicationVersion(QStringLiteral("1.2.0.0"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/MAINICON.xpm")));
    kolbrin::TfmMain::InstallFontSubstitutions();
    kolbrin::TfmMain::InstallQtTranslations();
    kolbrin::TfmMain window(
        kolbrin::platform::ResolveSettingsPath(kolbrin::platform::ProgramPath()),
        kolbrin::platform::TempDirectory(), kolbrin::WindowServices::Desktop());
    window.show();
    QApplication::exec();
  } catch (const std::exception& error) {
    ShowFatalError(error.what());
  } catch (...) {
    ShowFatalError("unknown error");
  }
  return 0;
}
