// The path calls of the emulated host: the full, long, current, temporary and final paths of
// GetFullPathNameW, GetLongPathNameW, GetCurrentDirectoryW, GetTempPathW, GetTempFileNameW
// and GetFinalPathNameByHandleW, as Windows forms them over the drive links.
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <vector>

#include "platform/filesystem.h"
#include "platform/posix/filesystem/filehandle.h"
#include "platform/posix/filesystem/filesystem_internal.h"
#include "platform/posix/filesystem/pathmap.h"
#include "platform/posix/filesystem/posix_path.h"
#include "platform/posix/host/errors.h"
#include "platform/posix/host/handles.h"
#include "platform/posix/host/seam_count.h"
#include "platform/system.h"
#include "platform/text.h"

namespace Platform {
namespace {

using namespace Posix;

bool isNtPrefixed(const std::wstring& path) {
    return path.compare(0, 4, L"\\\\?\\") == 0 || path.compare(0, 4, L"\\??\\") == 0;
}

std::wstring hexNumber(std::uint32_t value) {
    const wchar_t* digits = L"0123456789ABCDEF";
    std::wstring text;
    do {
        text.insert(text.begin(), digits[value & 0xF]);
        value >>= 4;
    } while (value);
    return text;
}

std::string currentPosixDirectory() {
    char buffer[PATH_MAX];
    return ::getcwd(buffer, sizeof(buffer)) ? std::string(buffer) : std::string("/");
}

// The root of a path as written, and the directory it stands for: the drive's root after a
// drive and a separator, the drive's current directory after a drive alone, the current
// drive's root after a separator alone, else the current directory. False with the last error.
bool rootOf(const std::wstring& body, std::wstring& root, std::wstring& start) {
    if (hasDrive(body) && body.size() > 2 && (body[2] == L'\\' || body[2] == L'/')) {
        root = body.substr(0, 3);
        start = body.substr(0, 2) + L"\\";
        return true;
    }
    if (hasDrive(body)) {
        root = body.substr(0, 2);
        return getFullPathName(root, start);
    }
    if (!body.empty() && (body[0] == L'\\' || body[0] == L'/')) {
        root = body.substr(0, 1);
        return getFullPathName(L"\\", start);
    }
    return getCurrentDirectory(start);
}

// The name on disk of the entry of `directory` that `name` names, whatever its case; empty when
// there is none. It is the entry a path through the directory resolves to, from the host's
// folded listing of the directory: a listing read for every name cost a metadata file whose
// names differ in case from its folders (or name missing ones) the square of its entries.
std::string nameOnDisk(const std::string& directory, const std::string& name) {
    struct stat st;
    if (::lstat(joinPosix(directory, name).c_str(), &st) == 0) {
        return name;
    }
    return findNameNoCase(directory, windowsNameOf(name)).value_or(std::string());
}

}  // namespace

bool getTempPath(std::wstring& path) {
    TAVREL_SEAM_CALL("GetTempPathW");
    for (const wchar_t* name : {L"TMP", L"TEMP", L"USERPROFILE", L"windir"}) {
        std::wstring value;
        if (!getEnvironmentVariable(name, value)) {
            continue;
        }
        // A POSIX value (TMP=/tmp from the Linux side) is no Windows directory.
        bool windowsPath =
            (hasDrive(value) && value.size() > 2 && value[2] == L'\\') || isNtPrefixed(value);
        std::wstring full;
        if (windowsPath && getFullPathName(value, full)) {
            path = full.back() == L'\\' ? full : full + L"\\";
            return true;
        }
    }
    path = L"C:\\Windows\\";
    return true;
}

std::uint32_t getTempFileName(const std::wstring& dir, const std::wstring& prefix,
                              std::uint32_t unique, std::wstring& tempFileName) {
    TAVREL_SEAM_CALL("GetTempFileNameW");
    std::wstring base = dir;
    if (base.empty() || (base.back() != L'\\' && base.back() != L'/')) {
        base += L'\\';
    }
    base += prefix.substr(0, 3);
    if (unique != 0) {
        tempFileName = base + hexNumber(unique & 0xFFFF) + L".tmp";
        return unique;
    }
    std::uint32_t attributes = getFileAttributes(dir);
    if (attributes == InvalidFileAttributes || !(attributes & FileAttribute::Directory)) {
        failWith(WinError::Directory);
        return 0;
    }
    std::uint32_t start = std::random_device{}() & 0xFFFF;
    for (std::uint32_t tried = 0; tried < 0xFFFF; ++tried) {
        std::uint32_t number = (start + tried) % 0xFFFF + 1;
        std::wstring candidate = base + hexNumber(number) + L".tmp";
        Handle file =
            createFile(candidate, File::GenericWrite, 0, File::CreateNew, FileAttribute::Normal);
        if (file != invalidHandle()) {
            closeHandle(file);
            tempFileName = candidate;
            setLastError(WinError::Success);
            return number;
        }
        std::uint32_t error = getLastError();
        if (error != WinError::FileExists && error != WinError::AlreadyExists &&
            error != WinError::AccessDenied) {
            return 0;
        }
    }
    failWith(WinError::FileExists);
    return 0;
}

bool getLongPathName(const std::wstring& path, std::wstring& longPath) {
    TAVREL_SEAM_CALL("GetLongPathNameW");
    std::wstring prefix;
    std::wstring body = path;
    if (isNtPrefixed(path)) {
        prefix = path.substr(0, 4);
        body = path.substr(4);
        if (body.size() >= 4 && equalsNoCase(body.substr(0, 4), L"UNC\\")) {
            return failWith(WinError::BadNetpath);
        }
    } else if (path.size() >= 2 && (path[0] == L'\\' || path[0] == L'/') &&
               (path[1] == L'\\' || path[1] == L'/')) {
        return failWith(WinError::BadNetpath);
    }
    std::wstring root;
    std::wstring start;
    if (!rootOf(body, root, start)) {
        return false;
    }
    std::string directory;
    if (!windowsToPosix(prefix.empty() ? start : L"\\\\?\\" + start, directory)) {
        return false;
    }
    if (!isDirectory(directory)) {
        return failWith(WinError::PathNotFound);
    }
    // Walk the rest component by component, keeping the separators and dots as written; ".."
    // climbs lexically, as Windows resolves it.
    std::vector<std::string> climbed{directory};
    std::wstring result = prefix + root;
    std::size_t position = root.size();
    while (position < body.size()) {
        std::size_t end = body.find_first_of(L"\\/", position);
        if (end == std::wstring::npos) {
            end = body.size();
        }
        std::wstring part = body.substr(position, end - position);
        if (part == L"..") {
            if (climbed.size() > 1) {
                climbed.pop_back();
            }
            result += part;
        } else if (!part.empty() && part != L".") {
            bool last = body.find_first_not_of(L"\\/", end) == std::wstring::npos;
            auto name = posixNameOf(part);
            if (!name) {
                return failWith(WinError::InvalidName);
            }
            std::string diskName = nameOnDisk(climbed.back(), *name);
            if (diskName.empty()) {
                return failWith(last ? WinError::FileNotFound : WinError::PathNotFound);
            }
            climbed.push_back(joinPosix(climbed.back(), diskName));
            if (!last && !isDirectory(climbed.back())) {
                return failWith(WinError::PathNotFound);
            }
            result += windowsNameOf(diskName);
        } else {
            result += part;
        }
        std::size_t next = body.find_first_not_of(L"\\/", end);
        if (next == std::wstring::npos) {
            next = body.size();
        }
        result += body.substr(end, next - end);
        position = next;
    }
    longPath = result;
    return true;
}

bool getFullPathName(const std::wstring& path, std::wstring& fullPath) {
    TAVREL_SEAM_CALL("GetFullPathNameW");
    std::wstring current;
    if (!getCurrentDirectory(current)) {
        return false;
    }
    return fullWindowsPath(path, current, fullPath);
}

bool getCurrentDirectory(std::wstring& directory) {
    TAVREL_SEAM_CALL("GetCurrentDirectoryW");
    return posixToWindows(currentPosixDirectory(), directory);
}

bool getFinalPathNameByHandle(Handle file, std::wstring& path) {
    TAVREL_SEAM_CALL("GetFinalPathNameByHandleW");
    auto object = fileObjectOf(file);
    if (!object) {
        return false;
    }
    // An entry of a directory being searched, opened as the search listed it, lies in that
    // directory under the name it was opened by. (A directory on the way that moves while
    // it is searched is seen at the next search.)
    const struct stat* opened = object->openedStat();
    if (opened && !object->isLinkItself() && listedEntryOf(*object, *opened) &&
        !object->searched->realPath.empty()) {
        std::string name(object->sharedPath().name());
        std::wstring windowsPath;
        if (!realPosixToWindows(SharedPath(object->searched->realPath, std::move(name)).str(),
                                windowsPath)) {
            return false;
        }
        path = L"\\\\?\\" + windowsPath;
        return true;
    }
    std::string link = "/proc/self/fd/" + std::to_string(object->fd());
    char buffer[PATH_MAX];
    ssize_t size = ::readlink(link.c_str(), buffer, sizeof(buffer) - 1);
    if (size < 0) {
        return failWithErrno();
    }
    std::string target(buffer, static_cast<std::size_t>(size));
    const std::string deleted = " (deleted)";
    if (target.size() > deleted.size() &&
        target.compare(target.size() - deleted.size(), deleted.size(), deleted) == 0) {
        target.resize(target.size() - deleted.size());
    }
    // The kernel's path of an open object is free of links and dots already.
    std::wstring windowsPath;
    if (!realPosixToWindows(target, windowsPath)) {
        return false;
    }
    path = L"\\\\?\\" + windowsPath;
    return true;
}

}  // namespace Platform
