// The file calls relative to a held directory (createFileAt and its family): each works on one
// entry of the directory that a descriptor holds (openat, mkdirat, renameat2, unlinkat), so that
// no component of a path, which others may swap for a link meanwhile, is walked again; the
// entry itself is never followed when it is a link.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <optional>

#include "platform/posix/faults/faults.h"
#include "platform/posix/filesystem/filehandle.h"
#include "platform/posix/filesystem/filesystem_internal.h"
#include "platform/posix/filesystem/pathmap.h"
#include "platform/posix/filesystem/posix_path.h"
#include "platform/posix/host/errors.h"
#include "platform/posix/host/handles.h"
#include "platform/posix/host/seam_count.h"
#include "platform/posix/host/unique_fd.h"
#include "platform/posix/security/object_security.h"

namespace Platform {
namespace {

using namespace Posix;

// A held directory: its descriptor and where it lies now, free of links.
struct Held {
    std::shared_ptr<FileObject> object;
    SharedPath realPath;

    int fd() const { return object->fd(); }
    // The path by which the kernel reaches `entry` through the descriptor itself.
    std::string through(const std::string& entry) const {
        return "/proc/self/fd/" + std::to_string(fd()) + "/" + entry;
    }
};

bool heldDirectory(Handle directory, Held& held) {
    held.object = fileObjectOf(directory);
    if (!held.object || !held.object->isDirectory() || held.object->isLinkItself()) {
        return failWith(WinError::InvalidHandle);
    }
    if (!held.object->realPath().empty()) {
        held.realPath = held.object->realPath();
        return true;
    }
    char buffer[PATH_MAX];
    std::string link = "/proc/self/fd/" + std::to_string(held.fd());
    ssize_t size = ::readlink(link.c_str(), buffer, sizeof buffer);
    if (size <= 0 || static_cast<std::size_t>(size) >= sizeof buffer) {
        return failWithErrno();
    }
    held.realPath = std::string(buffer, static_cast<std::size_t>(size));
    held.object->setRealPath(held.realPath);
    return true;
}

// createFileAt of an existing entry for no data writes, as the walk opens objects by the
// thousand: opened first, never followed, and known by its descriptor, so that what was looked
// at is what is opened; the access check reads its descriptor through the handle. Nothing when
// the entry needs the general way (absent).
std::optional<Handle> openExistingAt(const Held& held, const std::wstring& name,
                                     std::uint32_t access, std::uint32_t shareMode,
                                     std::uint32_t flagsAndAttributes) {
    auto posixName = posixNameOf(name);
    if (!posixName || posixName->empty() || *posixName == "." || *posixName == ".." ||
        posixName->find('/') != std::string::npos) {
        failWith(WinError::InvalidName);
        return invalidHandle();
    }
    std::string entry = *posixName;
    constexpr int flags = O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;
    UniqueFd fd(::openat(held.fd(), entry.c_str(), flags));
    if (!fd && errno == ENOENT) {
        auto found = findNameNoCase(held.realPath.str(), name);
        if (!found) {
            return std::nullopt;
        }
        entry = *found;
        fd.reset(::openat(held.fd(), entry.c_str(), flags));
    }
    bool link = false;
    if (!fd && errno == ELOOP) {
        fd.reset(::openat(held.fd(), entry.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        link = true;
    }
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        failWithErrno();
        return invalidHandle();
    }
    bool directory = S_ISDIR(st.st_mode);
    bool backupSemantics = flagsAndAttributes & File::FlagBackupSemantics;
    if (directory && !backupSemantics) {
        failWith(WinError::AccessDenied);
        return invalidHandle();
    }
    if (!directory && !link && !S_ISREG(st.st_mode)) {
        failWith(WinError::NotSupported);
        return invalidHandle();
    }
    if (link) {
        struct stat target;
        directory = ::fstatat(held.fd(), entry.c_str(), &target, 0) == 0 && S_ISDIR(target.st_mode);
    } else if (grantsRead(access) && !directory) {
        // O_NONBLOCK only kept the open of a FIFO from waiting; a file's reads must not see it
        // (a directory is listed, never read).
        ::fcntl(fd.get(), F_SETFL, 0);
    }
    auto object = std::make_shared<FileObject>(std::move(fd), SharedPath(held.realPath, entry),
                                               access, directory, link);
    if (directory && !link) {
        object->markPathReal();  // neither it nor the directory it was opened in is a link
    }
    object->searched = held.object->listedDirectory;
    return registerOpened(std::move(object), st, access, shareMode, link, backupSemantics);
}

// The POSIX name of the entry `name` of the held directory: as written when it exists so or
// not at all, else the entry it names case-insensitively. False for a name that is no single
// component.
bool entryName(const Held& held, const std::wstring& name, std::string& entry, struct stat& st,
               bool& exists) {
    auto posix = posixNameOf(name);
    if (!posix || posix->empty() || *posix == "." || *posix == ".." ||
        posix->find('/') != std::string::npos) {
        return failWith(WinError::InvalidName);
    }
    entry = *posix;
    exists = ::fstatat(held.fd(), entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno == ENOENT) {
        if (auto found = findNameNoCase(held.realPath.str(), name)) {
            entry = *found;
            exists = ::fstatat(held.fd(), entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        }
    }
    if (!exists && errno != ENOENT) {
        return failWithErrno();
    }
    return true;
}

// The descriptor of an existing entry, opened by its kind as createFile opens it.
UniqueFd openEntry(const Held& held, const std::string& entry, const struct stat& st,
                   std::uint32_t access, std::uint32_t disposition, bool backupSemantics,
                   bool& directory) {
    directory = S_ISDIR(st.st_mode);
    if (S_ISLNK(st.st_mode)) {
        if (disposition == File::CreateAlways || disposition == File::TruncateExisting) {
            failWith(WinError::AccessDenied);
            return UniqueFd();
        }
        UniqueFd fd(::openat(held.fd(), entry.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!fd) {
            failWithErrno();
        }
        return fd;
    }
    if (directory) {
        if (!backupSemantics || disposition == File::CreateAlways ||
            disposition == File::TruncateExisting) {
            failWith(WinError::AccessDenied);
            return UniqueFd();
        }
        UniqueFd fd(::openat(held.fd(), entry.c_str(),
                             O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd) {
            failWithErrno();
        }
        return fd;
    }
    if (!S_ISREG(st.st_mode)) {
        failWith(WinError::NotSupported);
        return UniqueFd();
    }
    bool write = grantsWrite(access);
    bool truncate = disposition == File::CreateAlways || disposition == File::TruncateExisting;
    if ((write || truncate) && isReadOnly(st)) {
        failWith(WinError::AccessDenied);
        return UniqueFd();
    }
    if (disposition == File::TruncateExisting && !write) {
        failWith(WinError::InvalidParameter);
        return UniqueFd();
    }
    UniqueFd fd(::openat(held.fd(), entry.c_str(),
                         (write ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC |
                             (truncate ? O_TRUNC : 0)));
    if (!fd) {
        failWithErrno();
    } else {
        ::fcntl(fd.get(), F_SETFL, 0);
    }
    return fd;
}

// An entry of a held directory, looked up.
struct Entry {
    Held held;
    std::string name;  // its POSIX name
    struct stat st;
    bool exists = false;

    SharedPath posixPath() const { return SharedPath(held.realPath, name); }
};

// Every call that may change the held directory's entries looks them up here.
bool lookUp(Handle directory, const std::wstring& name, Entry& entry) {
    if (!heldDirectory(directory, entry.held)) {
        return false;
    }
    entry.held.object->entriesChanged();
    return entryName(entry.held, name, entry.name, entry.st, entry.exists);
}

}  // namespace

Handle createFileAt(Handle directory, const std::wstring& name, std::uint32_t access,
                    std::uint32_t shareMode, std::uint32_t disposition,
                    std::uint32_t flagsAndAttributes) {
    TAVREL_SEAM_CALL("CreateFileW(at)");
    if (disposition < File::CreateNew || disposition > File::TruncateExisting) {
        failWith(WinError::InvalidParameter);
        return invalidHandle();
    }
    if (disposition == File::OpenExisting && !grantsWrite(access)) {
        Held held;
        if (!heldDirectory(directory, held)) {
            return invalidHandle();
        }
        if (auto opened = openExistingAt(held, name, access, shareMode, flagsAndAttributes)) {
            return *opened;
        }
    }
    Entry found;
    if (!lookUp(directory, name, found)) {
        return invalidHandle();
    }
    const Held& held = found.held;
    const std::string& entry = found.name;
    const struct stat& st = found.st;
    bool exists = found.exists;
    SharedPath posix = found.posixPath();
    bool backupSemantics = flagsAndAttributes & File::FlagBackupSemantics;
    if (grantsWrite(access) || disposition != File::OpenExisting) {
        if (std::uint32_t fault = Faults::injected(Faults::Operation::CreateFile, posix)) {
            failWith(fault);
            return invalidHandle();
        }
    }
    UniqueFd fd;
    bool isDirectory = false;
    std::uint32_t granted = creatorAccess(access);
    std::uint32_t lastError = 0;
    if (exists) {
        if (disposition == File::CreateNew) {
            failWith(WinError::FileExists);
            return invalidHandle();
        }
        if (!checkOpenAccess(posix.str(), nullptr, S_ISLNK(st.st_mode), access, backupSemantics,
                             granted)) {
            return invalidHandle();
        }
        fd = openEntry(held, entry, st, access, disposition, backupSemantics, isDirectory);
        if (!fd) {
            return invalidHandle();
        }
        if (disposition == File::OpenAlways || disposition == File::CreateAlways) {
            lastError = WinError::AlreadyExists;
        }
    } else {
        if (disposition == File::OpenExisting || disposition == File::TruncateExisting) {
            failWith(WinError::FileNotFound);
            return invalidHandle();
        }
        std::uint32_t parentGranted = 0;
        if (!checkOpenAccess(held.realPath.str(), nullptr, false, File::WriteData, backupSemantics,
                             parentGranted)) {
            return invalidHandle();
        }
        mode_t mode = (flagsAndAttributes & FileAttribute::ReadOnly) ? 0444 : 0666;
        fd.reset(::openat(held.fd(), entry.c_str(),
                          (grantsWrite(access) ? O_RDWR : O_RDONLY) | O_CREAT | O_EXCL |
                              O_NOFOLLOW | O_CLOEXEC,
                          mode));
        if (!fd) {
            errno == EEXIST ? failWith(WinError::FileExists) : failWithErrno();
            return invalidHandle();
        }
        if (!writeDosAttributes(held.through(entry), false,
                                flagsAndAttributes | FileAttribute::Archive)) {
            std::uint32_t error = getLastError();
            fd.reset();
            ::unlinkat(held.fd(), entry.c_str(), 0);
            failWith(error);
            return invalidHandle();
        }
    }
    bool link = exists && S_ISLNK(st.st_mode);
    auto object = std::make_shared<FileObject>(std::move(fd), posix, access, isDirectory, link);
    object->setGrantedAccess(granted);
    if (exists) {
        object->holdUnlessShared(shareMode, st);
    }
    Handle handle = registerHandle(std::move(object));
    setLastError(lastError);
    return handle;
}

bool createDirectoryAt(Handle directory, const std::wstring& name) {
    TAVREL_SEAM_CALL("CreateDirectoryW(at)");
    Entry entry;
    if (!lookUp(directory, name, entry)) {
        return false;
    }
    if (std::uint32_t fault =
            Faults::injected(Faults::Operation::CreateDirectory, entry.posixPath())) {
        return failWith(fault);
    }
    if (entry.exists) {
        return failWith(WinError::AlreadyExists);
    }
    std::uint32_t granted = 0;
    if (!checkOpenAccess(entry.held.realPath.str(), nullptr, false, File::AppendData, false,
                         granted)) {
        return false;
    }
    if (::mkdirat(entry.held.fd(), entry.name.c_str(), 0777) != 0) {
        return errno == EEXIST ? failWith(WinError::AlreadyExists) : failWithErrno();
    }
    return true;
}

bool moveFileAt(Handle from, const std::wstring& name, Handle to, const std::wstring& newName,
                std::uint32_t flags) {
    TAVREL_SEAM_CALL("MoveFileExW(at)");
    Entry source;
    Entry target;
    if (!lookUp(from, name, source) || !lookUp(to, newName, target)) {
        return false;
    }
    if (std::uint32_t fault = Faults::injected(Faults::Operation::MoveFile, target.posixPath())) {
        return failWith(fault);
    }
    if (!source.exists) {
        return failWith(WinError::FileNotFound);
    }
    if (heldAgainstDelete(source.st)) {
        return failWith(WinError::SharingViolation);
    }
    unsigned mode = RENAME_NOREPLACE;
    if (target.exists) {
        if (!(flags & File::MoveFileReplaceExisting)) {
            return failWith(WinError::AlreadyExists);
        }
        if (S_ISDIR(target.st.st_mode) || S_ISDIR(source.st.st_mode) || isReadOnly(target.st)) {
            return failWith(WinError::AccessDenied);
        }
        mode = 0;
    }
    if (::renameat2(source.held.fd(), source.name.c_str(), target.held.fd(), target.name.c_str(),
                    mode) != 0) {
        return errno == EEXIST ? failWith(WinError::AlreadyExists) : failWithErrno();
    }
    if ((flags & File::MoveFileWriteThrough) && ::fsync(target.held.fd()) != 0) {
        return failWithErrno();
    }
    return true;
}

bool replaceFileAt(Handle directory, const std::wstring& replaced,
                   const std::wstring& replacement, std::uint32_t flags) {
    TAVREL_SEAM_CALL("ReplaceFileW(at)");
    Entry target;
    Entry source;
    if (!lookUp(directory, replaced, target) || !lookUp(directory, replacement, source)) {
        return false;
    }
    if (!target.exists || !source.exists) {
        return failWith(WinError::FileNotFound);
    }
    // The kernel reaches both entries through the held descriptor: no component of the
    // directory's path is walked again.
    return replacePosixFile(target.held.through(target.name), source.held.through(source.name),
                            flags);
}

bool deleteFileAt(Handle directory, const std::wstring& name) {
    TAVREL_SEAM_CALL("DeleteFileW(at)");
    Entry entry;
    if (!lookUp(directory, name, entry)) {
        return false;
    }
    if (!entry.exists) {
        return failWith(WinError::FileNotFound);
    }
    if (S_ISDIR(entry.st.st_mode) || isReadOnly(entry.st)) {
        return failWith(WinError::AccessDenied);
    }
    if (S_ISLNK(entry.st.st_mode)) {
        struct stat target;
        if (::fstatat(entry.held.fd(), entry.name.c_str(), &target, 0) == 0 &&
            S_ISDIR(target.st_mode)) {
            return failWith(WinError::AccessDenied);  // a directory link goes by RemoveDirectory
        }
    }
    return ::unlinkat(entry.held.fd(), entry.name.c_str(), 0) == 0 || failWithErrno();
}

}  // namespace Platform
