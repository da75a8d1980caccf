#include <errno.h>
#include <fcntl.h>
#include <plist/plist.h>
#include <stdlib.h>
#include <unistd.h>

#include <InstallerCore/ReleaseManifest.hpp>
#include <InstallerCore/Version.hpp>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "PelorinRelease/Release.hpp"
#include "pipeline/Checks.hpp"
#include "pipeline/Command.hpp"
#include "pipeline/PlistGuard.hpp"

namespace PelorinRelease {
namespace {

constexpr const char* kMksquashfs = "/usr/bin/mksquashfs";
const std::string kPlaceholderDigest(64, '0');
constexpr std::size_t kMaxInfoPlistBytes = 1 << 20;

struct PlistFree {
  void operator()(void* root) const { plist_free(root); }
};
using Plist = std::unique_ptr<void, PlistFree>;

struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
};

std::string isALink(const fs::path& path) {
  return path.string() + " is a symbolic link; the release tool does not write through links";
}

// Never through a link: a link where the tool writes would carry the write elsewhere.
void writeText(const fs::path& file, std::string_view text) {
  Descriptor output{
      open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644)};
  if (output.fd < 0 && errno == ELOOP) throw ReleaseError(isALink(file));
  if (output.fd < 0) throw ReleaseError("cannot write " + file.string());
  for (std::size_t done = 0; done < text.size();) {
    ssize_t put = write(output.fd, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) throw ReleaseError("cannot write " + file.string());
    done += std::size_t(put);
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

// Writes beside the target, then renames over it: readers never see half a file.
void replaceFile(const fs::path& file, std::string_view text) {
  auto temporary = file;
  temporary += ".partial";
  writeText(temporary, text);
  fs::rename(temporary, file);
}

// The running system that a release with this minimum must be decodable on.
InstallerCore::SystemVersion systemAtLeast(std::string_view minimum) {
  auto version = InstallerCore::Version::parse(minimum);
  if (!version) return {0, 0, 0};
  const auto& numbers = version->numbers();
  return {numbers[0], numbers[1], numbers[2]};
}

// Fails with the installer's own error when it would refuse the document.
void checkManifest(std::string_view text, std::string_view minimum) {
  InstallerCore::ReleaseManifest::decode(text, systemAtLeast(minimum));
}

}  // namespace

WorkFolder::WorkFolder(const fs::path& parent) {
  std::string pattern = (parent / ".pelorin-release-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw ReleaseError("cannot make a folder in " + parent.string());
  path_ = pattern;
}

WorkFolder::~WorkFolder() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
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
        PelorinInstaller::plistIsBounded(bytes)) {
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
  std::ifstream input(file, std::ios::binary);
  if (!input) throw ReleaseError("cannot read " + file.string());
  std::ostringstream text;
  text << input.rdbuf();
  return text.str();
}

void writeKeyPair(const PelorinSeal::KeyPair& keys, const fs::path& folder) {
  fs::create_directories(folder);
  const auto privateFile = folder / "signing-key.pem";
  if (fs::exists(fs::symlink_status(privateFile))) {
    throw ReleaseError(privateFile.string() + " already exists");
  }
  writeText(privateFile, "");
  fs::permissions(privateFile, fs::perms::owner_read | fs::perms::owner_write);
  writeText(privateFile, keys.privatePem);
  writeText(folder / "anchor.pem", keys.publicPem);
}

void packImage(const fs::path& root, const fs::path& image) {
  PelorinInstaller::Command::run(
      kMksquashfs,
      {root.string(), image.string(), "-noappend", "-all-root", "-quiet", "-no-progress"},
      {std::chrono::minutes(30), std::chrono::seconds(5)});
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
  std::map<std::string, Artifact> planned;
  for (const auto& [arch, app] : options.apps) {
    planned[arch] = {artifactURL(options.host, options.version, arch), kPlaceholderDigest, 1};
  }
  manifestText(options.version, options.minimumSystemVersion, planned);
  PelorinSeal::publicKeyOf(options.privatePem);
  for (const auto& [arch, app] : options.apps) {
    if (!fs::is_directory(app)) throw ReleaseError(app.string() + " is not a folder");
    for (auto file : kChangedFiles) refuseLinks(app, file);
  }

  const auto releases = options.webRoot / "desktop-releases";
  fs::create_directories(releases);
  WorkFolder work(releases);
  Publication publication;
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
    const auto image = work.path() / ("app-" + arch + ".dmg");
    packImage(root, image);
    publication.artifacts[arch] = {planned[arch].url, PelorinInstaller::hash(image),
                                   std::int64_t(fs::file_size(image))};
  }
  auto text = manifestText(options.version, options.minimumSystemVersion, publication.artifacts);

  const auto folder = releases / options.version;
  fs::create_directories(folder);
  for (const auto& [arch, artifact] : publication.artifacts) {
    const auto image = folder / ("app-" + arch + ".dmg");
    fs::rename(work.path() / ("app-" + arch + ".dmg"), image);
    publication.images[arch] = image;
  }
  const auto stable = releases / "installer" / "stable";
  fs::create_directories(stable);
  publication.manifest = stable / "latest.json";
  replaceFile(publication.manifest, text);
  return publication;
}

}  // namespace PelorinRelease
