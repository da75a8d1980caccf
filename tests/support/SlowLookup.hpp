#pragma once

#include <chrono>
#include <string>

// A slow name server: the library PelorinSlowLookup, linked ahead of the C library or preloaded,
// resolves "MILLISECONDS.slow-lookup.test" to 127.0.0.1 after that long; other names go on as ever.
namespace PelorinTesting {

inline std::string slowLookupName(std::chrono::milliseconds delay) {
  return std::to_string(delay.count()) + ".slow-lookup.test";
}

// Lookups of such names begun, and answered, in this process so far.
int slowLookupsStarted();
int slowLookupsAnswered();

}  // namespace PelorinTesting
