#include <fcntl.h>
#include <plist/plist.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <InstallerCore/MachO.hpp>
#include <InstallerCore/ReleaseManifest.hpp>
#include <InstallerCore/Version.hpp>
#include <PelorinBase/Files.hpp>
#include <PelorinBase/PlistGuard.hpp>
#include <PelorinBase/Process.hpp>
#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>

#include "PelorinRelease/Release.hpp"
#include "pipeline/InfoPlist.hpp"

namespace PelorinRelease {
namespace {

constexpr const char* kMksquashfs = "/usr/bin/mksquashfs";
const std::string kPlaceholderDigest(64, '0');
constexpr std::size_t kMaxInfoPlistBytes = 1 << 20;
constexpr std::size_t kMachOHeaderBytes = 4096;
constexpr std::size_t kCopyChunk = 1 << 20;
constexpr mode_t kFolderMode = 0755, kFileMode = 0644;

using PelorinBase::FileDescriptor;

struct PlistFree {
  void operator()(void* root) const { plist_free(root); }
};
using Plist = std::unique_ptr<void, PlistFree>;

std::string isALink(const fs::path& path) {
  return path.string() + " is a symbolic link; the release tool does not write through links";
}

// Never through a link: a link where the tool writes would carry the write elsewhere.
void writeText(const fs::path& file, std::string_view text, mode_t mode = 0644) {
  try {
    PelorinBase::writeFile(file, text, mode);
  } catch (const fs::filesystem_error& error) {
    if (error.code() == std::errc::too_many_symbolic_link_levels) throw ReleaseError(isALink(file));
    throw ReleaseError("cannot write " + file.string() + ": " + error.code().message());
  }
}

[[noreturn]] void fail(const std::string& what, const fs::path& path) {
  throw ReleaseError("cannot " + what + " " + path.string() + ": " +
                     std::generic_category().message(errno));
}

// Refuses when any name of `relative` under `root` is a symbolic link.
void refuseLinks(const fs::path& root, const fs::path& relative) {
  auto path = root;
  for (const auto& name : relative) {
    path /= name;
    if (fs::is_symlink(fs::symlink_status(path))) throw ReleaseError(isALink(path));
  }
}

// What the tool changes in its copy of an application: links there in the input are refused.
constexpr std::string_view kChangedFiles[] = {"Contents/Info.plist", PelorinSeal::kResourcesFile,
                                              PelorinSeal::kSignatureFile};

std::string imageName(std::string_view arch) { return "app-" + std::string(arch) + ".dmg"; }

// The folder `name` in `parent` (at `path`), never a link, made where missing.
FileDescriptor folderAt(int parent, const fs::path& name, const fs::path& path) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int fd = ::openat(parent, name.c_str(), kFlags);
  bool made = false;
  if (fd < 0 && errno == ENOENT) {
    made = ::mkdirat(parent, name.c_str(), kFolderMode) == 0;
    if (!made && errno != EEXIST) fail("make", path);
    fd = ::openat(parent, name.c_str(), kFlags);
  }
  FileDescriptor folder(fd);
  if (!folder.isOpen()) {
    const int error = errno;
    struct stat item {};
    if (::fstatat(parent, name.c_str(), &item, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(item.st_mode)) {
      throw ReleaseError(isALink(path));
    }
    errno = error;
    fail("open", path);
  }
  // Not the umask's mode: served to others. Its name lasts a power loss before anything in it.
  if (made && (::fchmod(folder.get(), kFolderMode) != 0 || ::fsync(parent) != 0)) {
    fail("make", path);
  }
  return folder;
}

// The folder `relative` below `root`, reached from the root down without following a link and
// made where missing. Written relative to it, the folder written in is the one checked, whatever
// is put on the way meanwhile.
FileDescriptor folderBelow(const fs::path& root, const fs::path& relative) {
  std::error_code error;
  fs::create_directories(root, error);  // the publisher's own choice, links and all
  if (error) throw ReleaseError("cannot make " + root.string() + ": " + error.message());
  std::optional<FileDescriptor> folder;
  folder.emplace(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder->isOpen()) fail("open", root);
  auto path = root;
  for (const auto& name : relative) folder.emplace(folderAt(folder->get(), name, path /= name));
  return std::move(*folder);
}

void syncFolder(int folder, const fs::path& path) {
  if (::fsync(folder) != 0) fail("write", path);
}

// Copies what `from` holds to `output`; false, with errno, when a read or a write fails.
bool copyFile(const fs::path& from, int output) {
  FileDescriptor input(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (!input.isOpen()) return false;
  std::string chunk;
  do {
    chunk.clear();
    if (!PelorinBase::readUpTo(input.get(), kCopyChunk, chunk) ||
        !PelorinBase::writeAll(output, chunk)) {
      return false;
    }
  } while (chunk.size() == kCopyChunk);
  return true;
}

// Puts the file `name` in `folder` (at `path`) whole, mode 0644, with what `write` puts in it:
// written beside it (an item left there by a killed run is removed first), synced and renamed
// over it, so that the name never shows part of a file, even after a power loss.
void placeFile(int folder, const std::string& name, const fs::path& path,
               const std::function<bool(int)>& write) {
  const auto partial = name + ".partial";
  ::unlinkat(folder, partial.c_str(), 0);
  FileDescriptor output(::openat(folder, partial.c_str(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode));
  if (!output.isOpen()) fail("write", path.parent_path() / partial);
  const bool placed = ::fchmod(output.get(), kFileMode) == 0 && write(output.get()) &&
                      ::fsync(output.get()) == 0 && output.close() &&
                      ::renameat(folder, partial.c_str(), folder, name.c_str()) == 0;
  if (placed) return;
  const int error = errno;
  ::unlinkat(folder, partial.c_str(), 0);
  errno = error;
  fail("write", path);
}

// Whether the file `name` in `folder` (at `path`) holds the artifact already: false when nothing
// is there. Caches and clients hold on to what a URL once served: other bytes are refused.
bool isPublished(int folder, const std::string& name, const fs::path& path,
                 const Artifact& artifact) {
  FileDescriptor image(
      ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!image.isOpen()) {
    if (errno == ENOENT) return false;
    if (errno == ELOOP) throw ReleaseError(isALink(path));
    fail("open", path);
  }
  struct stat item {};
  if (::fstat(image.get(), &item) != 0 || !S_ISREG(item.st_mode) ||
      item.st_size != artifact.bytes || PelorinBase::sha256(image.get(), path) != artifact.sha256) {
    throw ReleaseError(path.string() +
                       " is already published with other bytes; publish another version");
  }
  return true;
}

// Every mode in the tree at `root` set outright, links aside: folders and programs 0755, other
// files 0644. The input's modes and the publisher's umask would otherwise reach the image's
// bytes, and a second publisher's image of the same release would be refused.
void setModes(const fs::path& root) {
  constexpr auto kRunnable = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
  fs::permissions(root, fs::perms(kFolderMode));
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const auto status = entry.symlink_status();
    if (fs::is_symlink(status)) continue;
    const bool folderOrProgram =
        fs::is_directory(status) || (status.permissions() & kRunnable) != fs::perms::none;
    fs::permissions(entry.path(), fs::perms(folderOrProgram ? kFolderMode : kFileMode));
  }
}

// The newest modification time in the tree at `folder`, links not followed: the time the
// application was built, which the copy in the image keeps. The system's caches of applications
// tell versions apart by it, so it must not be one fixed time for every release.
std::int64_t newestTime(const fs::path& folder) {
  auto seconds = [](const fs::path& item) {
    struct stat info {};
    return ::lstat(item.c_str(), &info) == 0 ? std::int64_t(info.st_mtime) : 0;
  };
  auto newest = seconds(folder);
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    newest = std::max(newest, seconds(entry.path()));
  }
  return newest;
}

// The running system that a release with this minimum must be decodable on.
InstallerCore::SystemVersion systemAtLeast(std::string_view minimum) {
  auto version = InstallerCore::Version::parse(minimum);
  if (!version) return {0, 0, 0};
  const auto& numbers = version->numbers();
  return {numbers[0], numbers[1], numbers[2]};
}

std::string inQuotes(std::string_view text) { return "\"" + std::string(text) + "\""; }

// Semantic versioning's rule: no number is written with a leading zero, in the label's numeric
// identifiers too. The installer reads 01.4.0 as 1.4.0: a second text of one version would
// publish a second, different image of it.
bool isCanonical(std::string_view version) {
  const auto dash = version.find('-');
  for (auto part :
       {version.substr(0, dash), dash == std::string_view::npos ? "" : version.substr(dash + 1)}) {
    while (!part.empty()) {
      const auto dot = part.find('.');
      const auto piece = part.substr(0, dot);
      if (piece.size() > 1 && piece[0] == '0' &&
          piece.find_first_not_of("0123456789") == std::string_view::npos) {
        return false;
      }
      part.remove_prefix(dot == std::string_view::npos ? part.size() : dot + 1);
    }
  }
  return true;
}

void checkCanonical(const std::string& option, std::string_view version) {
  if (isCanonical(version)) return;
  throw OptionError(option + " " + inQuotes(version) +
                    ": a version is written without leading zeros in its numbers, in the "
                    "pre-release label too (1.4.0, not 01.4.0; 2.0.0-rc.1, not 2.0.0-rc.01), "
                    "so that each release has one text");
}

// The rules of the version, the minimum system and the host, each named by its option.
void checkOptions(const PublishOptions& options) {
  if (!InstallerCore::Version::parse(options.version)) {
    throw OptionError("--version " + inQuotes(options.version) +
                      ": a version is MAJOR.MINOR.PATCH with an optional pre-release label, "
                      "such as 1.4.0 or 2.0.0-beta.1");
  }
  checkCanonical("--version", options.version);
  auto minimum = InstallerCore::Version::parse(options.minimumSystemVersion);
  if (!minimum || minimum->prerelease()) {
    throw OptionError("--minimum-system " + inQuotes(options.minimumSystemVersion) +
                      ": a system version is MAJOR.MINOR.PATCH without a pre-release label, "
                      "such as 13.0.0");
  }
  checkCanonical("--minimum-system", options.minimumSystemVersion);
  auto url = InstallerCore::Url::parse("https://" + options.host + "/");
  if (!url || url->path() != "/" || !InstallerCore::Distribution::accepts(*url)) {
    throw OptionError("--host " + inQuotes(options.host) + ": the installer downloads only from " +
                      std::string(InstallerCore::Distribution::host()) +
                      ", port 443 if one is given");
  }
}

// The application's main executable holds code for the image's architecture ("arm64", "x64").
void checkSlice(const fs::path& app, std::string_view arch) {
  auto plist = PelorinInstaller::InfoPlist::read(app);
  auto executable = plist ? plist->string("CFBundleExecutable") : std::nullopt;
  std::string header;
  if (executable && !executable->empty() && executable->find('/') == std::string::npos) {
    try {
      header = PelorinBase::readFile(app / "Contents/MacOS" / *executable, kMachOHeaderBytes,
                                     PelorinBase::Links::follow);
    } catch (const fs::filesystem_error&) {
      header.clear();  // an executable that cannot be read holds no slice
    }
  }
  if (InstallerCore::MachO::supports(
          arch, {reinterpret_cast<const std::uint8_t*>(header.data()), header.size()})) {
    return;
  }
  throw OptionError(app.string() + " has no " + (arch == "x64" ? "x86_64" : "arm64") +
                    " slice, which the " + std::string(arch) + " image needs" +
                    (arch == "x64" ? ": give an Intel or universal application with --app-x64, "
                                     "or a universal one with --app"
                                   : ""));
}

// Fails with the installer's own error when it would refuse the document.
void checkManifest(std::string_view text, std::string_view minimum) {
  InstallerCore::ReleaseManifest::decode(text, systemAtLeast(minimum));
}

}  // namespace

WorkFolder::WorkFolder(const fs::path& parent) : folder_(made(parent)) {}

PelorinBase::ScopedFolder WorkFolder::made(const fs::path& parent) {
  try {
    return PelorinBase::ScopedFolder::makeUnique(parent, ".pelorin-release-");
  } catch (const fs::filesystem_error& error) {
    throw ReleaseError("cannot make a folder in " + parent.string() + ": " +
                       error.code().message());
  }
}

void setInfoKeys(const fs::path& bundle, const std::map<std::string, std::string>& keys,
                 PlistFormat format) {
  const auto file = bundle / "Contents" / "Info.plist";
  refuseLinks(bundle, "Contents/Info.plist");
  Plist root;
  if (fs::exists(fs::symlink_status(file))) {
    auto bytes = readTextFile(file);
    plist_t parsed = nullptr;
    if (!bytes.empty() && bytes.size() <= kMaxInfoPlistBytes &&
        PelorinBase::plistIsBounded(bytes)) {
      plist_from_memory(bytes.data(), uint32_t(bytes.size()), &parsed);
    }
    root.reset(parsed);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) {
      throw ReleaseError(file.string() + " is not a property list dictionary");
    }
  } else {
    root.reset(plist_new_dict());
  }
  for (const auto& [key, value] : keys) {
    plist_dict_set_item(root.get(), key.c_str(), plist_new_string(value.c_str()));
  }
  char* data = nullptr;
  uint32_t length = 0;
  if (format == PlistFormat::binary) {
    plist_to_bin(root.get(), &data, &length);
  } else {
    plist_to_xml(root.get(), &data, &length);
  }
  if (!data) throw ReleaseError("cannot write the property list");
  std::string bytes(data, length);
  free(data);
  fs::create_directories(file.parent_path());
  writeText(file, bytes);
}

void seal(const fs::path& bundle, std::string_view privatePem, const SealOptions& options) {
  PelorinSeal::seal(bundle, {options.identifier, options.team, options.assessed}, privatePem);
}

std::string readTextFile(const fs::path& file) {
  try {
    return PelorinBase::readFile(file, SIZE_MAX, PelorinBase::Links::follow);
  } catch (const fs::filesystem_error& error) {
    throw ReleaseError("cannot read " + file.string() + ": " + error.code().message());
  }
}

void writeKeyPair(const PelorinSeal::KeyPair& keys, const fs::path& folder) {
  std::error_code error;
  fs::create_directories(folder, error);
  if (error)
    throw ReleaseError("cannot make the folder " + folder.string() + ": " + error.message());
  const auto privateFile = folder / "signing-key.pem";
  if (fs::exists(fs::symlink_status(privateFile))) {
    throw ReleaseError(privateFile.string() + " already exists");
  }
  writeText(privateFile, keys.privatePem, 0600);
  writeText(folder / "anchor.pem", keys.publicPem);
}

void packImage(const fs::path& root, const fs::path& image, std::int64_t time) {
  PelorinBase::LaunchOptions options;
  options.timeLimit = std::chrono::minutes(30);
  // The same contents make the same image whenever packed, so that a release published again
  // can be compared with what is served. mksquashfs refuses the time options when the
  // environment holds SOURCE_DATE_EPOCH: it gets none.
  options.environment.emplace();
  const auto stamp = std::to_string(time);
  auto result =
      PelorinBase::runProcess(kMksquashfs,
                              {root.string(), image.string(), "-noappend", "-all-root",
                               "-mkfs-time", stamp, "-all-time", stamp, "-quiet", "-no-progress"},
                              options);
  if (result.timedOut || result.shellStatus() != 0) {
    throw ReleaseError("mksquashfs exited with " + std::to_string(result.shellStatus()));
  }
}

std::string artifactURL(std::string_view host, std::string_view version, std::string_view arch) {
  return "https://" + std::string(host) + "/desktop-releases/" + std::string(version) + "/app-" +
         std::string(arch) + ".dmg";
}

std::string manifestText(std::string_view version, std::string_view minimumSystemVersion,
                         const std::map<std::string, Artifact>& artifacts) {
  nlohmann::json list = nlohmann::json::object();
  for (const auto& [arch, artifact] : artifacts) {
    list[arch] = {{"url", artifact.url}, {"sha256", artifact.sha256}, {"bytes", artifact.bytes}};
  }
  nlohmann::ordered_json document = {{"schemaVersion", 1},
                                     {"version", version},
                                     {"bundleID", InstallerCore::Distribution::bundleID},
                                     {"minimumSystemVersion", minimumSystemVersion},
                                     {"artifacts", list}};
  auto text = document.dump(2) + "\n";
  checkManifest(text, minimumSystemVersion);
  return text;
}

Publication publish(const PublishOptions& options) {
  if (options.apps.size() != 2 || !options.apps.contains("arm64") ||
      !options.apps.contains("x64")) {
    throw ReleaseError("a release needs one application for \"arm64\" and one for \"x64\"");
  }
  checkOptions(options);
  std::map<std::string, Artifact> planned;
  for (const auto& [arch, app] : options.apps) {
    planned[arch] = {artifactURL(options.host, options.version, arch), kPlaceholderDigest, 1};
  }
  manifestText(options.version, options.minimumSystemVersion, planned);
  PelorinSeal::publicKeyOf(options.privatePem);
  for (const auto& [arch, app] : options.apps) {
    if (!fs::exists(app)) throw ReleaseError(app.string() + " does not exist");
    if (!fs::is_directory(app)) throw ReleaseError(app.string() + " is not a folder");
    for (auto file : kChangedFiles) refuseLinks(app, file);
    checkSlice(app, arch);
  }

  // No name the tool writes under the web root may be a link, which would carry the write
  // elsewhere: refused before anything is packed. The writes check again as they go.
  const fs::path release = fs::path("desktop-releases") / options.version,
                 manifest = "desktop-releases/installer/stable/latest.json";
  Publication publication;
  publication.manifest = options.webRoot / manifest;
  for (const auto& [arch, app] : options.apps) {
    refuseLinks(options.webRoot, release / imageName(arch));
    publication.images[arch] = options.webRoot / release / imageName(arch);
  }
  refuseLinks(options.webRoot, manifest);

  // Built away from the web root, which changes only once the release is known to fit it.
  WorkFolder work(fs::temp_directory_path());
  for (const auto& [arch, app] : options.apps) {
    const auto root = work.path() / arch;
    const auto bundle = root / InstallerCore::Distribution::appName;
    fs::create_directory(root);
    fs::copy(fs::canonical(app), bundle,
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    setModes(root);  // before the seal, which records them
    setInfoKeys(bundle,
                {{"CFBundleIdentifier", std::string(InstallerCore::Distribution::bundleID)},
                 {"CFBundleShortVersionString", options.version},
                 {"LSMinimumSystemVersion", options.minimumSystemVersion}},
                options.plistFormat);
    seal(bundle, options.privatePem);
    setModes(root);  // the seal's own folder
    const auto image = work.path() / imageName(arch);
    packImage(root, image, newestTime(fs::canonical(app)));
    publication.artifacts[arch] = {planned[arch].url, PelorinBase::sha256File(image),
                                   std::int64_t(fs::file_size(image))};
    if (options.packed) options.packed(arch);
  }
  auto text = manifestText(options.version, options.minimumSystemVersion, publication.artifacts);

  // Each folder reached from the web root down, never through a link, and written in relative
  // to it. The images first, each synced before its rename, then their folder; the manifest
  // last, in one rename: whenever the power goes, it never names an image not wholly on disk.
  const auto releaseFolder = folderBelow(options.webRoot, release);
  std::set<std::string> kept;
  for (const auto& [arch, artifact] : publication.artifacts) {
    if (isPublished(releaseFolder.get(), imageName(arch), publication.images[arch], artifact)) {
      kept.insert(arch);
    }
  }
  for (const auto& [arch, image] : publication.images) {
    if (kept.contains(arch)) continue;
    const auto built = work.path() / imageName(arch);
    placeFile(releaseFolder.get(), imageName(arch), image,
              [&](int output) { return copyFile(built, output); });
  }
  syncFolder(releaseFolder.get(), options.webRoot / release);
  const auto manifestFolder = folderBelow(options.webRoot, manifest.parent_path());
  placeFile(manifestFolder.get(), manifest.filename(), publication.manifest,
            [&](int output) { return PelorinBase::writeAll(output, text); });
  syncFolder(manifestFolder.get(), publication.manifest.parent_path());
  return publication;
}

}  // namespace PelorinRelease
