// The real window over a run that stays in one state, for a screenshot (scripts/screenshots.sh):
//   app_screens ready|preparing|working|done|failed|alert
// It stays up until it is killed.
#include <QApplication>
#include <QTimer>
#include <thread>

#include "app/AppDelegate.hpp"
#include "pipeline/NetworkError.hpp"

int main(int argc, char** argv) {
  using namespace PelorinInstaller;
  const std::string state = argc == 2 ? argv[1] : "ready";
  int toolkitArgc = 1;
  QApplication application(toolkitArgc, argv);
  AppDelegate delegate([state](std::shared_ptr<Cancellation> token, ProgressReport report) {
    if (state == "done") return std::filesystem::path("/Applications/Pelorin Code.app");
    if (state == "failed") throw networkError(7);
    if (state != "preparing") report(Phase::downloading, 0.42);
    for (;; std::this_thread::sleep_for(std::chrono::milliseconds(50))) token->check();
  });
  delegate.applicationDidFinishLaunching();
  if (state != "ready") delegate.performAction();
  if (state == "alert") {
    QTimer::singleShot(300, &delegate, [&delegate] { delegate.applicationShouldTerminate(); });
  }
  return application.exec();
}
