// Loaded into pelorin-release (LD_PRELOAD) by the interruption test: where the tool would reap
// its first child (publish: mksquashfs has packed the first image), it writes its process ID to
// the file HOLD_FILE names and waits there for good, so that it is interrupted while its work
// folders hold what it made.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

extern "C" pid_t wait4(pid_t, int*, int, struct rusage*) noexcept {
  std::ofstream(std::getenv("HOLD_FILE")) << ::getpid() << std::endl;
  for (;;) ::pause();
}
