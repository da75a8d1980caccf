#include "pipeline/transfer/Writer.hpp"

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
constexpr std::size_t kQueuedPieces = 8;

}  // namespace

// What the writer's thread shares with the transfer's. The file and `sha` are the writer's
// thread's alone, `sha` until the digest has caught up and the writer is finished.
struct Writer::State {
  State(PelorinBase::FileDescriptor file, std::filesystem::path name, std::int64_t kept,
        Options options)
      : file(std::move(file)),
        name(std::move(name)),
        options(std::move(options)),
        spare(kQueuedPieces),
        queued(kept),
        stored(kept) {}

  struct Piece {
    std::int64_t at;
    std::vector<char> bytes;
  };

  PelorinBase::FileDescriptor file;
  const std::filesystem::path name;
  const Options options;
  std::mutex lock;
  std::condition_variable work, freed;   // for the writer's thread; for the transfer's
  std::deque<Piece> pieces;              // queued, in the order of the file
  std::vector<std::vector<char>> spare;  // buffers to queue the next pieces in
  std::int64_t queued, stored, hashed = 0;
  PelorinBase::Sha256 sha;
  bool stopped = false;
  std::exception_ptr error;
  CURLM* multi = nullptr;  // to wake once the digest has caught up

  bool digestBehind() const { return options.digest && hashed < stored; }
  void store(std::unique_lock<std::mutex>& held);
  void readBack(std::unique_lock<std::mutex>& held, std::vector<char>& buffer);
  void run();
};

// Writes the first queued piece, and hashes it if the digest has got to it.
void Writer::State::store(std::unique_lock<std::mutex>& held) {
  auto piece = std::move(pieces.front());
  pieces.pop_front();
  bool hashing = options.digest && hashed == piece.at;
  held.unlock();
  std::size_t done = 0;
  while (done < piece.bytes.size()) {
    auto put = ::pwrite(file.get(), piece.bytes.data() + done, piece.bytes.size() - done,
                        piece.at + static_cast<std::int64_t>(done));
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) throw PelorinBase::fileError("cannot write", name);
    done += static_cast<std::size_t>(put);
  }
  if (hashing) sha.update(piece.bytes.data(), piece.bytes.size());
  held.lock();
  stored += static_cast<std::int64_t>(done);
  if (hashing) hashed = stored;
  piece.bytes.clear();
  spare.push_back(std::move(piece.bytes));
}

// Hashes the next bytes that are in the file but not yet in the digest, read back from it. A
// file shorter than what was stored in it was cut by someone else: the download is damaged.
void Writer::State::readBack(std::unique_lock<std::mutex>& held, std::vector<char>& buffer) {
  auto at = hashed;
  auto length = static_cast<std::size_t>(std::min(kReadChunk, stored - at));
  held.unlock();
  if (options.beforeRead) options.beforeRead(at);
  ssize_t got;
  do {
    got = ::pread(file.get(), buffer.data(), length, at);
  } while (got < 0 && errno == EINTR);
  if (got < 0) throw PelorinBase::fileError("cannot read", name);
  if (got == 0) throw std::system_error(InstallerCore::InstallerError::damagedDownload);
  sha.update(buffer.data(), static_cast<std::size_t>(got));
  held.lock();
  hashed += got;
}

// Writing comes first; the digest reads back in between.
void Writer::State::run() {
  std::vector<char> buffer(options.digest ? kReadChunk : 0);
  std::unique_lock held(lock);
  while (!stopped) {
    work.wait(held, [&] { return stopped || !pieces.empty() || digestBehind(); });
    if (stopped) break;
    try {
      if (!pieces.empty()) {
        store(held);
      } else {
        readBack(held, buffer);
      }
    } catch (...) {
      if (!held.owns_lock()) held.lock();
      error = std::current_exception();
      stopped = true;
    }
    freed.notify_all();
    if (multi && (error || (options.digest && hashed == queued))) curl_multi_wakeup(multi);
  }
}

Writer::Writer(PelorinBase::FileDescriptor file, std::filesystem::path name, std::int64_t kept,
               Options options)
    : state_(std::make_shared<State>(std::move(file), std::move(name), kept, std::move(options))) {
  std::thread([state = state_] { state->run(); }).detach();
}

void Writer::write(std::vector<char>& piece) {
  {
    std::unique_lock held(state_->lock);
    state_->freed.wait(held, [&] { return state_->error || !state_->spare.empty(); });
    if (state_->error) std::rethrow_exception(state_->error);
    auto at = state_->queued;
    state_->queued += static_cast<std::int64_t>(piece.size());
    state_->pieces.push_back({at, std::move(piece)});
    piece = std::move(state_->spare.back());
    state_->spare.pop_back();
  }
  state_->work.notify_one();
}

void Writer::flush() {
  std::unique_lock held(state_->lock);
  state_->freed.wait(held, [&] { return state_->error || state_->stored == state_->queued; });
  if (state_->error) std::rethrow_exception(state_->error);
}

bool Writer::caughtUp(CURLM* multi) {
  std::lock_guard guard(state_->lock);
  if (state_->error) std::rethrow_exception(state_->error);
  if (!state_->options.digest || state_->hashed == state_->queued) return true;
  state_->multi = multi;
  return false;
}

std::optional<std::string> Writer::finish() {
  abandon();
  if (!state_->options.digest) return std::nullopt;
  return state_->sha.finish();
}

void Writer::abandon() {
  {
    std::lock_guard guard(state_->lock);
    state_->stopped = true;
    state_->multi = nullptr;
  }
  state_->work.notify_one();
}

}  // namespace PelorinInstaller::transfer
