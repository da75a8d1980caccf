#include "InstallerCore/Url.hpp"

#include <curl/curl.h>

#include <memory>

namespace InstallerCore {
namespace {

using Handle = std::unique_ptr<CURLU, decltype(&curl_url_cleanup)>;

std::optional<std::string> part(CURLU* url, CURLUPart which, unsigned flags = 0) {
  char* value = nullptr;
  if (curl_url_get(url, which, &value, flags) != CURLUE_OK || value == nullptr) return std::nullopt;
  std::string text(value);
  curl_free(value);
  return text;
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
  // libcurl reads a C string: an embedded NUL would silently cut the URL short.
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  Handle handle(curl_url(), &curl_url_cleanup);
  if (!handle) throw std::bad_alloc();
  Url url;
  url.text_ = std::string(text);
  // Any scheme parses (the policy refuses it later); dot segments are kept as written.
  if (curl_url_set(handle.get(), CURLUPART_URL, url.text_.c_str(),
                   CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS) != CURLUE_OK) {
    return std::nullopt;
  }
  url.scheme_ = part(handle.get(), CURLUPART_SCHEME);
  url.host_ = part(handle.get(), CURLUPART_HOST);
  url.user_ = part(handle.get(), CURLUPART_USER);
  url.password_ = part(handle.get(), CURLUPART_PASSWORD);
  url.fragment_ = part(handle.get(), CURLUPART_FRAGMENT);
  // libcurl reports an empty fragment as none; a written "#" still makes one.
  if (!url.fragment_ && url.text_.find('#') != std::string::npos) url.fragment_ = "";
  url.query_ = part(handle.get(), CURLUPART_QUERY);
  if (auto port = part(handle.get(), CURLUPART_PORT)) {
    try {
      url.port_ = std::stol(*port);
    } catch (const std::exception&) {
      return std::nullopt;
    }
  }
  auto path = part(handle.get(), CURLUPART_PATH, CURLU_URLDECODE);
  if (!path) return std::nullopt;
  url.path_ = *path;
  return url;
}

std::string Url::pathExtension() const {
  auto slash = path_.rfind('/');
  auto segment = std::string_view(path_).substr(slash == std::string::npos ? 0 : slash + 1);
  auto dot = segment.rfind('.');
  return dot == std::string_view::npos ? std::string() : std::string(segment.substr(dot + 1));
}

}  // namespace InstallerCore
