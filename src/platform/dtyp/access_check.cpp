#include "platform/dtyp/access_check.h"

#include <algorithm>

#include "platform/text.h"

namespace Platform::Dtyp {

namespace {

// What the privileges grant to an open with backup semantics (the Windows privilege constants:
// SE_BACKUP_NAME "grants all read access control to any file", SE_RESTORE_NAME "all write
// access control").
constexpr std::uint32_t BackupRights = Access::ReadControl | Access::AccessSystemSecurity |
                                       Access::FileGenericRead | Access::FileExecute;
constexpr std::uint32_t RestoreRights =
    Access::WriteDac | Access::WriteOwner | Access::AccessSystemSecurity |
    Access::FileGenericWrite | Access::FileWriteData | Access::FileAppendData | Access::Delete;
constexpr std::uint32_t OwnerRights = Access::ReadControl | Access::WriteDac;

// ACEs that grant or deny in a DACL: the basic types, and object ACEs that name no object type
// (with one they speak of a property or child class, which files do not have).
enum class Effect { None, Allow, Deny };

Effect effectOf(const Ace& ace) {
    switch (ace.type) {
        case AceType::AccessAllowed:
            return Effect::Allow;
        case AceType::AccessDenied:
            return Effect::Deny;
        case AceType::AccessAllowedObject:
            return ace.hasObjectType() ? Effect::None : Effect::Allow;
        case AceType::AccessDeniedObject:
            return ace.hasObjectType() ? Effect::None : Effect::Deny;
        default:
            return Effect::None;
    }
}

}  // namespace

bool Token::hasSid(const Sid& sid) const {
    return user == sid || std::find(groups.begin(), groups.end(), sid) != groups.end();
}

bool Token::privilegeEnabled(const wchar_t* name) const {
    return std::any_of(privileges.begin(), privileges.end(), [name](const HeldPrivilege& held) {
        return held.enabled && equalsNoCase(held.name, name);
    });
}

AccessResult accessCheck(const SecurityDescriptor& sd, const Token& token, std::uint32_t desired,
                         bool backupSemantics, const GenericMapping& mapping) {
    bool maximum = (desired & Access::MaximumAllowed) != 0;
    std::uint32_t wanted = mapGenericMask(desired & ~Access::MaximumAllowed, mapping);
    std::uint32_t granted = 0;
    std::uint32_t denied = 0;

    // Privileges and ownership are settled before the DACL, so no deny ACE can take them away:
    // that is what lets an administrator always take ownership, and an owner always rewrite a
    // DACL that locks everyone out.
    if (token.privilegeEnabled(Privilege::Security)) {
        granted |= Access::AccessSystemSecurity;
    }
    if (token.privilegeEnabled(Privilege::TakeOwnership)) {
        granted |= Access::WriteOwner;
    }
    if (backupSemantics && token.privilegeEnabled(Privilege::Backup)) {
        granted |= BackupRights;
    }
    if (backupSemantics && token.privilegeEnabled(Privilege::Restore)) {
        granted |= RestoreRights;
    }

    bool isOwner = sd.owner && token.hasSid(*sd.owner);
    bool dacl = sd.hasDacl() && sd.dacl;
    // OWNER RIGHTS ACEs (S-1-3-4) replace the owner's implicit rights (MS-DTYP 2.5.3.2).
    bool ownerRightsAces =
        dacl && std::any_of(sd.dacl->aces.begin(), sd.dacl->aces.end(), [](const Ace& ace) {
            return !ace.isInheritOnly() && ace.sid == WellKnownSid::ownerRights();
        });
    if (isOwner && !ownerRightsAces) {
        granted |= OwnerRights;
    }

    if (!dacl) {
        // No DACL or a NULL DACL: no protection. ACCESS_SYSTEM_SECURITY still needs the privilege.
        granted |= mapping.genericAll | (wanted & ~Access::AccessSystemSecurity);
    } else {
        for (const Ace& ace : sd.dacl->aces) {
            Effect effect = effectOf(ace);
            if (effect == Effect::None || ace.isInheritOnly()) {
                continue;
            }
            bool applies =
                token.hasSid(ace.sid) || (isOwner && ace.sid == WellKnownSid::ownerRights());
            if (!applies) {
                continue;
            }
            // The emulated host stores masks as written, so generic bits are mapped here.
            std::uint32_t mask = mapGenericMask(ace.mask, mapping) & ~Access::AccessSystemSecurity;
            // In order: a right granted by an earlier ACE cannot be denied by a later one, and
            // a right denied earlier cannot be granted later.
            if (effect == Effect::Allow) {
                granted |= mask & ~denied;
            } else {
                denied |= mask & ~granted;
            }
        }
    }

    AccessResult result;
    if (maximum) {
        // ACCESS_SYSTEM_SECURITY is never part of "the most allowed": it must be asked for.
        result.granted = granted & ~(Access::AccessSystemSecurity & ~wanted);
        result.missing = wanted & ~granted;
        if (granted == 0) {
            result.missing |= Access::MaximumAllowed;
        }
    } else {
        result.missing = wanted & ~granted;
        result.granted = result.missing == 0 ? wanted : wanted & granted;
    }
    return result;
}

}  // namespace Platform::Dtyp
