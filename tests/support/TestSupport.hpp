#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <PelorinBase/Files.hpp>
#include <PelorinBase/ScopedFolder.hpp>
#include <PelorinSeal/Seal.hpp>
#include <chrono>
#include <map>
#include <vector>

#include "pipeline/Host.hpp"  // with the file-system, optional and string headers

// The one test world that every test shares.
namespace PelorinTesting {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder; on destruction the images mounted below it
// are unmounted, read-only folders opened up, and it is removed whole.
class TemporaryFolder {
 public:
  explicit TemporaryFolder(const std::string& prefix = "pelorin-test");
  ~TemporaryFolder();
  const fs::path& path() const { return folder_.path(); }
  fs::path operator/(const fs::path& relative) const { return folder_ / relative; }

 private:
  PelorinBase::ScopedFolder folder_;
};

// The four built stand-ins in a private tools folder that trusts a key pair made for it.
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

// A host over `root` ("support", "Applications", "home/Applications", not made); nothing runs.
PelorinInstaller::Host testHost(const fs::path& root, PelorinInstaller::Host::Tools tools,
                                std::optional<std::int64_t> capacity = std::int64_t(1) << 40,
                                InstallerCore::SystemVersion system = {14, 2, 1});

// Why FUSE mounts cannot be made here, or none when they can.
std::optional<std::string> fuseUnavailable();

// A squashfs image attached by the stand-in hdiutil; detached, mount point removed, at the end.
class AttachedImage {
 public:
  AttachedImage(const PelorinInstaller::Host::Tools& tools, const fs::path& image,
                const fs::path& mountPoint);
  ~AttachedImage();
  const fs::path& path() const { return mountPoint_.path(); }

 private:
  std::string hdiutil_;
  PelorinBase::ScopedFolder mountPoint_;  // removed after the detach, when empty
};

// Packs a folder tree into a squashfs image.
inline void packFolder(const fs::path& root, const fs::path& image) {
  PelorinInstaller::Command::run("/usr/bin/mksquashfs", {root, image, "-noappend", "-quiet"});
}

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

// Permission bits bind every user but root.
inline bool permissionsBind() { return ::geteuid() != 0; }

// The whole of a file; writing makes the missing parent folders; a script is executable.
inline std::string readFile(const fs::path& file) {
  return PelorinBase::readFile(file, SIZE_MAX, PelorinBase::Links::follow);
}
inline void writeFile(const fs::path& file, std::string_view bytes) {
  fs::create_directories(file.parent_path());
  PelorinBase::writeFile(file, bytes, 0644);
}
inline void writeScript(const fs::path& file, const std::string& body) {
  writeFile(file, "#!/bin/sh\n" + body);
  fs::permissions(file, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                  fs::perm_options::add);
}

// How an action ended, as one word for tables of cases: "ok", an InstallerError's name,
// "TOOL STATUS" for a CommandError, "errno N", "network N", "json" for JSON that does not parse,
// "other: WHAT" for anything else.
std::string outcomeOf(const std::function<void()>& action);

// Whether `done` holds within `limit`, asked every 20 ms.
bool eventually(const std::function<bool()>& done,
                std::chrono::milliseconds limit = std::chrono::seconds(10));

// Mount points at or below `folder`.
std::vector<fs::path> mountsUnder(const fs::path& folder);

// Names of the entries of `folder` that begin with `prefix`, sorted.
std::vector<std::string> entriesStartingWith(const fs::path& folder, const std::string& prefix);

// True when an exclusive lock on `file` can be taken at once (it is taken and let go).
bool lockIsFree(const fs::path& file);

// Every item below `folder` with its mode, size and modification time, as comparable text.
std::map<std::string, std::string> snapshot(const fs::path& folder);

// A copy of /bin/sleep at `executable` (its folders made) that runs until destruction.
class RunningProgram {
 public:
  explicit RunningProgram(const fs::path& executable);
  ~RunningProgram();
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;

 private:
  pid_t pid_ = -1;
};

struct ChildResult {
  std::optional<int> exitStatus;  // none when a signal ended it
  std::optional<int> signal;
  std::string out, err;
};

// Runs a program to its end (killed after a minute) with exactly the given environment.
ChildResult runChild(const fs::path& program, const std::vector<std::string>& args,
                     const std::map<std::string, std::string>& environment,
                     std::optional<std::string> argv0 = std::nullopt);

}  // namespace PelorinTesting
