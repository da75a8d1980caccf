#pragma once

#include <system_error>

namespace PelorinInstaller {

// Transfer failures: codes are libcurl's CURLcode values.
const std::error_category& networkCategory();

// The code a transfer ends with when its token cancelled it (CURLE_ABORTED_BY_CALLBACK).
inline constexpr int kTransferCancelled = 42;

inline std::system_error networkError(int curlCode) {
  return std::system_error(curlCode, networkCategory());
}

}  // namespace PelorinInstaller
