#include "app/RunInstaller.hpp"

namespace PelorinInstaller {

std::filesystem::path runInstaller(std::shared_ptr<Cancellation> cancellation,
                                   ProgressReport report) {
  return Installer(std::move(cancellation), std::move(report)).run(true);
}

}  // namespace PelorinInstaller
