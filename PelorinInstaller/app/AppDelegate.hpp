#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <utility>

#include "pipeline/Cancellation.hpp"
#include "pipeline/Installer.hpp"
#include "pipeline/Phase.hpp"

class QLabel;
class QMenuBar;
class QPushButton;
class QWidget;

namespace PelorinInstaller {

class InstallButton;
class InstallerProgressIndicator;
class StatusLabel;

// The controller of the one window: starts runs, shows their progress and their outcome, opens
// the installed application, and refuses to quit while a run is working.
class AppDelegate : public QObject {
 public:
  // Performs one installation on a background thread and returns the installed application.
  using RunFunction =
      std::function<std::filesystem::path(std::shared_ptr<Cancellation>, ProgressReport)>;

  explicit AppDelegate(RunFunction run);
  ~AppDelegate() override;

  void applicationDidFinishLaunching();
  void performAction();
  void cancelInstall();
  // True: quit now. While a run is working it explains why not and keeps the window. Closing
  // the window, the quit item and its shortcut all ask here; a close or a quit of the
  // application during a run is refused before anything closes.
  bool applicationShouldTerminate();

  QWidget* window() const { return window_.get(); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void start();
  void show(Phase phase, std::optional<double> fraction);
  void complete(const std::filesystem::path& application);
  void failed(std::exception_ptr error);
  void settle(const QString& actionTitle);
  void focusShownControl();
  void open();
  void terminate();
  void explainRefusal();
  void setStatus(const QString& text);
  void setOutcome(const QString& text);

  // Runs `job` on the main thread once its event loop is back.
  template <typename Job>
  void later(Job job) {
    QMetaObject::invokeMethod(this, std::move(job), Qt::QueuedConnection);
  }
  // The one way a run's thread reaches the window: `job` runs on the main thread, unless a newer
  // run has started by then.
  template <typename Job>
  void post(std::uint64_t serial, Job job) {
    later([this, serial, job = std::move(job)] {
      if (serial == serial_) job();
    });
  }

  RunFunction run_;
  std::unique_ptr<QWidget> window_;
  std::unique_ptr<QMenuBar> menu_;
  StatusLabel* status_;
  QString statusMessage_;  // before fitting: a download's many reports repeat it
  QLabel* percentage_;
  InstallerProgressIndicator* progress_;
  InstallButton* action_;
  QPushButton* cancel_;
  std::shared_ptr<Cancellation> cancellation_;
  bool working_ = false;
  bool explaining_ = false;
  std::optional<std::filesystem::path> installed_;
  // Jobs a run schedules carry its number, so that nothing of an old run reaches a newer one.
  std::uint64_t serial_ = 0;
  std::thread runner_;
};

}  // namespace PelorinInstaller
