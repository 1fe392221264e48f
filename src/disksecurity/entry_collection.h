// The mapping of entries onto paths. A scope's entry templates expand into real entries, one
// per real path (RealEntryCollection::getPathEntryCollection); for each path the checker visits,
// Path2Entries picks the entries on that path and on its ancestors, one list per level, decides
// which levels apply and sums the result up in state flags for ACL generation and the walk.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "disksecurity/entry_template.h"
#include "disksecurity/path_templates.h"
#include "runtime/filename.h"

namespace DiskSecurity {

// Real entries ordered by path: an ancestor before its descendants, diverging paths in the
// length-first component order of comparePaths. So the entries of one path are adjacent and
// those below a path follow it. Paths may also be looked up by themselves.
struct RealEntryPathOrder {
    using is_transparent = void;
    static bool before(const std::wstring& a, const std::wstring& b) {
        PathRelation relation = comparePaths(a, b);
        return relation == PathAbove || relation == PathLess;
    }
    bool operator()(const RealEntry& a, const RealEntry& b) const { return before(a.path, b.path); }
    bool operator()(const RealEntry& a, const std::wstring& b) const { return before(a.path, b); }
    bool operator()(const std::wstring& a, const RealEntry& b) const { return before(a, b.path); }
};

// The real entries of one scope. Built once, then shared read-only by the checker and every
// Path2Entries made from it.
struct VEntryCollection {
    using Entries = std::multiset<RealEntry, RealEntryPathOrder>;

    Entries entries;                        // entries on real paths; several may share a path
    std::vector<RealEntry> anyPathEntries;  // entries whose template path is "*"
    bool hasRootEntry = false;              // some template of the scope has the path "/"
};

using VEntryCollectionPtr = std::shared_ptr<const VEntryCollection>;

// The entry templates loaded for a scope, seen as the source of its real entries. It refers to
// the set, which must outlive it: RealEntryCollection(set).getPathEntryCollection(...).
class RealEntryCollection {
public:
    explicit RealEntryCollection(const EntryTemplateSet& templates) : templates_(templates) {}

    // Expands every template, in set order, into real entries of `scopePath` (usually in long
    // form). "*" gives one entry on the path "*" for anyPathEntries; "/" stands for the root
    // of the scope; any other path expands through getBasePaths (with `resolver`) and the
    // template's sub path. Only paths equal to, below or above the scope are kept, each in
    // long form (the missing rest of a path kept as written). With a `confinement` (the
    // directory a run may change), a path that is neither in it nor one of its ancestors is
    // logged as a warning and skipped. A missing folder of a template with the repaireFolder
    // flag (0x40) is created unless `repairFolders` is false (a run that must change nothing on
    // disk), and then only logged; it is created only below the confinement (else the scope),
    // never through a link (VDirectory::createDirectoryBelow). Raises expansion and creation
    // failures.
    std::shared_ptr<VEntryCollection> getPathEntryCollection(
        const std::wstring& scopePath, TarnoComponentResolver& resolver, bool repairFolders = true,
        const std::wstring& confinement = std::wstring()) const;

private:
    const EntryTemplateSet& templates_;
};

// State flags of a Path2Entries.
constexpr std::uint32_t StateBreaksInheritance = 0x4;  // an entry on the path breaks inheritance
constexpr std::uint32_t StateEntryWithoutFlag8 = 0x8;  // an applicable entry lacks entry flag 0x8
constexpr std::uint32_t StateNoPropagateHere = 0x10;   // the walk does not descend below the path
constexpr std::uint32_t StateFlag20 = 0x20;            // set with 0x4 and 0x200; no effect
constexpr std::uint32_t StateSkipPath = 0x40;          // the checker skips the path
constexpr std::uint32_t StateExactAclHere = 0x100;     // the path's DACL must match exactly
constexpr std::uint32_t StateUseParentPath = 0x200;    // secured through its parent
constexpr std::uint32_t StateInheritHere = 0x400;      // the path inherits from its parent

// The entries that bear on one path, computed once on construction and read-only afterwards.
// Level i holds the entries on the path's first i+1 components (level 0 the drive, level n-1
// the path itself); the levels firstIndex() to lastIndex() apply. Only the levels down to the
// deepest that entries reach are kept, and of the path only what its parent's lacks: a walk
// holds one mapping per level of a chain thousands of folders deep.
class Path2Entries {
public:
    // The entries of one level: a run of the collection.
    struct Level {
        using Iterator = VEntryCollection::Entries::const_iterator;
        Level(Iterator first, Iterator last) : first_(first), last_(last) {}
        Iterator begin() const { return first_; }
        Iterator end() const { return last_; }
        bool empty() const { return first_ == last_; }

    private:
        Iterator first_;
        Iterator last_;
    };

    Path2Entries(VEntryCollectionPtr collection, std::wstring path);
    // The mapping of `path` from that of its parent: when the path is the parent's path, a
    // separator and one more name, the parent's levels are taken as they stand and only the
    // path's own is looked up; any other path is mapped afresh. Either way the result is the
    // one the constructor above gives.
    Path2Entries(const Path2Entries& parent, std::wstring path);

    // n: the number of components of the path (the long prefix not counted).
    std::size_t size() const { return size_; }
    // The entries of level `index` (< size()), in collection order.
    Level level(std::size_t index) const {
        return index < levels_.size() ? levels_[index]
                                      : Level(collection_->entries.end(), collection_->entries.end());
    }
    // The first and last applicable level; lastIndex() is -1 when no level holds an entry.
    std::int32_t firstIndex() const { return firstIndex_; }
    std::int32_t lastIndex() const { return lastIndex_; }
    const std::vector<RealEntry>& anyPathEntries() const { return collection_->anyPathEntries; }
    std::uint32_t stateFlags() const { return stateFlags_; }
    const VEntryCollectionPtr& collection() const { return collection_; }
    // Whether entries lie strictly below the path: without them, no path below has entries of
    // its own and all of its levels but the last are this path's.
    bool entriesBelow() const { return deeper_; }

private:
    void _sortEntries(bool debug);
    // Looks up the level of `prefix`, the path's first levels_.size() + 1 components.
    std::uint32_t _addLevel(const std::wstring& prefix);
    void _finish(bool debug);
    void _entryIndexes(bool debug);
    void _computeState(bool debug);

    // The path as written, as a chain whose links each hold the text after the one above: a
    // mapping made from its parent holds one name of its own and shares the rest.
    struct Text {
        std::shared_ptr<const Text> up;
        std::wstring tail;
        std::size_t length;  // of the whole path
    };
    // Whether `body` is the path of `text`, separators and one more name.
    static bool extends(std::wstring_view body, const Text& text);

    VEntryCollectionPtr collection_;
    std::wstring path_;  // held while the mapping is made
    std::shared_ptr<const Text> text_;
    std::vector<Level> levels_;
    std::size_t size_ = 0;
    // Where the search of the next level goes on: the entry after the last level's run, and
    // whether entries below the path remain to be found.
    Level::Iterator next_;
    bool deeper_ = false;
    std::int32_t firstIndex_ = 0;
    std::int32_t lastIndex_ = -1;
    std::uint32_t stateFlags_ = 0;
};

using Path2EntriesPtr = std::shared_ptr<const Path2Entries>;

// The topmost paths strictly below `path` that carry entries of their own (entries with entry
// flag 0x80 not counted), none below another, in collection order.
std::vector<std::wstring> collectChildrenEntries(const VEntryCollection& collection,
                                                 const std::wstring& path);

}  // namespace DiskSecurity
