#include "pipeline/NetworkError.hpp"

#include <curl/curl.h>

namespace PelorinInstaller {
namespace {

static_assert(kTransferCancelled == CURLE_ABORTED_BY_CALLBACK);

class NetworkCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "network"; }
  std::string message(int code) const override {
    return curl_easy_strerror(static_cast<CURLcode>(code));
  }
};

}  // namespace

const std::error_category& networkCategory() {
  static const NetworkCategory category;
  return category;
}

}  // namespace PelorinInstaller
