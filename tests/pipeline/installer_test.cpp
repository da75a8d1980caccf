#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <InstallerCore/Distribution.hpp>
#include <PelorinBase/JoiningThread.hpp>
#include <PelorinRelease/Release.hpp>
#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>

#include "TestSupport.hpp"
#include "pipeline/Checks.hpp"
#include "pipeline/Installer.hpp"
#include "pipeline/StagingFolder.hpp"
#include "support/TestDistribution.hpp"
#include "support/TestProxy.hpp"

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
  std::vector<fs::path> untouched;  // folders that the run must leave exactly as they were
  std::unique_ptr<TestProxy> proxy;
  std::optional<std::vector<std::string>> tunnels;  // squid's results of the run's CONNECTs
  std::unique_ptr<RunningProgram> program;
  std::vector<std::pair<fs::path, bool>> present;  // what must, or must not, be there after
  std::optional<fs::path> outsideRoot;             // made outside the root by a faulty run
  std::function<void()> after;                     // checks once the run has ended
  PelorinBase::JoiningThread helper;
  ~World() {
    helper.join();
    std::error_code ignored;
    if (outsideRoot) fs::remove_all(*outsideRoot, ignored);
  }
};

// A folder with a file in it at `folder`, and the staging record's line that names it.
std::string recordedFolder(const fs::path& folder) {
  writeFile(folder / "data.txt", "someone's data");
  auto identity = *Folders::identityOf(folder);
  return std::to_string(identity.device) + " " + std::to_string(identity.inode) + " " +
         folder.string();
}

// The support folder as the installer makes it.
void makeSupport(World& w) {
  fs::create_directories(w.host.supportFolder);
  fs::permissions(w.host.supportFolder, fs::perms::owner_all);
}

// A support folder whose staging record names `victim`, a folder that is not the installer's.
void plantRecord(World& w, const fs::path& victim) {
  makeSupport(w);
  writeFile(w.host.supportFolder / "staging-folder", recordedFolder(victim));
  w.untouched.push_back(victim);
}

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

// A program running from `bundle` in Downloads, whose Info.plist names an identifier of this
// row's own, and the live running check asked about that identifier: no other test's program
// counts.
std::function<void(World&)> runningFrom(const std::string& bundle) {
  return [=](World& w) {
    auto app = w.root / "Downloads" / bundle;
    auto id = "com.pelorin-ai.code.test-" + std::to_string(::getpid());
    PelorinRelease::makeSampleApp(app, PelorinRelease::Architecture::arm64);
    PelorinRelease::setInfoKeys(app, {{"CFBundleIdentifier", id}});
    w.program = std::make_unique<RunningProgram>(app / "Contents/MacOS/sleep");
    w.host.isRunning = [live = Host::live().isRunning, id](std::string_view) { return live(id); };
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

// Every transfer through squid, which alone knows the host's name.
void throughProxy(World& w, std::optional<TestProxy::Credentials> credentials = {}) {
  w.proxy = std::make_unique<TestProxy>(credentials);
  auto& transfer = w.host.transfer;
  auto host = std::string(TestDistribution::host());
  transfer.connectTo = {host + ":443:" + host + ":" +
                        std::to_string(w.distribution.server().port())};
  transfer.proxy = [chosen = w.proxy->proxy(credentials.value_or(TestProxy::Credentials{}))](
                       const std::string&) { return chosen; };
}

// The first answer for the image breaks off halfway: that run fails with the part kept, and the
// run under test resumes the part.
void droppedDuringTheImage(World& w) {
  const auto half = served().image.size() / 2;
  w.distribution.server().route(
      served().imageURLPath, [half, answers = 0](const Request& request) mutable {
        auto reply = serveFile(served().image)(request);
        if (answers++ == 0)
          reply.dropAfter = half;
        else
          EXPECT_EQ(request.header("Range"), "bytes=" + std::to_string(half) + "-");
        return reply;
      });
  EXPECT_EQ(w.outcome(), "network 18");
  EXPECT_EQ(fs::file_size(w.image()), half);
  w.reports.clear();
}

// The image's first `bytes` in the support folder, the byte at `damaged` (if any) changed.
void keptImage(World& w, std::size_t bytes, std::optional<std::size_t> damaged = {}) {
  makeSupport(w);
  auto kept = served().image.substr(0, bytes);
  if (damaged) kept[*damaged] ^= 1;
  writeFile(w.image(), kept);
}

// Images in the support folder as other releases left them, and what only looks like one.
void otherImages(World& w, bool lookalikes = true) {
  auto support = w.host.supportFolder;
  auto digest = [](char c) { return std::string(64, c) + ".dmg"; };
  writeFile(support / digest('a'), served().image);
  writeFile(support / digest('b'), served().image.substr(0, 1000));
  for (char c : {'a', 'b'}) w.present.emplace_back(support / digest(c), false);
  if (!lookalikes) return;
  fs::create_directory(support / digest('c'));
  writeFile(support / digest('D'), "upper case");
  writeFile(support / "notes.dmg", "notes");
  for (auto name : {digest('c'), digest('D'), std::string("notes.dmg")}) {
    w.present.emplace_back(support / name, true);
  }
}

// The support folder renamed away and a link to an empty folder put in its place as the run
// begins; put back as it installs.
void supportExchangedForALink(World& w) {
  makeSupport(w);
  fs::create_directory(w.root / "elsewhere");
  w.untouched.push_back(w.root / "elsewhere");
  w.onReport = [&w](Phase phase, std::optional<double>) {
    auto support = w.host.supportFolder, moved = w.root / "moved";
    if (phase == Phase::preparing) {
      fs::rename(support, moved);
      fs::create_symlink(w.root / "elsewhere", support);
    } else if (phase == Phase::installing && fs::is_symlink(support)) {
      fs::remove(support);
      fs::rename(moved, support);
    }
  };
}

// No support folder yet, and the nearest folder on its way is another account's: root's run
// with a user's home, or a user's below the system's temporary folder.
void firstRunBelowAnotherAccountsFolder(World& w) {
  if (permissionsBind()) {
    w.outsideRoot = fs::path("/tmp") / ("pelorin-first-run-" + std::to_string(::getpid()));
    ASSERT_NE(fs::status("/tmp").permissions() & fs::perms::others_write, fs::perms::none);
    w.host.supportFolder = *w.outsideRoot / ".local/share/com.pelorin-ai.code.installer";
    w.present.emplace_back(*w.outsideRoot, false);
  } else {
    auto home = w.root / "user";
    fs::create_directory(home);
    ASSERT_EQ(::lchown(home.c_str(), 65534, 65534), 0);
    w.host.supportFolder = home / ".local/share/com.pelorin-ai.code.installer";
    w.untouched.push_back(home);
  }
}

// The two codesign checks and the assessment of the mounted bundle held until a cancel, which
// comes once all three run: the run ends within the cancel limit, and every tool with it.
void cancelledWhileThreeToolsRun(World& w) {
  const auto pids = w.root / "pids";
  for (auto* tool : {&w.host.tools.codesign, &w.host.tools.spctl}) {
    *tool = (w.root / fs::path(*tool).filename()).string();
    writeScript(*tool, "echo $$ >> '" + pids.string() + "'\nexec sleep 60\n");
  }
  auto cancelled = std::make_shared<std::chrono::steady_clock::time_point>();
  w.helper = PelorinBase::JoiningThread([&w, pids, cancelled] {
    const auto running = [&] {
      return fs::exists(pids) && std::ranges::count(readFile(pids), '\n') == 3;
    };
    eventually(running, std::chrono::seconds(30));
    *cancelled = std::chrono::steady_clock::now();
    w.token->cancel();
  });
  w.after = [&w, pids, cancelled] {
    w.helper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - *cancelled, std::chrono::seconds(4));
    std::istringstream listed(readFile(pids));
    for (pid_t pid; listed >> pid;) EXPECT_NE(::kill(pid, 0), 0) << pid << " still runs";
  };
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

// The manifest names 2.0.1 for the image of 2.0.0: only the mounted bundle's check can tell.
void anotherVersionServed(World& w) {
  auto manifest = served().manifest;
  w.serve(manifest.replace(manifest.find("\"2.0.0\""), 7, "\"2.0.1\""));
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
       makeSupport(w);
       writeFile(w.lockFile(), "");
       fs::permissions(w.lockFile(), fs::perms::owner_read);
     },
     0277},
    {"OneByteTooLittleSpace", "noSpace absent none", space(-1)},
    {"OlderCopyReplaced", "ok absent 2.0.0", [](World& w) { w.installSample("1.0.0"); }},
    {"ResumedAfterTheConnectionDropped", "ok absent 2.0.0", droppedDuringTheImage},
    // The image comes through the manifest's tunnel, made once the credentials were asked for.
    {"OneTunnelThroughAProxyThatAsksForCredentials", "ok absent 2.0.0",
     [](World& w) {
       throughProxy(w, TestProxy::Credentials{"tester", "s3cret"});
       w.tunnels = {"TCP_DENIED/407", "TCP_TUNNEL/200"};
     }},
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
    // The product's bundle, found whatever the letter case of its name, as the Mac's volumes
    // compare names; a bundle of another name is not even read.
    {"ApplicationRunning", "appRunning absent none", runningFrom("pelorin code.app")},
    {"AnotherBundleWithTheIdentifierRuns", "ok absent 2.0.0", runningFrom("Pelorin Code 2.app")},
    {"DigestDiffers", "damagedDownload absent none",
     [](World& w) {
       auto damaged = served().image;
       damaged[damaged.size() / 2] ^= 1;
       w.distribution.server().route(served().imageURLPath, serveFile(damaged));
     }},
    // What an earlier run left: the digest check judges the bytes on disk.
    {"WholeButDamagedBeforeTheRun", "damagedDownload absent none",
     [](World& w) { keptImage(w, served().image.size(), 1000); }},
    {"CancelledWhileHashing", "cancelled whole none",
     [](World& w) { at(w, Phase::verifying, [&w] { w.token->cancel(); }); }},
    {"CancelledWhileThreeToolsRun", "cancelled whole none", cancelledWhileThreeToolsRun},
    {"MountedBundleIsAnotherVersion", "wrongApplication whole none", anotherVersionServed},
    {"MountedBundleIsAnotherVersionWhenOnlyChecking", "wrongApplication whole none",
     anotherVersionServed, 022, false},
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
    // `sudo` keeping HOME: root's run in the user's support folder, or a user's run in root's,
    // ends before it locks, writes or removes anything, whatever the record there names.
    {"SupportFolderOfAnotherAccount", "errno 13 absent none",
     [](World& w) {
       if (!permissionsBind()) {
         plantRecord(w, w.root / "victim");
         for (const auto& item : {w.host.supportFolder, w.host.supportFolder / "staging-folder"}) {
           ASSERT_EQ(::lchown(item.c_str(), 65534, 65534), 0);
         }
         w.untouched.push_back(w.host.supportFolder);
       } else {
         w.host.supportFolder = "/";
       }
     }},
    {"SupportFolderWritableByOthers", "errno 13 absent none",
     [](World& w) {
       plantRecord(w, w.root / "victim");
       fs::permissions(w.host.supportFolder, fs::perms::all);
       w.untouched.push_back(w.host.supportFolder);
     }},
    {"SupportFolderExchangedForALink", "ok absent 2.0.0", supportExchangedForALink},
    {"FirstRunBelowAnotherAccountsFolder", "errno 13 absent none",
     firstRunBelowAnotherAccountsFolder},
    // Images of releases no longer offered go once the manifest is in, before the space is
    // checked; the current one stays to be resumed.
    {"OtherImagesGoBeforeTheSpaceCheck", "noSpace partial none",
     [](World& w) {
       space(-1)(w);
       keptImage(w, served().image.size() / 2);
       otherImages(w);
     }},
    {"OtherImagesGoAndTheCurrentOneIsResumed", "ok absent 2.0.0",
     [](World& w) {
       keptImage(w, served().image.size() / 2);
       otherImages(w, false);
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
  std::vector<std::map<std::string, std::string>> untouchedBefore;
  for (const auto& folder : world.untouched) untouchedBefore.push_back(snapshot(folder));
  std::string outcome;
  {
    ScopedUmask umask(row.umask);
    outcome = world.outcome(row.install);
  }
  if (world.after) world.after();

  for (std::size_t i = 0; i < world.untouched.size(); ++i) {
    EXPECT_EQ(snapshot(world.untouched[i]), untouchedBefore[i]) << world.untouched[i];
  }
  for (const auto& [item, there] : world.present) {
    EXPECT_EQ(fs::exists(fs::symlink_status(item)), there) << item;
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
  if (world.tunnels) {  // squid logs a tunnel once it closes
    EXPECT_TRUE(eventually([&] { return world.proxy->tunnels() == *world.tunnels; }))
        << world.proxy->accessLog();
  }
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

// A support folder with a staging record and the two applications folders that may hold what it
// names.
struct RecordWorld {
  TemporaryFolder root;
  fs::path record = root / "support" / "staging-folder", apps = root / "Applications",
           userApps = root / "home" / "Applications";
  std::optional<AttachedImage> mounted;  // keeps a folder busy while the record is read
  RecordWorld() {
    for (const auto& folder : {record.parent_path(), apps, userApps})
      fs::create_directories(folder);
  }
  // What is left of each folder: "gone" or "kept", then the record's line count or "none".
  std::string removeRecorded(const std::vector<fs::path>& folders) {
    StagingFolder::removeRecorded(record, {apps, userApps});
    std::string left;
    for (const auto& folder : folders) left += fs::exists(folder) ? "kept " : "gone ";
    if (!fs::exists(fs::symlink_status(record))) return left + "none";
    auto text = readFile(record);
    return left + std::to_string(std::count(text.begin(), text.end(), '\n'));
  }
};

const std::string kStagingName = ".pelorin-install-0F1E2D3C-4B5A-4697-8877-665544332211";

// A record at another name, which the record's name reaches by `link`.
std::function<std::vector<fs::path>(RecordWorld&)> recordReachedBy(void (*link)(const fs::path&,
                                                                                const fs::path&)) {
  return [link](RecordWorld& w) {
    writeFile(w.root / "other", recordedFolder(w.apps / kStagingName));
    link(w.root / "other", w.record);
    return std::vector{w.apps / kStagingName, w.root / "other"};
  };
}

struct RecordRow {
  const char* name;
  // Plants folders and the record; returns the folders, whose fate is then reported in order.
  std::function<std::vector<fs::path>(RecordWorld&)> arrange;
  std::string expected;
  bool mounts = false;
};

const RecordRow kRecords[] = {
    {"AKilledRunsFolderInEitherApplicationsFolder",
     [](RecordWorld& w) {
       auto first = w.apps / kStagingName, second = w.userApps / kStagingName;
       writeFile(w.record, recordedFolder(first) + "\n" + recordedFolder(second) + "\n");
       return std::vector{first, second};
     },
     "gone gone none"},
    {"AFolderMadeButNotYetIdentified",
     [](RecordWorld& w) {
       fs::create_directory(w.apps / kStagingName);
       writeFile(w.record, (w.apps / kStagingName).string() + "\n");
       return std::vector{w.apps / kStagingName};
     },
     "gone none"},
    // Only a staging folder's name directly in an applications folder is ever removed.
    {"TheInstalledApplication",
     [](RecordWorld& w) {
       writeFile(w.record, recordedFolder(w.apps / kApp));
       return std::vector{w.apps / kApp};
     },
     "kept none"},
    {"AStagingNameElsewhere",
     [](RecordWorld& w) {
       auto elsewhere = w.root / "elsewhere" / kStagingName, below = w.apps / "sub" / kStagingName;
       std::string lines = recordedFolder(elsewhere) + "\n";
       lines += recordedFolder(below) + "\n";
       lines += recordedFolder(w.apps / "sub" / ".." / ".." / "elsewhere" / kStagingName);
       writeFile(w.record, lines);
       return std::vector{elsewhere, below};
     },
     "kept kept none"},
    {"AnotherFolderNowAtTheName",
     [](RecordWorld& w) {
       auto line = recordedFolder(w.apps / kStagingName);
       fs::rename(w.apps / kStagingName, w.root / "moved");
       fs::create_directories(w.apps / kStagingName);
       writeFile(w.record, line);
       return std::vector{w.apps / kStagingName, w.root / "moved"};
     },
     "kept kept none"},
    // A record with a second name, or a link, may lead to another file: its name goes unread.
    {"ARecordWithTwoNames", recordReachedBy(fs::create_hard_link), "kept kept none"},
    {"ALinkToARecord", recordReachedBy(fs::create_symlink), "kept kept none"},
    {"AnotherAccountsRecord",
     [](RecordWorld& w) {
       writeFile(w.record, recordedFolder(w.apps / kStagingName));
       if (!permissionsBind()) {
         EXPECT_EQ(::lchown(w.record.c_str(), 65534, 65534), 0);
       }
       return std::vector{w.apps / kStagingName};
     },
     permissionsBind() ? "gone none" : "kept none"},
    // Left by someone at the record's name: removed.
    {"RecordIsAFolder",
     [](RecordWorld& w) {
       fs::create_directory(w.record);
       return std::vector<fs::path>{};
     },
     "none"},
    // A folder that cannot be removed yet (an image is mounted in it) stays recorded.
    {"AFolderStillBusy",
     [](RecordWorld& w) {
       auto busy = w.apps / kStagingName, done = w.userApps / kStagingName;
       writeFile(w.record, recordedFolder(done) + "\n" + recordedFolder(busy));
       writeFile(w.root / "tree" / "file", "mounted");
       packFolder(w.root / "tree", w.root / "image.sqfs");
       w.mounted.emplace(served().standIns.tools(), w.root / "image.sqfs", busy / "mounted");
       return std::vector{done, busy};
     },
     "gone kept 1", true},
};

void PrintTo(const RecordRow& row, std::ostream* out) { *out << row.name; }

class StagingRecord : public ::testing::TestWithParam<RecordRow> {};

TEST_P(StagingRecord, RemovesOnlyTheInstallersOwnStagingFolders) {
  if (auto why = GetParam().mounts ? fuseUnavailable() : std::nullopt) GTEST_SKIP() << *why;
  RecordWorld world;
  auto folders = GetParam().arrange(world);
  EXPECT_EQ(world.removeRecorded(folders), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(EveryRecord, StagingRecord, ::testing::ValuesIn(kRecords),
                         [](const auto& info) { return std::string(info.param.name); });

struct ProcessRow {
  const char* name;
  std::string stopAt;
  std::function<void(World&)> atStop;  // none: the child is killed there
  // What the child printed ("killed" when it was), the version at the destination and the
  // number of images mounted then.
  std::string expected;
  std::string fail = {};  // a failure the child meets on its way (installer_child's FAIL)
};

const ProcessRow kProcesses[] = {
    {"KilledDuringTheDownload", "downloading", {}, "killed 1.0.0 0"},
    {"KilledAfterTheMount", "installing", {}, "killed 1.0.0 1"},
    {"KilledRightBeforeTheCommit", "before-commit", {}, "killed 1.0.0 1"},
    {"KilledRightAfterTheCommit", "after-commit", {}, "killed 2.0.0 1"},
    // The copy tool goes with the run; the record of its folder is whole at every instant.
    {"KilledDuringTheCopy", "copying", {}, "killed 1.0.0 1"},
    {"KilledWhileTheRecordIsRewritten", "record-rewritten", {}, "killed 1.0.0 1"},
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
     "ok 2.0.0 0"},
    // The installed copy exchanged for another while it is being checked the last time.
    {"CopyExchangedDuringItsLastCheck", "last-existing-check",
     [](World& world) {
       fs::rename(world.destination(), world.root / "moved");
       world.installSample("1.0.0");
     },
     "installConflict 1.0.0 0"},
    // The disk fails once the new copy is in: the run is done, and the copy that came out of the
    // exchange stays recorded for the next run to remove.
    {"SwappedOutCopyUnreadable", "", {}, "ok 2.0.0 0", "swapped-out-copy"},
    // A detach that cannot be started once is started again.
    {"DetachCannotStartOnce", "", {}, "ok 2.0.0 0", "detach-launch"},
};

void PrintTo(const ProcessRow& row, std::ostream* out) { *out << row.name; }

class InstallerProcess : public ::testing::TestWithParam<ProcessRow> {};

// A killed installer takes the tool it was running with it, so that the next run's clean-up does
// not race a tool still writing.
TEST(Launcher, ToolEndsWithTheProcessThatLaunchedIt) {
  // The orphaned tool becomes this process's child: it can be waited for and is never left behind.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  // The tool reports its process identifier, kills the launcher that runs it and sleeps on.
  const auto launcher = runChild(
      PELORIN_LAUNCH_TOOL, {"/bin/sh", "-c", "echo $$; kill -KILL $PPID; exec /bin/sleep 60"}, {});
  EXPECT_EQ(launcher.signal, SIGKILL);
  const pid_t tool = std::stoi(launcher.out);
  int status = 0, ended = 0;
  eventually([&] { return (ended = waitpid(tool, &status, WNOHANG)) != 0; });
  if (ended == 0) {
    kill(tool, SIGKILL);
    waitpid(tool, nullptr, 0);
  }
  prctl(PR_SET_CHILD_SUBREAPER, 0);
  EXPECT_EQ(ended != tool         ? "still running"
            : WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                  : "exited",
            "signal 9");
}

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
  fs::create_directories(apps / kStagingName / kApp / "Contents");
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
                         {"STOP_AT", row.stopAt},
                         {"FAIL", row.fail}});
    });
    pid_t pid = 0;
    std::string stop;
    for (int i = 0; i < 6000 && !row.stopAt.empty() &&
                    !(std::istringstream(fs::exists(stops) ? readFile(stops) : "") >> pid >> stop);
         ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(stop, row.stopAt);
    if (pid > 0 && row.atStop) row.atStop(world);
    if (pid > 0) ::kill(pid, row.atStop ? SIGCONT : SIGKILL);
    child.join();
  }
  auto printed = result.signal ? "killed" : result.out.substr(0, result.out.find('\n'));
  EXPECT_EQ(printed + " " + world.versionAt(world.destination()) + " " +
                std::to_string(mountsUnder(world.root.path()).size()),
            row.expected);

  EXPECT_EQ(world.outcome(), "ok");
  EXPECT_EQ(world.versionAt(world.destination()), "2.0.0");
  EXPECT_THAT(mountsUnder(world.root.path()), IsEmpty());
  EXPECT_THAT(entriesStartingWith(apps, ""), ElementsAre(kStagingName, kApp));
  EXPECT_THAT(entriesStartingWith(support, "mount-"),
              ElementsAre("mount-0f1e2d3c-4b5a-4697-8877-665544332211"));
}

INSTANTIATE_TEST_SUITE_P(EveryStage, InstallerProcess, ::testing::ValuesIn(kProcesses),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace PelorinInstaller
