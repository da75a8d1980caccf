#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>

#include "process.hpp"

namespace PelorinBase::Platform {
namespace {

// Each place onto its number; the system closes every descriptor that no action names.
int prepare(posix_spawn_file_actions_t& actions, posix_spawnattr_t& attributes,
            std::span<const int> places) {
  int error = 0;
  for (std::size_t fd = 0; fd < places.size() && !error; ++fd) {
    if (places[fd] >= 0) error = posix_spawn_file_actions_adddup2(&actions, places[fd], int(fd));
  }
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  sigdelset(&all, SIGKILL);
  sigdelset(&all, SIGSTOP);
  if (!error) error = posix_spawnattr_setsigmask(&attributes, &none);
  if (!error) error = posix_spawnattr_setsigdefault(&attributes, &all);
  if (!error) {
    error = posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_CLOEXEC_DEFAULT);
  }
  return error;
}

}  // namespace

int makePipe(int ends[2]) {
  if (::pipe(ends) != 0) return errno;
  if (::fcntl(ends[0], F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(ends[1], F_SETFD, FD_CLOEXEC) != 0) {
    int error = errno;
    ::close(ends[0]);
    ::close(ends[1]);
    return error;
  }
  return 0;
}

// The system has no parent-death signal: a child runs on to its end when this process is killed.
int launch(const Launch& launch, pid_t& pid) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  if (int error = posix_spawn_file_actions_init(&actions)) return error;
  int error = posix_spawnattr_init(&attributes);
  if (error) {
    posix_spawn_file_actions_destroy(&actions);
    return error;
  }
  error = prepare(actions, attributes, launch.places);
  if (!error) {
    auto spawn = launch.searchPath ? posix_spawnp : posix_spawn;
    error = spawn(&pid, launch.program, &actions, &attributes, launch.argv, launch.envp);
  }
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return error;
}

// The system reports bytes.
long peakResidentKiB(const struct rusage& usage) { return usage.ru_maxrss / 1024; }

}  // namespace PelorinBase::Platform
