#pragma once

#include <filesystem>

#include "pipeline/Host.hpp"

namespace PelorinInstaller {

// An image attached read-only at a mount point, detached on the way out. No forced detach: a
// busy image stays mounted rather than being torn away from a reader.
class Attachment {
 public:
  Attachment(const Host& host, const std::filesystem::path& image,
             const std::filesystem::path& mountPoint);
  ~Attachment();
  Attachment(const Attachment&) = delete;
  Attachment& operator=(const Attachment&) = delete;

 private:
  const Host& host_;
  std::filesystem::path mountPoint_;
};

}  // namespace PelorinInstaller
