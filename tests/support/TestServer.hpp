#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/TestCertificates.hpp"

namespace PelorinTesting {

// A request as the server received it.
struct Request {
  std::string method;
  std::string path;  // decoded, without the query
  std::vector<std::pair<std::string, std::string>> headers;

  // The first header of that name (letter case ignored), or none.
  std::optional<std::string> header(std::string_view name) const;
};

// What the server answers, and how it misbehaves while sending the body.
struct Reply {
  int status = 200;
  // Sent as given. "Content-Length" and "Transfer-Encoding" are the server's own: it announces
  // the body's length unless `chunked`.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  bool chunked = false;                   // chunked coding: no announced length
  std::size_t pieceSize = 16 * 1024;      // the body goes out in pieces of at most this
  std::chrono::milliseconds pause{0};     // between two pieces
  std::optional<std::size_t> dropAfter;   // close the connection once this many bytes are out
  std::optional<std::size_t> stallAfter;  // then hold the rest until release() or shutdown
  bool stallHeaders = false;              // hold the whole answer back the same way

  static Reply redirect(int status, std::string location);
};

using Route = std::function<Reply(const Request&)>;

// Serves `content` as a file: 200 with all of it; for "Range: bytes=N-" with N inside it, 206
// with the rest and the exact "Content-Range"; for N at or past its end, 416.
Route serveFile(std::string content);

// An HTTPS server inside the test process on 127.0.0.1 and an ephemeral port. Routes are
// scriptable per path; every request is recorded.
class TestServer {
 public:
  explicit TestServer(const TlsIdentity& identity);
  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  int port() const;
  // Replaces the route of `path`; a path without a route gets 404.
  void route(const std::string& path, Route route);

  std::vector<Request> requests() const;
  std::size_t requestCount() const;
  // Body bytes handed to the connections so far, over all replies.
  std::int64_t bodyBytesSent() const;

  // Waits until `count` replies in all have stalled (false when `timeout` passes first).
  bool waitForStalls(std::size_t count, std::chrono::milliseconds timeout) const;
  // Lets every reply stalled now go on.
  void release();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace PelorinTesting
