#include "platform/shell.h"

#include "platform/filesystem.h"
#include "platform/posix/host/errors.h"
#include "platform/posix/host/seam_count.h"
#include "platform/types.h"

namespace Platform {
namespace {

struct SpecialFolder {
    int csidl;
    const wchar_t* path;
};

// The folders of a fresh 64-bit Windows, for a process that runs as SYSTEM (whose profile is
// the systemprofile folder below System32). The host keeps C: where Windows keeps it, so the
// names are fixed here as the installer fixes them there.
constexpr SpecialFolder specialFolders[] = {
    {Csidl::Fonts, L"C:\\Windows\\Fonts"},
    {Csidl::CommonStartMenu, L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu"},
    {Csidl::CommonPrograms, L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs"},
    {Csidl::CommonStartup, L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\StartUp"},
    {Csidl::CommonDesktopDirectory, L"C:\\Users\\Public\\Desktop"},
    {Csidl::AppData, L"C:\\Windows\\system32\\config\\systemprofile\\AppData\\Roaming"},
    {Csidl::LocalAppData, L"C:\\Windows\\system32\\config\\systemprofile\\AppData\\Local"},
    {Csidl::CommonAppData, L"C:\\ProgramData"},
    {Csidl::Windows, L"C:\\Windows"},
    {Csidl::System, L"C:\\Windows\\system32"},
    {Csidl::ProgramFiles, L"C:\\Program Files"},
    {Csidl::Profile, L"C:\\Windows\\system32\\config\\systemprofile"},
    {Csidl::SystemX86, L"C:\\Windows\\SysWOW64"},
    {Csidl::ProgramFilesX86, L"C:\\Program Files (x86)"},
    {Csidl::ProgramFilesCommon, L"C:\\Program Files\\Common Files"},
    {Csidl::ProgramFilesCommonX86, L"C:\\Program Files (x86)\\Common Files"},
    {Csidl::CommonDocuments, L"C:\\Users\\Public\\Documents"},
    {Csidl::CommonAdminTools,
     L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Administrative Tools"},
    {Csidl::Profiles, L"C:\\Users"},
};

// Creates `path` level by level; a level that exists already is fine.
bool createFolder(const std::wstring& path) {
    for (std::size_t end = path.find(L'\\', 3);; end = path.find(L'\\', end + 1)) {
        std::wstring level = path.substr(0, end);
        if (!createDirectory(level) && getLastError() != WinError::AlreadyExists) {
            return false;
        }
        if (end == std::wstring::npos) {
            return true;
        }
    }
}

}  // namespace

bool shGetSpecialFolderPath(int csidl, std::wstring& path, bool create) {
    TAVREL_SEAM_CALL("SHGetSpecialFolderPathW");
    int folder = csidl & ~Csidl::FlagMask;
    create = create || (csidl & Csidl::FlagCreate) != 0;
    for (const auto& known : specialFolders) {
        if (known.csidl != folder) {
            continue;
        }
        if (create && !createFolder(known.path)) {
            return false;
        }
        path = known.path;
        return true;
    }
    return Posix::failWith(WinError::InvalidParameter);
}

bool getProfilesDirectory(std::wstring& path) {
    TAVREL_SEAM_CALL("GetProfilesDirectoryW");
    path = L"C:\\Users";
    return true;
}

bool getWindowsDirectory(std::wstring& path) {
    TAVREL_SEAM_CALL("GetWindowsDirectoryW");
    path = L"C:\\Windows";
    return true;
}

}  // namespace Platform
