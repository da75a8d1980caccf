#pragma once

#include <InstallerCore/Distribution.hpp>
#include <PelorinRelease/Release.hpp>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "TestSupport.hpp"
#include "pipeline/Installer.hpp"
#include "scratch_folder.hpp"
#include "support/TestDistribution.hpp"

namespace PelorinInstaller::Testing {

// One published release: its manifest text and the arm64 image.
struct Release {
  std::string version;
  std::string manifest;
  std::string image;  // the bytes
  std::string imageURLPath;
  std::string sha256;
};

// A change for World::publish: an incompressible resource of `bytes` bytes in the bundle.
std::function<void(const std::filesystem::path&)> withPayload(std::size_t bytes);

// How an action ended, as one word for tables of cases: "ok", an InstallerError's name,
// "TOOL STATUS" for a CommandError, "errno N" for a file or POSIX error, "network N" for a
// transfer error, "json" for a manifest that is not the expected JSON.
std::string outcomeOf(const std::function<void()>& action);

// Everything one installer run meets, over a scratch folder: the stand-in tools trusting a key
// of their own, the distribution host on loopback, a host whose folders lie in the scratch
// folder ("support", "Applications" made, "home/Applications" not), and the run's reports.
class World {
 public:
  World();

  // Publishes `version` made by the release tool; `change` alters each sample application
  // before it is sealed; `signingKey` replaces the key the stand-ins trust.
  Release publish(const std::string& version,
                  const std::function<void(const std::filesystem::path&)>& change = {},
                  const std::string& signingKey = "");
  // Serves the release's manifest and image (or the given manifest text instead).
  void serve(const Release& release, std::optional<std::string> manifest = std::nullopt);
  void serveManifest(const std::string& text);

  // Places a sealed sample of `version` at the destination, as an earlier install would.
  void installSample(const std::string& version, const std::string& bundleID = std::string(
                                                     InstallerCore::Distribution::bundleID));

  std::filesystem::path run(bool install);
  std::string outcome(bool install);

  // The installed version at `app` when the bundle is whole and verifies, otherwise "broken",
  // or "none" when nothing is there.
  std::string versionAt(const std::filesystem::path& app,
                        const std::vector<std::string>& candidates);

  std::filesystem::path destination() const;
  std::filesystem::path lockFile() const { return host.supportFolder / "install.lock"; }
  std::filesystem::path imageOf(const Release& release) const {
    return host.supportFolder / (release.sha256 + ".dmg");
  }

  std::vector<std::pair<Phase, std::optional<double>>> reports() const;

  ScratchFolder root{"installer"};
  PelorinTesting::StandInTools standIns;
  PelorinTesting::TestDistribution distribution;
  Host host;
  std::shared_ptr<Cancellation> token = std::make_shared<Cancellation>();
  std::function<void(Phase, std::optional<double>)> onReport;

 private:
  mutable std::mutex lock_;
  std::vector<std::pair<Phase, std::optional<double>>> reports_;
  int releases_ = 0;
};

}  // namespace PelorinInstaller::Testing
