#include <new>
#include <string>
#include <utility>

#include "pipeline/NetworkError.hpp"
#include "pipeline/transfer/Transfer.hpp"

namespace PelorinInstaller {
namespace {

CurlList append(CurlList list, const std::string& item) {
  curl_slist* grown = curl_slist_append(list.get(), item.c_str());
  if (!grown) throw std::bad_alloc();
  (void)list.release();
  return CurlList(grown);
}

// libcurl's name for the proxy, its scheme saying who resolves the host's name.
std::string address(const Proxy& proxy) {
  using Kind = Proxy::Kind;
  const char* scheme = proxy.kind == Kind::https         ? "https://"
                       : proxy.kind == Kind::socks5      ? "socks5h://"
                       : proxy.kind == Kind::socks5Local ? "socks5://"
                       : proxy.kind == Kind::socks4      ? "socks4://"
                       : proxy.kind == Kind::socks4a     ? "socks4a://"
                                                         : "http://";
  bool literal = proxy.host.find(':') != std::string::npos;  // an IPv6 address
  return scheme + (literal ? "[" + proxy.host + "]" : proxy.host) + ":" +
         std::to_string(proxy.port);
}

}  // namespace

std::shared_ptr<ConnectionCache> makeConnectionCache() {
  auto cache = std::make_shared<ConnectionCache>();
  cache->share.reset(curl_share_init());
  if (!cache->share) throw std::bad_alloc();
  for (auto data : {CURL_LOCK_DATA_CONNECT, CURL_LOCK_DATA_SSL_SESSION}) {
    if (curl_share_setopt(cache->share.get(), CURLSHOPT_SHARE, data) != CURLSHE_OK) {
      throw std::bad_alloc();
    }
  }
  return cache;
}

// The one set of request headers every request of the transfer sends, redirects included.
void Downloader::Transfer::prepareRequests() {
  requestHeaders = append(nullptr, "Accept-Encoding: identity");
  if (offset >= 1) {
    auto range = "Range: bytes=" + std::to_string(offset) + "-";
    requestHeaders = append(std::move(requestHeaders), range);
  }
  for (const auto& entry : owner.settings_.connectTo) {
    connectTo = append(std::move(connectTo), entry);
  }
}

// Prepares the request for `url` with the transfer's one set of headers.
void Downloader::Transfer::start(const InstallerCore::Url& url) {
  if (easy) curl_multi_remove_handle(multi.get(), easy.get());
  current = url;
  next.reset();
  answered = false;
  easy.reset(curl_easy_init());
  if (!easy) throw std::bad_alloc();
  auto set = [this](CURLoption option, auto value) {
    if (auto code = curl_easy_setopt(easy.get(), option, value); code != CURLE_OK) {
      throw networkError(code);
    }
  };
  set(CURLOPT_URL, current.text().c_str());
  set(CURLOPT_PROTOCOLS_STR, "https");
  set(CURLOPT_HTTPGET, 1L);
  set(CURLOPT_FOLLOWLOCATION, 0L);  // redirects go through the URL policy first
  set(CURLOPT_HTTPHEADER, requestHeaders.get());
  set(CURLOPT_NETRC, static_cast<long>(CURL_NETRC_IGNORED));
  if (proxy.kind == Proxy::Kind::direct) {
    set(CURLOPT_PROXY, "");  // direct, whatever the environment says
  } else {
    set(CURLOPT_PROXY, address(proxy).c_str());
    set(CURLOPT_NOPROXY, "");  // the system applied its exceptions; libcurl would read no_proxy
    set(CURLOPT_HTTPPROXYTUNNEL, 1L);
    // An HTTPS proxy is trusted as the host is.
    set(CURLOPT_PROXY_SSL_VERIFYPEER, 1L);
    set(CURLOPT_PROXY_SSL_VERIFYHOST, 2L);
    if (!owner.settings_.caFile.empty()) {
      set(CURLOPT_PROXY_CAINFO, owner.settings_.caFile.c_str());
    }
    if (!proxy.user.empty() || !proxy.password.empty()) {
      set(CURLOPT_PROXYUSERNAME, proxy.user.c_str());
      set(CURLOPT_PROXYPASSWORD, proxy.password.c_str());
      set(CURLOPT_PROXYAUTH, CURLAUTH_ANY);
    }
  }
  // The proxy's answer to CONNECT is not the host's response.
  set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  set(CURLOPT_NOSIGNAL, 1L);
  // A cancel or time-out during a slow name lookup must not wait for it: the resolver thread is
  // left to finish on its own.
  set(CURLOPT_QUICK_EXIT, 1L);
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  set(CURLOPT_BUFFERSIZE, transfer::kReceiveBuffer);
  if (!owner.settings_.caFile.empty()) set(CURLOPT_CAINFO, owner.settings_.caFile.c_str());
  if (connectTo) set(CURLOPT_CONNECT_TO, connectTo.get());
  if (owner.settings_.connections) set(CURLOPT_SHARE, owner.settings_.connections->share.get());
  set(CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
  set(CURLOPT_HEADERDATA, static_cast<void*>(this));
  set(CURLOPT_WRITEFUNCTION, &Transfer::onData);
  set(CURLOPT_WRITEDATA, static_cast<void*>(this));
  if (curl_multi_add_handle(multi.get(), easy.get()) != CURLM_OK) throw std::bad_alloc();
  lastActivity = transfer::Clock::now();
}

}  // namespace PelorinInstaller
