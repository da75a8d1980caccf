#include "pipeline/StagingFolder.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <PelorinBase/Errors.hpp>
#include <PelorinBase/FileDescriptor.hpp>
#include <PelorinBase/Files.hpp>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace PelorinInstaller {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kPrefix = ".pelorin-install-";
constexpr std::size_t kRecordLimit = 65536;

// One recorded folder; no identity yet while it is being made.
struct Entry {
  fs::path folder;
  std::optional<Folders::Identity> identity;
};

template <typename Number>
std::optional<Number> leadingNumber(std::string_view& text) {
  Number value{};
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data() + text.size() || *end != ' ') return std::nullopt;
  text.remove_prefix(static_cast<std::size_t>(end - text.data()) + 1);
  return value;
}

// A line "DEVICE INODE PATH", or "PATH" for a folder not made yet; none for anything else.
std::optional<Entry> parsed(std::string_view line) {
  if (line.starts_with('/')) return Entry{fs::path(line), std::nullopt};
  auto device = leadingNumber<dev_t>(line);
  auto inode = device ? leadingNumber<ino_t>(line) : std::nullopt;
  if (!inode || !line.starts_with('/')) return std::nullopt;
  return Entry{fs::path(line), Folders::Identity{*device, *inode}};
}

std::string text(const std::vector<Entry>& entries) {
  std::string lines;
  for (const auto& [folder, identity] : entries) {
    if (identity) {
      lines += std::to_string(identity->device) + " " + std::to_string(identity->inode) + " ";
    }
    lines += folder.string() + "\n";
  }
  return lines;
}

// What the record names. Only a regular file of this user with a single name is read; anything
// else at its name is removed without being followed or read (an empty folder too).
std::vector<Entry> readEntries(const fs::path& record) {
  PelorinBase::FileDescriptor input(
      ::open(record.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!input.isOpen() && errno == ENOENT) return {};
  struct stat info {};
  std::string bytes;
  if (!input.isOpen() || ::fstat(input.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      info.st_uid != ::geteuid() || info.st_nlink != 1 ||
      !PelorinBase::readUpTo(input.get(), kRecordLimit, bytes)) {
    if (::unlink(record.c_str()) != 0 && errno != ENOENT) ::rmdir(record.c_str());
    return {};
  }
  std::vector<Entry> entries;
  for (std::string_view rest = bytes; !rest.empty();) {
    auto end = std::min(rest.find('\n'), rest.size());
    if (auto entry = parsed(rest.substr(0, end))) entries.push_back(std::move(*entry));
    rest.remove_prefix(std::min(end + 1, rest.size()));
  }
  return entries;
}

// The record holds `entries`, replaced in one rename; none: no record.
void writeEntries(const fs::path& record, const std::vector<Entry>& entries) {
  if (!entries.empty()) return PelorinBase::replaceFile(record, text(entries), S_IRUSR | S_IWUSR);
  if (::unlink(record.c_str()) != 0 && errno != ENOENT) {
    PelorinBase::throwFileError("cannot remove", record);
  }
}

// Clean-up's version: a record that cannot be written now keeps what it held for a later run.
void writeEntriesIgnoringErrors(const fs::path& record, const std::vector<Entry>& entries) {
  try {
    writeEntries(record, entries);
  } catch (...) {
  }
}

// Whether nothing with the recorded identity stands at the recorded path any more.
bool gone(const fs::path& folder, Folders::Identity identity) {
  try {
    return Folders::identityOf(folder) != identity;
  } catch (const fs::filesystem_error&) {
    return false;  // cannot tell: keep it for a later run
  }
}

// Removes what `entry` names if it is a staging folder in one of `installFolders`; true when
// nothing is left to retry (removed, or never ours to remove).
bool removeEntry(const Entry& entry, const std::vector<fs::path>& installFolders) {
  bool placed = Folders::isWorkName(entry.folder.filename().native(), kPrefix) &&
                std::find(installFolders.begin(), installFolders.end(),
                          entry.folder.parent_path()) != installFolders.end();
  if (!placed) return true;
  // Killed before the folder's identity was written down: then it is still empty.
  if (!entry.identity) {
    ::rmdir(entry.folder.c_str());
    return true;
  }
  Folders::removeIfSame(entry.folder, *entry.identity);
  return gone(entry.folder, *entry.identity);
}

}  // namespace

StagingFolder::StagingFolder(fs::path record, const fs::path& parent)
    : record_(std::move(record)), folder_(parent / Folders::workName(kPrefix)) {
  auto entries = readEntries(record_);
  entries.push_back({folder_, std::nullopt});
  writeEntries(record_, entries);
  bool made = false;
  try {
    identity_ = Folders::makePrivate(folder_);
    made = true;
    entries.back().identity = identity_;
    writeEntries(record_, entries);
  } catch (...) {
    if (made) Folders::removeIfSame(folder_, identity_);
    entries.pop_back();
    writeEntriesIgnoringErrors(record_, entries);
    throw;
  }
}

StagingFolder::~StagingFolder() {
  if (leftForLater_) return;
  if (!abandoned_) Folders::removeIfSame(folder_, identity_);
  if (!abandoned_ && !gone(folder_, identity_)) return;
  auto entries = readEntries(record_);
  std::erase_if(entries, [this](const Entry& entry) { return entry.folder == folder_; });
  writeEntriesIgnoringErrors(record_, entries);
}

void StagingFolder::abandon() { abandoned_ = true; }

void StagingFolder::leaveForLater() { leftForLater_ = true; }

void StagingFolder::removeRecorded(const fs::path& record,
                                   const std::vector<fs::path>& installFolders) {
  auto entries = readEntries(record);
  auto before = entries.size();
  std::erase_if(entries, [&](const Entry& entry) { return removeEntry(entry, installFolders); });
  if (entries.size() != before) writeEntriesIgnoringErrors(record, entries);
}

}  // namespace PelorinInstaller
