// The names through which entries are read, written and logged: access masks, apply-onto
// values (ACE inheritance flag combinations), well-known accounts, and the kinds and targets of
// the access control items that ACL generation makes of an entry.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "accounts/vsid.h"
#include "disksecurity/entry_template.h"

namespace DiskSecurity {

// What an access control item asks for. Signed: the values order the merge (a greater kind
// wins over a smaller one for the same key).
enum class AccessItemKind : std::int32_t {
    Deny = -1,
    ImplicitAllow = 0,  // allow, with a deny part in the same item: how ACEs read from disk look
    Stop = 1,           // nothing may be granted for the key
    Allow = 2,
    Revoke = 3,  // the key must carry no access at all
};

// What part of an object an access control item speaks of.
enum class AccessItemTarget : std::uint32_t {
    ThisObject = 0,
    Files = 1,       // files below the object
    SubFolders = 2,  // folders below the object
};

// The name tables, each built once per process on first use and read-only afterwards. Names
// match case-sensitively; the maps order them by plain wide-character comparison, which is
// the table order of error listings and of the writer's search.
//
// Access mask names ("Read" 0x120089, "FullAccess" 0x1f01ff, ...).
const std::map<std::wstring, std::uint32_t>& accessMaskNames();
// Apply-onto names ("ThisObjectOnly" 0, "ThisFolderSubfoldersAndFiles" 3, "FilesOnly" 9, ...).
const std::map<std::wstring, std::uint32_t>& applyOntoNames();
// Well-known account names ("Everyone", "System", "Administrators", "Administrator", ...).
// The first use raises the failure to read the local account domain SID (needed for
// "Administrator" and "Guest"); a later use tries again.
const std::map<std::wstring, VSID>& wellKnownAccounts();

// "Deny", "ImplicitAllow", "Stop", "Allow", "Revoke"; any other value in hexadecimal ("%X").
std::wstring kindText(AccessItemKind kind);
// "ThisObject", "Files", "SubFolders"; any other value in hexadecimal ("%X").
std::wstring targetText(AccessItemTarget target);

// "<path>: allow for|deny to <account> <aceFlags %X> <accessMask %X>"; "deny to" whenever entry
// flag 0x1 is set, also on a Revoke entry.
std::wstring entryToText(const RealEntry& entry);

}  // namespace DiskSecurity
