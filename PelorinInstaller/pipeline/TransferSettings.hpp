#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace PelorinInstaller {

// Where the system sends a connection: straight to the host, or through a proxy that tunnels it:
// an HTTP proxy's CONNECT (over TLS to an HTTPS proxy), SOCKS 4, 4a or 5, the host's name
// resolved by the proxy (socks4a, socks5) or here (socks4, socks5Local). A proxy of any other
// kind is `unusable`: the transfer ends rather than go around it.
struct Proxy {
  enum class Kind { direct, http, socks5, https, socks4, socks4a, socks5Local, unusable };
  Kind kind = Kind::direct;
  std::string host{};
  int port = 0;
  std::string user{}, password{};  // from the system's setting; none when empty
};

// The system's choice of proxy for a URL. It may block (a PAC file fetched and run).
using ProxyLookup = std::function<Proxy(const std::string& url)>;

// Connections, and TLS sessions, that the transfers given it keep for one another: a run's
// transfers share one, so the image comes over the manifest's connection. One transfer at a time.
class ConnectionCache;
std::shared_ptr<ConnectionCache> makeConnectionCache();

// What every transfer gets: a fresh configuration with no cache, cookies or credentials.
struct TransferSettings {
  std::string caFile;                  // trust store file; empty: the system's
  std::vector<std::string> connectTo;  // libcurl CURLOPT_CONNECT_TO entries
  std::chrono::milliseconds requestTimeout = std::chrono::seconds(60);     // of inactivity
  std::chrono::milliseconds transferTimeout = std::chrono::seconds(3600);  // whole transfer
  ProxyLookup proxy{};                                                     // none: always direct
  std::chrono::milliseconds proxyTimeout = std::chrono::seconds(20);  // for the lookup's answer
  std::shared_ptr<ConnectionCache> connections{};  // none: the transfer's connection is its own
};

}  // namespace PelorinInstaller
