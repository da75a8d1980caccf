#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "TestSupport.hpp"
#include "pipeline/Command.hpp"

namespace PelorinInstaller {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using PelorinTesting::readFile;
using PelorinTesting::TemporaryFolder;

constexpr const char* kShell = "/bin/sh";
const Command::Limits kQuick{500ms, 500ms};

// The status of the CommandError that running the script throws, or -1 when it succeeds.
int statusOf(const std::string& script, Command::Limits limits = {}) {
  try {
    Command::run(kShell, {"-c", script}, limits);
    return -1;
  } catch (const CommandError& error) {
    EXPECT_EQ(error.tool, "sh");
    return error.status;
  }
}

// Puts a descriptor in place of one of ours for the life of the object.
class Redirect {
 public:
  Redirect(int target, int replacement) : target_(target), saved_(dup(target)) {
    dup2(replacement, target_);
  }
  ~Redirect() {
    dup2(saved_, target_);
    close(saved_);
  }

 private:
  int target_, saved_;
};

// Whether the process is still a child of ours that nobody reaped.
bool unreaped(pid_t pid) {
  int status;
  return waitpid(pid, &status, WNOHANG) != -1 || errno != ECHILD;
}

TEST(Command, ExitStatusesBecomeCommandErrors) {
  struct Case {
    const char* script;
    int status;
  } cases[] = {
      {"exit 0", -1},
      {"exit 1", 1},
      {"exit 7", 7},
      {"exit 255", 255},
      {"kill -USR1 $$", 128 + SIGUSR1},  // a signal reads as the shell shows it
      {"kill -KILL $$", 128 + SIGKILL},
  };
  for (const auto& c : cases) EXPECT_EQ(statusOf(c.script), c.status) << c.script;
}

TEST(Command, ToolIsTheLastPathComponent) {
  TemporaryFolder folder;
  auto tool = folder / "a folder" / "false tool";
  fs::create_directories(tool.parent_path());
  fs::copy_file("/bin/false", tool);
  try {
    Command::run(tool.string(), {});
    FAIL() << "a failing tool passed";
  } catch (const CommandError& error) {
    EXPECT_EQ(error.tool, "false tool");
    EXPECT_EQ(error.status, 1);
  }
}

TEST(Command, ToolsThatCannotStartThrowThePlatformsError) {
  TemporaryFolder folder;
  PelorinTesting::writeFile(folder / "not-executable", "#!/bin/sh\nexit 0\n");
  struct Case {
    std::string path;
    std::errc error;
  } cases[] = {
      {(folder / "missing").string(), std::errc::no_such_file_or_directory},
      {(folder / "not-executable").string(), std::errc::permission_denied},
      {folder.path().string(), std::errc::permission_denied},
  };
  for (const auto& c : cases) {
    try {
      Command::run(c.path, {});
      ADD_FAILURE() << c.path << " started";
    } catch (const CommandError& error) {
      ADD_FAILURE() << c.path << ": CommandError " << error.status;
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code(), c.error) << c.path << ": " << error.what();
    }
  }
}

TEST(Command, ArgumentsReachTheToolUnchanged) {
  const char* script =
      "test $# = 5 && test \"$1\" = 'a b' && test \"$2\" = '*' && test \"$3\" = '' && "
      "test \"$4\" = '$HOME;|x' && test \"$5\" = \"'\\\"\"";
  EXPECT_NO_THROW(
      Command::run(kShell, {"-c", script, "sh", "a b", "*", "", "$HOME;|x", "'\""}, {}));
}

TEST(Command, StandardStreamsAreTheNullDeviceAndNothingElseIsInherited) {
  TemporaryFolder folder;
  int inherited = open((folder / "lock").c_str(), O_RDWR | O_CREAT, 0600);  // no O_CLOEXEC
  ASSERT_GE(inherited, 0);
  auto script =
      "[ /proc/$$/fd/0 -ef /dev/null ] && [ /proc/$$/fd/1 -ef /dev/null ] && "
      "[ /proc/$$/fd/2 -ef /dev/null ] && [ ! -e /proc/$$/fd/" +
      std::to_string(inherited) + " ]";
  EXPECT_EQ(statusOf(script), -1);
  close(inherited);
}

TEST(Command, AToolReadingInputSeesEndOfFileAtOnce) {
  int channel[2];
  ASSERT_EQ(pipe(channel), 0);
  {
    Redirect input(0, channel[0]);  // a reader of our input would wait on this forever
    EXPECT_EQ(statusOf("if read -r line; then exit 3; fi; exit 0", {5s, 1s}), -1);
  }
  close(channel[0]);
  close(channel[1]);
}

TEST(Command, OutputIsNeverShown) {
  TemporaryFolder folder;
  int capture = open((folder / "captured").c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(capture, 0);
  int status;
  {
    Redirect out(1, capture), err(2, capture);
    status = statusOf("echo to-output; echo to-error >&2; exit 3");
  }
  close(capture);
  EXPECT_EQ(status, 3);
  EXPECT_EQ(readFile(folder / "captured"), "");
}

TEST(Command, ToolsOutOfTimeAreStoppedReapedAndReportSixty) {
  struct Case {
    const char* name;
    const char* script;
    const char* signalsSeen;  // what the tool wrote when it caught SIGTERM
  } cases[] = {
      {"obeys the termination request", "exec sleep 30", ""},
      {"ignores it and is killed", "trap 'echo term >> \"$1\"' TERM; while :; do :; done",
       "term\n"},
      {"ends by itself, successfully, once asked",
       "trap 'echo term >> \"$1\"; exit 0' TERM; "
       "while :; do :; done",
       "term\n"},
  };
  for (const auto& c : cases) {
    TemporaryFolder folder;
    auto pidFile = folder / "pid", seen = folder / "seen";
    PelorinTesting::writeFile(seen, "");
    auto script = std::string("echo $$ > '") + pidFile.string() + "'; " + c.script;
    try {
      Command::run(kShell, {"-c", script, "sh", seen.string()}, kQuick);
      ADD_FAILURE() << c.name << ": no error";
    } catch (const CommandError& error) {
      EXPECT_EQ(error.tool, "sh") << c.name;
      EXPECT_EQ(error.status, 60) << c.name;
    }
    pid_t pid = std::stoi(readFile(pidFile));
    EXPECT_FALSE(unreaped(pid)) << c.name << ": left a zombie";
    EXPECT_NE(kill(pid, 0), 0) << c.name << ": still running";
    EXPECT_EQ(readFile(seen), c.signalsSeen) << c.name;
  }
}

}  // namespace
}  // namespace PelorinInstaller
