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

std::vector<std::string> unusableToolFiles() {
  std::vector<std::string> unusable;
  for (const auto& file : Host::liveToolFiles()) {
    std::error_code ignored;
    if (!std::filesystem::is_regular_file(file, ignored) || ::access(file.c_str(), R_OK) != 0) {
      unusable.push_back(file.string() + " is missing or unreadable");
    } else if (auto fault = Host::liveToolFileFault(file)) {
      unusable.push_back(file.string() + " " + *fault);
    }
  }
  return unusable;
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
