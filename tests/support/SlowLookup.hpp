#pragma once

#include <chrono>
#include <string>

// A slow name server for the tests and benchmarks: the library PelorinSlowLookup replaces
// getaddrinfo (it is linked ahead of the C library, or preloaded) so that a test host name of the
// form "MILLISECONDS.slow-lookup.test" resolves to 127.0.0.1 after that long. Every other name
// goes to the C library unchanged.
namespace PelorinTesting {

inline std::string slowLookupName(std::chrono::milliseconds delay) {
  return std::to_string(delay.count()) + ".slow-lookup.test";
}

// Lookups of such names that have begun, and that have answered, in this process so far.
int slowLookupsStarted();
int slowLookupsAnswered();

}  // namespace PelorinTesting
