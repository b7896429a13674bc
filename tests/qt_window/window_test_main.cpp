// The window tests run in a scratch folder (the settings file is written
// there) with a QApplication on the offscreen platform.

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
  QApplication application(argc, argv);
  const int result = RUN_ALL_TESTS();
  std::filesystem::current_path("/");
  return result;
}
