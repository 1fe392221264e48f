// The access control: the intermediate form in which entries, inherited ACEs and ACEs read from
// disk meet before anything becomes an ACL. A map from (account, target) to one access item;
// whatever arrives for a key that is taken is merged by one set of rules (mapItem).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "accounts/vsid.h"
#include "disksecurity/entry_template.h"
#include "disksecurity/vocabularies.h"
#include "runtime/scoped_value.h"

namespace DiskSecurity {

// Security debugging as the engine's detailed lines ask for it: while a SecurityDebugSnapshot
// lives on this thread, the answer it read when it was made; otherwise isSecurityDebugOn().
// A walk asks once per object it handles instead of once per line: the dumps of one object's
// items run to hundreds of lines, and the switch is a registry read every sixteenth query.
bool securityDebugging();

class SecurityDebugSnapshot {
public:
    SecurityDebugSnapshot();
    // Whether a snapshot lives on this thread.
    static bool active();

private:
    ScopedValue<std::optional<bool>> answer_;
};

// The levels of items that come from no entry level.
constexpr std::int32_t LevelAnyPath = -1;  // entries whose path is "*"
constexpr std::int32_t LevelAcl = -2;      // items read from an ACL

struct AccessItem {
    AccessItemKind kind = AccessItemKind::Allow;
    std::uint32_t allowMask = 0;  // always generically mapped
    std::uint32_t denyMask = 0;   // the deny part of an ImplicitAllow item; 0 otherwise
    std::int32_t level = 0;       // the entry's level, LevelAnyPath or LevelAcl
};

// An account with a target. Keys order by the SID (shorter first, then byte by byte), then the
// target, so that the items of one account stay together. A walk makes keys for every ACE of
// every object it reads, so a key keeps the SID's bytes in place and makes the account value
// and the SID's text only when asked (buildAcl, dumps).
class AccessKey {
public:
    // The largest SID: 8 bytes of header and 15 sub-authorities (MS-DTYP 2.4.2).
    static constexpr std::size_t MaxSidBytes = 68;

    AccessKey(const VSID& account, AccessItemTarget target);
    // The SID at `sid` (a valid one, GetLengthSid bytes long).
    AccessKey(const std::uint8_t* sid, AccessItemTarget target);
    // The same account with another target.
    AccessKey(const AccessKey& other, AccessItemTarget target);

    VSID account() const { return VSID(sid_.data()); }
    const std::uint8_t* sid() const { return sid_.data(); }
    std::uint32_t sidLength() const { return length_; }
    AccessItemTarget target() const { return target_; }
    std::wstring sidText() const;
    // "<SID string>/<target>", for dumps.
    std::wstring text() const;

    // <0, 0 or >0 as the SID of `a` orders before, as or after that of `b`.
    static int compareSids(const AccessKey& a, const AccessKey& b);

    friend bool operator<(const AccessKey& a, const AccessKey& b) {
        int sids = compareSids(a, b);
        return sids != 0 ? sids < 0 : a.target_ < b.target_;
    }
    friend bool operator==(const AccessKey& a, const AccessKey& b) {
        return a.target_ == b.target_ && compareSids(a, b) == 0;
    }

private:
    std::array<std::uint8_t, MaxSidBytes> sid_{};
    std::uint8_t length_ = 0;
    AccessItemTarget target_;
};

// The item store of one object. Shared by reference count (VAccessControlPtr) between the
// path information and the controls derived from it.
class VAccessControl {
public:
    // Ordered by key. An object's items are a handful, made anew for every object a walk
    // handles: a sorted vector holds them in one allocation where a tree needs one a node.
    using Items = std::vector<std::pair<AccessKey, AccessItem>>;
    using const_iterator = Items::const_iterator;

    const_iterator begin() const { return items_.begin(); }
    const_iterator end() const { return items_.end(); }
    std::size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    // The item of `key`, null when there is none.
    const AccessItem* find(const AccessKey& key) const;
    AccessItem* find(const AccessKey& key);
    // Adds `item` under `key`, which has none yet.
    void insert(const AccessKey& key, const AccessItem& item);

private:
    Items items_;
};

using VAccessControlPtr = std::shared_ptr<VAccessControl>;

// Merges `item` under `key`: an allow-like item with mask 0 becomes Stop (other zero-mask
// items are dropped); a free key takes the item; otherwise a higher level wins, a Deny and an
// ImplicitAllow of one level combine, equal kinds OR their masks and of different kinds the
// greater wins. A level-less item (LevelAnyPath) skips the level rule.
void mapItem(VAccessControl& control, const AccessKey& key, const AccessItem& item);

// Adds the items of one real entry for the object being secured. `inherited`: the entry lies on
// a level above the object; `index`: the entry's level, copied into every item; `isContainer`:
// the object is a folder. A no-propagate entry with mask 0 gives Stop items on all targets; an
// inherited entry gives only what its inheritance flags pass on to such an object.
void addEntryItems(VAccessControl& control, const RealEntry& entry, bool inherited,
                   std::int32_t index, bool isContainer);

// One item as the debug dumps write it: "<label>: index %d, apply onto %s, type %s, account %s,
// access %X[%X], key %s" (capitalised and without the label when `label` is empty).
std::wstring itemText(const AccessKey& key, const AccessItem& item, const std::wstring& label);

}  // namespace DiskSecurity
