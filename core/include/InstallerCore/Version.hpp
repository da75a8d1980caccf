#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace InstallerCore {

// major.minor.patch with an optional pre-release label, ordered by semver precedence.
class Version {
 public:
  static std::optional<Version> parse(std::string_view);

  const std::vector<std::int64_t>& numbers() const { return numbers_; }
  const std::optional<std::string>& prerelease() const { return prerelease_; }

  friend bool operator==(const Version&, const Version&) = default;
  friend bool operator<(const Version&, const Version&);
  friend bool operator>(const Version& a, const Version& b) { return b < a; }
  friend bool operator<=(const Version& a, const Version& b) { return !(b < a); }
  friend bool operator>=(const Version& a, const Version& b) { return !(a < b); }

 private:
  Version(std::vector<std::int64_t> numbers, std::optional<std::string> prerelease)
      : numbers_(std::move(numbers)), prerelease_(std::move(prerelease)) {}

  std::vector<std::int64_t> numbers_;
  std::optional<std::string> prerelease_;
};

// The running operating system's version.
struct SystemVersion {
  std::int64_t major, minor, patch;
};

}  // namespace InstallerCore
