#pragma once

#include <PelorinBase/FileDescriptor.hpp>
#include <array>
#include <chrono>
#include <string>
#include <vector>

#include "pipeline/Cancellation.hpp"
#include "pipeline/CommandError.hpp"

namespace PelorinInstaller::Command {

struct Limits {
  std::chrono::milliseconds run = std::chrono::seconds(300);  // then SIGTERM
  std::chrono::milliseconds grace = std::chrono::seconds(5);  // then SIGKILL
};

// Ends every tool run with it at once, from any thread: a cancel, or a failure that decides what
// the tools ran for. Once set it stays set.
class StopSwitch : public CancellableTask {
 public:
  StopSwitch();
  void cancel() override;
  int fd() const { return read_.get(); }

 private:
  explicit StopSwitch(std::array<int, 2> ends);
  PelorinBase::FileDescriptor read_, write_;
};

// Runs the tool at `path` directly (no shell), silently, with standard input, output and error
// on /dev/null. Returns on exit status 0; throws CommandError otherwise (status 60 after the time
// limit), std::system_error when the tool cannot be started, InstallerError::cancelled when
// `stop` ended it.
void run(const std::string& path, const std::vector<std::string>& arguments, Limits limits = {},
         const StopSwitch* stop = nullptr);

}  // namespace PelorinInstaller::Command
