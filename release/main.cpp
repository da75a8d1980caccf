// pelorin-release: the publisher's command line. See "Publishing a release" in README.md.
#include <stdlib.h>
#include <unistd.h>
#include <InstallerCore/InstallerError.hpp>
#include <PelorinBase/ScopedFolder.hpp>
#include <PelorinRelease/HostCheck.hpp>
#include <PelorinRelease/Release.hpp>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <map>
#include <optional>
#include <vector>

#include "pipeline/Host.hpp"
#include "pipeline/HostParts.hpp"

namespace {

namespace fs = std::filesystem;
using namespace PelorinRelease;

constexpr const char* kUsage =
    "usage: pelorin-release keygen KEYDIR\n"
    "       pelorin-release sample [--arch arm64|x64|universal] BUNDLE\n"
    "       pelorin-release publish --version VERSION --minimum-system VERSION --key KEYFILE\n"
    "                               --out WEBROOT (--app APP [--app-x64 APP] | --sample ARCH)\n"
    "                               [--host HOST] [--binary-plist]\n"
    "       pelorin-release check [--full] [--host HOST[:PORT]]\n"
    "                             (always direct: no proxy, whatever the system's settings)\n";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// "--name value" pairs and the flags named in `flags`; anything else is a usage error.
std::map<std::string, std::string> options(const std::vector<std::string>& arguments,
                                           std::vector<std::string>& positional,
                                           const std::vector<std::string>& flags) {
  std::map<std::string, std::string> found;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const auto& argument = arguments[i];
    if (!argument.starts_with("--")) {
      positional.push_back(argument);
    } else if (std::find(flags.begin(), flags.end(), argument) != flags.end()) {
      found[argument] = "";
    } else if (i + 1 < arguments.size() && !found.contains(argument)) {
      found[argument] = arguments[++i];
    } else {
      throw UsageError("option " + argument + " needs a value, once");
    }
  }
  return found;
}

Architecture architecture(const std::string& name) {
  auto chosen = architectureNamed(name);
  if (!chosen) throw UsageError("unknown architecture " + name);
  return *chosen;
}

std::string take(std::map<std::string, std::string>& found, const std::string& name) {
  auto it = found.find(name);
  if (it == found.end()) throw UsageError("missing " + name);
  auto value = it->second;
  found.erase(it);
  return value;
}

void noneLeft(const std::map<std::string, std::string>& found,
              const std::vector<std::string>& positional, std::size_t wanted) {
  if (!found.empty()) throw UsageError("unknown option " + found.begin()->first);
  if (positional.size() != wanted) throw UsageError("wrong number of arguments");
}

int keygen(const std::vector<std::string>& arguments) {
  std::vector<std::string> positional;
  auto found = options(arguments, positional, {});
  noneLeft(found, positional, 1);
  writeKeyPair(PelorinSeal::generateKeyPair(), positional[0]);
  std::cout << "wrote " << (fs::path(positional[0]) / "signing-key.pem").string() << " and "
            << (fs::path(positional[0]) / "anchor.pem").string() << "\n";
  return 0;
}

int sample(const std::vector<std::string>& arguments) {
  std::vector<std::string> positional;
  auto found = options(arguments, positional, {});
  auto arch = found.contains("--arch") ? architecture(take(found, "--arch")) : Architecture::arm64;
  noneLeft(found, positional, 1);
  makeSampleApp(positional[0], arch);
  return 0;
}

int publish(const std::vector<std::string>& arguments) {
  std::vector<std::string> positional;
  auto found = options(arguments, positional, {"--binary-plist"});
  PublishOptions publish;
  publish.version = take(found, "--version");
  publish.minimumSystemVersion = take(found, "--minimum-system");
  publish.privatePem = readTextFile(take(found, "--key"));
  publish.webRoot = take(found, "--out");
  if (found.contains("--host")) publish.host = take(found, "--host");
  if (found.contains("--binary-plist")) {
    found.erase("--binary-plist");
    publish.plistFormat = PlistFormat::binary;
  }
  // The sample applications that publish makes for itself go with it.
  std::optional<PelorinBase::ScopedFolder> samples;
  if (found.contains("--sample")) {
    auto arch = architecture(take(found, "--sample"));
    if (found.contains("--app")) throw UsageError("--app and --sample exclude each other");
    samples.emplace(
        PelorinBase::ScopedFolder::makeUnique(fs::temp_directory_path(), "pelorin-sample-"));
    makeSampleApp(*samples / "Pelorin Code.app", arch);
    publish.apps = {{"arm64", *samples / "Pelorin Code.app"},
                    {"x64", *samples / "Pelorin Code.app"}};
  } else {
    auto app = take(found, "--app");
    publish.apps = {{"arm64", app}, {"x64", app}};
    if (found.contains("--app-x64")) publish.apps["x64"] = take(found, "--app-x64");
  }
  noneLeft(found, positional, 0);
  auto publication = PelorinRelease::publish(publish);
  std::cout << publication.manifest.string() << "\n";
  for (const auto& [arch, image] : publication.images) std::cout << image.string() << "\n";
  return 0;
}

// A whole image's download as it goes: a bar on a terminal, otherwise a line every tenth.
class Progress {
 public:
  void show(const std::string& arch, double fraction) {
    int percent = static_cast<int>(fraction * 100);
    if (arch == arch_ && percent == percent_) return;
    if (arch != arch_) percent_ = -1;
    arch_ = arch;
    if (terminal_) {
      int filled = percent / 5;
      std::cerr << "\r" << arch << " [" << std::string(filled, '#') << std::string(20 - filled, ' ')
                << "] " << percent << "%" << std::flush;
      shown_ = true;
    } else if (percent / 10 != percent_ / 10) {
      std::cerr << arch << ": " << percent << "%\n";
    }
    percent_ = percent;
  }
  // Clears the bar before a line of the report.
  void clear() {
    if (shown_) std::cerr << "\r\033[K" << std::flush;
    shown_ = false;
  }

 private:
  bool terminal_ = isatty(STDERR_FILENO) == 1;
  bool shown_ = false;
  std::string arch_;
  int percent_ = -1;
};

int check(const std::vector<std::string>& arguments) {
  std::vector<std::string> positional;
  auto found = options(arguments, positional, {"--full"});
  HostCheckOptions check;
  // No proxy lookup: the check asks the host itself, not a proxy in between.
  check.transfer = PelorinInstaller::HostParts::compiledTransferSettings();
  // The build's mappings lead to where it reaches the host; --host replaces them.
  if (found.contains("--host")) check.transfer.connectTo = {connectToHost(take(found, "--host"))};
  check.full = found.erase("--full") == 1;
  noneLeft(found, positional, 0);
  check.system = PelorinInstaller::Host::live().system;
  Progress progress;
  check.progress = [&](const std::string& arch, double fraction) { progress.show(arch, fraction); };
  bool passed = true;
  checkHost(check, [&](const CheckLine& line) {
    progress.clear();
    std::cout << (line.passed ? "pass  " : "FAIL  ") << line.name << ": " << line.detail
              << std::endl;
    passed = passed && line.passed;
  });
  return passed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  try {
    if (arguments.empty()) throw UsageError("no command");
    auto command = arguments.front();
    arguments.erase(arguments.begin());
    if (command == "keygen") return keygen(arguments);
    if (command == "sample") return sample(arguments);
    if (command == "publish") return publish(arguments);
    if (command == "check") return check(arguments);
    throw UsageError("unknown command " + command);
  } catch (const UsageError& error) {
    std::cerr << "pelorin-release: " << error.what() << "\n" << kUsage;
    return 2;
  } catch (const std::system_error& error) {
    if (error.code().category() == InstallerCore::installerCategory()) {
      std::cerr << "pelorin-release: refused: the installer would not accept this release ("
                << error.code().message() << ")\n";
    } else {
      std::cerr << "pelorin-release: " << error.what() << "\n";
    }
  } catch (const std::exception& error) {
    std::cerr << "pelorin-release: " << error.what() << "\n";
  }
  return 1;
}
