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
    std::map<std::string, fs::path> apps;
    for (auto arch : {"arm64", "x64"}) {
      apps[arch] = folder / arch / kApp;
      PelorinRelease::makeSampleApp(apps[arch], *PelorinRelease::architectureNamed(arch));
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
    for (std::string version : {"1.0.0", "2.0.0", "3.0.0"}) {
      if (outcomeOf([&] { verify(host, app, version); }) == "ok") return version;
    }
    return "broken";
  }
  fs::path destination() const { return host.systemApplications / kApp; }
  fs::path lockFile() const { return host.supportFolder / "install.lock"; }
  fs::path image() const { return host.supportFolder / (served().sha256 + ".dmg"); }

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

// A shell script standing in for ditto.
void ditto(World& world, const std::string& body) {
  writeScript(world.root / "ditto", body);
  world.host.tools.ditto = world.root / "ditto";
}

// The permissions of `folder` and of each of its entries: "700 a 600 b 644".
std::string listing(const fs::path& folder) {
  std::ostringstream text;
  text << std::oct << int(fs::status(folder).permissions());
  for (const auto& name : entriesStartingWith(folder, "")) {
    text << ' ' << name << ' ' << int(fs::symlink_status(folder / name).permissions());
  }
  return text.str();
}

struct RunRow {
  const char* name;
  // The outcome, what is left of the image ("absent", "partial" or "whole") and the version at
  // the destination after the run.
  std::string expected;
  std::function<void(World&)> arrange;  // 2.0.0 is served before
  mode_t umask = 022;
  bool install = true;
};

// Free space in the folder a run must ask about, the destination's or, when only checking, the
// support folder: five images and half a gibibyte, and `more` bytes. None anywhere else.
std::function<void(World&)> space(std::int64_t more, bool install = true) {
  return [=](World& w) {
    auto asked = install ? w.host.systemApplications : w.host.supportFolder;
    auto enough = std::int64_t(served().image.size()) * 5 + 536'870'912 + more;
    w.host.availableCapacity = [=](const fs::path& folder) { return folder == asked ? enough : 0; };
  };
}

const RunRow kRuns[] = {
    {"ExactlyEnoughSpace", "ok absent 2.0.0", space(0)},
    // Only checking: nothing outside the support folder changes, the image stays, private.
    {"CheckOnly", "ok whole none",
     [](World& w) {
       space(0, false)(w);
       w.host.isRunning = [](std::string_view) -> bool { throw std::logic_error("asked"); };
     },
     0277, false},
    // A lock file an earlier version left read-only under this umask is this user's own.
    {"StrictUmaskAndAReadOnlyLock", "ok absent 2.0.0",
     [](World& w) {
       fs::create_directories(w.host.supportFolder);
       fs::permissions(w.host.supportFolder, fs::perms::owner_all);
       writeFile(w.lockFile(), "");
       fs::permissions(w.lockFile(), fs::perms::owner_read);
     },
     0277},
    {"OneByteTooLittleSpace", "noSpace absent none", space(-1)},
    {"OlderCopyReplaced", "ok absent 2.0.0", [](World& w) { w.installSample("1.0.0"); }},
    {"CancelledBeforeTheStart", "cancelled absent none", [](World& w) { w.token->cancel(); }},
    {"LockPathIsASymbolicLink", "busy absent none",
     [](World& w) {
       fs::create_directory(w.host.supportFolder);
       fs::create_symlink(w.root / "elsewhere", w.lockFile());
     }},
    {"ExistingCopyIsALink", "wrongApplication absent broken",
     [](World& w) {
       w.installSample("1.0.0");
       fs::rename(w.destination(), w.root / "elsewhere");
       fs::create_symlink(w.root / "elsewhere", w.destination());
     }},
    {"ExistingCopyIsNewer", "downgrade absent 3.0.0", [](World& w) { w.installSample("3.0.0"); }},
    {"ApplicationRunning", "appRunning absent none", [](World& w) { runningAnswers(w, {true}); }},
    {"DigestDiffers", "damagedDownload absent none",
     [](World& w) {
       auto damaged = served().image;
       damaged[damaged.size() / 2] ^= 1;
       w.distribution.server().route(served().imageURLPath, serveFile(damaged));
     }},
    {"CancelledWhileHashing", "cancelled whole none",
     [](World& w) { at(w, Phase::verifying, [&w] { w.token->cancel(); }); }},
    {"MountedBundleIsAnotherVersion", "wrongApplication whole none",
     [](World& w) {
       auto manifest = served().manifest;
       w.serve(manifest.replace(manifest.find("\"2.0.0\""), 7, "\"2.0.1\""));
     }},
    {"CopyFails", "ditto 7 whole none", [](World& w) { ditto(w, "exit 7"); }},
    {"StagedCopyChangedOnTheWay", "codesign 1 whole none",
     [](World& w) {
       ditto(w, "'" + w.host.tools.ditto + "' \"$@\" && echo changed >> \"$2/Contents/PkgInfo\"");
     }},
    {"AnotherApplicationAppearsBeforeTheCommit", "wrongApplication whole broken",
     [](World& w) {
       at(w, Phase::installing, [&w] { w.installSample("1.0.0", "com.example.other"); });
     }},
    {"ApplicationStartsBeforeTheCommit", "appRunning whole none",
     [](World& w) {
       runningAnswers(w, {false, true});
     }},
    {"CancelledBeforeTheCommit", "cancelled whole none",
     [](World& w) { runningAnswers(w, {}, [&w] { w.token->cancel(); }); }},
    // After the last check someone with write access to the folder moves the checked copy away
    // and puts a folder of their own in its place: the exchange takes theirs out, and it stays.
    {"SwappedBeforeTheCommit", "installConflict whole 2.0.0",
     [](World& w) {
       w.installSample("1.0.0");
       runningAnswers(w, {}, [&w] {
         fs::rename(w.destination(), w.root / "moved");
         writeFile(w.destination() / "notes.txt", "someone's data");
       });
     }},
    {"LinkAppearsBeforeTheCommit", "errno 17 whole broken",
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
  auto outside = [&] {
    auto items = snapshot(world.root.path());
    std::erase_if(items, [](const auto& item) { return item.first.starts_with("support"); });
    return items;
  };
  auto outsideBefore = outside();
  std::string outcome;
  {
    ScopedUmask umask(row.umask);
    outcome = world.outcome(row.install);
  }

  auto apps = world.host.systemApplications, support = world.host.supportFolder;
  auto staging = entriesStartingWith(apps, ".pelorin-install-");
  if (outcome == "installConflict") {  // the stranger's folder, kept where it was taken to
    ASSERT_EQ(staging.size(), 1u);
    EXPECT_EQ(readFile(apps / staging[0] / kApp / "notes.txt"), "someone's data");
    fs::rename(apps / staging[0], world.root / "kept");
  }
  // Whatever the end: nothing mounted, no mount point or staging folder, the lock free.
  EXPECT_EQ(mountsUnder(world.root.path()).size() + entriesStartingWith(support, "mount-").size() +
                entriesStartingWith(apps, ".pelorin-install-").size(),
            0u);
  EXPECT_TRUE(!fs::exists(world.lockFile()) || lockIsFree(world.lockFile()));
  auto image = world.image();
  auto left = fs::exists(fs::symlink_status(image)) ? readFile(image) : "absent";
  left = left == served().image             ? "whole"
         : served().image.starts_with(left) ? "partial"
         : left == "absent"                 ? left
                                            : "other";
  EXPECT_EQ(outcome + " " + left + " " + world.versionAt(world.destination()), row.expected);
  if (!row.install) {
    EXPECT_EQ(outside(), outsideBefore);
    EXPECT_EQ(fs::status(image).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  }
  if (!row.install || outcome != "ok") return;
  EXPECT_THAT(entriesStartingWith(apps, ""), ElementsAre(kApp));
  EXPECT_EQ(listing(support), "700 install.lock 600 latest.json 600");
  // Each phase once and in order; the download's fractions from 0 to 1, never going back.
  std::vector<std::string> phases;
  std::vector<double> fractions;
  for (auto [phase, fraction] : world.reports) {
    if (phases.empty() || phases.back() != name(phase)) phases.emplace_back(name(phase));
    if (fraction) fractions.push_back(*fraction);
  }
  EXPECT_THAT(phases, ElementsAre("preparing", "downloading", "verifying", "installing"));
  EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));
  ASSERT_FALSE(fractions.empty());
  EXPECT_EQ(std::pair(fractions.front(), fractions.back()), std::pair(0.0, 1.0));
}

INSTANTIATE_TEST_SUITE_P(EveryStep, InstallerRun, ::testing::ValuesIn(kRuns),
                         [](const auto& info) { return std::string(info.param.name); });

struct ProcessRow {
  const char* name;
  std::string stopAt;
  std::function<void(World&)> atStop;  // none: the child is killed there
  // What the child printed ("killed" when it was) and the version at the destination then.
  std::string expected;
};

const ProcessRow kProcesses[] = {
    {"KilledDuringTheDownload", "downloading", {}, "killed 1.0.0"},
    {"KilledAfterTheMount", "installing", {}, "killed 1.0.0"},
    {"KilledRightBeforeTheCommit", "before-commit", {}, "killed 1.0.0"},
    {"KilledRightAfterTheCommit", "after-commit", {}, "killed 2.0.0"},
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
     "ok 2.0.0"},
    // The installed copy exchanged for another while it is being checked the last time.
    {"CopyExchangedDuringItsLastCheck", "last-existing-check",
     [](World& world) {
       fs::rename(world.destination(), world.root / "moved");
       world.installSample("1.0.0");
     },
     "installConflict 1.0.0"},
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
  auto printed = result.signal ? "killed" : result.out.substr(0, result.out.find('\n'));
  EXPECT_EQ(printed + " " + world.versionAt(world.destination()), row.expected);

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
