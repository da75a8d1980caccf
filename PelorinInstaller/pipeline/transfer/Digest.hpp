#pragma once

#include <curl/curl.h>
#include <PelorinBase/FileDescriptor.hpp>
#include <PelorinBase/Sha256.hpp>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>

namespace PelorinInstaller::transfer {

// The SHA-256 of the download file from its first byte to the write position, taken as the bytes
// are written. A part kept from an earlier attempt is read from the file on a thread of its own,
// so that it is read while the connection is made; bytes written before that reading has caught
// up are read back after it, the rest are added as they are written.
class Digest {
 public:
  Digest() = default;
  ~Digest() { abandon(); }
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;

  // Starts reading the first `kept` bytes of `file` (a descriptor of the reading's own, for the
  // file `name`). Once it has caught up with the writes, it wakes `multi`, unless abandoned
  // first. `beforeChunk`, if set, runs on the reading's thread before each read, with the read's
  // position.
  void readKept(PelorinBase::FileDescriptor file, const std::filesystem::path& name,
                std::int64_t kept, CURLM* multi, std::function<void(std::int64_t)> beforeChunk);
  // `bytes` were written at the write position. Throws the kept part's read error.
  void written(std::span<const char> bytes);
  // The file was emptied: from no bytes again. A reading under way is abandoned.
  void restart();
  // True once every byte written is in. Throws the kept part's read error.
  bool caughtUp() { return takeOver(0); }
  // A reading under way stops after its current read, on its own, and wakes no one.
  void abandon();
  // The digest, once caught up; ends the computation.
  std::string finish() { return sha_.finish(); }

 private:
  // While the reading runs: false, and it is to read `more` bytes. Once it is done: true, its
  // digest taken over (or its error thrown).
  bool takeOver(std::int64_t more);

  struct Reading;
  static void read(const std::shared_ptr<Reading>& reading);
  std::shared_ptr<Reading> reading_;  // none once the reading has caught up, or without one
  PelorinBase::Sha256 sha_;           // this thread's from then on
};

}  // namespace PelorinInstaller::transfer
