#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <InstallerCore/Distribution.hpp>
#include <PelorinRelease/Release.hpp>
#include <csignal>

#include "TestSupport.hpp"
#include "pipeline/Checks.hpp"
#include "pipeline/Command.hpp"

namespace PelorinInstaller {
namespace {

namespace fs = std::filesystem;
using namespace PelorinTesting;
using Change = std::function<void(const fs::path& app)>;
const std::string kApp(InstallerCore::Distribution::appName);
const std::string kId(InstallerCore::Distribution::bundleID);

// An unsealed sample of the product (or of another one) in `version`.
fs::path sample(const fs::path& app, const std::string& version, const std::string& id = kId) {
  PelorinRelease::makeSampleApp(app, PelorinRelease::Architecture::arm64);
  PelorinRelease::setInfoKeys(
      app, {{"CFBundleShortVersionString", version}, {"CFBundleIdentifier", id}});
  return app;
}

Change keys(std::map<std::string, std::string> keys) {
  return [keys](const fs::path& app) { PelorinRelease::setInfoKeys(app, keys); };
}
Change minimum(std::string version) { return keys({{"LSMinimumSystemVersion", version}}); }
std::string x64Executable() {
  auto bytes = PelorinRelease::machOExecutable(PelorinRelease::Architecture::x64);
  return std::string(bytes.begin(), bytes.end());
}

TEST(Verify, RefusesABundleAtItsFirstFault) {
  struct Case {
    const char* name;
    Change beforeSealing;
    Change afterSealing = {};
    PelorinRelease::SealOptions seal = {};
    InstallerCore::SystemVersion system = {14, 2, 1};
    std::string outcome = "ok";
  } cases[] = {
      {"as made", {}},
      {"binary Info.plist",
       [](auto& app) {
         PelorinRelease::setInfoKeys(app, {}, PelorinRelease::PlistFormat::binary);
       }},
      {"minimum 14.0 on 14.0.0", minimum("14.0"), {}, {}, {14, 0, 0}},
      {"minimum 14.0 on 13.9.9", minimum("14.0"), {}, {}, {13, 9, 9}, "unsupportedSystem"},
      {"minimum 13.5.1 on 13.5.0", minimum("13.5.1"), {}, {}, {13, 5, 0}, "unsupportedSystem"},
      {"minimum 13.5.1 on 13.10.0", minimum("13.5.1"), {}, {}, {13, 10, 0}},
      {"minimum 14", minimum("14"), {}, {}, {15, 0, 0}, "wrongApplication"},
      {"Info.plist missing",
       [](auto& app) { fs::remove(app / "Contents/Info.plist"); },
       {},
       {},
       {},
       "wrongApplication"},
      {"identifier in another case",
       keys({{"CFBundleIdentifier", "com.pelorin-ai.Code"}}),
       {},
       {},
       {},
       "wrongApplication"},
      {"version 1.4 for 1.4.0",
       keys({{"CFBundleShortVersionString", "1.4"}}),
       {},
       {},
       {},
       "wrongApplication"},
      {"file changed after sealing",
       {},
       [](auto& app) { writeFile(app / "Contents/PkgInfo", "changed"); },
       {},
       {},
       "codesign 1"},
      {"seal naming another team", {}, {}, {kId, "Q9ZZZZZZZZ", true}, {}, "codesign 3"},
      {"seal without the assessment stamp", {}, {}, {kId, "K4QW7ZP1MX", false}, {}, "spctl 1"},
      {"executable name ..", keys({{"CFBundleExecutable", ".."}}), {}, {}, {}, "codesign 1"},
      {"executable x86-64 only",
       [](auto& app) { writeFile(app / "Contents/MacOS/Pelorin Code", x64Executable()); },
       {},
       {},
       {},
       "wrongApplication"},
      {"a link to a genuine bundle",
       {},
       [](auto& app) {
         fs::rename(app, app.string() + ".real");
         fs::create_symlink(app.string() + ".real", app);
       },
       {},
       {},
       "wrongApplication"},
  };
  StandInTools tools;
  TemporaryFolder folder;
  for (const auto& c : cases) {
    auto app = sample(folder / (std::string(c.name) + ".app"), "1.4.0");
    if (c.beforeSealing) c.beforeSealing(app);
    PelorinRelease::seal(app, tools.keys().privatePem, c.seal);
    if (c.afterSealing) c.afterSealing(app);
    auto host = testHost(folder.path(), tools.tools(), std::nullopt, c.system);
    EXPECT_EQ(outcomeOf([&] { verify(host, app, "1.4.0"); }), c.outcome) << c.name;
  }
}

TEST(CheckExisting, AllowsNothingOrThisProductInAVersionNotNewer) {
  struct Case {
    const char* name;
    std::function<void(const fs::path& app)> installed;
    std::string offered, outcome;
  } cases[] = {
      {"nothing there", [](auto&) {}, "1.4.0", "ok"},
      {"same version", [](auto& app) { sample(app, "1.4.0"); }, "1.4.0", "ok"},
      {"newer offered", [](auto& app) { sample(app, "1.4.0"); }, "1.5.0", "ok"},
      {"older offered", [](auto& app) { sample(app, "1.4.0"); }, "1.3.9", "downgrade"},
      {"pre-release of the installed offered", [](auto& app) { sample(app, "1.4.0"); },
       "1.4.0-rc.1", "downgrade"},
      {"release of an installed pre-release", [](auto& app) { sample(app, "1.4.0-rc.1"); }, "1.4.0",
       "ok"},
      {"another product", [](auto& app) { sample(app, "1.0.0", "com.example.other"); }, "1.4.0",
       "wrongApplication"},
      {"installed version not a version", [](auto& app) { sample(app, "1.4"); }, "1.4.0",
       "wrongApplication"},
      {"a plain file", [](auto& app) { writeFile(app, "not a bundle"); }, "1.4.0",
       "wrongApplication"},
      {"a link to a genuine copy",
       [](auto& app) { fs::create_symlink(sample(app.string() + ".real", "1.0.0"), app); }, "1.4.0",
       "wrongApplication"},
      {"a dangling link", [](auto& app) { fs::create_symlink("gone", app); }, "1.4.0",
       "wrongApplication"},
  };
  for (const auto& c : cases) {
    TemporaryFolder folder;
    c.installed(folder / kApp);
    EXPECT_EQ(outcomeOf([&] { checkExisting(folder / kApp, c.offered); }), c.outcome) << c.name;
  }
}

// The folder of an installed copy, else the system folder when it can be written, else the
// user's own folder, made private. A system folder that even root cannot write is a read-only
// image mounted there.
TEST(Destination, ChoosesTheFolderOfAnInstalledCopyElseAWritableOne) {
  struct Case {
    const char* name;
    bool copyInSystem, copyInUser, readOnlySystem;
    std::string outcome;  // "system", "user" or the error
  } cases[] = {
      {"no copy anywhere", false, false, false, "system"},
      {"a copy only in the user's folder", false, true, false, "user"},
      {"a copy in both", true, true, false, "system"},
      {"no copy, system folder read-only", false, false, true, "user"},
      {"a copy in the read-only system folder", true, false, true, "errno 13"},
  };
  StandInTools tools;
  for (const auto& c : cases) {
    if (c.readOnlySystem && fuseUnavailable()) continue;
    TemporaryFolder root;
    auto host = testHost(root.path(), tools.tools());
    fs::create_directories(root / "contents");
    if (c.copyInSystem) sample(root / "contents" / kApp, "1.0.0");
    if (c.copyInUser) {
      fs::create_directories(host.userApplications);
      sample(host.userApplications / kApp, "1.0.0");
    }
    std::optional<AttachedImage> image;
    if (c.readOnlySystem) {
      packFolder(root / "contents", root / "system.dmg");
      image.emplace(tools.tools(), root / "system.dmg", host.systemApplications);
    } else {
      fs::rename(root / "contents", host.systemApplications);
    }
    ScopedUmask strict(0277);
    std::string chosen;
    auto outcome = outcomeOf([&] {
      auto folder = destination(host).parent_path();
      chosen = folder == host.systemApplications ? "system"
               : folder == host.userApplications ? "user"
                                                 : "?";
    });
    EXPECT_EQ(outcome == "ok" ? chosen : outcome, c.outcome) << c.name;
    if (chosen == "user" && !c.copyInUser) {
      EXPECT_EQ(fs::status(host.userApplications).permissions(), fs::perms::owner_all) << c.name;
    }
  }
}

TEST(Command, RunsToolsSilentlyAndWithinTheirTime) {
  TemporaryFolder folder;
  int inherited = ::open((folder / "lock").c_str(), O_RDWR | O_CREAT, 0600);  // no O_CLOEXEC
  const std::string seen = (folder / "seen").string();
  struct Case {
    std::string tool, script;
    std::string outcome, seen = "";
  } cases[] = {
      {"/bin/sh", "exit 0", "ok"},
      {"/bin/sh", "echo out; echo error >&2; exit 7", "sh 7"},
      {"/bin/sh", "kill -USR1 $$", "sh " + std::to_string(128 + SIGUSR1)},
      {"/bin/sh",
       "[ /proc/$$/fd/0 -ef /dev/null ] && [ /proc/$$/fd/1 -ef /dev/null ] && "
       "[ /proc/$$/fd/2 -ef /dev/null ] && [ ! -e /proc/$$/fd/" +
           std::to_string(inherited) + " ]",
       "ok"},
      {"/bin/sh", "exec sleep 30", "sh 60"},
      {"/bin/sh", "trap 'echo term >> " + seen + "' TERM; while :; do :; done", "sh 60", "term\n"},
      {"/bin/sh", "trap 'echo term >> " + seen + "; exit 0' TERM; while :; do :; done", "sh 60",
       "term\n"},
      {(folder / "missing").string(), "", "errno " + std::to_string(ENOENT)},
      {folder.path().string(), "", "errno " + std::to_string(EACCES)},
  };
  for (const auto& c : cases) {
    writeFile(seen, "");
    EXPECT_EQ(outcomeOf([&] {
                Command::run(c.tool, {"-c", c.script},
                             {std::chrono::milliseconds(500), std::chrono::milliseconds(500)});
              }),
              c.outcome)
        << c.script;
    EXPECT_EQ(readFile(seen), c.seen) << c.script;
  }
  ::close(inherited);
}

}  // namespace
}  // namespace PelorinInstaller
