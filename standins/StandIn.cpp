#include "StandIn.hpp"

#include <fcntl.h>
#include <plist/plist.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <InstallerCore/MachO.hpp>
#include <cerrno>
#include <fstream>
#include <iostream>
#include <memory>
#include <span>
#include <sstream>
#include <system_error>

#include "pipeline/FileDescriptor.hpp"

extern char** environ;

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
  PelorinInstaller::FileDescriptor input(
      open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat info;
  if (!input.isOpen() || fstat(input.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    refuse(file.string() + " is not a regular file");
  }
  std::string bytes;
  if (!PelorinInstaller::readUpTo(input.get(), limit, bytes))
    refuse("cannot read " + file.string());
  return bytes;
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
  std::ifstream input(file, std::ios::binary);
  if (!input) throw std::runtime_error("no trusted anchor key at " + file.string());
  std::ostringstream text;
  text << input.rdbuf();
  return text.str();
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
  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (int error = posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ)) {
    throw std::system_error(error, std::generic_category(), "cannot start " + path);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) == -1) {
    if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "waitpid");
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : kRefused;
}

}  // namespace StandIn
