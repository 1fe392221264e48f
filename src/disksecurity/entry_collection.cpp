#include "disksecurity/entry_collection.h"

#include <iterator>

#include "disksecurity/access_control.h"
#include "platform/types.h"
#include "runtime/config.h"
#include "runtime/exceptions.h"
#include "runtime/log.h"

namespace DiskSecurity {
namespace {

bool isSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// The end offsets of the components of `path` (separators of both kinds, runs of them
// skipped): "C:\a\b" gives 2, 4, 6.
std::vector<std::size_t> componentEnds(std::wstring_view path) {
    std::vector<std::size_t> ends;
    std::size_t position = 0;
    while (position < path.size()) {
        if (isSeparator(path[position])) {
            ++position;
            continue;
        }
        std::size_t end = position;
        while (end < path.size() && !isSeparator(path[end])) {
            ++end;
        }
        ends.push_back(end);
        position = end;
    }
    return ends;
}

// Whether `path` is `parent`, separators and one more name: its components are the parent's
// and one more, the parent's own ending where they do.
bool isChildOf(std::wstring_view path, std::wstring_view parent) {
    if (path.size() <= parent.size() || path.substr(0, parent.size()) != parent) {
        return false;
    }
    std::wstring_view rest = path.substr(parent.size());
    if (!parent.empty() && !isSeparator(parent.back()) && !isSeparator(rest.front())) {
        return false;
    }
    std::size_t name = rest.find_first_not_of(L"\\/");
    return name != std::wstring_view::npos &&
           rest.find_first_of(L"\\/", name) == std::wstring_view::npos;
}

// Whether an entry on `path` bears on what lies in `directory`: it is the directory, below it,
// or one of its ancestors (whose inheritable entries shape the directory's own DACL).
bool bearsOn(const std::wstring& path, const std::wstring& directory) {
    PathRelation relation = comparePaths(path, directory);
    return relation == PathEqual || relation == PathBelow || relation == PathAbove;
}

// The real paths of one entry template in a scope, each in long form.
class RealPaths {
public:
    RealPaths(const EntryTemplate& entry, const std::wstring& scope,
              const std::wstring& confinement, bool debug)
        : entry_(entry), scope_(scope), confinement_(confinement), debug_(debug) {}

    std::vector<std::wstring> expand(TarnoComponentResolver& resolver) {
        if (entry_.path == L"*") {
            paths_.push_back(L"*");
        } else if (entry_.path == L"/") {
            _keep(VFileName::combine(VFileName::root(normalizePath(scope_)), entry_.subPath));
        } else {
            for (const auto& base : getBasePaths(entry_, resolver)) {
                std::wstring path = VFileName::combine(base, entry_.subPath);
                if (entry_.entryFlags & EntryFlag::EachPathPart) {
                    _keepParts(path);
                }
                _keep(path);
            }
        }
        return std::move(paths_);
    }

private:
    // The path in long form when it is in scope (equal to, below or above it).
    void _keep(const std::wstring& path) {
        if (path.empty()) {
            return;
        }
        bool inScope = bearsOn(path, scope_);
        if (!inScope && debug_) {
            LogManager::instance().log(LogInfo, L"%s is skipped, because it is out of scope %s",
                                       path, scope_);
        }
        if (!confinement_.empty() && !bearsOn(path, confinement_)) {
            // Nothing outside the directory a run names may steer it, whoever wrote the entry.
            // Metadata that covers a whole drive (the switch to another file during a walk)
            // holds such paths by nature: only the scope's own strays are worth a warning.
            if (!inScope) {
                LogManager::instance().log(LogWarning,
                                           L"The entry path %s lies outside %s and is skipped",
                                           stripLongPrefix(path), stripLongPrefix(confinement_));
            } else if (debug_) {
                LogManager::instance().log(LogInfo, L"%s is skipped, because it is out of scope %s",
                                           path, confinement_);
            }
            return;
        }
        if (!inScope) {
            return;
        }
        std::wstring canonical = VFileName::canonicalize(path);
        if (entry_.entryFlags & EntryFlag::LastMayNotExist) {
            // Only the parent need exist; the last name is secured through it.
            paths_.push_back(
                VFileName::combine(longPathOfEachPart(VFileName::removeFileSpec(canonical), true),
                                   lastComponent(normalizePath(canonical))));
        } else {
            paths_.push_back(longPathOfEachPart(canonical, true));
        }
    }

    // Every proper prefix of the path, from its first component down; the path itself is
    // kept by the caller, once.
    void _keepParts(const std::wstring& path) {
        if (!(entry_.entryFlags & EntryFlag::RepairFolder) && !fileExist(path)) {
            return;
        }
        std::vector<std::size_t> ends = componentEnds(path);
        for (std::size_t i = 0; i + 1 < ends.size(); ++i) {
            std::wstring part = path.substr(0, ends[i]);
            _keep(part);
            if (debug_) {
                LogManager::instance().log(LogInfo, L"Path %s added as part of path %s", part,
                                           path);
            }
        }
    }

    const EntryTemplate& entry_;
    const std::wstring& scope_;
    const std::wstring& confinement_;
    bool debug_;
    std::vector<std::wstring> paths_;
};

}  // namespace

std::shared_ptr<VEntryCollection> RealEntryCollection::getPathEntryCollection(
    const std::wstring& scopePath, TarnoComponentResolver& resolver, bool repairFolders,
    const std::wstring& confinement) const {
    LogManager& log = LogManager::instance();
    bool debug = securityDebugging();
    if (debug) {
        log.log(LogInfo,
                L"RealEntryCollection::getPathEntryCollection(%s). Number of entries in "
                L"collection: %d",
                scopePath, static_cast<std::int32_t>(templates_.size()));
    }
    auto collection = std::make_shared<VEntryCollection>();
    for (const EntryTemplate& entry : templates_) {
        bool anyPath = entry.path == L"*";
        for (auto& path : RealPaths(entry, scopePath, confinement, debug).expand(resolver)) {
            // "*" is no folder: there is nothing to repair for it.
            if (!anyPath && (entry.entryFlags & EntryFlag::RepairFolder) && !fileExist(path)) {
                if (repairFolders) {
                    log.log(LogInfo, L"Repairing folder %s, because of 'repaireFolder' flag", path);
                    // Created only below the directory the run names, never through a link
                    // that someone placed in the way.
                    VDirectory::createDirectoryBelow(confinement.empty() ? scopePath : confinement,
                                                     path);
                } else {
                    log.log(LogInfo, L"Folder %s is missing; not created in a run that only checks",
                            path);
                }
            }
            if (anyPath) {
                collection->anyPathEntries.emplace_back(entry, std::move(path));
            } else {
                collection->entries.emplace(entry, std::move(path));
            }
        }
        if (entry.path == L"/") {
            collection->hasRootEntry = true;
        }
    }
    if (debug) {
        log.log(LogInfo, L"RealEntryCollection::getPathEntryCollection(%s). Processed %d entries.",
                scopePath, static_cast<std::int32_t>(collection->entries.size()));
    }
    return collection;
}

Path2Entries::Path2Entries(VEntryCollectionPtr collection, std::wstring path)
    : collection_(std::move(collection)), path_(std::move(path)) {
    bool debug = securityDebugging();
    std::wstring_view body = stripLongPrefix(path_.c_str());
    text_ = std::make_shared<const Text>(Text{nullptr, std::wstring(body), body.size()});
    _sortEntries(debug);
    _finish(debug);
}

Path2Entries::Path2Entries(const Path2Entries& parent, std::wstring path)
    : collection_(parent.collection_), path_(std::move(path)) {
    bool debug = securityDebugging();
    std::wstring_view body = stripLongPrefix(path_.c_str());
    bool child = parent.text_ && extends(body, *parent.text_);
    text_ = child ? std::make_shared<const Text>(
                        Text{parent.text_, std::wstring(body.substr(parent.text_->length)),
                             body.size()})
                  : std::make_shared<const Text>(Text{nullptr, std::wstring(body), body.size()});
    // Debugging tells every level, so it maps the whole path.
    if (debug || !child) {
        _sortEntries(debug);
    } else {
        levels_ = parent.levels_;
        size_ = parent.size_;
        next_ = parent.next_;
        deeper_ = parent.deeper_;
        _addLevel(std::wstring(body));
    }
    _finish(debug);
}

bool Path2Entries::extends(std::wstring_view body, const Text& text) {
    if (body.size() <= text.length) {
        return false;
    }
    std::size_t end = text.length;
    for (const Text* link = &text; link; link = link->up.get()) {
        std::size_t start = end - link->tail.size();
        if (body.substr(start, link->tail.size()) != link->tail) {
            return false;
        }
        end = start;
    }
    return end == 0 && isChildOf(body, body.substr(0, text.length));
}

void Path2Entries::_finish(bool debug) {
    _entryIndexes(debug);
    if (lastIndex_ >= 0) {
        _computeState(debug);
    }
    std::wstring().swap(path_);  // an assignment would keep the buffer
}

std::uint32_t Path2Entries::_addLevel(const std::wstring& prefix) {
    // Each level is the run of entries equal to the path's prefix of that many components. In
    // collection order the entries below a prefix follow its run, so the entry after one
    // level's run says where the next level stands: on that entry when it is equal to the next
    // prefix, none when it lies below it, none and nothing deeper when it orders after it.
    // Only entries of siblings ordering before the next prefix call for a search.
    const VEntryCollection::Entries& entries = collection_->entries;
    ++size_;
    if (!deeper_) {
        return 0;  // an empty level, not kept
    }
    auto relationOf = [&](VEntryCollection::Entries::const_iterator entry) {
        return entry == entries.end() ? PathGreater : comparePaths(entry->path, prefix);
    };
    PathRelation relation = relationOf(next_);
    if (relation == PathLess || relation == PathAbove) {
        next_ = entries.lower_bound(prefix);
        relation = relationOf(next_);
    }
    auto first = next_;
    std::uint32_t count = 0;
    for (; relation == PathEqual; relation = relationOf(++next_)) {
        ++count;
    }
    levels_.emplace_back(first, next_);
    deeper_ = relation == PathBelow;
    return count;
}

void Path2Entries::_sortEntries(bool debug) {
    LogManager& log = LogManager::instance();
    if (debug) {
        log.log(LogInfo,
                L"Sorting entries from entry collection to Path2Entries structure for "
                L"path: %s",
                path_);
    }
    std::wstring_view body = stripLongPrefix(path_.c_str());
    std::vector<std::size_t> ends = componentEnds(body);
    next_ = collection_->entries.begin();
    deeper_ = next_ != collection_->entries.end();
    std::uint32_t total = 0;
    std::size_t start = 0;
    std::wstring prefix;
    std::wstring combined;
    for (std::size_t i = 0; i < ends.size(); ++i) {
        if (deeper_) {
            prefix.assign(body.data(), ends[i]);
        }
        std::uint32_t count = _addLevel(prefix);
        total += count;
        if (debug) {
            while (start < body.size() && isSeparator(body[start])) {
                ++start;
            }
            std::wstring component(body.substr(start, ends[i] - start));
            combined = i == 0 ? component : VFileName::combine(combined, component);
            start = ends[i];
            log.log(LogInfo, L"Path2Entries::_sortEntries() Entries for path '%s': %u ", combined,
                    count);
        }
    }
    if (debug) {
        log.log(LogInfo,
                L"Path2Entries::_sortEntries() Sorting entries for path: %s finished. Entries "
                L"added: %u, Indirect entries added: %u, Any path entries added: %u",
                path_, total, 0u, static_cast<std::uint32_t>(collection_->anyPathEntries.size()));
    }
}

void Path2Entries::_entryIndexes(bool debug) {
    for (auto i = static_cast<std::int32_t>(levels_.size()) - 1; i >= 0; --i) {
        if (!levels_[i].empty()) {
            lastIndex_ = i;
            break;
        }
    }
    for (std::int32_t i = lastIndex_; i >= 0; --i) {
        for (const RealEntry& entry : levels_[i]) {
            if (entry.entryFlags & EntryFlag::BreakInheritance) {
                firstIndex_ = i;
                if (debug) {
                    LogManager::instance().log(LogInfo,
                                               L"Path2Entries::_entryIndexes() Break inheritance "
                                               L"for path '%s' on index: %d",
                                               path_, i);
                }
                return;
            }
            // On the deepest level no-propagate speaks of the path itself or of what is below
            // it, not of the levels to apply; _computeState handles it there.
            if ((entry.entryFlags & EntryFlag::NoPropagate) && i != lastIndex_) {
                firstIndex_ = i + 1;
                if (debug) {
                    LogManager::instance().log(
                        LogInfo,
                        L"Path2Entries::_entryIndexes() No propagate for path '%s' on index: %d",
                        path_, i);
                }
                return;
            }
        }
    }
}

void Path2Entries::_computeState(bool debug) {
    auto own = static_cast<std::int32_t>(size_) - 1;
    if (lastIndex_ == own) {
        for (const RealEntry& entry : level(static_cast<std::size_t>(own))) {
            if (entry.entryFlags & EntryFlag::BreakInheritance) {
                stateFlags_ |= StateBreaksInheritance | StateFlag20 | StateExactAclHere;
            }
            if (entry.entryFlags & EntryFlag::ExactAcl) {
                stateFlags_ |= StateExactAclHere;
            }
            if (entry.entryFlags & EntryFlag::InheritHere) {
                stateFlags_ |= StateInheritHere;
            }
        }
    }
    bool noPropagate = false;
    bool propagating = false;
    const std::wstring* noPropagatePath = nullptr;
    for (std::int32_t i = firstIndex_; i <= lastIndex_; ++i) {
        for (const RealEntry& entry : levels_[i]) {
            if (entry.entryFlags & EntryFlag::SkipPath) {
                stateFlags_ |= StateSkipPath;
            }
            if (entry.entryFlags & EntryFlag::LastMayNotExist) {
                stateFlags_ |= StateUseParentPath | StateFlag20;
            }
            if (!(entry.entryFlags & EntryFlag::Flag8)) {
                stateFlags_ |= StateEntryWithoutFlag8;
            }
            if (i == lastIndex_) {
                if (entry.entryFlags & EntryFlag::NoPropagate) {
                    noPropagate = true;
                    noPropagatePath = &entry.path;
                } else {
                    propagating = true;
                }
            }
        }
    }
    if (noPropagate && !propagating) {
        if (debug) {
            LogManager::instance().log(LogInfo,
                                       L"No propogate is selected for %s by the entry with path %s",
                                       path_, *noPropagatePath);
        }
        // On an ancestor the entries stop above the path, which is then left alone; on the
        // path itself they stop the walk below it.
        stateFlags_ |= lastIndex_ != own ? StateSkipPath : StateNoPropagateHere;
    }
}

std::vector<std::wstring> collectChildrenEntries(const VEntryCollection& collection,
                                                 const std::wstring& path) {
    LogManager& log = LogManager::instance();
    bool debug = securityDebugging();
    if (debug) {
        log.log(LogInfo, L"Collecting children security entries for path %s",
                stripLongPrefix(path));
    }
    // The entries below the path follow its own in collection order, each subtree in one run
    // behind its top; so a path is below an earlier result exactly when it is below the last
    // one.
    std::vector<std::wstring> children;
    const VEntryCollection::Entries& entries = collection.entries;
    for (auto it = entries.upper_bound(path); it != entries.end(); ++it) {
        if (comparePaths(path, it->path) != PathAbove) {
            break;
        }
        if (it->entryFlags & EntryFlag::LastMayNotExist) {
            continue;
        }
        if (!children.empty()) {
            PathRelation relation = comparePaths(it->path, children.back());
            if (relation == PathEqual || relation == PathBelow) {
                continue;
            }
        }
        children.push_back(it->path);
    }
    if (debug) {
        if (children.empty()) {
            log.log(LogInfo, L"No children security entries found for path %s",
                    stripLongPrefix(path));
        } else {
            std::wstring list;
            for (const auto& child : children) {
                list += (list.empty() ? L"" : L"\n") + stripLongPrefix(child);
            }
            log.log(LogInfo, L"Children security entries for path %s:\n%s", stripLongPrefix(path),
                    list);
        }
    }
    return children;
}

}  // namespace DiskSecurity
