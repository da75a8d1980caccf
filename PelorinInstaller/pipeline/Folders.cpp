#include "pipeline/Folders.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <PelorinBase/Errors.hpp>
#include <PelorinBase/FileDescriptor.hpp>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <system_error>
#include <vector>

namespace PelorinInstaller::Folders {
namespace {

namespace fs = std::filesystem;
using PelorinBase::FileDescriptor;
using PelorinBase::throwFileError;

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct CloseDirectory {
  void operator()(DIR* directory) const { ::closedir(directory); }
};

// The names in an open folder, "." and ".." left out; an error ends the list.
std::vector<std::string> namesIn(int folder) {
  std::vector<std::string> names;
  int copy = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return names;
  std::unique_ptr<DIR, CloseDirectory> directory(::fdopendir(copy));
  if (!directory) {
    ::close(copy);
    return names;
  }
  while (const dirent* entry = ::readdir(directory.get())) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  return names;
}

// Everything inside an open folder, each sub-folder entered through a descriptor opened
// without following links. Copies may carry read-only folders: ours are opened up first.
void removeContents(int folder) {
  for (const auto& name : namesIn(folder)) {
    struct stat info {};
    if (::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      FileDescriptor inner(::openat(folder, name.c_str(), kFolderFlags));
      if (!inner.isOpen()) continue;
      ::fchmod(inner.get(), S_IRWXU);
      removeContents(inner.get());
      ::unlinkat(folder, name.c_str(), AT_REMOVEDIR);
    } else {
      ::unlinkat(folder, name.c_str(), 0);
    }
  }
}

// `folder`, made if missing below a folder of this user's, opened without following a link and
// found to be this user's own private folder.
FileDescriptor openOwn(const fs::path& folder) {
  auto refused = [&] {
    return PelorinBase::fileError("not this user's own folder", folder, EACCES);
  };
  if (folder.empty()) throw PelorinBase::fileError("mkdir", folder, ENOENT);
  struct stat info {};
  fs::path at = folder;
  while (::lstat(at.c_str(), &info) != 0 && errno == ENOENT && at != at.parent_path()) {
    at = at.parent_path();
  }
  if (at != folder) {
    if (::stat(at.c_str(), &info) != 0) throwFileError("cannot read the attributes of", at);
    if (info.st_uid != ::geteuid()) throw refused();
    makePrivateWithParents(folder);
  }
  FileDescriptor opened(::open(folder.c_str(), kFolderFlags));
  if (!opened.isOpen() && (errno == ELOOP || errno == ENOTDIR)) throw refused();
  if (!opened.isOpen() || ::fstat(opened.get(), &info) != 0) throwFileError("cannot open", folder);
  if (info.st_uid != ::geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) throw refused();
  return opened;
}

}  // namespace

std::string workName(std::string_view prefix) {
  std::random_device device;
  std::array<std::uint8_t, 16> bytes{};
  for (std::size_t i = 0; i < bytes.size(); i += 4) {
    auto word = device();
    for (std::size_t j = 0; j < 4; ++j) bytes[i + j] = static_cast<std::uint8_t>(word >> (8 * j));
  }
  bytes[6] = (bytes[6] & 0x0f) | 0x40;  // version 4, variant 1
  bytes[8] = (bytes[8] & 0x3f) | 0x80;
  std::string text(prefix);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
    text += hex;
  }
  return text;
}

bool isWorkName(std::string_view name, std::string_view prefix) {
  if (name.size() != prefix.size() + 36 || !name.starts_with(prefix)) return false;
  name.remove_prefix(prefix.size());
  for (std::size_t i = 0; i < name.size(); ++i) {
    bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    char c = name[i];
    if (hyphen ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

OwnFolder::OwnFolder(const fs::path& folder) : fd_(openOwn(folder)), path_(pathThrough(fd_.get())) {
  struct stat opened {};
  struct stat reached {};
  if (::fstat(fd_.get(), &opened) != 0 || ::stat(path_.c_str(), &reached) != 0 ||
      reached.st_dev != opened.st_dev || reached.st_ino != opened.st_ino) {
    throw PelorinBase::fileError("cannot reach the opened folder", folder, EACCES);
  }
}

std::optional<Identity> identityOf(const fs::path& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0) return Identity{info.st_dev, info.st_ino};
  if (errno == ENOENT) return std::nullopt;
  throwFileError("cannot read the attributes of", path);
}

Identity makePrivate(const fs::path& folder) {
  if (::mkdir(folder.c_str(), S_IRWXU) != 0) throwFileError("mkdir", folder);
  FileDescriptor made(::open(folder.c_str(), kFolderFlags));
  struct stat info {};
  if (!made.isOpen() || ::fchmod(made.get(), S_IRWXU) != 0 || ::fstat(made.get(), &info) != 0) {
    int error = errno;
    ::rmdir(folder.c_str());
    throw PelorinBase::fileError("mkdir", folder, error);
  }
  return {info.st_dev, info.st_ino};
}

void makePrivateWithParents(const fs::path& folder) {
  if (folder.empty()) throw PelorinBase::fileError("mkdir", folder, ENOENT);
  std::vector<fs::path> missing;
  for (fs::path at = folder; !at.empty() && !fs::exists(at); at = at.parent_path()) {
    missing.push_back(at);
    if (at == at.parent_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), S_IRWXU) == 0) {
      ::chmod(it->c_str(), S_IRWXU);
    } else if (errno != EEXIST) {
      throwFileError("mkdir", *it);
    }
  }
  if (!fs::is_directory(folder)) throw PelorinBase::fileError("mkdir", folder, ENOTDIR);
}

Removal removeIfSame(const fs::path& path, Identity expected) {
  FileDescriptor folder(::open(path.c_str(), kFolderFlags));
  if (!folder.isOpen()) {
    if (errno == ENOENT) return Removal::removed;
    // A link, a file, or a folder this user may not read: not the copy that was checked.
    bool another = errno == ELOOP || errno == ENOTDIR || errno == EACCES || errno == EPERM;
    return another ? Removal::anotherItem : Removal::cannotTell;
  }
  struct stat info {};
  if (::fstat(folder.get(), &info) != 0) return Removal::cannotTell;
  if (Identity{info.st_dev, info.st_ino} != expected) return Removal::anotherItem;
  ::fchmod(folder.get(), S_IRWXU);
  removeContents(folder.get());
  // By name: if the folder was swapped after all, the other one is removed only when empty.
  ::rmdir(path.c_str());
  return Removal::removed;
}

}  // namespace PelorinInstaller::Folders
