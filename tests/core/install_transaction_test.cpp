#include <gtest/gtest.h>

#include <InstallerCore/InstallTransaction.hpp>
#include <InstallerCore/InstallerError.hpp>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

namespace InstallerCore {
namespace {

namespace fs = std::filesystem;

// A real folder under the system's temporary directory, removed with everything in it.
class TransactionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "transaction-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root = pattern;
    apps = root / "Applications";
    destination = apps / "Pelorin Code.app";
    staging = apps / ".pelorin-install-1";
    staged = staging / "Pelorin Code.app";
    fs::create_directories(staging);
  }
  void TearDown() override { fs::remove_all(root); }

  static void makeBundle(const fs::path& bundle, const std::string& marker) {
    fs::create_directories(bundle / "Contents");
    std::ofstream(bundle / "Contents" / "marker") << marker;
  }
  static std::string markerOf(const fs::path& bundle) {
    std::ifstream in(bundle / "Contents" / "marker");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // The error code commit throws, or an empty code on success.
  std::error_code commitError(const fs::path& from, const fs::path& to, bool replacing) {
    try {
      InstallTransaction::commit(from, to, replacing);
      return {};
    } catch (const std::system_error& error) {
      return error.code();
    }
  }

  fs::path root, apps, destination, staging, staged;
};

TEST_F(TransactionTest, ExclusiveRenameIntoAFreeDestination) {
  makeBundle(staged, "new");
  EXPECT_FALSE(commitError(staged, destination, false));
  EXPECT_EQ(markerOf(destination), "new");
  EXPECT_FALSE(fs::exists(staged));
}

TEST_F(TransactionTest, SwapLeavesThePreviousBundleInTheStagingFolder) {
  makeBundle(staged, "new");
  makeBundle(destination, "old");
  EXPECT_FALSE(commitError(staged, destination, true));
  EXPECT_EQ(markerOf(destination), "new");
  EXPECT_EQ(markerOf(staged), "old");
}

TEST_F(TransactionTest, RenameConflictsLeaveBothEntriesAlone) {
  struct Case {
    const char* what;
    bool stageNew, existingOld, replacing;
    std::errc expected;
  };
  const Case cases[] = {
      {"exclusive while the destination exists", true, true, false, std::errc::file_exists},
      {"swap while the destination is gone", true, false, true,
       std::errc::no_such_file_or_directory},
      {"staged bundle missing", false, false, false, std::errc::no_such_file_or_directory},
  };
  for (const auto& c : cases) {
    fs::remove_all(staged);
    fs::remove_all(destination);
    if (c.stageNew) makeBundle(staged, "new");
    if (c.existingOld) makeBundle(destination, "old");
    auto code = commitError(staged, destination, c.replacing);
    EXPECT_EQ(code, std::make_error_condition(c.expected)) << c.what << ": " << code.message();
    EXPECT_EQ(code.category(), std::generic_category()) << c.what;
    if (c.stageNew) {
      EXPECT_EQ(markerOf(staged), "new") << c.what;
    }
    if (c.existingOld) {
      EXPECT_EQ(markerOf(destination), "old") << c.what;
    }
  }
}

TEST_F(TransactionTest, PlacementIsCheckedBeforeAnyRename) {
  const std::pair<fs::path, const char*> misplaced[] = {
      {apps / "Pelorin Code.app.new", "directly in the destination's folder"},
      {staging / "deeper" / "Pelorin Code.app", "three levels below"},
      {root / "elsewhere" / "Pelorin Code.app", "in another folder"},
      {root / "APPLICATIONS" / ".pelorin-install-1" / "Pelorin Code.app", "letter case differs"},
  };
  for (const auto& [path, what] : misplaced) {
    makeBundle(path, "new");
    EXPECT_EQ(commitError(path, destination, false), InstallerError::installConflict) << what;
    EXPECT_EQ(markerOf(path), "new") << what;
    EXPECT_FALSE(fs::exists(destination)) << what;
  }
}

TEST_F(TransactionTest, DotComponentsNameTheSameFolders) {
  makeBundle(staged, "new");
  fs::create_directories(apps / "sub");
  fs::create_directories(root / "x");
  auto dotted = apps / "." / "sub" / ".." / ".pelorin-install-1" / "Pelorin Code.app";
  EXPECT_FALSE(commitError(dotted, root / "x" / ".." / "Applications" / "Pelorin Code.app", false));
  EXPECT_EQ(markerOf(destination), "new");
}

TEST_F(TransactionTest, ASymbolicLinkIsNotResolvedForPlacement) {
  fs::create_directory_symlink(apps, root / "link");
  makeBundle(staged, "new");
  EXPECT_EQ(commitError(staged, root / "link" / "Pelorin Code.app", false),
            InstallerError::installConflict);
  EXPECT_EQ(markerOf(staged), "new");
}

}  // namespace
}  // namespace InstallerCore
