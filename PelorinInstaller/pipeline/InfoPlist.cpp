#include "pipeline/InfoPlist.hpp"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "pipeline/FileDescriptor.hpp"
#include "pipeline/PlistGuard.hpp"

namespace PelorinInstaller {
namespace {

// Far above any real Info.plist; keeps a hostile one from filling memory.
constexpr off_t kMaxBytes = 1 << 20;

// The whole file, or none. Non-blocking so that a FIFO in an image cannot stall the reader.
std::optional<std::string> contents(const std::filesystem::path& file) {
  FileDescriptor input(open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat info;
  if (!input.isOpen() || fstat(input.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      info.st_size > kMaxBytes) {
    return std::nullopt;
  }
  std::string bytes;
  if (!readUpTo(input.get(), static_cast<std::size_t>(info.st_size), bytes)) return std::nullopt;
  return bytes;
}

}  // namespace

void InfoPlist::Free::operator()(void* root) const { plist_free(root); }

std::optional<InfoPlist> InfoPlist::parse(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > std::size_t(kMaxBytes) || !plistIsBounded(bytes)) {
    return std::nullopt;
  }
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  if (!root) return std::nullopt;
  InfoPlist plist(root);
  if (plist_get_node_type(root) != PLIST_DICT) return std::nullopt;
  return plist;
}

std::optional<InfoPlist> InfoPlist::read(const std::filesystem::path& bundle) {
  auto bytes = contents(bundle / "Contents" / "Info.plist");
  if (!bytes) return std::nullopt;
  return parse(*bytes);
}

std::optional<std::string> InfoPlist::string(std::string_view key) const {
  plist_t value = plist_dict_get_item(root_.get(), std::string(key).c_str());
  if (!value || plist_get_node_type(value) != PLIST_STRING) return std::nullopt;
  uint64_t length = 0;
  const char* text = plist_get_string_ptr(value, &length);
  if (!text) return std::nullopt;
  return std::string(text, length);
}

}  // namespace PelorinInstaller
