#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "pipeline/Cancellation.hpp"
#include "pipeline/Host.hpp"
#include "pipeline/Phase.hpp"

namespace PelorinInstaller {

using ProgressReport = std::function<void(Phase, std::optional<double> fraction)>;

// One installation attempt, from the lock to the committed application.
class Installer {
 public:
  Installer(std::shared_ptr<Cancellation> cancellation, ProgressReport report,
            Host host = Host::live());

  // install: the installed bundle's path. Not install: stops after verifying the mounted bundle
  // and returns the disk image's path, changing nothing outside the support folder. Throws
  // InstallerError (busy at once while another run holds the lock), CommandError, and the
  // downloader's, file-system and manifest errors unchanged, after undoing what the run made.
  std::filesystem::path run(bool install);

 private:
  void report(Phase phase, std::optional<double> fraction) const;

  std::shared_ptr<Cancellation> cancellation_;
  ProgressReport report_;
  Host host_;
};

}  // namespace PelorinInstaller
