#include "pipeline/Checks.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <InstallerCore/Distribution.hpp>
#include <InstallerCore/InstallerError.hpp>
#include <InstallerCore/MachO.hpp>
#include <InstallerCore/Version.hpp>
#include <PelorinBase/Errors.hpp>
#include <PelorinBase/Files.hpp>
#include <PelorinBase/JoiningThread.hpp>
#include <PelorinBase/ToolContracts.hpp>
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <system_error>
#include <vector>

#include "pipeline/Command.hpp"
#include "pipeline/Folders.hpp"
#include "pipeline/InfoPlist.hpp"

namespace PelorinInstaller {
namespace {

namespace fs = std::filesystem;
using InstallerCore::InstallerError;
using InstallerCore::Version;

constexpr std::size_t kHeaderBytes = 4096;

[[noreturn]] void refuse(InstallerError error) { throw std::system_error(error); }

// Whether something is at `path`, a dangling symbolic link included.
bool somethingAt(const fs::path& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) == 0) return true;
  if (errno == ENOENT) return false;
  PelorinBase::throwFileError("cannot read the attributes of", path);
}

// The bundle's own symbolic-link flag; an error of reading it is thrown.
bool isSymbolicLink(const fs::path& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) {
    PelorinBase::throwFileError("cannot read the attributes of", path);
  }
  return S_ISLNK(info.st_mode);
}

// Whether the user may add entries to `folder`: a folder that is writable and searchable.
bool writableFolder(const fs::path& folder) {
  struct stat info;
  return stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
         access(folder.c_str(), W_OK | X_OK) == 0;
}

// Whether a candidate folder visibly holds something at `path`. A folder that cannot be
// searched, or a path through a file, holds nothing this user could install over.
bool visiblyAt(const fs::path& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

// Passes when the bundle names no minimum system, or one the host's system reaches.
void checkMinimumSystem(const InfoPlist& plist, InstallerCore::SystemVersion system) {
  auto minimum = plist.string("LSMinimumSystemVersion");
  if (!minimum) return;
  std::size_t components = 0;
  for (std::size_t start = 0; start <= minimum->size();) {
    auto dot = minimum->find('.', start);
    if (dot == std::string::npos) dot = minimum->size();
    if (dot > start) ++components;
    start = dot + 1;
  }
  auto text = components == 2 ? *minimum + ".0" : *minimum;
  auto required = Version::parse(text);
  if (!required) refuse(InstallerError::wrongApplication);
  auto running = Version::parse(std::to_string(system.major) + "." + std::to_string(system.minor) +
                                "." + std::to_string(system.patch));
  if (!running || *running < *required) refuse(InstallerError::unsupportedSystem);
}

bool acceptableExecutableName(const std::optional<std::string>& name) {
  return name && !name->empty() && name->find('/') == std::string::npos && *name != "." &&
         *name != "..";
}

// Passes when the bundle's main executable carries code for `arch`.
void checkSlice(const InfoPlist& plist, const fs::path& app, std::string_view arch) {
  auto executable = plist.string("CFBundleExecutable");
  if (!acceptableExecutableName(executable)) refuse(InstallerError::wrongApplication);
  const auto file = app / "Contents" / "MacOS" / *executable;
  PelorinBase::FileDescriptor input(open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!input.isOpen()) PelorinBase::throwFileError("cannot open", file);
  std::string header;
  if (!PelorinBase::readUpTo(input.get(), kHeaderBytes, header)) {
    PelorinBase::throwFileError("cannot read", file);
  }
  if (!InstallerCore::MachO::supports(
          arch, std::span(reinterpret_cast<const std::uint8_t*>(header.data()), header.size())))
    refuse(InstallerError::wrongApplication);
}

using NamedCheck = std::pair<std::string, std::function<void()>>;
enum class State { running, passed, failed };

// The check whose outcome is the verification's: the first in order that failed once every one
// before it has passed, or the count when all passed; none while that cannot be told yet.
std::optional<std::size_t> decided(const std::vector<State>& states) {
  const auto running = std::find(states.begin(), states.end(), State::running);
  const auto failed = std::find(states.begin(), states.end(), State::failed);
  if (failed < running) return std::size_t(failed - states.begin());
  if (running != states.end()) return std::nullopt;
  return states.size();
}

// Runs `checks` side by side and reports them in order up to the one that decides, whose failure
// (or null) it returns. Once a failure decides, or on any other way out, `stop` ends the tools
// still running before their threads are joined.
std::exception_ptr runSideBySide(const std::vector<NamedCheck>& checks, Command::StopSwitch& stop,
                                 const CheckReport& report) {
  std::mutex lock;
  std::condition_variable ended;
  std::vector<State> states(checks.size(), State::running);
  std::vector<std::exception_ptr> failures(checks.size());
  std::optional<std::size_t> decision;
  {
    std::vector<PelorinBase::JoiningThread> threads;
    struct StopUnlessAllPassed {
      Command::StopSwitch& stop;
      const std::optional<std::size_t>& decision;
      std::size_t count;
      ~StopUnlessAllPassed() {
        if (decision != count) stop.cancel();
      }
    } stopOnTheWayOut{stop, decision, checks.size()};
    for (std::size_t i = 0; i < checks.size(); ++i) {
      threads.emplace_back([&, i] {
        std::exception_ptr failure;
        try {
          checks[i].second();
        } catch (...) {
          failure = std::current_exception();
        }
        std::lock_guard held(lock);
        failures[i] = failure;
        states[i] = failure ? State::failed : State::passed;
        ended.notify_all();
      });
    }
    std::unique_lock held(lock);
    ended.wait(held, [&] { return (decision = decided(states)).has_value(); });
  }
  for (std::size_t i = 0; report && i < checks.size() && i <= *decision; ++i)
    report(checks[i].first, failures[i]);
  return *decision < checks.size() ? failures[*decision] : nullptr;
}

}  // namespace

std::string hash(const fs::path& file) { return PelorinBase::sha256File(file); }

void verify(const Host& host, const fs::path& app, std::string_view version) {
  verify(host, app, version, "arm64", {});
}

void verify(const Host& host, const fs::path& app, std::string_view version, std::string_view arch,
            const CheckReport& report, std::shared_ptr<Command::StopSwitch> stop) {
  auto check = [&](std::string_view name, auto&& body) {
    try {
      body();
    } catch (...) {
      if (report) report(name, std::current_exception());
      throw;
    }
    if (report) report(name, nullptr);
  };
  std::optional<InfoPlist> plist;
  check("identifier", [&] {
    if (isSymbolicLink(app)) refuse(InstallerError::wrongApplication);
    plist = InfoPlist::read(app);
    if (!plist || plist->string("CFBundleIdentifier") != InstallerCore::Distribution::bundleID) {
      refuse(InstallerError::wrongApplication);
    }
  });
  check("version", [&] {
    if (plist->string("CFBundleShortVersionString") != version) {
      refuse(InstallerError::wrongApplication);
    }
  });
  check("minimum system", [&] { checkMinimumSystem(*plist, host.system); });

  if (!stop) stop = std::make_shared<Command::StopSwitch>();
  const auto path = app.string();
  const auto* stopping = stop.get();
  const std::vector<NamedCheck> sideBySide = {
      {"code signature",
       [&] {
         Command::run(host.tools.codesign,
                      {"--verify", "--deep", "--strict", "--all-architectures", path},
                      host.commandLimits, stopping);
       }},
      {"requirement",
       [&] {
         Command::run(
             host.tools.codesign,
             {"--verify", "--strict", "--all-architectures", "-R",
              PelorinBase::ToolContracts::codeRequirement(InstallerCore::Distribution::bundleID,
                                                          InstallerCore::Distribution::teamID),
              path},
             host.commandLimits, stopping);
       }},
      {"assessment",
       [&] {
         Command::run(host.tools.spctl, {"--assess", "--type", "execute", path}, host.commandLimits,
                      stopping);
       }},
      {std::string(arch) + " slice", [&] { checkSlice(*plist, app, arch); }}};
  if (auto failure = runSideBySide(sideBySide, *stop, report)) std::rethrow_exception(failure);
}

fs::path destination(const Host& host) {
  for (const auto& folder : {host.systemApplications, host.userApplications}) {
    if (!visiblyAt(folder / InstallerCore::Distribution::appName)) continue;
    if (!writableFolder(folder)) {
      throw fs::filesystem_error("cannot write to the folder of the installed application", folder,
                                 std::make_error_code(std::errc::permission_denied));
    }
    return folder / InstallerCore::Distribution::appName;
  }
  if (writableFolder(host.systemApplications)) {
    return host.systemApplications / InstallerCore::Distribution::appName;
  }
  Folders::makePrivateWithParents(host.userApplications);
  return host.userApplications / InstallerCore::Distribution::appName;
}

void checkExisting(const fs::path& app, std::string_view version) {
  if (!somethingAt(app)) return;
  if (isSymbolicLink(app)) refuse(InstallerError::wrongApplication);
  auto plist = InfoPlist::read(app);
  if (!plist) refuse(InstallerError::wrongApplication);
  if (plist->string("CFBundleIdentifier") != InstallerCore::Distribution::bundleID) {
    refuse(InstallerError::wrongApplication);
  }
  auto installedText = plist->string("CFBundleShortVersionString");
  auto installed = installedText ? Version::parse(*installedText) : std::nullopt;
  if (!installed) refuse(InstallerError::wrongApplication);
  auto offered = Version::parse(version);
  if (!offered) refuse(InstallerError::wrongApplication);
  if (*offered < *installed) refuse(InstallerError::downgrade);
}

}  // namespace PelorinInstaller
