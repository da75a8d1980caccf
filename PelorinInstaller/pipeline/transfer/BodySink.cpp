#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "pipeline/transfer/Transfer.hpp"

namespace PelorinInstaller {

using InstallerCore::InstallerError;
using transfer::kPieceLimit;

std::size_t Downloader::Transfer::onData(char* bytes, std::size_t size, std::size_t count,
                                         void* user) noexcept {
  auto& transfer = *static_cast<Transfer*>(user);
  std::size_t length = size * count;
  return transfer.guarded(CURL_WRITEFUNC_ERROR, [&]() -> std::size_t {
    if (!transfer.gather({bytes, length})) return CURL_WRITEFUNC_ERROR;
    transfer.lastActivity = transfer::Clock::now();
    return length;
  });
}

// Collects received bytes into pieces of exactly kPieceLimit (the last one may be shorter);
// false abandons the transfer. The loop hands over a piece held longer than kHoldLimit.
bool Downloader::Transfer::gather(std::span<const char> bytes) {
  while (!bytes.empty()) {
    if (piece.empty() && bytes.size() >= kPieceLimit) {
      if (!data(bytes.first(kPieceLimit))) return false;
      bytes = bytes.subspan(kPieceLimit);
      continue;
    }
    if (piece.empty()) {
      pieceSince = transfer::Clock::now();
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
  bool accepted = data(piece, &piece);
  piece.clear();
  return accepted;
}

// The data event: false when the transfer must stop. The digest may take `storage`, which holds
// the bytes, for an empty buffer.
bool Downloader::Transfer::data(std::span<const char> bytes, std::vector<char>* storage) {
  if (failure) return false;
  try {
    auto total = offset + static_cast<std::int64_t>(bytes.size());
    const auto& expected = owner.expectedBytes_;
    if (expected ? total > *expected : total > transfer::kSizeCap) {
      throw transfer::installerError(InstallerError::damagedDownload);
    }
    writeAll(bytes);
    if (digest) digest->written(bytes, storage);
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
      throw transfer::fileError("cannot write", owner.file_);
    }
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
}

}  // namespace PelorinInstaller
