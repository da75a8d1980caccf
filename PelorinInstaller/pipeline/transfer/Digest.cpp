#include "pipeline/transfer/Digest.hpp"

#include <unistd.h>
#include <InstallerCore/InstallerError.hpp>
#include <PelorinBase/Errors.hpp>
#include <PelorinBase/Sha256.hpp>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace PelorinInstaller::transfer {
namespace {

constexpr std::int64_t kReadChunk = 256 * 1024;
constexpr std::size_t kHeldPieces = 8;  // pieces handed over and not yet hashed, at most

}  // namespace

// What the hashing thread shares with the transfer. `sha` is the thread's while it hashes, that
// is while `hashed` < `written`.
struct Digest::State {
  State(PelorinBase::FileDescriptor file, std::filesystem::path name, std::int64_t kept,
        std::function<void(std::int64_t)> beforeRead)
      : file(std::move(file)),
        name(std::move(name)),
        beforeRead(std::move(beforeRead)),
        written(kept),
        spare(kHeldPieces) {}

  struct Piece {
    std::int64_t at;
    std::vector<char> bytes;
  };

  PelorinBase::FileDescriptor file;
  const std::filesystem::path name;
  const std::function<void(std::int64_t)> beforeRead;
  std::mutex lock;
  std::condition_variable more;
  PelorinBase::Sha256 sha;
  std::int64_t hashed = 0, written;
  std::deque<Piece> pieces;              // handed over, in the order written
  std::vector<std::vector<char>> spare;  // buffers to hand over in
  bool stopped = false;
  std::exception_ptr error;
  CURLM* multi = nullptr;  // to wake once caught up

  // One step: the next piece handed over, or the bytes before it (or before the write position)
  // read back from the file. False once stopped or failed.
  bool hashNext(std::unique_lock<std::mutex>& held, std::vector<char>& buffer);
  void run();
};

bool Digest::State::hashNext(std::unique_lock<std::mutex>& held, std::vector<char>& buffer) {
  try {
    if (!pieces.empty() && pieces.front().at == hashed) {
      auto piece = std::move(pieces.front().bytes);
      pieces.pop_front();
      held.unlock();
      sha.update(piece.data(), piece.size());
      held.lock();
      hashed += static_cast<std::int64_t>(piece.size());
      piece.clear();
      spare.push_back(std::move(piece));
      return true;
    }
    auto at = hashed;
    auto until = pieces.empty() ? written : pieces.front().at;
    auto length = static_cast<std::size_t>(std::min(kReadChunk, until - at));
    held.unlock();
    if (beforeRead) beforeRead(at);
    ssize_t got;
    do {
      got = ::pread(file.get(), buffer.data(), length, at);
    } while (got < 0 && errno == EINTR);
    // A file shorter than what was written to it: someone else cut it.
    if (got < 0) throw PelorinBase::fileError("cannot read", name);
    if (got == 0) throw std::system_error(InstallerCore::InstallerError::damagedDownload);
    sha.update(buffer.data(), static_cast<std::size_t>(got));
    held.lock();
    hashed += got;
    return true;
  } catch (...) {
    if (!held.owns_lock()) held.lock();
    error = std::current_exception();
    return false;
  }
}

void Digest::State::run() {
  std::vector<char> buffer(kReadChunk);
  std::unique_lock held(lock);
  for (;;) {
    more.wait(held, [&] { return stopped || hashed < written; });
    if (stopped || !hashNext(held, buffer)) break;
    if (hashed == written && multi) curl_multi_wakeup(multi);
  }
  if (error && multi) curl_multi_wakeup(multi);
}

Digest::Digest(PelorinBase::FileDescriptor file, std::filesystem::path name, std::int64_t kept,
               std::function<void(std::int64_t)> beforeRead)
    : state_(
          std::make_shared<State>(std::move(file), std::move(name), kept, std::move(beforeRead))) {
  std::thread([state = state_] { state->run(); }).detach();
}

void Digest::written(std::span<const char> bytes, std::vector<char>* storage) {
  {
    std::lock_guard guard(state_->lock);
    if (state_->error) std::rethrow_exception(state_->error);
    if (storage && !state_->spare.empty()) {
      state_->pieces.push_back({state_->written, std::move(*storage)});
      *storage = std::move(state_->spare.back());
      state_->spare.pop_back();
    }
    state_->written += static_cast<std::int64_t>(bytes.size());
  }
  state_->more.notify_one();
}

bool Digest::caughtUp(CURLM* multi) {
  std::lock_guard guard(state_->lock);
  if (state_->error) std::rethrow_exception(state_->error);
  if (state_->hashed == state_->written) return true;
  state_->multi = multi;
  return false;
}

std::string Digest::finish() {
  abandon();
  return state_->sha.finish();
}

void Digest::abandon() {
  {
    std::lock_guard guard(state_->lock);
    state_->stopped = true;
    state_->multi = nullptr;
  }
  state_->more.notify_one();
}

}  // namespace PelorinInstaller::transfer
