#include "pipeline/Downloader.hpp"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <InstallerCore/Distribution.hpp>
#include <InstallerCore/InstallerError.hpp>
#include <PelorinBase/Errors.hpp>
#include <PelorinBase/Files.hpp>

#include <cerrno>
#include <new>
#include <string>
#include <utility>

#include "pipeline/CurlHandles.hpp"
#include "pipeline/NetworkError.hpp"
#include "pipeline/transfer/Transfer.hpp"

namespace PelorinInstaller {

using PelorinBase::FileDescriptor;

namespace {

using InstallerCore::InstallerError;
using InstallerCore::Url;
using PelorinBase::fileError;
using transfer::installerError;

void initialiseCurl() {
  static const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (code != CURLE_OK) throw networkError(code);
}

// Open for reading too, for the digest.
FileDescriptor createFile(const std::filesystem::path& path) {
  return PelorinBase::createFile(path, S_IRUSR | S_IWUSR, PelorinBase::Create::exclusively,
                                 PelorinBase::Access::readWrite);
}

FileDescriptor openExisting(const std::filesystem::path& path) {
  // O_NONBLOCK: something swapped in since it was examined (a FIFO) must not block the open.
  FileDescriptor file(::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
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

}  // namespace

std::optional<Url> resolveRedirect(const Url& base, const std::string& location) {
  CurlUrlHandle handle(curl_url());
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

std::filesystem::path Downloader::run() { return transfer(false).file; }

Downloader::Result Downloader::fetch() { return transfer(true); }

Downloader::Result Downloader::transfer(bool digesting) {
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
      return {file_, std::nullopt};
    } else {
      resume = true;
    }
  } else if (errno != ENOENT) {
    throw fileError("cannot examine", file_);
  }

  initialiseCurl();
  return Transfer(*this, resume ? openExisting(file_) : createFile(file_), offset, digesting).run();
}

}  // namespace PelorinInstaller
