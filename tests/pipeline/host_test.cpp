#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <InstallerCore/Distribution.hpp>
#include <cstdlib>
#include <optional>

#include "checks_test_support.hpp"
#include "pipeline/Host.hpp"
#include "pipeline/HostParts.hpp"

extern char** environ;

namespace PelorinInstaller {
namespace {

namespace fs = std::filesystem;
using PelorinTesting::readFile;
using PelorinTesting::TemporaryFolder;
using PelorinTesting::writeFile;

// Sets or clears an environment variable for the life of the object.
class Environment {
 public:
  Environment(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~Environment() {
    if (saved_) {
      setenv(name_, saved_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

TEST(LiveHost, FoldersFollowTheHomeAndDataFolders) {
  struct Case {
    const char* dataHome;
    const char* support;
  } cases[] = {
      {"/data/home", "/data/home/com.pelorin-ai.code.installer"},
      {nullptr, "/home/someone/.local/share/com.pelorin-ai.code.installer"},
      {"", "/home/someone/.local/share/com.pelorin-ai.code.installer"},
      {"relative/data", "/home/someone/.local/share/com.pelorin-ai.code.installer"},
  };
  Environment home("HOME", "/home/someone");
  for (const auto& c : cases) {
    Environment data("XDG_DATA_HOME", c.dataHome);
    auto host = Host::live();
    EXPECT_EQ(host.supportFolder, c.support) << (c.dataHome ? c.dataHome : "(unset)");
    EXPECT_EQ(host.systemApplications, "/Applications");
    EXPECT_EQ(host.userApplications, "/home/someone/Applications");
  }
}

TEST(LiveHost, SystemToolsAndTransferSettings) {
  auto host = Host::live();
  auto release = readFile("/proc/sys/kernel/osrelease");
  auto expected = HostParts::leadingNumbers(release);
  EXPECT_EQ(host.system.major, expected.major);
  EXPECT_EQ(host.system.minor, expected.minor);
  EXPECT_EQ(host.system.patch, expected.patch);
  EXPECT_GT(host.system.major, 0);

  // The stand-ins are built beside every executable of the build, this test's included.
  auto folder = fs::read_symlink("/proc/self/exe").parent_path();
  std::pair<std::string, const char*> tools[] = {{host.tools.hdiutil, "hdiutil"},
                                                 {host.tools.ditto, "ditto"},
                                                 {host.tools.codesign, "codesign"},
                                                 {host.tools.spctl, "spctl"}};
  for (const auto& [path, name] : tools) {
    EXPECT_EQ(path, (folder / name).string());
    EXPECT_EQ(access(path.c_str(), X_OK), 0) << path;
  }
  EXPECT_EQ(host.transfer.caFile, PELORIN_EXPECTED_CA_FILE);
  const std::vector<std::string> connectTo = {PELORIN_EXPECTED_CONNECT_TO};
  EXPECT_EQ(host.transfer.connectTo, connectTo);
}

TEST(HostParts, LeadingNumbersOfVersionTexts) {
  struct Case {
    const char* text;
    InstallerCore::SystemVersion version;
  } cases[] = {
      {"6.1.0-13-amd64", {6, 1, 0}},
      {"6.18.44-fc-v1300", {6, 18, 44}},
      {"14.2.1", {14, 2, 1}},
      {"5.15", {5, 15, 0}},
      {"13", {13, 0, 0}},
      {"4.19.0.1", {4, 19, 0}},
      {"", {0, 0, 0}},
      {"v6.1", {0, 0, 0}},
      {"6.x.2", {6, 0, 0}},
  };
  for (const auto& c : cases) {
    auto version = HostParts::leadingNumbers(c.text);
    EXPECT_EQ(std::tie(version.major, version.minor, version.patch),
              std::tie(c.version.major, c.version.minor, c.version.patch))
        << c.text;
  }
}

TEST(HostParts, AvailableCapacity) {
  TemporaryFolder folder;
  auto capacity = HostParts::availableCapacity(folder.path());
  ASSERT_TRUE(capacity);
  EXPECT_GT(*capacity, 0);
  EXPECT_FALSE(HostParts::availableCapacity("/proc"));  // keeps no block counts
  EXPECT_EQ(outcome([&] { HostParts::availableCapacity(folder / "missing"); }),
            "file " + std::to_string(ENOENT));
}

// A process started from an executable inside a bundle, ended and reaped on destruction.
class RunningBundle {
 public:
  RunningBundle(const fs::path& bundle, const std::string& identifier) {
    fs::create_directories(bundle / "Contents/MacOS");
    writeFile(bundle / "Contents/Info.plist", plistXML({{"CFBundleIdentifier", identifier}}));
    auto executable = bundle / "Contents/MacOS/sleeper";
    fs::copy_file("/bin/sleep", executable);
    std::string seconds = "60";
    char* argv[] = {const_cast<char*>(executable.c_str()), seconds.data(), nullptr};
    if (posix_spawn(&pid_, executable.c_str(), nullptr, nullptr, argv, environ) != 0) pid_ = -1;
  }
  ~RunningBundle() { stop(); }
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

TEST(LiveHost, RunningApplicationsAreFoundByTheirBundlesIdentifier) {
  TemporaryFolder folder;
  auto host = Host::live();
  const std::string identifier = "com.pelorin-ai.code.running-test";
  EXPECT_FALSE(host.isRunning(identifier));
  RunningBundle other(folder / "Other.app", "com.example.other");
  RunningBundle notABundle(folder / "Plain Folder", identifier);
  ASSERT_TRUE(other.started() && notABundle.started());
  EXPECT_FALSE(host.isRunning(identifier)) << "found in a folder that is not a bundle";

  RunningBundle product(folder / "Running.app", identifier);
  ASSERT_TRUE(product.started());
  EXPECT_TRUE(host.isRunning(identifier));
  EXPECT_FALSE(host.isRunning("com.pelorin-ai.code.running"));  // a prefix is not enough
  product.stop();
  EXPECT_FALSE(host.isRunning(identifier));
}

}  // namespace
}  // namespace PelorinInstaller
