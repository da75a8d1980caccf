#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace PelorinTesting {

struct ChildResult {
  std::optional<int> exitStatus;  // none when a signal ended it
  std::optional<int> signal;
  std::string out;
  std::string err;
};

// Runs a program to its end with exactly the given environment and returns what it printed.
// `argv0` defaults to the program's path. A child still running after a minute is killed.
ChildResult runChild(const std::filesystem::path& program, const std::vector<std::string>& args,
                     const std::map<std::string, std::string>& environment,
                     std::optional<std::string> argv0 = std::nullopt);

}  // namespace PelorinTesting
