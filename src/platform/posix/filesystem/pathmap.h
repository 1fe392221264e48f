// Windows paths on the emulated host: a drive letter is a link in <host>/dosdevices ("c:" ->
// ../drive_c, "z:" -> /), names resolve case-insensitively when the exact name does not
// exist, and a POSIX path maps back to the drive whose target contains it most closely.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/filesystem/names.h"

namespace Platform::Posix {

// The POSIX name of the entry of the directory `dir` (a POSIX path) that the Windows name
// `name` matches case-insensitively, as a path through that directory resolves it.
std::optional<std::string> findNameNoCase(const std::string& dir, const std::wstring& name);

// The POSIX path of a Windows path: "X:\...", relative (against the current directory),
// rooted ("\..." on the current drive) or prefixed with "\\?\" or "\??\". Each existing
// component is taken with its case on disk; the first missing one and all after it are kept
// as written. False with the last error set: ERROR_BAD_NETPATH (53) for a UNC path,
// ERROR_PATH_NOT_FOUND (3) for a drive that is not mapped, ERROR_INVALID_NAME (123) for a
// name with characters Windows refuses. Names go through posixNameOf. With `found`, the lstat
// of the object comes back there (st_mode 0 when it does not exist), which the caller then
// need not look up again. A path that exists as written costs one lookup.
bool windowsToPosix(const std::wstring& winPath, std::string& posixPath,
                    struct stat* found = nullptr);

// The POSIX path that a Windows path names when each of its components exists as written,
// without looking: for calls that try it first and resolve the case only when that fails.
bool writtenPosixPath(const std::wstring& winPath, std::string& posixPath);

// The Windows path of a POSIX path (absolute, or relative to the current directory): the
// drive whose target contains it with the longest target, Z: (/) at worst. The parent
// directory is resolved through its links, the last component is kept; names go through
// windowsNameOf. False with ERROR_PATH_NOT_FOUND when no drive contains it.
bool posixToWindows(const std::string& posixPath, std::wstring& winPath);

// posixToWindows of a path already free of links and dots.
bool realPosixToWindows(const std::string& realPath, std::wstring& winPath);

// A drive letter and the directory its dosdevices link points to, resolved when the link was
// read; `device` and `inode` identify that directory.
struct Drive {
    wchar_t letter;
    std::string target;
    dev_t device;
    ino_t inode;
};
// The drives of the current host in letter order. `version` changes whenever dosdevices was
// read again and something in it had changed.
struct DriveMap {
    std::vector<Drive> drives;
    std::uint64_t version = 0;
};
// Read once per process and host, and again only when dosdevices changes.
std::shared_ptr<const DriveMap> currentDrives();
// The drives as the last translation of a Windows path saw them, without looking whether
// dosdevices changed since: for calls on handles, whose paths were translated at the open.
std::shared_ptr<const DriveMap> latestDrives();

// Whether a directory (by its stat) is the target of a drive.
bool isDriveRoot(const struct stat& directory);

// GetFullPathName against a given current directory (a full Windows path): slashes become
// backslashes, "." and ".." are resolved without climbing above the root, trailing dots and
// spaces of the last component are dropped and one trailing dot of every other; "\\?\" and
// "\??\" paths come back unchanged.
// False with ERROR_INVALID_NAME for an empty path.
bool fullWindowsPath(const std::wstring& path, const std::wstring& currentDirectory,
                     std::wstring& fullPath);

}  // namespace Platform::Posix
