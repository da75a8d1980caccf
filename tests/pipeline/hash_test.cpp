#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <system_error>

#include "TestSupport.hpp"
#include "pipeline/Checks.hpp"

namespace PelorinInstaller {
namespace {

namespace fs = std::filesystem;
using PelorinTesting::TemporaryFolder;

// Bytes (7i + 3) mod 256; the digests were taken with `openssl dgst -sha256`.
std::string pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = char((i * 7 + 3) & 0xff);
  return bytes;
}

TEST(Hash, KnownDigestsAroundTheChunkSize) {
  struct Case {
    std::size_t size;
    const char* digest;
  } cases[] = {
      {0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {1 << 20, "172c15dc2e12b50e523d8e657cbe7fbb11c1053252bbf1e1431077d57d8128fd"},
      {(1 << 20) + 1, "75059752ce0b546127d584a3992627babb59950933c6d82d10ad46fec48e7c96"},
      {3 * (1 << 20) + 5, "8e412f5c2133ab91c007c92ac99185bd7aeb01a1b4fc67f38cb9d9052f614a3f"},
  };
  TemporaryFolder folder;
  for (const auto& c : cases) {
    auto file = folder / std::to_string(c.size);
    PelorinTesting::writeFile(file, pattern(c.size));
    EXPECT_EQ(hash(file), c.digest) << c.size << " bytes";
  }
}

TEST(Hash, FilesThatCannotBeReadThrowTheirError) {
  TemporaryFolder folder;
  struct Case {
    fs::path file;
    std::errc error;
  } cases[] = {
      {folder / "missing", std::errc::no_such_file_or_directory},
      {folder.path(), std::errc::is_a_directory},
  };
  for (const auto& c : cases) {
    try {
      hash(c.file);
      ADD_FAILURE() << c.file << " hashed";
    } catch (const fs::filesystem_error& error) {
      EXPECT_EQ(error.code(), c.error) << c.file;
      EXPECT_EQ(error.path1(), c.file);
    }
  }
}

}  // namespace
}  // namespace PelorinInstaller
