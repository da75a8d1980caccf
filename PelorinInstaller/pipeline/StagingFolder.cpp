#include "pipeline/StagingFolder.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <PelorinBase/Files.hpp>
#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace PelorinInstaller {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kRecordLimit = 65536;

// The record's text: "DEVICE INODE PATH" once the folder exists, "PATH" just before.
std::string recordText(const fs::path& folder, std::optional<Folders::Identity> identity) {
  if (!identity) return folder.string();
  return std::to_string(identity->device) + " " + std::to_string(identity->inode) + " " +
         folder.string();
}

void writeRecord(const fs::path& record, const std::string& text) {
  PelorinBase::writeFile(record, text, S_IRUSR | S_IWUSR);
}

std::optional<std::string> readRecord(const fs::path& record) {
  try {
    return PelorinBase::readFile(record, kRecordLimit);
  } catch (const fs::filesystem_error&) {
    return std::nullopt;  // no record, or none that this installer wrote: nothing to remove
  }
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
