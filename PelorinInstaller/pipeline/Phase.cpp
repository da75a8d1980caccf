#include "pipeline/Phase.hpp"

#include <array>

namespace PelorinInstaller {
namespace {

constexpr std::array<std::string_view, 4> kNames = {"preparing", "downloading", "verifying",
                                                    "installing"};

}  // namespace

std::string_view name(Phase phase) { return kNames[static_cast<std::size_t>(phase)]; }

std::optional<Phase> phaseNamed(std::string_view text) {
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    if (kNames[i] == text) return static_cast<Phase>(i);
  }
  return std::nullopt;
}

}  // namespace PelorinInstaller
