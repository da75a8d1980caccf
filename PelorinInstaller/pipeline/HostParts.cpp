#include "pipeline/HostParts.hpp"

#include <pwd.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <system_error>
#include <vector>

#include "pipeline/InfoPlist.hpp"

namespace PelorinInstaller::HostParts {

std::optional<std::int64_t> availableCapacity(const std::filesystem::path& folder) {
  struct statvfs volume;
  if (statvfs(folder.c_str(), &volume) != 0) {
    throw std::filesystem::filesystem_error("cannot read the available capacity", folder,
                                            std::error_code(errno, std::generic_category()));
  }
  if (volume.f_blocks == 0) return std::nullopt;
  unsigned long long unit = volume.f_frsize ? volume.f_frsize : volume.f_bsize;
  unsigned long long limit = std::numeric_limits<std::int64_t>::max();
  unsigned long long blocks = volume.f_bavail;
  if (unit != 0 && blocks > limit / unit) return std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(blocks * unit);
}

bool insideBundle(const std::filesystem::path& executable, std::string_view bundleID) {
  for (auto folder = executable.parent_path(); folder.has_relative_path();
       folder = folder.parent_path()) {
    if (folder.extension() != ".app") continue;
    auto plist = InfoPlist::read(folder);
    if (plist && plist->string("CFBundleIdentifier") == bundleID) return true;
  }
  return false;
}

InstallerCore::SystemVersion leadingNumbers(std::string_view text) {
  std::int64_t numbers[3] = {0, 0, 0};
  std::size_t position = 0;
  for (auto& number : numbers) {
    std::size_t start = position;
    std::int64_t value = 0;
    while (position < text.size() && text[position] >= '0' && text[position] <= '9' &&
           value < std::numeric_limits<std::int64_t>::max() / 10 - 9) {
      value = value * 10 + (text[position] - '0');
      ++position;
    }
    if (position == start) break;
    number = value;
    if (position >= text.size() || text[position] != '.') break;
    ++position;
  }
  return {numbers[0], numbers[1], numbers[2]};
}

std::filesystem::path homeFolder() {
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return home;
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? std::size_t(size) : 16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  int error = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found);
  if (found && found->pw_dir && found->pw_dir[0] == '/') return found->pw_dir;
  throw std::system_error(error ? error : ENOENT, std::generic_category(),
                          "the user has no home folder");
}

TransferSettings compiledTransferSettings() {
  TransferSettings settings;
  settings.caFile = PELORIN_CA_FILE;
  std::string_view entries = PELORIN_CONNECT_TO;
  while (!entries.empty()) {
    auto end = entries.find(';');
    auto entry = entries.substr(0, end);
    if (!entry.empty()) settings.connectTo.emplace_back(entry);
    if (end == std::string_view::npos) break;
    entries.remove_prefix(end + 1);
  }
  return settings;
}

}  // namespace PelorinInstaller::HostParts
