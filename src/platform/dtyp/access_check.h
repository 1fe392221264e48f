// The access check of the emulated host (MS-DTYP 2.5.3.2, simplified to what file security
// needs): which of the requested rights a token gets from a security descriptor. No I/O.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/dtyp/access_mask.h"
#include "platform/dtyp/security_descriptor.h"
#include "platform/dtyp/sid.h"

namespace Platform::Dtyp {

// Privilege names (LookupPrivilegeValue's names), compared case-insensitively.
namespace Privilege {
constexpr const wchar_t* TakeOwnership = L"SeTakeOwnershipPrivilege";
constexpr const wchar_t* Backup = L"SeBackupPrivilege";
constexpr const wchar_t* Restore = L"SeRestorePrivilege";
constexpr const wchar_t* Security = L"SeSecurityPrivilege";
}  // namespace Privilege

struct HeldPrivilege {
    std::wstring name;
    bool enabled = false;
};

// The identity an access check is made for.
struct Token {
    Sid user;
    std::vector<Sid> groups;
    std::vector<HeldPrivilege> privileges;

    bool hasSid(const Sid& sid) const;
    bool privilegeEnabled(const wchar_t* name) const;
};

struct AccessResult {
    // The rights granted (all requested ones on success; with MAXIMUM_ALLOWED, all obtainable).
    std::uint32_t granted = 0;
    // The requested rights that were refused; empty on success.
    std::uint32_t missing = 0;
    bool allowed() const { return missing == 0; }
};

// Decides an open for `desired` (generic rights mapped with `mapping` first). In order:
// - ACCESS_SYSTEM_SECURITY needs SeSecurityPrivilege enabled;
// - an enabled SeTakeOwnershipPrivilege grants WRITE_OWNER;
// - with `backupSemantics` (FILE_FLAG_BACKUP_SEMANTICS), an enabled SeBackupPrivilege grants
//   the read rights and an enabled SeRestorePrivilege the write rights;
// - the owner has READ_CONTROL and WRITE_DAC, unless the DACL holds OWNER RIGHTS ACEs;
// - a missing or NULL DACL grants everything, an empty one nothing more;
// - ACEs in order, inherit-only ones skipped: a deny ACE that names a right still wanted
//   refuses it, an allow ACE grants what it names.
// MAXIMUM_ALLOWED asks for every right the token can get.
AccessResult accessCheck(const SecurityDescriptor& sd, const Token& token, std::uint32_t desired,
                         bool backupSemantics = false,
                         const GenericMapping& mapping = fileGenericMapping);

}  // namespace Platform::Dtyp
