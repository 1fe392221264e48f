// Creating and opening the emulated host's files and directories (CreateFileW,
// CreateDirectoryW): the dispositions and their Windows errors, the access check of the
// object's DACL before anything is truncated, and the check of the parent's DACL before
// anything is created.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

// Windows creates an object in a directory only for a caller granted FILE_ADD_FILE (a file)
// or FILE_ADD_SUBDIRECTORY (a directory) on that directory.
bool mayCreateIn(const std::string& posix, bool directory, bool backupSemantics) {
    std::uint32_t right = directory ? File::AppendData : File::WriteData;
    std::uint32_t granted = 0;
    return checkOpenAccess(parentOf(posix), nullptr, false, right, backupSemantics, granted);
}

// An existing object opened without data rights (for its security, its attributes or a
// directory), the common case: the path as written is opened straight away, which costs one
// lookup when it exists as written, and the type is taken from the descriptor. Nothing when
// that does not settle it (a name to resolve case-insensitively, an object of another kind, a
// failure to report): the caller then goes the general way.
std::optional<Handle> openExistingAsWritten(const std::wstring& path, std::uint32_t access,
                                            std::uint32_t shareMode,
                                            std::uint32_t flagsAndAttributes) {
    std::string posix;
    if (!writtenPosixPath(path, posix)) {
        return std::nullopt;
    }
    bool linkItself = flagsAndAttributes & File::FlagOpenReparsePoint;
    bool backupSemantics = flagsAndAttributes & File::FlagBackupSemantics;
    int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (linkItself ? O_NOFOLLOW : 0);
    UniqueFd fd(::open(posix.c_str(), flags));
    bool link = false;
    bool directory = false;
    struct stat st;
    if (!fd && linkItself && errno == ELOOP) {
        // A link opened itself: a descriptor of the link, which carries no data.
        fd.reset(::open(posix.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return std::nullopt;
        }
        link = true;
        directory = isDirectory(posix);
    } else {
        if (!fd || ::fstat(fd.get(), &st) != 0) {
            return std::nullopt;
        }
        if (S_ISDIR(st.st_mode)) {
            if (!backupSemantics) {
                failWith(WinError::AccessDenied);
                return invalidHandle();
            }
            directory = true;
        } else if (!S_ISREG(st.st_mode)) {
            return std::nullopt;
        }
        // O_NONBLOCK only kept the open of a FIFO from waiting; the reads of a file opened for
        // its data must not see it.
        if (grantsRead(access)) {
            ::fcntl(fd.get(), F_SETFL, 0);
        }
    }
    std::size_t slash = posix.rfind('/');
    auto searched = searchHolding(parentOf(posix), posix.substr(slash + 1), st);
    auto object = std::make_shared<FileObject>(std::move(fd), posix, access, directory, link);
    object->searched = std::move(searched);
    return registerOpened(std::move(object), st, access, shareMode, linkItself, backupSemantics);
}

// What createFile was asked for, as each kind of object needs it.
struct Request {
    std::string posix;
    std::uint32_t access = 0;
    std::uint32_t disposition = 0;
    std::uint32_t flagsAndAttributes = 0;
    bool linkItself = false;
    bool backupSemantics = false;
    bool write = false;
    bool truncate = false;
    int dataFlags = 0;  // the open flags of the file's data
};

// The object an open reached, and of which kind.
struct Opened {
    UniqueFd fd;
    bool directory = false;
    bool link = false;
};

// A link opened itself: a descriptor of the link, which carries no data.
bool openLink(const Request& request, Opened& opened) {
    if (request.truncate) {
        return failWith(WinError::AccessDenied);
    }
    opened.link = true;
    opened.directory = isDirectory(request.posix);
    opened.fd.reset(::open(request.posix.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    return opened.fd || failWithErrno();
}

// A directory opens with backup semantics only, and is never truncated.
bool openDirectory(const Request& request, Opened& opened) {
    if (!request.backupSemantics || request.truncate) {
        return failWith(WinError::AccessDenied);
    }
    opened.directory = true;
    opened.fd.reset(::open(request.posix.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC |
                                                      (request.linkItself ? O_NOFOLLOW : 0)));
    return opened.fd || failWithErrno();
}

// An existing file, for its data: truncated and given the asked attributes when overwritten.
bool openFile(const Request& request, const struct stat& st, Opened& opened) {
    const std::string& posix = request.posix;
    std::uint32_t attributes = attributesOf(posix, st);
    bool hiddenOrSystem = attributes & (FileAttribute::Hidden | FileAttribute::System);
    bool askedHiddenOrSystem =
        request.flagsAndAttributes & (FileAttribute::Hidden | FileAttribute::System);
    if ((request.write || request.truncate) && isReadOnly(st)) {
        return failWith(WinError::AccessDenied);
    }
    if (request.disposition == File::TruncateExisting && !request.write) {
        return failWith(WinError::InvalidParameter);
    }
    // Overwriting keeps hidden and system files only when the caller says so.
    if (request.disposition == File::CreateAlways && hiddenOrSystem && !askedHiddenOrSystem) {
        return failWith(WinError::AccessDenied);
    }
    opened.fd.reset(::open(posix.c_str(), request.dataFlags | (request.truncate ? O_TRUNC : 0) |
                                              (request.linkItself ? O_NOFOLLOW : 0)));
    if (!opened.fd) {
        return failWithErrno();
    }
    return request.disposition != File::CreateAlways ||
           writeDosAttributes(posix, false, request.flagsAndAttributes | FileAttribute::Archive);
}

// The object found at the path, opened by its kind once its DACL allows the open.
bool openExisting(const Request& request, const struct stat& st, Opened& opened,
                  std::uint32_t& granted, std::uint32_t& lastError) {
    if (request.disposition == File::CreateNew) {
        return failWith(WinError::FileExists);
    }
    // The object's DACL decides the open, before anything is truncated.
    if (!checkOpenAccess(request.posix, nullptr, request.linkItself, request.access,
                         request.backupSemantics, granted)) {
        return false;
    }
    lastError = request.disposition == File::OpenAlways || request.disposition == File::CreateAlways
                    ? WinError::AlreadyExists
                    : 0;
    if (S_ISLNK(st.st_mode)) {
        return openLink(request, opened);
    }
    if (S_ISDIR(st.st_mode)) {
        return openDirectory(request, opened);
    }
    if (!S_ISREG(st.st_mode)) {
        // A FIFO would block the open and a device would feed a read without end: neither is
        // a file of a Windows volume.
        return failWith(WinError::NotSupported);
    }
    return openFile(request, st, opened);
}

enum class Creation { Created, Failed, Raced };

// A new file, created exclusively with the asked attributes. Raced: a file appeared since the
// look, to be opened as an existing one.
Creation createNew(const Request& request, Opened& opened) {
    const std::string& posix = request.posix;
    if (request.disposition == File::OpenExisting ||
        request.disposition == File::TruncateExisting) {
        failForPath(posix);
        return Creation::Failed;
    }
    if (isDirectory(parentOf(posix)) && !mayCreateIn(posix, false, request.backupSemantics)) {
        return Creation::Failed;
    }
    mode_t mode = (request.flagsAndAttributes & FileAttribute::ReadOnly) ? 0444 : 0666;
    opened.fd.reset(::open(posix.c_str(), request.dataFlags | O_CREAT | O_EXCL, mode));
    if (!opened.fd && errno == EEXIST) {
        struct stat link;
        if (::lstat(posix.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
            failWith(WinError::FileNotFound);  // a link to nothing
            return Creation::Failed;
        }
        return Creation::Raced;
    }
    if (!opened.fd) {
        errno == ENOENT ? failWith(WinError::PathNotFound) : failWithErrno();
        return Creation::Failed;
    }
    if (!writeDosAttributes(posix, false, request.flagsAndAttributes | FileAttribute::Archive)) {
        std::uint32_t error = getLastError();
        opened.fd.reset();
        ::unlink(posix.c_str());
        failWith(error);
        return Creation::Failed;
    }
    return Creation::Created;
}

}  // namespace

Handle createFile(const std::wstring& path, std::uint32_t access, std::uint32_t shareMode,
                  std::uint32_t disposition, std::uint32_t flagsAndAttributes) {
    TAVREL_SEAM_CALL("CreateFileW");
    if (disposition < File::CreateNew || disposition > File::TruncateExisting) {
        failWith(WinError::InvalidParameter);
        return invalidHandle();
    }
    if (disposition == File::OpenExisting && !grantsWrite(access)) {
        if (auto handle = openExistingAsWritten(path, access, shareMode, flagsAndAttributes)) {
            return *handle;
        }
    }
    Request request;
    if (!windowsToPosix(path, request.posix)) {
        return invalidHandle();
    }
    const std::string& posix = request.posix;
    request.access = access;
    request.disposition = disposition;
    request.flagsAndAttributes = flagsAndAttributes;
    request.linkItself = flagsAndAttributes & File::FlagOpenReparsePoint;
    request.backupSemantics = flagsAndAttributes & File::FlagBackupSemantics;
    request.write = grantsWrite(access);
    bool appendOnly = (access & File::AppendData) &&
                      !(access & (File::WriteData | File::GenericWrite | File::GenericAll));
    request.dataFlags =
        (request.write ? O_RDWR : O_RDONLY) | (appendOnly ? O_APPEND : 0) | O_CLOEXEC;
    request.truncate = disposition == File::CreateAlways || disposition == File::TruncateExisting;
    if (request.write || disposition != File::OpenExisting) {
        if (std::uint32_t fault = Faults::injected(Faults::Operation::CreateFile, posix)) {
            failWith(fault);
            return invalidHandle();
        }
    }
    // Twice at most: a file that appears between the look and the exclusive create is then
    // opened as an existing one.
    for (int attempt = 0; attempt < 2; ++attempt) {
        struct stat st;
        int found = request.linkItself ? ::lstat(posix.c_str(), &st) : ::stat(posix.c_str(), &st);
        Opened opened;
        std::uint32_t lastError = 0;
        std::uint32_t granted = creatorAccess(access);
        if (found == 0) {
            if (!openExisting(request, st, opened, granted, lastError)) {
                return invalidHandle();
            }
        } else if (errno == ENOENT) {
            Creation creation = createNew(request, opened);
            if (creation == Creation::Raced) {
                continue;
            }
            if (creation == Creation::Failed) {
                return invalidHandle();
            }
        } else {
            errno == ENOTDIR ? failWith(WinError::PathNotFound) : failWithErrno();
            return invalidHandle();
        }
        auto object = std::make_shared<FileObject>(std::move(opened.fd), posix, access,
                                                   opened.directory, opened.link);
        object->setGrantedAccess(granted);
        struct stat held;
        if (opened.directory && !opened.link && ::fstat(object->fd(), &held) == 0) {
            object->holdUnlessShared(shareMode, held);
        }
        Handle handle = registerHandle(std::move(object));
        setLastError(lastError);
        return handle;
    }
    failWith(WinError::SharingViolation);
    return invalidHandle();
}

bool createDirectory(const std::wstring& path) {
    TAVREL_SEAM_CALL("CreateDirectoryW");
    std::string posix;
    if (!windowsToPosix(path, posix)) {
        return false;
    }
    if (std::uint32_t fault = Faults::injected(Faults::Operation::CreateDirectory, posix)) {
        return failWith(fault);
    }
    struct stat st;
    if (::lstat(posix.c_str(), &st) == 0) {
        return failWith(WinError::AlreadyExists);
    }
    if (isDirectory(parentOf(posix)) && !mayCreateIn(posix, true, false)) {
        return false;
    }
    if (::mkdir(posix.c_str(), 0777) != 0) {
        return errno == ENOENT ? failWith(WinError::PathNotFound) : failWithErrno();
    }
    return true;
}

}  // namespace Platform
