#include "support/TempDir.hpp"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>

namespace PelorinTest {

TempDir::TempDir() {
  auto pattern = (std::filesystem::temp_directory_path() / "pelorin-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data()))
    throw std::system_error(errno, std::generic_category(), "mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace PelorinTest
