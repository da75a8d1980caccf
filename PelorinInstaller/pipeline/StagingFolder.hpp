#pragma once

#include <filesystem>

#include "pipeline/Folders.hpp"

namespace PelorinInstaller {

// The private folder beside the destination in which a copy is prepared. Other accounts may
// share that folder, so only what a record in the (private) support folder names is ever
// removed: the record is written before the folder is made and cleared once it is gone, and a
// later run removes what a killed run recorded, if it is still the folder that run made.
class StagingFolder {
 public:
  StagingFolder(std::filesystem::path record, std::filesystem::path folder);
  // Removes the folder with everything in it, then the record; errors are ignored.
  ~StagingFolder();
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;

  const std::filesystem::path& path() const { return folder_; }
  // Leaves the folder where it stands and forgets it: it holds something that is not ours.
  void abandon();

  // Removes the folder that the record names, if it is still the one recorded, and the record.
  static void removeRecorded(const std::filesystem::path& record);

 private:
  std::filesystem::path record_, folder_;
  Folders::Identity identity_{};
  bool abandoned_ = false;
};

}  // namespace PelorinInstaller
