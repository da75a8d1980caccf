#include "PelorinBase/ScopedFolder.hpp"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "PelorinBase/Errors.hpp"

namespace PelorinBase {

namespace fs = std::filesystem;

namespace {

// The folders an interruption removes. Recursive: a folder is made and taken in charge under
// one hold. The interrupting thread keeps the lock until the process ends, so that no other
// thread makes a folder after it looked, or goes on past the removal of one to report an error.
struct Registry {
  std::recursive_mutex lock;
  std::set<fs::path> folders;
};

Registry& registry() {
  static auto* folders = new Registry;  // never destroyed: a folder may outlive static objects
  return *folders;
}

std::string_view signalName(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    default:
      return "SIGHUP";
  }
}

[[noreturn]] void removeAndEnd(int signal, const std::string& program) {
  auto& registered = registry();
  registered.lock.lock();  // kept to the end
  std::string line = program + ": interrupted by " + std::string(signalName(signal));
  const char* separator = "; removed ";
  for (const auto& folder : registered.folders) {
    // Another thread may still be writing in it: a second pass takes what it added.
    std::error_code ignored;
    for (int pass = 0; pass < 3 && fs::exists(fs::symlink_status(folder, ignored)); ++pass) {
      fs::remove_all(folder, ignored);
    }
    line += separator + folder.string();
    separator = ", ";
  }
  line += "\n";
  [[maybe_unused]] auto written = ::write(STDERR_FILENO, line.data(), line.size());
  ::signal(signal, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(signal);
  ::_exit(128 + signal);
}

}  // namespace

ScopedFolder ScopedFolder::makeUnique(const fs::path& parent, std::string_view prefix,
                                      Removal removal) {
  std::string pattern = (parent / (std::string(prefix) + "XXXXXX")).string();
  std::lock_guard hold(registry().lock);
  if (!::mkdtemp(pattern.data())) throwFileError("cannot make a folder in", parent);
  return ScopedFolder(std::move(pattern), removal);
}

ScopedFolder::ScopedFolder(fs::path path, Removal removal)
    : path_(std::move(path)), removal_(removal) {
  if (removal_ != Removal::everything) return;
  std::lock_guard hold(registry().lock);
  registry().folders.insert(path_);
}

ScopedFolder::ScopedFolder(ScopedFolder&& other) noexcept
    : path_(std::exchange(other.path_, {})), removal_(other.removal_) {}

ScopedFolder::~ScopedFolder() {
  if (path_.empty()) return;
  if (removal_ == Removal::ifEmpty) {
    ::rmdir(path_.c_str());
    return;
  }
  std::lock_guard hold(registry().lock);
  std::error_code ignored;
  fs::remove_all(path_, ignored);
  registry().folders.erase(path_);
}

fs::path ScopedFolder::release() {
  if (removal_ == Removal::everything && !path_.empty()) {
    std::lock_guard hold(registry().lock);
    registry().folders.erase(path_);
  }
  return std::exchange(path_, {});
}

void removeFoldersOnInterrupt(std::string_view program) {
  sigset_t caught;
  sigemptyset(&caught);
  bool any = false;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction current {};
    if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    sigaddset(&caught, signal);
    any = true;
  }
  if (!any) return;
  ::pthread_sigmask(SIG_BLOCK, &caught, nullptr);
  std::thread([caught, name = std::string(program)] {
    int signal = 0;
    while (::sigwait(&caught, &signal) != 0) {
    }
    removeAndEnd(signal, name);
  }).detach();
}

}  // namespace PelorinBase
