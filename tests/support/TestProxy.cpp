#include "TestProxy.hpp"

#include <signal.h>

#include <sstream>
#include <stdexcept>

#include "TestDistribution.hpp"

namespace PelorinTesting {
namespace {

std::string textOf(const fs::path& file) {
  return fs::exists(file) ? readFile(file) : std::string();
}

// Whether the process has ended: gone, or a zombie that whoever adopted it has yet to reap.
bool ended(pid_t pid) {
  std::string stat = textOf("/proc/" + std::to_string(pid) + "/stat");
  auto name = stat.rfind(')');
  return name == std::string::npos || name + 2 >= stat.size() || stat[name + 2] == 'Z';
}

}  // namespace

TestProxy::TestProxy(std::optional<Credentials> required) : required_(std::move(required)) {
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
  std::vector<std::string> arguments = {PELORIN_SQUID_SCRIPT, folder_.path(), std::to_string(port_),
                                        "--resolve", std::string(TestDistribution::host())};
  if (required_)
    arguments.insert(arguments.end(), {"--user", required_->user + ":" + required_->password});
  return runChild("/bin/bash", arguments, {{"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"}}).exitStatus ==
         0;
}

void TestProxy::start() {
  if (!launch()) throw std::runtime_error("squid did not start again: " + accessLog());
}

void TestProxy::kill() {
  pid_t pid = 0;
  std::istringstream(textOf(folder_ / "squid.pid")) >> pid;
  if (pid <= 0 || ::kill(pid, SIGKILL) != 0) return;
  eventually([pid] { return ended(pid); }, std::chrono::seconds(5));
  fs::remove(folder_ / "squid.pid");
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

}  // namespace PelorinTesting
