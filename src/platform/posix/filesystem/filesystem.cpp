// The file system of the emulated host: Windows paths through the drive links, links as
// reparse points, and the Windows error codes of each call. Here: the calls on an open file's
// data and information, copying, moving, replacing and deleting, and the path calls. The DOS
// attributes (dos_attributes.cpp), the directory searches (directory_search.cpp) and the
// creation of files and directories (create_file.cpp) have their own units.
#include "platform/filesystem.h"

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <vector>

#include "platform/posix/faults/faults.h"
#include "platform/posix/filesystem/filehandle.h"
#include "platform/posix/filesystem/filesystem_internal.h"
#include "platform/posix/filesystem/pathmap.h"
#include "platform/posix/filesystem/posix_path.h"
#include "platform/posix/host/errors.h"
#include "platform/posix/host/handles.h"
#include "platform/posix/host/seam_count.h"
#include "platform/posix/security/object_security.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/unique.h"

namespace Platform {

namespace Posix {

std::shared_ptr<FileObject> fileObjectOf(Handle handle) {
    auto object = lookupHandle<FileObject>(handle);
    if (!object) {
        setLastError(WinError::InvalidHandle);
    }
    return object;
}

namespace {

std::mutex heldLock;
std::map<std::pair<dev_t, ino_t>, int>& heldDirectories() {
    static std::map<std::pair<dev_t, ino_t>, int> held;
    return held;
}

}  // namespace

void holdAgainstDelete(dev_t device, ino_t inode) {
    std::lock_guard guard(heldLock);
    ++heldDirectories()[{device, inode}];
}

void releaseAgainstDelete(dev_t device, ino_t inode) {
    std::lock_guard guard(heldLock);
    auto it = heldDirectories().find({device, inode});
    if (it != heldDirectories().end() && --it->second == 0) {
        heldDirectories().erase(it);
    }
}

bool heldAgainstDelete(const struct stat& st) {
    if (!S_ISDIR(st.st_mode)) {
        return false;
    }
    std::lock_guard guard(heldLock);
    return heldDirectories().contains({st.st_dev, st.st_ino});
}

bool renameUnlessHeld(const std::string& from, const std::string& to) {
    struct stat st;
    if (::lstat(from.c_str(), &st) == 0 && heldAgainstDelete(st)) {
        return failWith(WinError::SharingViolation);
    }
    return ::rename(from.c_str(), to.c_str()) == 0 || failWithErrno();
}

Handle registerOpened(std::shared_ptr<FileObject> object, const struct stat& st,
                      std::uint32_t access, std::uint32_t shareMode, bool linkItself,
                      bool backupSemantics) {
    object->holdUnlessShared(shareMode, st);
    // The walk opens objects by the thousand for their security alone, and lists directories:
    // what the open's fstat saw answers the questions asked of such a handle, without a second
    // call. A handle that reads or writes a file's data would see its own doing missed; a
    // directory's entries made through the handle end the answers (entriesChanged).
    object->setOpenedStat(st, !grantsRead(access) || object->isDirectory());
    std::uint32_t granted = 0;
    // The check reads the object's descriptor through the handle: no path is needed.
    if (!checkOpenAccess(std::string(), object.get(), linkItself, access, backupSemantics,
                         granted)) {
        return invalidHandle();
    }
    object->setGrantedAccess(granted);
    Handle handle = registerHandle(std::move(object));
    setLastError(WinError::Success);
    return handle;
}

UniqueFd FileObject::descriptorForListing() {
    if (fd_) {
        return std::move(fd_);
    }
    return UniqueFd(::fcntl(fd(), F_DUPFD_CLOEXEC, 0));
}

int fileDescriptorOf(Handle handle) {
    auto object = fileObjectOf(handle);
    return object ? object->fd() : -1;
}

bool isDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Windows tells a missing file (ERROR_FILE_NOT_FOUND) from a missing directory on the way
// (ERROR_PATH_NOT_FOUND); POSIX says ENOENT for both.
bool failForPath(const std::string& path) {
    if (errno == ENOENT) {
        return failWith(isDirectory(parentOf(path)) ? WinError::FileNotFound
                                                    : WinError::PathNotFound);
    }
    return failWithErrno();
}

bool lstatWindowsPath(const std::wstring& path, std::string& posix, struct stat& st) {
    if (!windowsToPosix(path, posix)) {
        return false;
    }
    return ::lstat(posix.c_str(), &st) == 0 || failForPath(posix);
}

std::uint64_t fileTime(const struct timespec& time) {
    constexpr std::uint64_t secondsFrom1601To1970 = 11644473600ull;
    return (static_cast<std::uint64_t>(time.tv_sec) + secondsFrom1601To1970) * 10000000ull +
           static_cast<std::uint64_t>(time.tv_nsec) / 100;
}

// POSIX keeps no creation time in stat; the earlier of change and modification is closest.
std::uint64_t creationTimeOf(const struct stat& st) {
    return fileTime(st.st_ctim.tv_sec < st.st_mtim.tv_sec ? st.st_ctim : st.st_mtim);
}

bool grantsRead(std::uint32_t access) {
    return access & (File::GenericRead | File::GenericAll | File::ReadData);
}

bool grantsWrite(std::uint32_t access) {
    return access & (File::GenericWrite | File::GenericAll | File::WriteData | File::AppendData);
}

bool hasDrive(std::wstring_view path) {
    return path.size() >= 2 && path[1] == L':' &&
           ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'));
}

const ListedEntry* listedEntryOf(const FileObject& object, const struct stat& st) {
    if (!object.searched) {
        return nullptr;
    }
    return object.searched->unchanged(std::string(object.sharedPath().name()), st);
}

}  // namespace Posix

namespace {

using namespace Posix;

constexpr std::uint32_t errorNegativeSeek = 131;

// The data descriptor of a handle: a regular file opened for the wanted access.
std::shared_ptr<FileObject> dataFile(Handle handle, bool write) {
    auto file = fileObjectOf(handle);
    if (!file) {
        return nullptr;
    }
    if (file->isDirectory() || file->isLinkItself()) {
        setLastError(WinError::InvalidFunction);
        return nullptr;
    }
    if (!(write ? grantsWrite(file->access()) : grantsRead(file->access()))) {
        setLastError(WinError::AccessDenied);
        return nullptr;
    }
    return file;
}

// The last component of a Windows path as written.
std::wstring lastWindowsComponent(const std::wstring& path) {
    std::size_t end = path.find_last_not_of(L"\\/");
    if (end == std::wstring::npos) {
        return std::wstring();
    }
    std::size_t start = path.find_last_of(L"\\/", end);
    return path.substr(start == std::wstring::npos ? 0 : start + 1,
                       end - (start == std::wstring::npos ? 0 : start + 1) + 1);
}

}  // namespace

bool removeDirectory(const std::wstring& path) {
    TAVREL_SEAM_CALL("RemoveDirectoryW");
    std::string posix;
    struct stat st;
    if (!lstatWindowsPath(path, posix, st)) {
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        if (!isDirectory(posix)) {
            return failWith(WinError::Directory);
        }
        return ::unlink(posix.c_str()) == 0 || failWithErrno();
    }
    if (!S_ISDIR(st.st_mode)) {
        return failWith(WinError::Directory);
    }
    if (heldAgainstDelete(st)) {
        return failWith(WinError::SharingViolation);
    }
    if (isReadOnly(st)) {
        return failWith(WinError::AccessDenied);
    }
    if (::rmdir(posix.c_str()) != 0) {
        return errno == EEXIST ? failWith(WinError::DirNotEmpty) : failWithErrno();
    }
    return true;
}

bool readFile(Handle file, void* buffer, std::uint32_t toRead, std::uint32_t* read) {
    TAVREL_SEAM_CALL("ReadFile");
    if (read) {
        *read = 0;
    }
    auto object = dataFile(file, false);
    if (!object) {
        return false;
    }
    std::uint32_t done = 0;
    while (done < toRead) {
        ssize_t n = ::read(object->fd(), static_cast<char*>(buffer) + done, toRead - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return failWithErrno();
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::uint32_t>(n);
    }
    if (read) {
        *read = done;
    }
    return true;
}

bool writeFile(Handle file, const void* buffer, std::uint32_t toWrite, std::uint32_t* written) {
    TAVREL_SEAM_CALL("WriteFile");
    if (written) {
        *written = 0;
    }
    auto object = dataFile(file, true);
    if (!object) {
        return false;
    }
    if (std::uint32_t fault = Faults::injected(Faults::Operation::WriteFile, object->sharedPath())) {
        return failWith(fault);
    }
    std::uint32_t done = 0;
    while (done < toWrite) {
        ssize_t n = ::write(object->fd(), static_cast<const char*>(buffer) + done, toWrite - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            if (written) {
                *written = done;
            }
            return failWithErrno();
        }
        done += static_cast<std::uint32_t>(n);
    }
    if (written) {
        *written = done;
    }
    return true;
}

bool setFilePointerEx(Handle file, std::int64_t distance, std::int64_t* newPosition,
                      std::uint32_t moveMethod) {
    TAVREL_SEAM_CALL("SetFilePointerEx");
    auto object = fileObjectOf(file);
    if (!object) {
        return false;
    }
    int whence = moveMethod == File::Begin     ? SEEK_SET
                 : moveMethod == File::Current ? SEEK_CUR
                 : moveMethod == File::End     ? SEEK_END
                                               : -1;
    if (whence < 0) {
        return failWith(WinError::InvalidParameter);
    }
    off_t position = ::lseek(object->fd(), static_cast<off_t>(distance), whence);
    if (position < 0) {
        return errno == EINVAL ? failWith(errorNegativeSeek) : failWithErrno();
    }
    if (newPosition) {
        *newPosition = position;
    }
    return true;
}

bool getFileSizeEx(Handle file, std::int64_t& size) {
    TAVREL_SEAM_CALL("GetFileSizeEx");
    auto object = fileObjectOf(file);
    if (!object) {
        return false;
    }
    struct stat st;
    if (::fstat(object->fd(), &st) != 0) {
        return failWithErrno();
    }
    size = S_ISREG(st.st_mode) ? st.st_size : 0;
    return true;
}

bool getFileInformationByHandle(Handle file, ByHandleFileInformation& information) {
    TAVREL_SEAM_CALL("GetFileInformationByHandle");
    auto object = fileObjectOf(file);
    if (!object) {
        return false;
    }
    if (!(object->grantedAccess() & File::ReadAttributes)) {
        return failWith(WinError::AccessDenied);
    }
    struct stat now;
    const struct stat* st = object->openedStat();
    if (!st) {
        if (::fstat(object->fd(), &now) != 0) {
            return failWithErrno();
        }
        st = &now;
    }
    std::uint32_t attributes = 0;
    if (object->isLinkItself()) {
        // An O_PATH descriptor reads no xattrs; a link has none of its own anyway.
        attributes = FileAttribute::ReparsePoint |
                     (object->isDirectory() ? FileAttribute::Directory : FileAttribute::Archive);
    } else if (const ListedEntry* listed = listedEntryOf(*object, *st)) {
        attributes = listed->attributes;  // what the search read of it, and nothing changed since
    } else {
        char value[256];
        ssize_t size = ::fgetxattr(object->fd(), dosAttributeXattr, value, sizeof(value) - 1);
        attributes = attributesOfStored(*st, parseDosAttributes(value, size));
    }
    information.attributes = attributes;
    information.creationTime = creationTimeOf(*st);
    information.lastAccessTime = fileTime(st->st_atim);
    information.lastWriteTime = fileTime(st->st_mtim);
    auto device = static_cast<std::uint64_t>(st->st_dev);
    information.volumeSerialNumber = static_cast<std::uint32_t>(device ^ (device >> 32));
    information.size = S_ISREG(st->st_mode) ? static_cast<std::uint64_t>(st->st_size) : 0;
    // NTFS gives a directory no second name; the POSIX count of a directory counts its
    // subdirectories' "..".
    information.numberOfLinks = S_ISDIR(st->st_mode) ? 1 : static_cast<std::uint32_t>(st->st_nlink);
    information.fileIndex = static_cast<std::uint64_t>(st->st_ino);
    return true;
}

bool flushFileBuffers(Handle file) {
    TAVREL_SEAM_CALL("FlushFileBuffers");
    auto object = dataFile(file, true);
    if (!object) {
        return false;
    }
    if (std::uint32_t fault = Faults::injected(Faults::Operation::FlushFile, object->sharedPath())) {
        return failWith(fault);
    }
    return ::fsync(object->fd()) == 0 || failWithErrno();
}

bool setEndOfFile(Handle file) {
    TAVREL_SEAM_CALL("SetEndOfFile");
    auto object = dataFile(file, true);
    if (!object) {
        return false;
    }
    off_t position = ::lseek(object->fd(), 0, SEEK_CUR);
    if (position < 0 || ::ftruncate(object->fd(), position) != 0) {
        return failWithErrno();
    }
    return true;
}

bool setFileTime(Handle file, const std::uint64_t* /*creationTime*/,
                 const std::uint64_t* lastAccessTime, const std::uint64_t* lastWriteTime) {
    TAVREL_SEAM_CALL("SetFileTime");
    auto object = dataFile(file, true);
    if (!object) {
        return false;
    }
    auto asTimespec = [](const std::uint64_t* time) {
        constexpr std::uint64_t secondsFrom1601To1970 = 11644473600ull;
        if (!time) {
            return timespec{0, UTIME_OMIT};
        }
        std::uint64_t seconds = *time / 10000000ull;
        return timespec{static_cast<time_t>(seconds - secondsFrom1601To1970),
                        static_cast<long>(*time % 10000000ull * 100)};
    };
    const timespec times[2] = {asTimespec(lastAccessTime), asTimespec(lastWriteTime)};
    return ::futimens(object->fd(), times) == 0 || failWithErrno();
}
namespace {

// Copies what is left to read of `in` to `out`; false with errno set.
bool copyData(int in, int out) {
    std::vector<char> buffer(1 << 16);
    while (true) {
        ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            return true;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::write(out, buffer.data() + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR) {
                continue;
            }
            if (w < 0) {
                return false;
            }
            done += w;
        }
    }
}

}  // namespace

bool copyFile(const std::wstring& existing, const std::wstring& newFile, bool failIfExists) {
    TAVREL_SEAM_CALL("CopyFileW");
    std::string source;
    std::string target;
    if (!windowsToPosix(existing, source) || !windowsToPosix(newFile, target)) {
        return false;
    }
    struct stat sourceStat;
    if (::stat(source.c_str(), &sourceStat) != 0) {
        return failForPath(source);
    }
    if (S_ISDIR(sourceStat.st_mode)) {
        return failWith(WinError::AccessDenied);
    }
    if (!S_ISREG(sourceStat.st_mode)) {
        return failWith(WinError::NotSupported);  // a FIFO or a device, as createFile says
    }
    struct stat targetStat;
    bool targetExists = ::stat(target.c_str(), &targetStat) == 0;
    if (targetExists) {
        if (targetStat.st_dev == sourceStat.st_dev && targetStat.st_ino == sourceStat.st_ino) {
            return failWith(WinError::SharingViolation);
        }
        if (failIfExists) {
            return failWith(WinError::FileExists);
        }
        std::uint32_t attributes = attributesOf(target, targetStat);
        if (S_ISDIR(targetStat.st_mode) ||
            (attributes & (FileAttribute::ReadOnly | FileAttribute::Hidden))) {
            return failWith(WinError::AccessDenied);
        }
    }
    UniqueFd in(::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!in) {
        return failWithErrno();
    }
    UniqueFd out(::open(target.c_str(),
                        O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | (failIfExists ? O_EXCL : 0),
                        0666));
    if (!out) {
        if (errno == EEXIST) {
            return failWith(WinError::FileExists);
        }
        return errno == ENOENT ? failWith(WinError::PathNotFound) : failWithErrno();
    }
    auto abandon = [&]() {
        int error = errno;
        out.reset();
        if (!targetExists) {
            ::unlink(target.c_str());
        }
        errno = error;
        return failWithErrno();
    };
    if (!copyData(in.get(), out.get())) {
        return abandon();
    }
    // The copy carries the source's attributes and last write time, as CopyFile does.
    char stored[256];
    ssize_t storedSize = ::fgetxattr(in.get(), dosAttributeXattr, stored, sizeof(stored));
    if (storedSize > 0) {
        ::fsetxattr(out.get(), dosAttributeXattr, stored, static_cast<std::size_t>(storedSize), 0);
    } else {
        ::fremovexattr(out.get(), dosAttributeXattr);
    }
    struct timespec times[2] = {sourceStat.st_atim, sourceStat.st_mtim};
    if (::futimens(out.get(), times) != 0 || ::fchmod(out.get(), sourceStat.st_mode & 07777) != 0) {
        return abandon();
    }
    return true;
}

namespace {

// Forces the directory entry of `path` to the disk: a rename is durable only then.
bool syncParent(const std::string& path) {
    UniqueFd parent(::open(parentOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return parent && ::fsync(parent.get()) == 0;
}

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

}  // namespace

bool moveFileEx(const std::wstring& existing, const std::wstring& newFile, std::uint32_t flags) {
    TAVREL_SEAM_CALL("MoveFileExW");
    std::string source;
    std::string target;
    if (!windowsToPosix(existing, source) || !windowsToPosix(newFile, target)) {
        return false;
    }
    if (std::uint32_t fault = Faults::injected(Faults::Operation::MoveFile, target)) {
        return failWith(fault);
    }
    struct stat sourceStat;
    if (::lstat(source.c_str(), &sourceStat) != 0) {
        return failForPath(source);
    }
    if (heldAgainstDelete(sourceStat)) {
        return failWith(WinError::SharingViolation);
    }
    struct stat targetStat;
    if (::lstat(target.c_str(), &targetStat) == 0) {
        if (targetStat.st_dev == sourceStat.st_dev && targetStat.st_ino == sourceStat.st_ino) {
            // The target names the source itself: at most the case of the name changes.
            auto newName = posixNameOf(lastWindowsComponent(newFile));
            if (!newName) {
                return failWith(WinError::InvalidName);
            }
            std::string renamed = joinPosix(parentOf(target), *newName);
            if (renamed != source && ::rename(source.c_str(), renamed.c_str()) != 0) {
                return failWithErrno();
            }
            return true;
        }
        if (!(flags & File::MoveFileReplaceExisting)) {
            return failWith(WinError::AlreadyExists);
        }
        if (S_ISDIR(targetStat.st_mode) || S_ISDIR(sourceStat.st_mode) || isReadOnly(targetStat)) {
            return failWith(WinError::AccessDenied);
        }
        if (::rename(source.c_str(), target.c_str()) != 0) {
            return failWithErrno();
        }
    } else {
        int result =
            ::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
        if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
            result = ::rename(source.c_str(), target.c_str());  // no RENAME_NOREPLACE here
        }
        if (result != 0) {
            if (errno == EEXIST) {
                return failWith(WinError::AlreadyExists);
            }
            return errno == ENOENT ? failWith(WinError::PathNotFound) : failWithErrno();
        }
    }
    if (S_ISDIR(sourceStat.st_mode)) {
        noteDirectoryMoved(target);  // what the moved subtree inherits has changed
    }
    if ((flags & File::MoveFileWriteThrough) && !syncParent(target)) {
        return failWithErrno();
    }
    return true;
}

// ReplaceFileW: the new version takes the old one's place and keeps what belongs to the place
// rather than to the content: the security descriptor, the DOS attributes, the mode and the
// owner. A save through it never resets hand-set security of the file it replaces.
bool replaceFile(const std::wstring& replaced, const std::wstring& replacement,
                 std::uint32_t flags) {
    TAVREL_SEAM_CALL("ReplaceFileW");
    std::string target;
    std::string source;
    if (!windowsToPosix(replaced, target) || !windowsToPosix(replacement, source)) {
        return false;
    }
    return Posix::replacePosixFile(target, source, flags);
}

}  // namespace Platform

namespace Platform::Posix {

bool replacePosixFile(const std::string& target, const std::string& source, std::uint32_t flags) {
    if (std::uint32_t fault = Faults::injected(Faults::Operation::ReplaceFile, target)) {
        return failWith(fault);
    }
    struct stat targetStat;
    if (::lstat(target.c_str(), &targetStat) != 0) {
        return failWithErrno();
    }
    struct stat sourceStat;
    if (::lstat(source.c_str(), &sourceStat) != 0) {
        return failWithErrno();
    }
    // A device, a pipe, a link or a folder under the name is not a file to replace: it stays.
    if (!S_ISREG(targetStat.st_mode) || !S_ISREG(sourceStat.st_mode)) {
        return failWith(WinError::UnableToRemoveReplaced);
    }
    // A read-only file is not replaced, as it is not deleted.
    if (isReadOnly(targetStat)) {
        return failWith(WinError::AccessDenied);
    }
    if (!copyXattr(target, source, SecurityDescriptorXattr) ||
        !copyXattr(target, source, dosAttributeXattr) ||
        ::chmod(source.c_str(), targetStat.st_mode & 07777) != 0) {
        return failWithErrno();
    }
    // Only a privileged process can give the file away; any other keeps its own ownership.
    if (::lchown(source.c_str(), targetStat.st_uid, targetStat.st_gid) != 0 && errno != EPERM) {
        return failWithErrno();
    }
    if (::rename(source.c_str(), target.c_str()) != 0) {
        return failWith(WinError::UnableToMoveReplacement);
    }
    if ((flags & ReplaceFileWriteThrough) && !syncParent(target)) {
        return failWithErrno();
    }
    return true;
}

}  // namespace Platform::Posix

namespace Platform {

bool deleteFile(const std::wstring& path) {
    TAVREL_SEAM_CALL("DeleteFileW");
    std::string posix;
    struct stat st;
    if (!lstatWindowsPath(path, posix, st)) {
        return false;
    }
    bool directoryLink = S_ISLNK(st.st_mode) && isDirectory(posix);
    if (S_ISDIR(st.st_mode) || directoryLink || isReadOnly(st)) {
        return failWith(WinError::AccessDenied);
    }
    return ::unlink(posix.c_str()) == 0 || failWithErrno();
}

}  // namespace Platform
