#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "process.hpp"

namespace PelorinBase::Platform {

int makePipe(int ends[2]) { return ::pipe2(ends, O_CLOEXEC) == 0 ? 0 : errno; }

int closeFrom(posix_spawn_file_actions_t& actions, short&, int lowestClosed) {
  return posix_spawn_file_actions_addclosefrom_np(&actions, lowestClosed);
}

// Without close-on-exec it survives: nothing to add.
int inherit(posix_spawn_file_actions_t&, int) { return 0; }

long peakResidentKiB(const struct rusage& usage) { return usage.ru_maxrss; }

}  // namespace PelorinBase::Platform
