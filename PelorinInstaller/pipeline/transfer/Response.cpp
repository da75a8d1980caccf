#include <sys/types.h>
#include <unistd.h>
#include <InstallerCore/Distribution.hpp>
#include <InstallerCore/DownloadResponse.hpp>

#include <new>
#include <utility>

#include "pipeline/NetworkError.hpp"
#include "pipeline/transfer/Transfer.hpp"

namespace PelorinInstaller {
namespace {

using InstallerCore::InstallerError;
using transfer::fileError;
using transfer::installerError;

bool isRedirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool endsHeaders(std::string_view line) {
  return line.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

}  // namespace

std::size_t Downloader::Transfer::onHeader(char* bytes, std::size_t size, std::size_t count,
                                           void* user) noexcept {
  auto& transfer = *static_cast<Transfer*>(user);
  std::size_t length = size * count;
  return transfer.guarded(0, [&]() -> std::size_t {
    return transfer.header(std::string_view(bytes, length)) ? length : 0;
  });
}

// One header line; at the end of a final response's headers, the redirect or response event.
// libcurl keeps the headers themselves. False abandons the request.
bool Downloader::Transfer::header(std::string_view line) {
  if (answered || !endsHeaders(line)) return true;  // after the answer: trailers
  long status = 0;
  curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
  if (status >= 100 && status < 200) return true;  // an interim answer; the real one follows
  if (isRedirect(status)) {
    if (auto location = responseHeader("Location"); location && redirect(*location)) return false;
  }
  // A redirect that is not followed is itself the response.
  answered = true;
  return respond(status);
}

// The value of the final response's header (neither an interim answer's nor a trailer);
// several headers of one name are joined with ", ".
std::optional<std::string> Downloader::Transfer::responseHeader(const char* name) const {
  auto get = [&](std::size_t index) -> curl_header* {
    curl_header* found = nullptr;
    switch (curl_easy_header(easy.get(), name, index, CURLH_HEADER, -1, &found)) {
      case CURLHE_OK:
        return found;
      case CURLHE_MISSING:
      case CURLHE_NOHEADERS:
        return nullptr;
      case CURLHE_OUT_OF_MEMORY:
        throw std::bad_alloc();
      default:  // a libcurl without the header interface
        throw networkError(CURLE_NOT_BUILT_IN);
    }
  };
  curl_header* first = get(0);
  if (!first) return std::nullopt;
  // Each call reuses the one header struct libcurl hands out.
  const std::size_t amount = first->amount;
  std::string value = first->value;
  for (std::size_t index = 1; index < amount; ++index) {
    if (curl_header* more = get(index)) value.append(", ").append(more->value);
  }
  return value;
}

// The redirect event: true to follow.
bool Downloader::Transfer::redirect(const std::string& location) {
  auto target = resolveRedirect(current, location);
  if (!target || !InstallerCore::Distribution::accepts(*target)) {
    failure = std::make_exception_ptr(installerError(InstallerError::invalidURL));
    return false;
  }
  next = std::move(*target);
  return true;
}

// The response event: true lets the body follow.
bool Downloader::Transfer::respond(long status) {
  try {
    if (!InstallerCore::Distribution::accepts(current)) {
      throw installerError(InstallerError::invalidResponse);
    }
    curl_off_t announced = -1;
    curl_easy_getinfo(easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
    bool restart = true;
    if (const auto& expected = owner.expectedBytes_) {
      auto range = responseHeader("Content-Range");
      restart = !InstallerCore::DownloadResponse::append(
          status, range ? std::optional<std::string_view>(*range) : std::nullopt, offset,
          *expected);
    } else if (status != 200 || announced > transfer::kSizeCap) {
      throw installerError(InstallerError::invalidResponse);
    }
    // Only a kept part is cut off: ext4 writes out on close a file that was truncated to empty
    // (its guard for files replaced that way), which holds up a fresh download's end 0.5 s a GiB.
    if (restart && offset > 0) {
      offset = 0;
      if (::ftruncate(file.get(), 0) != 0) throw fileError("cannot truncate", owner.file_);
      startWriter();
    }
    if (owner.expectedBytes_ && announced >= 0 && announced != *owner.expectedBytes_ - offset) {
      throw installerError(InstallerError::invalidResponse);
    }
    return true;
  } catch (...) {
    failure = std::current_exception();
    return false;
  }
}

}  // namespace PelorinInstaller
