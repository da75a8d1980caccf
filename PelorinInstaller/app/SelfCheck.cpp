#include "app/SelfCheck.hpp"

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "app/InstallerResources.hpp"
#include "pipeline/Host.hpp"

namespace PelorinInstaller {

std::optional<std::string> selfCheckReport() {
  std::map<std::string, std::string> members;
  members["architecture"] = "arm64";
  // The first text resolves the resource bundle and the text bundle.
  members["title"] = InstallerResources::text("title").toStdString();
  members["resources"] = InstallerResources::bundle().string();
  members["brandIcon"] = InstallerResources::icon() ? "loaded" : "missing";
  members["testVersion"] = "live";
  return jsonLine(members);
}

std::vector<std::filesystem::path> missingToolFiles() {
  std::vector<std::filesystem::path> missing;
  for (const auto& file : Host::liveToolFiles()) {
    std::error_code unusable;
    if (!std::filesystem::is_regular_file(file, unusable) || ::access(file.c_str(), R_OK) != 0) {
      missing.push_back(file);
    }
  }
  return missing;
}

std::optional<std::string> jsonLine(const std::map<std::string, std::string>& members) {
  std::string line;
  try {
    line = nlohmann::json(members).dump();
  } catch (const nlohmann::json::type_error&) {
    return std::nullopt;
  }
  // Outside strings the JSON holds no "/", so every one is inside a text.
  std::string escaped;
  escaped.reserve(line.size() + 16);
  for (char c : line) {
    if (c == '/') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

}  // namespace PelorinInstaller
