// The hooks of the emulated host's security store (object_security.cpp) into its file system:
// the access check of an open, and the news that directories moved. POSIX only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Platform::Posix {

class FileObject;

// Where an object's security descriptor is kept: a self-relative SECURITY_DESCRIPTOR with the
// explicit ACEs only (MS-DTYP 2.4.6). No xattr: the default descriptor.
constexpr const char* SecurityDescriptorXattr = "user.tavrel.sd";

// The access check of CreateFileW on an existing object, `posixPath` as createFile resolved
// it (the link itself when `linkItself` and it is one). READ_CONTROL, WRITE_DAC, WRITE_OWNER,
// ACCESS_SYSTEM_SECURITY and the data rights are checked against the object's effective
// descriptor; SYNCHRONIZE, FILE_READ_ATTRIBUTES and DELETE, which Windows may also grant
// through the parent directory, are granted as asked. Sets `granted` to the rights of the
// handle (generic rights mapped). False with the last error: ERROR_ACCESS_DENIED (5) for a
// refused right, or the error that prevented the check (ERROR_NO_SUCH_USER for an unknown
// TAVREL_HOST_USER, ERROR_FILE_CORRUPT for a stored descriptor that does not decode).
// With `file` (an object already opened), the check reads the descriptor through it, the
// handle keeps what was read for its next security call, and `posixPath` is not looked at.
bool checkOpenAccess(const std::string& posixPath, FileObject* file, bool linkItself,
                     std::uint32_t desired, bool backupSemantics, std::uint32_t& granted);

// The rights of the handle whose open created the object: all that it asked for.
std::uint32_t creatorAccess(std::uint32_t desired);

// How many directories' DACLs the store holds after catching up with the other processes'
// writes, and a bound on them (0: the default of 8,192): what the backend's tests look at.
std::size_t cachedSecurityDirectories();
void boundSecurityCache(std::size_t directories);

// The directory now at `posixPath` was moved there: what its subtree inherits has changed.
void noteDirectoryMoved(const std::string& posixPath);

}  // namespace Platform::Posix
