// ACL generation: what one path must grant (its required access control, built from the entries
// that bear on it), how that compares with what its DACL grants, and the DACL to write when the
// two differ. One SecurityInformation per directory the checker visits; the files of a directory
// are handled with their directory's information unless the complete checker gives them their own.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "disksecurity/access_control.h"
#include "disksecurity/entry_collection.h"
#include "winsecurity/vace.h"
#include "winsecurity/vacl.h"

namespace DiskSecurity {

// Flags of compareControls.
namespace CompareFlag {
constexpr std::uint32_t Exact = 0x2;           // equal masks, and nothing more in the existing
constexpr std::uint32_t ThisObjectOnly = 0x4;  // items of other targets are not compared
}  // namespace CompareFlag

// How the object being handled stands to the information it is handled with.
class ObjectMode {
public:
    constexpr ObjectMode() = default;
    // `child`: strictly below the information's intern path; `file`: not a directory; `exact`:
    // the DACL must match exactly; `inheritRequired`: inherited ACEs are required.
    constexpr ObjectMode(bool child, bool file, bool exact, bool inheritRequired)
        : child_(child), file_(file), exact_(exact), inheritRequired_(inheritRequired) {}

    constexpr bool child() const { return child_; }
    constexpr bool file() const { return file_; }
    constexpr bool exact() const { return exact_; }
    constexpr bool inheritRequired() const { return inheritRequired_; }
    // What compareControls is asked for the object: equal masks where it must match exactly,
    // and the object alone, never what it passes on, for a file.
    constexpr std::uint32_t compareFlags() const {
        return (exact_ ? CompareFlag::Exact : 0) | (file_ ? CompareFlag::ThisObjectOnly : 0);
    }
    constexpr bool operator==(const ObjectMode&) const = default;

private:
    bool child_ = false;
    bool file_ = false;
    bool exact_ = false;
    bool inheritRequired_ = false;
};

// What a path must grant, and what a file or a subfolder below it must grant (filled on first
// use). Shared by the informations whose applicable entries are the same entries on the same
// levels, as are those of the folders below the deepest entries.
struct RequiredControls {
    VAccessControl required;
    mutable std::optional<VAccessControl> forFiles;
    mutable std::optional<VAccessControl> forSubFolders;
};
using RequiredControlsPtr = std::shared_ptr<const RequiredControls>;

// The information of one path: its mapping, its required control and the controls derived from
// it for the children. Generated once, then read only (the derived controls fill on first use).
class SecurityInformation {
public:
    // The root information of a scope: the collection alone, no path and no mapping yet;
    // `sourcePath` names the metadata file the collection was built from.
    explicit SecurityInformation(VEntryCollectionPtr collection, std::wstring sourcePath = {});

    const VEntryCollectionPtr& collection() const { return collection_; }
    // Null for the root information.
    const Path2EntriesPtr& entries() const { return entries_; }
    // The metadata file whose entries the information was built from (empty: none).
    const std::wstring& sourcePath() const { return sourcePath_; }
    // Whether the path is secured as a child of its parent (an entry above says that the last
    // part may not exist) rather than as an object of its own.
    bool securedThroughParent() const { return throughParent_; }
    bool isDirectory() const { return isDirectory_; }
    std::uint32_t stateFlags() const { return entries_ ? entries_->stateFlags() : 0; }
    bool hasState(std::uint32_t flag) const { return (stateFlags() & flag) != 0; }
    // What the path itself must grant.
    const VAccessControl& required() const { return controls_->required; }
    // What a file (`forFiles`) or a subfolder below the path must grant; built on first use.
    const VAccessControl& derived(bool forFiles) const;
    // Both, as shared with other informations.
    const RequiredControlsPtr& controls() const { return controls_; }

private:
    friend void generate(SecurityInformation& information, const std::wstring& path,
                         bool isDirectory, const SecurityInformation* parent);

    VEntryCollectionPtr collection_;
    std::wstring sourcePath_;
    Path2EntriesPtr entries_;
    bool throughParent_ = false;
    bool isDirectory_ = true;
    RequiredControlsPtr controls_;
};

using SecurityInformationPtr = std::shared_ptr<const SecurityInformation>;

// A new information for `path` from the parent's collection, generated for the path. Whether
// the path is a directory is asked of the file system unless the caller knows it.
SecurityInformationPtr getSecurityInformation(const SecurityInformation& parent,
                                              const std::wstring& path,
                                              std::optional<bool> isDirectory = std::nullopt);
// Fills `information` for `path`: mapping, required control with the base ACL of SYSTEM and
// Administrators under it, intern path. The mapping is derived from the mapping of `parent`
// (when that is the path's parent), and its controls are shared when they are the same.
void generate(SecurityInformation& information, const std::wstring& path, bool isDirectory,
              const SecurityInformation* parent = nullptr);

// The required control of the path itself (mode without Child), or the derived control for a
// file (Child and File) or a subfolder (Child alone) below it.
const VAccessControl& requiredControlFor(const SecurityInformation& information,
                                         ObjectMode mode);
// The control that the entries of a mapping require of its path (a directory or not).
VAccessControl requiredControl(const Path2Entries& mapping, bool isDirectory);

// The items of one ACE read from an object's DACL (level LevelAcl).
void addAce(VAccessControl& control, const VAce& ace);
// The items that an ACE of the parent's DACL gives the object by inheritance.
void addInheritedAce(VAccessControl& control, const VAce& ace, bool objectIsFile);
// The control of every ACE of the DACL.
VAccessControl fromAcl(const VAcl& acl);
// What the parent's DACL gives the object by inheritance.
VAccessControl inheritedControl(const VAcl& parentAcl, bool objectIsFile);

// How the items of one key compare (compareItems).
enum class ItemVerdict {
    OtherTarget,  // a target other than the object's own, with ThisObjectOnly: not compared
    Satisfied,   // the existing item satisfies the required one, or nothing breaks a stop or revoke
    Missing,     // a grant or deny is required and there is no item
    Wrong,       // a grant or deny is required and the item there does not satisfy it
    Broken,      // the item there breaks a required stop or revoke
    Unrequired,  // an item that no grant or deny requires (nothing required, or a kept stop)
};

// One key of the two controls, with its item in each (null: none).
struct ItemComparison {
    const AccessKey& key;
    const AccessItem* required;
    const AccessItem* existing;
    ItemVerdict verdict;
};

// The verdict on the items of `key` (CompareFlag bits).
ItemVerdict judgeItems(const AccessKey& key, const AccessItem* required, const AccessItem* existing,
                       std::uint32_t flags);

// The one comparison of a required control with an existing one, which the checker's
// compareControls and the audit both read: every key of either control in key order, with
// its verdict, handed to `visit` until it returns false. Whether it saw every key.
template <typename Visit>
bool compareItems(const VAccessControl& required, const VAccessControl& existing,
                  std::uint32_t flags, Visit&& visit) {
    auto r = required.begin();
    auto e = existing.begin();
    while (r != required.end() || e != existing.end()) {
        bool takeRequired = r != required.end() && (e == existing.end() || !(e->first < r->first));
        bool takeExisting = e != existing.end() && (r == required.end() || !(r->first < e->first));
        const AccessKey& key = takeRequired ? r->first : e->first;
        const AccessItem* requiredItem = takeRequired ? &(r++)->second : nullptr;
        const AccessItem* existingItem = takeExisting ? &(e++)->second : nullptr;
        if (!visit(ItemComparison{key, requiredItem, existingItem,
                                  judgeItems(key, requiredItem, existingItem, flags)})) {
            return false;
        }
    }
    return true;
}

// Whether `existing` satisfies `required` (CompareFlag bits): no key Missing, Wrong or Broken,
// and with Exact none Unrequired. Mismatches are dumped with security debugging on.
bool compareControls(const VAccessControl& required, const VAccessControl& existing,
                     std::uint32_t flags);
// Whether the item read from a DACL satisfies the required one: the same masks (`exact`) or
// more, and the same deny part.
bool itemMatches(const AccessItem& required, const AccessItem& found, bool exact);
// The items of `required` that `inherited` does not already give.
VAccessControl notInherited(const VAccessControl& required, const VAccessControl& inherited);
// The explicit ACL of the control, one ACE per (account, allow or deny, mask), in canonical order.
VAcl buildAcl(const VAccessControl& control);

struct NewAcl {
    VAcl acl;
    bool inherit = false;  // write unprotected, so that the parent's ACEs are added
};
// The DACL to write on an object whose DACL is `existing`, below a parent whose DACL is
// `parentAcl`, handled in `mode` with `information`.
NewAcl computeNewAcl(const SecurityInformation& information, const VAcl& existing,
                     const VAcl& parentAcl, ObjectMode mode);
// The same with what the parent's DACL gives the object (inheritedControl) already computed.
NewAcl computeNewAcl(const SecurityInformation& information, const VAcl& existing,
                     const VAccessControl& inherited, ObjectMode mode);

// With security debugging on: "Dumping access control" (or "<label>: dumping access control")
// and one line per item.
void dumpControl(const VAccessControl& control, const std::wstring& label = {});

// The object mode of a path handled with `information` (generated for it, or for a file beside
// it): secured through its parent or not, a file or not, and for the path itself whether it
// must inherit and match exactly.
ObjectMode objectModeOf(const SecurityInformation& information, bool isDirectory);
// Whether `dacl` fails what `information` requires of an object in `mode` (logged when security
// debugging is on).
bool isDaclWrongFor(const VAcl& dacl, const SecurityInformation& information, ObjectMode mode);

}  // namespace DiskSecurity
