#pragma once

#include <InstallerCore/Distribution.hpp>
#include <PelorinBase/ScopedFolder.hpp>
#include <PelorinSeal/Seal.hpp>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// The publisher's side: sample applications, Info.plist keys, seals, disk images and the
// release manifest "latest.json".
namespace PelorinRelease {

namespace fs = std::filesystem;

// A release that cannot be made; the text says why. A manifest that the installer would refuse
// is reported with the installer's own error instead (std::system_error with InstallerError).
struct ReleaseError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A publish option that breaks its rule; the text names the option, its value and the rule.
struct OptionError : ReleaseError {
  using ReleaseError::ReleaseError;
};

// A private working folder in `parent`, removed with its contents on every way out.
class WorkFolder {
 public:
  explicit WorkFolder(const fs::path& parent);
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;
  const fs::path& path() const { return folder_.path(); }

 private:
  static PelorinBase::ScopedFolder made(const fs::path& parent);
  PelorinBase::ScopedFolder folder_;
};

enum class Architecture { arm64, x64, universal };
std::optional<Architecture> architectureNamed(std::string_view name);  // "arm64", "x64", ...

// A small Mach-O executable: thin 64-bit little-endian, or universal with both slices.
std::vector<std::uint8_t> machOExecutable(Architecture architecture);

// Makes a minimal application bundle at `bundle`, which must not exist: Info.plist, PkgInfo,
// the main executable, a resource and a relative symbolic link to it.
void makeSampleApp(const fs::path& bundle, Architecture architecture,
                   std::string_view executableName = "Pelorin Code");

enum class PlistFormat { xml, binary };

// Sets string keys in the bundle's "Contents/Info.plist", keeping the others; creates the file
// when it is missing.
void setInfoKeys(const fs::path& bundle, const std::map<std::string, std::string>& keys,
                 PlistFormat format = PlistFormat::xml);

struct SealOptions {
  std::string identifier{InstallerCore::Distribution::bundleID};
  std::string team{InstallerCore::Distribution::teamID};
  bool assessed = true;
};

// Seals and signs the bundle as the stand-in codesign and spctl expect.
void seal(const fs::path& bundle, std::string_view privatePem, const SealOptions& options = {});

// Writes "signing-key.pem" (0600) and "anchor.pem" (the public key the stand-ins trust); never
// replaces an existing private key.
void writeKeyPair(const PelorinSeal::KeyPair& keys, const fs::path& folder);
std::string readTextFile(const fs::path& file);

// Packs the contents of `root` into the squashfs image `image` (mksquashfs), every item stamped
// with `time` (seconds since 1970), so that the same contents always make the same image.
void packImage(const fs::path& root, const fs::path& image, std::int64_t time = 0);

struct Artifact {
  std::string url, sha256;
  std::int64_t bytes;
};

// "https://HOST/desktop-releases/VERSION/app-ARCH.dmg".
std::string artifactURL(std::string_view host, std::string_view version, std::string_view arch);

// The text of "latest.json"; throws the installer's error when it would refuse the document.
std::string manifestText(std::string_view version, std::string_view minimumSystemVersion,
                         const std::map<std::string, Artifact>& artifacts);

struct PublishOptions {
  std::map<std::string, fs::path> apps;  // "arm64" and "x64": the application folder of each
  std::string version;
  std::string minimumSystemVersion;
  std::string host{InstallerCore::Distribution::host()};
  std::string privatePem;
  PlistFormat plistFormat = PlistFormat::xml;
  fs::path webRoot;  // receives desktop-releases/...
  // Told of each image packed, before the web root changes: the long part is over for it.
  std::function<void(const std::string& arch)> packed{};
};

struct Publication {
  fs::path manifest;                       // WEBROOT/desktop-releases/installer/stable/latest.json
  std::map<std::string, fs::path> images;  // WEBROOT/desktop-releases/VERSION/app-ARCH.dmg
  std::map<std::string, Artifact> artifacts;
};

// Copies each application as "Pelorin Code.app", writes its Info.plist keys, seals it, sets
// every mode in it (folders and programs 0755, other files 0644), packs its image, puts the
// images in place and replaces the manifest last, each synced before it is renamed into place and
// its folder after. Checks each option's rule (an OptionError: the version and the minimum system,
// each in its one text without leading zeros, the host, each application's slice for its image's
// architecture), the manifest's rules, links on the names it writes and images already published
// under the version (kept when the bytes are the same, refused otherwise) before touching the web
// root, and writes in folders reached from the web root without following links; the input
// folders are never changed.
Publication publish(const PublishOptions& options);

}  // namespace PelorinRelease
