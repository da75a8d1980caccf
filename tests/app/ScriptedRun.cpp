#include "ScriptedRun.hpp"

#include <InstallerCore/InstallerError.hpp>
#include <system_error>

namespace PelorinTesting {

using namespace PelorinInstaller;

AppDelegate::RunFunction ScriptedRun::function() {
  return [this](std::shared_ptr<Cancellation> token, ProgressReport report) {
    return perform(std::move(token), std::move(report));
  };
}

int ScriptedRun::next(Step step) {
  int count;
  {
    std::lock_guard guard(lock_);
    steps_.push_back(std::move(step));
    count = ++queued_;
  }
  changed_.notify_all();
  return count;
}

int ScriptedRun::done() const {
  std::lock_guard guard(lock_);
  return done_;
}

int ScriptedRun::started() const {
  std::lock_guard guard(lock_);
  return static_cast<int>(tokens_.size());
}

std::shared_ptr<Cancellation> ScriptedRun::token(int run) const {
  std::lock_guard guard(lock_);
  return tokens_.at(static_cast<std::size_t>(run));
}

ProgressReport ScriptedRun::reporter(int run) const {
  std::lock_guard guard(lock_);
  return reporters_.at(static_cast<std::size_t>(run));
}

std::filesystem::path ScriptedRun::perform(std::shared_ptr<Cancellation> token,
                                           ProgressReport report) {
  {
    std::lock_guard guard(lock_);
    tokens_.push_back(token);
    reporters_.push_back(report);
  }
  for (;;) {
    std::unique_lock guard(lock_);
    changed_.wait_for(guard, std::chrono::milliseconds(5),
                      [&] { return !steps_.empty() || token->isCancelled(); });
    if (steps_.empty()) {
      guard.unlock();
      token->check();
      continue;
    }
    Step step = std::move(steps_.front());
    steps_.pop_front();
    guard.unlock();
    if (const auto* r = std::get_if<Report>(&step)) report(r->phase, r->fraction);
    {
      std::lock_guard counting(lock_);
      ++done_;
    }
    if (const auto* r = std::get_if<Return>(&step)) return r->application;
    if (const auto* t = std::get_if<Throw>(&step)) std::rethrow_exception(t->error);
  }
}

}  // namespace PelorinTesting
