#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace InstallerCore::DownloadResponse {

// True: the body continues the partial file of `offset` bytes. False: it restarts the file.
// Throws InstallerError::invalidResponse when the response cannot be used.
bool append(std::int64_t status, std::optional<std::string_view> range, std::int64_t offset,
            std::int64_t bytes);

}  // namespace InstallerCore::DownloadResponse
