#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <InstallerCore/Distribution.hpp>
#include <InstallerCore/SystemRelease.hpp>
#include <PelorinRelease/Release.hpp>

#include "TestSupport.hpp"
#include "pipeline/Checks.hpp"
#include "pipeline/Command.hpp"

namespace PelorinInstaller {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace PelorinTesting;
using Change = std::function<void(const fs::path& app)>;
using InstallerCore::SystemRelease::macOS;
const std::string kApp(InstallerCore::Distribution::appName);
const std::string kId(InstallerCore::Distribution::bundleID);

// An unsealed sample of the product in `version`.
fs::path sample(const fs::path& app, const std::string& version) {
  PelorinRelease::makeSampleApp(app, PelorinRelease::Architecture::arm64);
  PelorinRelease::setInfoKeys(app, {{"CFBundleShortVersionString", version}});
  return app;
}

Change keys(std::map<std::string, std::string> keys) {
  return [keys](const fs::path& app) { PelorinRelease::setInfoKeys(app, keys); };
}
Change minimum(std::string version) { return keys({{"LSMinimumSystemVersion", version}}); }

const Change kExecutableX64 = [](const fs::path& app) {
  auto bytes = PelorinRelease::machOExecutable(PelorinRelease::Architecture::x64);
  writeFile(app / "Contents/MacOS/Pelorin Code", std::string(bytes.begin(), bytes.end()));
};
const Change kNoInfo = [](const fs::path& app) { fs::remove(app / "Contents/Info.plist"); };
const Change kFileChanged = [](const fs::path& app) { writeFile(app / "Contents/PkgInfo", "x"); };
const Change kLinked = [](const fs::path& app) {
  fs::rename(app, app.string() + ".real");
  fs::create_symlink(app.string() + ".real", app);
};

TEST(Verify, RefusesABundleAtItsFirstFault) {
  struct Case {
    const char* name;
    std::string outcome;
    Change beforeSealing = {}, afterSealing = {};
    PelorinRelease::SealOptions seal = {};
    InstallerCore::SystemVersion system = {14, 2, 1};
    std::string codesign = {}, spctl = {};  // scripts in place of the stand-ins
  } cases[] = {
      {"as made", "ok"},
      {"minimum 14.0 on 14.0.0", "ok", minimum("14.0"), {}, {}, {14, 0, 0}},
      {"minimum 14.0 on 13.9.9", "unsupportedSystem", minimum("14.0"), {}, {}, {13, 9, 9}},
      {"minimum 13.5.1 on 13.5.0", "unsupportedSystem", minimum("13.5.1"), {}, {}, {13, 5, 0}},
      {"minimum 14", "wrongApplication", minimum("14"), {}, {}, {15, 0, 0}},
      // macOS 26 as a program built with an older SDK reads it: 16.x.
      {"minimum 26.1 on 26.1", "ok", minimum("26.1"), {}, {}, macOS("25.1.0", "16.1")},
      {"minimum 26.1 on 26.0", "unsupportedSystem", minimum("26.1"), {}, {}, macOS("25", "16.0")},
      {"minimum 13.0 on 12.7", "unsupportedSystem", minimum("13.0"), {}, {}, macOS("21.6", "12.7")},
      {"Info.plist missing", "wrongApplication", kNoInfo},
      {"version 1.4 for 1.4.0", "wrongApplication", keys({{"CFBundleShortVersionString", "1.4"}})},
      {"file changed after sealing", "codesign 1", {}, kFileChanged},
      {"seal naming another team", "codesign 3", {}, {}, {kId, "Q9ZZZZZZZZ", true}},
      {"seal without the assessment stamp", "spctl 1", {}, {}, {kId, "K4QW7ZP1MX", false}},
      {"executable x86-64 only", "wrongApplication", kExecutableX64},
      {"a link to a genuine bundle", "wrongApplication", {}, kLinked},
      // Side by side, the first failure in order decides, whichever ends first; and once it is
      // known nothing waits for the tools after it.
      {.name = "signature failing after the assessment",
       .outcome = "codesign 1",
       .codesign = "sleep 1; exit 1",
       .spctl = "exit 1"},
      {.name = "signature failing while the assessment runs on",
       .outcome = "codesign 1",
       .codesign = "exit 1",
       .spctl = "exec sleep 60"},
  };
  StandInTools tools;
  TemporaryFolder folder;
  for (const auto& c : cases) {
    auto app = sample(folder / (std::string(c.name) + ".app"), "1.4.0");
    if (c.beforeSealing) c.beforeSealing(app);
    PelorinRelease::seal(app, tools.keys().privatePem, c.seal);
    if (c.afterSealing) c.afterSealing(app);
    auto host = testHost(folder.path(), tools.tools(), std::nullopt, c.system);
    for (auto [tool, script] :
         {std::pair{&host.tools.codesign, c.codesign}, {&host.tools.spctl, c.spctl}}) {
      if (script.empty()) continue;
      *tool = (folder / c.name / fs::path(*tool).filename()).string();
      writeScript(*tool, script);
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(outcomeOf([&] { verify(host, app, "1.4.0"); }), c.outcome) << c.name;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s) << c.name;
  }
}

// The folder of an installed copy, else the system folder when it can be written, else the
// user's own folder, made private. A system folder that even root cannot write is a read-only
// image mounted there.
TEST(Destination, ChoosesTheFolderOfAnInstalledCopyElseAWritableOne) {
  struct Case {
    const char* name;
    bool copyInSystem, copyInUser, readOnlySystem;
    std::string outcome;  // the folder chosen, or the error
  } cases[] = {
      {"no copy anywhere", false, false, false, "Applications"},
      {"a copy only in the user's folder", false, true, false, "home/Applications"},
      {"no copy, system folder read-only", false, false, true, "home/Applications"},
      {"a copy in the read-only system folder", true, false, true, "errno 13"},
  };
  StandInTools tools;
  const auto noFuse = fuseUnavailable();
  for (const auto& c : cases) {
    if (c.readOnlySystem && noFuse) continue;  // said below
    TemporaryFolder root;
    auto host = testHost(root.path(), tools.tools());
    auto system = c.readOnlySystem ? root / "contents" : host.systemApplications;
    fs::create_directories(system);
    if (c.copyInSystem) sample(system / kApp, "1.0.0");
    if (c.copyInUser) sample(host.userApplications / kApp, "1.0.0");
    std::optional<AttachedImage> image;
    if (c.readOnlySystem) {
      packFolder(system, root / "system.dmg");
      image.emplace(tools.tools(), root / "system.dmg", host.systemApplications);
    }
    ScopedUmask strict(0277);
    fs::path chosen;
    auto outcome = outcomeOf([&] { chosen = destination(host).parent_path(); });
    EXPECT_EQ(outcome == "ok" ? fs::relative(chosen, root.path()).string() : outcome, c.outcome)
        << c.name;
    if (c.readOnlySystem && outcome == "ok") {
      EXPECT_EQ(fs::status(host.userApplications).permissions(), fs::perms::owner_all) << c.name;
    }
  }
  if (noFuse) GTEST_SKIP() << "the read-only system folder's rows, no FUSE: " << *noFuse;
}

TEST(Command, RunsToolsSilentlyAndWithinTheirTime) {
  TemporaryFolder folder;
  int inherited = ::open((folder / "lock").c_str(), O_RDWR | O_CREAT, 0600);  // no O_CLOEXEC
  const std::string seen = (folder / "seen").string();
  struct Case {
    std::string script, outcome, seen = "";
  } cases[] = {
      {"echo out; echo error >&2; exit 7", "sh 7"},
      {"[ /proc/$$/fd/0 -ef /dev/null ] && [ /proc/$$/fd/1 -ef /dev/null ] && "
       "[ /proc/$$/fd/2 -ef /dev/null ] && [ ! -e /proc/$$/fd/" +
           std::to_string(inherited) + " ]",
       "ok"},
      {"exec sleep 30", "sh 60"},
      {"trap 'echo term >> " + seen + "' TERM; while :; do :; done", "sh 60", "term\n"},
      {"trap 'echo term >> " + seen + "; exit 0' TERM; while :; do :; done", "sh 60", "term\n"},
  };
  for (const auto& c : cases) {
    writeFile(seen, "");
    auto run = [&] { Command::run("/bin/sh", {"-c", c.script}, {500ms, 500ms}); };
    EXPECT_EQ(outcomeOf(run), c.outcome) << c.script;
    EXPECT_EQ(readFile(seen), c.seen) << c.script;
  }
  ::close(inherited);
}

}  // namespace
}  // namespace PelorinInstaller
