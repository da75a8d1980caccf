#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "pipeline/CommandError.hpp"

namespace PelorinInstaller::Command {

struct Limits {
  std::chrono::milliseconds run = std::chrono::seconds(300);  // then SIGTERM
  std::chrono::milliseconds grace = std::chrono::seconds(5);  // then SIGKILL
};

// Runs the tool at `path` directly (no shell), silently, with standard input, output and error
// on /dev/null. Returns on exit status 0; throws CommandError otherwise (status 60 after the time
// limit), std::system_error when the tool cannot be started.
void run(const std::string& path, const std::vector<std::string>& arguments, Limits limits = {});

}  // namespace PelorinInstaller::Command
