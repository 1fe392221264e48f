#include "disksecurity/access_control.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "runtime/config.h"
#include "runtime/log.h"
#include "winsecurity/access.h"

namespace DiskSecurity {
namespace {

// The answer of the snapshot living on this thread; empty when there is none.
thread_local std::optional<bool> debugSnapshot;

// Only the debug dumps name accounts; an account that cannot be named is shown by its SID.
std::wstring accountText(const VSID& account) {
    try {
        return account.displayName();
    } catch (...) {
        return account.hasSid() ? account.toString() : std::wstring(L"(no SID)");
    }
}

void dumpItem(const wchar_t* label, const AccessKey& key, const AccessItem& item) {
    if (securityDebugging()) {
        LogManager::instance().logText(LogInfo, itemText(key, item, label));
    }
}

bool allowLike(AccessItemKind kind) {
    return kind == AccessItemKind::Allow || kind == AccessItemKind::ImplicitAllow;
}

}  // namespace

bool securityDebugging() {
    return debugSnapshot ? *debugSnapshot : isSecurityDebugOn();
}

SecurityDebugSnapshot::SecurityDebugSnapshot() : answer_(debugSnapshot, isSecurityDebugOn()) {}

bool SecurityDebugSnapshot::active() {
    return debugSnapshot.has_value();
}

AccessKey::AccessKey(const VSID& account, AccessItemTarget target)
    : AccessKey(account.sid(), target) {
    if (!account.hasSid()) {
        throwOsError(L"Invalid sid(s)", Platform::WinError::InvalidSid,
                     VSITE("AccessKey::AccessKey"));
    }
}

AccessKey::AccessKey(const std::uint8_t* sid, AccessItemTarget target) : target_(target) {
    // Revision, sub-authority count, six bytes of authority, then four bytes a sub-authority.
    std::size_t length = sid ? 8 + 4 * static_cast<std::size_t>(sid[1]) : 0;
    if (!sid || length > MaxSidBytes) {
        throwOsError(L"Invalid sid(s)", Platform::WinError::InvalidSid,
                     VSITE("AccessKey::AccessKey"));
    }
    std::memcpy(sid_.data(), sid, length);
    length_ = static_cast<std::uint8_t>(length);
}

AccessKey::AccessKey(const AccessKey& other, AccessItemTarget target)
    : sid_(other.sid_), length_(other.length_), target_(target) {}

std::wstring AccessKey::sidText() const {
    return account().toString();
}

std::wstring AccessKey::text() const {
    return sidText() + L"/" + targetText(target_);
}

int AccessKey::compareSids(const AccessKey& a, const AccessKey& b) {
    if (a.length_ != b.length_) {
        return a.length_ < b.length_ ? -1 : 1;
    }
    return std::memcmp(a.sid_.data(), b.sid_.data(), a.length_);
}

namespace {

bool keyBefore(const std::pair<AccessKey, AccessItem>& entry, const AccessKey& key) {
    return entry.first < key;
}

}  // namespace

const AccessItem* VAccessControl::find(const AccessKey& key) const {
    auto it = std::lower_bound(items_.begin(), items_.end(), key, keyBefore);
    return it == items_.end() || !(it->first == key) ? nullptr : &it->second;
}

AccessItem* VAccessControl::find(const AccessKey& key) {
    return const_cast<AccessItem*>(std::as_const(*this).find(key));
}

void VAccessControl::insert(const AccessKey& key, const AccessItem& item) {
    if (items_.empty()) {
        items_.reserve(16);  // room for what an object usually holds: one allocation
    }
    items_.emplace(std::lower_bound(items_.begin(), items_.end(), key, keyBefore), key, item);
}

std::wstring itemText(const AccessKey& key, const AccessItem& item, const std::wstring& label) {
    std::wstring account = accountText(key.account());
    if (label.empty()) {
        return formatString(L"Index %d, apply onto %s, type %s, account %s, access %X[%X], key %s",
                            item.level, targetText(key.target()), kindText(item.kind), account,
                            item.allowMask, item.denyMask, key.text());
    }
    return formatString(L"%s: index %d, apply onto %s, type %s, account %s, access %X[%X], key %s",
                        label, item.level, targetText(key.target()), kindText(item.kind), account,
                        item.allowMask, item.denyMask, key.text());
}

void mapItem(VAccessControl& control, const AccessKey& key, const AccessItem& item) {
    AccessItem incoming = item;
    if (incoming.allowMask == 0 && incoming.kind != AccessItemKind::Stop &&
        incoming.kind != AccessItemKind::Revoke) {
        // Granting nothing still says something: no lower-priority item may grant here.
        if (!allowLike(incoming.kind)) {
            dumpItem(L"Skipping from mapping", key, incoming);
            return;
        }
        incoming.kind = AccessItemKind::Stop;
        dumpItem(L"Converting to stop entry", key, incoming);
    }

    AccessItem* found = control.find(key);
    if (!found) {
        dumpItem(L"Adding new item", key, incoming);
        control.insert(key, incoming);
        return;
    }
    AccessItem& existing = *found;

    // The deeper level speaks for the object; a level-less item meets any level by kind.
    if (incoming.level != LevelAnyPath && incoming.level != existing.level) {
        if (incoming.level > existing.level) {
            dumpItem(L"Replacing item of a lower level", key, incoming);
            existing = incoming;
        }
        return;
    }

    bool denyMeetsImplicit =
        (incoming.kind == AccessItemKind::ImplicitAllow && existing.kind == AccessItemKind::Deny) ||
        (incoming.kind == AccessItemKind::Deny && existing.kind == AccessItemKind::ImplicitAllow);
    if (denyMeetsImplicit) {
        // An allow ACE and a deny ACE of one account read from disk make one item.
        const AccessItem& allow =
            incoming.kind == AccessItemKind::ImplicitAllow ? incoming : existing;
        const AccessItem& deny = incoming.kind == AccessItemKind::Deny ? incoming : existing;
        AccessItem combined;
        combined.kind = AccessItemKind::ImplicitAllow;
        combined.allowMask = allow.allowMask;
        combined.denyMask = allow.denyMask | deny.allowMask;
        combined.level = allow.level < 0  ? allow.level
                         : deny.level < 0 ? deny.level
                                          : std::max(allow.level, deny.level);
        existing = combined;
        dumpItem(L"Combining deny and allow", key, existing);
        return;
    }

    if (incoming.kind == existing.kind) {
        existing.allowMask |= incoming.allowMask;
        // Only ImplicitAllow items carry a deny part; keep both of them.
        existing.denyMask |= incoming.denyMask;
        dumpItem(L"Modifying existing item", key, existing);
        return;
    }

    if (static_cast<std::int32_t>(incoming.kind) > static_cast<std::int32_t>(existing.kind)) {
        dumpItem(L"Replacing item of a weaker kind", key, incoming);
        existing = incoming;
    }
}

void addEntryItems(VAccessControl& control, const RealEntry& entry, bool inherited,
                   std::int32_t index, bool isContainer) {
    if (securityDebugging()) {
        LogManager::instance().log(LogInfo, L"%d[%s]Entry %s", index,
                                   inherited ? L"inherited" : L"explicit", entryToText(entry));
    }

    constexpr AccessItemTarget allTargets[] = {
        AccessItemTarget::ThisObject, AccessItemTarget::Files, AccessItemTarget::SubFolders};
    auto add = [&](AccessItemKind kind, std::uint32_t mask, AccessItemTarget target) {
        mapItem(control, AccessKey(entry.account, target), AccessItem{kind, mask, 0, index});
    };

    if ((entry.entryFlags & EntryFlag::NoPropagate) && entry.accessMask == 0) {
        for (AccessItemTarget target : allTargets) {
            add(AccessItemKind::Stop, mapGenericAccess(0), target);
        }
        return;
    }

    std::uint32_t flags = entry.aceFlags;
    if (inherited) {
        // What an ACE with these flags passes on to the object (MS-DTYP 2.5.3.4): a file takes
        // only object-inheritable ACEs, a folder container-inheritable ones, and a folder
        // passes object-inheritable ACEs on to its files as inherit-only.
        if (!isContainer) {
            if (!(flags & AceFlag::ObjectInherit)) {
                return;
            }
            flags &= ~AceFlag::InheritOnly;
        } else {
            if (!(flags & (AceFlag::ContainerInherit | AceFlag::InheritOnly))) {
                return;
            }
            if (flags & AceFlag::ContainerInherit) {
                flags &= ~AceFlag::InheritOnly;
            }
        }
        if (flags == 0) {
            return;
        }
    }

    AccessItemKind kind = (entry.entryFlags & EntryFlag::Revoke) ? AccessItemKind::Revoke
                          : (entry.entryFlags & EntryFlag::Deny) ? AccessItemKind::Deny
                                                                 : AccessItemKind::Allow;
    std::uint32_t mask = mapGenericAccess(entry.accessMask);

    if (flags == 0 && kind == AccessItemKind::Revoke) {
        // Revoking on the object alone would leave inheritable ACEs of the account behind.
        for (AccessItemTarget target : allTargets) {
            add(kind, mask, target);
        }
        return;
    }
    if (!(flags & AceFlag::InheritOnly)) {
        add(kind, mask, AccessItemTarget::ThisObject);
    }
    if (flags & AceFlag::ObjectInherit) {
        add(kind, mask, AccessItemTarget::Files);
    }
    if (flags & AceFlag::ContainerInherit) {
        add(kind, mask, AccessItemTarget::SubFolders);
    }
}

}  // namespace DiskSecurity
