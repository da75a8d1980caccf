#include "InstallerCore/DownloadResponse.hpp"

#include <string>
#include <system_error>

#include "InstallerCore/InstallerError.hpp"

namespace InstallerCore::DownloadResponse {

bool append(std::int64_t status, std::optional<std::string_view> range, std::int64_t offset,
            std::int64_t bytes) {
  if (status == 200) return false;
  // Only the exact range from the first missing byte to the end of the file continues it.
  if (status == 206 && offset >= 1 && bytes >= 1 && range) {
    auto expected = "bytes " + std::to_string(offset) + "-" + std::to_string(bytes - 1) + "/" +
                    std::to_string(bytes);
    if (*range == expected) return true;
  }
  throw std::system_error(InstallerError::invalidResponse);
}

}  // namespace InstallerCore::DownloadResponse
