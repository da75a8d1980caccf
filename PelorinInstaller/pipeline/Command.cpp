#include "pipeline/Command.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <InstallerCore/InstallerError.hpp>
#include <PelorinBase/Errors.hpp>
#include <PelorinBase/Process.hpp>
#include <filesystem>
#include <system_error>

namespace PelorinInstaller::Command {
namespace {

constexpr std::int32_t kTimedOutStatus = 60;

std::array<int, 2> pipeEnds() {
  std::array<int, 2> ends{};
  if (::pipe(ends.data()) != 0) PelorinBase::throwSystemError("pipe");
  return ends;
}

}  // namespace

StopSwitch::StopSwitch() : StopSwitch(pipeEnds()) {}

// The writing end never blocks a cancel: a full pipe is readable already.
StopSwitch::StopSwitch(std::array<int, 2> ends) : read_(ends[0]), write_(ends[1]) {
  if (::fcntl(ends[0], F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(ends[1], F_SETFD, FD_CLOEXEC) != 0 ||
      ::fcntl(ends[1], F_SETFL, O_NONBLOCK) != 0) {
    PelorinBase::throwSystemError("fcntl");
  }
}

void StopSwitch::cancel() {
  const char byte = 0;
  [[maybe_unused]] auto written = ::write(write_.get(), &byte, 1);
}

void run(const std::string& path, const std::vector<std::string>& arguments, Limits limits,
         const StopSwitch* stop) {
  PelorinBase::LaunchOptions options;
  options.timeLimit = limits.run;
  options.grace = limits.grace;
  if (stop) options.stop = stop->fd();
  auto result = PelorinBase::runProcess(path, arguments, options);
  if (result.stopped) throw std::system_error(InstallerCore::InstallerError::cancelled);
  std::string tool = std::filesystem::path(path).filename().string();
  if (result.timedOut) throw CommandError(std::move(tool), kTimedOutStatus);
  if (result.shellStatus() != 0) throw CommandError(std::move(tool), result.shellStatus());
}

}  // namespace PelorinInstaller::Command
