#include <plist/plist.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <InstallerCore/MachO.hpp>
#include <InstallerCore/ReleaseManifest.hpp>
#include <InstallerCore/Version.hpp>
#include <PelorinBase/Files.hpp>
#include <PelorinBase/PlistGuard.hpp>
#include <PelorinBase/Process.hpp>
#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>

#include "PelorinRelease/Release.hpp"
#include "pipeline/InfoPlist.hpp"

namespace PelorinRelease {
namespace {

constexpr const char* kMksquashfs = "/usr/bin/mksquashfs";
const std::string kPlaceholderDigest(64, '0');
constexpr std::size_t kMaxInfoPlistBytes = 1 << 20;
constexpr std::size_t kMachOHeaderBytes = 4096;

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

// Puts a new image under its name, copied beside it first: the name never shows part of an image.
void placeImage(const fs::path& built, const fs::path& image) {
  auto partial = image;
  partial += ".partial";
  std::error_code ignored;
  fs::remove(partial, ignored);  // left by a run that was killed
  try {
    fs::copy_file(built, partial);
    fs::rename(partial, image);
  } catch (...) {
    fs::remove(partial, ignored);
    throw;
  }
}

// The newest modification time in the tree at `folder`, links not followed: the time the
// application was built, which the copy in the image keeps. The system's caches of applications
// tell versions apart by it, so it must not be one fixed time for every release.
std::int64_t newestTime(const fs::path& folder) {
  auto seconds = [](const fs::path& item) {
    struct stat info {};
    return ::lstat(item.c_str(), &info) == 0 ? std::int64_t(info.st_mtim.tv_sec) : 0;
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

// The rules of the version, the minimum system and the host, each named by its option.
void checkOptions(const PublishOptions& options) {
  if (!InstallerCore::Version::parse(options.version)) {
    throw OptionError("--version " + inQuotes(options.version) +
                      ": a version is MAJOR.MINOR.PATCH with an optional pre-release label, "
                      "such as 1.4.0 or 2.0.0-beta.1");
  }
  auto minimum = InstallerCore::Version::parse(options.minimumSystemVersion);
  if (!minimum || minimum->prerelease()) {
    throw OptionError("--minimum-system " + inQuotes(options.minimumSystemVersion) +
                      ": a system version is MAJOR.MINOR.PATCH without a pre-release label, "
                      "such as 13.0.0");
  }
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
  // elsewhere; checked before anything is written there.
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
    setInfoKeys(bundle,
                {{"CFBundleIdentifier", std::string(InstallerCore::Distribution::bundleID)},
                 {"CFBundleShortVersionString", options.version},
                 {"LSMinimumSystemVersion", options.minimumSystemVersion}},
                options.plistFormat);
    seal(bundle, options.privatePem);
    const auto image = work.path() / imageName(arch);
    packImage(root, image, newestTime(fs::canonical(app)));
    publication.artifacts[arch] = {planned[arch].url, PelorinBase::sha256File(image),
                                   std::int64_t(fs::file_size(image))};
  }
  auto text = manifestText(options.version, options.minimumSystemVersion, publication.artifacts);

  // Caches and clients hold on to what a URL once served: a published image is kept as it is,
  // and a release that would change one is refused.
  std::set<std::string> kept;
  for (const auto& [arch, artifact] : publication.artifacts) {
    const auto& image = publication.images[arch];
    const auto status = fs::symlink_status(image);
    if (!fs::exists(status)) continue;
    if (!fs::is_regular_file(status) || std::int64_t(fs::file_size(image)) != artifact.bytes ||
        PelorinBase::sha256File(image) != artifact.sha256) {
      throw ReleaseError(image.string() +
                         " is already published with other bytes; publish another version");
    }
    kept.insert(arch);
  }

  // The images first and the manifest last, in one rename: it never names a missing image.
  try {
    fs::create_directories(publication.images.begin()->second.parent_path());
    for (const auto& [arch, image] : publication.images) {
      if (!kept.contains(arch)) placeImage(work.path() / imageName(arch), image);
    }
    fs::create_directories(publication.manifest.parent_path());
    PelorinBase::replaceFile(publication.manifest, text, 0644);
  } catch (const fs::filesystem_error& error) {
    throw ReleaseError("cannot write " + error.path1().string() + ": " + error.code().message());
  }
  return publication;
}

}  // namespace PelorinRelease
