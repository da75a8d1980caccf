#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace PelorinTest {

// A private folder under /tmp, removed with everything in it.
class TempFolder {
 public:
  TempFolder() {
    std::string pattern = "/tmp/pelorin-app-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::system_error(errno, std::generic_category());
    path_ = std::filesystem::canonical(pattern);
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& child) const {
    return path_ / child;
  }

 private:
  std::filesystem::path path_;
};

inline void writeFile(const std::filesystem::path& file, const std::string& bytes) {
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << bytes;
}

}  // namespace PelorinTest
