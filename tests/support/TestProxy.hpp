#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <thread>

#include "TestSupport.hpp"
#include "pipeline/TransferSettings.hpp"

namespace PelorinTesting {

// Debian's squid as a forward proxy on 127.0.0.1: it tunnels (CONNECT) to port 443 and to any
// port above 1023, and resolves the distribution host's name to 127.0.0.1 from a hosts file of
// its own, so that name reaches the test server only through it. Its configuration, pid file and
// logs live in a temporary folder; it runs as long as the object does.
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
  std::string service() const;
  TemporaryFolder folder_{"pelorin-squid"};
  int port_ = 0;
  std::thread runner_;
  std::atomic<bool> ended_{false};
};

}  // namespace PelorinTesting
