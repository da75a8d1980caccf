#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace PelorinInstaller {

// A bundle's "Contents/Info.plist" dictionary (XML or binary), read once.
class InfoPlist {
 public:
  // None when the file is missing, unreadable, not a regular file, too large or not a dictionary.
  static std::optional<InfoPlist> read(const std::filesystem::path& bundle);
  // Parses a property list held in memory; none unless it is a dictionary.
  static std::optional<InfoPlist> parse(std::string_view bytes);

  // The value under `key` when it is present and a string.
  std::optional<std::string> string(std::string_view key) const;

 private:
  struct Free {
    void operator()(void* root) const;
  };
  explicit InfoPlist(void* root) : root_(root) {}
  std::unique_ptr<void, Free> root_;
};

}  // namespace PelorinInstaller
