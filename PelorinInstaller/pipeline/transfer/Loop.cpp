#include <fcntl.h>

#include <algorithm>
#include <climits>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <utility>

#include "pipeline/NetworkError.hpp"
#include "pipeline/transfer/Transfer.hpp"

namespace PelorinInstaller {
namespace transfer {

// What another thread may reach: the token's cancel wakes the transfer's loop at once.
class Interrupt final : public CancellableTask {
 public:
  explicit Interrupt(CURLM* multi) : multi_(multi) {}
  void cancel() override {
    std::lock_guard guard(lock_);
    cancelled_ = true;
    if (multi_) curl_multi_wakeup(multi_);
  }
  bool cancelled() const {
    std::lock_guard guard(lock_);
    return cancelled_;
  }
  // From here on cancel() leaves the multi handle alone, so it may be cleaned up.
  void detach() {
    std::lock_guard guard(lock_);
    multi_ = nullptr;
  }

 private:
  mutable std::mutex lock_;
  CURLM* multi_;
  bool cancelled_ = false;
};

namespace {

// Registers the transfer with the token for as long as it lives; on every way out the token is
// cleared and the interrupt detached, before the multi handle can go.
class Registration {
 public:
  Registration(std::shared_ptr<Cancellation> token, std::shared_ptr<Interrupt> interrupt)
      : token_(std::move(token)), interrupt_(std::move(interrupt)) {
    if (token_) token_->attach(interrupt_);
  }
  ~Registration() {
    if (token_) token_->attach(nullptr);
    interrupt_->detach();
  }
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;

 private:
  std::shared_ptr<Cancellation> token_;
  std::shared_ptr<Interrupt> interrupt_;
};

}  // namespace
}  // namespace transfer

Downloader::Result Downloader::Transfer::run() {
  multi.reset(curl_multi_init());
  if (!multi) throw std::bad_alloc();
  interrupt = std::make_shared<transfer::Interrupt>(multi.get());
  prepareRequests();
  deadline = transfer::Clock::now() + owner.settings_.transferTimeout;
  startWriter();  // a kept part is read for the digest while the connection is made

  if (owner.beforeAttach_) owner.beforeAttach_();
  CURLcode result;
  {
    transfer::Registration registration(owner.cancellation_, interrupt);
    if (owner.afterAttach_) owner.afterAttach_(interrupt);
    try {
      result = lookUpProxy();
      if (result == CURLE_OK) {
        start(owner.url_);
        result = loop();
      }
    } catch (...) {
      if (!failure) failure = std::current_exception();
      result = CURLE_ABORTED_BY_CALLBACK;
    }
    end();
    try {
      if (result == CURLE_OK && !failure) result = awaitDigest();
    } catch (...) {
      failure = std::current_exception();
    }
    if (writer) writer->abandon();  // it no longer wakes `multi`
  }
  easy.reset();
  multi.reset();
  return outcome(result);
}

// The system's proxy for the transfer's URL; redirects stay on its host and port. The lookup
// may block (a PAC file fetched and run), so it runs on a thread of its own while this one waits
// for its answer, a cancel or the lookup's own time limit, as promptly as in the loop. A lookup
// left behind finishes into the one answer it shares with this wait, and wakes no one. No
// answer in time, a failed lookup and a proxy that cannot be used all end the transfer as a
// proxy that cannot be found: never direct.
CURLcode Downloader::Transfer::lookUpProxy() {
  if (!owner.settings_.proxy) return CURLE_OK;
  struct Answer {
    std::mutex lock;
    CURLM* waiting;  // none once the wait is over
    bool given = false;
    std::optional<Proxy> proxy;  // none: the lookup failed
  };
  auto answer = std::make_shared<Answer>();
  answer->waiting = multi.get();
  std::thread([answer, lookup = owner.settings_.proxy, url = owner.url_.text()] {
    std::optional<Proxy> found;
    try {
      found = lookup(url);
    } catch (...) {
    }
    std::lock_guard guard(answer->lock);
    answer->proxy = std::move(found);
    answer->given = true;
    if (answer->waiting) curl_multi_wakeup(answer->waiting);
  }).detach();
  struct EndOfWait {
    Answer& answer;
    ~EndOfWait() {
      std::lock_guard guard(answer.lock);
      answer.waiting = nullptr;
    }
  } endOfWait{*answer};

  const auto limit = transfer::Clock::now() + owner.settings_.proxyTimeout;
  for (;;) {
    if (interrupt->cancelled()) return static_cast<CURLcode>(kTransferCancelled);
    {
      std::lock_guard guard(answer->lock);
      if (answer->given) {
        if (!answer->proxy || answer->proxy->kind == Proxy::Kind::unusable) {
          return CURLE_COULDNT_RESOLVE_PROXY;
        }
        proxy = std::move(*answer->proxy);
        return CURLE_OK;
      }
    }
    auto now = transfer::Clock::now();
    if (now >= limit) return CURLE_COULDNT_RESOLVE_PROXY;
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(limit - now).count();
    curl_multi_poll(multi.get(), nullptr, 0,
                    static_cast<int>(std::clamp<long long>(wait, 1, INT_MAX)), nullptr);
  }
}

// Runs the requests until the transfer ends; the result is the transport's outcome.
CURLcode Downloader::Transfer::loop() {
  using transfer::kHoldLimit;
  const auto idle = owner.settings_.requestTimeout;
  for (;;) {
    if (interrupt->cancelled()) return static_cast<CURLcode>(kTransferCancelled);
    int running = 0;
    if (auto code = curl_multi_perform(multi.get(), &running); code != CURLM_OK) {
      return code == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_FAILED_INIT;
    }
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      if (!next || failure) return message->data.result;
      if (redirects == transfer::kRedirectLimit) return CURLE_TOO_MANY_REDIRECTS;
      ++redirects;
      InstallerCore::Url target = *next;
      start(target);
    }
    auto now = transfer::Clock::now();
    if (now - lastActivity >= idle || now >= deadline) return CURLE_OPERATION_TIMEDOUT;
    if (!piece.empty() && now - pieceSince >= kHoldLimit && !deliver()) return CURLE_WRITE_ERROR;

    auto wake = std::min(lastActivity + idle, deadline);
    if (!piece.empty()) wake = std::min(wake, pieceSince + kHoldLimit);
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
    curl_multi_poll(multi.get(), nullptr, 0,
                    static_cast<int>(std::clamp<long long>(wait, 1, INT_MAX)), nullptr);
  }
}

void Downloader::Transfer::end() {
  // Bytes that arrived belong in the file, whatever ended the transfer.
  if (!piece.empty()) deliver();
  try {
    if (writer) writer->flush();
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  if (easy) curl_multi_remove_handle(multi.get(), easy.get());
  if (file.isOpen() && !file.close() && !failure) {
    failure = std::make_exception_ptr(transfer::fileError("cannot close", owner.file_));
  }
}

// A writer from the file's first `offset` bytes on, with a descriptor of its own; one before it
// (with nothing left to write) is left to stop on its own.
void Downloader::Transfer::startWriter() {
  PelorinBase::FileDescriptor own(::fcntl(file.get(), F_DUPFD_CLOEXEC, 0));
  if (!own.isOpen()) throw transfer::fileError("cannot write", owner.file_);
  writer.emplace(std::move(own), owner.file_, offset,
                 transfer::Writer::Options{digesting, owner.beforeKeptRead_});
}

// Once a complete body is written, until the digest has all of it (a kept part may still be
// being read): as promptly cancelled as the loop, and within the same deadline.
CURLcode Downloader::Transfer::awaitDigest() {
  const auto& expected = owner.expectedBytes_;
  if (expected && offset != *expected) return CURLE_OK;  // kept for a resume: no digest needed
  for (;;) {
    if (interrupt->cancelled()) return static_cast<CURLcode>(kTransferCancelled);
    if (writer->caughtUp(multi.get())) return CURLE_OK;
    auto now = transfer::Clock::now();
    if (now >= deadline) return CURLE_OPERATION_TIMEDOUT;
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    curl_multi_poll(multi.get(), nullptr, 0,
                    static_cast<int>(std::clamp<long long>(wait, 1, INT_MAX)), nullptr);
  }
}

Downloader::Result Downloader::Transfer::outcome(CURLcode result) {
  if (failure) {
    std::error_code ignored;
    std::filesystem::remove(owner.file_, ignored);
    std::rethrow_exception(failure);
  }
  if (result != CURLE_OK) {
    // A part is kept for the next run to resume; a file still empty holds nothing to resume.
    if (offset == 0) {
      std::error_code ignored;
      std::filesystem::remove(owner.file_, ignored);
    }
    throw networkError(result);
  }
  if (owner.expectedBytes_ && offset != *owner.expectedBytes_) {
    throw transfer::installerError(InstallerCore::InstallerError::damagedDownload);
  }
  return {owner.file_, writer->finish()};
}

}  // namespace PelorinInstaller
