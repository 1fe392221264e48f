// The shell's special folders (shell32) and the profiles directory (userenv), with the Win32
// calls' inputs and outputs: BOOL results, the reason in the thread's last error.
#pragma once

#include <cstdint>
#include <string>

namespace Platform {

// CSIDL values (shlobj.h) of the folders the engine names.
namespace Csidl {
constexpr int Fonts = 0x14;
constexpr int CommonStartMenu = 0x16;
constexpr int CommonPrograms = 0x17;
constexpr int CommonStartup = 0x18;
constexpr int CommonDesktopDirectory = 0x19;
constexpr int AppData = 0x1a;
constexpr int LocalAppData = 0x1c;
constexpr int CommonAppData = 0x23;
constexpr int Windows = 0x24;
constexpr int System = 0x25;
constexpr int ProgramFiles = 0x26;
constexpr int Profile = 0x28;
constexpr int SystemX86 = 0x29;
constexpr int ProgramFilesX86 = 0x2a;
constexpr int ProgramFilesCommon = 0x2b;
constexpr int ProgramFilesCommonX86 = 0x2c;
constexpr int CommonDocuments = 0x2e;
constexpr int CommonAdminTools = 0x2f;
constexpr int Profiles = 0x3e;  // the parent of the user profiles (FOLDERID_UserProfiles)
// Flags that may be ORed into a CSIDL.
constexpr int FlagCreate = 0x8000;
constexpr int FlagMask = 0xff00;
}  // namespace Csidl

// SHGetSpecialFolderPathW(NULL, path, csidl, fCreate): the folder of a CSIDL as a 64-bit
// Windows has it (ProgramFiles "C:\Program Files", ProgramFilesX86 "C:\Program Files (x86)",
// SystemX86 "C:\Windows\SysWOW64"). The folder need not exist; with `create` (or
// Csidl::FlagCreate) it is created with its missing parents. False with ERROR_INVALID_PARAMETER for
// a CSIDL the shell does not know, or the error of the creation.
bool shGetSpecialFolderPath(int csidl, std::wstring& path, bool create);

// GetProfilesDirectoryW: the folder that holds the user profiles ("C:\Users").
bool getProfilesDirectory(std::wstring& path);

// GetWindowsDirectoryW: the Windows directory ("C:\Windows").
bool getWindowsDirectory(std::wstring& path);

}  // namespace Platform
