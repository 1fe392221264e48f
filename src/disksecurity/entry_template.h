// The security entry model: one entry of a security template (which account gets which access,
// with which inheritance, on which path template), the ordered set a template is loaded into,
// and the real entry that path expansion makes of an entry for one real path.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "accounts/vsid.h"

namespace DiskSecurity {

// Bits of EntryTemplate::entryFlags. Unlisted bits are kept and written back unchanged.
namespace EntryFlag {
constexpr std::int32_t Deny = 0x1;              // the entry's items are Deny, not Allow
constexpr std::int32_t BreakInheritance = 0x4;  // levels above the entry's path do not apply
constexpr std::int32_t Flag8 = 0x8;             // only recorded in a state flag
constexpr std::int32_t NoPropagate = 0x10;      // nothing below the path; mask 0 makes Stop items
constexpr std::int32_t SkipPath = 0x20;         // the checker skips the entry's path
constexpr std::int32_t RepairFolder = 0x40;     // a missing folder of the entry is created
constexpr std::int32_t LastMayNotExist = 0x80;  // secured through the parent of the last part
constexpr std::int32_t ExactAcl = 0x100;        // the DACL of the path must match exactly
constexpr std::int32_t InheritHere = 0x200;     // the path inherits from its parent in any case
constexpr std::int32_t Revoke = 0x800;          // the entry's items are Revoke
constexpr std::int32_t EachPathPart = 0x1000;   // every part of the path gets the entry too
}  // namespace EntryFlag

// Values of EntryTemplate::aceFlags: the ACE inheritance flags of the ACE to build.
namespace AceFlag {
constexpr std::uint32_t ObjectInherit = 0x1;
constexpr std::uint32_t ContainerInherit = 0x2;
constexpr std::uint32_t InheritOnly = 0x8;
}  // namespace AceFlag

// One security entry. A plain value.
class EntryTemplate {
public:
    EntryTemplate() = default;
    // The ten fields in order. `domainName` and `accountName` are the names written in a
    // template whose account came from its SID string; they are kept only as a pair.
    EntryTemplate(VSID account, std::wstring path, std::wstring subPath, std::uint32_t aceFlags,
                  std::uint32_t accessMask, std::int32_t entryFlags, std::wstring tag = {},
                  std::wstring tag2 = {}, std::wstring domainName = {},
                  std::wstring accountName = {});

    VSID account;
    std::wstring path;     // path template (a relative path, "*", "/", "[TOKEN]", "%VAR%", ...)
    std::wstring subPath;  // appended to each expansion of `path`; may be empty
    std::uint32_t aceFlags = 0;
    std::uint32_t accessMask = 0;
    std::int32_t entryFlags = 0;
    std::wstring tag;   // role label; never interpreted by the engine
    std::wstring tag2;  // second label
    std::wstring domainName;
    std::wstring accountName;
};

// The set order: path and subPath by comparePaths (ancestors first), the account by SID,
// aceFlags, the generically mapped accessMask, entryFlags (signed), then tag and tag2 ignoring
// case. Returns <0, 0, >0. Raises "Invalid sid(s)" when an account has no SID.
int compareEntryTemplates(const EntryTemplate& a, const EntryTemplate& b);

struct EntryTemplateLess {
    bool operator()(const EntryTemplate& a, const EntryTemplate& b) const {
        return compareEntryTemplates(a, b) < 0;
    }
};

// A loaded or built template: its entries in set order (equal entries coexist) and the file
// or directory it came from.
class EntryTemplateSet {
public:
    using Entries = std::multiset<EntryTemplate, EntryTemplateLess>;
    using iterator = Entries::iterator;
    using const_iterator = Entries::const_iterator;

    EntryTemplateSet() = default;
    explicit EntryTemplateSet(std::wstring sourcePath) : sourcePath_(std::move(sourcePath)) {}

    // Adds one entry after the entries equal to it.
    iterator insert(const EntryTemplate& entry) { return entries_.insert(entry); }
    iterator erase(const_iterator position) { return entries_.erase(position); }
    void clear() { entries_.clear(); }

    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }

    Entries& entries() { return entries_; }
    const Entries& entries() const { return entries_; }

    const std::wstring& sourcePath() const { return sourcePath_; }
    void setSourcePath(std::wstring path) { sourcePath_ = std::move(path); }

private:
    Entries entries_;
    std::wstring sourcePath_;
};

using EntryTemplateSetPtr = std::shared_ptr<EntryTemplateSet>;

// An entry template bound to one real path by path expansion: account, real path and the
// template's aceFlags, accessMask and entryFlags as they are.
struct RealEntry {
    VSID account;
    std::wstring path;
    std::uint32_t aceFlags = 0;
    std::uint32_t accessMask = 0;
    std::int32_t entryFlags = 0;

    RealEntry() = default;
    RealEntry(VSID account, std::wstring path, std::uint32_t aceFlags, std::uint32_t accessMask,
              std::int32_t entryFlags)
        : account(std::move(account)),
          path(std::move(path)),
          aceFlags(aceFlags),
          accessMask(accessMask),
          entryFlags(entryFlags) {}
    RealEntry(const EntryTemplate& entry, std::wstring realPath)
        : RealEntry(entry.account, std::move(realPath), entry.aceFlags, entry.accessMask,
                    entry.entryFlags) {}
};

}  // namespace DiskSecurity
