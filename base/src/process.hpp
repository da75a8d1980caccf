#pragma once

#include <spawn.h>
#include <sys/resource.h>

// What differs between the platforms in launching a child.
namespace PelorinBase::Platform {

// Both ends close-on-exec; 0 or an errno value.
int makePipe(int ends[2]);

// The child keeps descriptors below `lowestClosed` that the actions name, and no other. Returns 0
// or an errno value.
int closeFrom(posix_spawn_file_actions_t& actions, short& flags, int lowestClosed);

// Lets the child keep this process's descriptor `fd` as it is. Returns 0 or an errno value.
int inherit(posix_spawn_file_actions_t& actions, int fd);

long peakResidentKiB(const struct rusage& usage);

}  // namespace PelorinBase::Platform
