#pragma once

#include <sys/types.h>

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

// Returns when `folder` itself (not a link to one) is a folder of this process's user that no
// other account may write to; throws filesystem_error with EACCES otherwise. Another account's
// folder is never worked in: it could name things for this user to remove.
void requireOwnPrivate(const std::filesystem::path& folder);

// The identity of the entry at `path` itself (a link is not followed); none when nothing is
// there. Other errors are thrown.
std::optional<Identity> identityOf(const std::filesystem::path& path);

// One folder, mode 0700 whatever the umask; fails if it exists or its parent is missing.
Identity makePrivate(const std::filesystem::path& folder);

// The folder and any missing parents, each made 0700 whatever the umask; an existing folder is
// accepted.
void makePrivateWithParents(const std::filesystem::path& folder);

// Removes the folder at `path` with everything in it, but only while it is the folder
// `expected` names: its contents are removed through the opened folder, never through a link
// or a name that someone swapped meanwhile. False, touching nothing, when another item stands
// there. Errors of removing are ignored: it is clean-up.
bool removeIfSame(const std::filesystem::path& path, Identity expected);

}  // namespace PelorinInstaller::Folders
