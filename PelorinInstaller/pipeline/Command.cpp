#include "pipeline/Command.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>

#include "pipeline/spawn.hpp"

extern char** environ;

namespace PelorinInstaller::Command {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int32_t kTimedOutStatus = 60;

[[noreturn]] void fail(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

// The spawn attributes and file actions of one launch, released on every way out.
class SpawnSetup {
 public:
  SpawnSetup() {
    if (int error = posix_spawn_file_actions_init(&actions_)) fail(error, "posix_spawn");
    if (int error = posix_spawnattr_init(&attributes_)) {
      posix_spawn_file_actions_destroy(&actions_);
      fail(error, "posix_spawn");
    }
  }
  ~SpawnSetup() {
    posix_spawnattr_destroy(&attributes_);
    posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // Standard streams on three separate null-device handles, nothing else inherited, default
  // signal handling and an empty signal mask whatever the installer's threads have set.
  void prepare() {
    int error = posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0);
    if (!error) error = posix_spawn_file_actions_addopen(&actions_, 1, "/dev/null", O_WRONLY, 0);
    if (!error) error = posix_spawn_file_actions_addopen(&actions_, 2, "/dev/null", O_WRONLY, 0);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (!error) error = inheritOnlyStandardStreams(actions_, flags);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    if (!error) error = posix_spawnattr_setsigmask(&attributes_, &none);
    if (!error) error = posix_spawnattr_setsigdefault(&attributes_, &all);
    if (!error) error = posix_spawnattr_setflags(&attributes_, flags);
    if (error) fail(error, "posix_spawn");
  }

  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attributes() const { return &attributes_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

// Waits for a child to end without reaping it: until the caller reaps it, its process
// identifier cannot be reused, so signalling it never reaches another process.
class ExitWatch {
 public:
  explicit ExitWatch(pid_t pid) : thread_([this, pid] { watch(pid); }) {}
  ~ExitWatch() { thread_.join(); }
  ExitWatch(const ExitWatch&) = delete;
  ExitWatch& operator=(const ExitWatch&) = delete;

  bool waitUntil(Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    return ended_.wait_until(lock, deadline, [this] { return hasEnded_; });
  }

  void waitForever() {
    std::unique_lock lock(mutex_);
    ended_.wait(lock, [this] { return hasEnded_; });
  }

 private:
  void watch(pid_t pid) {
    siginfo_t info;
    while (waitid(P_PID, pid, &info, WEXITED | WNOWAIT) == -1 && errno == EINTR) {
    }
    std::lock_guard lock(mutex_);
    hasEnded_ = true;
    ended_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable ended_;
  bool hasEnded_ = false;
  std::thread thread_;  // last: starts once the members it uses exist
};

// The termination status as a shell reports it: the exit status, or 128 + the signal number.
std::int32_t reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) == -1) {
    if (errno != EINTR) fail(errno, "waitpid");
  }
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

// Whether the tool ended within its limits; a tool out of time is asked to stop, then killed.
bool endsInTime(pid_t pid, Limits limits) {
  ExitWatch watch(pid);
  if (watch.waitUntil(Clock::now() + limits.run)) return true;
  kill(pid, SIGTERM);
  if (!watch.waitUntil(Clock::now() + limits.grace)) kill(pid, SIGKILL);
  watch.waitForever();
  return false;
}

}  // namespace

void run(const std::string& path, const std::vector<std::string>& arguments, Limits limits) {
  SpawnSetup setup;
  setup.prepare();
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  pid_t pid = 0;
  if (int error = posix_spawn(&pid, path.c_str(), setup.actions(), setup.attributes(), argv.data(),
                              environ)) {
    fail(error, "cannot start " + path);
  }

  bool inTime = false;
  try {
    inTime = endsInTime(pid, limits);
  } catch (...) {
    // No watcher thread could be started: the tool must not outlive the call.
    kill(pid, SIGKILL);
    reap(pid);
    throw;
  }
  std::int32_t status = reap(pid);
  std::string tool = std::filesystem::path(path).filename().string();
  if (!inTime) throw CommandError(std::move(tool), kTimedOutStatus);
  if (status != 0) throw CommandError(std::move(tool), status);
}

}  // namespace PelorinInstaller::Command
