#include <libproc.h>
#include <sys/sysctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "pipeline/Host.hpp"
#include "pipeline/HostParts.hpp"

namespace PelorinInstaller {
namespace {

namespace fs = std::filesystem;

const Host::Tools kTools = {"/usr/bin/hdiutil", "/usr/bin/ditto", "/usr/bin/codesign",
                            "/usr/sbin/spctl"};

// The product version, such as "14.2.1".
InstallerCore::SystemVersion productVersion() {
  char text[64] = {};
  std::size_t length = sizeof text - 1;
  if (sysctlbyname("kern.osproductversion", text, &length, nullptr, 0) != 0) {
    throw std::system_error(errno, std::generic_category(), "kern.osproductversion");
  }
  return HostParts::leadingNumbers(std::string_view(text, strnlen(text, sizeof text)));
}

// Whether the process runs as `user`, by its real or its effective user id. Another user's
// session running the product does not stand in the way of this user's install.
bool runsAs(pid_t pid, uid_t user) {
  struct proc_bsdshortinfo info;
  return proc_pidinfo(pid, PROC_PIDT_SHORTBSDINFO, 0, &info, sizeof info) == int(sizeof info) &&
         (info.pbsi_ruid == user || info.pbsi_uid == user);
}

// A process of this user whose executable lies inside a bundle with that identifier.
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
    if (length > 0 &&
        HostParts::insideBundle(fs::path(std::string(path, std::size_t(length))), bundleID)) {
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
  host.availableCapacity = HostParts::availableCapacity;
  host.isRunning = applicationRuns;
  host.tools = kTools;
  host.transfer = HostParts::compiledTransferSettings();
  return host;
}

std::vector<std::filesystem::path> Host::liveToolFiles() {
  return {kTools.hdiutil, kTools.ditto, kTools.codesign, kTools.spctl};
}

}  // namespace PelorinInstaller
