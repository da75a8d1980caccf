#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <sstream>
#include <thread>

#include "installer_world.hpp"

namespace PelorinInstaller::Testing {
namespace {

namespace fs = std::filesystem;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

// The installer in a process of its own (tests/pipeline/installer_child.cpp), in a process
// group of its own so that a kill also ends the tool it is waiting for.
class ChildInstaller {
 public:
  ChildInstaller(const World& world, const std::string& stopAt) {
    const auto& host = world.host;
    std::vector<std::string> arguments = {
        PELORIN_INSTALLER_CHILD,
        "--support=" + host.supportFolder.string(),
        "--system-apps=" + host.systemApplications.string(),
        "--user-apps=" + host.userApplications.string(),
        "--ca=" + host.transfer.caFile,
        "--connect-to=" + host.transfer.connectTo.at(0),
        "--hdiutil=" + host.tools.hdiutil,
        "--ditto=" + host.tools.ditto,
        "--codesign=" + host.tools.codesign,
        "--spctl=" + host.tools.spctl,
        "--stop-at=" + stopAt,
    };
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    int input[2], output[2];
    if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      dup2(input[0], 0);
      dup2(output[1], 1);
      execv(argv[0], argv.data());
      _exit(127);
    }
    setpgid(pid_, pid_);
    close(input[0]);
    close(output[1]);
    input_ = input[1];
    output_ = output[0];
  }
  ~ChildInstaller() {
    if (pid_ > 0) {
      kill();
      wait();
    }
    close(input_);
    close(output_);
  }
  ChildInstaller(const ChildInstaller&) = delete;
  ChildInstaller& operator=(const ChildInstaller&) = delete;

  // The next line the child prints, or "" when it printed none within a minute.
  std::string readLine() {
    while (buffered_.find('\n') == std::string::npos) {
      pollfd ready{output_, POLLIN, 0};
      if (poll(&ready, 1, 60'000) <= 0) return "";
      char bytes[256];
      auto got = read(output_, bytes, sizeof bytes);
      if (got <= 0) return "";
      buffered_.append(bytes, static_cast<std::size_t>(got));
    }
    auto end = buffered_.find('\n');
    auto line = buffered_.substr(0, end);
    buffered_.erase(0, end + 1);
    return line;
  }
  void resume() {
    if (write(input_, "\n", 1) != 1) throw std::runtime_error("the child is gone");
  }
  void kill() { ::kill(-pid_, SIGKILL); }
  int wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1, output_ = -1;
  std::string buffered_;
};

// A random UUID in upper-case 8-4-4-4-12 form.
const std::string kUUID = "[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}";

bool waitFor(const fs::path& file) {
  for (int i = 0; i < 6000 && !fs::exists(file); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return fs::exists(file);
}

class InstallerProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto why = PelorinTesting::fuseUnavailable()) GTEST_SKIP() << *why;
  }
};

TEST_F(InstallerProcess, ALockHeldByAnotherProcessIsBusyAtOnceAndItsRunGoesOn) {
  World world;
  world.installSample("1.0.0");
  world.serve(world.publish("2.0.0"));
  ChildInstaller other(world, "installing");
  ASSERT_EQ(other.readLine(), "stopped installing");  // holds the lock with the image mounted
  auto support = snapshot(world.host.supportFolder);
  auto applications = snapshot(world.host.systemApplications);
  auto requests = world.distribution.server().requestCount();

  EXPECT_EQ(world.outcome(true), "busy");
  EXPECT_EQ(world.outcome(false), "busy");

  EXPECT_EQ(snapshot(world.host.supportFolder), support);
  EXPECT_EQ(snapshot(world.host.systemApplications), applications);
  EXPECT_EQ(world.distribution.server().requestCount(), requests);
  EXPECT_EQ(mountsUnder(world.host.supportFolder).size(), 1u);
  auto mountPoints = entriesStartingWith(world.host.supportFolder, "mount-");
  ASSERT_EQ(mountPoints.size(), 1u);
  EXPECT_THAT(mountPoints[0], MatchesRegex("mount-" + kUUID));
  other.resume();
  EXPECT_THAT(other.readLine(), StartsWith("installed "));
  EXPECT_EQ(other.wait(), 0);
  EXPECT_EQ(world.versionAt(world.destination(), {"2.0.0"}), "2.0.0");
  EXPECT_THAT(mountsUnder(world.root.path()), IsEmpty());
}

// Where a crash test kills the installer, and how it knows the moment has come.
struct KillPoint {
  const char* name;
  std::string stopAt;       // a stop of the child, or "" when the test sees the moment itself
  std::string versionLeft;  // the version the destination must hold after the kill
};

const KillPoint kKillPoints[] = {
    {"DuringTheDownload", "", "1.0.0"},
    {"AfterTheMount", "installing", "1.0.0"},
    {"AfterTheStagingCopy", "", "1.0.0"},
    {"RightBeforeTheCommit", "before-commit", "1.0.0"},
    {"RightAfterTheCommit", "after-commit", "2.0.0"},
};

void PrintTo(const KillPoint& point, std::ostream* out) { *out << point.name; }

class InstallerCrash : public InstallerProcess, public ::testing::WithParamInterface<KillPoint> {};

// What a killed run left behind, one item per line, for the record.
std::string leftovers(World& world) {
  std::ostringstream text;
  for (const auto& mount : mountsUnder(world.root.path())) {
    text << "mounted: " << fs::relative(mount, world.root.path()).string() << "\n";
  }
  for (const auto& name : entriesStartingWith(world.host.supportFolder, "mount-")) {
    text << "mount point: support/" << name << "\n";
  }
  for (const auto& name : entriesStartingWith(world.host.systemApplications, ".pelorin-install-")) {
    text << "staging folder: Applications/" << name << " holding "
         << world.versionAt(world.host.systemApplications / name / "Pelorin Code.app",
                            {"1.0.0", "2.0.0"})
         << "\n";
  }
  for (const auto& name : entriesStartingWith(world.host.supportFolder, "")) {
    if (name.ends_with(".dmg")) {
      text << "image: support/" << name << " (" << fs::file_size(world.host.supportFolder / name)
           << " bytes)\n";
    }
  }
  return text.str();
}

TEST_P(InstallerCrash, TheDestinationStaysWholeAndTheNextRunCompletes) {
  const auto& point = GetParam();
  World world;
  world.installSample("1.0.0");
  auto release = world.publish("2.0.0", withPayload(1 << 20));
  world.serve(release);
  std::string name = point.name;
  if (name == "DuringTheDownload") {
    auto image = release.image;
    world.distribution.server().route(release.imageURLPath, [image](const auto&) {
      PelorinTesting::Reply reply;
      reply.body = image;
      reply.pieceSize = 1024;
      reply.stallAfter = image.size() / 2;
      return reply;
    });
  }
  auto marker = world.root.path() / "copied";
  if (name == "AfterTheStagingCopy") {
    writeScript(world.root.path() / "ditto", "'" + world.host.tools.ditto +
                                                 "' \"$@\" || exit $?\ntouch '" + marker.string() +
                                                 "'\nexec sleep 600\n");
    world.host.tools.ditto = (world.root.path() / "ditto").string();
  }

  {
    ChildInstaller child(world, point.stopAt);
    if (!point.stopAt.empty()) {
      ASSERT_EQ(child.readLine(), "stopped " + point.stopAt);
    } else if (name == "DuringTheDownload") {
      ASSERT_TRUE(world.distribution.server().waitForStalls(1, std::chrono::seconds(60)));
    } else {
      ASSERT_TRUE(waitFor(marker));
    }
    if (point.stopAt == "before-commit") {
      // The staging folder as the run made it.
      auto staging = entriesStartingWith(world.host.systemApplications, ".pelorin-install-");
      ASSERT_EQ(staging.size(), 1u);
      EXPECT_THAT(staging[0], MatchesRegex("\\.pelorin-install-" + kUUID));
      EXPECT_EQ(fs::status(world.host.systemApplications / staging[0]).permissions(),
                fs::perms::owner_all);
    }
    child.kill();
    child.wait();
  }
  world.distribution.server().release();

  EXPECT_EQ(world.versionAt(world.destination(), {"1.0.0", "2.0.0"}), point.versionLeft);
  auto left = leftovers(world);
  std::cout << "[ left after a kill " << name << " ]\n" << (left.empty() ? "nothing\n" : left);
  RecordProperty("leftovers", left);

  world.serve(release);
  world.host.tools.ditto = world.standIns.tools().ditto;
  EXPECT_EQ(world.outcome(true), "ok");
  EXPECT_EQ(world.versionAt(world.destination(), {"1.0.0", "2.0.0"}), "2.0.0");
  EXPECT_THAT(entriesStartingWith(world.host.systemApplications, ""),
              ::testing::ElementsAre("Pelorin Code.app"));
  EXPECT_THAT(mountsUnder(world.root.path()), IsEmpty());
  EXPECT_THAT(entriesStartingWith(world.host.supportFolder, "mount-"), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(EveryStage, InstallerCrash, ::testing::ValuesIn(kKillPoints),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace PelorinInstaller::Testing
