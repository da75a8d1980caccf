#pragma once

#include <curl/curl.h>
#include <PelorinBase/FileDescriptor.hpp>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace PelorinInstaller::transfer {

// The SHA-256 of the download file from its first byte to the write position, taken on a thread
// of its own as the bytes are written, so that the transfer's thread only hands them over. A
// part kept from an earlier attempt is read from the file first, while the connection is made.
// The pieces written are hashed from the buffers they were written from, a few at a time; when
// the hashing falls further behind, the bytes it has not been handed are read back from the file.
class Digest {
 public:
  // `file` (a descriptor of the digest's own, open for reading) holds `kept` bytes of the
  // download so far. `beforeRead`, if set, runs on the digest's thread before each read from
  // the file, with the read's position.
  Digest(PelorinBase::FileDescriptor file, std::filesystem::path name, std::int64_t kept,
         std::function<void(std::int64_t)> beforeRead);
  // Leaves the hashing to stop on its own after its current step.
  ~Digest() { abandon(); }
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;

  // `bytes` were written at the write position. When `storage` holds them, it may be taken
  // (and replaced with an empty buffer) instead of reading them back. Throws the digest's error
  // of reading the file.
  void written(std::span<const char> bytes, std::vector<char>* storage);
  // Whether the digest has every byte written; if not, it wakes `multi` once it has, or once it
  // fails (until abandoned). Throws its error of reading the file.
  bool caughtUp(CURLM* multi);
  // The digest, once caught up; ends it.
  std::string finish();
  // The hashing stops after its current step, on its own, and wakes no one.
  void abandon();

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace PelorinInstaller::transfer
