// The file system services of kernel32 (CreateFileW, FindFirstFileW, GetFileAttributesW and
// their family), Win32-shaped: the same inputs as the API, a bool, handle or count out, and
// the Win32 error code kept as the thread's last error on failure. Paths are Windows paths,
// with or without the "\\?\" prefix.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"

namespace Platform {

// FILE_ATTRIBUTE_* (winnt.h).
namespace FileAttribute {
constexpr std::uint32_t ReadOnly = 0x00000001;
constexpr std::uint32_t Hidden = 0x00000002;
constexpr std::uint32_t System = 0x00000004;
constexpr std::uint32_t Directory = 0x00000010;
constexpr std::uint32_t Archive = 0x00000020;
constexpr std::uint32_t Normal = 0x00000080;
constexpr std::uint32_t ReparsePoint = 0x00000400;
}  // namespace FileAttribute

// INVALID_FILE_ATTRIBUTES: what getFileAttributes returns on failure.
constexpr std::uint32_t InvalidFileAttributes = 0xFFFFFFFF;

namespace File {

// Access rights (winnt.h): the generic ones, the standard ones a security descriptor needs and
// the specific file rights.
constexpr std::uint32_t GenericRead = 0x80000000;
constexpr std::uint32_t GenericWrite = 0x40000000;
constexpr std::uint32_t GenericExecute = 0x20000000;
constexpr std::uint32_t GenericAll = 0x10000000;
constexpr std::uint32_t Delete = 0x00010000;
constexpr std::uint32_t ReadControl = 0x00020000;
constexpr std::uint32_t WriteDac = 0x00040000;
constexpr std::uint32_t WriteOwner = 0x00080000;
constexpr std::uint32_t Synchronize = 0x00100000;
constexpr std::uint32_t ReadData = 0x0001;
constexpr std::uint32_t WriteData = 0x0002;
constexpr std::uint32_t AppendData = 0x0004;
constexpr std::uint32_t ReadAttributes = 0x0080;
constexpr std::uint32_t WriteAttributes = 0x0100;

// FILE_SHARE_*.
constexpr std::uint32_t ShareRead = 0x1;
constexpr std::uint32_t ShareWrite = 0x2;
constexpr std::uint32_t ShareDelete = 0x4;

// Creation dispositions.
constexpr std::uint32_t CreateNew = 1;
constexpr std::uint32_t CreateAlways = 2;
constexpr std::uint32_t OpenExisting = 3;
constexpr std::uint32_t OpenAlways = 4;
constexpr std::uint32_t TruncateExisting = 5;

// FILE_FLAG_*.
constexpr std::uint32_t FlagBackupSemantics = 0x02000000;
constexpr std::uint32_t FlagOpenReparsePoint = 0x00200000;

// MOVEFILE_*.
constexpr std::uint32_t MoveFileReplaceExisting = 0x1;
constexpr std::uint32_t MoveFileWriteThrough = 0x8;

// Move methods of setFilePointerEx (FILE_BEGIN, FILE_CURRENT, FILE_END).
constexpr std::uint32_t Begin = 0;
constexpr std::uint32_t Current = 1;
constexpr std::uint32_t End = 2;

}  // namespace File

// What WIN32_FIND_DATAW tells of one directory entry. Times are FILETIMEs (100 ns since
// 1601-01-01 UTC). There are no 8.3 names on this host, so alternateFileName stays empty.
struct FindData {
    std::uint32_t attributes = 0;
    std::wstring fileName;
    std::wstring alternateFileName;
    std::uint64_t size = 0;
    std::uint64_t creationTime = 0;
    std::uint64_t lastAccessTime = 0;
    std::uint64_t lastWriteTime = 0;
};

// What BY_HANDLE_FILE_INFORMATION tells of an open file or directory. Times are FILETIMEs.
struct ByHandleFileInformation {
    std::uint32_t attributes = 0;
    std::uint64_t creationTime = 0;
    std::uint64_t lastAccessTime = 0;
    std::uint64_t lastWriteTime = 0;
    std::uint32_t volumeSerialNumber = 0;
    std::uint64_t size = 0;
    std::uint32_t numberOfLinks = 0;  // the names of the file; a directory has one
    std::uint64_t fileIndex = 0;      // with the volume serial number, what identifies the file
};

// GetFileAttributesW: InvalidFileAttributes on failure.
std::uint32_t getFileAttributes(const std::wstring& path);
// SetFileAttributesW: read-only, hidden, system and archive; the other bits are ignored.
bool setFileAttributes(const std::wstring& path, std::uint32_t attributes);

// CreateDirectoryW (default security): ERROR_ALREADY_EXISTS when the name is taken,
// ERROR_PATH_NOT_FOUND when the parent is missing.
bool createDirectory(const std::wstring& path);
// RemoveDirectoryW: the directory must be empty; a directory link is removed itself.
bool removeDirectory(const std::wstring& path);

// FindFirstFileW: the first entry matching the last component of `pattern` (wildcards * and ?
// with the DOS rules, case-insensitively); "." and ".." come first in a directory that is not
// a drive root. invalidHandle() on failure (ERROR_FILE_NOT_FOUND for no match).
Handle findFirstFile(const std::wstring& pattern, FindData& data);
// FindNextFileW: false with ERROR_NO_MORE_FILES after the last entry.
bool findNextFile(Handle find, FindData& data);

// CreateFileW without security attributes or template. A directory opens only with
// FlagBackupSemantics. After success the last error is ERROR_ALREADY_EXISTS when
// CreateAlways or OpenAlways found the file, 0 otherwise. Windows enforces the share modes
// (ERROR_SHARING_VIOLATION); the emulated host enforces only that a directory held without
// FILE_SHARE_DELETE is not renamed or removed by this process's own calls meanwhile.
Handle createFile(const std::wstring& path, std::uint32_t access, std::uint32_t shareMode,
                  std::uint32_t disposition, std::uint32_t flagsAndAttributes);
// GetFileInformationByHandle: attributes, times, size, link count and identity of the opened
// object (a link opened itself is the reparse point). The handle needs FILE_READ_ATTRIBUTES
// (ERROR_ACCESS_DENIED). The emulated host answers a handle opened without data rights from
// what its open saw.
bool getFileInformationByHandle(Handle file, ByHandleFileInformation& information);
// ReadFile / WriteFile, synchronous. Reading at the end succeeds with 0 bytes read.
bool readFile(Handle file, void* buffer, std::uint32_t toRead, std::uint32_t* read);
bool writeFile(Handle file, const void* buffer, std::uint32_t toWrite, std::uint32_t* written);
// SetFilePointerEx: `newPosition` may be null.
bool setFilePointerEx(Handle file, std::int64_t distance, std::int64_t* newPosition,
                      std::uint32_t moveMethod);
bool getFileSizeEx(Handle file, std::int64_t& size);
bool flushFileBuffers(Handle file);
// SetEndOfFile: the file ends at the current position.
bool setEndOfFile(Handle file);
// SetFileTime: each time given (a FILETIME) replaces the file's, a null one is left as it is;
// the handle needs write access. The emulated host keeps no creation time to set and ignores
// that one.
bool setFileTime(Handle file, const std::uint64_t* creationTime,
                 const std::uint64_t* lastAccessTime, const std::uint64_t* lastWriteTime);

// CopyFileW: data, attributes and last write time; ERROR_FILE_EXISTS when failIfExists and
// the target exists.
bool copyFile(const std::wstring& existing, const std::wstring& newFile, bool failIfExists);
// MoveFileExW: a rename; with MoveFileReplaceExisting an existing target is replaced
// atomically, without it the move fails with ERROR_ALREADY_EXISTS.
bool moveFileEx(const std::wstring& existing, const std::wstring& newFile, std::uint32_t flags);
// ReplaceFileW without a backup file: `replacement` takes the place of `replaced` in one step
// and keeps the replaced file's security descriptor and attributes. ERROR_FILE_NOT_FOUND when
// `replaced` does not exist; only a regular file is replaced (ERROR_UNABLE_TO_REMOVE_REPLACED
// for a directory, a device or a pipe, left as it was); ERROR_UNABLE_TO_MOVE_REPLACEMENT when
// the move fails.
constexpr std::uint32_t ReplaceFileWriteThrough = 0x1;
bool replaceFile(const std::wstring& replaced, const std::wstring& replacement,
                 std::uint32_t flags);
// DeleteFileW: files and file links only (ERROR_ACCESS_DENIED for a directory or a read-only
// file).
bool deleteFile(const std::wstring& path);

// The same calls relative to a directory held open, as NtCreateFile and
// SetFileInformationByHandle take a root directory handle: `name` is one component of that
// directory (ERROR_INVALID_NAME for "", ".", "..", a separator or a character Windows refuses),
// looked up case-insensitively, and never followed when it is a link or another reparse point,
// so that nothing a path's other components lead to can redirect the call. `directory` is a
// directory handle (ERROR_INVALID_HANDLE otherwise); what is created there gets the directory's
// inheritable security, as by path.
//
// CreateFileW at `name`: a link or another reparse point opens as itself
// (FILE_OPEN_REPARSE_POINT is implied), which the caller sees in the handle's attributes.
Handle createFileAt(Handle directory, const std::wstring& name, std::uint32_t access,
                    std::uint32_t shareMode, std::uint32_t disposition,
                    std::uint32_t flagsAndAttributes);
// CreateDirectoryW at `name`: ERROR_ALREADY_EXISTS when the name is taken (a link too).
bool createDirectoryAt(Handle directory, const std::wstring& name);
// MoveFileExW of the entry `name` of `from` (a link moves itself) to `newName` in `to`: with
// MoveFileReplaceExisting an existing file there is replaced in one step (never a directory,
// ERROR_ACCESS_DENIED), without it ERROR_ALREADY_EXISTS.
bool moveFileAt(Handle from, const std::wstring& name, Handle to, const std::wstring& newName,
                std::uint32_t flags);
// ReplaceFileW in one directory: the file `replacement` takes the place of the file `replaced`
// and keeps its security descriptor and attributes; the same errors as replaceFile.
bool replaceFileAt(Handle directory, const std::wstring& replaced,
                   const std::wstring& replacement, std::uint32_t flags);
// DeleteFileW at `name`: a file or a link itself (ERROR_ACCESS_DENIED for a directory or a
// read-only file).
bool deleteFileAt(Handle directory, const std::wstring& name);

// One entry of a directory listed through its handle, as FILE_DIRECTORY_INFORMATION names it:
// the name and what it is. Of the attributes only Directory and ReparsePoint are given (a walk
// needs no more, and the emulated host would have to look at each entry for the rest).
struct DirectoryEntry {
    std::uint32_t attributes = 0;
    std::wstring fileName;
};
// NtQueryDirectoryFile with FileDirectoryInformation (GetFileInformationByHandleEx's
// FileDirectoryInfo): the next entries of the directory held by `directory`, which needs
// FILE_LIST_DIRECTORY (ERROR_ACCESS_DENIED), as many as one call returns, in the order NTFS
// lists them, "." and ".." included where Windows lists them; `restart` starts from the first
// again. As the native call answers its status, the Win32 error code is returned (0 on
// success, ERROR_NO_MORE_FILES after the last entry, `entries` then empty), not kept as the
// thread's last error.
std::uint32_t getDirectoryEntries(Handle directory, bool restart,
                                  std::vector<DirectoryEntry>& entries);

// GetTempPathW: the temporary directory (TMP, TEMP, USERPROFILE, then the Windows directory)
// as a full path with a trailing backslash.
bool getTempPath(std::wstring& path);
// GetTempFileNameW: dir + the first three characters of prefix + the hexadecimal unique number
// + ".tmp". With unique 0 a free number is chosen and the file is created empty; otherwise
// the name is only formed. Returns the number used, 0 on failure (ERROR_DIRECTORY when dir is
// not a directory).
std::uint32_t getTempFileName(const std::wstring& dir, const std::wstring& prefix,
                              std::uint32_t unique, std::wstring& tempFileName);

// GetLongPathNameW: every component with its name as stored on disk; a "\\?\" prefix and a
// relative form are kept. Fails with ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND when the
// path does not exist.
bool getLongPathName(const std::wstring& path, std::wstring& longPath);
// GetFullPathNameW: the path made absolute against the current directory, "." and ".."
// resolved, slashes turned to backslashes; "\\?\" paths are returned unchanged.
bool getFullPathName(const std::wstring& path, std::wstring& fullPath);
// GetCurrentDirectoryW.
bool getCurrentDirectory(std::wstring& directory);
// GetFinalPathNameByHandleW (FILE_NAME_NORMALIZED | VOLUME_NAME_DOS): "\\?\X:\..." of the
// opened object with links resolved.
bool getFinalPathNameByHandle(Handle file, std::wstring& path);

}  // namespace Platform
