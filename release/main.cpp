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

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Each command's usage, shown by "COMMAND --help" and after a usage error.
const std::map<std::string, std::string> kUsages = {
    {"keygen", "pelorin-release keygen KEYDIR\n"},
    {"sample", "pelorin-release sample [--arch arm64|x64|universal] BUNDLE\n"},
    {"publish",
     "pelorin-release publish --version VERSION --minimum-system VERSION --key KEYFILE\n"
     "                        --out WEBROOT (--app APP [--app-x64 APP] | --sample universal)\n"
     "                        [--host HOST] [--binary-plist]\n"
     "      the x64 image holds --app-x64, or --app when it is universal (arm64 and x86_64)\n"},
    {"check",
     "pelorin-release check [--full [--anchor ANCHOR]] [--host HOST[:PORT]]\n"
     "      always direct: no proxy, whatever the system's settings; --full also downloads each\n"
     "      image, attaches it read-only and verifies its application as the installer does,\n"
     "      trusting ANCHOR (default: the anchor.pem beside this tool's stand-ins)\n"}};

std::string allUsages() {
  std::string text = "usage:\n";
  for (const auto& name : {"keygen", "sample", "publish", "check"}) text += "  " + kUsages.at(name);
  return text + "  pelorin-release --help | --version\n";
}

// The command's valued options (`valued`) and flags (`flags`), each at most once, and the other
// arguments in order; an argument that starts with "-" and is neither is a usage error.
std::map<std::string, std::string> options(const std::vector<std::string>& arguments,
                                           std::vector<std::string>& positional,
                                           const std::vector<std::string>& valued,
                                           const std::vector<std::string>& flags = {}) {
  auto known = [](const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  };
  std::map<std::string, std::string> found;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const auto& argument = arguments[i];
    if (argument.size() < 2 || argument[0] != '-') {
      positional.push_back(argument);
      continue;
    }
    if (!known(valued, argument) && !known(flags, argument)) {
      throw UsageError("unknown option " + argument);
    }
    if (found.contains(argument)) throw UsageError("option " + argument + " given twice");
    if (known(flags, argument)) {
      found[argument] = "";
    } else if (i + 1 < arguments.size()) {
      found[argument] = arguments[++i];
    } else {
      throw UsageError("option " + argument + " needs a value");
    }
  }
  return found;
}

Architecture architecture(const std::string& option, const std::string& name) {
  auto chosen = architectureNamed(name);
  if (!chosen) throw UsageError(option + " " + name + ": not arm64, x64 or universal");
  return *chosen;
}

// The value of a required option.
const std::string& required(const std::map<std::string, std::string>& found,
                            const std::string& name) {
  auto it = found.find(name);
  if (it == found.end()) throw UsageError("missing " + name);
  return it->second;
}

void expectArguments(const std::vector<std::string>& positional, std::size_t wanted) {
  if (positional.size() != wanted) throw UsageError("wrong number of arguments");
}

int keygen(const std::vector<std::string>& arguments) {
  std::vector<std::string> positional;
  options(arguments, positional, {});
  expectArguments(positional, 1);
  writeKeyPair(PelorinSeal::generateKeyPair(), positional[0]);
  std::cout << "wrote " << (fs::path(positional[0]) / "signing-key.pem").string() << " and "
            << (fs::path(positional[0]) / "anchor.pem").string() << "\n";
  return 0;
}

int sample(const std::vector<std::string>& arguments) {
  std::vector<std::string> positional;
  auto found = options(arguments, positional, {"--arch"});
  auto arch =
      found.contains("--arch") ? architecture("--arch", found["--arch"]) : Architecture::arm64;
  expectArguments(positional, 1);
  makeSampleApp(positional[0], arch);
  return 0;
}

int publish(const std::vector<std::string>& arguments) {
  std::vector<std::string> positional;
  auto found = options(arguments, positional,
                       {"--version", "--minimum-system", "--key", "--out", "--host", "--app",
                        "--app-x64", "--sample"},
                       {"--binary-plist"});
  PublishOptions publish;
  publish.version = required(found, "--version");
  publish.minimumSystemVersion = required(found, "--minimum-system");
  const auto& key = required(found, "--key");
  publish.privatePem = readTextFile(key);
  try {
    PelorinSeal::publicKeyOf(publish.privatePem);
  } catch (const PelorinSeal::SealError&) {
    throw OptionError("--key " + key +
                      ": not an Ed25519 private key in PEM form; give the signing-key.pem that "
                      "keygen wrote, not its anchor.pem");
  }
  publish.webRoot = required(found, "--out");
  if (found.contains("--host")) publish.host = required(found, "--host");
  if (found.contains("--binary-plist")) publish.plistFormat = PlistFormat::binary;
  // The sample applications that publish makes for itself go with it.
  std::optional<PelorinBase::ScopedFolder> samples;
  if (found.contains("--sample")) {
    const auto name = required(found, "--sample");
    auto arch = architecture("--sample", name);
    if (arch != Architecture::universal) {
      throw UsageError("--sample " + name +
                       ": a release needs arm64 and x86_64 code; use --sample universal");
    }
    if (found.contains("--app") || found.contains("--app-x64")) {
      throw UsageError("--app and --sample exclude each other");
    }
    samples.emplace(
        PelorinBase::ScopedFolder::makeUnique(fs::temp_directory_path(), "pelorin-sample-"));
    makeSampleApp(*samples / "Pelorin Code.app", arch);
    publish.apps = {{"arm64", *samples / "Pelorin Code.app"},
                    {"x64", *samples / "Pelorin Code.app"}};
  } else {
    auto app = required(found, "--app");
    publish.apps = {{"arm64", app}, {"x64", app}};
    if (found.contains("--app-x64")) publish.apps["x64"] = required(found, "--app-x64");
  }
  expectArguments(positional, 0);
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
  auto found = options(arguments, positional, {"--host", "--anchor"}, {"--full"});
  HostCheckOptions check;
  // No proxy lookup: the check asks the host itself, not a proxy in between.
  check.transfer = PelorinInstaller::HostParts::compiledTransferSettings();
  // The build's mappings lead to where it reaches the host; --host replaces them.
  if (found.contains("--host")) {
    try {
      check.transfer.connectTo = {connectToHost(found["--host"])};
    } catch (const ReleaseError& error) {
      throw UsageError(std::string("--host ") + error.what());
    }
  }
  check.full = found.contains("--full");
  if (found.contains("--anchor")) {
    if (!check.full) throw UsageError("--anchor is for --full, which verifies the applications");
    check.anchor = found["--anchor"];
  }
  expectArguments(positional, 0);
  const auto host = PelorinInstaller::Host::live();
  check.system = host.system;
  check.tools = host.tools;
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

// A system's failure as a sentence: where, when a file was involved, and the system's reason.
std::string described(const std::system_error& error) {
  if (const auto* file = dynamic_cast<const fs::filesystem_error*>(&error);
      file && !file->path1().empty()) {
    return "cannot use " + file->path1().string() + ": " + error.code().message();
  }
  return error.code().message();
}

}  // namespace

int main(int argc, char** argv) {
  // Work folders hold whole copies of applications and images: an interruption takes them along.
  PelorinBase::removeFoldersOnInterrupt("pelorin-release");
  const std::map<std::string, int (*)(const std::vector<std::string>&)> commands = {
      {"keygen", keygen}, {"sample", sample}, {"publish", publish}, {"check", check}};
  std::vector<std::string> arguments(argv + 1, argv + argc);
  const std::string command = arguments.empty() ? "" : arguments.front();
  auto asksForHelp = [&](const std::string& argument) {
    return argument == "--help" || argument == "-h";
  };
  try {
    if (command == "--version") {
      std::cout << "pelorin-release " << PELORIN_VERSION << "\n";
      return 0;
    }
    if (asksForHelp(command) || command == "help") {
      std::cout << allUsages();
      return 0;
    }
    if (command.empty()) throw UsageError("no command");
    const auto chosen = commands.find(command);
    if (chosen == commands.end()) throw UsageError("unknown command " + command);
    arguments.erase(arguments.begin());
    if (std::any_of(arguments.begin(), arguments.end(), asksForHelp)) {
      std::cout << "usage: " << kUsages.at(command);
      return 0;
    }
    return chosen->second(arguments);
  } catch (const UsageError& error) {
    std::cerr << "pelorin-release: " << error.what() << "\n"
              << (kUsages.contains(command) ? "usage: " + kUsages.at(command) : allUsages());
    return 2;
  } catch (const OptionError& error) {
    std::cerr << "pelorin-release: " << error.what() << "\n";
    return 2;
  } catch (const std::system_error& error) {
    if (error.code().category() == InstallerCore::installerCategory()) {
      std::cerr << "pelorin-release: refused: the installer would not accept this release ("
                << error.code().message() << ")\n";
    } else {
      std::cerr << "pelorin-release: " << described(error) << "\n";
    }
  } catch (const ReleaseError& error) {
    std::cerr << "pelorin-release: " << error.what() << "\n";
  } catch (const PelorinSeal::SealError& error) {
    std::cerr << "pelorin-release: " << error.what() << "\n";
  } catch (const std::bad_alloc&) {
    std::cerr << "pelorin-release: out of memory\n";
  } catch (const std::exception&) {
    // A library's own text would mean nothing to a publisher.
    std::cerr << "pelorin-release: failed on an internal error\n";
  }
  return 1;
}
