#include <sys/prctl.h>
#include <sys/wait.h>

#include <PelorinBase/Process.hpp>
#include <csignal>

#include "TestSupport.hpp"
#include "gtest/gtest.h"

namespace {

using namespace PelorinBase;

// A killed installer takes the tool it was running with it, so that the next run's clean-up does
// not race a tool still writing.
TEST(Launcher, ToolEndsWithTheProcessThatLaunchedIt) {
  // The orphaned tool becomes this process's child: it can be waited for and is never left behind.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  LaunchOptions options;
  options.output = {Stream::Kind::capture, {}};
  // The tool reports its process identifier, kills the launcher that runs it and sleeps on.
  const auto launcher = runProcess(
      PELORIN_LAUNCH_TOOL, {"/bin/sh", "-c", "echo $$; kill -KILL $PPID; exec sleep 60"}, options);
  EXPECT_EQ(launcher.signal, SIGKILL);
  const pid_t tool = std::stoi(launcher.output);
  int status = 0;
  pid_t ended = 0;
  PelorinTesting::eventually([&] { return (ended = waitpid(tool, &status, WNOHANG)) != 0; });
  if (ended == 0) {
    kill(tool, SIGKILL);
    waitpid(tool, nullptr, 0);
  }
  prctl(PR_SET_CHILD_SUBREAPER, 0);
  EXPECT_EQ(ended != tool         ? "still running"
            : WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                  : "exited",
            "signal 9");
}

}  // namespace
