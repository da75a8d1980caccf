#include "StandIn.hpp"

#include <plist/plist.h>

#include <InstallerCore/MachO.hpp>
#include <PelorinBase/Files.hpp>
#include <PelorinBase/Process.hpp>
#include <iostream>
#include <memory>
#include <span>
#include <system_error>

namespace StandIn {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxInfoPlistBytes = 1 << 20;
constexpr std::size_t kHeaderBytes = 4096;

struct PlistFree {
  void operator()(void* root) const { plist_free(root); }
};

[[noreturn]] void refuse(const std::string& why) { throw std::runtime_error(why); }

// Up to `limit` bytes from the start of a regular file, opened without following a link.
std::string readStart(const fs::path& file, std::size_t limit) {
  try {
    return PelorinBase::readFile(file, limit);
  } catch (const fs::filesystem_error& error) {
    if (error.code() == std::errc::invalid_argument)
      refuse(file.string() + " is not a regular file");
    refuse("cannot read " + file.string());
  }
}

std::string mainExecutableName(const fs::path& bundle) {
  auto bytes = readStart(bundle / "Contents/Info.plist", kMaxInfoPlistBytes + 1);
  if (bytes.empty() || bytes.size() > kMaxInfoPlistBytes) {
    refuse("Info.plist is empty or too large");
  }
  plist_t parsed = nullptr;
  plist_from_memory(bytes.data(), uint32_t(bytes.size()), &parsed);
  std::unique_ptr<void, PlistFree> root(parsed);
  plist_t value = nullptr;
  if (root && plist_get_node_type(root.get()) == PLIST_DICT) {
    value = plist_dict_get_item(root.get(), "CFBundleExecutable");
  }
  uint64_t length = 0;
  const char* text = value && plist_get_node_type(value) == PLIST_STRING
                         ? plist_get_string_ptr(value, &length)
                         : nullptr;
  if (!text) refuse("Info.plist names no main executable");
  std::string name(text, length);
  if (name.empty() || name == "." || name == ".." ||
      name.find_first_of(std::string_view("/\0", 2)) != std::string::npos) {
    refuse("the main executable's name is not a file name");
  }
  return name;
}

}  // namespace

int main(const char* tool, int argc, char** argv,
         const std::function<int(const Arguments&)>& body) {
  try {
    return body(Arguments(argv + 1, argv + argc));
  } catch (const std::exception& error) {
    std::cerr << tool << ": " << error.what() << "\n";
  } catch (...) {
    std::cerr << tool << ": failed\n";
  }
  return kRefused;
}

std::filesystem::path ownFolder() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

std::string anchorKey() {
  auto file = ownFolder() / "anchor.pem";
  try {
    return PelorinBase::readFile(file, SIZE_MAX, PelorinBase::Links::follow);
  } catch (const fs::filesystem_error&) {
    throw std::runtime_error("no trusted anchor key at " + file.string());
  }
}

void requireMachOMainExecutable(const fs::path& bundle) {
  auto header = readStart(bundle / "Contents/MacOS" / mainExecutableName(bundle), kHeaderBytes);
  std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(header.data()),
                                      header.size());
  if (!InstallerCore::MachO::supports("arm64", bytes) &&
      !InstallerCore::MachO::supports("x64", bytes)) {
    refuse("the main executable is not a Mach-O image");
  }
}

int runProgram(const std::string& path, const Arguments& arguments) {
  PelorinBase::LaunchOptions options;
  options.input = options.output = options.error = {PelorinBase::Stream::Kind::inherit, {}};
  auto result = PelorinBase::runProcess(path, arguments, options);
  return result.exitStatus.value_or(kRefused);
}

}  // namespace StandIn
