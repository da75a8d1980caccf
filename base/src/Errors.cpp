#include "PelorinBase/Errors.hpp"

#include <cerrno>

namespace PelorinBase {

std::system_error systemError(int code, const std::string& what) {
  return std::system_error(code, std::generic_category(), what);
}

std::filesystem::filesystem_error fileError(const std::string& what,
                                            const std::filesystem::path& path, int code) {
  return {what, path, std::error_code(code, std::generic_category())};
}

void throwSystemError(const std::string& what) { throw systemError(errno, what); }

void throwFileError(const std::string& what, const std::filesystem::path& path) {
  throw fileError(what, path, errno);
}

}  // namespace PelorinBase
