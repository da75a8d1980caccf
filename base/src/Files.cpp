#include "PelorinBase/Files.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "PelorinBase/Errors.hpp"
#include "PelorinBase/Sha256.hpp"

namespace PelorinBase {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kChunkBytes = 1 << 16;

}  // namespace

bool readUpTo(int fd, std::size_t limit, std::string& into) {
  char buffer[65536];
  while (into.size() < limit) {
    ssize_t got = ::read(fd, buffer, std::min(sizeof buffer, limit - into.size()));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    into.append(buffer, static_cast<std::size_t>(got));
  }
  return true;
}

std::string readFile(const fs::path& file, std::size_t limit, Links links) {
  int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (links == Links::refuse ? O_NOFOLLOW : 0);
  FileDescriptor input(::open(file.c_str(), flags));
  if (!input.isOpen()) throwFileError("cannot open", file);
  std::string bytes;
  if (!readUpTo(input.get(), limit, bytes)) throwFileError("cannot read", file);
  return bytes;
}

FileDescriptor createFile(const fs::path& file, mode_t mode, Create create, Access access) {
  int flags = (access == Access::readWrite ? O_RDWR : O_WRONLY) | O_CREAT | O_NOFOLLOW | O_CLOEXEC |
              (create == Create::exclusively ? O_EXCL : O_TRUNC);
  FileDescriptor output(::open(file.c_str(), flags, mode));
  if (!output.isOpen() || ::fchmod(output.get(), mode) != 0) throwFileError("cannot write", file);
  return output;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t put = ::write(fd, bytes.data(), bytes.size());
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(put));
  }
  return true;
}

void writeFile(const fs::path& file, std::string_view bytes, mode_t mode, Create create) {
  auto output = createFile(file, mode, create);
  if (!writeAll(output.get(), bytes) || !output.close()) throwFileError("cannot write", file);
}

void replaceFile(const fs::path& file, std::string_view bytes, mode_t mode) {
  auto partial = file;
  partial += ".partial";
  if (::unlink(partial.c_str()) != 0 && errno != ENOENT) ::rmdir(partial.c_str());  // a folder
  try {
    auto output = createFile(partial, mode, Create::exclusively);
    if (!writeAll(output.get(), bytes) || ::fsync(output.get()) != 0 || !output.close()) {
      throwFileError("cannot write", partial);
    }
    if (::rename(partial.c_str(), file.c_str()) != 0) throwFileError("cannot write", file);
  } catch (...) {
    ::unlink(partial.c_str());
    throw;
  }
}

std::string hex(std::span<const unsigned char> bytes) {
  constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (unsigned char byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

std::string sha256(int fd, const fs::path& name) {
  Sha256 digest;
  std::vector<unsigned char> chunk(kChunkBytes);
  for (;;) {
    ssize_t got = ::read(fd, chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throwFileError("cannot read", name);
    if (got == 0) break;
    digest.update(chunk.data(), static_cast<std::size_t>(got));
  }
  return digest.finish();
}

std::string sha256File(const fs::path& file) {
  FileDescriptor input(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!input.isOpen()) throwFileError("cannot open", file);
  return sha256(input.get(), file);
}

}  // namespace PelorinBase
