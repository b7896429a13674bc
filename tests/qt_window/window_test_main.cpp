// The window tests run in a scratch folder (the settings file is written
// there) with a QApplication on the offscreen platform. Qt's own settings
// (the file dialog keeps its history) go to that folder too, not into the
// home folder of whoever runs the tests.

#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>
#include <filesystem>

#include "tests/shell/test_support.h"

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  ::testing::InitGoogleTest(&argc, argv);
  velorix::testing::ScratchFolder folder;
  std::filesystem::current_path(folder.path());
  ::setenv("XDG_CONFIG_HOME", folder.path().c_str(), 1);
  QApplication application(argc, argv);
  const int result = RUN_ALL_TESTS();
  std::filesystem::current_path("/");
  return result;
}
