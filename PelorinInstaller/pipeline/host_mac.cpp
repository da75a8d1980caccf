#include <libproc.h>
#include <sys/mount.h>
#include <sys/param.h>
#include <sys/sysctl.h>
#include <unistd.h>

#include <InstallerCore/Distribution.hpp>
#include <InstallerCore/SystemRelease.hpp>
#include <PelorinBase/Errors.hpp>
#include <cstring>
#include <string>
#include <vector>

#include "pipeline/Host.hpp"
#include "pipeline/HostParts.hpp"

namespace PelorinInstaller {
namespace {

namespace fs = std::filesystem;

const Host::Tools kTools = {"/usr/bin/hdiutil", "/usr/bin/ditto", "/usr/bin/codesign",
                            "/usr/sbin/spctl"};

std::string sysctlText(const char* name) {
  char text[64] = {};
  std::size_t length = sizeof text - 1;
  if (sysctlbyname(name, text, &length, nullptr, 0) != 0) PelorinBase::throwSystemError(name);
  return std::string(text, strnlen(text, sizeof text));
}

// The product version read beside the Darwin release: a compatibility number cannot pass for it.
InstallerCore::SystemVersion productVersion() {
  return InstallerCore::SystemRelease::macOS(sysctlText("kern.osrelease"),
                                             sysctlText("kern.osproductversion"));
}

// statfs: statvfs counts blocks in 32 bits here, and wraps on a volume of more than 2^32.
std::optional<std::int64_t> volumeCapacity(const fs::path& folder) {
  struct statfs volume;
  if (statfs(folder.c_str(), &volume) != 0) {
    PelorinBase::throwFileError("cannot read the available capacity", folder);
  }
  return HostParts::capacity(volume.f_blocks, volume.f_bavail, volume.f_bsize);
}

// Whether the process runs as `user`, by its real or its effective user id. Another user's
// session running the product does not stand in the way of this user's install.
bool runsAs(pid_t pid, uid_t user) {
  struct proc_bsdshortinfo info;
  return proc_pidinfo(pid, PROC_PIDT_SHORTBSDINFO, 0, &info, sizeof info) == int(sizeof info) &&
         (info.pbsi_ruid == user || info.pbsi_uid == user);
}

// A process of this user whose executable lies inside the product's bundle with that identifier.
bool applicationRuns(std::string_view bundleID) {
  int count = proc_listallpids(nullptr, 0);
  if (count <= 0) return false;
  std::vector<pid_t> pids(std::size_t(count) + 64);
  count = proc_listallpids(pids.data(), int(pids.size() * sizeof(pid_t)));
  const uid_t user = getuid();
  for (int i = 0; i < count; ++i) {
    if (!runsAs(pids[std::size_t(i)], user)) continue;
    char path[PROC_PIDPATHINFO_MAXSIZE];
    int length = proc_pidpath(pids[std::size_t(i)], path, sizeof path);
    if (length > 0 && HostParts::insideBundle(fs::path(std::string(path, std::size_t(length))),
                                              InstallerCore::Distribution::appName, bundleID)) {
      return true;
    }
  }
  return false;
}

}  // namespace

Host Host::live() {
  auto home = HostParts::homeFolder();
  Host host;
  host.supportFolder = home / "Library" / "Application Support" / "com.pelorin-ai.code.installer";
  host.systemApplications = "/Applications";
  host.userApplications = home / "Applications";
  host.system = productVersion();
  host.availableCapacity = volumeCapacity;
  host.isRunning = applicationRuns;
  host.tools = kTools;
  host.transfer = HostParts::compiledTransferSettings();
  return host;
}

std::vector<std::filesystem::path> Host::liveToolFiles() {
  return {kTools.hdiutil, kTools.ditto, kTools.codesign, kTools.spctl};
}

std::optional<std::string> Host::liveToolFileFault(const std::filesystem::path&) {
  return std::nullopt;
}

}  // namespace PelorinInstaller
