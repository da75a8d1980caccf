#include "pipeline/Checks.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <InstallerCore/Distribution.hpp>
#include <InstallerCore/InstallerError.hpp>
#include <InstallerCore/MachO.hpp>
#include <InstallerCore/Version.hpp>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
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

constexpr std::size_t kChunkBytes = 1 << 20;
constexpr std::size_t kHeaderBytes = 4096;

[[noreturn]] void refuse(InstallerError error) { throw std::system_error(error); }

[[noreturn]] void fileError(const char* what, const fs::path& path, int error) {
  throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// An open file, closed on every way out; an error of closing is ignored.
class OpenFile {
 public:
  explicit OpenFile(const fs::path& path) : path_(path) {
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) fileError("cannot open", path, errno);
  }
  ~OpenFile() { close(fd_); }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;

  // One read of up to `size` bytes; 0 at the end of the file.
  std::size_t read(std::uint8_t* into, std::size_t size) {
    for (;;) {
      ssize_t got = ::read(fd_, into, size);
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno != EINTR) fileError("cannot read", path_, errno);
    }
  }

 private:
  fs::path path_;
  int fd_;
};

struct DigestFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// Whether something is at `path`, a dangling symbolic link included.
bool somethingAt(const fs::path& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) == 0) return true;
  if (errno == ENOENT) return false;
  fileError("cannot read the attributes of", path, errno);
}

// The bundle's own symbolic-link flag; an error of reading it is thrown.
bool isSymbolicLink(const fs::path& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) fileError("cannot read the attributes of", path, errno);
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

std::string requirement() {
  return std::string("anchor apple generic and identifier \"") +
         std::string(InstallerCore::Distribution::bundleID) + "\" " +
         "and certificate leaf[subject.OU] = \"" +
         std::string(InstallerCore::Distribution::teamID) + "\" " +
         "and certificate 1[field.1.2.840.113635.100.6.2.6] exists " +
         "and certificate leaf[field.1.2.840.113635.100.6.1.13] exists";
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

}  // namespace

std::string hash(const fs::path& file) {
  OpenFile input(file);
  std::unique_ptr<EVP_MD_CTX, DigestFree> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 is not available");
  }
  std::vector<std::uint8_t> chunk(kChunkBytes);
  for (;;) {
    std::size_t got = input.read(chunk.data(), chunk.size());
    if (got == 0) break;
    if (EVP_DigestUpdate(context.get(), chunk.data(), got) != 1) {
      throw std::runtime_error("SHA-256 failed");
    }
  }
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length != 32) {
    throw std::runtime_error("SHA-256 failed");
  }
  std::string text;
  text.reserve(64);
  for (unsigned int i = 0; i < length; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    text += pair;
  }
  return text;
}

void verify(const Host& host, const fs::path& app, std::string_view version) {
  if (isSymbolicLink(app)) refuse(InstallerError::wrongApplication);
  auto plist = InfoPlist::read(app);
  if (!plist) refuse(InstallerError::wrongApplication);
  if (plist->string("CFBundleIdentifier") != InstallerCore::Distribution::bundleID) {
    refuse(InstallerError::wrongApplication);
  }
  if (plist->string("CFBundleShortVersionString") != version) {
    refuse(InstallerError::wrongApplication);
  }
  checkMinimumSystem(*plist, host.system);

  const auto path = app.string();
  Command::run(host.tools.codesign, {"--verify", "--deep", "--strict", "--all-architectures", path},
               host.commandLimits);
  Command::run(host.tools.codesign,
               {"--verify", "--strict", "--all-architectures", "-R", "=" + requirement(), path},
               host.commandLimits);
  Command::run(host.tools.spctl, {"--assess", "--type", "execute", path}, host.commandLimits);

  auto executable = plist->string("CFBundleExecutable");
  if (!acceptableExecutableName(executable)) refuse(InstallerError::wrongApplication);
  OpenFile input(app / "Contents" / "MacOS" / *executable);
  std::vector<std::uint8_t> header(kHeaderBytes);
  header.resize(input.read(header.data(), header.size()));
  if (!InstallerCore::MachO::supports("arm64", header)) refuse(InstallerError::wrongApplication);
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
