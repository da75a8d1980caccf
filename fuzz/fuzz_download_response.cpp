// Any status, header and sizes: an answer or invalidResponse, and "append" only for the one
// exact range.
#include <InstallerCore/DownloadResponse.hpp>
#include <InstallerCore/InstallerError.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 25) return 0;
  std::int64_t status, offset, bytes;
  std::memcpy(&status, data, 8);
  std::memcpy(&offset, data + 8, 8);
  std::memcpy(&bytes, data + 16, 8);
  status = data[24] & 1 ? 206 : status;
  std::optional<std::string_view> range;
  if (data[24] & 2) range = std::string_view(reinterpret_cast<const char*>(data + 25), size - 25);
  try {
    bool append = InstallerCore::DownloadResponse::append(status, range, offset, bytes);
    if (append) {
      auto expected = "bytes " + std::to_string(offset) + "-" + std::to_string(bytes - 1) + "/" +
                      std::to_string(bytes);
      if (status != 206 || offset < 1 || range != expected) std::abort();
    } else if (status != 200) {
      std::abort();
    }
  } catch (const std::system_error& error) {
    if (error.code() != InstallerCore::InstallerError::invalidResponse) std::abort();
  }
  return 0;
}
