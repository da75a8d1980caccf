#include "pipeline/InfoPlist.hpp"

#include <plist/plist.h>

#include <PelorinBase/Files.hpp>
#include <PelorinBase/PlistGuard.hpp>

namespace PelorinInstaller {
namespace {

// Far above any real Info.plist; keeps a hostile one from filling memory.
constexpr std::size_t kMaxBytes = 1 << 20;

// The whole file, or none. Non-blocking so that a FIFO in an image cannot stall the reader.
std::optional<std::string> contents(const std::filesystem::path& file) {
  try {
    return PelorinBase::readFile(file, std::size_t(kMaxBytes) + 1, PelorinBase::Links::follow);
  } catch (const std::filesystem::filesystem_error&) {
    return std::nullopt;  // missing, unreadable or not a regular file: no property list
  }
}

}  // namespace

void InfoPlist::Free::operator()(void* root) const { plist_free(root); }

std::optional<InfoPlist> InfoPlist::parse(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > kMaxBytes || !PelorinBase::plistIsBounded(bytes)) {
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
