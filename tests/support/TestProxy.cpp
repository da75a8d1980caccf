#include "TestProxy.hpp"

#include <httplib.h>
#include <signal.h>

#include <condition_variable>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace PelorinTesting {
namespace {

std::string textOf(const fs::path& file) {
  return fs::exists(file) ? readFile(file) : std::string();
}

const std::map<std::string, std::string> kPath = {{"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"}};

}  // namespace

TestProxy::TestProxy(std::optional<Credentials> required) : required_(std::move(required)) {
  if (!startOnAFreePort(port_, [this] { return launch(); }))
    throw std::runtime_error("squid did not start: " + textOf(folder_ / "cache.log"));
}

TestProxy::~TestProxy() { kill(); }

PelorinInstaller::Proxy TestProxy::proxy(const Credentials& given) const {
  return {.kind = PelorinInstaller::Proxy::Kind::http,
          .host = "127.0.0.1",
          .port = port_,
          .user = given.user,
          .password = given.password};
}

bool TestProxy::launch() {
  std::vector<std::string> arguments = {PELORIN_SQUID_SCRIPT, folder_.path(), std::to_string(port_),
                                        "--resolve", std::string(TestDistribution::host())};
  if (required_)
    arguments.insert(arguments.end(), {"--user", required_->user + ":" + required_->password});
  return runChild("/bin/bash", arguments, kPath).exitStatus == 0;
}

void TestProxy::kill() {
  if (!fs::exists(folder_ / "squid.pid")) return;
  stopByPidFile(folder_ / "squid.pid", SIGKILL);
  // What it leaves of its shared memory, named by its service.
  for (const char* segment : {"metadata", "queues", "readers"}) {
    std::error_code ignored;
    fs::remove(
        fs::path("/dev/shm") / ("pelorin" + std::to_string(port_) + "-cf__" + segment + ".shm"),
        ignored);
  }
}

bool TestProxy::logged(const std::string& target, const std::string& result) const {
  return eventually([&] {
    std::istringstream lines(accessLog());
    for (std::string line; std::getline(lines, line);) {
      if (line.find(" " + result + " ") != std::string::npos &&
          line.find(" CONNECT " + target + " ") != std::string::npos) {
        return true;
      }
    }
    return false;
  });
}

std::string TestProxy::accessLog() const { return textOf(folder_ / "access.log"); }

std::vector<std::string> TestProxy::tunnels() const {
  std::vector<std::string> results;
  std::istringstream lines(accessLog());
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);  // time, duration, client, result, bytes, method, ...
    std::string time, duration, client, result, bytes, method;
    if (words >> time >> duration >> client >> result >> bytes >> method && method == "CONNECT")
      results.push_back(result);
  }
  return results;
}

TlsFront::TlsFront(const TestProxy& behind, const TlsIdentity& identity) {
  port_ = ContactProbe().port();
  writeFile(folder_ / "stunnel.conf",
            "foreground = no\npid = " + (folder_ / "stunnel.pid").string() +
                "\noutput = " + (folder_ / "stunnel.log").string() +
                "\n[proxy]\naccept = 127.0.0.1:" + std::to_string(port_) +
                "\nconnect = 127.0.0.1:" + std::to_string(behind.port()) + "\ncert = " +
                identity.certificate.string() + "\nkey = " + identity.key.string() + "\n");
  auto run = runChild("/usr/bin/stunnel4", {folder_ / "stunnel.conf"}, kPath);
  if (run.exitStatus != 0 || !eventually([&] { return fs::exists(folder_ / "stunnel.pid"); }))
    throw std::runtime_error("stunnel did not start: " + run.err + textOf(folder_ / "stunnel.log"));
}

TlsFront::~TlsFront() { stopByPidFile(folder_ / "stunnel.pid", SIGKILL); }

PelorinInstaller::Proxy TlsFront::proxy() const {
  return {.kind = PelorinInstaller::Proxy::Kind::https, .host = "localhost", .port = port_};
}

SocksProxy::SocksProxy() {
  if (!startOnAFreePort(port_, [this] {
        return runChild("/bin/bash",
                        {PELORIN_DANTE_SCRIPT, folder_.path(), std::to_string(port_), "--resolve",
                         std::string(TestDistribution::host())},
                        kPath)
                   .exitStatus == 0;
      })) {
    throw std::runtime_error("danted did not start: " + textOf(folder_ / "danted.log"));
  }
}

SocksProxy::~SocksProxy() { stopByPidFile(folder_ / "danted.pid", SIGKILL); }

PelorinInstaller::Proxy SocksProxy::proxy(bool resolving) const {
  using Kind = PelorinInstaller::Proxy::Kind;
  return {.kind = resolving ? Kind::socks5 : Kind::socks5Local, .host = "127.0.0.1", .port = port_};
}

// The log's "ATYP: 3" is an address given as a name, written "host.port".
bool SocksProxy::askedByName(const std::string& target) const {
  auto colon = target.rfind(':');
  auto address = "ATYP: 3 address: " + target.substr(0, colon) + "." + target.substr(colon + 1);
  return textOf(folder_ / "danted.log").find(address) != std::string::npos;
}

struct PacHost::Server {
  httplib::Server http;
  std::thread thread;
  int port = 0;
  std::mutex lock;
  std::condition_variable changed;
  std::chrono::milliseconds delay{0};
  std::size_t requests = 0;
  bool stopping = false;
};

PacHost::PacHost(const std::string& script) : server_(std::make_unique<Server>()) {
  Server& server = *server_;
  server.http.Get("/proxy.pac", [&server, script](const httplib::Request&, httplib::Response& out) {
    std::unique_lock guard(server.lock);
    ++server.requests;
    server.changed.wait_for(guard, server.delay, [&] { return server.stopping; });
    out.set_content(script, "application/x-ns-proxy-autoconfig");
  });
  server.port = server.http.bind_to_any_port("127.0.0.1");
  if (server.port <= 0) throw std::runtime_error("the PAC host cannot listen");
  server.thread = std::thread([&server] { server.http.listen_after_bind(); });
}

PacHost::~PacHost() {
  {
    std::lock_guard guard(server_->lock);
    server_->stopping = true;
  }
  server_->changed.notify_all();
  server_->http.stop();
  server_->thread.join();
}

std::string PacHost::setting() const {
  return "pac+http://127.0.0.1:" + std::to_string(server_->port) + "/proxy.pac";
}

void PacHost::delay(std::chrono::milliseconds by) {
  std::lock_guard guard(server_->lock);
  server_->delay = by;
}

std::size_t PacHost::requests() const {
  std::lock_guard guard(server_->lock);
  return server_->requests;
}

}  // namespace PelorinTesting
