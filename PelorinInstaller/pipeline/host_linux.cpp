#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <InstallerCore/Distribution.hpp>
#include <InstallerCore/SystemRelease.hpp>
#include <PelorinBase/Errors.hpp>
#include <PelorinBase/Files.hpp>
#include <PelorinSeal/Seal.hpp>
#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "pipeline/Host.hpp"
#include "pipeline/HostParts.hpp"

namespace PelorinInstaller {
namespace {

namespace fs = std::filesystem;

// The key the stand-ins trust, beside them; a PEM public key is far smaller than the bound.
constexpr const char* kAnchorFile = "anchor.pem";
constexpr std::size_t kAnchorBytes = 64 * 1024;

// $XDG_DATA_HOME when it is an absolute path, else ~/.local/share.
fs::path dataHome(const fs::path& home) {
  const char* configured = std::getenv("XDG_DATA_HOME");
  if (configured && configured[0] == '/') return configured;
  return home / ".local" / "share";
}

// The kernel release's three numbers.
InstallerCore::SystemVersion kernelVersion() {
  struct utsname names;
  if (uname(&names) != 0) throw std::system_error(errno, std::generic_category(), "uname");
  return InstallerCore::SystemRelease::numbers(names.release);
}

std::optional<std::int64_t> volumeCapacity(const fs::path& folder) {
  struct statvfs volume;
  if (statvfs(folder.c_str(), &volume) != 0) {
    PelorinBase::throwFileError("cannot read the available capacity", folder);
  }
  return HostParts::capacity(volume.f_blocks, volume.f_bavail,
                             volume.f_frsize ? volume.f_frsize : volume.f_bsize);
}

// The folder of the running executable: the stand-ins ship beside it.
fs::path executableFolder() {
  std::error_code error;
  auto executable = fs::read_symlink("/proc/self/exe", error);
  if (error) throw fs::filesystem_error("cannot find the running executable", error);
  return executable.parent_path();
}

// The stand-ins in `folder`.
Host::Tools standIns(const fs::path& folder) {
  return {(folder / "hdiutil").string(), (folder / "ditto").string(),
          (folder / "codesign").string(), (folder / "spctl").string()};
}

bool allDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// A process of this user whose executable lies inside the product's bundle with that identifier.
bool applicationRuns(std::string_view bundleID) {
  std::error_code error;
  for (fs::directory_iterator entry("/proc", error), end; !error && entry != end;
       entry.increment(error)) {
    if (!allDigits(entry->path().filename().string())) continue;
    std::error_code unreadable;  // another user's process, or one that just ended
    auto executable = fs::read_symlink(entry->path() / "exe", unreadable);
    if (!unreadable &&
        HostParts::insideBundle(executable, InstallerCore::Distribution::appName, bundleID)) {
      return true;
    }
  }
  return false;
}

}  // namespace

Host Host::live() {
  auto home = HostParts::homeFolder();
  Host host;
  host.supportFolder = dataHome(home) / "com.pelorin-ai.code.installer";
  host.systemApplications = "/Applications";
  host.userApplications = home / "Applications";
  host.system = kernelVersion();
  host.availableCapacity = volumeCapacity;
  host.isRunning = applicationRuns;
  host.tools = standIns(executableFolder());
  host.transfer = HostParts::compiledTransferSettings();
  return host;
}

std::vector<fs::path> Host::liveToolFiles() {
  const auto folder = executableFolder();
  const auto tools = standIns(folder);
  return {tools.hdiutil, tools.ditto, tools.codesign, tools.spctl, folder / kAnchorFile};
}

std::optional<std::string> Host::liveToolFileFault(const fs::path& file) {
  if (file.filename() != kAnchorFile) return std::nullopt;
  try {
    PelorinSeal::requireAnchor(
        PelorinBase::readFile(file, kAnchorBytes, PelorinBase::Links::follow));
    return std::nullopt;
  } catch (const PelorinSeal::SealError&) {
    return "is not an Ed25519 public key in PEM form";
  } catch (const fs::filesystem_error& error) {
    return "cannot be read: " + error.code().message();
  }
}

}  // namespace PelorinInstaller
