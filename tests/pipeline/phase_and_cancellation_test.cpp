#include <gtest/gtest.h>

#include <InstallerCore/InstallerError.hpp>
#include <atomic>
#include <thread>

#include "pipeline/Cancellation.hpp"
#include "pipeline/Phase.hpp"

namespace PelorinInstaller {
namespace {

struct CountingTask : CancellableTask {
  std::atomic<int> cancels{0};
  void cancel() override { ++cancels; }
};

TEST(Phase, NamesRoundTripAndOnlyExactNamesParse) {
  for (auto phase : {Phase::preparing, Phase::downloading, Phase::verifying, Phase::installing}) {
    EXPECT_EQ(phaseNamed(name(phase)), phase);
  }
  EXPECT_EQ(name(Phase::downloading), "downloading");
  for (auto text : {"Preparing", "", "installing ", "verify"})
    EXPECT_FALSE(phaseNamed(text)) << text;
}

TEST(Cancellation, CancelReachesTheRegisteredTaskAndStaysSet) {
  Cancellation token;
  auto task = std::make_shared<CountingTask>();
  token.attach(task);
  EXPECT_FALSE(token.isCancelled());
  EXPECT_NO_THROW(token.check());
  token.cancel();
  EXPECT_TRUE(token.isCancelled());
  EXPECT_EQ(task->cancels, 1);
  token.cancel();  // twice is allowed
  EXPECT_EQ(task->cancels, 2);
  try {
    token.check();
    FAIL() << "check passed on a cancelled token";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), InstallerCore::InstallerError::cancelled);
  }
}

TEST(Cancellation, AttachAfterCancelStopsTheNewTaskAtOnce) {
  Cancellation token;
  token.cancel();
  auto task = std::make_shared<CountingTask>();
  token.attach(task);
  EXPECT_EQ(task->cancels, 1);
  token.attach(nullptr);  // clears the registration, cancels nothing
  token.cancel();
  EXPECT_EQ(task->cancels, 1);
}

TEST(Cancellation, ACancelRacingAnAttachIsNeverLost) {
  for (int round = 0; round < 200; ++round) {
    Cancellation token;
    auto task = std::make_shared<CountingTask>();
    std::thread canceller([&] { token.cancel(); });
    token.attach(task);
    canceller.join();
    EXPECT_GE(task->cancels, 1) << "round " << round;
  }
}

}  // namespace
}  // namespace PelorinInstaller
