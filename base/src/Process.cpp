#include "PelorinBase/Process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
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

// The child's descriptors 0, 1, 2, 3, ... as copies of this process's, close-on-exec and numbered
// above them all, so that putting one in place never overwrites one still to be placed. A copy
// that failed (-1) leaves the child's descriptor closed.
class Places {
 public:
  explicit Places(std::size_t count) : count_(count) {}
  // False, errno set, when `fd` cannot be copied.
  bool add(int fd) {
    copies_.emplace_back(::fcntl(fd, F_DUPFD_CLOEXEC, int(count_)));
    return copies_.back().isOpen();
  }
  std::vector<int> fds() const {
    std::vector<int> fds;
    for (const auto& copy : copies_) fds.push_back(copy.get());
    return fds;
  }
  void close() { copies_.clear(); }

 private:
  std::size_t count_;
  std::vector<FileDescriptor> copies_;
};

// Adds the child's standard stream `fd`; false, errno set, when its file cannot be opened.
bool addStream(Places& places, int fd, const Stream& stream, const Pipe& pipe) {
  switch (stream.kind) {
    case Stream::Kind::inherit:
      // One that this process lacks stays closed in the child.
      return places.add(fd) || errno == EBADF;
    case Stream::Kind::capture:
      return places.add(pipe.write.get());
    case Stream::Kind::null:
    case Stream::Kind::file: {
      const char* path = stream.kind == Stream::Kind::file ? stream.file.c_str() : "/dev/null";
      int flags = fd == STDIN_FILENO ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC;
      FileDescriptor opened(::open(path, flags | O_CLOEXEC, 0644));
      return opened.isOpen() && places.add(opened.get());
    }
  }
  return false;
}

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
// then killed; once the stop descriptor is readable, killed at once.
void await(pid_t pid, const LaunchOptions& options, const Pipe& out, const Pipe& err,
           ProcessResult& result) {
  ExitWatch watch(pid);
  KillOnUnwind guard{pid};
  auto deadline = options.timeLimit ? Clock::now() + *options.timeLimit : Clock::time_point::max();
  enum class Stage { running, terminated, killed } stage = Stage::running;
  pollfd fds[4] = {{watch.fd(), POLLIN, 0},
                   {out.read.get(), POLLIN, 0},
                   {err.read.get(), POLLIN, 0},
                   {options.stop, POLLIN, 0}};
  std::string* into[3] = {nullptr, &result.output, &result.error};
  for (;;) {
    int timeout = -1;
    if (deadline != Clock::time_point::max()) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      timeout = static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
    }
    int ready = ::poll(fds, 4, timeout);
    if (ready < 0 && errno != EINTR) throwSystemError("poll");
    if (ready > 0) {
      for (int i = 1; i < 3; ++i) {
        if (fds[i].fd >= 0 && fds[i].revents && pump(fds[i].fd, *into[i]) == Read::end) {
          fds[i].fd = -1;
        }
      }
      if (fds[0].revents) break;
      if (fds[3].fd >= 0 && fds[3].revents) {
        result.stopped = true;
        ::kill(pid, SIGKILL);
        fds[3].fd = -1;
      }
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
  Places places(3 + options.inherited.size());
  if (!addStream(places, STDIN_FILENO, capturing(options.input) ? Stream{} : options.input, {}) ||
      !addStream(places, STDOUT_FILENO, options.output, out) ||
      !addStream(places, STDERR_FILENO, options.error, err)) {
    throwSystemError("cannot start " + program);
  }
  for (int fd : options.inherited) {
    if (!places.add(fd)) throwSystemError("fcntl");
  }

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
  std::vector<int> fds = places.fds();
  if (int error = Platform::launch(
          {program.c_str(), options.searchPath, argv.data(), environment, fds}, pid)) {
    throw systemError(error, "cannot start " + program);
  }
  places.close();
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
