#include "pipeline/spawn.hpp"

namespace PelorinInstaller {

// Only the descriptors that the file actions name survive the launch.
int inheritOnlyStandardStreams(posix_spawn_file_actions_t&, short& flags) {
  flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
  return 0;
}

}  // namespace PelorinInstaller
