// The application dialog of the desktop services (WindowServices::Desktop), built
// on its own so that what it lists can be checked without running it.
#pragma once

#include <QFileDialog>
#include <QString>
#include <memory>

class QWidget;

namespace kolbrin {

// The open-file dialog with which the user picks an application, configured but
// not shown: an existing file must be chosen, Qt's own dialog (not a native one),
// and two filters, executable files (listed by their execute permission, with every
// folder to walk through) selected at first, then all files. Window thread.
std::unique_ptr<QFileDialog> MakeApplicationDialog(QWidget* owner, const QString& title);

}  // namespace kolbrin
