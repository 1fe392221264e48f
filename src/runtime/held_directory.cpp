#include "runtime/held_directory.h"

#include <vector>

#include "platform/filesystem.h"
#include "platform/system.h"
#include "runtime/exceptions.h"
#include "runtime/filename.h"
#include "runtime/format.h"

namespace {

constexpr const char* openFunction = "HeldDirectory::open";
// Enough to list a directory and to open names in it; no delete sharing, so that on Windows the
// directory cannot be renamed or removed while it is held.
constexpr std::uint32_t directoryAccess = Platform::File::ReadData | Platform::File::ReadAttributes;
constexpr std::uint32_t directoryShare = Platform::File::ShareRead | Platform::File::ShareWrite;

[[noreturn]] void refuseFolder(const std::wstring& path) {
    throw vexception(formatString(L"The folder %s is a link, another reparse point or a file; "
                                  L"nothing is written through it",
                                  path),
                     VSITE(openFunction));
}

bool isMissing(std::uint32_t error) {
    return error == Platform::WinError::FileNotFound || error == Platform::WinError::PathNotFound;
}

// Whether the folder `shown` that `handle` was to open is missing; an open that failed for
// another reason raises its error.
bool missingFolder(const Platform::UniqueHandle& handle, const std::wstring& shown) {
    if (handle) {
        return false;
    }
    std::uint32_t error = Platform::getLastError();
    if (isMissing(error)) {
        return true;
    }
    throwOsError(formatString(L"CreateFile(%s)", shown), error, VSITE(openFunction));
}

// Whether the opened object is a plain directory.
bool isPlainDirectory(Platform::Handle handle) {
    Platform::ByHandleFileInformation information;
    if (!Platform::getFileInformationByHandle(handle, information)) {
        return false;
    }
    return (information.attributes & Platform::FileAttribute::Directory) &&
           !(information.attributes & Platform::FileAttribute::ReparsePoint);
}

// The drive or share root of a full path ("C:\", "\\server\share\") and the names below it.
std::wstring splitRoot(const std::wstring& path, std::vector<std::wstring>& names) {
    names = splitPathComponents(path);
    bool unc = path.starts_with(L"\\\\");
    std::size_t rootNames = unc ? 2 : 1;
    if (names.size() < rootNames || (!unc && (names[0].size() != 2 || names[0][1] != L':'))) {
        throw vexception(formatString(L"The folder %s is not a full path", path),
                         VSITE(openFunction));
    }
    std::wstring root = unc ? L"\\\\" + names[0] + L"\\" + names[1] + L"\\" : names[0] + L"\\";
    names.erase(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(rootNames));
    return root;
}

}  // namespace

std::optional<HeldDirectory> HeldDirectory::openExisting(const std::wstring& path) {
    return _open(path, false);
}

std::optional<HeldDirectory> HeldDirectory::_open(const std::wstring& path, bool create) {
    std::wstring shown = trimTrailingSeparators(stripLongPrefix(normalizePath(path)));
    std::vector<std::wstring> names;
    std::wstring root = splitRoot(shown, names);
    Platform::UniqueHandle handle(Platform::createFile(toLongPath(root), directoryAccess,
                                                       directoryShare | Platform::File::ShareDelete,
                                                       Platform::File::OpenExisting,
                                                       Platform::File::FlagBackupSemantics));
    if (missingFolder(handle, root)) {
        return std::nullopt;
    }
    HeldDirectory current(trimTrailingSeparators(root), std::move(handle));
    for (const std::wstring& name : names) {
        std::optional<HeldDirectory> next = current.existingChild(name);
        if (!next && !create) {
            return std::nullopt;
        }
        if (!next) {
            next = current.child(name, true);
        }
        current = std::move(*next);
    }
    current.path_ = shown;
    return current;
}

HeldDirectory HeldDirectory::open(const std::wstring& path, bool create) {
    std::optional<HeldDirectory> held = _open(path, create);
    if (!held) {
        throwOsError(formatString(L"CreateFile(%s)", stripLongPrefix(path)),
                     Platform::WinError::PathNotFound, VSITE(openFunction));
    }
    return std::move(*held);
}

HeldDirectory HeldDirectory::openNamed(const std::wstring& path) {
    std::wstring shown = trimTrailingSeparators(stripLongPrefix(normalizePath(path)));
    Platform::UniqueHandle handle(Platform::createFile(toLongPath(shown), directoryAccess,
                                                       directoryShare, Platform::File::OpenExisting,
                                                       Platform::File::FlagBackupSemantics));
    if (!handle) {
        throwOsError(formatString(L"CreateFile(%s)", shown), Platform::getLastError(),
                     VSITE("HeldDirectory::openNamed"));
    }
    if (!isPlainDirectory(handle.get())) {
        refuseFolder(shown);
    }
    return HeldDirectory(shown, std::move(handle));
}

std::wstring HeldDirectory::pathOf(const std::wstring& name) const {
    return VFileName::combine(path_, name);
}

std::optional<HeldDirectory> HeldDirectory::existingChild(const std::wstring& name) const {
    Platform::UniqueHandle handle(Platform::createFileAt(handle_.get(), name, directoryAccess,
                                                         directoryShare,
                                                         Platform::File::OpenExisting,
                                                         Platform::File::FlagBackupSemantics));
    if (missingFolder(handle, pathOf(name))) {
        return std::nullopt;
    }
    if (!isPlainDirectory(handle.get())) {
        refuseFolder(pathOf(name));
    }
    // Where a link is not reported as a reparse point (a POSIX link under Wine), the final path
    // shows it.
    std::wstring finalPath;
    if (!Platform::getFinalPathNameByHandle(handle.get(), finalPath)) {
        throwOsError(formatString(L"GetFinalPathNameByHandle(%s)", pathOf(name)),
                     Platform::getLastError(), VSITE(openFunction));
    }
    if (comparePaths(finalPath, pathOf(name)) != PathEqual) {
        refuseFolder(pathOf(name));
    }
    return HeldDirectory(pathOf(name), std::move(handle));
}

HeldDirectory HeldDirectory::child(const std::wstring& name, bool create, bool* created) const {
    if (created) {
        *created = false;
    }
    if (create && !Platform::createDirectoryAt(handle_.get(), name)) {
        std::uint32_t error = Platform::getLastError();
        if (error != Platform::WinError::AlreadyExists) {
            throwOsError(formatString(L"CreateDirectory(%s)", pathOf(name)), error,
                         VSITE("HeldDirectory::child"));
        }
    } else if (create && created) {
        *created = true;
    }
    std::optional<HeldDirectory> held = existingChild(name);
    if (!held) {
        throwOsError(formatString(L"CreateFile(%s)", pathOf(name)),
                     Platform::WinError::FileNotFound, VSITE(openFunction));
    }
    return std::move(*held);
}

Platform::UniqueHandle HeldDirectory::openEntry(const std::wstring& name,
                                                std::uint32_t access) const {
    Platform::UniqueHandle handle(Platform::createFileAt(
        handle_.get(), name, access | Platform::File::ReadAttributes, directoryShare,
        Platform::File::OpenExisting, Platform::File::FlagBackupSemantics));
    if (!handle) {
        return handle;
    }
    Platform::ByHandleFileInformation information;
    if (!Platform::getFileInformationByHandle(handle.get(), information) ||
        (information.attributes & Platform::FileAttribute::ReparsePoint)) {
        throw vexception(formatString(L"The entry %s is a link or another reparse point; "
                                      L"nothing is written through it",
                                      pathOf(name)),
                         VSITE("HeldDirectory::openEntry"));
    }
    return handle;
}

bool HeldDirectory::exists(const std::wstring& name, std::uint32_t* attributes) const {
    Platform::UniqueHandle handle(Platform::createFileAt(
        handle_.get(), name, Platform::File::ReadAttributes,
        directoryShare | Platform::File::ShareDelete, Platform::File::OpenExisting,
        Platform::File::FlagBackupSemantics));
    if (!handle) {
        std::uint32_t error = Platform::getLastError();
        if (isMissing(error)) {
            return false;
        }
        throwOsError(formatString(L"CreateFile(%s)", pathOf(name)), error,
                     VSITE("HeldDirectory::exists"));
    }
    if (attributes) {
        Platform::ByHandleFileInformation information;
        *attributes = Platform::getFileInformationByHandle(handle.get(), information)
                          ? information.attributes
                          : 0;
    }
    return true;
}

Platform::UniqueHandle HeldDirectory::openFile(const std::wstring& name, std::uint32_t access,
                                               std::uint32_t disposition, bool singleName) const {
    Platform::UniqueHandle handle(Platform::createFileAt(
        handle_.get(), name, access | Platform::File::ReadAttributes, Platform::File::ShareRead,
        disposition, Platform::FileAttribute::Normal | Platform::File::FlagBackupSemantics));
    if (!handle) {
        return handle;
    }
    std::uint32_t lastError = Platform::getLastError();
    Platform::ByHandleFileInformation information;
    if (!Platform::getFileInformationByHandle(handle.get(), information)) {
        throwOsError(formatString(L"GetFileInformationByHandle(%s)", pathOf(name)),
                     Platform::getLastError(), VSITE("HeldDirectory::openFile"));
    }
    if (information.attributes &
        (Platform::FileAttribute::ReparsePoint | Platform::FileAttribute::Directory)) {
        throw vexception(formatString(L"The file %s is a link, another reparse point or a "
                                      L"folder; nothing is read or written through it",
                                      pathOf(name)),
                         VSITE("HeldDirectory::openFile"));
    }
    if (singleName && information.numberOfLinks > 1) {
        throw vexception(formatString(L"The file %s has %u names; nothing is written through it",
                                      pathOf(name), information.numberOfLinks),
                         VSITE("HeldDirectory::openFile"));
    }
    Platform::setLastError(lastError);
    return handle;
}

void HeldDirectory::move(const std::wstring& name, const std::wstring& newName,
                         bool replace) const {
    std::uint32_t flags = Platform::File::MoveFileWriteThrough |
                          (replace ? Platform::File::MoveFileReplaceExisting : 0);
    if (!Platform::moveFileAt(handle_.get(), name, handle_.get(), newName, flags)) {
        throwOsError(formatString(L"Move file '%s' to '%s'", pathOf(name), pathOf(newName)),
                     Platform::getLastError(), VSITE("HeldDirectory::move"));
    }
}

bool HeldDirectory::remove(const std::wstring& name) const {
    if (Platform::deleteFileAt(handle_.get(), name)) {
        return true;
    }
    std::uint32_t error = Platform::getLastError();
    if (isMissing(error)) {
        return false;
    }
    throwOsError(formatString(L"DeleteFile(%s)", pathOf(name)), error,
                 VSITE("HeldDirectory::remove"));
}
