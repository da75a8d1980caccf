#include <QApplication>
#include <QTimer>
#include <QtGlobal>
#include <algorithm>
#include <iostream>
#include <string_view>

#include "app/AppDelegate.hpp"
#include "app/RunInstaller.hpp"
#include "app/SelfCheck.hpp"

namespace {

// The program keeps quiet: only the toolkit's last words before it gives up are printed.
void quiet(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type == QtFatalMsg) std::cerr << message.toStdString() << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace PelorinInstaller;
  qInstallMessageHandler(quiet);
  if (std::any_of(argv, argv + argc,
                  [](const char* arg) { return arg == std::string_view("--self-check"); })) {
    if (const auto report = selfCheckReport()) std::cout << *report << '\n' << std::flush;
    return 0;
  }

  // Arguments other than the self-check mean nothing to the program, the toolkit's included.
  int toolkitArgc = 1;
  QApplication application(toolkitArgc, argv);
  AppDelegate delegate(runInstaller);
  QTimer::singleShot(0, &delegate, [&delegate] { delegate.applicationDidFinishLaunching(); });
  application.exec();
  return 0;
}
