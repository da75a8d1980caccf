#pragma once

#include <sys/types.h>

#include <PelorinBase/FileDescriptor.hpp>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// Folders the installer makes and removes beside other accounts' files.
namespace PelorinInstaller::Folders {

// Which file an entry named, so that a later step can tell whether it is still the same one.
struct Identity {
  dev_t device;
  ino_t inode;
  friend bool operator==(const Identity&, const Identity&) = default;
};

// `prefix` followed by a fresh random UUID in the usual upper-case 8-4-4-4-12 form: the name of
// a folder that this run makes.
std::string workName(std::string_view prefix);

// Whether `name` is `prefix` followed by a UUID as workName writes it: names this installer made.
bool isWorkName(std::string_view name, std::string_view prefix);

// This user's own private folder, made if missing and then opened once without following a
// link. Its path() names the opened folder itself, so that every name below it is looked up from
// there: a folder exchanged for another (or for a link) after its check changes nothing.
class OwnFolder {
 public:
  // Makes what is missing of `folder` (each 0700), but only below a folder that is this user's
  // own: root's run must not leave a user's home with folders of root's. Throws
  // filesystem_error with EACCES, having made nothing, when the nearest existing folder on the
  // way is another account's, or when the folder opened is not this user's own or another
  // account may write to it: another account's folder could name things for this user to
  // remove.
  explicit OwnFolder(const std::filesystem::path& folder);
  const std::filesystem::path& path() const { return path_; }

 private:
  PelorinBase::FileDescriptor fd_;
  std::filesystem::path path_;
};

// A path that reaches the folder open at `fd` for this process and the tools it starts, whatever
// has been renamed meanwhile.
std::filesystem::path pathThrough(int fd);

// The identity of the entry at `path` itself (a link is not followed); none when nothing is
// there. Other errors are thrown.
std::optional<Identity> identityOf(const std::filesystem::path& path);

// One folder, mode 0700 whatever the umask; fails if it exists or its parent is missing.
Identity makePrivate(const std::filesystem::path& folder);

// The folder and any missing parents, each made 0700 whatever the umask; an existing folder is
// accepted.
void makePrivateWithParents(const std::filesystem::path& folder);

// What removeIfSame did: removed the folder (or found nothing there), left another item that
// stands there (also one this user may not open), or could not tell what stands there (the disk
// failed) and left it.
enum class Removal { removed, anotherItem, cannotTell };

// Removes the folder at `path` with everything in it, but only while it is the folder
// `expected` names: its contents are removed through the opened folder, never through a link
// or a name that someone swapped meanwhile. Touches nothing unless it is that folder. Errors of
// removing are ignored: it is clean-up.
Removal removeIfSame(const std::filesystem::path& path, Identity expected);

}  // namespace PelorinInstaller::Folders
