#include "TestSupport.hpp"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "pipeline/Command.hpp"

namespace PelorinTesting {

TemporaryFolder::TemporaryFolder() {
  std::string pattern = (fs::temp_directory_path() / "pelorin-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = fs::canonical(pattern);
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code ignored;
  // Read-only folders made by a test must not keep their contents from going.
  for (auto it = fs::recursive_directory_iterator(path_, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
  }
  fs::remove_all(path_, ignored);
}

fs::path builtStandIns() { return PELORIN_STANDIN_FOLDER; }

StandInTools::StandInTools() : keys_(PelorinSeal::generateKeyPair()) {
  for (const char* tool : {"hdiutil", "ditto", "codesign", "spctl"}) {
    fs::copy_file(builtStandIns() / tool, folder_ / tool);
  }
  writeFile(folder_ / "anchor.pem", keys_.publicPem);
  tools_ = {(folder_ / "hdiutil").string(), (folder_ / "ditto").string(),
            (folder_ / "codesign").string(), (folder_ / "spctl").string()};
}

PelorinInstaller::Host testHost(const fs::path& root, PelorinInstaller::Host::Tools tools,
                                std::optional<std::int64_t> capacity,
                                InstallerCore::SystemVersion system) {
  PelorinInstaller::Host host;
  host.supportFolder = root / "support";
  host.systemApplications = root / "Applications";
  host.userApplications = root / "home" / "Applications";
  host.system = system;
  host.availableCapacity = [capacity](const fs::path&) { return capacity; };
  host.isRunning = [](std::string_view) { return false; };
  host.tools = std::move(tools);
  return host;
}

std::optional<std::string> fuseUnavailable() {
  if (access("/dev/fuse", R_OK | W_OK) != 0) return "/dev/fuse cannot be opened";
  for (const char* tool : {"/usr/bin/squashfuse", "/usr/bin/fusermount3", "/usr/bin/mksquashfs"}) {
    if (access(tool, X_OK) != 0) return std::string(tool) + " is missing";
  }
  return std::nullopt;
}

AttachedImage::AttachedImage(const PelorinInstaller::Host::Tools& tools, const fs::path& image,
                             const fs::path& mountPoint)
    : hdiutil_(tools.hdiutil), mountPoint_(mountPoint) {
  fs::create_directory(mountPoint_);
  try {
    PelorinInstaller::Command::run(
        hdiutil_, {"attach", "-readonly", "-nobrowse", "-noautoopen", "-noautofsck", "-mountpoint",
                   mountPoint_.string(), image.string()});
  } catch (...) {
    rmdir(mountPoint_.c_str());
    throw;
  }
}

AttachedImage::~AttachedImage() {
  try {
    PelorinInstaller::Command::run(hdiutil_, {"detach", mountPoint_.string()});
  } catch (...) {
  }
  rmdir(mountPoint_.c_str());
}

void packFolder(const fs::path& root, const fs::path& image) {
  PelorinInstaller::Command::run("/usr/bin/mksquashfs",
                                 {root.string(), image.string(), "-noappend", "-quiet"});
}

std::string readFile(const fs::path& file) {
  std::ifstream input(file, std::ios::binary);
  if (!input) throw std::runtime_error("cannot read " + file.string());
  std::ostringstream text;
  text << input.rdbuf();
  return text.str();
}

void writeFile(const fs::path& file, std::string_view bytes) {
  fs::create_directories(file.parent_path());
  std::ofstream output(file, std::ios::binary | std::ios::trunc);
  output.write(bytes.data(), std::streamsize(bytes.size()));
  output.close();
  if (!output) throw std::runtime_error("cannot write " + file.string());
}

}  // namespace PelorinTesting
