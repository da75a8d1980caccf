#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <InstallerCore/Version.hpp>
#include <PelorinSeal/Seal.hpp>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "pipeline/Host.hpp"

// What the pipeline, stand-in and release tests share: temporary folders, hosts over them, the
// stand-in tools with an anchor key of the test's own, and attached images.
namespace PelorinTesting {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed with its contents.
class TemporaryFolder {
 public:
  TemporaryFolder();
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  const fs::path& path() const { return path_; }
  fs::path operator/(const fs::path& relative) const { return path_ / relative; }

 private:
  fs::path path_;
};

// The four stand-ins copied into a private tools folder that trusts a key pair made for it.
class StandInTools {
 public:
  StandInTools();
  const PelorinInstaller::Host::Tools& tools() const { return tools_; }
  const PelorinSeal::KeyPair& keys() const { return keys_; }
  const fs::path& folder() const { return folder_.path(); }

 private:
  TemporaryFolder folder_;
  PelorinSeal::KeyPair keys_;
  PelorinInstaller::Host::Tools tools_;
};

// Where the build put the stand-ins.
fs::path builtStandIns();

// A host over `root`: "support", "Applications" (standing for /Applications) and
// "home/Applications"; the folders are not created. Capacity and system as stated; nothing runs.
PelorinInstaller::Host testHost(const fs::path& root, PelorinInstaller::Host::Tools tools,
                                std::optional<std::int64_t> capacity = std::int64_t(1) << 40,
                                InstallerCore::SystemVersion system = {14, 2, 1});

// Why FUSE mounts cannot be made here, or none when they can.
std::optional<std::string> fuseUnavailable();

// A squashfs image attached read-only at a mount point by the stand-in hdiutil; detached and the
// mount point removed on destruction.
class AttachedImage {
 public:
  AttachedImage(const PelorinInstaller::Host::Tools& tools, const fs::path& image,
                const fs::path& mountPoint);
  ~AttachedImage();
  AttachedImage(const AttachedImage&) = delete;
  AttachedImage& operator=(const AttachedImage&) = delete;
  const fs::path& path() const { return mountPoint_; }

 private:
  std::string hdiutil_;
  fs::path mountPoint_;
};

// Packs a folder tree into a squashfs image with mksquashfs.
void packFolder(const fs::path& root, const fs::path& image);

// The process's umask, set to `mask` until destruction.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(previous_); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t previous_;
};

// Permission bits bind every user but root: cases about them mean something only without it.
inline bool permissionsBind() { return ::geteuid() != 0; }

// The whole of a file.
std::string readFile(const fs::path& file);
void writeFile(const fs::path& file, std::string_view bytes);

}  // namespace PelorinTesting
