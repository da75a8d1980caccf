#pragma once

#include <curl/curl.h>
#include <InstallerCore/InstallerError.hpp>
#include <PelorinBase/Errors.hpp>
#include <PelorinBase/FileDescriptor.hpp>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "pipeline/CurlHandles.hpp"
#include "pipeline/Downloader.hpp"
#include "pipeline/transfer/Writer.hpp"

// The parts of one transfer, each in its own file: the request (Request.cpp), the response's
// headers and the redirect policy (Response.cpp), the body sink (BodySink.cpp), the loop
// that drives them (Loop.cpp) and the writer of the file and its digest (Writer.cpp).
namespace PelorinInstaller {
namespace transfer {

using Clock = std::chrono::steady_clock;

constexpr std::int64_t kSizeCap = 1'048'576;  // when no size is expected
// libcurl hands over at most 16 KiB at a time; consecutive pieces are gathered into one data
// event of up to this size, and none waits longer than kHoldLimit for more.
constexpr std::size_t kPieceLimit = 256 * 1024;
constexpr auto kHoldLimit = std::chrono::milliseconds(200);
constexpr int kRedirectLimit = 10;
constexpr long kReceiveBuffer = 256 * 1024;

inline std::system_error installerError(InstallerCore::InstallerError error) {
  return std::system_error(error);
}

using PelorinBase::fileError;

class Interrupt;

}  // namespace transfer

class ConnectionCache {
 public:
  CurlShare share;
};

// One transfer, driven on the caller's thread: libcurl's callbacks are the redirect, response
// and data events, and the end of the loop is the completion, so they run one at a time.
struct Downloader::Transfer {
  Transfer(Downloader& owner, PelorinBase::FileDescriptor file, std::int64_t offset, bool digesting)
      : owner(owner),
        file(std::move(file)),
        offset(offset),
        digesting(digesting),
        current(owner.url_) {}

  Result run();

  // The loop
  CURLcode loop();
  void end();
  void startWriter();
  CURLcode awaitDigest();
  Result outcome(CURLcode result);

  // The request
  CURLcode lookUpProxy();
  void prepareRequests();
  void start(const InstallerCore::Url& url);

  // The response
  bool header(std::string_view line);
  std::optional<std::string> responseHeader(const char* name) const;
  bool redirect(const std::string& location);
  bool respond(long status);

  // The body
  bool gather(std::span<const char> bytes);
  bool deliver();
  bool data(std::vector<char>& piece);

  // libcurl's callbacks: no exception may cross its frames, so failures are stored and rethrown
  // once it has returned.
  static std::size_t onHeader(char* bytes, std::size_t size, std::size_t count,
                              void* user) noexcept;
  static std::size_t onData(char* bytes, std::size_t size, std::size_t count, void* user) noexcept;
  // Runs one callback's step as activity: its answer, or `refusal` with the failure stored.
  template <typename Step>
  std::size_t guarded(std::size_t refusal, Step step) noexcept {
    lastActivity = transfer::Clock::now();
    try {
      return step();
    } catch (...) {
      failure = std::current_exception();
      return refusal;
    }
  }

  Downloader& owner;
  PelorinBase::FileDescriptor file;
  std::int64_t offset;
  const bool digesting;
  std::exception_ptr failure;

  CurlMulti multi;
  std::optional<transfer::Writer> writer;  // it may wake `multi`
  CurlEasy easy;
  CurlList requestHeaders;
  CurlList connectTo;
  std::shared_ptr<transfer::Interrupt> interrupt;

  Proxy proxy;                             // the system's choice for the transfer's URL
  InstallerCore::Url current;              // the URL of the request under way
  std::optional<InstallerCore::Url> next;  // a redirect to follow once this request is abandoned
  int redirects = 0;
  bool answered = false;  // the response event has run for the current request

  std::vector<char> piece;  // received bytes not yet handed to the data event
  transfer::Clock::time_point pieceSince, lastActivity, deadline;
};

}  // namespace PelorinInstaller
