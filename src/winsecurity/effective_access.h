// Effective access: what an account may do with a file or folder, by the access check of
// Windows (MS-DTYP 2.5.3.2) over the object's descriptor as stored, summed up in the five
// classes an operator asks about. Pure: no I/O; the token comes from accounts/account_token.h.
#pragma once

#include <cstdint>

#include "platform/dtyp/access_check.h"
#include "platform/dtyp/security_descriptor.h"

namespace WinSecurity {

// The classes of rights, one bit each, in the order a report lists them.
namespace AccessClass {
constexpr unsigned Read = 0x01;     // FILE_READ_DATA; on a folder, list it
constexpr unsigned Write = 0x02;    // write or append data; on a folder, add a file or folder
constexpr unsigned Execute = 0x04;  // FILE_EXECUTE; on a folder, traverse it
constexpr unsigned Delete = 0x08;   // DELETE, or FILE_DELETE_CHILD on the parent
constexpr unsigned ChangePermissions = 0x10;  // WRITE_DAC or WRITE_OWNER
constexpr unsigned Count = 5;
}  // namespace AccessClass

// "read", "write", "execute", "delete", "change-permissions" for the class at `index` (0-4).
const wchar_t* accessClassName(unsigned index);

// The rights `token` obtains on an object with descriptor `sd` when it asks for all it can
// get (MAXIMUM_ALLOWED): the owner's implicit READ_CONTROL and WRITE_DAC unless an OWNER RIGHTS
// ACE speaks, the ACEs in the order stored (deny and allow alike, inherit-only ones skipped),
// generic rights mapped with the file mapping; a NULL DACL grants everything. The token's
// privileges count as they would at an open without backup semantics.
std::uint32_t effectiveRights(const Platform::Dtyp::SecurityDescriptor& sd,
                              const Platform::Dtyp::Token& token);

// The classes that `rights` on an object give, where the object's parent grants
// `parentRights` to the same token: deleting needs DELETE on the object or FILE_DELETE_CHILD
// on its parent (either suffices, the parent's even over a deny of DELETE on the object).
unsigned accessClasses(std::uint32_t rights, std::uint32_t parentRights);

}  // namespace WinSecurity
