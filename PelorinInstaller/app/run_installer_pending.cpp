#include <system_error>

#include "app/RunInstaller.hpp"

namespace PelorinInstaller {

// Built only while the install driver is not part of the tree: every run ends in the failed
// state with a generic message.
std::filesystem::path runInstaller(std::shared_ptr<Cancellation>, ProgressReport) {
  throw std::system_error(std::make_error_code(std::errc::function_not_supported));
}

}  // namespace PelorinInstaller
