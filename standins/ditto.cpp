// Stand-in for ditto SOURCE DESTINATION: a faithful copy of a folder tree (contents, modes,
// symbolic links, extended attributes, times, and owners when run as root) into a destination
// that does not exist yet. The modes are the source's exactly, whatever the umask. A failed copy
// removes what it made.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <PelorinBase/Errors.hpp>
#include <PelorinBase/Files.hpp>
#include <cerrno>
#include <filesystem>
#include <iostream>
#include <system_error>
#include <vector>

#include "StandIn.hpp"

namespace {

namespace fs = std::filesystem;

[[noreturn]] void fail(const fs::path& path, const char* what) {
  PelorinBase::throwSystemError(std::string(what) + " " + path.string());
}

// The names of a file's extended attributes; none where the file system keeps none.
std::vector<std::string> attributeNames(const fs::path& path) {
  for (;;) {
    ssize_t size = llistxattr(path.c_str(), nullptr, 0);
    if (size < 0 && (errno == ENOTSUP || errno == ENODATA)) return {};
    if (size < 0) fail(path, "cannot list the extended attributes of");
    std::vector<char> list(std::size_t(size) + 1);
    size = llistxattr(path.c_str(), list.data(), list.size());
    if (size < 0 && errno == ERANGE) continue;  // grew meanwhile
    if (size < 0) fail(path, "cannot list the extended attributes of");
    std::vector<std::string> names;
    for (std::size_t at = 0; at < std::size_t(size);) {
      std::string name(list.data() + at);
      at += name.size() + 1;
      if (!name.empty()) names.push_back(std::move(name));
    }
    return names;
  }
}

void copyAttributes(const fs::path& from, const fs::path& to) {
  for (const auto& name : attributeNames(from)) {
    ssize_t size = lgetxattr(from.c_str(), name.c_str(), nullptr, 0);
    if (size < 0) fail(from, "cannot read an extended attribute of");
    std::vector<char> value(std::size_t(size) + 1);
    size = lgetxattr(from.c_str(), name.c_str(), value.data(), value.size());
    if (size < 0) fail(from, "cannot read an extended attribute of");
    if (lsetxattr(to.c_str(), name.c_str(), value.data(), std::size_t(size), 0) != 0) {
      fail(to, ("cannot set the extended attribute " + name + " on").c_str());
    }
  }
}

// Owner (as root only, as ditto does), then mode (a change of owner clears set-id bits), then
// times, which every earlier step may have touched.
void copyMetadata(const fs::path& from, const fs::path& to, const struct stat& info) {
  copyAttributes(from, to);
  if (geteuid() == 0 && lchown(to.c_str(), info.st_uid, info.st_gid) != 0) {
    fail(to, "cannot set the owner of");
  }
  if (!S_ISLNK(info.st_mode) && chmod(to.c_str(), info.st_mode & 07777) != 0) {
    fail(to, "cannot set the mode of");
  }
  struct timespec times[2] = {info.st_atim, info.st_mtim};
  if (utimensat(AT_FDCWD, to.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    fail(to, "cannot set the times of");
  }
}

void copyContents(const fs::path& from, const fs::path& to) {
  PelorinBase::FileDescriptor input(
      open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!input.isOpen()) fail(from, "cannot open");
  struct stat info;
  if (fstat(input.get(), &info) != 0 || !S_ISREG(info.st_mode)) fail(from, "not a regular file:");
  // Writable whatever the umask: the extended attributes still have to be set.
  auto output = PelorinBase::createFile(to, 0600, PelorinBase::Create::exclusively);
  std::vector<char> chunk(1 << 20);
  for (;;) {
    ssize_t got = read(input.get(), chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) fail(from, "cannot read");
    if (got == 0) break;
    if (!PelorinBase::writeAll(output.get(), std::string_view(chunk.data(), std::size_t(got)))) {
      fail(to, "cannot write");
    }
  }
}

void copyTree(const fs::path& from, const fs::path& to) {
  struct stat info;
  if (lstat(from.c_str(), &info) != 0) fail(from, "cannot read");
  if (S_ISDIR(info.st_mode)) {
    // Open to its maker while it fills, whatever the umask; its own mode comes last.
    if (mkdir(to.c_str(), 0700) != 0) fail(to, "cannot create");
    if (chmod(to.c_str(), 0700) != 0) fail(to, "cannot set the mode of");
    for (const auto& entry : fs::directory_iterator(from)) {
      copyTree(entry.path(), to / entry.path().filename());
    }
  } else if (S_ISREG(info.st_mode)) {
    copyContents(from, to);
  } else if (S_ISLNK(info.st_mode)) {
    auto target = fs::read_symlink(from);
    if (symlink(target.c_str(), to.c_str()) != 0) fail(to, "cannot create");
  } else {
    errno = ENOTSUP;
    fail(from, "cannot copy the special file");
  }
  copyMetadata(from, to, info);
}

int ditto(const StandIn::Arguments& arguments) {
  if (arguments.size() != 2 || arguments[0].empty() || arguments[1].empty() ||
      arguments[0].front() == '-' || arguments[1].front() == '-') {
    std::cerr << "usage: ditto SOURCE DESTINATION\n";
    return StandIn::kUsage;
  }
  const fs::path from = arguments[0], to = arguments[1];
  struct stat info;
  if (lstat(to.c_str(), &info) == 0 || errno != ENOENT) {
    std::cerr << "ditto: " << to << " already exists\n";
    return StandIn::kRefused;
  }
  try {
    copyTree(from, to);
  } catch (...) {
    std::error_code ignored;
    fs::remove_all(to, ignored);
    throw;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return StandIn::main("ditto", argc, argv, ditto); }
