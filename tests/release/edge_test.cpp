#include <gtest/gtest.h>

#include <InstallerCore/InstallerCore.hpp>
#include <PelorinRelease/HostCheck.hpp>
#include <PelorinRelease/Release.hpp>
#include <random>
#include <set>
#include <sstream>

#include "TestSupport.hpp"
#include "pipeline/Checks.hpp"
#include "pipeline/Downloader.hpp"
#include "pipeline/Installer.hpp"
#include "support/TestDistribution.hpp"

std::string firstFailure(const std::vector<PelorinRelease::CheckLine>& lines);

namespace {

namespace fs = std::filesystem;
using namespace PelorinTesting;
using PelorinInstaller::Cancellation;

constexpr std::int64_t kSlice = 1 << 20;  // the edge's block size (nginx.sh's default)
const std::string kImage = "/desktop-releases/1.4.0/app-arm64.dmg";

std::vector<std::string> linesOf(const fs::path& file) {
  std::vector<std::string> lines;
  std::istringstream text(fs::exists(file) ? readFile(file) : "");
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  return lines;
}

// The cache statuses that the edge logged for the image's blocks from line `from` on, as sorted
// "BLOCK:STATUS" words with BLOCK the index of the block that the origin sent.
std::string cacheStatuses(const std::vector<std::string>& lines, std::size_t from) {
  std::set<std::string> seen;
  for (auto line = lines.begin() + std::ptrdiff_t(from); line < lines.end(); ++line) {
    if (!line->starts_with(kImage + " ")) continue;
    const auto slice = line->find("slice=\"bytes "), cache = line->find(" cache=");
    const auto block = slice == std::string::npos
                           ? "-"
                           : std::to_string(std::stoll(line->substr(slice + 13)) / kSlice);
    seen.insert(block + ":" + line->substr(cache + 7));
  }
  std::string text;
  for (const auto& status : seen) text += (text.empty() ? "" : " ") + status;
  return text;
}

// Through a caching edge in front of an origin nginx, a release whose image spans three of the
// edge's blocks.
TEST(Edge, ServesTheInstallerAndTheHostCheckFromItsCache) {
  if (auto why = fuseUnavailable()) GTEST_SKIP() << "no FUSE: " << *why;
  TemporaryFolder folder;
  StandInTools tools;
  const auto app = folder / "arm64" / InstallerCore::Distribution::appName,
             x64 = folder / "x64" / InstallerCore::Distribution::appName;
  PelorinRelease::makeSampleApp(app, PelorinRelease::Architecture::arm64);
  PelorinRelease::makeSampleApp(x64, PelorinRelease::Architecture::x64);
  // Random bytes: the image cannot compress them below two and a half blocks.
  std::mt19937 random(18);
  std::string padding(kSlice * 5 / 2, '\0');
  for (auto& byte : padding) byte = char(random());
  writeFile(app / "Contents/Resources/padding", padding);
  auto publication = PelorinRelease::publish({.apps = {{"arm64", app}, {"x64", x64}},
                                              .version = "1.4.0",
                                              .minimumSystemVersion = "13.0.0",
                                              .privatePem = tools.keys().privatePem,
                                              .webRoot = folder / "www"});
  const auto artifact = publication.artifacts.at("arm64");
  const auto image = readFile(publication.images.at("arm64"));
  ASSERT_GT(artifact.bytes, 2 * kSlice);
  ASSERT_LE(artifact.bytes, 3 * kSlice);
  const auto origin = LoopbackNginx::origin(folder / "origin", folder / "www");
  enum class Action { install, resume, check };
  const std::int64_t middle = artifact.bytes / 2, cold = -1;
  const auto mixedUp =
      "arm64 " + kImage + " from byte " + std::to_string(middle) +
      ": error.invalidResponse: answered 206 with Content-Range \"bytes 0-1048575/";
  // What runs through a fresh edge after a download from byte `warm` (cold: none) filled its
  // cache, the cache statuses of the blocks it asked for, and how the host check ends (its first
  // failure, or "all passed N").
  const std::tuple<Action, std::int64_t, LoopbackNginx::Environment, std::string, std::string>
      cases[] = {{Action::install, cold, {}, "0:MISS 1:MISS 2:MISS", ""},
                 {Action::install, middle, {}, "0:MISS 1:HIT 2:HIT", ""},
                 {Action::resume, cold, {}, "1:MISS 2:MISS", ""},
                 {Action::resume, 2 * kSlice, {}, "1:MISS 2:HIT", ""},
                 {Action::check, middle, {}, "0:HIT 0:MISS 1:HIT 2:HIT", "all passed 10"},
                 {Action::check, 0, {}, "0:HIT 1:HIT 2:HIT", "all passed 10"},
                 // Every block cached under one key: ranges get another block's bytes.
                 {Action::check, cold, {{"NGINX_EDGE_KEY", "$uri"}}, "", mixedUp}};
  int row = 0;
  for (const auto& [action, warm, environment, statuses, check] : cases) {
    const auto work = folder / std::to_string(++row);
    const auto what = "row " + std::to_string(row);
    auto edge = LoopbackNginx::edge(work / "edge", *origin, environment);
    const auto log = edge->work() / "access.log";
    if (warm != cold) {
      const auto file = work / "warm.dmg";
      PelorinBase::writeFile(file, std::string_view(image).substr(0, warm), 0600);
      PelorinInstaller::Downloader(*InstallerCore::Url::parse(artifact.url), file, artifact.bytes,
                                   std::make_shared<Cancellation>(), edge->settings(), {})
          .run();
      const auto blocks = std::size_t(3 - warm / kSlice);
      // nginx logs a request once it has finished with it, a moment after the client has it all.
      ASSERT_TRUE(eventually([&] { return linesOf(log).size() == blocks; })) << what;
    }
    const auto before = linesOf(log).size();

    auto host = testHost(work, tools.tools(), std::int64_t(1) << 40, {13, 0, 0});
    host.transfer = edge->settings();
    fs::create_directories(host.systemApplications);
    if (action == Action::resume) {
      fs::create_directory(host.supportFolder);
      fs::permissions(host.supportFolder, fs::perms::owner_all);
      PelorinBase::writeFile(host.supportFolder / (artifact.sha256 + ".dmg"),
                             std::string_view(image).substr(0, middle), 0600);
    }
    if (action == Action::check) {
      const auto failed = firstFailure(PelorinRelease::checkHost(
          {.transfer = edge->settings(), .system = {13, 0, 0}, .full = true}));
      EXPECT_EQ(failed.substr(0, check.size()), check) << what << "\n" << failed;
    } else {
      PelorinInstaller::Installer installer(std::make_shared<Cancellation>(), {}, host);
      fs::path installed;
      auto outcome = outcomeOf([&] { installed = installer.run(true); });
      outcome += " " + outcomeOf([&] { PelorinInstaller::verify(host, installed, "1.4.0"); });
      EXPECT_EQ(outcome, "ok ok") << what;
    }
    if (statuses.empty()) continue;
    eventually(
        [&, &expected = statuses] { return cacheStatuses(linesOf(log), before) == expected; });
    EXPECT_EQ(cacheStatuses(linesOf(log), before), statuses) << what;
  }
}

}  // namespace
