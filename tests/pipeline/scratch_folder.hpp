#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace PelorinInstaller::Testing {

// A fresh folder under the system's temporary directory. On destruction every image still
// mounted below it is unmounted and the folder is removed with everything in it.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& prefix);
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Mount points at or below `folder`, from /proc/self/mounts.
std::vector<std::filesystem::path> mountsUnder(const std::filesystem::path& folder);

// Names of the entries of `folder` that begin with `prefix`, sorted.
std::vector<std::string> entriesStartingWith(const std::filesystem::path& folder,
                                             const std::string& prefix);

// True when an exclusive lock on `file` can be taken at once (it is taken and let go).
bool lockIsFree(const std::filesystem::path& file);

// Every item below `folder` with its type, size and modification time, as comparable text.
std::map<std::string, std::string> snapshot(const std::filesystem::path& folder);

// Writes an executable shell script.
void writeScript(const std::filesystem::path& file, const std::string& body);

void writeFile(const std::filesystem::path& file, const std::string& bytes);
std::string readFile(const std::filesystem::path& file);

// Stops (or lets again) any change to the entries of a folder, also for root.
void setFolderFrozen(const std::filesystem::path& folder, bool frozen);

}  // namespace PelorinInstaller::Testing
