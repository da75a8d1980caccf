// Every application test runs against Qt's off-screen platform: real widgets, no display.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>

#include "TestSupport.hpp"

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const PelorinTesting::TemporaryFolder runtime;  // made 0700, as Qt wants
  setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
  QApplication application(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
