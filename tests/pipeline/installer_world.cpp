#include "installer_world.hpp"

#include <InstallerCore/InstallerError.hpp>
#include <nlohmann/json.hpp>
#include <random>

#include "pipeline/Checks.hpp"
#include "pipeline/CommandError.hpp"
#include "pipeline/NetworkError.hpp"

namespace PelorinInstaller::Testing {
namespace {

namespace fs = std::filesystem;
using PelorinRelease::Architecture;

}  // namespace

std::function<void(const fs::path&)> withPayload(std::size_t bytes) {
  return [bytes](const fs::path& app) {
    std::mt19937_64 random(bytes);
    std::string payload(bytes, '\0');
    for (auto& byte : payload) byte = static_cast<char>(random());
    writeFile(app / "Contents" / "Resources" / "payload.bin", payload);
  };
}

std::string outcomeOf(const std::function<void()>& action) {
  try {
    action();
    return "ok";
  } catch (const CommandError& error) {
    return error.tool + " " + std::to_string(error.status);
  } catch (const nlohmann::json::exception&) {
    return "json";
  } catch (const std::system_error& error) {
    const auto& category = error.code().category();
    auto value = error.code().value();
    if (category == InstallerCore::installerCategory()) {
      return std::string(InstallerCore::name(InstallerCore::InstallerError(value)));
    }
    if (category == networkCategory()) return "network " + std::to_string(value);
    if (category == std::generic_category() || category == std::system_category()) {
      return "errno " + std::to_string(value);
    }
    return std::string(category.name()) + " " + std::to_string(value);
  } catch (const std::exception& error) {
    return std::string("other: ") + error.what();
  }
}

World::World() : host(PelorinTesting::testHost(root.path(), standIns.tools())) {
  host.transfer = distribution.settings();
  fs::create_directory(host.systemApplications);
}

Release World::publish(const std::string& version,
                       const std::function<void(const fs::path&)>& change,
                       const std::string& signingKey) {
  auto folder = root.path() / ("release-" + std::to_string(++releases_));
  std::map<std::string, fs::path> apps;
  for (auto [arch, architecture] :
       {std::pair{"arm64", Architecture::arm64}, std::pair{"x64", Architecture::x64}}) {
    auto app = folder / "apps" / arch / "Pelorin Code.app";
    fs::create_directories(app.parent_path());
    PelorinRelease::makeSampleApp(app, architecture);
    if (change) change(app);
    apps[arch] = app;
  }
  PelorinRelease::PublishOptions options;
  options.apps = apps;
  options.version = version;
  options.minimumSystemVersion = "13.0.0";
  options.privatePem = signingKey.empty() ? standIns.keys().privatePem : signingKey;
  options.webRoot = folder / "www";
  auto publication = PelorinRelease::publish(options);

  Release release;
  release.version = version;
  release.manifest = PelorinTesting::readFile(publication.manifest);
  release.image = PelorinTesting::readFile(publication.images.at("arm64"));
  release.sha256 = publication.artifacts.at("arm64").sha256;
  release.imageURLPath = "/desktop-releases/" + version + "/app-arm64.dmg";
  return release;
}

void World::serve(const Release& release, std::optional<std::string> manifest) {
  serveManifest(manifest.value_or(release.manifest));
  distribution.server().route(release.imageURLPath, PelorinTesting::serveFile(release.image));
}

void World::serveManifest(const std::string& text) {
  distribution.server().route("/desktop-releases/installer/stable/latest.json",
                              PelorinTesting::serveFile(text));
}

void World::installSample(const std::string& version, const std::string& bundleID) {
  auto app = destination();
  PelorinRelease::makeSampleApp(app, Architecture::arm64);
  PelorinRelease::setInfoKeys(
      app, {{"CFBundleShortVersionString", version}, {"CFBundleIdentifier", bundleID}});
  PelorinRelease::seal(app, standIns.keys().privatePem);
}

fs::path World::run(bool install) {
  Installer installer(
      token,
      [this](Phase phase, std::optional<double> fraction) {
        {
          std::lock_guard guard(lock_);
          reports_.emplace_back(phase, fraction);
        }
        if (onReport) onReport(phase, fraction);
      },
      host);
  return installer.run(install);
}

std::string World::outcome(bool install) {
  return outcomeOf([&] { run(install); });
}

std::string World::versionAt(const fs::path& app, const std::vector<std::string>& candidates) {
  if (!fs::exists(fs::symlink_status(app))) return "none";
  for (const auto& version : candidates) {
    if (outcomeOf([&] { verify(host, app, version); }) == "ok") return version;
  }
  return "broken";
}

fs::path World::destination() const {
  return host.systemApplications / InstallerCore::Distribution::appName;
}

std::vector<std::pair<Phase, std::optional<double>>> World::reports() const {
  std::lock_guard guard(lock_);
  return reports_;
}

}  // namespace PelorinInstaller::Testing
