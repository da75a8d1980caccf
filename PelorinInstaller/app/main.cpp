#include <QApplication>
#include <QTimer>
#include <QtGlobal>
#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <string_view>

#include "app/AppDelegate.hpp"
#include "app/RunInstaller.hpp"
#include "app/SelfCheck.hpp"

namespace {

// Set while the toolkit connects to the window system.
bool startingToolkit = false;
// The window system's own complaint, kept for the one line that says why no window can open.
std::string windowSystemComplaint;

// The program keeps quiet: only the toolkit's last words before it gives up are printed. When
// it cannot start, that is for want of a display, said in one line.
void quiet(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  const std::string_view category = context.category ? context.category : "";
  if (startingToolkit && type == QtWarningMsg && category.starts_with("qt.qpa") &&
      category != "qt.qpa.plugin" && windowSystemComplaint.empty()) {
    windowSystemComplaint = message.toStdString();
  }
  if (type != QtFatalMsg) return;
  if (startingToolkit) {
    std::cerr << "PelorinInstaller: no display is available"
              << (windowSystemComplaint.empty() ? "" : " (" + windowSystemComplaint + ")")
              << std::endl;
    std::_Exit(1);
  }
  std::cerr << message.toStdString() << std::endl;
}

bool given(int argc, char** argv, std::string_view argument) {
  return std::any_of(argv, argv + argc, [&](const char* arg) { return arg == argument; });
}

}  // namespace

int main(int argc, char** argv) {
  using namespace PelorinInstaller;
  qInstallMessageHandler(quiet);
  if (given(argc, argv, "--self-check")) {
    if (const auto report = selfCheckReport()) std::cout << *report << '\n' << std::flush;
    const auto unusable = unusableToolFiles();
    for (const auto& file : unusable) {
      std::cerr << "PelorinInstaller: " << file << ": this installer cannot verify any release\n";
    }
    return unusable.empty() ? 0 : 1;
  }
  if (given(argc, argv, "--version")) {
    std::cout << "PelorinInstaller " << PELORIN_VERSION << '\n';
    return 0;
  }

  // Arguments other than these mean nothing to the program, the toolkit's included.
  int toolkitArgc = 1;
  startingToolkit = true;
  QApplication application(toolkitArgc, argv);
  startingToolkit = false;
  AppDelegate delegate(runInstaller);
  QTimer::singleShot(0, &delegate, [&delegate] { delegate.applicationDidFinishLaunching(); });
  application.exec();
  return 0;
}
