#pragma once

#include <filesystem>
#include <string_view>

namespace PelorinBase {

// A folder removed when this object goes: with everything in it, or only if it is empty by then
// (a mount point, which must never take what is mounted on it along). Errors of removing are
// ignored: it is clean-up. release() keeps the folder. A folder removed with everything in it
// is also removed on an interruption, once removeFoldersOnInterrupt has been called.
class ScopedFolder {
 public:
  enum class Removal { everything, ifEmpty };

  // A fresh folder "PREFIX" + six random characters in `parent`, mode 0700. Throws
  // filesystem_error when it cannot be made.
  static ScopedFolder makeUnique(const std::filesystem::path& parent, std::string_view prefix,
                                 Removal removal = Removal::everything);

  // Takes charge of the folder at `path`, which the caller made.
  ScopedFolder(std::filesystem::path path, Removal removal);
  ScopedFolder(ScopedFolder&& other) noexcept;
  ScopedFolder& operator=(ScopedFolder&&) = delete;
  ~ScopedFolder();

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& relative) const {
    return path_ / relative;
  }
  // Leaves the folder where it is; returns its path.
  std::filesystem::path release();

 private:
  std::filesystem::path path_;
  Removal removal_;
};

// From now on SIGINT, SIGTERM and SIGHUP remove every folder that a ScopedFolder removes with
// everything in it, say so in one line on standard error ("PROGRAM: interrupted by SIGTERM;
// removed FOLDER, ..."), and end the process by that signal. A signal ignored at start (a
// shell's background job, nohup) stays ignored. Call once from main, before any thread starts:
// the three signals are blocked in every thread and taken by one thread of their own.
void removeFoldersOnInterrupt(std::string_view program);

}  // namespace PelorinBase
