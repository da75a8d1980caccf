#include "pipeline/transfer/Digest.hpp"

#include <unistd.h>
#include <InstallerCore/InstallerError.hpp>
#include <PelorinBase/Errors.hpp>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace PelorinInstaller::transfer {
namespace {

constexpr std::int64_t kReadChunk = 256 * 1024;

}  // namespace

// What the reading thread shares with the transfer. Until `done`, `sha` is the reading's.
struct Digest::Reading {
  Reading(PelorinBase::FileDescriptor file, std::filesystem::path name)
      : file(std::move(file)), name(std::move(name)) {}
  std::mutex lock;
  PelorinBase::FileDescriptor file;
  std::filesystem::path name;
  PelorinBase::Sha256 sha;
  std::int64_t read = 0, end = 0;  // bytes read, and bytes written so far
  bool done = false, stopped = false;
  std::exception_ptr error;
  CURLM* multi = nullptr;
  std::function<void(std::int64_t)> beforeChunk;
};

// Reads up to `end` until it is reached, the transfer stops it or a read fails. A read past the
// end of the file means that someone cut it short: the download is damaged.
void Digest::read(const std::shared_ptr<Reading>& reading) {
  std::vector<char> buffer(kReadChunk);
  std::unique_lock lock(reading->lock);
  while (!reading->stopped && reading->read < reading->end) {
    auto at = reading->read;
    auto length = std::min(kReadChunk, reading->end - at);
    lock.unlock();
    try {
      if (reading->beforeChunk) reading->beforeChunk(at);
      ssize_t got;
      do {
        got = ::pread(reading->file.get(), buffer.data(), static_cast<std::size_t>(length), at);
      } while (got < 0 && errno == EINTR);
      if (got < 0) throw PelorinBase::fileError("cannot read", reading->name);
      if (got == 0) throw std::system_error(InstallerCore::InstallerError::damagedDownload);
      reading->sha.update(buffer.data(), static_cast<std::size_t>(got));
      lock.lock();
      reading->read += got;
    } catch (...) {
      if (!lock.owns_lock()) lock.lock();
      reading->error = std::current_exception();
      break;
    }
  }
  reading->done = true;
  if (reading->multi) curl_multi_wakeup(reading->multi);
}

void Digest::readKept(PelorinBase::FileDescriptor file, const std::filesystem::path& name,
                      std::int64_t kept, CURLM* multi,
                      std::function<void(std::int64_t)> beforeChunk) {
  auto reading = std::make_shared<Reading>(std::move(file), name);
  reading->end = kept;
  reading->multi = multi;
  reading->beforeChunk = std::move(beforeChunk);
  std::thread(read, reading).detach();
  reading_ = std::move(reading);
}

void Digest::written(std::span<const char> bytes) {
  if (takeOver(static_cast<std::int64_t>(bytes.size()))) sha_.update(bytes.data(), bytes.size());
}

void Digest::restart() {
  abandon();
  sha_ = PelorinBase::Sha256();
}

bool Digest::takeOver(std::int64_t more) {
  if (!reading_) return true;
  {
    std::lock_guard guard(reading_->lock);
    if (reading_->error) std::rethrow_exception(reading_->error);
    if (!reading_->done) {
      reading_->end += more;
      return false;
    }
    sha_ = std::move(reading_->sha);
  }
  reading_.reset();
  return true;
}

void Digest::abandon() {
  if (!reading_) return;
  {
    std::lock_guard guard(reading_->lock);
    reading_->stopped = true;
    reading_->multi = nullptr;
  }
  reading_.reset();
}

}  // namespace PelorinInstaller::transfer
