#include "support/TestServer.hpp"

#include <httplib.h>  // after OpenSSL: the library reads CPPHTTPLIB_OPENSSL_SUPPORT

#include <strings.h>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace PelorinTesting {
namespace {

bool sameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// One reply's body on its way out.
struct Sending {
  Reply reply;
  bool stalled = false;
};

}  // namespace

std::optional<std::string> Request::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (sameName(key, name)) return value;
  }
  return std::nullopt;
}

Reply Reply::redirect(int status, std::string location) {
  Reply reply;
  reply.status = status;
  reply.headers.emplace_back("Location", std::move(location));
  return reply;
}

Route serveFile(std::string content) {
  auto file = std::make_shared<const std::string>(std::move(content));
  return [file](const Request& request) {
    Reply reply;
    auto range = request.header("Range");
    std::size_t first = 0;
    if (range && range->starts_with("bytes=") && range->ends_with("-")) {
      first = std::stoull(range->substr(6, range->size() - 7));
      if (first >= file->size()) {
        reply.status = 416;
        reply.headers.emplace_back("Content-Range", "bytes */" + std::to_string(file->size()));
        return reply;
      }
      reply.status = 206;
      reply.headers.emplace_back("Content-Range", "bytes " + std::to_string(first) + "-" +
                                                      std::to_string(file->size() - 1) + "/" +
                                                      std::to_string(file->size()));
    }
    reply.body = file->substr(first);
    return reply;
  };
}

struct TestServer::Impl {
  TlsIdentity identity;
  httplib::SSLServer server;
  std::thread thread;
  int port = 0;

  mutable std::mutex lock;
  mutable std::condition_variable changed;
  std::map<std::string, Route> routes;
  std::vector<Request> requests;
  std::size_t stalls = 0;
  std::uint64_t releases = 0;
  bool stopping = false;
  std::atomic<std::int64_t> bytesSent{0};

  explicit Impl(const TlsIdentity& id) : identity(id), server(id.certificate.get(), id.key.get()) {}

  void handle(const httplib::Request& in, httplib::Response& out);
  bool sendPiece(Sending& sending, std::size_t offset, httplib::DataSink& sink);
  bool waitForRelease();
  bool pause(std::chrono::milliseconds duration);
};

void TestServer::Impl::handle(const httplib::Request& in, httplib::Response& out) {
  // The replies carry their own ranges; the library's range logic must stay out of the way.
  const_cast<httplib::Request&>(in).ranges.clear();

  Request request{in.method, in.path, {}};
  for (const auto& [key, value] : in.headers) request.headers.emplace_back(key, value);
  Route route;
  {
    std::lock_guard guard(lock);
    requests.push_back(request);
    if (auto found = routes.find(in.path); found != routes.end()) route = found->second;
  }
  auto sending = std::make_shared<Sending>();
  try {
    if (route) {
      sending->reply = route(request);
    } else {
      sending->reply.status = 404;
    }
  } catch (const std::exception& error) {
    sending->reply = Reply();
    sending->reply.status = 500;
    sending->reply.body = error.what();
  }
  const Reply& reply = sending->reply;
  if (reply.stallHeaders && !waitForRelease()) return;

  out.status = reply.status;
  std::string type = "application/octet-stream";
  for (const auto& [key, value] : reply.headers) {
    if (sameName(key, "Content-Type")) {
      type = value;
    } else {
      out.set_header(key, value);
    }
  }
  if (reply.chunked) {
    out.set_chunked_content_provider(type.c_str(),
                                     [this, sending](std::size_t offset, httplib::DataSink& sink) {
                                       return sendPiece(*sending, offset, sink);
                                     });
  } else if (reply.body.empty() && !reply.stallAfter) {
    out.set_content("", type.c_str());
  } else {
    out.set_content_provider(
        reply.body.size(), type.c_str(),
        [this, sending](std::size_t offset, std::size_t, httplib::DataSink& sink) {
          return sendPiece(*sending, offset, sink);
        });
  }
}

// Sends the next piece of a body; false closes the connection.
bool TestServer::Impl::sendPiece(Sending& sending, std::size_t offset, httplib::DataSink& sink) {
  const Reply& reply = sending.reply;
  if (reply.stallAfter && !sending.stalled && offset >= *reply.stallAfter) {
    sending.stalled = true;
    if (!waitForRelease()) return false;
  }
  if (offset >= reply.body.size()) {
    sink.done();
    return true;
  }
  std::size_t end = std::min(reply.body.size(), offset + std::max<std::size_t>(reply.pieceSize, 1));
  if (reply.dropAfter) {
    if (offset >= *reply.dropAfter) return false;
    end = std::min(end, *reply.dropAfter);
  }
  if (reply.stallAfter && !sending.stalled) end = std::min(end, *reply.stallAfter);
  if (offset > 0 && reply.pause.count() > 0 && !pause(reply.pause)) return false;
  if (!sink.write(reply.body.data() + offset, end - offset)) return false;
  bytesSent += static_cast<std::int64_t>(end - offset);
  return true;
}

// Blocks until release(); false when the server stops first.
bool TestServer::Impl::waitForRelease() {
  std::unique_lock guard(lock);
  ++stalls;
  changed.notify_all();
  auto generation = releases;
  changed.wait(guard, [&] { return stopping || releases != generation; });
  return !stopping;
}

bool TestServer::Impl::pause(std::chrono::milliseconds duration) {
  std::unique_lock guard(lock);
  return !changed.wait_for(guard, duration, [&] { return stopping; });
}

TestServer::TestServer(const TlsIdentity& identity) : impl_(std::make_unique<Impl>(identity)) {
  // A client that goes away mid-body must not kill the test process.
  std::signal(SIGPIPE, SIG_IGN);
  auto& server = impl_->server;
  if (!server.is_valid()) throw std::runtime_error("test server: invalid TLS identity");
  server.set_keep_alive_timeout(1);
  server.Get(
      ".*", [this](const httplib::Request& in, httplib::Response& out) { impl_->handle(in, out); });
  impl_->port = server.bind_to_any_port("127.0.0.1");
  if (impl_->port <= 0) throw std::runtime_error("test server: cannot bind to 127.0.0.1");
  impl_->thread = std::thread([&server] { server.listen_after_bind(); });
  for (int i = 0; i < 5000 && !server.is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

TestServer::~TestServer() {
  {
    std::lock_guard guard(impl_->lock);
    impl_->stopping = true;
  }
  impl_->changed.notify_all();
  impl_->server.stop();
  impl_->thread.join();
}

int TestServer::port() const { return impl_->port; }

void TestServer::route(const std::string& path, Route route) {
  std::lock_guard guard(impl_->lock);
  impl_->routes[path] = std::move(route);
}

std::vector<Request> TestServer::requests() const {
  std::lock_guard guard(impl_->lock);
  return impl_->requests;
}

std::size_t TestServer::requestCount() const {
  std::lock_guard guard(impl_->lock);
  return impl_->requests.size();
}

std::int64_t TestServer::bodyBytesSent() const { return impl_->bytesSent; }

bool TestServer::waitForStalls(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock guard(impl_->lock);
  return impl_->changed.wait_for(guard, timeout, [&] { return impl_->stalls >= count; });
}

void TestServer::release() {
  {
    std::lock_guard guard(impl_->lock);
    ++impl_->releases;
  }
  impl_->changed.notify_all();
}

}  // namespace PelorinTesting
