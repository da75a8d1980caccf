#pragma once

#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

// File-system and POSIX failures pass as std::filesystem::filesystem_error and std::system_error
// in the generic category, whose value is the errno value: callers tell them apart by code alone.
namespace PelorinBase {

// The error for errno value `code` (by default the current one), to throw or to keep for later.
std::system_error systemError(int code, const std::string& what);
std::filesystem::filesystem_error fileError(const std::string& what,
                                            const std::filesystem::path& path, int code = errno);

// Throw the error for the current errno value.
[[noreturn]] void throwSystemError(const std::string& what);
[[noreturn]] void throwFileError(const std::string& what, const std::filesystem::path& path);

}  // namespace PelorinBase
