#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>
#include <vector>

#include "app/AppDelegate.hpp"

namespace PelorinTesting {

// The run the controller starts, steered step by step from the test: it reports, returns or
// throws when told, on the controller's own run thread. A cancelled token ends it the way the
// driver ends: with InstallerError::cancelled.
class ScriptedRun {
 public:
  struct Report {
    PelorinInstaller::Phase phase;
    std::optional<double> fraction;
  };
  struct Return {
    std::filesystem::path application;
  };
  struct Throw {
    std::exception_ptr error;
  };
  using Step = std::variant<Report, Return, Throw>;

  PelorinInstaller::AppDelegate::RunFunction function();

  // Queues a step; the answer counts the steps queued so far.
  int next(Step step);
  // How many steps the run thread has carried out.
  int done() const;
  int started() const;
  std::shared_ptr<PelorinInstaller::Cancellation> token(int run) const;
  PelorinInstaller::ProgressReport reporter(int run) const;

 private:
  std::filesystem::path perform(std::shared_ptr<PelorinInstaller::Cancellation> token,
                                PelorinInstaller::ProgressReport report);

  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Step> steps_;
  int queued_ = 0;
  int done_ = 0;
  std::vector<std::shared_ptr<PelorinInstaller::Cancellation>> tokens_;
  std::vector<PelorinInstaller::ProgressReport> reporters_;
};

}  // namespace PelorinTesting
