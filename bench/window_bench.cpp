// Times the main window searching many files: from a drop of the files named on
// the command line to the end of the search (the completion callback), off screen.
//
//   QT_QPA_PLATFORM=offscreen kolbrin-window-bench STRING FILE...
//
// Prints the seconds taken and the number of file nodes shown.
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/Desktop.h"
#include "app/Grep1.h"

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  const auto application = kolbrin::MakeApplication<QApplication>(argc, argv);
  if (argc < 3) {
    std::fputs("usage: kolbrin-window-bench STRING FILE...\n", stderr);
    return 2;
  }
  const std::filesystem::path scratch = std::filesystem::temp_directory_path() /
                                        ("kolbrin-window-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(scratch / "temp");
  kolbrin::WindowServices services;
  kolbrin::TfmMain window((scratch / "kolbrin.ini").string(), (scratch / "temp").string() + "/",
                          services);
  window.show();
  window.edFind1->setText(QString::fromUtf8(argv[1]));
  QApplication::processEvents();

  const std::vector<std::string> paths(argv + 2, argv + argc);
  QElapsedTimer timer;
  timer.start();
  window.WMDropFiles(paths);
  while (window.IsSearching()) QApplication::processEvents(QEventLoop::AllEvents, 10);
  const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
  std::printf("%.3f s, %d file nodes\n", seconds, window.model->rowCount());
  std::filesystem::remove_all(scratch);
  return 0;
}
