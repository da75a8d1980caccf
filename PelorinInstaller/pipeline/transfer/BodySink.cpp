#include <algorithm>

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
  bool accepted = data(piece);
  piece.clear();
  return accepted;
}

// The data event: false when the transfer must stop. The writer takes the piece, leaving an
// empty buffer.
bool Downloader::Transfer::data(std::vector<char>& bytes) {
  if (failure) return false;
  try {
    auto total = offset + static_cast<std::int64_t>(bytes.size());
    const auto& expected = owner.expectedBytes_;
    if (expected ? total > *expected : total > transfer::kSizeCap) {
      throw transfer::installerError(InstallerError::damagedDownload);
    }
    writer->write(bytes);
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

}  // namespace PelorinInstaller
