// One installer run in a process of its own. Its environment: ROOT (the test host's folders
// below it), TOOLS (the stand-ins' folder), CA, CONNECT_TO, STOPS (a file), STOP_AT
// (downloading, installing, record-rewritten, copying, last-existing-check, before-commit,
// after-commit) and FAIL (once the commit is done, the disk fails the open of the copy that came
// out of it, "swapped-out-copy", or the first launch of a tool fails, "detach-launch"). At the
// stop the process appends "PID NAME" to the stops file and stops itself; the test kills it or
// lets it go on. At "copying" the copy tool appends the line once it has copied, and then goes on
// writing into the staging folder. Ends by printing the outcome word.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <InstallerCore/Distribution.hpp>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>

#include "TestSupport.hpp"
#include "pipeline/Installer.hpp"

namespace {

std::string stopAt, stopsFile, installedInfo, failAt;
bool committed = false;

// Whether the failure asked for is due now; it comes once.
bool failNow(const std::string& failure) {
  if (!committed || failAt != failure) return false;
  failAt.clear();
  return true;
}

void stopIf(const std::string& stage) {
  if (stage != stopAt) return;
  stopAt.clear();
  int error = errno;
  std::ofstream(stopsFile, std::ios::app) << ::getpid() << " " << stage << std::endl;
  ::raise(SIGSTOP);
  errno = error;
}

}  // namespace

// The commit's rename, wrapped so that a test can stop the process just before or after it.
extern "C" int renameat2(int fromFolder, const char* from, int toFolder, const char* to,
                         unsigned int flags) noexcept {
  using Rename = int (*)(int, const char*, int, const char*, unsigned int);
  static auto real = reinterpret_cast<Rename>(dlsym(RTLD_NEXT, "renameat2"));
  stopIf("before-commit");
  int result = real(fromFolder, from, toFolder, to, flags);
  committed = result == 0;
  stopIf("after-commit");
  return result;
}

// Every open, wrapped so that a test can act just before the installed Info.plist is read.
extern "C" int open(const char* path, int flags, ...) {
  using Open = int (*)(const char*, int, ...);
  static auto real = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "open"));
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list arguments;
    va_start(arguments, flags);
    mode = static_cast<mode_t>(va_arg(arguments, int));
    va_end(arguments);
  }
  static int installedReads = 0, recordWrites = 0;
  if (path == installedInfo && ++installedReads == 2) stopIf("last-existing-check");
  std::string_view opened(path);
  if (opened.find("/.pelorin-install-") != opened.npos &&
      opened.ends_with(InstallerCore::Distribution::appName) && failNow("swapped-out-copy")) {
    errno = EIO;
    return -1;
  }
  int fd = real(path, flags, mode);
  // The second write of the staging record names the folder just made.
  if ((flags & O_CREAT) && std::string_view(path).find("/staging-folder") != std::string::npos &&
      ++recordWrites == 2) {
    stopIf("record-rewritten");
  }
  return fd;
}

// The pipe that every launch of a tool begins with.
extern "C" int pipe2(int fds[2], int flags) noexcept {
  using Pipe = int (*)(int[2], int);
  static auto real = reinterpret_cast<Pipe>(dlsym(RTLD_NEXT, "pipe2"));
  if (failNow("detach-launch")) {
    errno = EMFILE;
    return -1;
  }
  return real(fds, flags);
}

// A copy tool that copies, tells the test, then goes on writing into the staging folder for a
// few seconds, as a large copy would.
std::string slowDitto(const std::filesystem::path& folder, const std::string& ditto) {
  auto script = folder / "slow-ditto";
  PelorinTesting::writeScript(
      script, "'" + ditto + "' \"$@\" || exit\necho \"$PPID copying\" >> '" + stopsFile +
                  "'\nn=0\nwhile [ $n -lt 100000 ]; do\n"
                  "  : > \"${2%/*}/late-$((n % 64))\"; n=$((n + 1))\ndone\n");
  return script.string();
}

int main() {
  using namespace PelorinInstaller;
  auto option = [](const char* name) { return std::string(std::getenv(name)); };
  stopAt = option("STOP_AT");
  stopsFile = option("STOPS");
  failAt = option("FAIL");
  std::filesystem::path tools = option("TOOLS");
  auto host = PelorinTesting::testHost(
      option("ROOT"), {tools / "hdiutil", tools / "ditto", tools / "codesign", tools / "spctl"},
      std::nullopt);
  host.transfer.caFile = option("CA");
  host.transfer.connectTo = {option("CONNECT_TO")};
  if (stopAt == "copying") host.tools.ditto = slowDitto(option("ROOT"), host.tools.ditto);
  installedInfo =
      (host.systemApplications / InstallerCore::Distribution::appName / "Contents" / "Info.plist")
          .string();

  Installer installer(
      std::make_shared<Cancellation>(),
      [](Phase phase, std::optional<double> fraction) {
        if (phase == Phase::downloading && fraction > 0.0) stopIf("downloading");
        if (phase != Phase::installing) return;
        // A program started meanwhile, as the application may start one, outlives a kill: it
        // must not have been handed the lock.
        if (std::system("/bin/sleep 10 </dev/null >/dev/null 2>&1 &") != 0)
          std::cerr << "no sleep\n";
        stopIf("installing");
      },
      host);
  std::cout << PelorinTesting::outcomeOf([&] { installer.run(true); }) << std::endl;
}
