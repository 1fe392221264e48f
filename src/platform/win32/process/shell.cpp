// The special folders on shell32 and the profiles directory on userenv.
#include "platform/win32/host/win32.h"

#include "platform/shell.h"

#include <shlobj.h>
#include <userenv.h>


namespace Platform {

bool shGetSpecialFolderPath(int csidl, std::wstring& path, bool create) {
    wchar_t buffer[MAX_PATH] = {};
    ::SetLastError(ERROR_SUCCESS);
    if (!::SHGetSpecialFolderPathW(nullptr, buffer, csidl, create)) {
        // The shell does not always say why; an unknown CSIDL is the usual reason.
        return ::GetLastError() == ERROR_SUCCESS ? Win32::failWith(ERROR_INVALID_PARAMETER)
                                                 : false;
    }
    path = buffer;
    return true;
}

bool getProfilesDirectory(std::wstring& path) {
    DWORD chars = 0;
    ::GetProfilesDirectoryW(nullptr, &chars);
    if (chars == 0) {
        return false;
    }
    std::wstring buffer(chars, L'\0');
    if (!::GetProfilesDirectoryW(buffer.data(), &chars)) {
        return false;
    }
    buffer.resize(wcsnlen(buffer.c_str(), buffer.size()));
    path = std::move(buffer);
    return true;
}

bool getWindowsDirectory(std::wstring& path) {
    wchar_t buffer[MAX_PATH] = {};
    UINT n = ::GetWindowsDirectoryW(buffer, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        return false;
    }
    path.assign(buffer, n);
    return true;
}

}  // namespace Platform
