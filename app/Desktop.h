// The application object's making, and the application dialog of the desktop
// services (WindowServices::Desktop), built on its own so that what it lists can be
// checked without running it.
#pragma once

#include <QFileDialog>
#include <QString>
#include <QtGlobal>
#include <memory>

class QWidget;

namespace kolbrin {

// Makes the application object on Qt's own event loop rather than GLib's, unless
// QT_NO_GLIB is set already: the worker's synchronized call per file wakes the
// window's thread thousands of times a second, and a search of many small files
// takes about a fifth longer through GLib's loop. The variable is cleared again, so
// the programs the window starts do not inherit it.
template <typename Application>
std::unique_ptr<Application> MakeApplication(int& argc, char** argv) {
  const bool chosenByUser = qEnvironmentVariableIsSet("QT_NO_GLIB");
  if (!chosenByUser) qputenv("QT_NO_GLIB", "1");
  auto application = std::make_unique<Application>(argc, argv);
  if (!chosenByUser) qunsetenv("QT_NO_GLIB");
  return application;
}

// The open-file dialog with which the user picks an application, configured but
// not shown: an existing file must be chosen, Qt's own dialog (not a native one),
// and two filters, executable files (listed by their execute permission, with every
// folder to walk through) selected at first, then all files. Window thread.
std::unique_ptr<QFileDialog> MakeApplicationDialog(QWidget* owner, const QString& title);

}  // namespace kolbrin
