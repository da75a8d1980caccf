#include "pipeline/HostParts.hpp"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <system_error>
#include <vector>

#include "pipeline/InfoPlist.hpp"

namespace PelorinInstaller::HostParts {

std::optional<std::int64_t> capacity(std::uint64_t blocks, std::uint64_t available,
                                     std::uint64_t unit) {
  if (blocks == 0) return std::nullopt;
  std::uint64_t limit = std::numeric_limits<std::int64_t>::max();
  if (unit != 0 && available > limit / unit) return std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(available * unit);
}

bool insideBundle(const std::filesystem::path& executable, std::string_view bundleName,
                  std::string_view bundleID) {
  auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
  auto sameName = [&](const std::string& name) {
    return std::equal(name.begin(), name.end(), bundleName.begin(), bundleName.end(),
                      [&](char a, char b) { return fold(a) == fold(b); });
  };
  for (auto folder = executable.parent_path(); folder.has_relative_path();
       folder = folder.parent_path()) {
    if (!sameName(folder.filename().string())) continue;
    auto plist = InfoPlist::read(folder);
    if (plist && plist->string("CFBundleIdentifier") == bundleID) return true;
  }
  return false;
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
