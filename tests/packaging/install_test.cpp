// The installed program, laid out by `cmake --install` and by the Debian package, finds its
// resource bundle and its stand-ins and answers the self-check from where it was installed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "TestSupport.hpp"

namespace {

namespace fs = std::filesystem;
using PelorinTesting::TemporaryFolder;

constexpr const char* kBundle = "PelorinInstaller_PelorinInstaller.bundle";

struct Output {
  int status = -1;
  std::string out;
};

std::string quoted(const std::string& text) {
  std::string result = "'";
  for (char c : text) result += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return result + "'";
}

// Runs a shell command line; its standard output and exit status.
Output run(const std::string& line) {
  Output output;
  FILE* pipe = ::popen(line.c_str(), "r");
  if (!pipe) return output;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    output.out.append(buffer, n);
  }
  const int status = ::pclose(pipe);
  output.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return output;
}

// The self-check of the program at `program`, with no display and a private runtime folder.
Output selfCheck(const fs::path& program) {
  TemporaryFolder runtime;
  return run("env -u DISPLAY XDG_RUNTIME_DIR=" + quoted(runtime.path().string()) + " " +
             quoted(program.string()) + " --self-check 2>/dev/null");
}

// Checks the report of a program whose resource bundle lies in `resources`.
void expectReport(const Output& report, const fs::path& resources) {
  ASSERT_EQ(report.status, 0);
  ASSERT_FALSE(report.out.empty());
  EXPECT_EQ(report.out.find('\n'), report.out.size() - 1) << "one line";
  std::string escaped;
  for (char c : (resources / kBundle).string())
    escaped += c == '/' ? std::string("\\/") : std::string(1, c);
  EXPECT_NE(report.out.find("\"resources\":\"" + escaped + "\""), std::string::npos) << report.out;
  const auto members = nlohmann::json::parse(report.out);
  EXPECT_EQ(members.at("brandIcon"), "loaded");
  EXPECT_EQ(members.at("resources"), (resources / kBundle).string());
  EXPECT_EQ(members.at("architecture"), "arm64");
  EXPECT_EQ(members.at("testVersion"), "live");
  EXPECT_NE(members.at("title"), "title") << "the string table was found";
}

// Everything the program needs, relative to the installation prefix.
void expectLayout(const fs::path& prefix) {
  struct Entry {
    std::string path;
    bool executable;
  };
  std::vector<Entry> entries = {
      {"bin/PelorinInstaller", true},
      {"bin/hdiutil", true},
      {"bin/ditto", true},
      {"bin/codesign", true},
      {"bin/spctl", true},
      {std::string("share/PelorinInstaller/") + kBundle + "/icon.icns", false},
      {std::string("share/PelorinInstaller/") + kBundle + "/en.lproj/Localizable.qm", false},
      {std::string("share/PelorinInstaller/") + kBundle + "/zh-hans.lproj/Localizable.qm", false},
  };
  if (std::string(PELORIN_ANCHOR_KEY) != "") entries.push_back({"bin/anchor.pem", false});
  for (const auto& entry : entries) {
    struct stat info {};
    ASSERT_EQ(::stat((prefix / entry.path).c_str(), &info), 0) << entry.path;
    EXPECT_TRUE(S_ISREG(info.st_mode)) << entry.path;
    EXPECT_EQ((info.st_mode & S_IXUSR) != 0, entry.executable) << entry.path;
  }
}

TEST(Install, LaysOutAProgramThatFindsItsResourcesWhereverThePrefixLies) {
  TemporaryFolder temporary;
  const auto prefix = temporary / "prefix";
  const auto install = run(quoted(PELORIN_CMAKE) + " --install " + quoted(PELORIN_BUILD_DIR) +
                           " --prefix " + quoted(prefix.string()) + " 2>&1");
  ASSERT_EQ(install.status, 0) << install.out;
  expectLayout(prefix);
  expectReport(selfCheck(prefix / "bin" / "PelorinInstaller"),
               prefix / "share" / "PelorinInstaller");

  // The stand-ins run from the installed folder: an unknown argument list is refused with 2.
  for (const char* tool : {"hdiutil", "ditto", "codesign", "spctl"}) {
    EXPECT_EQ(run(quoted((prefix / "bin" / tool).string()) + " 2>/dev/null").status, 2) << tool;
  }

  // The tree may move as a whole: the program looks beside itself, not at the prefix it was
  // installed to.
  const auto moved = temporary / "elsewhere";
  fs::rename(prefix, moved);
  expectReport(selfCheck(moved / "bin" / "PelorinInstaller"), moved / "share" / "PelorinInstaller");
}

TEST(Package, DebianPackageHoldsTheInstallerUnderOpt) {
  TemporaryFolder temporary;
  const auto pack = run("cd " + quoted(temporary.path().string()) + " && " + quoted(PELORIN_CPACK) +
                        " -G DEB --config " +
                        quoted(std::string(PELORIN_BUILD_DIR) + "/CPackConfig.cmake") + " 2>&1");
  ASSERT_EQ(pack.status, 0) << pack.out;
  fs::path package;
  for (const auto& entry : fs::directory_iterator(temporary.path())) {
    if (entry.path().extension() == ".deb") package = entry.path();
  }
  ASSERT_FALSE(package.empty()) << pack.out;

  const auto fields = run("dpkg-deb -f " + quoted(package.string()) + " Package Depends");
  ASSERT_EQ(fields.status, 0);
  EXPECT_NE(fields.out.find("Package: pelorin-installer\n"), std::string::npos) << fields.out;
  for (const char* needed :
       {"squashfuse", "fuse3", "qt6-image-formats-plugins", "libqt6widgets6", "libcurl4"}) {
    EXPECT_NE(fields.out.find(needed), std::string::npos) << needed << " in " << fields.out;
  }

  const auto listing = run("dpkg-deb -c " + quoted(package.string()));
  ASSERT_EQ(listing.status, 0);
  EXPECT_EQ(listing.out.find("pelorin-release"), std::string::npos) << "the publisher's tool";
  for (const auto& line : std::vector<std::string>{"./opt/pelorin-installer/bin/PelorinInstaller\n",
                                                   "./opt/pelorin-installer/bin/hdiutil\n"}) {
    EXPECT_NE(listing.out.find(line), std::string::npos) << line << listing.out;
  }

  const auto root = temporary / "root";
  ASSERT_EQ(run("dpkg-deb -x " + quoted(package.string()) + " " + quoted(root.string())).status, 0);
  const auto prefix = root / "opt" / "pelorin-installer";
  expectLayout(prefix);
  expectReport(selfCheck(prefix / "bin" / "PelorinInstaller"),
               prefix / "share" / "PelorinInstaller");
}

}  // namespace
