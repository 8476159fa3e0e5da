// Kolbrin's entry point: the application, its title, fonts, icon and Qt's own
// texts in Japanese, the main window, and the message loop. An error that escapes
// start-up or the loop is shown in a message box, and the program then ends with
// exit code 0. SIGINT, SIGTERM and SIGHUP close the window as the user would, and
// the program ends with 128 + the signal's number. Files named on the command line
// wait, as the files of the last search, for a search string and Enter.
#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <exception>

#include "app/Desktop.h"
#include "app/Grep1.h"
#include "app/SignalClose.h"
#include "platform/Files.h"
#include "platform/Library.h"
#include "platform/Profile.h"
#include "platform/Signals.h"

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
    // Ends the message loop, not the process: main returns once the loop is left.
    QCoreApplication::exit(0);
    return false;
  }
};

}  // namespace

int main(int argc, char** argv) {
  kolbrin::platform::PinLocalTimeZone();
  // Caught before the window makes its private folder.
  kolbrin::platform::EndingSignals endingSignals;
  int exitStatus = 0;
  const std::unique_ptr<KolbrinApplication> application =
      kolbrin::MakeApplication<KolbrinApplication>(argc, argv);
  // What Qt leaves of the command line are files to search ("Open With"), taken as
  // bytes: a name that is not UTF-8 stays the file's own name.
  std::vector<std::string> files(argv + 1, argv + argc);
  if (const std::optional<std::string> folder = kolbrin::platform::CurrentFolder()) {
    for (std::string& file : files) file = kolbrin::platform::AbsolutePath(file, *folder);
  }
  try {
    QApplication::setApplicationName(QStringLiteral("Kolbrin"));
    QApplication::setApplicationVersion(QStringLiteral(KOLBRIN_VERSION));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/MAINICON.xpm")));
    kolbrin::TfmMain::InstallFontSubstitutions();
    kolbrin::TfmMain::InstallQtTranslations();
    // A program that cannot read its own path keeps its settings as one named
    // "kolbrin" in the current folder would.
    kolbrin::TfmMain window(kolbrin::platform::ResolveSettingsPath(
                                kolbrin::platform::ProgramPath().value_or("kolbrin")),
                            kolbrin::platform::TempDirectory(), kolbrin::WindowServices::Desktop());
    const kolbrin::SignalClose signalClose(window, endingSignals);
    window.show();
    window.TakeFilesToSearch(files);
    QApplication::exec();
    exitStatus = signalClose.ExitStatus();
  } catch (const std::exception& error) {
    ShowFatalError(error.what());
  } catch (...) {
    ShowFatalError("unknown error");
  }
  return exitStatus;
}
