#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "PelorinBase/FileDescriptor.hpp"

namespace PelorinBase {

// Appends what `fd` holds, up to its end or until `into` holds `limit` bytes. False, with errno
// set, when a read fails; what came before the failure stays in `into`.
bool readUpTo(int fd, std::size_t limit, std::string& into);

enum class Links { refuse, follow };

// Up to `limit` bytes from the start of `file`, opened without blocking on a FIFO (one without
// a writer reads as empty) and, unless told to follow, without following a link at `file`
// itself. Throws filesystem_error with the errno value of the open or the read (EISDIR for a
// folder, ELOOP for a refused link).
std::string readFile(const std::filesystem::path& file, std::size_t limit = SIZE_MAX,
                     Links links = Links::refuse);

enum class Create { orReplace, exclusively };
enum class Access { write, readWrite };

// Opens `file` for writing (and reading, if asked) with exactly `mode`, whatever the umask, never
// through a link at `file` itself (ELOOP): a new file, or an existing one emptied unless `create`
// is exclusively (EEXIST). Throws filesystem_error ("cannot write", errno).
FileDescriptor createFile(const std::filesystem::path& file, mode_t mode,
                          Create create = Create::orReplace, Access access = Access::write);

// Writes all of `bytes`; false with errno when a write fails.
bool writeAll(int fd, std::string_view bytes);

// The whole file `file` is `bytes`, mode exactly `mode`, as createFile makes it; an error of
// writing or closing is thrown as filesystem_error ("cannot write", errno).
void writeFile(const std::filesystem::path& file, std::string_view bytes, mode_t mode,
               Create create = Create::orReplace);

// Replaces `file` whole with `bytes`, mode exactly `mode`: written beside it as FILE.partial (an
// item left there by a killed writer is removed first, a link never followed) and renamed over
// it, so that a reader or a kill at any instant finds the old content or the new. Throws
// filesystem_error ("cannot write", errno); the partial file does not stay.
void replaceFile(const std::filesystem::path& file, std::string_view bytes, mode_t mode);

// Lower-case hexadecimal digits, two a byte.
std::string hex(std::span<const unsigned char> bytes);

// SHA-256 of what `fd` holds from its current offset to its end, as 64 hex digits. A read error
// is thrown as filesystem_error naming `name`; a digest failure as std::runtime_error.
std::string sha256(int fd, const std::filesystem::path& name);

// SHA-256 of the file at `file` (a link is followed; a FIFO does not block the open).
std::string sha256File(const std::filesystem::path& file);

}  // namespace PelorinBase
