#pragma once

#include <InstallerCore/Url.hpp>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "pipeline/Cancellation.hpp"
#include "pipeline/TransferSettings.hpp"

namespace PelorinInstaller {

// One resumable HTTPS transfer into one file. Lives for one transfer.
class Downloader {
 public:
  // `bytes`: the exact size of the complete file, or none (then at most 1 MiB, no progress).
  Downloader(InstallerCore::Url url, std::filesystem::path file, std::optional<std::int64_t> bytes,
             std::shared_ptr<Cancellation> cancellation, TransferSettings settings,
             std::function<void(double)> progress);
  ~Downloader();
  Downloader(const Downloader&) = delete;
  Downloader& operator=(const Downloader&) = delete;

  // Blocks until the transfer ends; returns `file` or throws.
  std::filesystem::path run();

  struct Result {
    std::filesystem::path file;
    // The SHA-256 of the file's bytes, taken as they were written (a kept part read first); none
    // when the file was complete before and nothing was fetched.
    std::optional<std::string> sha256;
  };
  // As run(), with the file's digest.
  Result fetch();

 private:
  Result transfer(bool digesting);

  struct Transfer;
  InstallerCore::Url url_;
  std::filesystem::path file_;
  std::optional<std::int64_t> expectedBytes_;
  std::shared_ptr<Cancellation> cancellation_;
  TransferSettings settings_;
  std::function<void(double)> progress_;

  // Set only by tests: the first runs between the token check and the registration of the
  // transfer, the second once the transfer is registered (it is given the registered task), the
  // third before each read of the digest from the file (given its position, on its thread).
  friend struct DownloaderProbe;
  std::function<void()> beforeAttach_;
  std::function<void(const std::shared_ptr<CancellableTask>&)> afterAttach_;
  std::function<void(std::int64_t)> beforeKeptRead_;
};

// The target of a redirect's Location, resolved against the URL that answered with it; none
// when the two do not make a URL.
std::optional<InstallerCore::Url> resolveRedirect(const InstallerCore::Url& base,
                                                  const std::string& location);

}  // namespace PelorinInstaller
