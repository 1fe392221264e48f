// Reading the host's own text files (system.reg, accounts) whole, and only when reading them
// whole makes sense: a FIFO, a device or a huge file put in their place is refused by name
// instead of blocking the process or filling its memory.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace Platform::Posix {

// The largest host file read: far above any real registry or accounts file, far below what
// would hurt a process that holds it in memory.
constexpr std::size_t MaxHostFileSize = std::size_t{64} << 20;

// Why a host file could not be read: a Win32 code and a sentence naming the file.
struct HostFileFailure {
    std::uint32_t error = 0;
    std::string detail;
    bool missing = false;  // the file does not exist (ERROR_FILE_NOT_FOUND)
};

// Reads `file` into `bytes` and its status into `st`. The open does not wait for a FIFO's
// writer; only a regular file of at most MaxHostFileSize bytes is read. Otherwise false with
// ERROR_CANT_ACCESS_FILE (1920) for a file that is not a regular one, ERROR_FILE_TOO_LARGE
// (223) for one above the limit, or the error of the open or read.
bool readHostFile(const std::filesystem::path& file, std::string& bytes, struct stat& st,
                  HostFileFailure& failure);

// Reads what is left of the open `fd` (named `file` in a failure) into `bytes`, at most
// MaxHostFileSize bytes: past that, false with ERROR_FILE_TOO_LARGE. A pipe is read to its end.
bool readBounded(int fd, const std::filesystem::path& file, std::string& bytes,
                 HostFileFailure& failure);

}  // namespace Platform::Posix
