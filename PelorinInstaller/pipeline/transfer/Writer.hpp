#pragma once

#include <curl/curl.h>
#include <PelorinBase/FileDescriptor.hpp>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace PelorinInstaller::transfer {

// Writes the body's pieces into the download file on a thread of its own, so that the transfer's
// thread only receives, and takes the SHA-256 of the file from its first byte as it goes, if
// asked: a part kept from an earlier attempt is read from the file first (while the connection
// is made), then each piece is hashed from the buffer it was written from; pieces written while
// the digest is still behind are read back from the file once it gets there.
class Writer {
 public:
  struct Options {
    bool digest = false;
    // Runs on the writer's thread before each read from the file, with the read's position.
    std::function<void(std::int64_t)> beforeRead;
  };
  // `file` (a descriptor of the writer's own, open for reading and writing) holds `kept` bytes.
  Writer(PelorinBase::FileDescriptor file, std::filesystem::path name, std::int64_t kept,
         Options options);
  // Leaves the writer's thread to stop on its own after its current step.
  ~Writer() { abandon(); }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Queues `piece` to be written after what was queued before, taking it and leaving an empty
  // buffer in its place; waits while a few pieces are already queued. Throws the writer's error.
  void write(std::vector<char>& piece);
  // Waits until every piece queued is in the file; throws the writer's error.
  void flush();
  // Whether the digest has every byte queued; if not, `multi` is woken once it has, or once
  // the writer fails (until abandoned). Throws the writer's error.
  bool caughtUp(CURLM* multi);
  // The digest, once caught up (none when not asked for); ends the writer.
  std::optional<std::string> finish();
  // The writer's thread stops after its current step, on its own, and wakes no one.
  void abandon();

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace PelorinInstaller::transfer
