#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace PelorinBase {

// Where a child's standard stream goes: this process's own, the null device, a pipe whose bytes
// the result carries (output and error only), or a file (read, or made or emptied for writing).
struct Stream {
  enum class Kind { inherit, null, capture, file } kind = Kind::null;
  std::filesystem::path file;
};

struct LaunchOptions {
  Stream input, output, error;
  // Open in the child as 3, 4, ... in this order; every other descriptor is closed there.
  std::vector<int> inherited;
  // The whole environment; none: this process's.
  std::optional<std::map<std::string, std::string>> environment;
  std::optional<std::string> argv0;  // none: the program's path
  bool searchPath = false;           // look a bare program name up in PATH
  // Past the time limit the child is sent SIGTERM, and SIGKILL when it outlives the grace.
  std::optional<std::chrono::milliseconds> timeLimit;
  std::chrono::milliseconds grace = std::chrono::seconds(5);
  // Once this descriptor is readable the child is killed at once; -1: never.
  int stop = -1;
};

struct ProcessResult {
  std::optional<int> exitStatus;  // none when a signal ended it
  std::optional<int> signal;
  bool timedOut = false;  // the time limit passed and it was told to stop
  bool stopped = false;   // killed because the stop descriptor became readable
  std::string output, error;
  long peakResidentKiB = 0;  // the child and the descendants it waited for
  // The status as a shell reports it: the exit status, or 128 + the signal number.
  int shellStatus() const { return exitStatus ? *exitStatus : 128 + signal.value_or(0); }
};

// Runs `program` (no shell) with `arguments` to its end, with default signal handling and an
// empty signal mask whatever this process's threads set, and reaps it. Throws std::system_error
// when it cannot be started (errno value, "cannot start PROGRAM") or waited for; the child never
// outlives a call that throws. On Linux it does not outlive this process either: killed, this
// process takes it along.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const LaunchOptions& options = {});

}  // namespace PelorinBase
