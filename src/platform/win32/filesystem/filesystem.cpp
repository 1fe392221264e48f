// The file system seam on kernel32. Every path goes through longPath, so that the engine's
// deep webspace trees work beyond MAX_PATH without the process opting in to long paths.
#include "platform/win32/host/win32.h"

#include "platform/filesystem.h"

#include <vector>

#include "platform/unique.h"

namespace Platform {
namespace Win32 {

std::wstring longPath(const std::wstring& path) {
    // CreateDirectoryW's limit is the lowest of the API (MAX_PATH less an 8.3 name).
    constexpr std::size_t shortEnough = MAX_PATH - 12;
    if (path.size() < shortEnough || path.rfind(L"\\\\?\\", 0) == 0 ||
        path.rfind(L"\\\\.\\", 0) == 0) {
        return path;
    }
    DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return path;
    }
    std::wstring full(needed, L'\0');
    DWORD n = ::GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (n == 0 || n >= needed) {
        return path;
    }
    full.resize(n);
    if (full.rfind(L"\\\\", 0) == 0) {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return L"\\\\?\\" + full;
}

}  // namespace Win32

namespace {

using Win32::longPath;

std::uint64_t join(DWORD high, DWORD low) {
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

std::uint64_t fileTime(const FILETIME& t) {
    return join(t.dwHighDateTime, t.dwLowDateTime);
}

void copyFindData(const WIN32_FIND_DATAW& raw, FindData& data) {
    data.attributes = raw.dwFileAttributes;
    data.fileName = raw.cFileName;
    data.alternateFileName = raw.cAlternateFileName;
    data.size = join(raw.nFileSizeHigh, raw.nFileSizeLow);
    data.creationTime = fileTime(raw.ftCreationTime);
    data.lastAccessTime = fileTime(raw.ftLastAccessTime);
    data.lastWriteTime = fileTime(raw.ftLastWriteTime);
}

// Runs a call that fills a buffer of `size` characters and returns the length written, or the
// size needed (terminating NUL included) when the buffer is too small, or 0 on failure.
template <typename Call>
bool growBuffer(std::wstring& out, Call&& call) {
    std::wstring buffer(MAX_PATH, L'\0');
    while (true) {
        DWORD n = call(buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) {
            return false;
        }
        if (n < buffer.size()) {
            buffer.resize(n);
            out = std::move(buffer);
            return true;
        }
        buffer.resize(n);
    }
}

}  // namespace

std::uint32_t getFileAttributes(const std::wstring& path) {
    return ::GetFileAttributesW(longPath(path).c_str());
}

bool setFileAttributes(const std::wstring& path, std::uint32_t attributes) {
    constexpr std::uint32_t settable = FileAttribute::ReadOnly | FileAttribute::Hidden |
                                       FileAttribute::System | FileAttribute::Archive;
    std::uint32_t kept = attributes & settable;
    return ::SetFileAttributesW(longPath(path).c_str(),
                                kept == 0 ? FILE_ATTRIBUTE_NORMAL : kept) != FALSE;
}

bool createDirectory(const std::wstring& path) {
    return ::CreateDirectoryW(longPath(path).c_str(), nullptr) != FALSE;
}

bool removeDirectory(const std::wstring& path) {
    return ::RemoveDirectoryW(longPath(path).c_str()) != FALSE;
}

Handle findFirstFile(const std::wstring& pattern, FindData& data) {
    WIN32_FIND_DATAW raw{};
    HANDLE find = ::FindFirstFileExW(longPath(pattern).c_str(), FindExInfoBasic, &raw,
                                     FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find != INVALID_HANDLE_VALUE) {
        copyFindData(raw, data);
    }
    return find;
}

bool findNextFile(Handle find, FindData& data) {
    WIN32_FIND_DATAW raw{};
    if (!::FindNextFileW(find, &raw)) {
        return false;
    }
    copyFindData(raw, data);
    return true;
}

bool findClose(Handle handle) {
    return ::FindClose(handle) != FALSE;
}

Handle createFile(const std::wstring& path, std::uint32_t access, std::uint32_t shareMode,
                  std::uint32_t disposition, std::uint32_t flagsAndAttributes) {
    return ::CreateFileW(longPath(path).c_str(), access, shareMode, nullptr, disposition,
                         flagsAndAttributes, nullptr);
}

bool readFile(Handle file, void* buffer, std::uint32_t toRead, std::uint32_t* read) {
    DWORD done = 0;
    BOOL ok = ::ReadFile(file, buffer, toRead, &done, nullptr);
    if (read) {
        *read = done;
    }
    return ok != FALSE;
}

bool writeFile(Handle file, const void* buffer, std::uint32_t toWrite, std::uint32_t* written) {
    DWORD done = 0;
    BOOL ok = ::WriteFile(file, buffer, toWrite, &done, nullptr);
    if (written) {
        *written = done;
    }
    return ok != FALSE;
}

bool setFilePointerEx(Handle file, std::int64_t distance, std::int64_t* newPosition,
                      std::uint32_t moveMethod) {
    LARGE_INTEGER move{};
    move.QuadPart = distance;
    LARGE_INTEGER now{};
    if (!::SetFilePointerEx(file, move, &now, moveMethod)) {
        return false;
    }
    if (newPosition) {
        *newPosition = now.QuadPart;
    }
    return true;
}

bool getFileSizeEx(Handle file, std::int64_t& size) {
    LARGE_INTEGER value{};
    if (!::GetFileSizeEx(file, &value)) {
        return false;
    }
    size = value.QuadPart;
    return true;
}

bool getFileInformationByHandle(Handle file, ByHandleFileInformation& information) {
    BY_HANDLE_FILE_INFORMATION raw{};
    if (!::GetFileInformationByHandle(file, &raw)) {
        return false;
    }
    information.attributes = raw.dwFileAttributes;
    information.creationTime = fileTime(raw.ftCreationTime);
    information.lastAccessTime = fileTime(raw.ftLastAccessTime);
    information.lastWriteTime = fileTime(raw.ftLastWriteTime);
    information.volumeSerialNumber = raw.dwVolumeSerialNumber;
    information.size = join(raw.nFileSizeHigh, raw.nFileSizeLow);
    information.numberOfLinks = raw.nNumberOfLinks;
    information.fileIndex = join(raw.nFileIndexHigh, raw.nFileIndexLow);
    return true;
}

bool flushFileBuffers(Handle file) {
    return ::FlushFileBuffers(file) != FALSE;
}

bool setEndOfFile(Handle file) {
    return ::SetEndOfFile(file) != FALSE;
}

bool setFileTime(Handle file, const std::uint64_t* creationTime,
                 const std::uint64_t* lastAccessTime, const std::uint64_t* lastWriteTime) {
    FILETIME times[3] = {};
    const std::uint64_t* given[3] = {creationTime, lastAccessTime, lastWriteTime};
    for (int i = 0; i < 3; ++i) {
        if (given[i]) {
            times[i].dwLowDateTime = static_cast<DWORD>(*given[i]);
            times[i].dwHighDateTime = static_cast<DWORD>(*given[i] >> 32);
        }
    }
    return ::SetFileTime(file, creationTime ? &times[0] : nullptr,
                         lastAccessTime ? &times[1] : nullptr,
                         lastWriteTime ? &times[2] : nullptr) != FALSE;
}

bool copyFile(const std::wstring& existing, const std::wstring& newFile, bool failIfExists) {
    return ::CopyFileW(longPath(existing).c_str(), longPath(newFile).c_str(), failIfExists) !=
           FALSE;
}

bool moveFileEx(const std::wstring& existing, const std::wstring& newFile, std::uint32_t flags) {
    return ::MoveFileExW(longPath(existing).c_str(), longPath(newFile).c_str(), flags) != FALSE;
}

bool replaceFile(const std::wstring& replaced, const std::wstring& replacement,
                 std::uint32_t flags) {
    return ::ReplaceFileW(longPath(replaced).c_str(), longPath(replacement).c_str(), nullptr,
                          flags, nullptr, nullptr) != FALSE;
}

bool deleteFile(const std::wstring& path) {
    return ::DeleteFileW(longPath(path).c_str()) != FALSE;
}

bool getTempPath(std::wstring& path) {
    return growBuffer(path, [](wchar_t* buffer, DWORD size) {
        return ::GetTempPathW(size, buffer);
    });
}

std::uint32_t getTempFileName(const std::wstring& dir, const std::wstring& prefix,
                              std::uint32_t unique, std::wstring& tempFileName) {
    wchar_t buffer[MAX_PATH] = {};
    UINT n = ::GetTempFileNameW(dir.c_str(), prefix.c_str(), unique, buffer);
    if (n != 0) {
        tempFileName = buffer;
    }
    return n;
}

bool getLongPathName(const std::wstring& path, std::wstring& longPathName) {
    return growBuffer(longPathName, [&](wchar_t* buffer, DWORD size) {
        return ::GetLongPathNameW(path.c_str(), buffer, size);
    });
}

bool getFullPathName(const std::wstring& path, std::wstring& fullPath) {
    return growBuffer(fullPath, [&](wchar_t* buffer, DWORD size) {
        return ::GetFullPathNameW(path.c_str(), size, buffer, nullptr);
    });
}

bool getCurrentDirectory(std::wstring& directory) {
    return growBuffer(directory, [](wchar_t* buffer, DWORD size) {
        return ::GetCurrentDirectoryW(size, buffer);
    });
}

bool getFinalPathNameByHandle(Handle file, std::wstring& path) {
    return growBuffer(path, [&](wchar_t* buffer, DWORD size) {
        return ::GetFinalPathNameByHandleW(file, buffer, size,
                                           FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    });
}

}  // namespace Platform
