#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <InstallerCore/Distribution.hpp>
#include <PelorinRelease/Release.hpp>
#include <chrono>
#include <sstream>
#include <thread>

#include "TestSupport.hpp"
#include "pipeline/Checks.hpp"
#include "pipeline/Installer.hpp"
#include "pipeline/NetworkError.hpp"
#include "support/TestDistribution.hpp"

namespace PelorinInstaller {
namespace {

namespace fs = std::filesystem;
using namespace PelorinTesting;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
const std::string kApp(InstallerCore::Distribution::appName);
const std::string kManifestPath = "/desktop-releases/installer/stable/latest.json";

// Version 2.0.0 as the release tool publishes it, signed for stand-ins that every case shares:
// publishing is the costly part of a case.
struct Release {
  StandInTools standIns;
  TemporaryFolder folder;
  std::string manifest, image, imageURLPath = "/desktop-releases/2.0.0/app-arm64.dmg", sha256;

  Release() {
    std::map<std::string, fs::path> apps = {{"arm64", folder / "arm64" / kApp},
                                            {"x64", folder / "x64" / kApp}};
    for (const auto& [arch, app] : apps) {
      fs::create_directories(app.parent_path());
      PelorinRelease::makeSampleApp(app, *PelorinRelease::architectureNamed(arch));
    }
    auto publication = PelorinRelease::publish({.apps = apps,
                                                .version = "2.0.0",
                                                .minimumSystemVersion = "13.0.0",
                                                .privatePem = standIns.keys().privatePem,
                                                .webRoot = folder / "www"});
    manifest = readFile(publication.manifest);
    image = readFile(publication.images.at("arm64"));
    sha256 = publication.artifacts.at("arm64").sha256;
  }
};

const Release& served() {
  static Release release;
  return release;
}

// One installer's surroundings: a host over a folder of its own ("Applications" made, the
// user's folder not), the distribution host on loopback and the run's reports.
struct World {
  World() : host(testHost(root.path(), served().standIns.tools())) {
    host.transfer = distribution.settings();
    fs::create_directory(host.systemApplications);
  }
  void serve(std::string manifest = served().manifest) {
    distribution.server().route(kManifestPath, serveFile(manifest));
    distribution.server().route(served().imageURLPath, serveFile(served().image));
  }
  // A sealed sample at the destination, as an earlier install would leave it.
  void installSample(const std::string& version,
                     const std::string& id = std::string(InstallerCore::Distribution::bundleID)) {
    PelorinRelease::makeSampleApp(destination(), PelorinRelease::Architecture::arm64);
    PelorinRelease::setInfoKeys(
        destination(), {{"CFBundleShortVersionString", version}, {"CFBundleIdentifier", id}});
    PelorinRelease::seal(destination(), served().standIns.keys().privatePem);
  }
  std::string outcome(bool install = true) {
    Installer installer(
        token,
        [this](Phase phase, std::optional<double> fraction) {
          reports.emplace_back(phase, fraction);
          if (onReport) onReport(phase, fraction);
        },
        host);
    return outcomeOf([&] { installer.run(install); });
  }
  // The version whose bundle at `app` is whole and verifies, "broken", or "none".
  std::string versionAt(const fs::path& app) {
    if (!fs::exists(fs::symlink_status(app))) return "none";
    for (std::string version : {"1.0.0", "2.0.0"}) {
      if (outcomeOf([&] { verify(host, app, version); }) == "ok") return version;
    }
    return "broken";
  }
  fs::path destination() const { return host.systemApplications / kApp; }
  fs::path lockFile() const { return host.supportFolder / "install.lock"; }
  fs::path image() const { return host.supportFolder / (served().sha256 + ".dmg"); }

  // What every run leaves, whatever its end: nothing mounted, no mount point or staging folder,
  // the lock free for the next run.
  void expectNothingLeftBehind() {
    EXPECT_THAT(mountsUnder(root.path()), IsEmpty());
    EXPECT_THAT(entriesStartingWith(host.supportFolder, "mount-"), IsEmpty());
    EXPECT_THAT(entriesStartingWith(host.systemApplications, ".pelorin-install-"), IsEmpty());
    EXPECT_TRUE(!fs::exists(lockFile()) || lockIsFree(lockFile()));
  }

  TemporaryFolder root;
  TestDistribution distribution;
  Host host;
  std::shared_ptr<Cancellation> token = std::make_shared<Cancellation>();
  std::function<void(Phase, std::optional<double>)> onReport;
  std::vector<std::pair<Phase, std::optional<double>>> reports;
};

// Each call to isRunning answers the next value; `second` runs on the second call, which comes
// after the last check of the installed copy.
void runningAnswers(World& world, std::vector<bool> answers, std::function<void()> second = {}) {
  auto calls = std::make_shared<std::size_t>(0);
  world.host.isRunning = [=](std::string_view) {
    auto call = (*calls)++;
    if (call == 1 && second) second();
    return call < answers.size() && answers[call];
  };
}

void at(World& world, Phase phase, std::function<void()> action) {
  world.onReport = [=](Phase reported, std::optional<double>) {
    if (reported == phase) action();
  };
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

// A shell script standing in for ditto.
std::string ditto(World& world, const std::string& body) {
  writeScript(world.root / "ditto", body);
  return (world.root / "ditto").string();
}

struct RunRow {
  const char* name;
  std::string outcome;
  std::string image;                    // what is left of it: "absent", "partial" or "whole"
  std::function<void(World&)> arrange;  // 2.0.0 is served before
  mode_t umask = 022;
  bool install = true;
};

// Free space beside the destination: five images and half a gibibyte, and `more` bytes.
std::function<void(World&)> space(std::int64_t more) {
  return [more](World& w) {
    auto enough = std::int64_t(served().image.size()) * 5 + 536'870'912 + more;
    w.host.availableCapacity = [=](const fs::path&) { return enough; };
  };
}

const RunRow kRuns[] = {
    {"ExactlyEnoughSpace", "ok", "absent", space(0)},
    // Only checking: nothing outside the support folder changes, the image stays, private.
    {"CheckOnly", "ok", "whole",
     [](World& w) {
       w.host.isRunning = [](std::string_view) -> bool { throw std::logic_error("asked"); };
     },
     0277, false},
    // A lock file an earlier version left read-only under this umask is this user's own.
    {"StrictUmaskAndAReadOnlyLock", "ok", "absent",
     [](World& w) {
       fs::create_directories(w.host.supportFolder);
       fs::permissions(w.host.supportFolder, fs::perms::owner_all);
       writeFile(w.lockFile(), "");
       fs::permissions(w.lockFile(), fs::perms::owner_read);
     },
     0277},
    {"OneByteTooLittleSpace", "noSpace", "absent", space(-1)},
    {"OlderCopyReplaced", "ok", "absent", [](World& w) { w.installSample("1.0.0"); }},
    {"CancelledBeforeTheStart", "cancelled", "absent", [](World& w) { w.token->cancel(); }},
    {"LockPathIsASymbolicLink", "busy", "absent",
     [](World& w) {
       fs::create_directory(w.host.supportFolder);
       fs::create_symlink(w.root / "elsewhere", w.lockFile());
     }},
    {"ExistingCopyIsALink", "wrongApplication", "absent",
     [](World& w) {
       w.installSample("1.0.0");
       fs::rename(w.destination(), w.root / "elsewhere");
       fs::create_symlink(w.root / "elsewhere", w.destination());
     }},
    {"ExistingCopyIsNewer", "downgrade", "absent", [](World& w) { w.installSample("3.0.0"); }},
    {"ApplicationRunning", "appRunning", "absent", [](World& w) { runningAnswers(w, {true}); }},
    {"DigestDiffers", "damagedDownload", "absent",
     [](World& w) {
       auto damaged = served().image;
       damaged[damaged.size() / 2] ^= 1;
       w.distribution.server().route(served().imageURLPath, serveFile(damaged));
     }},
    {"CancelledWhileHashing", "cancelled", "whole",
     [](World& w) { at(w, Phase::verifying, [&w] { w.token->cancel(); }); }},
    {"MountedBundleIsAnotherVersion", "wrongApplication", "whole",
     [](World& w) { w.serve(replaced(served().manifest, "\"2.0.0\"", "\"2.0.1\"")); }},
    {"CopyFails", "ditto 7", "whole", [](World& w) { w.host.tools.ditto = ditto(w, "exit 7"); }},
    {"StagedCopyChangedOnTheWay", "codesign 1", "whole",
     [](World& w) {
       w.host.tools.ditto = ditto(
           w, "'" + w.host.tools.ditto + "' \"$@\" && echo changed >> \"$2/Contents/PkgInfo\"");
     }},
    {"AnotherApplicationAppearsBeforeTheCommit", "wrongApplication", "whole",
     [](World& w) {
       at(w, Phase::installing, [&w] { w.installSample("1.0.0", "com.example.other"); });
     }},
    {"ApplicationStartsBeforeTheCommit", "appRunning", "whole",
     [](World& w) {
       runningAnswers(w, {false, true});
     }},
    {"CancelledBeforeTheCommit", "cancelled", "whole",
     [](World& w) { runningAnswers(w, {}, [&w] { w.token->cancel(); }); }},
    // After the last check someone with write access to the folder moves the checked copy away
    // and puts a folder of their own in its place: the exchange takes theirs out, and it stays.
    {"SwappedBeforeTheCommit", "installConflict", "whole",
     [](World& w) {
       w.installSample("1.0.0");
       runningAnswers(w, {}, [&w] {
         fs::rename(w.destination(), w.root / "moved");
         writeFile(w.destination() / "notes.txt", "someone's data");
       });
     }},
    {"LinkAppearsBeforeTheCommit", "errno 17", "whole",
     [](World& w) {
       runningAnswers(w, {}, [&w] { fs::create_symlink("nowhere", w.destination()); });
     }},
};

void PrintTo(const RunRow& row, std::ostream* out) { *out << row.name; }

class InstallerRun : public ::testing::TestWithParam<RunRow> {};

TEST_P(InstallerRun, EndsAsExpectedAndLeavesNothingBehind) {
  if (auto why = fuseUnavailable()) GTEST_SKIP() << *why;
  const auto& row = GetParam();
  World world;
  world.serve();
  row.arrange(world);
  std::vector<fs::path> capacityAskedFor;
  world.host.availableCapacity = [&, capacity = world.host.availableCapacity](auto& folder) {
    capacityAskedFor.push_back(folder);
    return capacity(folder);
  };
  auto outside = [&] {
    auto items = snapshot(world.root.path());
    std::erase_if(items, [](const auto& item) { return item.first.starts_with("support"); });
    return items;
  };
  auto outsideBefore = outside();
  auto versionBefore = world.versionAt(world.destination());
  {
    ScopedUmask umask(row.umask);
    EXPECT_EQ(world.outcome(row.install), row.outcome);
  }

  auto staging = entriesStartingWith(world.host.systemApplications, ".pelorin-install-");
  if (row.outcome == "installConflict") {
    ASSERT_EQ(staging.size(), 1u);
    EXPECT_EQ(readFile(world.host.systemApplications / staging[0] / kApp / "notes.txt"),
              "someone's data");
    fs::rename(world.host.systemApplications / staging[0], world.root / "kept");
  }
  world.expectNothingLeftBehind();
  auto image = world.image();
  auto left = fs::exists(fs::symlink_status(image)) ? readFile(image) : "absent";
  EXPECT_EQ(left == served().image             ? "whole"
            : served().image.starts_with(left) ? "partial"
            : left == "absent"                 ? left
                                               : "other",
            row.image);
  if (row.outcome == "ok" || row.outcome == "noSpace") {
    auto folder = row.install ? world.host.systemApplications : world.host.supportFolder;
    EXPECT_THAT(capacityAskedFor, ElementsAre(folder));
  }
  if (!row.install) {
    EXPECT_EQ(outside(), outsideBefore);
    EXPECT_EQ(fs::status(image).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    return;
  }
  if (row.outcome != "ok") {
    if (row.outcome != "wrongApplication" && row.outcome != "errno 17" &&
        row.outcome != "installConflict") {
      EXPECT_EQ(world.versionAt(world.destination()), versionBefore);
    }
    return;
  }
  EXPECT_EQ(world.versionAt(world.destination()), "2.0.0");
  EXPECT_THAT(entriesStartingWith(world.host.systemApplications, ""), ElementsAre(kApp));
  EXPECT_THAT(entriesStartingWith(world.host.supportFolder, ""),
              ElementsAre("install.lock", "latest.json"));
  const auto privateFile = fs::perms::owner_read | fs::perms::owner_write;
  EXPECT_EQ(fs::status(world.host.supportFolder).permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(world.lockFile()).permissions(), privateFile);
  EXPECT_EQ(fs::status(world.host.supportFolder / "latest.json").permissions(), privateFile);
  // Each phase once and in order; the download's fractions from 0 to 1, never going back.
  using Report = std::pair<Phase, std::optional<double>>;
  std::vector<Report> phases;
  for (auto report : world.reports) {
    if (phases.empty() || phases.back().first != report.first) phases.push_back(report);
    EXPECT_GE(report.second, phases.back().second);
  }
  EXPECT_THAT(
      phases,
      ElementsAre(Report(Phase::preparing, std::nullopt), Report(Phase::downloading, 0.0),
                  Report(Phase::verifying, std::nullopt), Report(Phase::installing, std::nullopt)));
  EXPECT_EQ(world.reports[world.reports.size() - 3].second, 1.0);
}

INSTANTIATE_TEST_SUITE_P(EveryStep, InstallerRun, ::testing::ValuesIn(kRuns),
                         [](const auto& info) { return std::string(info.param.name); });

struct ProcessRow {
  const char* name;
  std::string stopAt;
  std::function<void(World&)> atStop;  // none: the child is killed there
  std::string childOutcome;            // what it printed, "" when killed
  std::string versionLeft;             // at the destination once the child has ended
};

const ProcessRow kProcesses[] = {
    {"KilledDuringTheDownload", "downloading", {}, "", "1.0.0"},
    {"KilledAfterTheMount", "installing", {}, "", "1.0.0"},
    {"KilledAfterTheStagingCopy", "staged-check", {}, "", "1.0.0"},
    {"KilledRightBeforeTheCommit", "before-commit", {}, "", "1.0.0"},
    {"KilledRightAfterTheCommit", "after-commit", {}, "", "2.0.0"},
    // While the child holds the lock with its image mounted, another run is busy at once and
    // touches nothing of the child's.
    {"LockHeldByAnotherProcess", "installing",
     [](World& world) {
       auto support = snapshot(world.host.supportFolder);
       EXPECT_EQ(world.outcome(), "busy");
       EXPECT_EQ(world.outcome(false), "busy");
       EXPECT_EQ(snapshot(world.host.supportFolder), support);
       EXPECT_EQ(mountsUnder(world.host.supportFolder).size(), 1u);
     },
     "ok\n", "2.0.0"},
    // The installed copy exchanged for another while it is being checked the last time.
    {"CopyExchangedDuringItsLastCheck", "last-existing-check",
     [](World& world) {
       fs::rename(world.destination(), world.root / "moved");
       world.installSample("1.0.0");
     },
     "installConflict\n", "1.0.0"},
};

void PrintTo(const ProcessRow& row, std::ostream* out) { *out << row.name; }

class InstallerProcess : public ::testing::TestWithParam<ProcessRow> {};

// The installer runs in a process of its own (installer_child) up to a stop. Whatever happens
// to it there, the destination stays whole and the next run completes; it removes what the
// child left (mount points, the recorded staging folder) and nothing that only looks like it.
TEST_P(InstallerProcess, TheDestinationStaysWholeAndTheNextRunCompletes) {
  if (auto why = fuseUnavailable()) GTEST_SKIP() << *why;
  const auto& row = GetParam();
  World world;
  world.installSample("1.0.0");
  world.serve();
  auto support = world.host.supportFolder, apps = world.host.systemApplications;
  // This user's application that another account renamed to a staging folder's name, and a
  // folder that only looks like a mount point.
  const std::string staging = ".pelorin-install-0F1E2D3C-4B5A-4697-8877-665544332211";
  fs::create_directories(apps / staging / kApp / "Contents");
  fs::create_directories(support / "mount-0f1e2d3c-4b5a-4697-8877-665544332211");

  ChildResult result;
  {
    auto stops = world.root / "stops";
    std::thread child([&] {
      result = runChild(PELORIN_INSTALLER_CHILD, {},
                        {{"ROOT", world.root.path().string()},
                         {"TOOLS", served().standIns.folder().string()},
                         {"CA", world.host.transfer.caFile},
                         {"CONNECT_TO", world.host.transfer.connectTo.at(0)},
                         {"STOPS", stops.string()},
                         {"STOP_AT", row.stopAt}});
    });
    pid_t pid = 0;
    std::string stop;
    for (int i = 0;
         i < 6000 && !(std::istringstream(fs::exists(stops) ? readFile(stops) : "") >> pid >> stop);
         ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(stop, row.stopAt);
    if (pid > 0 && row.atStop) row.atStop(world);
    if (pid > 0) ::kill(pid, row.atStop ? SIGCONT : SIGKILL);
    child.join();
  }
  EXPECT_EQ(result.out, row.childOutcome);
  EXPECT_EQ(world.versionAt(world.destination()), row.versionLeft);

  EXPECT_EQ(world.outcome(), "ok");
  EXPECT_EQ(world.versionAt(world.destination()), "2.0.0");
  EXPECT_THAT(mountsUnder(world.root.path()), IsEmpty());
  EXPECT_THAT(entriesStartingWith(apps, ""), ElementsAre(staging, kApp));
  EXPECT_THAT(entriesStartingWith(support, "mount-"),
              ElementsAre("mount-0f1e2d3c-4b5a-4697-8877-665544332211"));
}

INSTANTIATE_TEST_SUITE_P(EveryStage, InstallerProcess, ::testing::ValuesIn(kProcesses),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace PelorinInstaller
