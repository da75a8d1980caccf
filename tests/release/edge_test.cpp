#include <gtest/gtest.h>

#include <InstallerCore/InstallerCore.hpp>
#include <PelorinRelease/HostCheck.hpp>
#include <PelorinRelease/Release.hpp>
#include <chrono>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "TestSupport.hpp"
#include "pipeline/Checks.hpp"
#include "pipeline/Downloader.hpp"
#include "pipeline/Installer.hpp"
#include "support/TestDistribution.hpp"

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

// The cache statuses that the edge logged for the image's blocks from line `from` on, as
// "BLOCK:STATUS+STATUS BLOCK:..." with BLOCK the index of the block that the origin sent.
std::string cacheStatuses(const std::vector<std::string>& lines, std::size_t from) {
  std::map<std::string, std::set<std::string>> statuses;
  for (std::size_t i = from; i < lines.size(); ++i) {
    const auto& line = lines[i];
    if (!line.starts_with(kImage + " ")) continue;
    const auto slice = line.find("slice=\"bytes "), cache = line.find(" cache=");
    statuses[slice == std::string::npos
                 ? "-"
                 : std::to_string(std::stoll(line.substr(slice + 13)) / kSlice)]
        .insert(line.substr(cache + 7));
  }
  std::string text;
  for (const auto& [block, seen] : statuses) {
    text += (text.empty() ? "" : " ") + block + ":";
    for (const auto& status : seen) text += (text.back() == ':' ? "" : "+") + status;
  }
  return text;
}

// Whether `done` holds within ten seconds: nginx logs a request once it has finished with it,
// which may be a moment after the client has all of it.
bool soon(const std::function<bool()>& done) {
  for (int i = 0; i < 200 && !done(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return done();
}

// A release whose image spans three of the edge's blocks, served by an origin nginx.
class Edge : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto app = folder_ / "arm64" / InstallerCore::Distribution::appName,
               x64 = folder_ / "x64" / InstallerCore::Distribution::appName;
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
                                                .privatePem = tools_.keys().privatePem,
                                                .webRoot = folder_ / "www"});
    artifact_ = publication.artifacts.at("arm64");
    image_ = readFile(publication.images.at("arm64"));
    ASSERT_GT(artifact_.bytes, 2 * kSlice);
    ASSERT_LE(artifact_.bytes, 3 * kSlice);
    origin_ = LoopbackNginx::origin(folder_ / "origin", folder_ / "www");
  }

  TemporaryFolder folder_;
  StandInTools tools_;
  PelorinRelease::Artifact artifact_;
  std::string image_;
  std::unique_ptr<LoopbackNginx> origin_;
};

TEST_F(Edge, ServesTheInstallerAndTheHostCheckFromItsCache) {
  if (auto why = fuseUnavailable()) GTEST_SKIP() << "no FUSE: " << *why;
  enum class Action { install, resume, check };
  const std::int64_t middle = artifact_.bytes / 2, cold = -1;
  const auto mixedUp =
      "FAIL arm64 " + kImage + " from byte " + std::to_string(middle) +
      ": error.invalidResponse: answered 206 with Content-Range \"bytes 0-1048575/";
  // What runs through a fresh edge after a download from byte `warm` (cold: none) filled its
  // cache, the cache statuses of the blocks it asked for, and how the host check ends: "all N
  // passed" or the start of its first failing line.
  const std::tuple<Action, std::int64_t, LoopbackNginx::Environment, std::string, std::string>
      cases[] = {{Action::install, cold, {}, "0:MISS 1:MISS 2:MISS", ""},
                 {Action::install, middle, {}, "0:MISS 1:HIT 2:HIT", ""},
                 {Action::install, 0, {}, "0:HIT 1:HIT 2:HIT", ""},
                 {Action::resume, cold, {}, "1:MISS 2:MISS", ""},
                 {Action::resume, 2 * kSlice, {}, "1:MISS 2:HIT", ""},
                 {Action::resume, 0, {}, "1:HIT 2:HIT", ""},
                 {Action::check, middle, {}, "0:HIT+MISS 1:HIT 2:HIT", "all 10 passed"},
                 {Action::check, 0, {}, "0:HIT 1:HIT 2:HIT", "all 10 passed"},
                 // Every block cached under one key: ranges get another block's bytes.
                 {Action::check, cold, {{"NGINX_EDGE_KEY", "$uri"}}, "", mixedUp}};
  int row = 0;
  for (const auto& [action, warm, environment, statuses, check] : cases) {
    const auto work = folder_ / std::to_string(++row);
    const auto what = "row " + std::to_string(row);
    auto edge = LoopbackNginx::edge(work / "edge", *origin_, environment);
    const auto log = edge->work() / "access.log";
    if (warm != cold) {
      const auto file = work / "warm.dmg";
      PelorinBase::writeFile(file, std::string_view(image_).substr(0, warm), 0600);
      PelorinInstaller::Downloader(*InstallerCore::Url::parse(artifact_.url), file, artifact_.bytes,
                                   std::make_shared<Cancellation>(), edge->settings(), {})
          .run();
      const auto blocks = std::size_t(3 - warm / kSlice);
      ASSERT_TRUE(soon([&] { return linesOf(log).size() == blocks; })) << what;
    }
    const auto before = linesOf(log).size();

    auto host = testHost(work, tools_.tools(), std::int64_t(1) << 40, {13, 0, 0});
    host.transfer = edge->settings();
    fs::create_directories(host.systemApplications);
    if (action == Action::resume) {
      fs::create_directory(host.supportFolder);
      fs::permissions(host.supportFolder, fs::perms::owner_all);
      PelorinBase::writeFile(host.supportFolder / (artifact_.sha256 + ".dmg"),
                             std::string_view(image_).substr(0, middle), 0600);
    }
    if (action == Action::check) {
      auto lines = PelorinRelease::checkHost({edge->settings(), {13, 0, 0}, true, {}});
      std::string failed;
      for (const auto& line : lines)
        if (!line.passed) failed += "FAIL " + line.name + ": " + line.detail + "\n";
      if (failed.empty()) failed = "all " + std::to_string(lines.size()) + " passed";
      EXPECT_EQ(failed.substr(0, check.size()), check) << what << "\n" << failed;
    } else {
      PelorinInstaller::Installer installer(std::make_shared<Cancellation>(), {}, host);
      fs::path installed;
      auto outcome = outcomeOf([&] { installed = installer.run(true); });
      outcome += " " + outcomeOf([&] { PelorinInstaller::verify(host, installed, "1.4.0"); });
      EXPECT_EQ(outcome, "ok ok") << what;
    }
    if (statuses.empty()) continue;
    soon([&, &expected = statuses] { return cacheStatuses(linesOf(log), before) == expected; });
    EXPECT_EQ(cacheStatuses(linesOf(log), before), statuses) << what;
  }
}

}  // namespace
