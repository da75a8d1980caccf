#include "TestSupport.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <InstallerCore/InstallerError.hpp>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "pipeline/Command.hpp"
#include "pipeline/CommandError.hpp"
#include "pipeline/NetworkError.hpp"

namespace PelorinTesting {
namespace {

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

}  // namespace

TemporaryFolder::TemporaryFolder(const std::string& prefix) {
  std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (!mkdtemp(pattern.data())) throw std::system_error(errno, std::generic_category(), "mkdtemp");
  path_ = fs::canonical(pattern);
}

TemporaryFolder::~TemporaryFolder() {
  auto mounts = mountsUnder(path_);
  std::sort(mounts.rbegin(), mounts.rend());  // innermost first
  for (const auto& mount : mounts) {
    runChild("/usr/bin/fusermount3", {"-u", "-z", mount.string()}, {});
  }
  std::error_code ignored;
  for (fs::recursive_directory_iterator it(path_, ignored), end; it != end; it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) setFolderFrozen(it->path(), false);
  }
  fs::remove_all(path_, ignored);
}

fs::path builtStandIns() { return PELORIN_STANDIN_FOLDER; }

StandInTools::StandInTools() : keys_(PelorinSeal::generateKeyPair()) {
  for (const char* tool : {"hdiutil", "ditto", "codesign", "spctl"}) {
    fs::copy_file(builtStandIns() / tool, folder_ / tool);
  }
  writeFile(folder_ / "anchor.pem", keys_.publicPem);
  tools_ = {(folder_ / "hdiutil").string(), (folder_ / "ditto").string(),
            (folder_ / "codesign").string(), (folder_ / "spctl").string()};
}

PelorinInstaller::Host testHost(const fs::path& root, PelorinInstaller::Host::Tools tools,
                                std::optional<std::int64_t> capacity,
                                InstallerCore::SystemVersion system) {
  PelorinInstaller::Host host;
  host.supportFolder = root / "support";
  host.systemApplications = root / "Applications";
  host.userApplications = root / "home" / "Applications";
  host.system = system;
  host.availableCapacity = [capacity](const fs::path&) { return capacity; };
  host.isRunning = [](std::string_view) { return false; };
  host.tools = std::move(tools);
  return host;
}

std::optional<std::string> fuseUnavailable() {
  if (access("/dev/fuse", R_OK | W_OK) != 0) return "/dev/fuse cannot be opened";
  for (const char* tool : {"/usr/bin/squashfuse", "/usr/bin/fusermount3", "/usr/bin/mksquashfs"}) {
    if (access(tool, X_OK) != 0) return std::string(tool) + " is missing";
  }
  return std::nullopt;
}

AttachedImage::AttachedImage(const PelorinInstaller::Host::Tools& tools, const fs::path& image,
                             const fs::path& mountPoint)
    : hdiutil_(tools.hdiutil), mountPoint_(mountPoint) {
  fs::create_directory(mountPoint_);
  try {
    PelorinInstaller::Command::run(
        hdiutil_, {"attach", "-readonly", "-nobrowse", "-noautoopen", "-noautofsck", "-mountpoint",
                   mountPoint_.string(), image.string()});
  } catch (...) {
    rmdir(mountPoint_.c_str());
    throw;
  }
}

AttachedImage::~AttachedImage() {
  try {
    PelorinInstaller::Command::run(hdiutil_, {"detach", mountPoint_.string()});
  } catch (...) {
  }
  rmdir(mountPoint_.c_str());
}

void packFolder(const fs::path& root, const fs::path& image) {
  PelorinInstaller::Command::run("/usr/bin/mksquashfs",
                                 {root.string(), image.string(), "-noappend", "-quiet"});
}

std::string readFile(const fs::path& file) {
  std::ifstream input(file, std::ios::binary);
  if (!input) throw std::runtime_error("cannot read " + file.string());
  return std::string(std::istreambuf_iterator<char>(input), {});
}

void writeFile(const fs::path& file, std::string_view bytes) {
  fs::create_directories(file.parent_path());
  std::ofstream output(file, std::ios::binary | std::ios::trunc);
  output.write(bytes.data(), std::streamsize(bytes.size()));
  output.close();
  if (!output) throw std::runtime_error("cannot write " + file.string());
}

void writeScript(const fs::path& file, const std::string& body) {
  writeFile(file, "#!/bin/sh\n" + body);
  fs::permissions(file, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
}

std::string outcomeOf(const std::function<void()>& action) {
  try {
    action();
    return "ok";
  } catch (const PelorinInstaller::CommandError& error) {
    return error.tool + " " + std::to_string(error.status);
  } catch (const nlohmann::json::exception&) {
    return "json";
  } catch (const std::system_error& error) {
    const auto& category = error.code().category();
    auto value = error.code().value();
    if (category == InstallerCore::installerCategory()) {
      return std::string(InstallerCore::name(InstallerCore::InstallerError(value)));
    }
    if (category == PelorinInstaller::networkCategory()) return "network " + std::to_string(value);
    if (category == std::generic_category() || category == std::system_category()) {
      return "errno " + std::to_string(value);
    }
    return std::string(category.name()) + " " + std::to_string(value);
  } catch (const std::exception& error) {
    return std::string("other: ") + error.what();
  }
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

ChildResult runChild(const fs::path& program, const std::vector<std::string>& args,
                     const std::map<std::string, std::string>& environment,
                     std::optional<std::string> argv0) {
  struct Pipe {
    int read = -1, write = -1;
    Pipe() {
      int ends[2];
      if (pipe2(ends, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category());
      read = ends[0];
      write = ends[1];
    }
    ~Pipe() {
      if (read >= 0) close(read);
      if (write >= 0) close(write);
    }
    void closeWrite() {
      close(write);
      write = -1;
    }
  } out, err;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out.write, 1);
  posix_spawn_file_actions_adddup2(&actions, err.write, 2);

  std::vector<std::string> argStrings{argv0.value_or(program.string())};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<std::string> envStrings;
  for (const auto& [name, value] : environment) envStrings.push_back(name + "=" + value);
  std::vector<char*> argvList, envList;
  for (auto& arg : argStrings) argvList.push_back(arg.data());
  argvList.push_back(nullptr);
  for (auto& entry : envStrings) envList.push_back(entry.data());
  envList.push_back(nullptr);

  pid_t pid = 0;
  const int spawned =
      posix_spawn(&pid, program.c_str(), &actions, nullptr, argvList.data(), envList.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::system_error(spawned, std::generic_category(), "posix_spawn");
  out.closeWrite();
  err.closeWrite();

  ChildResult result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  pollfd fds[2] = {{out.read, POLLIN, 0}, {err.read, POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, 2, 200) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[4096];
      const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

}  // namespace PelorinTesting
