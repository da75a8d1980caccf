#pragma once

#include <optional>
#include <string_view>

namespace PelorinInstaller {

// The coarse stage of a run; the names double as the keys of the status texts.
enum class Phase { preparing, downloading, verifying, installing };

std::string_view name(Phase);
std::optional<Phase> phaseNamed(std::string_view);  // exact names only

}  // namespace PelorinInstaller
