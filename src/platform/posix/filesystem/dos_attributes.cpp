// The DOS attributes of the emulated host's objects: hidden, system and archive in the
// "user.DOSATTRIB" xattr (the form Wine and Samba read), read-only from the mode bits,
// directory and reparse point from the file type.
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix/filesystem/filesystem_internal.h"
#include "platform/posix/filesystem/pathmap.h"
#include "platform/posix/filesystem/posix_path.h"
#include "platform/posix/host/errors.h"
#include "platform/posix/host/seam_count.h"
#include "platform/posix/security/object_security.h"

namespace Platform {

namespace Posix {
namespace {

// The attributes the xattr carries; read-only lives in the mode bits, directory and reparse
// point in the file type.
constexpr std::uint32_t storedAttributes =
    FileAttribute::Hidden | FileAttribute::System | FileAttribute::Archive;

// getxattrat(2) (Linux 6.13): an xattr of an entry of an open directory, without walking the
// path again. The number is the same on every architecture that has it.
#ifdef SYS_getxattrat
constexpr long getxattratCall = SYS_getxattrat;
#else
constexpr long getxattratCall = 464;
#endif

ssize_t readEntryXattr(const std::string& path, const EntryPlace& place, char* value,
                       std::size_t size) {
    static std::atomic<bool> missing{false};
    if (place.dir >= 0 && !missing.load(std::memory_order_relaxed)) {
        struct {
            std::uint64_t value;
            std::uint32_t size;
            std::uint32_t flags;
        } args{reinterpret_cast<std::uintptr_t>(value), static_cast<std::uint32_t>(size), 0};
        long result = ::syscall(getxattratCall, place.dir, place.name, AT_SYMLINK_NOFOLLOW,
                                dosAttributeXattr, &args, sizeof(args));
        if (result >= 0 || (errno != ENOSYS && errno != EINVAL && errno != E2BIG)) {
            return result;
        }
        missing.store(true, std::memory_order_relaxed);
    }
    return ::lgetxattr(place.pathOr(path).c_str(), dosAttributeXattr, value, size);
}

#ifdef SYS_listxattrat
constexpr long listxattratCall = SYS_listxattrat;
#else
constexpr long listxattratCall = 465;
#endif

}  // namespace

std::string EntryPlace::pathOr(const std::string& path) const {
    return dirPath ? joinPosix(*dirPath, name) : path;
}

std::optional<EntryXattrs> entryXattrs(const EntryPlace& place) {
    static std::atomic<bool> missing{false};
    if (place.dir < 0 || missing.load(std::memory_order_relaxed)) {
        return std::nullopt;
    }
    char names[1024];
    long size = ::syscall(listxattratCall, place.dir, place.name, AT_SYMLINK_NOFOLLOW, names,
                          sizeof(names));
    if (size < 0) {
        if (errno == ENOSYS || errno == EINVAL) {
            missing.store(true, std::memory_order_relaxed);
        }
        return std::nullopt;  // ERANGE among them: too many names to tell here
    }
    EntryXattrs found;
    for (long at = 0; at < size;) {
        const char* name = names + at;
        std::size_t length = ::strnlen(name, static_cast<std::size_t>(size - at));
        found.dosAttributes |= std::strcmp(name, dosAttributeXattr) == 0;
        found.securityDescriptor |= std::strcmp(name, SecurityDescriptorXattr) == 0;
        at += static_cast<long>(length) + 1;
    }
    return found;
}

// The attributes the xattr value of `size` bytes in `value` (room for one more) holds.
std::optional<std::uint32_t> parseDosAttributes(char* value, ssize_t size) {
    if (size <= 0) {
        return std::nullopt;
    }
    // Samba follows the text with a binary blob after a NUL; the text alone counts.
    value[size] = '\0';
    char* end = nullptr;
    unsigned long parsed = std::strtoul(value, &end, 16);
    if (end == value) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(parsed);
}

namespace {

std::optional<std::uint32_t> readDosAttributes(const std::string& path,
                                               const EntryPlace& place = {}) {
    char value[256];
    return parseDosAttributes(value, readEntryXattr(path, place, value, sizeof(value) - 1));
}

}  // namespace

// Writes the stored attributes, or removes the xattr when they are the default of the type
// (archive for a file, nothing for a directory), so that a plain object carries no xattr.
bool writeDosAttributes(const std::string& path, bool directory, std::uint32_t attributes) {
    attributes &= storedAttributes;
    std::uint32_t defaults = directory ? 0 : FileAttribute::Archive;
    if (attributes == defaults) {
        if (::lremovexattr(path.c_str(), dosAttributeXattr) != 0 && errno != ENODATA) {
            return failWithErrno();
        }
        return true;
    }
    char value[16];
    int length = std::snprintf(value, sizeof(value), "0x%x", attributes);
    if (::lsetxattr(path.c_str(), dosAttributeXattr, value, static_cast<std::size_t>(length), 0) !=
        0) {
        return failWithErrno();
    }
    return true;
}

// The attributes of an object that is no link, from what its xattr holds.
std::uint32_t attributesOfStored(const struct stat& st, std::optional<std::uint32_t> stored) {
    std::uint32_t attributes = 0;
    if (S_ISDIR(st.st_mode)) {
        attributes = FileAttribute::Directory | (stored ? *stored & storedAttributes : 0);
    } else {
        attributes = stored ? *stored & storedAttributes : FileAttribute::Archive;
    }
    if (!(st.st_mode & S_IWUSR)) {
        attributes |= FileAttribute::ReadOnly;
    }
    return attributes ? attributes : FileAttribute::Normal;
}

std::uint32_t attributesOf(const std::string& path, const struct stat& st, const EntryPlace& place,
                           const EntryXattrs* names) {
    if (S_ISLNK(st.st_mode)) {
        // A directory link is a directory to Windows as well as a reparse point.
        struct stat target;
        bool directory = place.dir >= 0 ? ::fstatat(place.dir, place.name, &target, 0) == 0 &&
                                              S_ISDIR(target.st_mode)
                                        : isDirectory(path);
        return FileAttribute::ReparsePoint |
               (directory ? FileAttribute::Directory : FileAttribute::Archive);
    }
    if (names && !names->dosAttributes) {
        return attributesOfStored(st, std::nullopt);
    }
    return attributesOfStored(st, readDosAttributes(path, place));
}

bool isReadOnly(const struct stat& st) {
    return !S_ISLNK(st.st_mode) && !(st.st_mode & S_IWUSR);
}

}  // namespace Posix

using namespace Posix;

std::uint32_t getFileAttributes(const std::wstring& path) {
    TAVREL_SEAM_CALL("GetFileAttributesW");
    std::string posix;
    struct stat st;
    if (!windowsToPosix(path, posix, &st)) {
        return InvalidFileAttributes;
    }
    if (st.st_mode == 0) {
        errno = ENOENT;
        failForPath(posix);
        return InvalidFileAttributes;
    }
    return attributesOf(posix, st);
}

bool setFileAttributes(const std::wstring& path, std::uint32_t attributes) {
    TAVREL_SEAM_CALL("SetFileAttributesW");
    std::string posix;
    struct stat st;
    if (!lstatWindowsPath(path, posix, st)) {
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        return true;  // a link has no mode or xattrs of its own here
    }
    mode_t mode = st.st_mode & 07777;
    mode_t wanted = (attributes & FileAttribute::ReadOnly) ? mode & ~mode_t(0222)
                    : (mode & S_IWUSR)                     ? mode
                                                           : mode | S_IWUSR;
    if (wanted != mode && ::chmod(posix.c_str(), wanted) != 0) {
        return failWithErrno();
    }
    return writeDosAttributes(posix, S_ISDIR(st.st_mode), attributes);
}

}  // namespace Platform
