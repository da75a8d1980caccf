#include <gtest/gtest.h>
#include <sys/stat.h>

#include <InstallerCore/Distribution.hpp>
#include <PelorinRelease/Release.hpp>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "checks_test_support.hpp"
#include "pipeline/Checks.hpp"

namespace PelorinInstaller {
namespace {

namespace fs = std::filesystem;
using PelorinRelease::Architecture;
using PelorinTesting::readFile;
using PelorinTesting::StandInTools;
using PelorinTesting::TemporaryFolder;
using PelorinTesting::writeFile;
using Change = std::function<void(const fs::path& app)>;

const std::string kVersion = "1.4.0";

// The usual Info.plist of the sample, with some keys replaced or dropped ("" drops).
Change infoPlist(std::map<std::string, std::string> changes, std::string extra = "") {
  return [changes, extra](const fs::path& app) {
    std::map<std::string, std::string> keys = {
        {"CFBundleExecutable", "Pelorin Code"},
        {"CFBundleIdentifier", std::string(InstallerCore::Distribution::bundleID)},
        {"CFBundleShortVersionString", kVersion}};
    for (const auto& [key, value] : changes) {
      if (value.empty()) {
        keys.erase(key);
      } else {
        keys[key] = value;
      }
    }
    writeFile(app / "Contents/Info.plist", plistXML(keys, extra));
  };
}

Change writeInfo(std::string bytes) {
  return [bytes](const fs::path& app) { writeFile(app / "Contents/Info.plist", bytes); };
}

Change executable(std::string_view bytes) {
  return [bytes](const fs::path& app) { writeFile(app / "Contents/MacOS/Pelorin Code", bytes); };
}

// A bundle as the release tool makes it, then changed one way, and the tools it met.
class Verify : public ::testing::Test {
 protected:
  struct Bundle {
    Bundle(Architecture architecture = Architecture::arm64, Change beforeSealing = {},
           PelorinRelease::SealOptions seal = {}, bool otherKey = false, Change afterSealing = {})
        : architecture(architecture),
          beforeSealing(std::move(beforeSealing)),
          seal(std::move(seal)),
          otherKey(otherKey),
          afterSealing(std::move(afterSealing)) {}
    Architecture architecture;
    Change beforeSealing;
    PelorinRelease::SealOptions seal;
    bool otherKey;
    Change afterSealing;
  };

  Verify() : host_(PelorinTesting::testHost(folder_.path(), loggedTools())) {}

  // Each tool call is written to a log before the stand-in runs.
  Host::Tools loggedTools() {
    fs::create_directory(folder_ / "logged");
    auto wrap = [&](const std::string& name, const std::string& real, const char* shown) {
      auto wrapper = folder_ / "logged" / name;
      writeFile(wrapper, "#!/bin/sh\necho \"" + name + " " + shown + "\" >> '" +
                             (folder_ / "log").string() + "'\nexec '" + real + "' \"$@\"\n");
      fs::permissions(wrapper, fs::perms::owner_all);
      return wrapper.string();
    };
    auto tools = tools_.tools();
    tools.codesign = wrap("codesign", tools.codesign, "$2");
    tools.spctl = wrap("spctl", tools.spctl, "$1");
    return tools;
  }

  fs::path make(const Bundle& bundle, const std::string& name = "Pelorin Code.app") {
    auto app = folder_ / name;
    PelorinRelease::makeSampleApp(app, bundle.architecture);
    PelorinRelease::setInfoKeys(app, {{"CFBundleShortVersionString", kVersion}});
    if (bundle.beforeSealing) bundle.beforeSealing(app);
    auto key =
        bundle.otherKey ? PelorinSeal::generateKeyPair().privatePem : tools_.keys().privatePem;
    PelorinRelease::seal(app, key, bundle.seal);
    if (bundle.afterSealing) bundle.afterSealing(app);
    return app;
  }

  // The outcome of verify and the tool calls it made, e.g. "codesign --deep".
  std::pair<std::string, std::vector<std::string>> check(const fs::path& app,
                                                         std::string_view version = kVersion) {
    fs::remove(folder_ / "log");
    auto result = outcome([&] { verify(host_, app, version); });
    std::vector<std::string> calls;
    if (fs::exists(folder_ / "log")) {
      std::istringstream log(readFile(folder_ / "log"));
      for (std::string line; std::getline(log, line);) calls.push_back(line);
    }
    return {result, calls};
  }

  TemporaryFolder folder_;
  StandInTools tools_;
  Host host_;
};

const std::vector<std::string> kNoTools;
const std::vector<std::string> kFirstSignatureCheck = {"codesign --deep"};
const std::vector<std::string> kBothSignatureChecks = {"codesign --deep", "codesign --strict"};
const std::vector<std::string> kAllTools = {"codesign --deep", "codesign --strict",
                                            "spctl --assess"};

TEST_F(Verify, BundlesAcceptedAsTheReleaseToolMakesThem) {
  struct Case {
    const char* name;
    Bundle bundle;
  } cases[] = {
      {"thin arm64", {}},
      {"universal", {Architecture::universal}},
      {"binary Info.plist",
       {Architecture::arm64,
        [](const fs::path& app) {
          PelorinRelease::setInfoKeys(app, {}, PelorinRelease::PlistFormat::binary);
        }}},
      {"no minimum system", {Architecture::arm64, infoPlist({})}},
  };
  for (const auto& c : cases) {
    auto app = make(c.bundle, std::string(c.name) + ".app");
    EXPECT_EQ(check(app), std::make_pair(std::string("ok"), kAllTools)) << c.name;
  }
}

TEST_F(Verify, BrokenBundlesAreRefusedAtTheirFirstFault) {
  struct Case {
    const char* name;
    Bundle bundle;
    std::string result;
    std::vector<std::string> calls;
  } cases[] = {
      {"Info.plist missing",
       {Architecture::arm64, [](const fs::path& app) { fs::remove(app / "Contents/Info.plist"); }},
       "wrongApplication",
       kNoTools},
      {"Info.plist an array",
       {Architecture::arm64,
        writeInfo("<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>x</string>"
                  "</array></plist>")},
       "wrongApplication",
       kNoTools},
      {"Info.plist not a property list",
       {Architecture::arm64, writeInfo("not a property list")},
       "wrongApplication",
       kNoTools},
      {"Info.plist empty", {Architecture::arm64, writeInfo("")}, "wrongApplication", kNoTools},
      {"Info.plist a folder",
       {Architecture::arm64,
        [](const fs::path& app) {
          fs::remove(app / "Contents/Info.plist");
          fs::create_directory(app / "Contents/Info.plist");
        }},
       "wrongApplication",
       kNoTools},
      {"identifier in another case",
       {Architecture::arm64, infoPlist({{"CFBundleIdentifier", "com.pelorin-ai.Code"}})},
       "wrongApplication",
       kNoTools},
      {"identifier missing",
       {Architecture::arm64, infoPlist({{"CFBundleIdentifier", ""}})},
       "wrongApplication",
       kNoTools},
      {"identifier not a string",
       {Architecture::arm64,
        infoPlist({{"CFBundleIdentifier", ""}}, "<key>CFBundleIdentifier</key><array/>\n")},
       "wrongApplication",
       kNoTools},
      {"version 1.4 against 1.4.0",
       {Architecture::arm64, infoPlist({{"CFBundleShortVersionString", "1.4"}})},
       "wrongApplication",
       kNoTools},
      {"version not a string",
       {Architecture::arm64, infoPlist({{"CFBundleShortVersionString", ""}},
                                       "<key>CFBundleShortVersionString</key><real>1.4</real>\n")},
       "wrongApplication",
       kNoTools},
      {"minimum system 14",
       {Architecture::arm64, infoPlist({{"LSMinimumSystemVersion", "14"}})},
       "wrongApplication",
       kNoTools},
      {"minimum system not a version",
       {Architecture::arm64, infoPlist({{"LSMinimumSystemVersion", "fourteen"}})},
       "wrongApplication",
       kNoTools},
      {"minimum system 14.2.2 above the host's 14.2.1",
       {Architecture::arm64, infoPlist({{"LSMinimumSystemVersion", "14.2.2"}})},
       "unsupportedSystem",
       kNoTools},
      {"minimum system 15.0 above the host's",
       {Architecture::arm64, infoPlist({{"LSMinimumSystemVersion", "15.0"}})},
       "unsupportedSystem",
       kNoTools},
      {"file changed after sealing",
       {Architecture::arm64,
        {},
        {},
        false,
        [](const fs::path& app) {
          writeFile(app / "Contents/Resources/greeting.txt", "Hello from someone else.\n");
        }},
       "codesign 1",
       kFirstSignatureCheck},
      {"file added after sealing",
       {Architecture::arm64,
        {},
        {},
        false,
        [](const fs::path& app) { writeFile(app / "Contents/Resources/extra.txt", "extra"); }},
       "codesign 1",
       kFirstSignatureCheck},
      {"file removed after sealing",
       {Architecture::arm64,
        {},
        {},
        false,
        [](const fs::path& app) { fs::remove(app / "Contents/PkgInfo"); }},
       "codesign 1",
       kFirstSignatureCheck},
      {"executable's mode changed after sealing",
       {Architecture::arm64,
        {},
        {},
        false,
        [](const fs::path& app) {
          fs::permissions(app / "Contents/MacOS/Pelorin Code", fs::perms::owner_read);
        }},
       "codesign 1",
       kFirstSignatureCheck},
      {"link added after sealing, pointing outside",
       {Architecture::arm64,
        {},
        {},
        false,
        [](const fs::path& app) {
          fs::create_symlink("../../../elsewhere", app / "Contents/Resources/out");
        }},
       "codesign 1",
       kFirstSignatureCheck},
      {"seal signed by another key",
       {Architecture::arm64, {}, {}, true},
       "codesign 1",
       kFirstSignatureCheck},
      {"seal naming another team",
       {Architecture::arm64,
        {},
        {std::string(InstallerCore::Distribution::bundleID), "Q9ZZZZZZZZ", true}},
       "codesign 3",
       kBothSignatureChecks},
      {"seal naming another identifier",
       {Architecture::arm64, {}, {"com.pelorin-ai.other", "K4QW7ZP1MX", true}},
       "codesign 3",
       kBothSignatureChecks},
      {"seal without the assessment stamp",
       {Architecture::arm64, {}, {"com.pelorin-ai.code", "K4QW7ZP1MX", false}},
       "spctl 1",
       kAllTools},
      // The signature check, like the real one, refuses a main executable it cannot run.
      {"executable name with a slash",
       {Architecture::arm64, infoPlist({{"CFBundleExecutable", "../MacOS/Pelorin Code"}})},
       "codesign 1",
       kFirstSignatureCheck},
      {"executable name .",
       {Architecture::arm64, infoPlist({{"CFBundleExecutable", "."}})},
       "codesign 1",
       kFirstSignatureCheck},
      {"executable name ..",
       {Architecture::arm64, infoPlist({{"CFBundleExecutable", ".."}})},
       "codesign 1",
       kFirstSignatureCheck},
      {"executable name empty",
       {Architecture::arm64,
        infoPlist({{"CFBundleExecutable", ""}}, "<key>CFBundleExecutable</key><string/>\n")},
       "codesign 1",
       kFirstSignatureCheck},
      {"executable name missing",
       {Architecture::arm64, infoPlist({{"CFBundleExecutable", ""}})},
       "codesign 1",
       kFirstSignatureCheck},
      {"executable empty",
       {Architecture::arm64, executable("")},
       "codesign 1",
       kFirstSignatureCheck},
      {"executable missing",
       {Architecture::arm64,
        [](const fs::path& app) { fs::remove(app / "Contents/MacOS/Pelorin Code"); }},
       "codesign 1",
       kFirstSignatureCheck},
      {"executable x86-64 only", {Architecture::x64}, "wrongApplication", kAllTools},
      {"executable a 32-bit Mach-O",
       {Architecture::arm64, executable("\xce\xfa\xed\xfe\x0c\x00\x00\x00")},
       "codesign 1",
       kFirstSignatureCheck},
  };
  for (const auto& c : cases) {
    auto app = make(c.bundle, std::string(c.name) + ".app");
    EXPECT_EQ(check(app), std::make_pair(c.result, c.calls)) << c.name;
  }
}

TEST_F(Verify, MinimumSystemVersionsAgainstTheRunningSystem) {
  struct Case {
    std::string minimum;  // "" leaves the key out; "<integer>" writes a number
    InstallerCore::SystemVersion system;
    std::string result;
  } cases[] = {
      {"14.0", {14, 0, 0}, "ok"},  // read as 14.0.0: equal passes
      {"14.0", {13, 9, 9}, "unsupportedSystem"},
      {"13.5.1", {13, 5, 1}, "ok"},
      {"13.5.1", {13, 5, 0}, "unsupportedSystem"},
      {"13.5.1", {13, 10, 0}, "ok"},
      {"14.0.", {15, 0, 0}, "wrongApplication"},  // two components: "14.0..0" does not parse
      {"14", {15, 0, 0}, "wrongApplication"},
      {"14.0.0.0", {15, 0, 0}, "wrongApplication"},
      {"14.0.0-beta", {14, 0, 0}, "ok"},  // a pre-release is lower than its release
      {"<integer>", {1, 0, 0}, "ok"},
      {"", {1, 0, 0}, "ok"},
  };
  int index = 0;
  for (const auto& c : cases) {
    Change plist;
    if (c.minimum == "<integer>") {
      plist = infoPlist({}, "<key>LSMinimumSystemVersion</key><integer>15</integer>\n");
    } else {
      plist = infoPlist({{"LSMinimumSystemVersion", c.minimum}});
    }
    auto app = make({Architecture::arm64, plist}, "app-" + std::to_string(index++) + ".app");
    host_.system = c.system;
    EXPECT_EQ(check(app).first, c.result) << c.minimum;
  }
}

TEST_F(Verify, ABundleThatIsASymbolicLinkIsRefusedBeforeAnythingIsRead) {
  auto app = make({});
  auto link = folder_ / "link.app";
  fs::create_symlink(app, link);
  EXPECT_EQ(check(link), std::make_pair(std::string("wrongApplication"), kNoTools));
  EXPECT_EQ(check(folder_ / "missing.app").first, "file " + std::to_string(ENOENT));
}

TEST_F(Verify, TheVersionMustBeTheOfferedTextExactly) {
  auto app = make({});
  for (const char* offered : {"1.4", "1.4.0-rc.1", "01.4.0", " 1.4.0", ""}) {
    EXPECT_EQ(check(app, offered), std::make_pair(std::string("wrongApplication"), kNoTools))
        << offered;
  }
}

}  // namespace
}  // namespace PelorinInstaller
