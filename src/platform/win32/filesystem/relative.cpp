// The file calls relative to a held directory on the native API: NtCreateFile with the
// directory as the root of the object attributes and FILE_OPEN_REPARSE_POINT, so that the one
// name opened is never followed; renames and deletes through SetFileInformationByHandle on a
// handle opened that way.
#include "platform/win32/host/win32.h"

#include <aclapi.h>
#include <winternl.h>

#include <cstring>
#include <vector>

#include "platform/filesystem.h"
#include "platform/unique.h"

namespace Platform {
namespace {

// The native API's values (ntifs.h), which the user-mode SDK headers leave out.
constexpr ULONG fileSupersede = 0;
constexpr ULONG fileOpen = 1;
constexpr ULONG fileCreate = 2;
constexpr ULONG fileOpenIf = 3;
constexpr ULONG fileOverwrite = 4;
constexpr ULONG fileOverwriteIf = 5;
constexpr ULONG fileDirectoryFile = 0x00000001;
constexpr ULONG fileSynchronousIoNonalert = 0x00000020;
constexpr ULONG fileNonDirectoryFile = 0x00000040;
constexpr ULONG fileOpenForBackupIntent = 0x00004000;
constexpr ULONG fileOpenReparsePoint = 0x00200000;
constexpr ULONG_PTR fileOpened = 1;
constexpr ULONG_PTR fileOverwritten = 3;

using NtCreateFileCall = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                          PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                          ULONG, PVOID, ULONG);
using RtlNtStatusToDosErrorCall = ULONG(NTAPI*)(NTSTATUS);
using NtSetInformationFileCall = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
constexpr ULONG fileRenameInformation = 10;
using NtQueryDirectoryFileCall = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK,
                                                  PVOID, ULONG, ULONG, BOOLEAN, PUNICODE_STRING,
                                                  BOOLEAN);
constexpr ULONG fileDirectoryInformation = 1;

// FILE_DIRECTORY_INFORMATION (ntifs.h).
struct DirectoryInformation {
    ULONG nextEntryOffset;
    ULONG fileIndex;
    LARGE_INTEGER creationTime;
    LARGE_INTEGER lastAccessTime;
    LARGE_INTEGER lastWriteTime;
    LARGE_INTEGER changeTime;
    LARGE_INTEGER endOfFile;
    LARGE_INTEGER allocationSize;
    ULONG fileAttributes;
    ULONG fileNameLength;
    WCHAR fileName[1];
};

template <typename Call>
Call ntdll(const char* name) {
    static HMODULE module = ::GetModuleHandleW(L"ntdll.dll");
    return reinterpret_cast<Call>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// A name that is one component: no separator, not "." or "..", nothing Windows refuses.
bool isOneComponent(const std::wstring& name) {
    if (name.empty() || name == L"." || name == L"..") {
        return false;
    }
    for (wchar_t c : name) {
        if (c < 0x20 || std::wcschr(L"\\/:*?\"<>|", c)) {
            return false;
        }
    }
    return true;
}

// NtCreateFile of `name` below `directory`, never following it; the Win32 error is the
// thread's last error on failure, and `information` what the call did (FILE_OPENED, ...).
HANDLE openBelow(HANDLE directory, const std::wstring& name, ACCESS_MASK access, ULONG share,
                 ULONG disposition, ULONG options, ULONG attributes, ULONG_PTR* information) {
    if (!isOneComponent(name) || name.size() > 32767) {
        ::SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    UNICODE_STRING objectName;
    objectName.Buffer = const_cast<PWSTR>(name.c_str());
    objectName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    objectName.MaximumLength = objectName.Length;
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &objectName, OBJ_CASE_INSENSITIVE, directory, nullptr);
    IO_STATUS_BLOCK status{};
    HANDLE handle = nullptr;
    NTSTATUS result = ntdll<NtCreateFileCall>("NtCreateFile")(
        &handle, access | SYNCHRONIZE, &object, &status, nullptr, attributes, share, disposition,
        options | fileOpenReparsePoint | fileSynchronousIoNonalert, nullptr, 0);
    if (result < 0) {
        ::SetLastError(ntdll<RtlNtStatusToDosErrorCall>("RtlNtStatusToDosError")(result));
        return INVALID_HANDLE_VALUE;
    }
    if (information) {
        *information = status.Information;
    }
    return handle;
}

ULONG nativeDisposition(std::uint32_t disposition) {
    switch (disposition) {
        case File::CreateNew:
            return fileCreate;
        case File::CreateAlways:
            return fileOverwriteIf;
        case File::OpenExisting:
            return fileOpen;
        case File::OpenAlways:
            return fileOpenIf;
        case File::TruncateExisting:
            return fileOverwrite;
        default:
            return fileSupersede;
    }
}

// The entry `name` of `directory` opened to be renamed or deleted, a link as itself.
HANDLE openToMove(HANDLE directory, const std::wstring& name) {
    return openBelow(directory, name, DELETE | FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, fileOpen,
                     fileOpenForBackupIntent, 0, nullptr);
}

// FileRenameInfo of the open entry to `newName` in `to`.
bool renameTo(HANDLE entry, HANDLE to, const std::wstring& newName, bool replace) {
    if (!isOneComponent(newName)) {
        return Win32::failWith(ERROR_INVALID_NAME);
    }
    std::size_t bytes = sizeof(FILE_RENAME_INFO) + newName.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(bytes, 0);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = replace ? TRUE : FALSE;
    info->RootDirectory = to;
    info->FileNameLength = static_cast<DWORD>(newName.size() * sizeof(wchar_t));
    std::memcpy(info->FileName, newName.data(), info->FileNameLength);
    // The native call takes the name as it is, relative to the root directory; the Win32 one
    // may make a full DOS path of it first.
    IO_STATUS_BLOCK status{};
    NTSTATUS result = ntdll<NtSetInformationFileCall>("NtSetInformationFile")(
        entry, &status, info, static_cast<ULONG>(bytes), fileRenameInformation);
    if (result < 0) {
        return Win32::failWith(ntdll<RtlNtStatusToDosErrorCall>("RtlNtStatusToDosError")(result));
    }
    return true;
}

bool isPlainFile(HANDLE entry) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!::GetFileInformationByHandle(entry, &information)) {
        return false;
    }
    return !(information.dwFileAttributes &
             (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_READONLY));
}

}  // namespace

Handle createFileAt(Handle directory, const std::wstring& name, std::uint32_t access,
                    std::uint32_t shareMode, std::uint32_t disposition,
                    std::uint32_t flagsAndAttributes) {
    ULONG options = (flagsAndAttributes & File::FlagBackupSemantics) ? fileOpenForBackupIntent
                                                                      : fileNonDirectoryFile;
    ULONG_PTR information = 0;
    HANDLE handle = openBelow(directory, name, access, shareMode, nativeDisposition(disposition),
                              options, flagsAndAttributes & 0xFFFF, &information);
    if (handle != INVALID_HANDLE_VALUE) {
        bool existed = (disposition == File::OpenAlways || disposition == File::CreateAlways) &&
                       (information == fileOpened || information == fileOverwritten);
        ::SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    } else if (disposition == File::CreateNew && ::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::SetLastError(ERROR_FILE_EXISTS);  // as CreateFileW says it
    }
    return handle;
}

bool createDirectoryAt(Handle directory, const std::wstring& name) {
    HANDLE handle = openBelow(directory, name, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              fileCreate, fileDirectoryFile, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        if (::GetLastError() == ERROR_FILE_EXISTS) {
            ::SetLastError(ERROR_ALREADY_EXISTS);
        }
        return false;
    }
    ::CloseHandle(handle);
    return true;
}

bool moveFileAt(Handle from, const std::wstring& name, Handle to, const std::wstring& newName,
                std::uint32_t flags) {
    UniqueHandle entry(openToMove(from, name));
    if (!entry) {
        return false;
    }
    bool replace = flags & File::MoveFileReplaceExisting;
    if (!renameTo(entry.get(), to, newName, replace)) {
        if (::GetLastError() == ERROR_FILE_EXISTS) {
            ::SetLastError(ERROR_ALREADY_EXISTS);
        }
        return false;
    }
    // A rename on NTFS is journaled metadata: there is no data of the directory to force.
    return true;
}

bool replaceFileAt(Handle directory, const std::wstring& replaced,
                   const std::wstring& replacement, std::uint32_t /*flags*/) {
    // What belongs to the place rather than to the content goes over to the new version
    // first: the security descriptor and the attributes of the file it replaces.
    UniqueHandle old(openBelow(directory, replaced, READ_CONTROL | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, fileOpen,
                               fileOpenForBackupIntent, 0, nullptr));
    if (!old) {
        return false;
    }
    if (!isPlainFile(old.get())) {
        return Win32::failWith(ERROR_UNABLE_TO_REMOVE_REPLACED);
    }
    UniqueHandle fresh(openBelow(directory, replacement,
                                 DELETE | READ_CONTROL | WRITE_DAC | FILE_WRITE_ATTRIBUTES |
                                     FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_DELETE, fileOpen,
                                 fileNonDirectoryFile, 0, nullptr));
    if (!fresh) {
        return false;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    DWORD error = ::GetSecurityInfo(old.get(), SE_FILE_OBJECT,
                                    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                    nullptr, &dacl, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) {
        return Win32::failWith(error);
    }
    Win32::LocalMemory<void> descriptorOwner(descriptor);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(descriptor, &control, &revision);
    SECURITY_INFORMATION protection = (control & SE_DACL_PROTECTED)
                                          ? PROTECTED_DACL_SECURITY_INFORMATION
                                          : UNPROTECTED_DACL_SECURITY_INFORMATION;
    error = ::SetSecurityInfo(fresh.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | protection,
                              nullptr, nullptr, dacl, nullptr);
    if (error != ERROR_SUCCESS) {
        return Win32::failWith(error);
    }
    // The owner only where it differs: writing it takes a right of its own.
    PSECURITY_DESCRIPTOR freshDescriptor = nullptr;
    PSID freshOwner = nullptr;
    error = ::GetSecurityInfo(fresh.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &freshOwner,
                              nullptr, nullptr, nullptr, &freshDescriptor);
    Win32::LocalMemory<void> freshDescriptorOwner(freshDescriptor);
    if (error != ERROR_SUCCESS || !::EqualSid(owner, freshOwner)) {
        UniqueHandle owned(openBelow(directory, replacement, WRITE_OWNER,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     fileOpen, fileNonDirectoryFile, 0, nullptr));
        if (!owned) {
            return false;
        }
        error = ::SetSecurityInfo(owned.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, owner,
                                  nullptr, nullptr, nullptr);
        if (error != ERROR_SUCCESS) {
            return Win32::failWith(error);
        }
    }
    FILE_BASIC_INFO basic{};
    if (::GetFileInformationByHandleEx(old.get(), FileBasicInfo, &basic, sizeof basic)) {
        FILE_BASIC_INFO attributes{};
        attributes.FileAttributes = basic.FileAttributes;
        ::SetFileInformationByHandle(fresh.get(), FileBasicInfo, &attributes, sizeof attributes);
    }
    old.reset();
    if (!renameTo(fresh.get(), directory, replaced, true)) {
        return Win32::failWith(ERROR_UNABLE_TO_MOVE_REPLACEMENT);
    }
    return true;
}

bool deleteFileAt(Handle directory, const std::wstring& name) {
    UniqueHandle entry(openToMove(directory, name));
    if (!entry) {
        return false;
    }
    // A file or a link itself, as DeleteFileW deletes it; never a directory or a read-only file.
    BY_HANDLE_FILE_INFORMATION information;
    if (!::GetFileInformationByHandle(entry.get(), &information)) {
        return false;
    }
    if (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) {
        return Win32::failWith(ERROR_ACCESS_DENIED);
    }
    FILE_DISPOSITION_INFO disposition{TRUE};
    return ::SetFileInformationByHandle(entry.get(), FileDispositionInfo, &disposition,
                                        sizeof disposition) != FALSE;
}

std::uint32_t getDirectoryEntries(Handle directory, bool restart,
                                  std::vector<DirectoryEntry>& entries) {
    entries.clear();
    // 64 KiB, the most a call on a network share returns; kept per thread, the walk lists
    // directory after directory.
    thread_local std::vector<ULONGLONG> buffer(65536 / sizeof(ULONGLONG));
    IO_STATUS_BLOCK status{};
    NTSTATUS result = ntdll<NtQueryDirectoryFileCall>("NtQueryDirectoryFile")(
        directory, nullptr, nullptr, nullptr, &status, buffer.data(),
        static_cast<ULONG>(buffer.size() * sizeof(ULONGLONG)), fileDirectoryInformation, FALSE,
        nullptr, restart ? TRUE : FALSE);
    if (result < 0) {
        return ntdll<RtlNtStatusToDosErrorCall>("RtlNtStatusToDosError")(result);
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
    for (ULONG at = 0;;) {
        const auto* info = reinterpret_cast<const DirectoryInformation*>(bytes + at);
        entries.push_back(DirectoryEntry{
            info->fileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT),
            std::wstring(info->fileName, info->fileNameLength / sizeof(WCHAR))});
        if (info->nextEntryOffset == 0) {
            break;
        }
        at += info->nextEntryOffset;
    }
    return ERROR_SUCCESS;
}

}  // namespace Platform
