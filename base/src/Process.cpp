#include "PelorinBase/Process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <thread>

#include "PelorinBase/Errors.hpp"
#include "PelorinBase/FileDescriptor.hpp"
#include "process.hpp"

extern char** environ;

namespace PelorinBase {
namespace {

using Clock = std::chrono::steady_clock;

void check(int error, const char* what) {
  if (error) throw systemError(error, what);
}

struct Pipe {
  FileDescriptor read{-1}, write{-1};
};

Pipe makePipe() {
  int ends[2];
  check(Platform::makePipe(ends), "pipe");
  return {FileDescriptor(ends[0]), FileDescriptor(ends[1])};
}

// The spawn attributes and file actions of one launch, released on every way out.
class SpawnSetup {
 public:
  SpawnSetup() {
    check(posix_spawn_file_actions_init(&actions_), "posix_spawn");
    if (int error = posix_spawnattr_init(&attributes_)) {
      posix_spawn_file_actions_destroy(&actions_);
      check(error, "posix_spawn");
    }
  }
  ~SpawnSetup() {
    posix_spawnattr_destroy(&attributes_);
    posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  void stream(int fd, const Stream& stream, const Pipe* pipe) {
    bool reading = fd == STDIN_FILENO;
    int error = 0;
    switch (stream.kind) {
      case Stream::Kind::inherit:
        error = Platform::inherit(actions_, fd);
        break;
      case Stream::Kind::null:
        error = posix_spawn_file_actions_addopen(&actions_, fd, "/dev/null",
                                                 reading ? O_RDONLY : O_WRONLY, 0);
        break;
      case Stream::Kind::capture:
        error = posix_spawn_file_actions_adddup2(&actions_, pipe->write.get(), fd);
        break;
      case Stream::Kind::file:
        error = posix_spawn_file_actions_addopen(&actions_, fd, stream.file.c_str(),
                                                 reading ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC,
                                                 0644);
        break;
    }
    check(error, "posix_spawn");
  }

  // Each descriptor onto its place from 3 up, every later one closed, signals as by default.
  void finish(const std::vector<FileDescriptor>& inherited) {
    int error = 0;
    for (std::size_t i = 0; i < inherited.size() && !error; ++i) {
      error = posix_spawn_file_actions_adddup2(&actions_, inherited[i].get(), int(3 + i));
    }
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (!error) error = Platform::closeFrom(actions_, flags, int(3 + inherited.size()));
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    if (!error) error = posix_spawnattr_setsigmask(&attributes_, &none);
    if (!error) error = posix_spawnattr_setsigdefault(&attributes_, &all);
    if (!error) error = posix_spawnattr_setflags(&attributes_, flags);
    check(error, "posix_spawn");
  }

  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attributes() const { return &attributes_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

// Makes its pipe readable once the child has ended, without reaping it: until the caller reaps
// it, its process identifier cannot be reused, so signalling it never reaches another process.
class ExitWatch {
 public:
  explicit ExitWatch(pid_t pid) : ends_(makePipe()), thread_([this, pid] { watch(pid); }) {}
  ~ExitWatch() { thread_.join(); }
  ExitWatch(const ExitWatch&) = delete;
  ExitWatch& operator=(const ExitWatch&) = delete;
  int fd() const { return ends_.read.get(); }

 private:
  void watch(pid_t pid) {
    siginfo_t info;
    while (waitid(P_PID, pid, &info, WEXITED | WNOWAIT) == -1 && errno == EINTR) {
    }
    char byte = 0;
    while (::write(ends_.write.get(), &byte, 1) < 0 && errno == EINTR) {
    }
  }

  Pipe ends_;
  std::thread thread_;  // last: starts once the pipe exists
};

// Kills the child when unwinding, before the watch waits for its end.
struct KillOnUnwind {
  pid_t pid;
  bool armed = true;
  ~KillOnUnwind() {
    if (armed) ::kill(pid, SIGKILL);
  }
};

enum class Read { some, none, end };

// Appends what is there to read: some, none yet (a non-blocking pipe), or the end of the stream
// (an error counts as the end).
Read pump(int fd, std::string& into) {
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0) {
      into.append(buffer, static_cast<std::size_t>(got));
      return Read::some;
    }
    if (got < 0 && errno == EINTR) continue;
    return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? Read::none : Read::end;
  }
}

// What is left in a pipe once the child has ended; a descendant holding it open cannot stall it.
void drain(int fd, std::string& into) {
  if (fd < 0) return;
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return;
  while (pump(fd, into) == Read::some) {
  }
}

// Collects the captured streams until the child ends; past the time limit it is asked to stop,
// then killed.
void await(pid_t pid, const LaunchOptions& options, const Pipe& out, const Pipe& err,
           ProcessResult& result) {
  ExitWatch watch(pid);
  KillOnUnwind guard{pid};
  auto deadline = options.timeLimit ? Clock::now() + *options.timeLimit : Clock::time_point::max();
  enum class Stage { running, terminated, killed } stage = Stage::running;
  pollfd fds[3] = {
      {watch.fd(), POLLIN, 0}, {out.read.get(), POLLIN, 0}, {err.read.get(), POLLIN, 0}};
  std::string* into[3] = {nullptr, &result.output, &result.error};
  for (;;) {
    int timeout = -1;
    if (deadline != Clock::time_point::max()) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      timeout = static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
    }
    int ready = ::poll(fds, 3, timeout);
    if (ready < 0 && errno != EINTR) throwSystemError("poll");
    if (ready > 0) {
      for (int i = 1; i < 3; ++i) {
        if (fds[i].fd >= 0 && fds[i].revents && pump(fds[i].fd, *into[i]) == Read::end) {
          fds[i].fd = -1;
        }
      }
      if (fds[0].revents) break;
    }
    if (Clock::now() < deadline) continue;
    if (stage == Stage::running) {
      result.timedOut = true;
      ::kill(pid, SIGTERM);
      stage = Stage::terminated;
      deadline = Clock::now() + options.grace;
    } else if (stage == Stage::terminated) {
      ::kill(pid, SIGKILL);
      stage = Stage::killed;
      deadline = Clock::time_point::max();
    }
  }
  drain(fds[1].fd, result.output);
  drain(fds[2].fd, result.error);
  guard.armed = false;
}

void reap(pid_t pid, ProcessResult* result) {
  int status = 0;
  struct rusage usage {};
  while (::wait4(pid, &status, 0, &usage) == -1) {
    if (errno != EINTR) throwSystemError("waitpid");
  }
  if (!result) return;
  if (WIFEXITED(status)) result->exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result->signal = WTERMSIG(status);
  result->peakResidentKiB = Platform::peakResidentKiB(usage);
}

}  // namespace

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const LaunchOptions& options) {
  auto capturing = [](const Stream& stream) { return stream.kind == Stream::Kind::capture; };
  Pipe out = capturing(options.output) ? makePipe() : Pipe{};
  Pipe err = capturing(options.error) ? makePipe() : Pipe{};
  // Copies above every place they go to, so that no dup2 overwrites one still to be placed.
  std::vector<FileDescriptor> inherited;
  for (int fd : options.inherited) {
    inherited.emplace_back(::fcntl(fd, F_DUPFD_CLOEXEC, int(3 + options.inherited.size())));
    if (!inherited.back().isOpen()) throwSystemError("fcntl");
  }
  SpawnSetup setup;
  setup.stream(STDIN_FILENO, capturing(options.input) ? Stream{} : options.input, nullptr);
  setup.stream(STDOUT_FILENO, options.output, &out);
  setup.stream(STDERR_FILENO, options.error, &err);
  setup.finish(inherited);

  std::vector<std::string> words{options.argv0.value_or(program)};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::vector<std::string> entries;
  std::vector<char*> envp;
  if (options.environment) {
    for (const auto& [name, value] : *options.environment) entries.push_back(name + "=" + value);
    for (auto& entry : entries) envp.push_back(entry.data());
    envp.push_back(nullptr);
  }
  char** environment = options.environment ? envp.data() : environ;

  pid_t pid = 0;
  auto spawn = options.searchPath ? posix_spawnp : posix_spawn;
  if (int error = spawn(&pid, program.c_str(), setup.actions(), setup.attributes(), argv.data(),
                        environment)) {
    throw systemError(error, "cannot start " + program);
  }
  out.write.close();
  err.write.close();
  ProcessResult result;
  try {
    await(pid, options, out, err, result);
  } catch (...) {
    ::kill(pid, SIGKILL);
    try {
      reap(pid, nullptr);
    } catch (...) {
    }
    throw;
  }
  reap(pid, &result);
  return result;
}

}  // namespace PelorinBase
