#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <InstallerCore/Distribution.hpp>
#include <atomic>
#include <chrono>
#include <thread>

#include "installer_world.hpp"
#include "pipeline/Checks.hpp"
#include "pipeline/Command.hpp"
#include "pipeline/NetworkError.hpp"

namespace PelorinInstaller::Testing {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Reports = std::vector<std::pair<Phase, std::optional<double>>>;

constexpr std::int64_t kSpare = 536'870'912;

// The error a frozen folder gives to whoever tries to add to it.
std::string frozenError() { return geteuid() == 0 ? "errno 1" : "errno 13"; }

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  auto at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// What every run leaves, whatever its end: no image mounted, no mount point, no staging folder,
// and the lock free for the next run.
void expectNothingLeftBehind(World& world, bool checkStaging = true) {
  EXPECT_THAT(mountsUnder(world.root.path()), IsEmpty());
  EXPECT_THAT(entriesStartingWith(world.host.supportFolder, "mount-"), IsEmpty());
  for (const auto& folder : {world.host.systemApplications, world.host.userApplications}) {
    if (!checkStaging) break;
    EXPECT_THAT(entriesStartingWith(folder, ".pelorin-install-"), IsEmpty()) << folder;
  }
  if (fs::exists(world.lockFile())) {
    EXPECT_TRUE(lockIsFree(world.lockFile()));
  }
}

class InstallerRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto why = PelorinTesting::fuseUnavailable()) GTEST_SKIP() << *why;
  }
};

TEST_F(InstallerRun, FreshInstallReportsEachPhaseAndKeepsOnlyTheBundle) {
  World world;
  auto release = world.publish("2.0.0");
  world.serve(release);

  EXPECT_EQ(world.run(true), world.destination());

  EXPECT_EQ(world.versionAt(world.destination(), {"2.0.0"}), "2.0.0");
  EXPECT_FALSE(fs::exists(world.imageOf(release)));
  EXPECT_THAT(entriesStartingWith(world.host.supportFolder, ""),
              ElementsAre("install.lock", "latest.json"));
  EXPECT_THAT(entriesStartingWith(world.host.systemApplications, ""),
              ElementsAre("Pelorin Code.app"));
  EXPECT_EQ(fs::status(world.host.supportFolder).permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(world.lockFile()).permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
  expectNothingLeftBehind(world);

  auto reports = world.reports();
  ASSERT_GE(reports.size(), 5u);
  EXPECT_EQ(reports[0], std::pair(Phase::preparing, std::optional<double>()));
  EXPECT_EQ(reports[1], std::pair(Phase::downloading, std::optional<double>(0.0)));
  double last = 0;
  for (std::size_t i = 2; i + 2 < reports.size(); ++i) {
    EXPECT_EQ(reports[i].first, Phase::downloading);
    ASSERT_TRUE(reports[i].second);
    EXPECT_GE(*reports[i].second, last);
    last = *reports[i].second;
  }
  EXPECT_EQ(last, 1.0);
  EXPECT_EQ(reports[reports.size() - 2], std::pair(Phase::verifying, std::optional<double>()));
  EXPECT_EQ(reports.back(), std::pair(Phase::installing, std::optional<double>()));
}

TEST_F(InstallerRun, UnderAStrictUmaskWhatTheRunMakesIsPrivateAndUsableByTheNextRun) {
  World world;
  auto older = world.publish("1.0.0");
  auto newer = world.publish("2.0.0");
  // As an earlier version left it under this umask: read-only, so every run was busy.
  fs::create_directory(world.host.supportFolder);
  writeFile(world.lockFile(), "");
  fs::permissions(world.lockFile(), fs::perms::owner_read);
  PelorinTesting::ScopedUmask strict(0277);
  const auto privateFile = fs::perms::owner_read | fs::perms::owner_write;

  world.serve(older);
  EXPECT_EQ(world.outcome(false), "ok");
  EXPECT_EQ(fs::status(world.imageOf(older)).permissions(), privateFile);
  EXPECT_EQ(fs::status(world.host.supportFolder / "latest.json").permissions(), privateFile);
  for (const auto& release : {older, newer}) {
    world.serve(release);
    EXPECT_EQ(world.outcome(true), "ok") << release.version;
    EXPECT_EQ(fs::status(world.lockFile()).permissions(), privateFile);
  }
  EXPECT_EQ(world.versionAt(world.destination(), {"2.0.0"}), "2.0.0");
  expectNothingLeftBehind(world);
}

TEST_F(InstallerRun, ReplacesAnOlderCopyAndReinstallsTheSameVersion) {
  World world;
  auto older = world.publish("1.0.0");
  auto newer = world.publish("2.0.0");
  world.serve(older);
  world.run(true);
  ASSERT_EQ(world.versionAt(world.destination(), {"1.0.0"}), "1.0.0");

  world.serve(newer);
  world.run(true);
  EXPECT_EQ(world.versionAt(world.destination(), {"2.0.0"}), "2.0.0");
  EXPECT_THAT(entriesStartingWith(world.host.systemApplications, ""),
              ElementsAre("Pelorin Code.app"));

  auto before = world.distribution.server().bodyBytesSent();
  world.run(true);
  EXPECT_EQ(world.versionAt(world.destination(), {"2.0.0"}), "2.0.0");
  EXPECT_GE(world.distribution.server().bodyBytesSent() - before,
            static_cast<std::int64_t>(newer.image.size()));
  EXPECT_FALSE(fs::exists(world.imageOf(newer)));
  expectNothingLeftBehind(world);
}

TEST_F(InstallerRun, CheckOnlyReturnsTheImageAndChangesNothingOutsideTheSupportFolder) {
  World world;
  auto release = world.publish("2.0.0");
  world.serve(release);
  // A killed run's staging folder: only an install may remove it.
  fs::create_directories(world.host.systemApplications /
                         ".pelorin-install-0F1E2D3C-4B5A-4697-8877-665544332211" /
                         "Pelorin Code.app");
  bool askedWhetherRunning = false;
  world.host.isRunning = [&](std::string_view) { return askedWhetherRunning = true; };
  std::vector<fs::path> capacityAskedFor;
  world.host.availableCapacity = [&](const fs::path& folder) {
    capacityAskedFor.push_back(folder);
    return std::optional<std::int64_t>();
  };
  auto outside = [&] {
    auto items = snapshot(world.root.path());
    std::erase_if(items, [](const auto& item) { return item.first.starts_with("support"); });
    return items;
  };
  auto before = outside();

  EXPECT_EQ(world.run(false), world.imageOf(release));

  EXPECT_EQ(PelorinTesting::readFile(world.imageOf(release)), release.image);
  EXPECT_EQ(outside(), before);
  EXPECT_FALSE(askedWhetherRunning);
  EXPECT_THAT(capacityAskedFor, ElementsAre(world.host.supportFolder));
  EXPECT_NE(world.reports().back().first, Phase::installing);
  expectNothingLeftBehind(world, false);
}

// What a failed run leaves of the disk image.
enum class Image { absent, partial, whole, any };

struct FailureRow {
  const char* name;
  std::function<void(World&, const Release&)> arrange;
  std::function<std::string()> error;
  Image image;
};

std::function<std::string()> is(std::string text) {
  return [text] { return text; };
}

// Each new call to isRunning answers the next value; the action runs on the second call.
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

const std::string kManifestPath = "/desktop-releases/installer/stable/latest.json";

const FailureRow kFailures[] = {
    {"SupportFolderCannotBeMade",
     [](World& world, const Release&) {
       writeFile(world.root.path() / "file", "");
       world.host.supportFolder = world.root.path() / "file" / "support";
     },
     is("errno 20"), Image::any},
    {"ManifestMissing", [](World&, const Release&) {}, is("invalidResponse"), Image::absent},
    {"ManifestUnreadable",
     [](World& world, const Release& release) {
       // Once the download has its file open, a folder takes the file's place.
       auto support = world.host.supportFolder;
       auto text = release.manifest;
       world.distribution.server().route(kManifestPath, [support, text](const auto&) {
         fs::rename(support / "latest.json", support / "moved.json");
         fs::create_directory(support / "latest.json");
         PelorinTesting::Reply reply;
         reply.body = text;
         return reply;
       });
     },
     is("errno 21"), Image::absent},
    {"ManifestInvalid",
     [](World& world, const Release& release) {
       world.serve(release, replaced(release.manifest, "\"com.pelorin-ai.code\"",
                                     "\"com.pelorin-ai.Code\""));
     },
     is("invalidManifest"), Image::absent},
    {"ManifestNotJSON",
     [](World& world, const Release& release) { world.serve(release, "{\"schemaVersion\": 1"); },
     is("json"), Image::absent},
    {"SystemTooOld",
     [](World& world, const Release& release) {
       world.serve(release);
       world.host.system = {12, 7, 6};
     },
     is("unsupportedSystem"), Image::absent},
    {"ExistingFolderNotWritable",
     [](World& world, const Release& release) {
       world.serve(release);
       world.installSample("1.0.0");
       setFolderFrozen(world.host.systemApplications, true);
     },
     is("errno 13"), Image::absent},
    {"UserFolderCannotBeMade",
     [](World& world, const Release& release) {
       world.serve(release);
       fs::remove(world.host.systemApplications);
       writeFile(world.root.path() / "home", "");
     },
     is("errno 20"), Image::absent},
    {"ExistingCopyIsAnotherApplication",
     [](World& world, const Release& release) {
       world.serve(release);
       world.installSample("1.0.0", "com.example.other");
     },
     is("wrongApplication"), Image::absent},
    {"ExistingCopyIsNewer",
     [](World& world, const Release& release) {
       world.serve(release);
       world.installSample("3.0.0");
     },
     is("downgrade"), Image::absent},
    {"ApplicationRunning",
     [](World& world, const Release& release) {
       world.serve(release);
       runningAnswers(world, {true});
     },
     is("appRunning"), Image::absent},
    {"CapacityUnreadable",
     [](World& world, const Release& release) {
       world.serve(release);
       world.host.availableCapacity = [](const fs::path& folder) -> std::optional<std::int64_t> {
         throw fs::filesystem_error("statvfs", folder, std::make_error_code(std::errc::io_error));
       };
     },
     is("errno 5"), Image::absent},
    {"NotEnoughSpace",
     [](World& world, const Release& release) {
       world.serve(release);
       world.host.availableCapacity = [](const fs::path&) {
         return std::optional<std::int64_t>(0);
       };
     },
     is("noSpace"), Image::absent},
    {"ImageMissing",
     [](World& world, const Release& release) { world.serveManifest(release.manifest); },
     is("invalidResponse"), Image::absent},
    {"ImageDroppedHalfWay",
     [](World& world, const Release& release) {
       world.serve(release);
       auto image = release.image;
       world.distribution.server().route(release.imageURLPath, [image](const auto&) {
         PelorinTesting::Reply reply;
         reply.body = image;
         reply.pieceSize = 1024;
         reply.dropAfter = image.size() / 2;
         return reply;
       });
     },
     is("network 18"), Image::partial},
    {"ImageUnreadable",
     [](World& world, const Release& release) {
       world.serve(release);
       auto image = world.imageOf(release);
       auto bytes = release.image;
       world.distribution.server().route(release.imageURLPath, [image, bytes](const auto&) {
         fs::rename(image, image.string() + ".moved");
         fs::create_directory(image);
         PelorinTesting::Reply reply;
         reply.body = bytes;
         return reply;
       });
     },
     is("errno 21"), Image::any},
    {"DigestDiffers",
     [](World& world, const Release& release) {
       auto damaged = release;
       damaged.image[damaged.image.size() / 2] ^= 1;
       world.serve(damaged);
     },
     is("damagedDownload"), Image::absent},
    {"CancelledWhileHashing",
     [](World& world, const Release& release) {
       world.serve(release);
       auto token = world.token;
       at(world, Phase::verifying, [token] { token->cancel(); });
     },
     is("cancelled"), Image::whole},
    {"MountPointCannotBeMade",
     [](World& world, const Release& release) {
       world.serve(release);
       auto support = world.host.supportFolder;
       at(world, Phase::verifying, [support] { setFolderFrozen(support, true); });
     },
     frozenError, Image::whole},
    {"AttachFails",
     [](World& world, const Release& release) {
       // An image with the right digest that is no disk image at all.
       auto blob = std::string(4096, 'x');
       PelorinRelease::Artifact artifact{
           PelorinRelease::artifactURL(InstallerCore::Distribution::host(), "2.0.0", "arm64"),
           hash([&] {
             writeFile(world.root.path() / "blob", blob);
             return world.root.path() / "blob";
           }()),
           static_cast<std::int64_t>(blob.size())};
       auto x64 = artifact;
       x64.url = PelorinRelease::artifactURL(InstallerCore::Distribution::host(), "2.0.0", "x64");
       world.serveManifest(
           PelorinRelease::manifestText("2.0.0", "13.0.0", {{"arm64", artifact}, {"x64", x64}}));
       world.distribution.server().route(release.imageURLPath, PelorinTesting::serveFile(blob));
     },
     is("hdiutil 1"), Image::any},
    {"MountedBundleIsAnotherVersion",
     [](World& world, const Release& release) {
       world.serve(release, replaced(release.manifest, "\"2.0.0\"", "\"2.0.1\""));
     },
     is("wrongApplication"), Image::whole},
    {"StagingFolderCannotBeMade",
     [](World& world, const Release& release) {
       world.serve(release);
       auto applications = world.host.systemApplications;
       at(world, Phase::installing, [applications] { setFolderFrozen(applications, true); });
     },
     frozenError, Image::whole},
    {"CopyFails",
     [](World& world, const Release& release) {
       world.serve(release);
       fs::create_directory(world.root.path() / "failing");
       writeScript(world.root.path() / "failing" / "ditto", "exit 7\n");
       world.host.tools.ditto = (world.root.path() / "failing" / "ditto").string();
     },
     is("ditto 7"), Image::whole},
    {"StagedCopyRefused",
     [](World& world, const Release& release) {
       world.serve(release);
       // A copy that is not faithful: one sealed file changes on the way.
       fs::create_directory(world.root.path() / "careless");
       writeScript(world.root.path() / "careless" / "ditto",
                   "'" + world.host.tools.ditto +
                       "' \"$@\" && echo changed >> \"$2/Contents/Resources/greeting.txt\"\n");
       world.host.tools.ditto = (world.root.path() / "careless" / "ditto").string();
     },
     is("codesign 1"), Image::whole},
    {"AnotherApplicationAppearsBeforeTheCommit",
     [](World& world, const Release& release) {
       world.serve(release);
       at(world, Phase::installing,
          [&world] { world.installSample("1.0.0", "com.example.other"); });
     },
     is("wrongApplication"), Image::whole},
    {"ApplicationStartsBeforeTheCommit",
     [](World& world, const Release& release) {
       world.serve(release);
       runningAnswers(world, {false, true});
     },
     is("appRunning"), Image::whole},
    {"CancelledBeforeTheCommit",
     [](World& world, const Release& release) {
       world.serve(release);
       auto token = world.token;
       at(world, Phase::installing, [token] { token->cancel(); });
     },
     is("cancelled"), Image::whole},
    {"CommitRefused",
     [](World& world, const Release& release) {
       world.serve(release);
       // A dangling link appears after the last check: the rename must not overwrite it.
       auto destination = world.destination();
       runningAnswers(world, {false, false},
                      [destination] { fs::create_symlink("nowhere", destination); });
     },
     is("errno 17"), Image::whole},
};

void PrintTo(const FailureRow& row, std::ostream* out) { *out << row.name; }

class InstallerFailure : public InstallerRun, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(InstallerFailure, ThrowsAfterUndoingWhatTheRunMade) {
  const auto& row = GetParam();
  World world;
  auto release = world.publish("2.0.0");
  row.arrange(world, release);
  auto applicationsBefore = snapshot(world.host.systemApplications);

  EXPECT_EQ(world.outcome(true), row.error());

  setFolderFrozen(world.host.systemApplications, false);
  if (fs::is_directory(world.host.supportFolder)) setFolderFrozen(world.host.supportFolder, false);
  expectNothingLeftBehind(world);
  auto image = world.imageOf(release);
  switch (row.image) {
    case Image::absent:
      EXPECT_FALSE(fs::exists(fs::symlink_status(image)));
      break;
    case Image::partial:
      ASSERT_TRUE(fs::is_regular_file(image));
      EXPECT_GT(fs::file_size(image), 0u);
      EXPECT_LT(fs::file_size(image), release.image.size());
      break;
    case Image::whole:
      EXPECT_EQ(PelorinTesting::readFile(image), release.image);
      break;
    case Image::any:
      break;
  }
  if (std::string(row.name) != "AnotherApplicationAppearsBeforeTheCommit" &&
      std::string(row.name) != "CommitRefused") {
    EXPECT_EQ(snapshot(world.host.systemApplications), applicationsBefore);
  }
}

INSTANTIATE_TEST_SUITE_P(EveryStep, InstallerFailure, ::testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(InstallerRun, WhatAnotherAccountSwapsInBeforeTheCommitIsKept) {
  World world;
  world.installSample("1.0.0");
  world.serve(world.publish("2.0.0"));
  auto destination = world.destination();
  // After the last check of the installed copy, someone with write access to the folder moves
  // it away and puts a folder of their own in its place.
  auto moved = world.root.path() / "moved";
  runningAnswers(world, {false, false}, [=] {
    fs::rename(destination, moved);
    fs::create_directory(destination);
    writeFile(destination / "notes.txt", "someone's data");
  });

  EXPECT_EQ(world.outcome(true), "installConflict");

  auto staging = entriesStartingWith(world.host.systemApplications, ".pelorin-install-");
  ASSERT_EQ(staging.size(), 1u);
  EXPECT_EQ(readFile(world.host.systemApplications / staging[0] / "Pelorin Code.app" / "notes.txt"),
            "someone's data");
  // A later run leaves it alone too.
  EXPECT_EQ(world.outcome(true), "ok");
  EXPECT_EQ(entriesStartingWith(world.host.systemApplications, ".pelorin-install-"), staging);
}

TEST_F(InstallerRun, RemovesWhatAKilledRunLeftAndNothingElse) {
  World world;
  auto release = world.publish("2.0.0");
  world.serve(release);
  world.installSample("1.0.0");
  auto support = world.host.supportFolder;
  auto apps = world.host.systemApplications;
  fs::create_directory(support);
  // Left by a killed run: an attached image, an empty mount point. (Its recorded staging folder
  // is the crash tests' business.)
  const std::string uuid = "0F1E2D3C-4B5A-4697-8877-665544332211";
  fs::create_directory(support / ("mount-" + uuid));
  writeFile(world.root.path() / "old.dmg", release.image);
  Command::run(world.host.tools.hdiutil,
               {"attach", "-readonly", "-nobrowse", "-noautoopen", "-noautofsck", "-mountpoint",
                (support / ("mount-" + uuid)).string(), (world.root.path() / "old.dmg").string()});
  fs::create_directory(support / "mount-AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE");
  // Not left by this installer, or not this user's: kept. The first is this user's application
  // that another account of a shared folder renamed to a staging folder's name.
  fs::create_directories(apps / (".pelorin-install-" + uuid) / "Pelorin Code.app" / "Contents");
  fs::create_directory(support / "mount-notes");
  fs::create_directory(support / ("mount-" + std::string("0f1e2d3c-4b5a-4697-8877-665544332211")));
  fs::create_directory(apps / ".pelorin-install-notes");
  fs::create_directories(world.root.path() / "elsewhere" / "keep");
  fs::create_directory_symlink(world.root.path() / "elsewhere",
                               apps / ".pelorin-install-11111111-2222-4333-8444-555555555555");
  std::vector<std::string> kept = {".pelorin-install-" + uuid,
                                   ".pelorin-install-11111111-2222-4333-8444-555555555555",
                                   ".pelorin-install-notes", "Pelorin Code.app"};
  if (geteuid() == 0) {
    auto foreign = apps / ".pelorin-install-99999999-2222-4333-8444-555555555555";
    fs::create_directory(foreign);
    ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
    kept.insert(kept.begin() + 2, foreign.filename().string());
  }

  EXPECT_EQ(world.outcome(true), "ok");

  EXPECT_THAT(mountsUnder(world.root.path()), IsEmpty());
  EXPECT_THAT(entriesStartingWith(support, "mount-"),
              ElementsAre("mount-0f1e2d3c-4b5a-4697-8877-665544332211", "mount-notes"));
  EXPECT_EQ(entriesStartingWith(apps, ""), kept);
  EXPECT_TRUE(fs::is_directory(world.root.path() / "elsewhere" / "keep"));
  EXPECT_EQ(world.versionAt(world.destination(), {"2.0.0"}), "2.0.0");
}

TEST_F(InstallerRun, ASymbolicLinkAtTheLockPathIsBusyAndNotFollowed) {
  World world;
  world.serve(world.publish("2.0.0"));
  fs::create_directory(world.host.supportFolder);
  writeFile(world.root.path() / "target", "keep");
  fs::create_symlink(world.root.path() / "target", world.lockFile());

  EXPECT_EQ(world.outcome(true), "busy");
  EXPECT_EQ(readFile(world.root.path() / "target"), "keep");
  EXPECT_EQ(world.distribution.server().requestCount(), 0u);
  EXPECT_THAT(world.reports(), IsEmpty());
}

TEST_F(InstallerRun, CancelledBeforeTheStartMakesNothing) {
  World world;
  world.serve(world.publish("2.0.0"));
  world.token->cancel();

  EXPECT_EQ(world.outcome(true), "cancelled");
  EXPECT_FALSE(fs::exists(world.host.supportFolder));
  EXPECT_EQ(world.distribution.server().requestCount(), 0u);
}

TEST_F(InstallerRun, CancelledDuringTheDownloadKeepsThePartialImage) {
  World world;
  auto release = world.publish("2.0.0", withPayload(2 << 20));
  world.serve(release);
  auto image = release.image;
  world.distribution.server().route(release.imageURLPath, [image](const auto&) {
    PelorinTesting::Reply reply;
    reply.body = image;
    reply.pause = std::chrono::milliseconds(2);
    return reply;
  });
  auto token = world.token;
  world.onReport = [token](Phase phase, std::optional<double> fraction) {
    if (phase == Phase::downloading && fraction && *fraction > 0) token->cancel();
  };

  EXPECT_EQ(world.outcome(true), "network " + std::to_string(kTransferCancelled));
  ASSERT_TRUE(fs::is_regular_file(world.imageOf(release)));
  EXPECT_GT(fs::file_size(world.imageOf(release)), 0u);
  EXPECT_LT(fs::file_size(world.imageOf(release)), release.image.size());
  expectNothingLeftBehind(world);
}

TEST_F(InstallerRun, CancelledWhileTheMountedBundleIsCheckedEndsAfterTheDetach) {
  World world;
  auto release = world.publish("2.0.0");
  world.serve(release);
  // The signature check of the mounted bundle waits until the test has cancelled.
  auto marks = world.root.path() / "marks";
  fs::create_directory(marks);
  auto real = world.host.tools.spctl;
  writeScript(world.root.path() / "spctl",
              "case \"$4\" in */mount-*)\n"
              "  touch '" +
                  (marks / "checking").string() +
                  "'\n"
                  "  i=0; while [ ! -e '" +
                  (marks / "go").string() +
                  "' ] && [ $i -lt 3000 ]; do\n"
                  "    sleep 0.01; i=$((i+1)); done;;\n"
                  "esac\n"
                  "exec '" +
                  real + "' \"$@\"\n");
  world.host.tools.spctl = (world.root.path() / "spctl").string();
  std::atomic<bool> sawMount = false;
  std::thread canceller([&] {
    for (int i = 0; i < 12000 && !fs::exists(marks / "checking"); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    sawMount = !mountsUnder(world.host.supportFolder).empty();
    world.token->cancel();
    writeFile(marks / "go", "");
  });

  auto outcome = world.outcome(true);
  canceller.join();

  EXPECT_EQ(outcome, "cancelled");
  EXPECT_TRUE(sawMount);
  EXPECT_EQ(PelorinTesting::readFile(world.imageOf(release)), release.image);
  EXPECT_FALSE(fs::exists(world.destination()));
  expectNothingLeftBehind(world);
}

TEST_F(InstallerRun, FreeSpaceMustReachFiveImagesAndHalfAGibibyte) {
  struct Row {
    const char* name;
    std::function<std::optional<std::int64_t>(std::int64_t imageBytes)> capacity;
    std::string outcome;
  };
  const Row rows[] = {
      {"exactly enough", [](std::int64_t bytes) { return bytes * 5 + kSpare; }, "ok"},
      {"one byte short", [](std::int64_t bytes) { return bytes * 5 + kSpare - 1; }, "noSpace"},
      {"not reported", [](std::int64_t) { return std::nullopt; }, "ok"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    World world;
    auto release = world.publish("2.0.0");
    world.serve(release);
    std::vector<fs::path> askedFor;
    auto capacity = row.capacity(static_cast<std::int64_t>(release.image.size()));
    world.host.availableCapacity = [&](const fs::path& folder) {
      askedFor.push_back(folder);
      return capacity;
    };

    EXPECT_EQ(world.outcome(true), row.outcome);
    EXPECT_THAT(askedFor, ElementsAre(world.host.systemApplications));
    EXPECT_EQ(world.versionAt(world.destination(), {"2.0.0"}),
              row.outcome == "ok" ? "2.0.0" : "none");
    if (row.outcome != "ok") {
      EXPECT_FALSE(fs::exists(world.imageOf(release)));
      EXPECT_EQ(world.distribution.server().requestCount(), 1u);  // the manifest only
    }
  }
}

TEST_F(InstallerRun, AResumedInstallFetchesOnlyTheRestOfTheImage) {
  World world;
  auto release = world.publish("2.0.0");
  world.serve(release);
  auto image = release.image;
  auto half = image.size() / 2;
  world.distribution.server().route(release.imageURLPath, [image, half](const auto&) {
    PelorinTesting::Reply reply;
    reply.body = image;
    reply.pieceSize = 1024;
    reply.dropAfter = half;
    return reply;
  });
  ASSERT_EQ(world.outcome(true), "network 18");
  auto kept = fs::file_size(world.imageOf(release));
  ASSERT_GT(kept, 0u);
  ASSERT_LT(kept, image.size());

  world.serve(release);
  auto manifestBytes = static_cast<std::int64_t>(release.manifest.size());
  auto before = world.distribution.server().bodyBytesSent();
  EXPECT_EQ(world.run(true), world.destination());

  EXPECT_EQ(world.distribution.server().bodyBytesSent() - before,
            manifestBytes + static_cast<std::int64_t>(image.size() - kept));
  auto requests = world.distribution.server().requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back().header("Range"), "bytes=" + std::to_string(kept) + "-");
  EXPECT_EQ(world.versionAt(world.destination(), {"2.0.0"}), "2.0.0");
  expectNothingLeftBehind(world);
}

}  // namespace
}  // namespace PelorinInstaller::Testing
