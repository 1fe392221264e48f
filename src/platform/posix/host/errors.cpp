#include "platform/posix/host/errors.h"

#include <cerrno>

#include "platform/types.h"

namespace Platform::Posix {

std::uint32_t winErrorFromErrno(int error) {
    switch (error) {
        case 0:
            return WinError::Success;
        case ENOENT:
            return WinError::FileNotFound;
        case ENOTDIR:
            return WinError::PathNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
            return WinError::AccessDenied;
        case EBADF:
            return WinError::InvalidHandle;
        case ENOMEM:
            return WinError::NotEnoughMemory;
        case EEXIST:
            return WinError::AlreadyExists;
        case ENOTEMPTY:
            return WinError::DirNotEmpty;
        case EISDIR:
            return WinError::AccessDenied;
        case EBUSY:
        case ETXTBSY:
            return WinError::SharingViolation;
        case EFBIG:  // beyond the process's file-size limit: the disk is full as far as it knows
        case ENOSPC:
        case EDQUOT:
            return WinError::DiskFull;
        case ENAMETOOLONG:
            return WinError::FilenameExcedRange;
        case ELOOP:
            return WinError::CantResolveFilename;
        case EXDEV:
            return WinError::NotSameDevice;
        case EINVAL:
            return WinError::InvalidParameter;
        case ENOTSUP:
            return WinError::NotSupported;
        case E2BIG:
        case ERANGE:
            return WinError::InsufficientBuffer;
        case EMFILE:
        case ENFILE:
            return 4;  // ERROR_TOO_MANY_OPEN_FILES
        case EIO:
            return 1117;  // ERROR_IO_DEVICE
        default:
            return WinError::InvalidFunction;
    }
}

bool failWithErrno() {
    setLastError(winErrorFromErrno(errno));
    return false;
}

bool failWith(std::uint32_t code) {
    setLastError(code);
    return false;
}

}  // namespace Platform::Posix
