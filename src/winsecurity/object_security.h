// Reading and writing the DACLs of files and directories, taking ownership when a write is
// refused, and the token privileges that this needs. Every failure raises the operating-system
// exception with the Win32 code; paths in messages are shown without the "\\?\" prefix.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/security.h"
#include "platform/unique.h"
#include "runtime/scoped_value.h"
#include "winsecurity/vacl.h"

namespace WinSecurity {

// Opens the object for READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES, sharing read and write. A
// directory is opened with backup semantics and as the reparse point itself, so that a link is
// secured, not its target. Raises "Path (%s) is a file" when a directory was expected, unless the
// caller has just seen the object listed as a directory (`knownDirectory`) and asks no second time.
Platform::UniqueHandle openForSecurity(const std::wstring& path, bool isDirectory,
                                       bool knownDirectory = false);
// Opens the entry `name` of the directory held by `directory` as openForSecurity opens a path,
// never following it (a link opens as itself); `path`, the entry's whole path, is what errors
// name. Neither opens a directory to be deleted or renamed while it is held (no delete
// sharing); both open a directory to be listed too where that is granted.
Platform::UniqueHandle openChildForSecurity(Platform::Handle directory, const std::wstring& name,
                                            bool isDirectory, const std::wstring& path);

// Opens a directory again for its security and its listing, as openChildForSecurity opens the
// entry `name` of the directory held by `directory`, or as openForSecurity opens `path` when
// `directory` is null. Empty when that fails or what opens is no plain directory.
Platform::UniqueHandle openDirectoryToList(Platform::Handle directory, const std::wstring& name,
                                           const std::wstring& path);

// Opens the object for WRITE_OWNER alone, as itself (never a link's target), to make a DACL that
// shuts the tool out its to rewrite: the entry `name` of the directory held by `directory`, or
// `path` when `directory` is null (with `checkFinalPath`, a path whose final path is another
// is refused). Empty when it is not the plain object expected: a reparse point, the other kind,
// a file with a second name, whose owner is nobody's business of a walk.
Platform::UniqueHandle openToTakeOver(Platform::Handle directory, const std::wstring& name,
                                      const std::wstring& path, bool isDirectory,
                                      bool checkFinalPath);

// The final path of the handle with links resolved, without "\\?\". Raises
// "getFileNameFromHandle()".
std::wstring getFileNameFromHandle(Platform::Handle handle);

// The effective DACL (explicit ACEs, then inherited ones), in canonical order. A NULL DACL
// reads as the one ACE that has the same effect: Everyone, GENERIC_ALL, object and container
// inherit.
VAcl getObjectDacl(Platform::Handle handle, std::uint32_t objectType = Platform::SeFileObject);
// The parts `information` names of the object's descriptor, self-relative, as the system
// holds them (the DACL effective and in the order stored), and the DACL of such bytes as
// getObjectDacl reads it.
std::vector<std::uint8_t> getObjectDescriptor(Platform::Handle handle, std::uint32_t information,
                                              std::uint32_t objectType = Platform::SeFileObject);
VAcl daclOfDescriptor(const std::vector<std::uint8_t>& descriptor);
VAcl getNamedObjectDacl(const std::wstring& path,
                        std::uint32_t objectType = Platform::SeFileObject);
// The DACL of the path's parent directory; an empty ACL for a root.
VAcl getParentDacl(const std::wstring& path);

// The ACL without the ACEs whose SIDs no longer name an account (LookupAccountSidW answers
// ERROR_NONE_MAPPED). Every write below applies this to a private copy first.
VAcl withoutUnmappedAces(const VAcl& acl);

// While one lives on a thread, an account that withoutUnmappedAces once found mapped is taken
// as mapped without asking again: a walk writes the same few accounts on every object, and an
// account removed meanwhile is no different from one removed just after the write. Accounts
// found unmapped are asked for again. Scopes nest; the innermost serves.
class MappedAccountsScope {
public:
    MappedAccountsScope();

    // The innermost scope of this thread, or null.
    static MappedAccountsScope* current();
    bool knows(const VSID& sid) const;
    void remember(const VSID& sid);
    // Whether every account of `acl` is known: the scope keeps the bytes of the last such ACL,
    // for a walk writes the same DACL on object after object.
    bool knowsAll(const VAcl& acl) const;
    void rememberAll(const VAcl& acl);

private:
    std::vector<VSID> mapped_;
    std::vector<std::uint8_t> lastKnownAcl_;
    ScopedValue<MappedAccountsScope*> innermost_;
};

// Writes the DACL through the handle: unprotected (the parent's inheritable ACEs are added
// by the system) or protected (nothing is inherited). No ownership retry.
void setObjectDaclInherited(Platform::Handle handle, std::uint32_t objectType, const VAcl& acl);
void setObjectDaclProtected(Platform::Handle handle, std::uint32_t objectType, const VAcl& acl);
// Writes the DACL protected by name; when that is refused (5), takes ownership and tries once
// more.
void setNamedObjectDacl(const std::wstring& path, std::uint32_t objectType, const VAcl& acl);

// Makes the token's default owner the owner of the object, with SeTakeOwnershipPrivilege
// enabled when the token holds it.
void takeOwnership(const std::wstring& path, std::uint32_t objectType);

// The same through a handle opened with WRITE_OWNER; `path` names it in the error.
void takeOwnership(Platform::Handle handle, const std::wstring& path);
// Enables SeBackupPrivilege, SeRestorePrivilege and SeTakeOwnershipPrivilege, as far as the
// token holds them, for the rest of the process: what reaching, writing and taking over the
// panel's own files needs when a webspace's user has shut the tool out of them (with backup
// semantics, as HeldDirectory opens).
void enableOwnershipPrivileges();
// SeTakeOwnershipPrivilege and SeRestorePrivilege alone, for the rest of the process: Windows
// weighs a privilege only once it is enabled, and a run that writes security must reach what a
// tenant shut away from it.
void enableTakeOverPrivileges();

// Whether the thread's token (the process token when the thread has none) holds the
// privilege, enabled or not.
bool hasPrivilege(const std::wstring& privilege);
// Enables the privilege in that token for the rest of the process. A token that does not hold
// it raises "Unable to adjust privilege (%s)" with ERROR_NOT_ALL_ASSIGNED.
void enablePrivilege(const std::wstring& privilege);

// Takes ownership, then writes a protected DACL that grants `accessMask` (object and container
// inherit) to the token's default owner and to LocalSystem besides the object's current ACEs.
// For deleting or moving files the tool does not own.
void grantFullControlToSelf(const std::wstring& path, std::uint32_t objectType,
                            std::uint32_t accessMask);

}  // namespace WinSecurity
