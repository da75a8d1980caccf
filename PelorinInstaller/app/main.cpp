#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <iostream>
#include <string_view>

#include "app/AppDelegate.hpp"
#include "app/RunInstaller.hpp"
#include "app/SelfCheck.hpp"

int main(int argc, char** argv) {
  using namespace PelorinInstaller;
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
