#include "TestProxy.hpp"

#include <pwd.h>
#include <signal.h>

#include <PelorinBase/Process.hpp>
#include <chrono>
#include <sstream>
#include <stdexcept>

#include "TestDistribution.hpp"

namespace PelorinTesting {
namespace {

using Clock = std::chrono::steady_clock;

// Polls `done` until it holds or `limit` has passed.
bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  for (auto end = Clock::now() + limit; !done();) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::string textOf(const fs::path& file) {
  return fs::exists(file) ? readFile(file) : std::string();
}

}  // namespace

TestProxy::TestProxy(std::optional<Credentials> required) {
  writeFile(folder_ / "hosts", "127.0.0.1 " + std::string(TestDistribution::host()) + "\n");
  std::string authentication;
  if (required) {
    PelorinBase::LaunchOptions capture;
    capture.output = {PelorinBase::Stream::Kind::capture, {}};
    auto hash = PelorinBase::runProcess("/usr/bin/openssl", {"passwd", "-apr1", required->password},
                                        capture);
    writeFile(folder_ / "passwords", required->user + ":" + hash.output);
    authentication = "auth_param basic program /usr/lib/squid/basic_ncsa_auth " +
                     (folder_ / "passwords").string() +
                     "\nacl known proxy_auth REQUIRED\nhttp_access deny !known\n";
  }
  // No cache, no pinger, no state files; a name missing from the hosts file goes to a loopback
  // name server that is not there, so nothing leaves the machine.
  std::ostringstream configuration;
  configuration << "http_port 127.0.0.1:PORT\n"
                << "pid_filename " << (folder_ / "squid.pid").string() << "\n"
                << "access_log stdio:" << (folder_ / "access.log").string() << "\n"
                << "cache_log " << (folder_ / "cache.log").string() << "\n"
                << "coredump_dir " << folder_.path().string() << "\n"
                << "hosts_file " << (folder_ / "hosts").string() << "\n"
                << "cache deny all\ncache_store_log none\nnetdb_filename none\n"
                << "pinger_enable off\nshutdown_lifetime 0 seconds\n"
                << "visible_hostname pelorin-test-proxy\ndns_nameservers 127.0.0.1\n"
                << "acl SSL_ports port 443 1024-65535\nacl CONNECT method CONNECT\n"
                << "http_access deny CONNECT !SSL_ports\n"
                << authentication << "http_access allow localhost\nhttp_access deny all\n";
  writeFile(folder_ / "squid.conf.in", configuration.str());
  // Started by root, squid runs as Debian's "proxy" user, which must own its folder.
  if (::geteuid() == 0) {
    const passwd* user = ::getpwnam("proxy");
    if (!user) throw std::runtime_error("no user proxy for squid");
    for (const auto& entry : fs::recursive_directory_iterator(folder_.path())) {
      if (::chown(entry.path().c_str(), user->pw_uid, user->pw_gid) != 0) {
        throw std::runtime_error("cannot hand " + entry.path().string() + " to squid");
      }
    }
    if (::chown(folder_.path().c_str(), user->pw_uid, user->pw_gid) != 0) {
      throw std::runtime_error("cannot hand the proxy's folder to squid");
    }
  }
  // A port free a moment ago may be taken by the time squid binds it: then another.
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = ContactProbe().port();
    if (launch()) return;
  }
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
  auto configuration = readFile(folder_ / "squid.conf.in");
  configuration.replace(configuration.find("PORT"), 4, std::to_string(port_));
  writeFile(folder_ / "squid.conf", configuration);
  fs::remove(folder_ / "cache.log");
  fs::remove(folder_ / "squid.pid");
  ended_ = false;
  runner_ = std::thread([this] {
    PelorinBase::LaunchOptions options;
    options.output = {PelorinBase::Stream::Kind::file, folder_ / "squid.out"};
    options.error = {PelorinBase::Stream::Kind::file, folder_ / "squid.err"};
    options.timeLimit = std::chrono::hours(1);
    try {
      PelorinBase::runProcess("/usr/sbin/squid",
                              {"-N", "-n", service(), "-f", (folder_ / "squid.conf").string()},
                              options);
    } catch (...) {
    }
    ended_ = true;
  });
  bool ready = waitFor(
      [&] {
        return ended_ || (textOf(folder_ / "cache.log").find("Accepting HTTP Socket connections") !=
                              std::string::npos &&
                          !textOf(folder_ / "squid.pid").empty());
      },
      std::chrono::seconds(30));
  if (ready && !ended_) return true;
  kill();
  return false;
}

void TestProxy::start() {
  if (!launch()) throw std::runtime_error("squid did not start again: " + accessLog());
}

void TestProxy::kill() {
  if (!runner_.joinable()) return;
  if (!ended_) {
    pid_t pid = 0;
    std::istringstream(textOf(folder_ / "squid.pid")) >> pid;
    if (pid > 0) ::kill(pid, SIGKILL);
  }
  runner_.join();
  // What a killed squid leaves of its shared memory.
  for (const char* segment : {"metadata", "queues", "readers"}) {
    std::error_code ignored;
    fs::remove(fs::path("/dev/shm") / (service() + "-cf__" + segment + ".shm"), ignored);
  }
}

// Squid names its shared memory by the service: one of its own for each instance.
std::string TestProxy::service() const { return "pelorin" + std::to_string(port_); }

bool TestProxy::logged(const std::string& target, const std::string& result) const {
  return waitFor(
      [&] {
        std::istringstream lines(accessLog());
        for (std::string line; std::getline(lines, line);) {
          if (line.find(" " + result + " ") != std::string::npos &&
              line.find(" CONNECT " + target + " ") != std::string::npos) {
            return true;
          }
        }
        return false;
      },
      std::chrono::seconds(10));
}

std::string TestProxy::accessLog() const { return textOf(folder_ / "access.log"); }

}  // namespace PelorinTesting
