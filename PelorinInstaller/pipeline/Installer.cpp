#include "pipeline/Installer.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <InstallerCore/Distribution.hpp>
#include <InstallerCore/InstallTransaction.hpp>
#include <InstallerCore/InstallerError.hpp>
#include <InstallerCore/ReleaseManifest.hpp>
#include <PelorinBase/FileDescriptor.hpp>
#include <PelorinBase/Files.hpp>
#include <PelorinBase/JoiningThread.hpp>
#include <PelorinBase/ScopedFolder.hpp>
#include <PelorinBase/ToolContracts.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "pipeline/Attachment.hpp"
#include "pipeline/Checks.hpp"
#include "pipeline/Command.hpp"
#include "pipeline/Downloader.hpp"
#include "pipeline/Folders.hpp"
#include "pipeline/StagingFolder.hpp"

namespace PelorinInstaller {
namespace {

namespace fs = std::filesystem;
using InstallerCore::InstallerError;
namespace ToolContracts = PelorinBase::ToolContracts;

constexpr std::int64_t kManifestLimit = 1'048'576;
constexpr std::int64_t kSpareSpace = 536'870'912;

// The exclusive per-user lock on "install.lock", held until destruction. Close-on-exec, so
// that no tool started during the run (a mount daemon, say) keeps the lock alive after it.
class InstallLock {
 public:
  explicit InstallLock(const fs::path& file) : fd_(open(file)) {
    if (!fd_.isOpen() || ::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
      throw std::system_error(InstallerError::busy);
    }
  }
  ~InstallLock() { ::flock(fd_.get(), LOCK_UN); }
  InstallLock(const InstallLock&) = delete;
  InstallLock& operator=(const InstallLock&) = delete;

 private:
  // 0600 whatever the umask. A lock file that a strict umask once left read-only is this
  // user's own: it is made writable again rather than keeping every run busy.
  static int open(const fs::path& file) {
    constexpr int kFlags = O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(file.c_str(), kFlags, S_IRUSR | S_IWUSR);
    if (fd < 0 && errno == EACCES) {
      PelorinBase::FileDescriptor readOnly(
          ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
      if (readOnly.isOpen() && ::fchmod(readOnly.get(), S_IRUSR | S_IWUSR) == 0) {
        fd = ::open(file.c_str(), kFlags, S_IRUSR | S_IWUSR);
      }
    }
    if (fd >= 0) ::fchmod(fd, S_IRUSR | S_IWUSR);
    return fd;
  }

  PelorinBase::FileDescriptor fd_;
};

// Attaches a stop switch to the run's token until destruction: a cancel ends its tools at once.
class StopOnCancel {
 public:
  StopOnCancel(Cancellation& token, std::shared_ptr<Command::StopSwitch> stop) : token_(token) {
    token_.attach(std::move(stop));
  }
  ~StopOnCancel() { token_.attach(nullptr); }
  StopOnCancel(const StopOnCancel&) = delete;
  StopOnCancel& operator=(const StopOnCancel&) = delete;

 private:
  Cancellation& token_;
};

// A private folder that is removed, only if empty, on the way out.
PelorinBase::ScopedFolder makeMountPoint(const fs::path& folder) {
  Folders::makePrivate(folder);
  return {folder, PelorinBase::ScopedFolder::Removal::ifEmpty};
}

void removeIgnoringErrors(const fs::path& file) {
  std::error_code ignored;
  fs::remove(file, ignored);
}

constexpr std::string_view kMountPrefix = "mount-", kStagingRecord = "staging-folder";

// Entries of `folder` named by `prefix` and a UUID; errors of listing end the list.
std::vector<fs::path> workFolders(const fs::path& folder, std::string_view prefix) {
  std::vector<fs::path> found;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    if (Folders::isWorkName(it->path().filename().native(), prefix)) found.push_back(it->path());
  }
  return found;
}

// Mount points that a killed run left in the support folder: detached (never by force) and
// removed. Under the lock no other run owns them; one that stays busy stays.
void removeStaleMountPoints(const Host& host, const fs::path& support) {
  for (const auto& folder : workFolders(support, kMountPrefix)) {
    struct stat info {};
    bool unreachable = ::lstat(folder.c_str(), &info) != 0 && errno == ENOTCONN;  // server gone
    if (!unreachable && !S_ISDIR(info.st_mode)) continue;
    if (::rmdir(folder.c_str()) == 0) continue;
    try {
      Command::run(host.tools.hdiutil, ToolContracts::detachArguments(folder), host.commandLimits);
    } catch (...) {
    }
    ::rmdir(folder.c_str());
  }
}

// Whether `name` is an image as the support folder names them: a digest and ".dmg".
bool isImageName(std::string_view name) {
  constexpr std::string_view kSuffix = ".dmg";
  if (name.size() != 64 + kSuffix.size() || !name.ends_with(kSuffix)) return false;
  return std::all_of(name.begin(), name.end() - kSuffix.size(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// Images of releases that the host no longer offers, whole or partial: none can be used again.
// The one named `current` stays to be resumed; nothing else in the folder is touched.
void removeOtherImages(const fs::path& support, const std::string& current) {
  std::error_code error;
  for (fs::directory_iterator it(support, error), end; !error && it != end; it.increment(error)) {
    auto name = it->path().filename().native();
    std::error_code ignored;
    if (isImageName(name) && name != current && !it->is_directory(ignored)) {
      removeIgnoringErrors(it->path());
    }
  }
}

// What stands at the destination once checkExisting has passed it: the one item that the commit
// may swap out and then remove. An item exchanged while it was being checked is a conflict.
std::optional<Folders::Identity> checkedExisting(const fs::path& destination,
                                                 std::string_view version) {
  auto before = Folders::identityOf(destination);
  checkExisting(destination, version);
  auto checked = Folders::identityOf(destination);
  if (checked != before) throw std::system_error(InstallerError::installConflict);
  return checked;
}

}  // namespace

Installer::Installer(std::shared_ptr<Cancellation> cancellation, ProgressReport report, Host host)
    : cancellation_(cancellation ? std::move(cancellation) : std::make_shared<Cancellation>()),
      report_(std::move(report)),
      host_(std::move(host)) {}

void Installer::report(Phase phase, std::optional<double> fraction) const {
  if (report_) report_(phase, fraction);
}

// Each stage throws on failure; the guards below undo, in reverse order of their making, what
// the run made: staging folder, attachment, mount point, lock.
fs::path Installer::run(bool install) {
  namespace Distribution = InstallerCore::Distribution;
  cancellation_->check();

  // Reached through the folder opened and checked here, whatever is renamed later.
  Folders::OwnFolder supportFolder(host_.supportFolder);
  const fs::path& support = supportFolder.path();
  InstallLock lock(support / "install.lock");
  report(Phase::preparing, std::nullopt);
  removeStaleMountPoints(host_, support);

  // The image comes over the manifest's connection: one handshake, one proxy tunnel.
  TransferSettings transfer = host_.transfer;
  if (!transfer.connections) transfer.connections = makeConnectionCache();
  auto manifestFile = Downloader(Distribution::manifestURL(), support / "latest.json", std::nullopt,
                                 cancellation_, transfer, [](double) {})
                          .run();
  auto manifest = InstallerCore::ReleaseManifest::decode(
      PelorinBase::readFile(manifestFile, std::size_t(kManifestLimit) + 1,
                            PelorinBase::Links::follow),
      host_.system);
  const auto& artifact = manifest.artifacts.at("arm64");
  const auto imageName = artifact.sha256 + ".dmg";
  removeOtherImages(support, imageName);

  fs::path destination = host_.supportFolder / Distribution::appName;  // only its volume is asked
  if (install) {
    destination = PelorinInstaller::destination(host_);
    checkExisting(destination, manifest.version);
    if (host_.isRunning(Distribution::bundleID)) {
      throw std::system_error(InstallerError::appRunning);
    }
    StagingFolder::removeRecorded(support / kStagingRecord,
                                  {host_.systemApplications, host_.userApplications});
  }

  if (auto available = host_.availableCapacity(destination.parent_path())) {
    if (*available < artifact.bytes * 5 + kSpareSpace) {
      throw std::system_error(InstallerError::noSpace);
    }
  }

  report(Phase::downloading, 0.0);
  auto [image, digest] =
      Downloader(artifact.url, support / imageName, artifact.bytes, cancellation_, transfer,
                 [this](double fraction) { report(Phase::downloading, fraction); })
          .fetch();

  report(Phase::verifying, std::nullopt);
  // Taken as the image was written, unless it was complete before this run.
  if ((digest ? *digest : hash(image)) != artifact.sha256) {
    removeIgnoringErrors(image);
    throw std::system_error(InstallerError::damagedDownload);
  }
  cancellation_->check();

  auto mountPoint = makeMountPoint(support / Folders::workName(kMountPrefix));
  Attachment attachment(host_, image, mountPoint.path());
  auto bundle = mountPoint.path() / Distribution::appName;
  std::optional<StagingFolder> staging;
  if (install) staging.emplace(support / kStagingRecord, destination.parent_path());
  const auto staged = install ? staging->path() / Distribution::appName : fs::path();
  {
    // The copy runs beside the checks of the mounted bundle: a check that fails, or a cancel,
    // ends it, and the staging folder goes with it.
    const auto stop = std::make_shared<Command::StopSwitch>();
    const StopOnCancel attached(*cancellation_, stop);
    std::exception_ptr copyFailure;
    PelorinBase::JoiningThread copy;  // joined after a failing check has stopped it
    if (install) {
      copy = PelorinBase::JoiningThread([&] {
        try {
          Command::run(host_.tools.ditto, {bundle.string(), staged.string()}, host_.commandLimits,
                       stop.get());
        } catch (...) {
          copyFailure = std::current_exception();
        }
      });
    }
    try {
      verify(host_, bundle, manifest.version, "arm64", {}, stop);
    } catch (...) {
      stop->cancel();
      throw;
    }
    copy.join();
    if (copyFailure) std::rethrow_exception(copyFailure);
  }
  cancellation_->check();
  if (!install) return host_.supportFolder / imageName;

  report(Phase::installing, std::nullopt);
  {
    const auto stop = std::make_shared<Command::StopSwitch>();
    const StopOnCancel attached(*cancellation_, stop);
    verify(host_, staged, manifest.version, "arm64", {}, stop);
  }
  auto replaced = checkedExisting(destination, manifest.version);
  if (host_.isRunning(Distribution::bundleID)) {
    throw std::system_error(InstallerError::appRunning);
  }
  cancellation_->check();

  InstallerCore::InstallTransaction::commit(staged, destination, replaced.has_value());
  // What came out of the exchange is removed only if it is the copy that was checked; anything
  // else was put there by someone meanwhile and stays where it now is. When the disk cannot say
  // which it is, the new version is in place all the same, and the staging folder stays
  // recorded for a later run to remove.
  auto removal = replaced ? Folders::removeIfSame(staged, *replaced) : Folders::Removal::removed;
  if (removal == Folders::Removal::anotherItem) {
    staging->abandon();
    throw std::system_error(InstallerError::installConflict);
  }
  if (removal == Folders::Removal::cannotTell) staging->leaveForLater();
  removeIgnoringErrors(image);
  return destination;
}

}  // namespace PelorinInstaller
