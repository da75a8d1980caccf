#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "PelorinBase/FileDescriptor.hpp"
#include "process.hpp"

namespace PelorinBase::Platform {
namespace {

// ThreadSanitizer cannot follow a child that shares this process's memory: under it the child
// gets a copy of its own instead.
#if defined(__SANITIZE_THREAD__)
constexpr bool kSharedMemoryChild = false;
#elif defined(__has_feature)
constexpr bool kSharedMemoryChild = !__has_feature(thread_sanitizer);
#else
constexpr bool kSharedMemoryChild = true;
#endif

// What the child needs, all made before it starts: it shares this process's memory until its
// exec, so it may only make async-signal-safe calls, and allocate nothing.
struct Child {
  const Launch& launch;
  std::vector<const char*> paths;  // where to look for the program, in order
  pid_t parent;
  int report;  // takes the errno value of a failure; closed by a successful exec
};

// Where execvp would look: the program itself when it names a folder or no search is asked for,
// else each folder of PATH, an empty one being the current folder.
std::vector<std::string> candidates(const Launch& launch) {
  std::string_view program = launch.program;
  if (!launch.searchPath || program.find('/') != program.npos) return {std::string(program)};
  if (program.empty()) return {};
  const char* variable = std::getenv("PATH");
  std::string_view folders = variable ? variable : "/bin:/usr/bin";
  std::vector<std::string> paths;
  for (;;) {
    auto end = folders.find(':');
    auto folder = folders.substr(0, end);
    paths.push_back(folder.empty() ? std::string(program)
                                   : std::string(folder) + "/" + std::string(program));
    if (end == folders.npos) return paths;
    folders.remove_prefix(end + 1);
  }
}

[[noreturn]] void fail(const Child& child, int error) {
  // Every signal is blocked: no EINTR. Any other failure leaves only the exit to report it.
  [[maybe_unused]] ssize_t sent = ::write(child.report, &error, sizeof error);
  ::_exit(127);
}

[[noreturn]] int start(void* argument) {
  const auto& child = *static_cast<const Child*>(argument);
  // The signal comes when the thread that launched the child ends. That thread waits in
  // runProcess until the child's end, so it ends early only when this whole process dies.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) fail(child, errno);
  // The launcher died before the signal was asked for: none will ever come.
  if (::getppid() != child.parent) ::_exit(127);

  // Every place is numbered above the last target, so each dup2 makes a new descriptor, one
  // without close-on-exec.
  const auto& places = child.launch.places;
  for (std::size_t fd = 0; fd < places.size(); ++fd) {
    if (places[fd] < 0) {
      ::close(int(fd));
    } else if (::dup2(places[fd], int(fd)) < 0) {
      fail(child, errno);
    }
  }
  // Marked rather than closed, so that the report pipe lasts until the exec.
  if (::close_range(unsigned(places.size()), ~0U, CLOSE_RANGE_CLOEXEC) != 0) fail(child, errno);

  // SIGKILL, SIGSTOP and the C library's own signals refuse, harmlessly.
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &standard, nullptr);
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);

  // As execvp does: a place where the program is not, or may not be run, sends the search on,
  // and a permission refused anywhere is the error when it is found nowhere.
  int error = ENOENT;
  for (const char* path : child.paths) {
    ::execve(path, child.launch.argv, child.launch.envp);
    if (errno != EACCES && errno != ENOENT && errno != ENOTDIR) {
      error = errno;
      break;
    }
    if (error != EACCES) error = errno;
  }
  fail(child, error);
}

// The child runs on `stack` while this thread waits for its exec or its end; under
// ThreadSanitizer, in a copy of this process, which this thread waits for the same way.
pid_t startChild(Child& child) {
  alignas(16) char stack[16384];
  if constexpr (kSharedMemoryChild) {
    return ::clone(start, stack + sizeof stack, CLONE_VM | CLONE_VFORK | SIGCHLD, &child);
  }
  pid_t pid = ::fork();
  if (pid == 0) start(&child);
  return pid;
}

}  // namespace

int makePipe(int ends[2]) { return ::pipe2(ends, O_CLOEXEC) == 0 ? 0 : errno; }

// Not posix_spawn: it cannot ask for the parent-death signal.
int launch(const Launch& launch, pid_t& pid) {
  std::vector<std::string> paths = candidates(launch);
  Child child{launch, {}, ::getpid(), -1};
  for (const auto& path : paths) child.paths.push_back(path.c_str());

  int ends[2];
  if (int error = makePipe(ends)) return error;
  FileDescriptor failure(ends[0]), writing(ends[1]);
  // Above every place, so that putting one in place does not overwrite it.
  FileDescriptor report(::fcntl(writing.get(), F_DUPFD_CLOEXEC, int(launch.places.size())));
  if (!report.isOpen()) return errno;
  writing.close();
  child.report = report.get();

  // Until the child has set every signal to its default, a handler of this process must not run
  // in it: it would run on this process's memory.
  sigset_t all, previous;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  pid = startChild(child);
  int error = pid < 0 ? errno : 0;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (pid < 0) return error;

  report.close();
  int failed = 0;
  ssize_t got;
  while ((got = ::read(failure.get(), &failed, sizeof failed)) < 0 && errno == EINTR) {
  }
  if (got != ssize_t(sizeof failed)) return 0;
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  return failed;
}

long peakResidentKiB(const struct rusage& usage) { return usage.ru_maxrss; }

}  // namespace PelorinBase::Platform
