#include "pipeline/Downloader.hpp"

#include <curl/curl.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <InstallerCore/Distribution.hpp>
#include <InstallerCore/DownloadResponse.hpp>
#include <InstallerCore/InstallerError.hpp>
#include <PelorinBase/Errors.hpp>
#include <PelorinBase/Files.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <exception>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "pipeline/CurlHandles.hpp"
#include "pipeline/NetworkError.hpp"

namespace PelorinInstaller {

using PelorinBase::FileDescriptor;

namespace {

using InstallerCore::InstallerError;
using InstallerCore::Url;
using Clock = std::chrono::steady_clock;

constexpr std::int64_t kSizeCap = 1'048'576;  // when no size is expected
// libcurl hands over at most 16 KiB at a time; consecutive pieces are gathered into one data
// event of up to this size, and none waits longer than kHoldLimit for more.
constexpr std::size_t kPieceLimit = 256 * 1024;
constexpr auto kHoldLimit = std::chrono::milliseconds(200);
constexpr int kRedirectLimit = 10;
constexpr long kReceiveBuffer = 256 * 1024;

std::system_error installerError(InstallerError error) { return std::system_error(error); }

using PelorinBase::fileError;

using Easy = CurlEasy;
using Multi = CurlMulti;
using List = CurlList;
using UrlHandle = CurlUrlHandle;

void initialiseCurl() {
  static const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (code != CURLE_OK) throw networkError(code);
}

List append(List list, const std::string& item) {
  curl_slist* grown = curl_slist_append(list.get(), item.c_str());
  if (!grown) throw std::bad_alloc();
  (void)list.release();
  return List(grown);
}

FileDescriptor createFile(const std::filesystem::path& path) {
  return PelorinBase::createFile(path, S_IRUSR | S_IWUSR, PelorinBase::Create::exclusively);
}

FileDescriptor openExisting(const std::filesystem::path& path) {
  // O_NONBLOCK: something swapped in since it was examined (a FIFO) must not block the open.
  FileDescriptor file(::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file.isOpen()) throw fileError("cannot open the download file", path);
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) throw fileError("cannot examine", path);
  if (!S_ISREG(status.st_mode)) throw installerError(InstallerError::damagedDownload);
  int flags = ::fcntl(file.get(), F_GETFL);
  if (flags < 0 || ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    throw fileError("cannot open the download file", path);
  }
  return file;
}

std::string_view trim(std::string_view text) {
  auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

bool isRedirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

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

std::optional<Url> resolveRedirect(const Url& base, const std::string& location) {
  UrlHandle handle(curl_url());
  if (!handle) throw std::bad_alloc();
  if (curl_url_set(handle.get(), CURLUPART_URL, base.text().c_str(), CURLU_NON_SUPPORT_SCHEME) !=
          CURLUE_OK ||
      curl_url_set(handle.get(), CURLUPART_URL, location.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
          CURLUE_OK) {
    return std::nullopt;
  }
  char* text = nullptr;
  if (curl_url_get(handle.get(), CURLUPART_URL, &text, 0) != CURLUE_OK) return std::nullopt;
  CurlText owned(text);
  return Url::parse(text);
}

// One transfer, driven on the caller's thread: libcurl's callbacks are the redirect, response
// and data events, and the end of the loop is the completion, so they run one at a time.
struct Downloader::Transfer {
  Transfer(Downloader& owner, FileDescriptor file, std::int64_t offset)
      : owner(owner), file(std::move(file)), offset(offset), current(owner.url_) {}

  std::filesystem::path run();

  void start(const Url& url);
  CURLcode loop();
  void end();
  std::filesystem::path outcome(CURLcode result);

  bool header(std::string_view line);
  std::optional<std::string> responseHeader(std::string_view name) const;
  bool redirect(const std::string& location);
  bool respond(long status);
  bool gather(std::span<const char> bytes);
  bool deliver();
  bool data(std::span<const char> piece);
  void writeAll(std::span<const char> piece);

  // libcurl's callbacks: no exception may cross its frames, so failures are stored and rethrown
  // once it has returned.
  static std::size_t onHeader(char* bytes, std::size_t size, std::size_t count,
                              void* user) noexcept;
  static std::size_t onData(char* bytes, std::size_t size, std::size_t count, void* user) noexcept;

  Downloader& owner;
  FileDescriptor file;
  std::int64_t offset;
  std::exception_ptr failure;

  Multi multi;
  Easy easy;
  List requestHeaders;
  List connectTo;
  std::shared_ptr<Interrupt> interrupt;

  Url current;              // the URL of the request under way
  std::optional<Url> next;  // a redirect to follow once this request is abandoned
  int redirects = 0;
  bool answered = false;  // the response event has run for the current request
  std::vector<std::pair<std::string, std::string>> responseHeaders;

  std::vector<char> piece;  // received bytes not yet handed to the data event
  Clock::time_point pieceSince, lastActivity, deadline;
};

std::filesystem::path Downloader::Transfer::run() {
  multi.reset(curl_multi_init());
  if (!multi) throw std::bad_alloc();
  interrupt = std::make_shared<Interrupt>(multi.get());
  requestHeaders = append(nullptr, "Accept-Encoding: identity");
  if (offset >= 1) {
    auto range = "Range: bytes=" + std::to_string(offset) + "-";
    requestHeaders = append(std::move(requestHeaders), range);
  }
  for (const auto& entry : owner.settings_.connectTo) {
    connectTo = append(std::move(connectTo), entry);
  }
  start(owner.url_);
  deadline = Clock::now() + owner.settings_.transferTimeout;

  if (owner.beforeAttach_) owner.beforeAttach_();
  CURLcode result;
  {
    Registration registration(owner.cancellation_, interrupt);
    if (owner.afterAttach_) owner.afterAttach_(interrupt);
    try {
      result = loop();
    } catch (...) {
      if (!failure) failure = std::current_exception();
      result = CURLE_ABORTED_BY_CALLBACK;
    }
    end();
  }
  easy.reset();
  multi.reset();
  return outcome(result);
}

// Prepares the request for `url` with the transfer's one set of headers.
void Downloader::Transfer::start(const Url& url) {
  if (easy) curl_multi_remove_handle(multi.get(), easy.get());
  current = url;
  next.reset();
  answered = false;
  responseHeaders.clear();
  easy.reset(curl_easy_init());
  if (!easy) throw std::bad_alloc();
  auto set = [this](CURLoption option, auto value) {
    if (auto code = curl_easy_setopt(easy.get(), option, value); code != CURLE_OK) {
      throw networkError(code);
    }
  };
  set(CURLOPT_URL, current.text().c_str());
  set(CURLOPT_PROTOCOLS_STR, "https");
  set(CURLOPT_HTTPGET, 1L);
  set(CURLOPT_FOLLOWLOCATION, 0L);  // redirects go through the URL policy first
  set(CURLOPT_HTTPHEADER, requestHeaders.get());
  set(CURLOPT_NETRC, static_cast<long>(CURL_NETRC_IGNORED));
  set(CURLOPT_PROXY, "");  // no configuration from the environment
  set(CURLOPT_NOSIGNAL, 1L);
  // A cancel or time-out during a slow name lookup must not wait for it: the resolver thread is
  // left to finish on its own.
  set(CURLOPT_QUICK_EXIT, 1L);
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  set(CURLOPT_BUFFERSIZE, kReceiveBuffer);
  if (!owner.settings_.caFile.empty()) set(CURLOPT_CAINFO, owner.settings_.caFile.c_str());
  if (connectTo) set(CURLOPT_CONNECT_TO, connectTo.get());
  set(CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
  set(CURLOPT_HEADERDATA, static_cast<void*>(this));
  set(CURLOPT_WRITEFUNCTION, &Transfer::onData);
  set(CURLOPT_WRITEDATA, static_cast<void*>(this));
  if (curl_multi_add_handle(multi.get(), easy.get()) != CURLM_OK) throw std::bad_alloc();
  lastActivity = Clock::now();
}

// Runs the requests until the transfer ends; the result is the transport's outcome.
CURLcode Downloader::Transfer::loop() {
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
      if (redirects == kRedirectLimit) return CURLE_TOO_MANY_REDIRECTS;
      ++redirects;
      Url target = *next;
      start(target);
    }
    auto now = Clock::now();
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
  if (easy) curl_multi_remove_handle(multi.get(), easy.get());
  if (file.isOpen() && !file.close() && !failure) {
    failure = std::make_exception_ptr(fileError("cannot close", owner.file_));
  }
}

std::filesystem::path Downloader::Transfer::outcome(CURLcode result) {
  if (failure) {
    std::error_code ignored;
    std::filesystem::remove(owner.file_, ignored);
    std::rethrow_exception(failure);
  }
  if (result != CURLE_OK) throw networkError(result);
  if (owner.expectedBytes_ && offset != *owner.expectedBytes_) {
    throw installerError(InstallerError::damagedDownload);
  }
  return owner.file_;
}

std::size_t Downloader::Transfer::onHeader(char* bytes, std::size_t size, std::size_t count,
                                           void* user) noexcept {
  auto& transfer = *static_cast<Transfer*>(user);
  std::size_t length = size * count;
  transfer.lastActivity = Clock::now();
  try {
    return transfer.header(std::string_view(bytes, length)) ? length : 0;
  } catch (...) {
    transfer.failure = std::current_exception();
    return 0;
  }
}

std::size_t Downloader::Transfer::onData(char* bytes, std::size_t size, std::size_t count,
                                         void* user) noexcept {
  auto& transfer = *static_cast<Transfer*>(user);
  std::size_t length = size * count;
  transfer.lastActivity = Clock::now();
  try {
    if (!transfer.gather({bytes, length})) return CURL_WRITEFUNC_ERROR;
  } catch (...) {  // the piece buffer's allocation
    transfer.failure = std::current_exception();
    return CURL_WRITEFUNC_ERROR;
  }
  transfer.lastActivity = Clock::now();
  return length;
}

// One header line; at the end of a final response's headers, the redirect or response event.
// False abandons the request.
bool Downloader::Transfer::header(std::string_view line) {
  if (answered) return true;  // trailers
  line = trim(line);
  if (line.starts_with("HTTP/")) {
    responseHeaders.clear();
    return true;
  }
  if (!line.empty()) {
    auto colon = line.find(':');
    if (colon != std::string_view::npos) {
      responseHeaders.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
    }
    return true;
  }
  long status = 0;
  curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
  if (status >= 100 && status < 200) {  // an interim answer; the real one follows
    responseHeaders.clear();
    return true;
  }
  if (isRedirect(status)) {
    if (auto location = responseHeader("Location"); location && redirect(*location)) return false;
  }
  // A redirect that is not followed is itself the response.
  answered = true;
  return respond(status);
}

// The header's value; several headers of one name are joined with ", ".
std::optional<std::string> Downloader::Transfer::responseHeader(std::string_view name) const {
  std::optional<std::string> value;
  for (const auto& [key, text] : responseHeaders) {
    if (key.size() != name.size() || ::strncasecmp(key.data(), name.data(), name.size()) != 0) {
      continue;
    }
    value = value ? *value + ", " + text : text;
  }
  return value;
}

// The redirect event: true to follow.
bool Downloader::Transfer::redirect(const std::string& location) {
  auto target = resolveRedirect(current, location);
  if (!target || !InstallerCore::Distribution::accepts(*target)) {
    failure = std::make_exception_ptr(installerError(InstallerError::invalidURL));
    return false;
  }
  next = std::move(*target);
  return true;
}

// The response event: true lets the body follow.
bool Downloader::Transfer::respond(long status) {
  try {
    if (!InstallerCore::Distribution::accepts(current)) {
      throw installerError(InstallerError::invalidResponse);
    }
    curl_off_t announced = -1;
    curl_easy_getinfo(easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
    bool restart = true;
    if (const auto& expected = owner.expectedBytes_) {
      auto range = responseHeader("Content-Range");
      restart = !InstallerCore::DownloadResponse::append(
          status, range ? std::optional<std::string_view>(*range) : std::nullopt, offset,
          *expected);
    } else if (status != 200 || announced > kSizeCap) {
      throw installerError(InstallerError::invalidResponse);
    }
    if (restart) {
      offset = 0;
      if (::ftruncate(file.get(), 0) != 0) throw fileError("cannot truncate", owner.file_);
    }
    if (owner.expectedBytes_ && announced >= 0 && announced != *owner.expectedBytes_ - offset) {
      throw installerError(InstallerError::invalidResponse);
    }
    if (::lseek(file.get(), offset, SEEK_SET) < 0) throw fileError("cannot seek", owner.file_);
    return true;
  } catch (...) {
    failure = std::current_exception();
    return false;
  }
}

// Collects received bytes into pieces of exactly kPieceLimit (the last one may be shorter);
// false abandons the transfer.
bool Downloader::Transfer::gather(std::span<const char> bytes) {
  while (!bytes.empty()) {
    if (piece.empty() && bytes.size() >= kPieceLimit) {
      if (!data(bytes.first(kPieceLimit))) return false;
      bytes = bytes.subspan(kPieceLimit);
      continue;
    }
    if (piece.empty()) {
      pieceSince = Clock::now();
      piece.reserve(kPieceLimit);
    }
    auto taken = std::min(bytes.size(), kPieceLimit - piece.size());
    piece.insert(piece.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(taken));
    bytes = bytes.subspan(taken);
    if (piece.size() == kPieceLimit && !deliver()) return false;
  }
  return true;
}

bool Downloader::Transfer::deliver() {
  bool accepted = data(piece);
  piece.clear();
  return accepted;
}

// The data event: false when the transfer must stop.
bool Downloader::Transfer::data(std::span<const char> bytes) {
  if (failure) return false;
  try {
    auto total = offset + static_cast<std::int64_t>(bytes.size());
    const auto& expected = owner.expectedBytes_;
    if (expected ? total > *expected : total > kSizeCap) {
      throw installerError(InstallerError::damagedDownload);
    }
    writeAll(bytes);
    offset = total;
    if (expected && owner.progress_) {
      owner.progress_(static_cast<double>(offset) / static_cast<double>(*expected));
    }
    return true;
  } catch (...) {
    failure = std::current_exception();
    return false;
  }
}

void Downloader::Transfer::writeAll(std::span<const char> bytes) {
  while (!bytes.empty()) {
    auto written = ::write(file.get(), bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      throw fileError("cannot write", owner.file_);
    }
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
}

Downloader::Downloader(InstallerCore::Url url, std::filesystem::path file,
                       std::optional<std::int64_t> bytes,
                       std::shared_ptr<Cancellation> cancellation, TransferSettings settings,
                       std::function<void(double)> progress)
    : url_(std::move(url)),
      file_(std::move(file)),
      expectedBytes_(bytes),
      cancellation_(std::move(cancellation)),
      settings_(std::move(settings)),
      progress_(std::move(progress)) {}

Downloader::~Downloader() = default;

std::filesystem::path Downloader::run() {
  if (cancellation_ && cancellation_->isCancelled()) {
    throw installerError(InstallerError::cancelled);
  }
  if (!InstallerCore::Distribution::accepts(url_)) throw installerError(InstallerError::invalidURL);

  std::int64_t offset = 0;
  bool resume = false;
  struct stat status {};
  if (::lstat(file_.c_str(), &status) == 0) {
    if (!S_ISREG(status.st_mode)) throw installerError(InstallerError::damagedDownload);
    offset = status.st_size;
    if (!expectedBytes_ || *expectedBytes_ < offset) {
      if (::unlink(file_.c_str()) != 0) throw fileError("cannot remove", file_);
      offset = 0;
    } else if (*expectedBytes_ == offset) {
      return file_;
    } else {
      resume = true;
    }
  } else if (errno != ENOENT) {
    throw fileError("cannot examine", file_);
  }

  initialiseCurl();
  Transfer transfer(*this, resume ? openExisting(file_) : createFile(file_), offset);
  return transfer.run();
}

}  // namespace PelorinInstaller
