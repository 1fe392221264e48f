#include "platform/dtyp/inheritance.h"

#include <algorithm>

namespace Platform::Dtyp {

namespace {

constexpr std::uint8_t AuditFlags = AceFlag::SuccessfulAccess | AceFlag::FailedAccess;

// The copy of a parent ACE that takes effect on the child. It is flagged INHERITED_ACE and
// nothing else of the inheritance bits: it applies here and passes nothing on (a pass-on copy,
// if any, is separate). Its generic rights are mapped and CREATOR OWNER / CREATOR GROUP become
// the child's owner / group, because "if an inherited ACE is an effective ACE for the child
// object, the system maps any generic rights to the specific rights for the child object;
// similarly the system maps generic SIDs such as CREATOR_OWNER to the appropriate SID"
// (ACE inheritance rules). The audit flags SA and FA are kept: they say when a SACL ACE fires.
Ace effectiveCopy(const Ace& parent, const Sid& owner, const Sid& group,
                  const GenericMapping& mapping) {
    Ace copy = parent;
    copy.flags = static_cast<std::uint8_t>(AceFlag::Inherited | (parent.flags & AuditFlags));
    copy.mask = mapGenericMask(parent.mask, mapping);
    if (parent.sid == WellKnownSid::creatorOwner()) {
        copy.sid = owner;
    } else if (parent.sid == WellKnownSid::creatorGroup()) {
        copy.sid = group;
    }
    return copy;
}

// The copy of a parent ACE that a container passes on to its own children: the parent's SID and
// mask unchanged ("any generic rights or generic SIDs are left unchanged so that they can be
// mapped appropriately when the ACE is inherited by the next generation"), the same OI / CI
// flags so that it keeps propagating, flagged INHERITED_ACE.
Ace passOnCopy(const Ace& parent, bool inheritOnly) {
    Ace copy = parent;
    std::uint8_t flags = AceFlag::Inherited | (parent.flags & AuditFlags) |
                         (parent.flags & (AceFlag::ObjectInherit | AceFlag::ContainerInherit));
    if (inheritOnly) {
        flags |= AceFlag::InheritOnly;
    }
    copy.flags = flags;
    return copy;
}

}  // namespace

std::vector<Ace> inheritedAces(const Acl& parentDacl, bool childIsContainer, const Sid& owner,
                               const Sid& group, const GenericMapping& mapping) {
    std::vector<Ace> result;
    for (const Ace& ace : parentDacl.aces) {
        // The parent's own INHERITED_ACE and INHERIT_ONLY_ACE bits say nothing about the child:
        // an inherit-only ACE exists precisely to be inherited, and whether the parent got the
        // ACE from its own parent does not matter. Only OI, CI and NP decide.
        bool objectInherit = (ace.flags & AceFlag::ObjectInherit) != 0;
        bool containerInherit = (ace.flags & AceFlag::ContainerInherit) != 0;
        bool noPropagate = (ace.flags & AceFlag::NoPropagateInherit) != 0;

        if (!childIsContainer) {
            // A file takes the ACEs meant for objects (OI) as effective ACEs, and only those:
            // CI alone has "no effect on the child object" when it is not a container. A file
            // has no children, so its copy carries no inheritance flags (NP changes nothing).
            if (objectInherit) {
                result.push_back(effectiveCopy(ace, owner, group, mapping));
            }
            continue;
        }

        if (containerInherit) {
            // CI: the container takes the ACE as an effective ACE.
            Ace effective = effectiveCopy(ace, owner, group, mapping);
            if (noPropagate) {
                // NP: the ACE stops at this child; "the inherited ACE is inheritable unless the
                // NO_PROPAGATE_INHERIT_ACE bit flag is also set", so the copy keeps no OI / CI.
                result.push_back(std::move(effective));
                continue;
            }
            Ace passOn = passOnCopy(ace, false);
            if (effective.mask == passOn.mask && effective.sid == passOn.sid) {
                // Nothing generic to map: one ACE both applies here (IO removed) and passes on.
                result.push_back(std::move(passOn));
            } else {
                // Mapping or CREATOR substitution changed it: "the container can inherit two
                // ACEs", an effective-only copy with the mapped information and an inherit-only
                // copy that keeps the generic information for the next generation.
                passOn.flags |= AceFlag::InheritOnly;
                result.push_back(std::move(effective));
                result.push_back(std::move(passOn));
            }
            continue;
        }

        if (objectInherit && !noPropagate) {
            // OI without CI: not for the container itself, but its files must get it, so the
            // container carries it inherit-only ("containers inherit an inherit-only ACE unless
            // the NO_PROPAGATE_INHERIT_ACE bit flag is also set"). OI stays so that files below
            // take it; CI stays clear so that it does not apply to deeper containers.
            result.push_back(passOnCopy(ace, true));
        }
        // No inheritance flag: "no effect on child container or noncontainer objects".
    }
    return result;
}

Acl effectiveDacl(const Acl& storedDacl, bool isProtected, const Acl* parentDacl, bool isContainer,
                  const Sid& owner, const Sid& group, const GenericMapping& mapping) {
    Acl result = storedDacl;
    // A protected DACL (SE_DACL_PROTECTED, "D:P") inherits nothing; its own inheritable ACEs
    // still reach its children through this same function one level down.
    if (isProtected || parentDacl == nullptr) {
        return result;
    }
    std::vector<Ace> inherited = inheritedAces(*parentDacl, isContainer, owner, group, mapping);
    result.aces.insert(result.aces.end(), std::make_move_iterator(inherited.begin()),
                       std::make_move_iterator(inherited.end()));
    result.revision = std::max(result.revision, parentDacl->revision);
    return result;
}

}  // namespace Platform::Dtyp
