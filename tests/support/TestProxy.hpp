#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "TestDistribution.hpp"
#include "pipeline/TransferSettings.hpp"

namespace PelorinTesting {

// Debian's squid as scripts/squid.sh runs it on 127.0.0.1: it tunnels (CONNECT) to port 443 and
// to any port above 1023, and resolves the distribution host's name to 127.0.0.1, so that name
// reaches the test server only through it. Its configuration, pid file and logs live in a
// temporary folder; it runs as long as the object does.
class TestProxy {
 public:
  struct Credentials {
    std::string user, password;
  };
  // With `required`, every request must carry those credentials (Basic).
  explicit TestProxy(std::optional<Credentials> required = std::nullopt);
  ~TestProxy();
  TestProxy(const TestProxy&) = delete;
  TestProxy& operator=(const TestProxy&) = delete;

  int port() const { return port_; }
  // The proxy as the system would name it, with the credentials given.
  PelorinInstaller::Proxy proxy(const Credentials& given = {}) const;
  // Ends squid at once (SIGKILL): its tunnels drop.
  void kill();
  // Whether the access log has a CONNECT to `target` ("host:port") that ended with `result`
  // ("TCP_TUNNEL/200"); squid writes the line once the tunnel closes, so it waits up to ten
  // seconds for it.
  bool logged(const std::string& target, const std::string& result) const;
  std::string accessLog() const;
  // How each CONNECT logged so far ended ("TCP_DENIED/407"), in order.
  std::vector<std::string> tunnels() const;

 private:
  bool launch();
  TemporaryFolder folder_{"pelorin-squid"};
  std::optional<Credentials> required_;
  int port_ = 0;
};

// stunnel in front of a TestProxy: the same proxy over TLS, as "https://localhost:PORT", with
// the identity given (a certificate for "localhost").
class TlsFront {
 public:
  TlsFront(const TestProxy& behind, const TlsIdentity& identity);
  ~TlsFront();
  PelorinInstaller::Proxy proxy() const;

 private:
  TemporaryFolder folder_{"pelorin-stunnel"};
  int port_ = 0;
};

// Debian's dante-server as scripts/dante.sh runs it on 127.0.0.1, SOCKS 5 without
// authentication, in a mount namespace of its own where the distribution host's name alone
// resolves, to 127.0.0.1: that name reaches the test server only through it.
class SocksProxy {
 public:
  SocksProxy();
  ~SocksProxy();
  // Resolving names itself (socks5h) or not.
  PelorinInstaller::Proxy proxy(bool resolving) const;
  // Whether it was asked for `target` ("host:port") by name.
  bool askedByName(const std::string& target) const;

 private:
  TemporaryFolder folder_{"pelorin-dante"};
  int port_ = 0;
};

// A PAC file served over plain HTTP on 127.0.0.1, each answer held back for the delay set when
// its request came (a delay of hours: until destruction).
class PacHost {
 public:
  explicit PacHost(const std::string& script);
  ~PacHost();
  // How the environment names it: "pac+http://127.0.0.1:PORT/proxy.pac".
  std::string setting() const;
  void delay(std::chrono::milliseconds by);
  std::size_t requests() const;

 private:
  struct Server;
  std::unique_ptr<Server> server_;
};

}  // namespace PelorinTesting
