#include "TestSupport.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <InstallerCore/InstallerError.hpp>
#include <PelorinBase/Errors.hpp>
#include <PelorinBase/Process.hpp>
#include <PelorinBase/ToolContracts.hpp>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <system_error>
#include <thread>

#include "pipeline/CommandError.hpp"
#include "pipeline/NetworkError.hpp"

namespace PelorinTesting {

using PelorinBase::ScopedFolder;
using PelorinInstaller::Command::run;
namespace ToolContracts = PelorinBase::ToolContracts;

TemporaryFolder::TemporaryFolder(const std::string& prefix)
    : folder_(ScopedFolder::makeUnique(fs::canonical(fs::temp_directory_path()), prefix + "-")) {}

TemporaryFolder::~TemporaryFolder() {
  auto mounts = mountsUnder(path());
  std::sort(mounts.rbegin(), mounts.rend());  // innermost first
  for (const auto& mount : mounts) runChild("/usr/bin/fusermount3", {"-u", "-z", mount}, {});
  std::error_code ignored;
  for (fs::recursive_directory_iterator it(path(), ignored), end; it != end;
       it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
  }
}

StandInTools::StandInTools() : keys_(PelorinSeal::generateKeyPair()) {
  for (const char* tool : {"hdiutil", "ditto", "codesign", "spctl"}) {
    fs::copy_file(fs::path(PELORIN_STANDIN_FOLDER) / tool, folder_ / tool);
  }
  writeFile(folder_ / "anchor.pem", keys_.publicPem);
  tools_ = {folder_ / "hdiutil", folder_ / "ditto", folder_ / "codesign", folder_ / "spctl"};
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
    : hdiutil_(tools.hdiutil),
      mountPoint_((fs::create_directory(mountPoint), mountPoint), ScopedFolder::Removal::ifEmpty) {
  run(hdiutil_, ToolContracts::attachArguments(path(), image));
}

AttachedImage::~AttachedImage() {
  try {
    run(hdiutil_, ToolContracts::detachArguments(path()));
  } catch (...) {
  }
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
    bool posix = category == std::generic_category() || category == std::system_category();
    bool network = category == PelorinInstaller::networkCategory();
    return (posix     ? "errno"
            : network ? "network"
                      : category.name()) +
           (" " + std::to_string(value));
  } catch (const std::exception& error) {
    return std::string("other: ") + error.what();
  }
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  for (auto end = std::chrono::steady_clock::now() + limit; !done();
       std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
    if (std::chrono::steady_clock::now() >= end) return done();
  }
  return true;
}

std::vector<fs::path> mountsUnder(const fs::path& folder) {
  std::vector<fs::path> found;
  std::ifstream table("/proc/self/mounts");  // Linux's: the tests mount nothing on macOS
  for (std::string device, point, rest; table >> device >> point && std::getline(table, rest);) {
    for (auto at = point.find('\\'); at != std::string::npos; at = point.find('\\', at + 1))
      point.replace(at, 4, 1, char(std::stoi(point.substr(at + 1, 3), nullptr, 8)));  // "\040"
    if (point == folder || point.starts_with(folder.string() + "/")) found.push_back(point);
  }
  return found;
}

std::vector<std::string> entriesStartingWith(const fs::path& folder, const std::string& prefix) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    auto name = entry.path().filename().string();
    if (name.starts_with(prefix)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool lockIsFree(const fs::path& file) {
  PelorinBase::FileDescriptor lock(open(file.c_str(), O_RDWR | O_CLOEXEC));
  if (!lock.isOpen()) PelorinBase::throwFileError("cannot open", file);
  return flock(lock.get(), LOCK_EX | LOCK_NB) == 0;
}

std::map<std::string, std::string> snapshot(const fs::path& folder) {
  std::map<std::string, std::string> items;
  if (!fs::is_directory(folder)) return items;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    struct stat info {};
    lstat(entry.path().c_str(), &info);
    auto [seconds, nanoseconds] = [](const auto& status) {
      if constexpr (requires { status.st_mtim; })
        return status.st_mtim;
      else
        return status.st_mtimespec;
    }(info);
    auto text = std::to_string(info.st_mode) + ' ' + std::to_string(info.st_size) + ' ' +
                std::to_string(seconds) + '.' + std::to_string(nanoseconds);
    items[fs::relative(entry.path(), folder).string()] = text;
  }
  return items;
}

RunningProgram::RunningProgram(const fs::path& executable) {
  fs::create_directories(executable.parent_path());
  fs::copy_file("/bin/sleep", executable);
  std::string path = executable.string(), seconds = "600";
  char *argv[] = {path.data(), seconds.data(), nullptr}, *environment[] = {nullptr};
  // The C library's spawn returns once the program runs.
  if (int error = posix_spawn(&pid_, path.c_str(), nullptr, nullptr, argv, environment)) {
    throw std::system_error(error, std::generic_category(), "cannot start " + path);
  }
}

RunningProgram::~RunningProgram() {
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

ChildResult runChild(const fs::path& program, const std::vector<std::string>& args,
                     const std::map<std::string, std::string>& environment,
                     std::optional<std::string> argv0) {
  PelorinBase::LaunchOptions options;
  options.output = options.error = {PelorinBase::Stream::Kind::capture, {}};
  options.environment = environment;
  options.argv0 = std::move(argv0);
  options.timeLimit = std::chrono::minutes(1);
  options.grace = std::chrono::milliseconds(0);
  auto run = PelorinBase::runProcess(program.string(), args, options);
  return {run.exitStatus, run.signal, std::move(run.output), std::move(run.error)};
}

}  // namespace PelorinTesting
