// The program laid out by `cmake --install` and by the Debian package finds its resources and
// stand-ins and answers the self-check from wherever the tree lies.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "TestSupport.hpp"

namespace {

namespace fs = std::filesystem;

PelorinTesting::ChildResult run(const fs::path& program, const std::vector<std::string>& args) {
  return PelorinTesting::runChild(program, args, {{"PATH", std::getenv("PATH")}});
}

// The stand-ins and the program run from below `prefix`, where the program finds its resources.
void expectInstalledBelow(const fs::path& prefix) {
  // Without the key, the installer can verify no release, and its self-check says so.
  const bool anchored = !std::string(PELORIN_ANCHOR_KEY).empty();
  EXPECT_EQ(fs::is_regular_file(prefix / "bin/anchor.pem"), anchored);
  for (const char* tool : {"hdiutil", "ditto", "codesign", "spctl"})
    EXPECT_EQ(run(prefix / "bin" / tool, {}).exitStatus, 2) << tool << ": no such argument list";
  const auto result = run(prefix / "bin/PelorinInstaller", {"--self-check"});
  ASSERT_EQ(result.exitStatus, anchored ? 0 : 1) << result.err;
  EXPECT_EQ(result.err.empty(), anchored) << result.err;
  const auto report = nlohmann::json::parse(result.out);
  EXPECT_EQ(report.at("resources"),
            (prefix / "share/PelorinInstaller/PelorinInstaller_PelorinInstaller.bundle").string());
  EXPECT_EQ(report.at("brandIcon").get<std::string>() + report.at("title").get<std::string>(),
            "loadedPelorin Code 安装器");
}

TEST(Install, TheTreeInstalledOrUnpackedWorksWhereverItLies) {
  PelorinTesting::TemporaryFolder temporary;
  const auto install =
      run(PELORIN_CMAKE, {"--install", PELORIN_BUILD_DIR, "--prefix", temporary / "prefix"});
  ASSERT_EQ(install.exitStatus, 0) << install.out << install.err;
  fs::rename(temporary / "prefix", temporary / "moved");  // the program looks beside itself
  expectInstalledBelow(temporary / "moved");

  const auto pack = run(PELORIN_CPACK, {"-G", "DEB", "-B", temporary.path(), "--config",
                                        std::string(PELORIN_BUILD_DIR) + "/CPackConfig.cmake"});
  ASSERT_EQ(pack.exitStatus, 0) << pack.out << pack.err;
  const auto packages = PelorinTesting::entriesStartingWith(temporary.path(), "pelorin-installer");
  ASSERT_EQ(packages.size(), 1u) << pack.out;
  const fs::path package = temporary / packages.front();
  const auto depends = run("/usr/bin/dpkg-deb", {"-f", package, "Depends"}).out;
  for (const char* needed : {"squashfuse", "fuse3", "qt6-image-formats-plugins", "libqt6widgets6",
                             "libcurl4 (>= 7.87.0)"})
    EXPECT_NE(depends.find(needed), std::string::npos) << needed << " in " << depends;
  // Only its own folder: dpkg removes a folder with the last package that lists it.
  const auto contents = run("/usr/bin/dpkg-deb", {"--contents", package}).out;
  EXPECT_EQ(contents.find(" ./opt/\n"), std::string::npos) << contents;
  EXPECT_NE(contents.find(" ./opt/pelorin-installer/bin/PelorinInstaller\n"), std::string::npos);
  ASSERT_EQ(run("/usr/bin/dpkg-deb", {"-x", package, temporary / "root"}).exitStatus, 0);
  EXPECT_FALSE(fs::exists(temporary / "root/opt/pelorin-installer/bin/pelorin-release"))
      << "the publisher's tool stays out";
  expectInstalledBelow(temporary / "root/opt/pelorin-installer");
}

}  // namespace
