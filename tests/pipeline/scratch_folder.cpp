#include "scratch_folder.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace PelorinInstaller::Testing {
namespace {

namespace fs = std::filesystem;

// /proc/self/mounts writes blanks, tabs, new lines and backslashes as octal escapes.
std::string unescapeMountPath(const std::string& text) {
  std::string path;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size()) {
      path += static_cast<char>(std::stoi(text.substr(i + 1, 3), nullptr, 8));
      i += 3;
    } else {
      path += text[i];
    }
  }
  return path;
}

// Runs a program quietly and waits for it. Everything the child needs is made before the fork:
// other threads of the test may hold the allocator's lock.
void run(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t child = fork();
  if (child == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 1);
    dup2(null, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
}

}  // namespace

ScratchFolder::ScratchFolder(const std::string& prefix) {
  std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp");
  }
  path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
  auto mounts = mountsUnder(path_);
  std::sort(mounts.rbegin(), mounts.rend());  // innermost first
  for (const auto& mount : mounts) run({"/usr/bin/fusermount3", "-u", "-z", mount.string()});
  std::error_code ignored;
  for (fs::recursive_directory_iterator it(path_, ignored), end; it != end; it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) setFolderFrozen(it->path(), false);
  }
  fs::remove_all(path_, ignored);
}

std::vector<fs::path> mountsUnder(const fs::path& folder) {
  std::ifstream mounts("/proc/self/mounts");
  std::vector<fs::path> found;
  std::string line;
  auto prefix = folder.string() + "/";
  while (std::getline(mounts, line)) {
    std::istringstream fields(line);
    std::string device, point;
    fields >> device >> point;
    auto path = unescapeMountPath(point);
    if (path == folder.string() || path.rfind(prefix, 0) == 0) found.emplace_back(path);
  }
  return found;
}

std::vector<std::string> entriesStartingWith(const fs::path& folder, const std::string& prefix) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    auto name = entry.path().filename().string();
    if (name.rfind(prefix, 0) == 0) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool lockIsFree(const fs::path& file) {
  int fd = open(file.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), file.string());
  bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
  close(fd);
  return free;
}

std::map<std::string, std::string> snapshot(const fs::path& folder) {
  std::map<std::string, std::string> items;
  if (!fs::is_directory(folder)) return items;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    struct stat info {};
    lstat(entry.path().c_str(), &info);
    std::ostringstream text;
    text << std::oct << info.st_mode << std::dec << ' ' << info.st_size << ' '
         << info.st_mtim.tv_sec << '.' << info.st_mtim.tv_nsec;
    items[fs::relative(entry.path(), folder).string()] = text.str();
  }
  return items;
}

void writeScript(const fs::path& file, const std::string& body) {
  writeFile(file, "#!/bin/sh\n" + body);
  fs::permissions(file, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
}

void writeFile(const fs::path& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

std::string readFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file.string());
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void setFolderFrozen(const fs::path& folder, bool frozen) {
  // The immutable flag also forbids a change of mode: it is set last and cleared first.
  auto setImmutable = [&](bool immutable) {
    if (geteuid() != 0) return;
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    int flags = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
      flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
      ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    close(fd);
  };
  std::error_code ignored;
  if (!frozen) setImmutable(false);
  fs::permissions(folder,
                  frozen ? fs::perms::owner_read | fs::perms::owner_exec : fs::perms::owner_all,
                  ignored);
  if (frozen) setImmutable(true);
}

}  // namespace PelorinInstaller::Testing
