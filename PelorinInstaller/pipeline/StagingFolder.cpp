#include "pipeline/StagingFolder.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "pipeline/FileDescriptor.hpp"

namespace PelorinInstaller {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kRecordLimit = 65536;

[[noreturn]] void throwFileError(const char* what, const fs::path& path, int error) {
  throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// The record's text: "DEVICE INODE PATH" once the folder exists, "PATH" just before.
std::string recordText(const fs::path& folder, std::optional<Folders::Identity> identity) {
  if (!identity) return folder.string();
  return std::to_string(identity->device) + " " + std::to_string(identity->inode) + " " +
         folder.string();
}

void writeRecord(const fs::path& record, const std::string& text) {
  FileDescriptor file(::open(record.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                             S_IRUSR | S_IWUSR));
  if (!file.isOpen() || ::fchmod(file.get(), S_IRUSR | S_IWUSR) != 0) {
    throwFileError("cannot write", record, errno);
  }
  for (std::string_view rest = text; !rest.empty();) {
    ssize_t put = ::write(file.get(), rest.data(), rest.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) throwFileError("cannot write", record, errno);
    rest.remove_prefix(static_cast<std::size_t>(put));
  }
  if (!file.close()) throwFileError("cannot write", record, errno);
}

std::optional<std::string> readRecord(const fs::path& record) {
  FileDescriptor file(::open(record.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  std::string text;
  if (!file.isOpen() || !readUpTo(file.get(), kRecordLimit, text)) return std::nullopt;
  return text;
}

template <typename Number>
std::optional<Number> leadingNumber(std::string_view& text) {
  Number value{};
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data() + text.size() || *end != ' ') return std::nullopt;
  text.remove_prefix(static_cast<std::size_t>(end - text.data()) + 1);
  return value;
}

}  // namespace

StagingFolder::StagingFolder(fs::path record, fs::path folder)
    : record_(std::move(record)), folder_(std::move(folder)) {
  writeRecord(record_, recordText(folder_, std::nullopt));
  try {
    identity_ = Folders::makePrivate(folder_);
  } catch (...) {
    ::unlink(record_.c_str());
    throw;
  }
  try {
    writeRecord(record_, recordText(folder_, identity_));
  } catch (...) {
    Folders::removeIfSame(folder_, identity_);
    ::unlink(record_.c_str());
    throw;
  }
}

StagingFolder::~StagingFolder() {
  if (!abandoned_) Folders::removeIfSame(folder_, identity_);
  ::unlink(record_.c_str());
}

void StagingFolder::abandon() { abandoned_ = true; }

void StagingFolder::removeRecorded(const fs::path& record) {
  auto text = readRecord(record);
  if (!text) return;
  std::string_view rest = *text;
  if (!rest.starts_with('/')) {
    auto device = leadingNumber<dev_t>(rest);
    auto inode = device ? leadingNumber<ino_t>(rest) : std::nullopt;
    if (inode && rest.starts_with('/')) Folders::removeIfSame(fs::path(rest), {*device, *inode});
  } else {
    // Killed before the folder's identity was written down: then it is still empty.
    ::rmdir(std::string(rest).c_str());
  }
  ::unlink(record.c_str());
}

}  // namespace PelorinInstaller
