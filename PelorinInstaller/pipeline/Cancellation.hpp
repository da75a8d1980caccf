#pragma once

#include <memory>
#include <mutex>

namespace PelorinInstaller {

// Something running that a cancel can stop at once (a transfer).
class CancellableTask {
 public:
  virtual ~CancellableTask() = default;
  virtual void cancel() = 0;  // may be called from any thread, more than once
};

// The per-run token, shared by the controller, the driver and the downloader.
class Cancellation {
 public:
  void cancel();
  bool isCancelled() const;
  // Registers the running task (or none). A token already cancelled cancels the new task at
  // once, so a cancel between a caller's own check and this call is never lost.
  void attach(std::shared_ptr<CancellableTask> task);
  // Throws InstallerError::cancelled when cancelled.
  void check() const;

 private:
  mutable std::mutex lock_;
  bool cancelled_ = false;
  std::shared_ptr<CancellableTask> task_;
};

}  // namespace PelorinInstaller
