#include "pipeline/spawn.hpp"

namespace PelorinInstaller {

int inheritOnlyStandardStreams(posix_spawn_file_actions_t& actions, short&) {
  return posix_spawn_file_actions_addclosefrom_np(&actions, 3);
}

}  // namespace PelorinInstaller
