#include "support/TestDistribution.hpp"

#include <InstallerCore/Distribution.hpp>

namespace PelorinTesting {

TestDistribution::TestDistribution()
    : caFile_(folder_ / "ca.pem"),
      server_(authority_.issue(std::string(InstallerCore::Distribution::host()))) {
  authority_.writePem(caFile_);
}

PelorinInstaller::TransferSettings TestDistribution::settings() const {
  PelorinInstaller::TransferSettings settings;
  settings.caFile = caFile_.string();
  settings.connectTo = {connectTo(InstallerCore::Distribution::host(), 443, server_.port())};
  return settings;
}

std::string TestDistribution::url(std::string_view path) {
  return "https://" + std::string(InstallerCore::Distribution::host()) + std::string(path);
}

std::string TestDistribution::connectTo(std::string_view name, int port, int loopbackPort) {
  return std::string(name) + ":" + std::to_string(port) +
         ":127.0.0.1:" + std::to_string(loopbackPort);
}

}  // namespace PelorinTesting
