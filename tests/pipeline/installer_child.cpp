// One installer run in a process of its own, for the lock and crash tests.
//
// Arguments, each "--key=value": support, system-apps, user-apps, ca, connect-to, hdiutil, ditto,
// codesign, spctl, and optionally stop-at: "installing" (image mounted and verified),
// "before-commit" or "after-commit" (around the atomic rename). At a stop the process prints
// "stopped NAME", then waits for a line (or end of input) on standard input before going on.
// Ends by printing "installed PATH" with status 0, or "failed WHAT" with status 1.
#include <dlfcn.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <iostream>
#include <map>
#include <string>

#include "pipeline/Installer.hpp"

namespace {

std::string stopAt;

void stopIf(const std::string& stage) {
  if (stage != stopAt) return;
  std::cout << "stopped " << stage << std::endl;
  std::string line;
  std::getline(std::cin, line);
}

}  // namespace

// The commit's rename, wrapped so that a test can stop the process just before or after it.
extern "C" int renameat2(int fromFolder, const char* from, int toFolder, const char* to,
                         unsigned int flags) noexcept {
  using Rename = int (*)(int, const char*, int, const char*, unsigned int);
  static auto real = reinterpret_cast<Rename>(dlsym(RTLD_NEXT, "renameat2"));
  stopIf("before-commit");
  int result = real(fromFolder, from, toFolder, to, flags);
  int error = errno;
  stopIf("after-commit");
  errno = error;
  return result;
}

int main(int argc, char** argv) {
  using namespace PelorinInstaller;
  std::map<std::string, std::string> options;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    auto equals = argument.find('=');
    if (argument.rfind("--", 0) != 0 || equals == std::string::npos) {
      std::cerr << "bad argument: " << argument << "\n";
      return 2;
    }
    options[argument.substr(2, equals - 2)] = argument.substr(equals + 1);
  }
  stopAt = options["stop-at"];

  Host host;
  host.supportFolder = options["support"];
  host.systemApplications = options["system-apps"];
  host.userApplications = options["user-apps"];
  host.system = {14, 0, 0};
  host.availableCapacity = [](const std::filesystem::path&) { return std::nullopt; };
  host.isRunning = [](std::string_view) { return false; };
  host.tools = {options["hdiutil"], options["ditto"], options["codesign"], options["spctl"]};
  host.transfer.caFile = options["ca"];
  host.transfer.connectTo = {options["connect-to"]};

  Installer installer(
      std::make_shared<Cancellation>(),
      [](Phase phase, std::optional<double>) {
        if (phase == Phase::installing) stopIf("installing");
      },
      host);
  try {
    auto installed = installer.run(true);
    std::cout << "installed " << installed.string() << std::endl;
    return 0;
  } catch (const std::exception& error) {
    std::cout << "failed " << error.what() << std::endl;
    return 1;
  }
}
