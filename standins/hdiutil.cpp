// Stand-in for hdiutil attach/detach. The disk image is a squashfs image: attach mounts it
// read-only at the mount point with squashfuse; detach unmounts it and leaves the mount point an
// empty folder.
#include <sys/stat.h>

#include <PelorinBase/ToolContracts.hpp>
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <iostream>

#include "StandIn.hpp"

namespace {

namespace fs = std::filesystem;

constexpr const char* kSquashfuse = "/usr/bin/squashfuse";
constexpr const char* kFusermount = "/usr/bin/fusermount3";
constexpr const char* kUmount = "/usr/bin/umount";

// Whether a file system is mounted at `folder`: its device differs from its parent's. A FUSE
// mount whose server has gone answers ENOTCONN, and is mounted all the same.
bool isMountPoint(const fs::path& folder) {
  struct stat own, parent;
  if (lstat(folder.c_str(), &own) != 0) {
    if (errno == ENOTCONN) return true;
    throw std::system_error(errno, std::generic_category(), folder.string());
  }
  if (stat((folder / "..").c_str(), &parent) != 0) {
    throw std::system_error(errno, std::generic_category(), folder.string());
  }
  return S_ISDIR(own.st_mode) && own.st_dev != parent.st_dev;
}

bool isEmptyFolder(const fs::path& folder) {
  return fs::is_directory(fs::symlink_status(folder)) && fs::is_empty(folder);
}

int attach(const fs::path& mountPoint, const fs::path& image) {
  if (!isEmptyFolder(mountPoint) || isMountPoint(mountPoint)) {
    std::cerr << "hdiutil: the mount point must be an empty folder\n";
    return StandIn::kRefused;
  }
  const auto status = fs::symlink_status(image);
  if (!fs::is_regular_file(status)) {
    std::cerr << "hdiutil: " << image.string()
              << (fs::exists(status) ? ": not a regular file\n" : ": no such file\n");
    return StandIn::kRefused;
  }
  if (StandIn::runProgram(kSquashfuse, {"-o", "ro", image.string(), mountPoint.string()}) != 0 ||
      !isMountPoint(mountPoint)) {
    std::cerr << "hdiutil: attach failed\n";
    return StandIn::kRefused;
  }
  return 0;
}

int detach(const fs::path& mountPoint) {
  if (!isMountPoint(mountPoint)) {
    std::cerr << "hdiutil: nothing is attached at " << mountPoint << "\n";
    return StandIn::kRefused;
  }
  if (StandIn::runProgram(kFusermount, {"-u", "-q", mountPoint.string()}) != 0) {
    StandIn::runProgram(kUmount, {mountPoint.string()});
  }
  if (isMountPoint(mountPoint) || !isEmptyFolder(mountPoint)) {
    std::cerr << "hdiutil: detach failed\n";
    return StandIn::kRefused;
  }
  return 0;
}

int hdiutil(const StandIn::Arguments& arguments) {
  const auto& attachOptions = PelorinBase::ToolContracts::kAttachOptions;
  if (arguments.size() == attachOptions.size() + 2 &&
      std::equal(attachOptions.begin(), attachOptions.end(), arguments.begin())) {
    return attach(arguments[6], arguments[7]);
  }
  if (arguments.size() == 2 && arguments[0] == "detach") return detach(arguments[1]);
  std::cerr << "usage: hdiutil attach -readonly -nobrowse -noautoopen -noautofsck "
               "-mountpoint MOUNTPOINT IMAGE\n"
               "       hdiutil detach MOUNTPOINT\n";
  return StandIn::kUsage;
}

}  // namespace

int main(int argc, char** argv) { return StandIn::main("hdiutil", argc, argv, hdiutil); }
