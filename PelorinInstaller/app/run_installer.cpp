#include "app/RunInstaller.hpp"
#include "app/SystemProxy.hpp"

namespace PelorinInstaller {

std::filesystem::path runInstaller(std::shared_ptr<Cancellation> cancellation,
                                   ProgressReport report) {
  Host host = Host::live();
  host.transfer.proxy = systemProxy;
  return Installer(std::move(cancellation), std::move(report), std::move(host)).run(true);
}

}  // namespace PelorinInstaller
