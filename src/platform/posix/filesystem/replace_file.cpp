// ReplaceFileW: a new version of a file takes the old one's place and keeps what belongs to the
// place rather than to the content: the security descriptor, the DOS attributes, the mode bits
// and the owner. A save through it never resets hand-set security of the file it replaces.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/filesystem.h"
#include "platform/posix/filesystem/pathmap.h"
#include "platform/posix/host/errors.h"
#include "platform/posix/security/object_security.h"

namespace Platform {
namespace {

using Posix::windowsToPosix;

// Copies one xattr of `from` to `to`, or removes it from `to` when `from` has none.
bool copyXattr(const std::string& from, const std::string& to, const char* name) {
    std::vector<char> value(256);
    for (;;) {
        ssize_t size = ::lgetxattr(from.c_str(), name, value.data(), value.size());
        if (size >= 0) {
            return ::lsetxattr(to.c_str(), name, value.data(), static_cast<std::size_t>(size), 0) ==
                   0;
        }
        if (errno == ERANGE) {
            ssize_t needed = ::lgetxattr(from.c_str(), name, nullptr, 0);
            if (needed < 0) {
                return false;
            }
            value.resize(static_cast<std::size_t>(needed) + 1);
            continue;
        }
        if (errno == ENODATA) {
            return ::lremovexattr(to.c_str(), name) == 0 || errno == ENODATA;
        }
        return false;
    }
}

void syncDirectoryOf(const std::string& path) {
    std::string directory = path.substr(0, path.find_last_of('/'));
    int fd =
        ::open(directory.empty() ? "/" : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

bool replaceFile(const std::wstring& replaced, const std::wstring& replacement,
                 std::uint32_t flags) {
    std::string target;
    std::string source;
    if (!windowsToPosix(replaced, target) || !windowsToPosix(replacement, source)) {
        return false;
    }
    struct stat targetStat;
    if (::lstat(target.c_str(), &targetStat) != 0) {
        return Posix::failWithErrno();
    }
    struct stat sourceStat;
    if (::lstat(source.c_str(), &sourceStat) != 0) {
        return Posix::failWithErrno();
    }
    // A device, a pipe, a link or a folder under the name is not a file to replace: it stays.
    if (!S_ISREG(targetStat.st_mode) || !S_ISREG(sourceStat.st_mode)) {
        return Posix::failWith(WinError::UnableToRemoveReplaced);
    }
    // A read-only file is not replaced, as it is not deleted.
    if (!(targetStat.st_mode & S_IWUSR)) {
        return Posix::failWith(WinError::AccessDenied);
    }
    if (!copyXattr(target, source, Posix::SecurityDescriptorXattr) ||
        !copyXattr(target, source, "user.DOSATTRIB") ||
        ::chmod(source.c_str(), targetStat.st_mode & 07777) != 0) {
        return Posix::failWithErrno();
    }
    // Only a privileged process can give the file away; any other keeps its own ownership.
    if (::lchown(source.c_str(), targetStat.st_uid, targetStat.st_gid) != 0 && errno != EPERM) {
        return Posix::failWithErrno();
    }
    if (::rename(source.c_str(), target.c_str()) != 0) {
        return Posix::failWith(WinError::UnableToMoveReplacement);
    }
    if (flags & ReplaceFileWriteThrough) {
        syncDirectoryOf(target);
    }
    return true;
}

}  // namespace Platform
