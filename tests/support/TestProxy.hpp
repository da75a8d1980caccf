#pragma once

#include <optional>
#include <string>

#include "TestSupport.hpp"
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
  // Ends squid at once (SIGKILL): its tunnels drop. start() runs it again on the same port.
  void kill();
  void start();
  // Whether the access log has a CONNECT to `target` ("host:port") that ended with `result`
  // ("TCP_TUNNEL/200"); squid writes the line once the tunnel closes, so it waits up to ten
  // seconds for it.
  bool logged(const std::string& target, const std::string& result) const;
  std::string accessLog() const;

 private:
  bool launch();
  TemporaryFolder folder_{"pelorin-squid"};
  std::optional<Credentials> required_;
  int port_ = 0;
};

}  // namespace PelorinTesting
