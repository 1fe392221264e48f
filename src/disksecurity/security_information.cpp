#include "disksecurity/security_information.h"

#include <map>
#include <tuple>
#include <vector>

#include "platform/dtyp/ace.h"
#include "platform/filesystem.h"
#include "runtime/config.h"
#include "runtime/filename.h"
#include "runtime/log.h"
#include "winsecurity/access.h"

namespace DiskSecurity {
namespace {

namespace Dtyp = Platform::Dtyp;

bool allowLike(AccessItemKind kind) {
    return kind == AccessItemKind::Allow || kind == AccessItemKind::ImplicitAllow;
}

// The rights an item denies beyond those it allows.
std::uint32_t denyPart(const AccessItem& item) {
    return item.denyMask & ~item.allowMask;
}

void dumpItem(const wchar_t* label, const AccessKey& key, const AccessItem& item) {
    if (securityDebugging()) {
        LogManager::instance().logText(LogInfo, itemText(key, item, label));
    }
}

// SYSTEM and Administrators keep full control of everything the tool secures, unless an entry
// says otherwise for them: the items of two ACEs with object and container inherit and
// GENERIC_ALL, made once.
const VAccessControl& baseItems() {
    static const VAccessControl items = [] {
        constexpr std::uint8_t flags =
            Dtyp::AceFlag::ObjectInherit | Dtyp::AceFlag::ContainerInherit;
        constexpr std::uint32_t genericAll = 0x10000000;
        VAccessControl control;
        for (const auto& sid : {VSID::system(), VSID::admins()}) {
            addAce(control,
                   VAce::create(Dtyp::AceType::AccessAllowed, flags, genericAll, sid.data()));
        }
        return control;
    }();
    return items;
}

// Whether inheritance already gives what `required` asks for, so that no explicit item is needed.
bool inheritanceGives(const AccessItem& required, const AccessItem& inherited) {
    if (allowLike(required.kind) && allowLike(inherited.kind)) {
        return accessEquals(required.allowMask, inherited.allowMask) &&
               denyPart(required) == denyPart(inherited);
    }
    if (required.kind == AccessItemKind::Deny && inherited.kind == AccessItemKind::ImplicitAllow) {
        return denyPart(inherited) == required.allowMask;
    }
    if (required.kind == AccessItemKind::ImplicitAllow && inherited.kind == AccessItemKind::Deny) {
        return denyPart(required) == inherited.allowMask;
    }
    return required.kind == inherited.kind && accessEquals(required.allowMask, inherited.allowMask);
}

// The SID behind the ACE's head, in place.
const std::uint8_t* sidOf(const VAce& ace) {
    return ace.get() + VAce::headSizeOf(ace.get());
}

AccessItem aceItem(const VAce& ace) {
    bool deny = ace.type() == Dtyp::AceType::AccessDenied ||
                ace.type() == Dtyp::AceType::AccessDeniedObject;
    return AccessItem{deny ? AccessItemKind::Deny : AccessItemKind::ImplicitAllow,
                      mapGenericAccess(ace.mask()), 0, LevelAcl};
}

}  // namespace

SecurityInformation::SecurityInformation(VEntryCollectionPtr collection, std::wstring sourcePath)
    : collection_(std::move(collection)), sourcePath_(std::move(sourcePath)) {}

const VAccessControl& SecurityInformation::derived(bool forFiles) const {
    std::optional<VAccessControl>& cached =
        forFiles ? controls_->forFiles : controls_->forSubFolders;
    if (cached) {
        return *cached;
    }
    VAccessControl control;
    for (const auto& [key, item] : controls_->required) {
        if (forFiles) {
            // A file below the path is what the path's file items speak of.
            if (key.target() == AccessItemTarget::Files) {
                mapItem(control, AccessKey(key, AccessItemTarget::ThisObject), item);
            }
        } else if (key.target() == AccessItemTarget::SubFolders) {
            // A subfolder is itself a folder below, and passes the same on to its own folders.
            mapItem(control, AccessKey(key, AccessItemTarget::ThisObject), item);
            mapItem(control, key, item);
        } else if (key.target() == AccessItemTarget::Files) {
            mapItem(control, key, item);
        }
    }
    cached = std::move(control);
    return *cached;
}

SecurityInformationPtr getSecurityInformation(const SecurityInformation& parent,
                                              const std::wstring& path,
                                              std::optional<bool> isDirectory) {
    // The root information has no mapping yet. The line's wording is the one log readers
    // search for; no operation of that name exists here.
    if (!parent.entries() && securityDebugging()) {
        LogManager::instance().log(
            LogInfo,
            L"requireNewAcl() returns true for path %s because security information is dirty",
            path);
    }
    if (!isDirectory) {
        std::uint32_t attributes = 0;
        isDirectory =
            fileExist(path, attributes) && (attributes & Platform::FileAttribute::Directory) != 0;
    }
    auto information =
        std::make_shared<SecurityInformation>(parent.collection(), parent.sourcePath());
    generate(*information, path, *isDirectory, &parent);
    return information;
}

namespace {

// Whether `mapping` requires what `parent`'s does: the same entries apply on the same levels,
// none on either path itself (an entry there speaks of the object, not of what lies below).
bool requiresTheSame(const Path2Entries& mapping, const Path2Entries& parent) {
    std::int32_t last = mapping.lastIndex();
    if (last != parent.lastIndex() || mapping.firstIndex() != parent.firstIndex() ||
        last + 1 >= static_cast<std::int32_t>(parent.size()) ||
        last + 1 >= static_cast<std::int32_t>(mapping.size()) ||
        mapping.stateFlags() != parent.stateFlags() ||
        mapping.collection() != parent.collection()) {
        return false;
    }
    for (std::int32_t k = mapping.firstIndex(); k <= last; ++k) {
        auto mine = mapping.level(static_cast<std::size_t>(k));
        auto theirs = parent.level(static_cast<std::size_t>(k));
        if (mine.begin() != theirs.begin() || mine.end() != theirs.end()) {
            return false;
        }
    }
    return true;
}

}  // namespace

void generate(SecurityInformation& information, const std::wstring& path, bool isDirectory,
              const SecurityInformation* parent) {
    LogManager& log = LogManager::instance();
    if (securityDebugging()) {
        log.log(LogInfo, L"Generating ACL for path %s", path);
    }
    information.isDirectory_ = isDirectory;
    const Path2Entries* parentMapping = parent ? parent->entries().get() : nullptr;
    information.entries_ =
        parentMapping ? std::make_shared<const Path2Entries>(*parentMapping, path)
                      : std::make_shared<const Path2Entries>(information.collection_, path);
    // Debugging tells every item of every path.
    if (parentMapping && parent->isDirectory() == isDirectory && parent->controls() &&
        !securityDebugging() && requiresTheSame(*information.entries_, *parentMapping)) {
        information.controls_ = parent->controls();
    } else {
        auto controls = std::make_shared<RequiredControls>();
        controls->required = requiredControl(*information.entries_, isDirectory);
        for (const auto& [key, item] : baseItems()) {
            mapItem(controls->required, key, item);
        }
        information.controls_ = std::move(controls);
    }
    // No path is kept: a walk holds an information for each level of a chain of folders.
    bool useParent = information.hasState(StateUseParentPath);
    std::wstring parentPath = useParent ? VFileName::removeFileSpec(path) : std::wstring();
    information.throughParent_ = useParent && comparePaths(path, parentPath) == PathBelow;
    if (securityDebugging()) {
        log.log(LogInfo, L"State flags %X for path %s, intern path %s", information.stateFlags(),
                path, useParent ? parentPath : path);
    }
}

const VAccessControl& requiredControlFor(const SecurityInformation& information,
                                         ObjectMode mode) {
    if (!mode.child()) {
        return information.required();
    }
    return information.derived(mode.file());
}

VAccessControl requiredControl(const Path2Entries& mapping, bool isDirectory) {
    VAccessControl control;
    auto own = static_cast<std::int32_t>(mapping.size()) - 1;
    for (std::int32_t k = mapping.firstIndex(); k <= mapping.lastIndex(); ++k) {
        for (const RealEntry& entry : mapping.level(static_cast<std::size_t>(k))) {
            addEntryItems(control, entry, k != own, k, isDirectory);
        }
    }
    for (const RealEntry& entry : mapping.anyPathEntries()) {
        AccessItemKind kind = (entry.entryFlags & EntryFlag::Revoke) ? AccessItemKind::Revoke
                              : (entry.entryFlags & EntryFlag::Deny) ? AccessItemKind::Deny
                                                                     : AccessItemKind::Allow;
        mapItem(control, AccessKey(entry.account, AccessItemTarget::ThisObject),
                AccessItem{kind, mapGenericAccess(entry.accessMask), 0, LevelAnyPath});
    }
    return control;
}

void addAce(VAccessControl& control, const VAce& ace) {
    AccessItem item = aceItem(ace);
    const std::uint8_t* sid = sidOf(ace);
    std::uint8_t flags = ace.flags();
    if (!(flags & Dtyp::AceFlag::InheritOnly)) {
        mapItem(control, AccessKey(sid, AccessItemTarget::ThisObject), item);
    }
    if (flags & Dtyp::AceFlag::ObjectInherit) {
        mapItem(control, AccessKey(sid, AccessItemTarget::Files), item);
    }
    if (flags & Dtyp::AceFlag::ContainerInherit) {
        mapItem(control, AccessKey(sid, AccessItemTarget::SubFolders), item);
    }
}

void addInheritedAce(VAccessControl& control, const VAce& ace, bool objectIsFile) {
    AccessItem item = aceItem(ace);
    const std::uint8_t* sid = sidOf(ace);
    std::uint8_t flags = ace.flags();
    if (objectIsFile) {
        if (flags & Dtyp::AceFlag::ObjectInherit) {
            mapItem(control, AccessKey(sid, AccessItemTarget::ThisObject), item);
        }
        return;
    }
    if (flags & Dtyp::AceFlag::ContainerInherit) {
        mapItem(control, AccessKey(sid, AccessItemTarget::ThisObject), item);
        mapItem(control, AccessKey(sid, AccessItemTarget::SubFolders), item);
    }
    if (flags & Dtyp::AceFlag::ObjectInherit) {
        mapItem(control, AccessKey(sid, AccessItemTarget::Files), item);
    }
}

VAccessControl fromAcl(const VAcl& acl) {
    VAccessControl control;
    for (int i = 0, count = acl.aceCount(); i < count; ++i) {
        addAce(control, acl.aceAt(i));
    }
    return control;
}

VAccessControl inheritedControl(const VAcl& parentAcl, bool objectIsFile) {
    VAccessControl control;
    for (int i = 0, count = parentAcl.aceCount(); i < count; ++i) {
        addInheritedAce(control, parentAcl.aceAt(i), objectIsFile);
    }
    return control;
}

ItemVerdict judgeItems(const AccessKey& key, const AccessItem* required, const AccessItem* existing,
                       std::uint32_t flags) {
    if ((flags & CompareFlag::ThisObjectOnly) && key.target() != AccessItemTarget::ThisObject) {
        return ItemVerdict::OtherTarget;
    }
    if (!required) {
        return ItemVerdict::Unrequired;
    }
    switch (required->kind) {
        case AccessItemKind::Allow:
        case AccessItemKind::Deny:
        case AccessItemKind::ImplicitAllow:
            if (!existing) {
                return ItemVerdict::Missing;
            }
            return itemMatches(*required, *existing, (flags & CompareFlag::Exact) != 0)
                       ? ItemVerdict::Satisfied
                       : ItemVerdict::Wrong;
        case AccessItemKind::Stop:
            // A stop shuts the account out: whatever it holds must grant nothing.
            if (!existing) {
                return ItemVerdict::Satisfied;
            }
            return allowLike(existing->kind) && existing->allowMask != 0 ? ItemVerdict::Broken
                                                                         : ItemVerdict::Unrequired;
        case AccessItemKind::Revoke:
            return existing ? ItemVerdict::Broken : ItemVerdict::Satisfied;
    }
    return ItemVerdict::Satisfied;
}

bool compareControls(const VAccessControl& required, const VAccessControl& existing,
                     std::uint32_t flags) {
    bool debug = securityDebugging();
    if (debug) {
        dumpControl(required, L"Required control");
        dumpControl(existing, L"Existing control");
    }
    std::size_t matched = 0;
    std::size_t unrequired = 0;
    bool satisfied = compareItems(required, existing, flags, [&](const ItemComparison& item) {
        switch (item.verdict) {
            case ItemVerdict::OtherTarget:
                if (item.required) {
                    dumpItem(L"Skip file access", item.key, *item.required);
                }
                return true;
            case ItemVerdict::Satisfied:
                matched += item.existing ? 1 : 0;
                return true;
            case ItemVerdict::Unrequired:
                ++unrequired;
                return true;
            case ItemVerdict::Missing:
                dumpItem(L"Not found access", item.key, *item.required);
                return false;
            case ItemVerdict::Wrong:
            case ItemVerdict::Broken:
                break;
        }
        dumpItem(L"Required access value", item.key, *item.required);
        const wchar_t* wrong = item.verdict == ItemVerdict::Wrong ? L"Wrong access value"
                               : item.required->kind == AccessItemKind::Stop
                                   ? L"Wrong Stop access value"
                                   : L"Wrong Revoke access value";
        dumpItem(wrong, item.key, *item.existing);
        return false;
    });
    if (!satisfied) {
        return false;
    }
    // Only the targets that were compared count: the base ACL's inheritable ACEs on a file
    // compared for itself alone are no surplus.
    if ((flags & CompareFlag::Exact) && unrequired != 0) {
        if (debug) {
            LogManager::instance().log(LogInfo, L"Found %d, total size %d",
                                       static_cast<std::int32_t>(matched),
                                       static_cast<std::int32_t>(matched + unrequired));
        }
        return false;
    }
    return true;
}

VAccessControl notInherited(const VAccessControl& required, const VAccessControl& inherited) {
    VAccessControl result;
    for (const auto& [key, item] : required) {
        const AccessItem* given = inherited.find(key);
        if (!given || !inheritanceGives(item, *given)) {
            mapItem(result, key, item);
        }
    }
    return result;
}

VAcl buildAcl(const VAccessControl& control) {
    // One ACE per (account, allow or deny, mask), in the order first met; the targets of one
    // such ACE make up its inheritance flags.
    struct AceShape {
        const AccessKey* key;
        bool deny;
        std::uint32_t mask;
        std::uint8_t flags;
    };
    auto before = [](const AceShape& a, const AceShape& b) {
        if (int sids = AccessKey::compareSids(*a.key, *b.key)) {
            return sids < 0;
        }
        return std::tie(a.deny, a.mask) < std::tie(b.deny, b.mask);
    };
    std::vector<AceShape> shapes;
    std::map<AceShape, std::size_t, decltype(before)> index(before);
    auto add = [&](const AccessKey& key, bool deny, std::uint32_t mask) {
        AceShape shape{&key, deny, mask, 0};
        auto [it, inserted] = index.try_emplace(shape, shapes.size());
        if (inserted) {
            shapes.push_back(shape);
        }
        std::uint8_t& flags = shapes[it->second].flags;
        switch (key.target()) {
            case AccessItemTarget::ThisObject:
                flags =
                    inserted ? 0 : static_cast<std::uint8_t>(flags & ~Dtyp::AceFlag::InheritOnly);
                break;
            case AccessItemTarget::Files:
                flags = inserted ? Dtyp::AceFlag::ObjectInherit | Dtyp::AceFlag::InheritOnly
                                 : flags | Dtyp::AceFlag::ObjectInherit;
                break;
            case AccessItemTarget::SubFolders:
                flags = inserted ? Dtyp::AceFlag::ContainerInherit | Dtyp::AceFlag::InheritOnly
                                 : flags | Dtyp::AceFlag::ContainerInherit;
                break;
        }
    };
    for (const auto& [key, item] : control) {
        switch (item.kind) {
            case AccessItemKind::Allow:
                add(key, false, item.allowMask);
                break;
            case AccessItemKind::Deny:
                add(key, true, item.allowMask);
                break;
            case AccessItemKind::ImplicitAllow:
                add(key, false, item.allowMask);
                if (denyPart(item) != 0) {
                    add(key, true, denyPart(item));
                }
                break;
            case AccessItemKind::Stop:
            case AccessItemKind::Revoke:
                break;
        }
    }
    std::vector<VAce> aces;
    for (const AceShape& shape : shapes) {
        if (shape.mask != 0) {
            aces.push_back(VAce::create(
                shape.deny ? Dtyp::AceType::AccessDenied : Dtyp::AceType::AccessAllowed,
                shape.flags, shape.mask, shape.key->sid()));
        }
    }
    VAcl acl;
    acl.addAces(aces);
    return acl;
}

NewAcl computeNewAcl(const SecurityInformation& information, const VAcl& existing,
                     const VAcl& parentAcl, ObjectMode mode) {
    return computeNewAcl(information, existing, inheritedControl(parentAcl, mode.file()), mode);
}

NewAcl computeNewAcl(const SecurityInformation& information, const VAcl& existing,
                     const VAccessControl& inherited, ObjectMode mode) {
    const VAccessControl& required = requiredControlFor(information, mode);
    bool exactAcl = information.hasState(StateExactAclHere);
    bool inherit = false;
    if (information.hasState(StateBreaksInheritance)) {
        inherit = false;
    } else if (information.hasState(StateInheritHere)) {
        inherit = true;
    } else if (!existing.hasInheritedAce()) {
        inherit = false;
    } else {
        inherit = compareControls(required, inherited,
                                  (mode.file() ? CompareFlag::ThisObjectOnly : 0) |
                                      (exactAcl ? CompareFlag::Exact : 0));
    }

    VAccessControl wanted = required;
    if (!exactAcl) {
        // ACEs of accounts and targets that no entry speaks of stay; formerly inherited ones
        // become explicit when the object stops inheriting.
        for (int i = 0, count = existing.aceCount(); i < count; ++i) {
            addAce(wanted, existing.aceAt(i));
        }
    }
    if (inherit) {
        return NewAcl{buildAcl(notInherited(wanted, inherited)), true};
    }
    return NewAcl{buildAcl(wanted), false};
}

void dumpControl(const VAccessControl& control, const std::wstring& label) {
    if (!securityDebugging()) {
        return;
    }
    LogManager& log = LogManager::instance();
    if (label.empty()) {
        log.logText(LogInfo, L"Dumping access control");
    } else {
        log.log(LogInfo, L"%s: dumping access control", label);
    }
    for (const auto& [key, item] : control) {
        log.logText(LogInfo, itemText(key, item, label));
    }
}

bool itemMatches(const AccessItem& required, const AccessItem& found, bool exact) {
    if (allowLike(required.kind) && allowLike(found.kind)) {
        bool allowMatches = exact ? accessEquals(required.allowMask, found.allowMask)
                                  : accessContains(required.allowMask, found.allowMask);
        return allowMatches && denyPart(required) == denyPart(found);
    }
    if (required.kind == AccessItemKind::ImplicitAllow && found.kind == AccessItemKind::Deny) {
        return denyPart(required) == found.allowMask;
    }
    if (required.kind == AccessItemKind::Deny && found.kind == AccessItemKind::ImplicitAllow) {
        return required.allowMask == denyPart(found);
    }
    if (required.kind == AccessItemKind::Deny && found.kind == AccessItemKind::Deny) {
        return accessEquals(required.allowMask, found.allowMask);
    }
    return false;
}

ObjectMode objectModeOf(const SecurityInformation& information, bool isDirectory) {
    bool child = information.securedThroughParent();
    return ObjectMode(child, !isDirectory, !child && information.hasState(StateExactAclHere),
                      !child && information.hasState(StateInheritHere));
}

bool isDaclWrongFor(const VAcl& dacl, const SecurityInformation& information, ObjectMode mode) {
    if (mode.inheritRequired() && !dacl.hasInheritedAce()) {
        if (securityDebugging()) {
            LogManager::instance().logText(LogInfo,
                                           L"Inherit permissions from parent requires failed");
        }
        return true;
    }
    if (compareControls(requiredControlFor(information, mode), fromAcl(dacl),
                        mode.compareFlags())) {
        return false;
    }
    if (securityDebugging()) {
        LogManager::instance().log(LogInfo, L"DACL is wrong, DACL dump:\n%s",
                                   dacl.dump(mapGenericAccess));
    }
    return true;
}

}  // namespace DiskSecurity
