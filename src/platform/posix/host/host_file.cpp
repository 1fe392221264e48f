#include "platform/posix/host/host_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/host/errors.h"
#include "platform/posix/host/unique_fd.h"
#include "platform/types.h"

namespace Platform::Posix {
namespace {

constexpr std::uint32_t ErrorFileTooLarge = 223;

const char* kindOf(mode_t mode) {
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return "a device";
    }
    if (S_ISDIR(mode)) {
        return "a directory";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    return "not a regular file";
}

bool failErrno(const std::filesystem::path& file, HostFileFailure& failure) {
    int error = errno;
    failure.error = winErrorFromErrno(error);
    failure.missing = error == ENOENT;
    failure.detail = "cannot read " + file.string() + ": " + std::strerror(error);
    return false;
}

bool tooLarge(const std::filesystem::path& file, HostFileFailure& failure) {
    failure.error = ErrorFileTooLarge;
    failure.detail = file.string() + " is larger than " + std::to_string(MaxHostFileSize >> 20) +
                     " MiB, the limit of a host file";
    return false;
}

}  // namespace

bool readHostFile(const std::filesystem::path& file, std::string& bytes, struct stat& st,
                  HostFileFailure& failure) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer before fstat can refuse it.
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd || ::fstat(fd.get(), &st) != 0) {
        return failErrno(file, failure);
    }
    if (!S_ISREG(st.st_mode)) {
        failure.error = WinError::CantAccessFile;
        failure.detail = file.string() + " is " + kindOf(st.st_mode) + ", not a regular file";
        return false;
    }
    if (static_cast<std::uintmax_t>(st.st_size) > MaxHostFileSize) {
        return tooLarge(file, failure);
    }
    bytes.reserve(static_cast<std::size_t>(st.st_size));
    return readBounded(fd.get(), file, bytes, failure);
}

bool readBounded(int fd, const std::filesystem::path& file, std::string& bytes,
                 HostFileFailure& failure) {
    bytes.clear();
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return failErrno(file, failure);
        }
        if (n == 0) {
            return true;
        }
        // The file may grow while it is read: the limit holds for what is read, too.
        if (bytes.size() + static_cast<std::size_t>(n) > MaxHostFileSize) {
            return tooLarge(file, failure);
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace Platform::Posix
