#include <gtest/gtest.h>
#include <unistd.h>

#include <InstallerCore/Distribution.hpp>
#include <PelorinRelease/Release.hpp>
#include <memory>
#include <optional>

#include "checks_test_support.hpp"
#include "pipeline/Checks.hpp"

namespace PelorinInstaller {
namespace {

namespace fs = std::filesystem;
using PelorinTesting::AttachedImage;
using PelorinTesting::StandInTools;
using PelorinTesting::TemporaryFolder;
using PelorinTesting::writeFile;

const std::string kAppName(InstallerCore::Distribution::appName);

// An installed copy of the product (or of another one) in `version`.
void installCopy(
    const fs::path& folder, const std::string& version,
    const std::string& identifier = std::string(InstallerCore::Distribution::bundleID)) {
  auto app = folder / kAppName;
  PelorinRelease::makeSampleApp(app, PelorinRelease::Architecture::arm64);
  PelorinRelease::setInfoKeys(
      app, {{"CFBundleShortVersionString", version}, {"CFBundleIdentifier", identifier}});
}

TEST(Destination, ChoosesTheFolderOfAnInstalledCopyElseTheWritableSystemFolder) {
  struct Case {
    const char* name;
    bool copyInSystem, copyInUser, userFolderExists;
    const char* chosen;  // "system" or "user"
    fs::perms systemMode = fs::perms::owner_all;
    bool homeIsAFile = false;
    bool needsPermissions = false;  // root may search and write any folder
  } cases[] = {
      {"no copy anywhere, system folder writable", false, false, false, "system"},
      {"a copy only in the user's folder", false, true, true, "user"},
      {"a copy in both", true, true, true, "system"},
      {"a copy only in the system folder", true, false, false, "system"},
      {"the user's folder lies under a file", false, false, false, "system", fs::perms::owner_all,
       true},
      {"a system folder that cannot be searched", true, false, false, "user",
       fs::perms::owner_write, false, true},
      {"a system folder that can be searched but not written", false, false, false, "user",
       fs::perms::owner_read | fs::perms::owner_exec, false, true},
  };
  for (const auto& c : cases) {
    if (c.needsPermissions && !PelorinTesting::permissionsBind()) continue;
    TemporaryFolder root;
    auto host = PelorinTesting::testHost(root.path(), {});
    fs::create_directories(host.systemApplications);
    if (c.userFolderExists) fs::create_directories(host.userApplications);
    if (c.homeIsAFile) writeFile(host.userApplications.parent_path(), "not a folder");
    if (c.copyInSystem) installCopy(host.systemApplications, "1.0.0");
    if (c.copyInUser) installCopy(host.userApplications, "1.0.0");
    fs::permissions(host.systemApplications, c.systemMode);
    auto expected =
        (std::string(c.chosen) == "system" ? host.systemApplications : host.userApplications) /
        kAppName;
    EXPECT_EQ(outcome([&] { EXPECT_EQ(destination(host), expected) << c.name; }), "ok") << c.name;
    EXPECT_EQ(fs::is_directory(host.userApplications),
              c.userFolderExists || std::string(c.chosen) == "user")
        << c.name;
    fs::permissions(host.systemApplications, fs::perms::owner_all);
  }
}

// A system applications folder that even root cannot write: a read-only image mounted there.
class ReadOnlySystemFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto why = PelorinTesting::fuseUnavailable()) GTEST_SKIP() << "no FUSE: " << *why;
  }

  void mountSystemFolder(bool withCopy) {
    auto contents = root_ / "image-contents";
    fs::create_directories(contents);
    if (withCopy) installCopy(contents, "1.0.0");
    PelorinTesting::packFolder(contents, root_ / "system.dmg");
    mount_ = std::make_unique<AttachedImage>(tools_.tools(), root_ / "system.dmg",
                                             host_.systemApplications);
    ASSERT_NE(access(host_.systemApplications.c_str(), W_OK), 0);
  }

  TemporaryFolder root_;
  StandInTools tools_;
  Host host_ = PelorinTesting::testHost(root_.path(), tools_.tools());
  std::unique_ptr<AttachedImage> mount_;
};

TEST_F(ReadOnlySystemFolder, WithoutACopyTheUsersFolderIsCreatedPrivateAndChosen) {
  mountSystemFolder(false);
  PelorinTesting::ScopedUmask strict(0277);
  EXPECT_EQ(destination(host_), host_.userApplications / kAppName);
  EXPECT_EQ(fs::status(host_.userApplications).permissions(), fs::perms::owner_all);
}

TEST_F(ReadOnlySystemFolder, ACopyThereIsAPermissionErrorWithoutFallingBack) {
  mountSystemFolder(true);
  try {
    destination(host_);
    ADD_FAILURE() << "a read-only folder holding the copy was chosen";
  } catch (const fs::filesystem_error& error) {
    EXPECT_EQ(error.code(), std::errc::permission_denied);
    EXPECT_EQ(error.path1(), host_.systemApplications);
  }
  EXPECT_FALSE(fs::exists(host_.userApplications));
}

TEST_F(ReadOnlySystemFolder, AUsersFolderThatCannotBeMadeThrowsItsError) {
  mountSystemFolder(false);
  writeFile(root_ / "home", "a file where the home folder should be");
  EXPECT_EQ(outcome([&] { destination(host_); }), "file " + std::to_string(ENOTDIR));
}

TEST(CheckExisting, AllowsNothingOrThisProductInAVersionNotNewer) {
  struct Case {
    const char* name;
    std::function<void(const fs::path& folder)> installed;
    std::string offered;
    std::string result;
  } cases[] = {
      {"nothing there", [](const fs::path&) {}, "1.4.0", "ok"},
      {"same version", [](const fs::path& f) { installCopy(f, "1.4.0"); }, "1.4.0", "ok"},
      {"newer offered", [](const fs::path& f) { installCopy(f, "1.4.0"); }, "1.5.0", "ok"},
      {"older offered", [](const fs::path& f) { installCopy(f, "1.4.0"); }, "1.3.9", "downgrade"},
      {"pre-release of the installed version offered",
       [](const fs::path& f) { installCopy(f, "1.4.0"); }, "1.4.0-rc.1", "downgrade"},
      {"release of an installed pre-release offered",
       [](const fs::path& f) { installCopy(f, "1.4.0-rc.1"); }, "1.4.0", "ok"},
      {"installed with a binary Info.plist",
       [](const fs::path& f) {
         installCopy(f, "1.4.0");
         PelorinRelease::setInfoKeys(f / kAppName, {}, PelorinRelease::PlistFormat::binary);
       },
       "1.3.0", "downgrade"},
      {"another product", [](const fs::path& f) { installCopy(f, "1.0.0", "com.example.other"); },
       "1.4.0", "wrongApplication"},
      {"installed version not a version", [](const fs::path& f) { installCopy(f, "1.4"); }, "1.4.0",
       "wrongApplication"},
      {"offered version not a version", [](const fs::path& f) { installCopy(f, "1.4.0"); }, "1.5",
       "wrongApplication"},
      {"no Info.plist",
       [](const fs::path& f) {
         installCopy(f, "1.4.0");
         fs::remove(f / kAppName / "Contents/Info.plist");
       },
       "1.4.0", "wrongApplication"},
      {"installed version missing",
       [](const fs::path& f) {
         fs::create_directories(f / kAppName / "Contents");
         writeFile(f / kAppName / "Contents/Info.plist",
                   plistXML({{"CFBundleIdentifier", "com.pelorin-ai.code"}}));
       },
       "1.4.0", "wrongApplication"},
      {"a plain file", [](const fs::path& f) { writeFile(f / kAppName, "not a bundle"); }, "1.4.0",
       "wrongApplication"},
      {"a symbolic link to a genuine copy",
       [](const fs::path& f) {
         installCopy(f / "elsewhere", "1.0.0");
         fs::create_symlink(f / "elsewhere" / kAppName, f / kAppName);
       },
       "1.4.0", "wrongApplication"},
      {"a dangling symbolic link",
       [](const fs::path& f) { fs::create_symlink(f / "gone", f / kAppName); }, "1.4.0",
       "wrongApplication"},
  };
  for (const auto& c : cases) {
    TemporaryFolder folder;
    c.installed(folder.path());
    EXPECT_EQ(outcome([&] { checkExisting(folder / kAppName, c.offered); }), c.result) << c.name;
  }
}

}  // namespace
}  // namespace PelorinInstaller
