// Times the main window searching many files: from the start of a drag of the files
// named on the command line over the window (entering, 60 moves of the pointer, as a
// drag of about a second sends, and the drop) to the end of the search (the
// completion callback), off screen. Measures the wall time and the process's CPU
// time (every thread) over that span.
//
//   QT_QPA_PLATFORM=offscreen kolbrin-window-bench STRING FILE...
//
// Prints "WALL s, CPU s CPU, N file nodes".
#include <QApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <ctime>
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

  // The list as a drag from another program brings it: bytes, parsed when read.
  QByteArray list;
  for (int i = 2; i < argc; ++i) {
    list += QUrl::fromLocalFile(QString::fromLocal8Bit(argv[i])).toEncoded() + "\r\n";
  }
  QMimeData data;
  data.setData(QStringLiteral("text/uri-list"), list);
  const auto cpuSeconds = [] {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
  };

  const double cpuAtStart = cpuSeconds();
  QElapsedTimer timer;
  timer.start();
  QDragEnterEvent enter(QPoint(20, 100), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&window, &enter);
  for (int move = 0; move < 60; ++move) {
    QDragMoveEvent over(QPoint(20 + move, 100), Qt::CopyAction, &data, Qt::LeftButton,
                        Qt::NoModifier);
    QApplication::sendEvent(&window, &over);
  }
  QDropEvent drop(QPointF(80, 100), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&window, &drop);
  // Waits for events as the window's own loop does, rather than polling for them.
  while (window.IsSearching()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
  const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
  std::printf("%.3f s, %.3f s CPU, %d file nodes\n", seconds, cpuSeconds() - cpuAtStart,
              window.model->rowCount());
  std::filesystem::remove_all(scratch);
  return 0;
}
