// Loaded into pelorin-release (LD_PRELOAD) by the interruption test: the child that would run
// mksquashfs writes the tool's process ID to the file HOLD_FILE names and waits there for good,
// so that the tool is interrupted while its work folders hold the copies it packs.
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

char holdFile[4096];

__attribute__((constructor)) void readHoldFile() {
  if (const char* file = std::getenv("HOLD_FILE"))
    std::strncpy(holdFile, file, sizeof holdFile - 1);
}

}  // namespace

// The child shares the tool's memory until it runs the program: only async-signal-safe calls.
extern "C" int execve(const char* path, char* const argv[], char* const envp[]) {
  if (holdFile[0] != '\0' && std::strstr(path, "mksquashfs")) {
    char digits[24];
    char* start = digits + sizeof digits;
    *--start = '\n';
    for (pid_t tool = ::getppid(); tool > 0; tool /= 10) *--start = char('0' + tool % 10);
    int file = ::open(holdFile, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    [[maybe_unused]] auto written =
        ::write(file, start, std::size_t(digits + sizeof digits - start));
    ::close(file);
    for (;;) ::pause();
  }
  return int(::syscall(SYS_execve, path, argv, envp));
}
