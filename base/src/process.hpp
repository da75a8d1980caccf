#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <span>

// What differs between the platforms in launching a child.
namespace PelorinBase::Platform {

// Both ends close-on-exec; 0 or an errno value.
int makePipe(int ends[2]);

// A child to start. Its descriptor i is this process's places[i] (closed where that is -1) and it
// has no other. Each place is close-on-exec here and numbered at or above places.size(), so that
// putting one in place never overwrites another.
struct Launch {
  const char* program;
  bool searchPath;  // a bare name is looked up in this process's PATH
  char* const* argv;
  char* const* envp;
  std::span<const int> places;
};

// Starts the child with an empty signal mask and every signal at its default action. Returns 0 or
// an errno value, also when the program cannot be run.
int launch(const Launch& launch, pid_t& pid);

long peakResidentKiB(const struct rusage& usage);

}  // namespace PelorinBase::Platform
