#pragma once

#include <curl/curl.h>

#include <memory>

namespace PelorinInstaller {

// libcurl's handles, each freed by its own function on every way out.
template <auto Free>
struct CurlDeleter {
  template <typename T>
  void operator()(T* pointer) const {
    Free(pointer);
  }
};
using CurlEasy = std::unique_ptr<CURL, CurlDeleter<curl_easy_cleanup>>;
using CurlMulti = std::unique_ptr<CURLM, CurlDeleter<curl_multi_cleanup>>;
using CurlShare = std::unique_ptr<CURLSH, CurlDeleter<curl_share_cleanup>>;
using CurlList = std::unique_ptr<curl_slist, CurlDeleter<curl_slist_free_all>>;
using CurlUrlHandle = std::unique_ptr<CURLU, CurlDeleter<curl_url_cleanup>>;
using CurlText = std::unique_ptr<char, CurlDeleter<curl_free>>;

}  // namespace PelorinInstaller
