// Shows the real window, driven through the run seam, in one state for a screenshot:
//   app_screens ready|preparing|working|done|failed|alert
// It stays up until it is killed.
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <string_view>

#include "ScriptedRun.hpp"
#include "pipeline/NetworkError.hpp"

int main(int argc, char** argv) {
  using namespace PelorinInstaller;
  using PelorinTesting::ScriptedRun;
  const std::string_view state = argc == 2 ? argv[1] : "";
  if (state != "ready" && state != "preparing" && state != "working" && state != "done" &&
      state != "failed" && state != "alert") {
    std::fputs("usage: app_screens ready|preparing|working|done|failed|alert\n", stderr);
    return 2;
  }
  int toolkitArgc = 1;
  QApplication application(toolkitArgc, argv);
  ScriptedRun script;
  AppDelegate delegate(script.function());
  delegate.applicationDidFinishLaunching();

  if (state != "ready") delegate.performAction();
  if (state == "working" || state == "alert") {
    script.next(ScriptedRun::Report{Phase::downloading, 0.42});
  } else if (state == "done") {
    script.next(ScriptedRun::Return{"/Applications/Pelorin Code.app"});
  } else if (state == "failed") {
    script.next(ScriptedRun::Throw{std::make_exception_ptr(networkError(7))});
  }
  if (state == "alert") {
    QTimer::singleShot(300, &delegate, [&delegate] { delegate.applicationShouldTerminate(); });
  }
  return application.exec();
}
