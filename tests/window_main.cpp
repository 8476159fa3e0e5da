// The window tests run GoogleTest inside a QApplication, off screen.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "app/Desktop.h"
#include "app/Grep1.h"

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  const auto application = kolbrin::MakeApplication<QApplication>(argc, argv);
  kolbrin::TfmMain::InstallFontSubstitutions();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
