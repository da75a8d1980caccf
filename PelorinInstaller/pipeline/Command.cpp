#include "pipeline/Command.hpp"

#include <PelorinBase/Process.hpp>
#include <filesystem>

namespace PelorinInstaller::Command {
namespace {

constexpr std::int32_t kTimedOutStatus = 60;

}  // namespace

void run(const std::string& path, const std::vector<std::string>& arguments, Limits limits) {
  PelorinBase::LaunchOptions options;
  options.timeLimit = limits.run;
  options.grace = limits.grace;
  auto result = PelorinBase::runProcess(path, arguments, options);
  std::string tool = std::filesystem::path(path).filename().string();
  if (result.timedOut) throw CommandError(std::move(tool), kTimedOutStatus);
  if (result.shellStatus() != 0) throw CommandError(std::move(tool), result.shellStatus());
}

}  // namespace PelorinInstaller::Command
