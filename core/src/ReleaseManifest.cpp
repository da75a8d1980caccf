#include "InstallerCore/ReleaseManifest.hpp"

#include <limits>
#include <nlohmann/json.hpp>
#include <system_error>

#include "InstallerCore/Distribution.hpp"
#include "InstallerCore/InstallerError.hpp"

namespace InstallerCore {
namespace {

using nlohmann::json;

constexpr std::size_t kMaxDocumentBytes = 1'048'576;
constexpr int kMaxNesting = 512;
constexpr std::int64_t kMaxArtifactBytes = 4'294'967'296;

[[noreturn]] void refuse(InstallerError error) { throw std::system_error(error); }

const json& field(const json& object, const char* key) {
  if (!object.is_object()) throw json::type_error::create(302, "expected an object", &object);
  return object.at(key);
}

std::string text(const json& object, const char* key) {
  const auto& value = field(object, key);
  if (!value.is_string()) {
    throw json::type_error::create(302, std::string("\"") + key + "\" must be a string", &value);
  }
  return value.get<std::string>();
}

// Integers only: a number with a fraction (even 1.0) is refused, not rounded.
std::int64_t integer(const json& object, const char* key) {
  const auto& value = field(object, key);
  if (!value.is_number_integer()) {
    throw json::type_error::create(302, std::string("\"") + key + "\" must be an integer", &value);
  }
  if (value.is_number_unsigned() &&
      value.get<std::uint64_t>() > std::uint64_t(std::numeric_limits<std::int64_t>::max())) {
    throw json::out_of_range::create(406, std::string("\"") + key + "\" is out of range", &value);
  }
  return value.get<std::int64_t>();
}

ReleaseManifest::Artifact artifact(const json& object) {
  auto urlText = text(object, "url");
  auto url = Url::parse(urlText);
  if (!url) throw json::type_error::create(302, "\"url\" must be an absolute URL", &object);
  return {std::move(*url), text(object, "sha256"), integer(object, "bytes")};
}

// The document decoded into fields; no rule checked yet.
ReleaseManifest fields(std::string_view bytes) {
  // Bounded nesting keeps memory and destruction in proportion to any sane manifest.
  auto document =
      json::parse(bytes.begin(), bytes.end(), [](int depth, json::parse_event_t, json&) {
        if (depth > kMaxNesting) {
          throw json::parse_error::create(101, 0, "document nested too deeply", nullptr);
        }
        return true;
      });
  ReleaseManifest manifest{integer(document, "schemaVersion"),
                           text(document, "version"),
                           text(document, "bundleID"),
                           text(document, "minimumSystemVersion"),
                           {}};
  const auto& artifacts = field(document, "artifacts");
  if (!artifacts.is_object()) {
    throw json::type_error::create(302, "\"artifacts\" must be an object", &artifacts);
  }
  for (const auto& [key, value] : artifacts.items())
    manifest.artifacts.emplace(key, artifact(value));
  return manifest;
}

bool isLowerHexDigest(std::string_view digest) {
  if (digest.size() != 64) return false;
  for (char c : digest) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// "." and ".." segments would let a path that starts with the prefix leave it once normalised.
bool hasDotSegment(std::string_view path) {
  std::size_t start = 0;
  while (start <= path.size()) {
    auto slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    auto segment = path.substr(start, slash - start);
    if (segment == "." || segment == "..") return true;
    start = slash + 1;
  }
  return false;
}

bool artifactAllowed(const ReleaseManifest::Artifact& artifact) {
  const auto& url = artifact.url;
  auto path = url.path();
  // The transfer's own URL policy first; then what only artifacts must meet.
  return Distribution::accepts(url) && path.starts_with("/desktop-releases/") &&
         !hasDotSegment(path) && url.pathExtension() == "dmg" && !url.query() &&
         isLowerHexDigest(artifact.sha256) && artifact.bytes >= 1 &&
         artifact.bytes <= kMaxArtifactBytes;
}

}  // namespace

ReleaseManifest ReleaseManifest::decode(std::string_view bytes, SystemVersion system) {
  if (bytes.size() > kMaxDocumentBytes) refuse(InstallerError::invalidManifest);
  auto manifest = fields(bytes);

  if (manifest.schemaVersion != 1 || manifest.bundleID != Distribution::bundleID ||
      !Version::parse(manifest.version)) {
    refuse(InstallerError::invalidManifest);
  }
  if (manifest.artifacts.size() != 2 || !manifest.artifacts.contains("arm64") ||
      !manifest.artifacts.contains("x64")) {
    refuse(InstallerError::invalidManifest);
  }
  auto minimum = Version::parse(manifest.minimumSystemVersion);
  if (!minimum || minimum->prerelease()) refuse(InstallerError::invalidManifest);

  auto running = Version::parse(std::to_string(system.major) + "." + std::to_string(system.minor) +
                                "." + std::to_string(system.patch));
  if (!running || *running < *minimum) refuse(InstallerError::unsupportedSystem);

  for (const auto& [key, artifact] : manifest.artifacts) {
    if (!artifactAllowed(artifact)) refuse(InstallerError::invalidManifest);
  }
  return manifest;
}

}  // namespace InstallerCore
