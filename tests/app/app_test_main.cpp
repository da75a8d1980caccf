// Every application test runs against Qt's off-screen platform: real widgets, no display.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <filesystem>

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  char runtime[] = "/tmp/pelorin-app-test-XXXXXX";  // mkdtemp makes it 0700, as Qt wants
  if (!mkdtemp(runtime)) return 1;
  setenv("XDG_RUNTIME_DIR", runtime, 1);
  int result = 0;
  {
    QApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    result = RUN_ALL_TESTS();
  }
  std::error_code ignored;
  std::filesystem::remove_all(runtime, ignored);
  return result;
}
