// A whole security descriptor of one object (owner, group and DACL with its protection) as
// SDDL text, read and written by handle: what a run journals before it changes an object and
// what a restore writes back.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/dtyp/security_descriptor.h"
#include "platform/types.h"
#include "platform/unique.h"

namespace WinSecurity {

// The owner, group and effective DACL of the opened object in SDDL, SIDs that have no
// well-known alias written out whole ("S-1-5-21-..."), so that the text means the same on any
// machine that reads it back.
std::wstring getObjectSddl(Platform::Handle handle);
// The owner, group and DACL of the opened object, as getSecurityInfo returns them.
std::vector<std::uint8_t> getWholeDescriptor(Platform::Handle handle);
// The SDDL of getObjectSddl, of a descriptor read with getWholeDescriptor.
std::wstring sddlOfDescriptor(std::span<const std::uint8_t> descriptor);

// The descriptor that `sddl` names; raises a vexception saying what does not parse. Owner,
// group and DACL must all be there: a restore writes the three whole.
Platform::Dtyp::SecurityDescriptor wholeDescriptorFromSddl(const std::wstring& sddl);

// Writes owner, group and DACL (protected or not as its control says; inherited ACEs of an
// unprotected DACL come again from the parent) through the handle, as they are: no ACE is
// dropped for an account that no longer resolves.
void setObjectDescriptor(Platform::Handle handle, const Platform::Dtyp::SecurityDescriptor& sd);

// Opens `path` to write its whole descriptor (READ_CONTROL, WRITE_DAC, WRITE_OWNER and
// FILE_READ_ATTRIBUTES for its links, with backup semantics so that an enabled SeRestorePrivilege speaks), refusing what the checker
// refuses: an object reached through a link (its final path is not `path`) and a file with more
// than one name.
Platform::UniqueHandle openForDescriptorWrite(const std::wstring& path);

}  // namespace WinSecurity
