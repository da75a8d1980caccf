#pragma once

#include <InstallerCore/Distribution.hpp>
#include <PelorinBase/FileDescriptor.hpp>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "TestSupport.hpp"
#include "pipeline/TransferSettings.hpp"

namespace httplib {
class SSLServer;
class DataSink;
struct Request;
struct Response;
}  // namespace httplib

namespace PelorinTesting {

// A certificate and its private key as PEM files, as a TLS server loads them.
struct TlsIdentity {
  fs::path certificate, key;
};

// A P-256 certificate authority made with the openssl tool, valid for a day, whose files live as
// long as it does.
class CertificateAuthority {
 public:
  explicit CertificateAuthority(const std::string& name = "Pelorin Test CA");
  // A server certificate for `dnsName` (subject alternative name), signed by this authority.
  TlsIdentity issue(const std::string& dnsName) const;
  const fs::path& certificateFile() const { return self_.certificate; }

 private:
  TemporaryFolder folder_;
  TlsIdentity self_;
};

// A request as the server received it; `path` is decoded, without the query.
struct Request {
  std::string method, path;
  std::vector<std::pair<std::string, std::string>> headers;
  // The first header of that name (letter case ignored), or none.
  std::optional<std::string> header(std::string_view name) const;
};

// What the server answers, and how it misbehaves while sending the body. Headers go out as given
// but for "Content-Length" and "Transfer-Encoding", which are the server's own.
struct Reply {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers{};
  std::string body{};
  bool chunked = false;                     // chunked coding: no announced length
  std::optional<std::size_t> dropAfter{};   // close the connection once this many bytes are out
  std::optional<std::size_t> stallAfter{};  // then hold the rest until release() or shutdown
  bool stallHeaders = false;                // hold the whole answer back the same way

  static Reply redirect(int status, std::string location) {
    return {.status = status, .headers = {{"Location", std::move(location)}}};
  }
};

using Route = std::function<Reply(const Request&)>;

// Serves `content` as a file: 200 with all of it; for "Range: bytes=N-", 206 with the rest and
// the exact "Content-Range" while N is inside it, else 416.
Route serveFile(std::string content);

// An HTTPS server in the test process on 127.0.0.1 and an ephemeral port; a path without a
// route gets 404; every request is recorded.
class TestServer {
 public:
  explicit TestServer(const TlsIdentity& identity);
  ~TestServer();

  int port() const { return port_; }
  void route(const std::string& path, Route route);
  std::vector<Request> requests() const;
  std::size_t requestCount() const { return requests().size(); }
  // Waits until `count` replies in all have stalled (false when `timeout` passes first).
  bool waitForStalls(std::size_t count, std::chrono::milliseconds timeout) const;
  // Lets every reply stalled now go on.
  void release() { wake(false); }

 private:
  bool waitForRelease();
  void wake(bool stop);
  bool send(const Reply& reply, std::size_t offset, httplib::DataSink& sink);
  void handle(const httplib::Request& in, httplib::Response& out);

  std::unique_ptr<httplib::SSLServer> server_;
  std::thread thread_;
  int port_ = 0;
  mutable std::mutex lock_;
  mutable std::condition_variable changed_;
  std::map<std::string, Route> routes_;
  std::vector<Request> requests_;
  std::size_t stalls_ = 0;
  std::uint64_t releases_ = 0;
  bool stopping_ = false;
};

// A loopback port that nothing should ever reach: it counts the connections made to it (and
// closes them) when asked.
class ContactProbe {
 public:
  ContactProbe();
  int port() const { return port_; }
  int connections();

 private:
  PelorinBase::FileDescriptor socket_;
  int port_ = 0;
  int count_ = 0;
};

// The distribution host on loopback: a test CA and an HTTPS server with a certificate for
// InstallerCore::Distribution::host(), reached under that name through connect-to, so that
// production URLs and policy code are the ones under test.
class TestDistribution {
 public:
  TestDistribution() : server_(authority_.issue(std::string(host()))) {}

  TestServer& server() { return server_; }
  const CertificateAuthority& authority() const { return authority_; }
  const fs::path& caFile() const { return authority_.certificateFile(); }
  // Trusts the test CA and maps HOST:443 to the server. The time-outs are the production ones.
  PelorinInstaller::TransferSettings settings() const {
    return {.caFile = caFile(), .connectTo = {connectTo(host(), 443, server_.port())}};
  }

  static std::string_view host() { return InstallerCore::Distribution::host(); }
  static std::string url(std::string_view path) {
    return "https://" + std::string(host()) + std::string(path);
  }
  // A connect-to entry that sends "name:port" to 127.0.0.1:loopbackPort.
  static std::string connectTo(std::string_view name, int port, int loopbackPort) {
    return std::string(name) + ":" + std::to_string(port) +
           ":127.0.0.1:" + std::to_string(loopbackPort);
  }

 private:
  CertificateAuthority authority_;
  TestServer server_;
};

// Starts a server on a loopback port that was free a moment ago, with `start` (false: it did
// not start). Another may take the port before the server binds it: then another port.
bool startOnAFreePort(int& port, const std::function<bool()>& start);

// Ends the process whose number `pidFile` holds, and waits until it has.
void stopByPidFile(const fs::path& pidFile, int signal);

// nginx on loopback under the distribution host's name, started by scripts/nginx.sh on a free
// port with its files in `work`, and stopped on destruction by the pid it wrote. `environment`
// is added to a bare PATH.
class LoopbackNginx {
 public:
  using Environment = std::map<std::string, std::string>;
  // Serves the files under `root`.
  static std::unique_ptr<LoopbackNginx> origin(const fs::path& work, const fs::path& root);
  // A caching edge in front of `origin`, with the origin's certificate.
  static std::unique_ptr<LoopbackNginx> edge(const fs::path& work, const LoopbackNginx& origin,
                                             const Environment& environment = {});
  ~LoopbackNginx();
  LoopbackNginx(const LoopbackNginx&) = delete;
  LoopbackNginx& operator=(const LoopbackNginx&) = delete;

  const fs::path& work() const { return work_; }
  int port() const { return port_; }
  // Trusts its certificate and reaches it under the host's name, as the installer would.
  PelorinInstaller::TransferSettings settings() const;

 private:
  LoopbackNginx(fs::path work, fs::path certificate, std::vector<std::string> arguments,
                const Environment& environment);
  fs::path work_, certificate_;
  int port_ = 0;
};

}  // namespace PelorinTesting
