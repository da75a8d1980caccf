#pragma once

#include <filesystem>
#include <vector>

#include "pipeline/Folders.hpp"

namespace PelorinInstaller {

// The private folder beside the destination in which a copy is prepared. Other accounts may
// share that folder, so only what a record in the (private) support folder names is ever
// removed: the folder is written down before it is made and struck off once it is gone, and a
// later run removes what a killed run recorded, if it is still the folder that run made. A
// folder that could not be removed yet (a killed run's tool still writing into it) stays
// recorded for the next run.
class StagingFolder {
 public:
  // Makes a staging folder, named by its prefix and a fresh UUID, in `parent`.
  StagingFolder(std::filesystem::path record, const std::filesystem::path& parent);
  // Removes the folder with everything in it, then strikes it off the record; errors are
  // ignored.
  ~StagingFolder();
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;

  const std::filesystem::path& path() const { return folder_; }
  // Leaves the folder where it stands and forgets it: it holds something that is not ours.
  void abandon();
  // Leaves the folder where it stands and in the record, for a later run to remove.
  void leaveForLater();

  // Removes each folder that the record names, if it is still the one recorded, is named as
  // this installer names staging folders and lies directly in one of `installFolders`; keeps
  // only those that are still there in the record. A record that this user's installer cannot
  // have written (a link, a folder, another account's file, one with several names) is removed
  // unread. Errors are ignored: it is clean-up.
  static void removeRecorded(const std::filesystem::path& record,
                             const std::vector<std::filesystem::path>& installFolders);

 private:
  std::filesystem::path record_, folder_;
  Folders::Identity identity_{};
  bool abandoned_ = false, leftForLater_ = false;
};

}  // namespace PelorinInstaller
