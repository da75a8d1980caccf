#include "support/TestDistribution.hpp"

#include <arpa/inet.h>
#include <httplib.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>
#include <PelorinBase/Errors.hpp>

#include <csignal>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace PelorinTesting {
namespace {

// A P-256 key and a certificate for it, valid for a day, by the openssl tool; `options` add the
// extensions and the issuer (self-signed without one).
TlsIdentity makeIdentity(const fs::path& stem, const std::string& name,
                         std::vector<std::string> options) {
  TlsIdentity made{stem.string() + ".pem", stem.string() + ".key"};
  std::vector<std::string> args{"req", "-x509", "-nodes", "-days", "1", "-newkey", "ec"};
  args.insert(args.end(), {"-pkeyopt", "ec_paramgen_curve:P-256", "-subj", "/CN=" + name});
  args.insert(args.end(), {"-keyout", made.key, "-out", made.certificate});
  args.insert(args.end(), options.begin(), options.end());
  auto run = runChild("/usr/bin/openssl", args, {});
  if (run.exitStatus != 0) throw std::runtime_error("openssl req: " + run.err);
  return made;
}

}  // namespace

CertificateAuthority::CertificateAuthority(const std::string& name)
    : self_(makeIdentity(folder_ / "ca", name,
                         {"-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                          "keyUsage=critical,keyCertSign,cRLSign"})) {}

TlsIdentity CertificateAuthority::issue(const std::string& dnsName) const {
  return makeIdentity(
      folder_ / dnsName, dnsName,
      {"-addext", "subjectAltName=DNS:" + dnsName, "-addext", "basicConstraints=critical,CA:FALSE",
       "-addext", "keyUsage=critical,digitalSignature", "-addext", "extendedKeyUsage=serverAuth",
       "-CA", self_.certificate, "-CAkey", self_.key});
}

std::optional<std::string> Request::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (::strcasecmp(key.c_str(), std::string(name).c_str()) == 0) return value;
  }
  return std::nullopt;
}

Route serveFile(std::string content) {
  auto file = std::make_shared<const std::string>(std::move(content));
  return [file](const Request& request) {
    auto range = request.header("Range").value_or("");
    if (!range.starts_with("bytes=") || !range.ends_with("-")) return Reply{.body = *file};
    std::size_t first = std::stoull(range.substr(6)), size = file->size();
    if (first >= size) {
      return Reply{.status = 416,
                   .headers = {{"Content-Range", "bytes */" + std::to_string(size)}}};
    }
    auto span = std::to_string(first) + "-" + std::to_string(size - 1) + "/" + std::to_string(size);
    return Reply{.status = 206,
                 .headers = {{"Content-Range", "bytes " + span}},
                 .body = file->substr(first)};
  };
}

TestServer::TestServer(const TlsIdentity& identity)
    : server_(std::make_unique<httplib::SSLServer>(identity.certificate.c_str(),
                                                   identity.key.c_str())) {
  std::signal(SIGPIPE, SIG_IGN);  // a client that goes away mid-body must not end the test
  if (!server_->is_valid()) throw std::runtime_error("test server: invalid TLS identity");
  server_->set_keep_alive_timeout(1);
  server_->Get(".*", [this](const auto& in, auto& out) { handle(in, out); });
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("test server: cannot bind to 127.0.0.1");
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  eventually([this] { return server_->is_running(); }, std::chrono::seconds(5));
}

TestServer::~TestServer() {
  wake(true);
  server_->stop();
  thread_.join();
}

void TestServer::route(const std::string& path, Route route) {
  std::lock_guard guard(lock_);
  routes_[path] = std::move(route);
}

std::vector<Request> TestServer::requests() const {
  std::lock_guard guard(lock_);
  return requests_;
}

bool TestServer::waitForStalls(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock guard(lock_);
  return changed_.wait_for(guard, timeout, [&] { return stalls_ >= count; });
}

void TestServer::wake(bool stop) {
  {
    std::lock_guard guard(lock_);
    stopping_ = stopping_ || stop;
    ++releases_;
  }
  changed_.notify_all();
}

// Blocks until release(); false when the server stops first.
bool TestServer::waitForRelease() {
  std::unique_lock guard(lock_);
  ++stalls_;
  changed_.notify_all();
  auto generation = releases_;
  changed_.wait(guard, [&] { return stopping_ || releases_ != generation; });
  return !stopping_;
}

// Sends what may go now of a body: up to a drop or a stall. False closes the connection. The
// library asks for each offset once, so a reply stalls once, at exactly its stall offset.
bool TestServer::send(const Reply& reply, std::size_t offset, httplib::DataSink& sink) {
  if (reply.stallAfter == offset && !waitForRelease()) return false;
  if (offset >= reply.body.size()) {
    sink.done();
    return true;
  }
  if (reply.dropAfter && offset >= *reply.dropAfter) return false;
  std::size_t end = std::min(reply.body.size(), reply.dropAfter.value_or(SIZE_MAX));
  if (reply.stallAfter > offset) end = std::min(end, *reply.stallAfter);
  return sink.write(reply.body.data() + offset, end - offset);
}

void TestServer::handle(const httplib::Request& in, httplib::Response& out) {
  // The replies carry their own ranges; the library's range logic must stay out of the way.
  const_cast<httplib::Request&>(in).ranges.clear();
  Request request{in.method, in.path, {in.headers.begin(), in.headers.end()}};
  Route route;
  {
    std::lock_guard guard(lock_);
    requests_.push_back(request);
    if (auto found = routes_.find(in.path); found != routes_.end()) route = found->second;
  }
  auto reply = std::make_shared<Reply>(Reply{.status = 404});
  try {
    if (route) *reply = route(request);
  } catch (const std::exception& error) {
    *reply = {.status = 500, .body = error.what()};
  }
  if (reply->stallHeaders && !waitForRelease()) return;
  out.status = reply->status;
  for (const auto& [key, value] : reply->headers) out.set_header(key, value);
  auto type = out.get_header_value("Content-Type");  // the library sets it once more below
  out.headers.erase("Content-Type");
  if (type.empty()) type = "application/octet-stream";
  auto provider = [this, reply](std::size_t offset, httplib::DataSink& sink) {
    return send(*reply, offset, sink);
  };
  if (reply->chunked) {
    out.set_chunked_content_provider(type, provider);
  } else if (reply->body.empty() && !reply->stallAfter) {
    out.set_content("", type);
  } else {
    out.set_content_provider(reply->body.size(), type,
                             [provider](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                               return provider(offset, sink);
                             });
  }
}

ContactProbe::ContactProbe() : socket_(::socket(AF_INET, SOCK_STREAM, 0)) {
  sockaddr_in address{
      .sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
  socklen_t size = sizeof address;
  auto* raw = reinterpret_cast<sockaddr*>(&address);
  if (!socket_.isOpen() || ::fcntl(socket_.get(), F_SETFD, FD_CLOEXEC) != 0 ||
      ::fcntl(socket_.get(), F_SETFL, O_NONBLOCK) != 0 || ::bind(socket_.get(), raw, size) != 0 ||
      ::listen(socket_.get(), 64) != 0 || ::getsockname(socket_.get(), raw, &size) != 0) {
    PelorinBase::throwSystemError("contact probe");
  }
  port_ = ntohs(address.sin_port);
}

// The kernel completes a connection into the backlog before anyone accepts it, so draining the
// backlog now counts every connection made so far.
int ContactProbe::connections() {
  for (int connection; (connection = ::accept(socket_.get(), nullptr, nullptr)) >= 0;) {
    ::close(connection);
    ++count_;
  }
  return count_;
}

bool startOnAFreePort(int& port, const std::function<bool()>& start) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    port = ContactProbe().port();
    if (start()) return true;
  }
  return false;
}

// A process that has ended may linger as a zombie until whoever adopted it reaps it.
void stopByPidFile(const fs::path& pidFile, int signal) {
  std::error_code ignored;
  pid_t pid = 0;
  if (fs::exists(pidFile, ignored)) std::istringstream(readFile(pidFile)) >> pid;
  if (pid <= 0 || ::kill(pid, signal) != 0) return;
  eventually(
      [pid] {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text(std::istreambuf_iterator<char>(stat), {});
        auto name = text.rfind(')');
        return name == std::string::npos || name + 2 >= text.size() || text[name + 2] == 'Z';
      },
      std::chrono::seconds(5));
  fs::remove(pidFile, ignored);
}

LoopbackNginx::LoopbackNginx(fs::path work, fs::path certificate,
                             std::vector<std::string> arguments, const Environment& environment)
    : work_(std::move(work)), certificate_(std::move(certificate)) {
  auto variables = environment;
  variables["PATH"] = "/usr/sbin:/usr/bin:/sbin:/bin";
  ChildResult started;
  startOnAFreePort(port_, [&] {
    auto command = arguments;
    command.insert(command.begin(), {PELORIN_NGINX_SCRIPT, work_.string(), std::to_string(port_),
                                     std::string(InstallerCore::Distribution::host())});
    started = runChild("/bin/bash", command, variables);
    return started.exitStatus == 0 ||
           started.err.find("Address already in use") == std::string::npos;
  });
  if (started.exitStatus != 0) throw std::runtime_error("nginx.sh: " + started.err);
}

std::unique_ptr<LoopbackNginx> LoopbackNginx::origin(const fs::path& work, const fs::path& root) {
  return std::unique_ptr<LoopbackNginx>(
      new LoopbackNginx(work, work / "cert.pem", {root.string()}, {}));
}

std::unique_ptr<LoopbackNginx> LoopbackNginx::edge(const fs::path& work,
                                                   const LoopbackNginx& origin,
                                                   const Environment& environment) {
  return std::unique_ptr<LoopbackNginx>(new LoopbackNginx(
      work, origin.certificate_, {"--edge", origin.work().string(), std::to_string(origin.port())},
      environment));
}

LoopbackNginx::~LoopbackNginx() { stopByPidFile(work_ / "nginx.pid", SIGTERM); }

PelorinInstaller::TransferSettings LoopbackNginx::settings() const {
  return {.caFile = certificate_,
          .connectTo = {TestDistribution::connectTo(TestDistribution::host(), 443, port_)}};
}

}  // namespace PelorinTesting
