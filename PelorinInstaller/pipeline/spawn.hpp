#pragma once

#include <spawn.h>

namespace PelorinInstaller {

// Arranges that a spawned tool inherits no descriptor but its three standard streams (the lock
// file above all). Returns 0 or an errno value.
int inheritOnlyStandardStreams(posix_spawn_file_actions_t& actions, short& flags);

}  // namespace PelorinInstaller
