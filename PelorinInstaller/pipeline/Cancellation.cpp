#include "pipeline/Cancellation.hpp"

#include <InstallerCore/InstallerError.hpp>
#include <system_error>

namespace PelorinInstaller {

void Cancellation::cancel() {
  std::shared_ptr<CancellableTask> task;
  {
    std::lock_guard guard(lock_);
    cancelled_ = true;
    task = task_;
  }
  if (task) task->cancel();
}

bool Cancellation::isCancelled() const {
  std::lock_guard guard(lock_);
  return cancelled_;
}

void Cancellation::attach(std::shared_ptr<CancellableTask> task) {
  bool cancelled;
  {
    std::lock_guard guard(lock_);
    task_ = task;
    cancelled = cancelled_;
  }
  if (cancelled && task) task->cancel();
}

void Cancellation::check() const {
  if (isCancelled()) throw std::system_error(InstallerCore::InstallerError::cancelled);
}

}  // namespace PelorinInstaller
