// The path-to-entries mapping: real entries of a scope built from templates on a real disk,
// the levels and state flags of one path, and the children entries below a path.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "disksecurity/entry_collection.h"
#include "disksecurity/security_information.h"
#include "pathmap_support.h"

namespace {

using namespace DiskSecurity;
using DiskSecurityTest::LogRecorder;
using PathMapTest::makeFolder;
using PathMapTest::onDisk;
using Paths = std::vector<std::wstring>;
namespace fs = std::filesystem;

const VSID& system() {
    static const VSID sid = VSID::fromString(L"S-1-5-18");
    return sid;
}

RealEntry entryOn(const std::wstring& path, std::int32_t flags = 0x140) {
    return RealEntry(system(), path, 3, 0x1f01ff, flags);
}

VEntryCollectionPtr collectionOf(const std::vector<RealEntry>& entries) {
    auto collection = std::make_shared<VEntryCollection>();
    for (const auto& entry : entries) {
        if (entry.path == L"*") {
            collection->anyPathEntries.push_back(entry);
        } else {
            collection->entries.insert(entry);
        }
    }
    return collection;
}

Paths pathsOf(const Path2Entries::Level& level) {
    Paths paths;
    for (const RealEntry& entry : level) {
        paths.push_back(entry.path);
    }
    return paths;
}

Paths pathsOf(const VEntryCollection& collection) {
    Paths paths;
    for (const RealEntry& entry : collection.entries) {
        paths.push_back(entry.path);
    }
    return paths;
}

TEST(Path2EntriesLevels, OneListPerComponentWithTheApplicableRange) {
    auto collection = collectionOf({entryOn(L"C:\\a"), entryOn(L"C:\\a\\b\\c")});
    Path2Entries mapped(collection, L"C:\\a\\b\\c");
    ASSERT_EQ(mapped.size(), 4u);
    EXPECT_EQ(mapped.lastIndex(), 3);
    EXPECT_EQ(mapped.firstIndex(), 0);
    EXPECT_EQ(pathsOf(mapped.level(1)), Paths{L"C:\\a"});
    EXPECT_TRUE(mapped.level(2).empty());
    EXPECT_EQ(pathsOf(mapped.level(3)), Paths{L"C:\\a\\b\\c"});

    // Breaking inheritance on the path leaves the ancestor's entry out.
    Path2Entries broken(collectionOf({entryOn(L"C:\\a"), entryOn(L"C:\\a\\b\\c", 0x4)}),
                        L"C:\\a\\b\\c");
    EXPECT_EQ(broken.firstIndex(), 3);
    EXPECT_EQ(broken.lastIndex(), 3);

    Path2Entries nothing(collection, L"C:\\b\\c");
    EXPECT_EQ(nothing.size(), 3u);
    EXPECT_EQ(nothing.lastIndex(), -1);
    EXPECT_EQ(nothing.stateFlags(), 0u);
}

// A mapping made from its parent's equals the one made afresh, whether the path is the parent's
// child or not, and whether entries lie below the parent or not (it drops its levels past the
// deepest entry).
TEST(Path2EntriesLevels, FromTheParentAsMadeAfresh) {
    auto collection = collectionOf({entryOn(L"C:\\a"), entryOn(L"C:\\a\\b\\c")});
    struct Case {
        const wchar_t* parent;
        const wchar_t* path;
        const wchar_t* grandparent = nullptr;  // the parent's mapping made from this one's
    } cases[] = {
        {L"C:\\a\\b", L"C:\\a\\b\\c"},        // entries below the parent: its levels go on
        {L"C:\\a\\b\\c", L"C:\\a\\b\\c\\d"},  // none below: only empty levels follow
        {L"C:\\x\\y", L"C:\\a\\b\\c"},        // not its child at all
        {L"C:\\x\\y", L"C:\\x\\y\\z"},
        {L"C:\\x\\y", L"C:\\a\\y\\z", L"C:\\x"},  // the parent's own name, another path above
        {L"C:\\a\\b", L"C:\\a\\b\\c", L"C:\\a"},
    };
    for (const Case& c : cases) {
        Path2Entries parent = c.grandparent
                                  ? Path2Entries(Path2Entries(collection, c.grandparent), c.parent)
                                  : Path2Entries(collection, c.parent);
        Path2Entries derived(parent, c.path);
        Path2Entries fresh(collection, c.path);
        ASSERT_EQ(derived.size(), fresh.size()) << c.parent << L" " << c.path;
        EXPECT_EQ(derived.firstIndex(), fresh.firstIndex()) << c.path;
        EXPECT_EQ(derived.lastIndex(), fresh.lastIndex()) << c.path;
        EXPECT_EQ(derived.stateFlags(), fresh.stateFlags()) << c.path;
        for (std::size_t i = 0; i < fresh.size(); ++i) {
            EXPECT_EQ(pathsOf(derived.level(i)), pathsOf(fresh.level(i))) << c.path << L" " << i;
        }
    }
}

TEST(Path2EntriesLevels, PathsMatchByComponentIgnoringCaseAndLongPrefix) {
    auto collection =
        collectionOf({entryOn(L"C:\\A\\B"), entryOn(L"C:\\a\\b\\x"), entryOn(L"C:\\a\\bb"),
                      entryOn(L"C:/a//b/c/"), entryOn(L"\\\\?\\C:\\a")});
    Path2Entries mapped(collection, L"\\\\?\\c:\\a\\b\\c");
    ASSERT_EQ(mapped.size(), 4u);
    EXPECT_TRUE(mapped.level(0).empty());
    EXPECT_EQ(pathsOf(mapped.level(1)), Paths{L"\\\\?\\C:\\a"});
    EXPECT_EQ(pathsOf(mapped.level(2)), Paths{L"C:\\A\\B"});
    EXPECT_EQ(pathsOf(mapped.level(3)), Paths{L"C:/a//b/c/"});
}

TEST(Path2EntriesLevels, NoPropagateSkipsBelowAnAncestorAndStopsTheWalkOnThePath) {
    auto collection = collectionOf({entryOn(L"C:\\a", 0x10)});
    Path2Entries below(collection, L"C:\\a\\b");
    EXPECT_EQ(below.lastIndex(), 1);
    EXPECT_EQ(below.firstIndex(), 0);  // the deepest level is never cut
    EXPECT_EQ(below.stateFlags() & (StateSkipPath | StateNoPropagateHere), StateSkipPath);
    Path2Entries itself(collection, L"C:\\a");
    EXPECT_EQ(itself.stateFlags() & (StateSkipPath | StateNoPropagateHere), StateNoPropagateHere);

    // One entry of the level that propagates is enough to go on.
    Path2Entries mixed(collectionOf({entryOn(L"C:\\a", 0x10), entryOn(L"C:\\a", 0)}), L"C:\\a\\b");
    EXPECT_EQ(mixed.stateFlags() & (StateSkipPath | StateNoPropagateHere), 0u);

    // Above the deepest level, no-propagate cuts the levels above and at it.
    Path2Entries cut(collectionOf({entryOn(L"C:\\a", 0), entryOn(L"C:\\a\\b", 0x10),
                                   entryOn(L"C:\\a\\b\\c\\d", 0)}),
                     L"C:\\a\\b\\c\\d\\e");
    EXPECT_EQ(cut.lastIndex(), 4);
    EXPECT_EQ(cut.firstIndex(), 3);
    EXPECT_EQ(cut.stateFlags() & StateSkipPath, 0u);
}

// The state of a path for one entry on C:\a, seen from C:\a itself and from C:\a\b below it.
TEST(Path2EntriesState, EveryEntryFlagOnThePathAndOnAnAncestor) {
    struct Case {
        std::int32_t entryFlags;
        std::uint32_t onPath;
        std::uint32_t below;
    };
    const std::vector<Case> cases = {
        {0x0, 0x8, 0x8},
        {0x1, 0x8, 0x8},
        {0x4, 0x12c, 0x8},
        {0x8, 0x0, 0x0},
        {0x10, 0x18, 0x48},
        {0x20, 0x48, 0x48},
        {0x40, 0x8, 0x8},
        {0x80, 0x228, 0x228},
        {0x100, 0x108, 0x8},
        {0x200, 0x408, 0x8},
        {0x800, 0x8, 0x8},
        {0x1000, 0x8, 0x8},
        // The default templates' allowing and denying entries.
        {0x140, 0x108, 0x8},
        {0x141, 0x108, 0x8},
        {0x18, 0x10, 0x40},
        {0x14, 0x13c, 0x48},
        {0x304, 0x52c, 0x8},
    };
    for (const auto& c : cases) {
        auto collection = collectionOf({entryOn(L"C:\\a", c.entryFlags)});
        EXPECT_EQ(Path2Entries(collection, L"C:\\a").stateFlags(), c.onPath)
            << std::hex << c.entryFlags;
        EXPECT_EQ(Path2Entries(collection, L"C:\\a\\b").stateFlags(), c.below)
            << std::hex << c.entryFlags;
        // A path whose last part may not exist is judged as a child of its parent.
        SecurityInformation root(collection);
        for (const wchar_t* path : {L"C:\\a", L"C:\\a\\b"}) {
            auto information = getSecurityInformation(root, path, true);
            EXPECT_EQ(objectModeOf(*information, true).child(),
                      (information->stateFlags() & StateUseParentPath) != 0)
                << std::hex << c.entryFlags;
        }
    }
}

TEST(Path2EntriesState, AnyPathEntriesReachEveryPath) {
    auto collection = collectionOf({entryOn(L"*", 0x100), entryOn(L"C:\\a")});
    for (const wchar_t* path : {L"C:\\a", L"D:\\elsewhere"}) {
        Path2Entries mapped(collection, path);
        ASSERT_EQ(mapped.anyPathEntries().size(), 1u);
        EXPECT_EQ(mapped.anyPathEntries()[0].path, L"*");
    }
    // They bear on the items of a path, not on its levels or state.
    EXPECT_EQ(Path2Entries(collection, L"D:\\elsewhere").stateFlags(), 0u);
}

TEST(ChildrenEntries, OnlyTheTopmostPathsBelow) {
    const std::vector<RealEntry> entries = {
        entryOn(L"C:\\a\\x"),       entryOn(L"C:\\a\\x\\y"), entryOn(L"C:\\a"),
        entryOn(L"C:\\a\\z", 0x80), entryOn(L"C:\\a\\z\\w"), entryOn(L"C:\\ab\\c"),
        entryOn(L"C:\\b\\x"),       entryOn(L"C:\\a\\q\\r"), entryOn(L"c:\\A\\X"),
    };
    std::vector<RealEntry> reversed(entries.rbegin(), entries.rend());
    for (const auto& list : {entries, reversed}) {
        auto collection = collectionOf(list);
        // In collection order: components of one length before longer ones.
        Paths children = collectChildrenEntries(*collection, L"C:\\a");
        ASSERT_EQ(children.size(), 3u);
        EXPECT_EQ(children[0], L"C:\\a\\q\\r");
        EXPECT_EQ(comparePaths(children[1], L"C:\\a\\x"), PathEqual);
        EXPECT_EQ(children[2], L"C:\\a\\z\\w");
        EXPECT_EQ(collectChildrenEntries(*collection, L"\\\\?\\C:\\A"), children);
        EXPECT_EQ(collectChildrenEntries(*collection, L"C:\\a\\x\\y"), Paths{});
    }
    auto two = collectionOf({entryOn(L"C:\\a\\x\\y"), entryOn(L"C:\\a\\x")});
    EXPECT_EQ(collectChildrenEntries(*two, L"C:\\a"), Paths{L"C:\\a\\x"});
}

// The mapping must give what a plain scan of every entry gives, for every path of a tree
// whose entries sit at every depth, in mixed case and with both separators.
TEST(Path2EntriesLevels, SearchAgreesWithAFullScan) {
    std::vector<std::wstring> tree = {L"C:"};
    for (std::size_t i = 0; tree.size() < 400; ++i) {
        const std::wstring parent = tree[i];
        for (const wchar_t* name : {L"a", L"Bb", L"aa", L"c"}) {
            tree.push_back(parent + (i % 3 == 0 ? L"/" : L"\\") + name);
        }
    }
    std::vector<RealEntry> entries;
    for (std::size_t i = 0; i < tree.size(); i += 7) {
        std::wstring path = tree[i];
        if (i % 2) {
            std::transform(path.begin(), path.end(), path.begin(), towupper);
        }
        entries.push_back(entryOn(path, static_cast<std::int32_t>(i % 5 == 0 ? 0x80 : 0)));
    }
    auto collection = collectionOf(entries);
    auto depth = [](const std::wstring& path) {
        std::size_t components = 0;
        for (std::size_t i = 0; i < path.size(); ++i) {
            components += path[i] != L'\\' && path[i] != L'/' &&
                          (i == 0 || path[i - 1] == L'\\' || path[i - 1] == L'/');
        }
        return components;
    };
    for (std::size_t index = 0; index < tree.size(); ++index) {
        const std::wstring& path = tree[index];
        Path2Entries mapped(collection, path);
        ASSERT_EQ(mapped.size(), depth(path));
        // Mapped from the parent's mapping (or from the drive's, a child only of the drive's
        // children) it is the same, level by level.
        for (std::size_t from : {index == 0 ? 0 : (index - 1) / 4, std::size_t{0}}) {
            Path2Entries derived(Path2Entries(collection, tree[from]), path);
            ASSERT_EQ(derived.size(), mapped.size()) << Platform::toUtf8(path);
            for (std::size_t level = 0; level < mapped.size(); ++level) {
                EXPECT_TRUE(derived.level(level).begin() == mapped.level(level).begin() &&
                            derived.level(level).end() == mapped.level(level).end())
                    << Platform::toUtf8(path) << " level " << level;
            }
            EXPECT_EQ(derived.firstIndex(), mapped.firstIndex());
            EXPECT_EQ(derived.lastIndex(), mapped.lastIndex());
            EXPECT_EQ(derived.stateFlags(), mapped.stateFlags());
            EXPECT_EQ(derived.entriesBelow(), mapped.entriesBelow()) << Platform::toUtf8(path);
        }
        // Every entry on the path or an ancestor is on the level of its depth, and no other.
        std::size_t found = 0;
        for (std::size_t level = 0; level < mapped.size(); ++level) {
            for (const RealEntry& entry : mapped.level(level)) {
                PathRelation relation = comparePaths(entry.path, path);
                EXPECT_TRUE(relation == PathEqual || relation == PathAbove);
                EXPECT_EQ(depth(entry.path), level + 1);
                ++found;
            }
        }
        std::size_t expected = 0;
        bool anyBelow = false;
        Paths below;
        for (const auto& entry : entries) {
            PathRelation relation = comparePaths(entry.path, path);
            expected += relation == PathEqual || relation == PathAbove;
            anyBelow = anyBelow || relation == PathBelow;
            if (relation == PathBelow && !(entry.entryFlags & EntryFlag::LastMayNotExist)) {
                below.push_back(entry.path);
            }
        }
        EXPECT_EQ(found, expected) << Platform::toUtf8(path);
        EXPECT_EQ(mapped.entriesBelow(), anyBelow) << Platform::toUtf8(path);
        // The children: every entry path below is at or under exactly one of them.
        Paths children = collectChildrenEntries(*collection, path);
        for (const auto& child : below) {
            auto covering = std::count_if(children.begin(), children.end(), [&](const auto& top) {
                PathRelation relation = comparePaths(child, top);
                return relation == PathEqual || relation == PathBelow;
            });
            EXPECT_EQ(covering, 1) << Platform::toUtf8(child);
        }
        for (const auto& top : children) {
            EXPECT_NE(std::find(below.begin(), below.end(), top), below.end());
        }
    }
}

// ---- Expansion of a scope on the disk ----

class ScopeExpansion : public ::testing::Test {
protected:
    void SetUp() override {
        DiskSecurityTest::sharedHost();
        fs::remove_all(onDisk(site));
        makeFolder(site + L"\\HttpDocs");
        LogRecorder::instance().clear();
    }
    void TearDown() override { fs::remove_all(onDisk(site)); }

    std::shared_ptr<VEntryCollection> expand(const std::vector<EntryTemplate>& templates,
                                             const std::wstring& scope) {
        EntryTemplateSet set;
        for (const auto& entry : templates) {
            set.insert(entry);
        }
        TarnoComponentResolver resolver;
        return RealEntryCollection(set).getPathEntryCollection(scope, resolver);
    }

    static EntryTemplate templateOf(const std::wstring& path, const std::wstring& subPath,
                                    std::int32_t flags) {
        return EntryTemplate(system(), path, subPath, 3, 0x1f01ff, flags);
    }

    const std::wstring site = L"C:\\Inetpub\\vhosts\\pathmap.test";
    const std::wstring vhosts = L"[HTTPD_VHOSTS_D]";
};

TEST_F(ScopeExpansion, KeepsPathsInScopeInLongForm) {
    auto collection = expand(
        {
            templateOf(vhosts, L"PATHMAP.TEST\\httpdocs", 0x100),
            templateOf(vhosts, L"", 0x100),                      // above the scope
            templateOf(vhosts, L"other.test\\httpdocs", 0x100),  // beside it
            templateOf(L"C:\\Inetpub\\vhosts\\pathmap.test\\.\\x\\..\\httpdocs", L"", 0x100),
        },
        L"\\\\?\\" + site);
    EXPECT_EQ(pathsOf(*collection),
              (Paths{L"C:\\Inetpub\\vhosts", site + L"\\HttpDocs", site + L"\\HttpDocs"}));
    EXPECT_TRUE(collection->anyPathEntries.empty());
    EXPECT_FALSE(collection->hasRootEntry);
}

TEST_F(ScopeExpansion, RepairFolderCreatesAMissingFolderAndMapsIt) {
    auto collection = expand({templateOf(vhosts, L"pathmap.test\\logs\\php_errors", 0x140),
                              templateOf(vhosts, L"pathmap.test\\httpdocs\\New", 0x140),
                              templateOf(vhosts, L"pathmap.test\\cgi-bin", 0x100)},
                             site);
    // The existing part in its case on disk, the created rest as the template writes it.
    EXPECT_EQ(pathsOf(*collection), (Paths{site + L"\\logs\\php_errors", site + L"\\cgi-bin",
                                           site + L"\\HttpDocs\\New"}));
    EXPECT_TRUE(fs::is_directory(onDisk(site + L"\\logs\\php_errors")));
    EXPECT_TRUE(fs::is_directory(onDisk(site + L"\\HttpDocs\\New")));
    EXPECT_FALSE(fs::exists(onDisk(site + L"\\cgi-bin")));
    EXPECT_EQ(LogRecorder::instance()
                  .find(LogInfo, L"Repairing folder " + site +
                                     L"\\logs\\php_errors, because of 'repaireFolder' flag")
                  .size(),
              1u);
    // A second expansion finds the folders made by the first.
    EXPECT_EQ(
        pathsOf(*expand({templateOf(vhosts, L"PATHMAP.TEST\\LOGS\\PHP_ERRORS", 0x140)}, site)),
        Paths{site + L"\\logs\\php_errors"});
}

TEST_F(ScopeExpansion, AnyPathEntriesAreNoFolder) {
    fs::path star = fs::current_path() / "*";
    auto collection = expand({templateOf(L"*", L"", 0x140)}, site);
    EXPECT_TRUE(collection->entries.empty());
    ASSERT_EQ(collection->anyPathEntries.size(), 1u);
    EXPECT_EQ(collection->anyPathEntries[0].path, L"*");
    EXPECT_EQ(collection->anyPathEntries[0].entryFlags, 0x140);
    EXPECT_FALSE(fs::exists(star));
    EXPECT_TRUE(LogRecorder::instance().find(LogInfo, L"Repairing folder").empty());
    EXPECT_EQ(Path2Entries(collection, site).anyPathEntries().size(), 1u);
}

TEST_F(ScopeExpansion, EachPartOfAPathGetsTheEntryOnce) {
    auto collection = expand({templateOf(site + L"\\httpdocs\\a", L"", 0x1040)}, site);
    EXPECT_EQ(pathsOf(*collection), (Paths{L"C:", L"C:\\Inetpub", L"C:\\Inetpub\\vhosts", site,
                                           site + L"\\HttpDocs", site + L"\\HttpDocs\\a"}));
    // Without repaireFolder a missing path has no parts, only itself.
    auto missing = expand({templateOf(site + L"\\httpdocs\\b", L"", 0x1000)}, site);
    EXPECT_EQ(pathsOf(*missing), Paths{site + L"\\HttpDocs\\b"});
    EXPECT_FALSE(fs::exists(onDisk(site + L"\\HttpDocs\\b")));
}

TEST_F(ScopeExpansion, LastComponentMayNotExist) {
    auto collection =
        expand({templateOf(vhosts, L"pathmap.test\\HTTPDOCS\\Web.Config", 0x80)}, site);
    EXPECT_EQ(pathsOf(*collection), Paths{site + L"\\HttpDocs\\Web.Config"});
    Path2Entries mapped(collection, site + L"\\httpdocs\\web.config");
    EXPECT_EQ(mapped.stateFlags() & StateUseParentPath, StateUseParentPath);
    EXPECT_EQ(collectChildrenEntries(*collection, site), Paths{});
}

TEST_F(ScopeExpansion, RootTemplateStandsForTheScopeRoot) {
    auto collection = expand({templateOf(L"/", L"Inetpub", 0x100), templateOf(L"/", L"", 0x100)},
                             L"\\\\?\\" + site);
    // The drive is kept as its long form gives it, without the backslash.
    EXPECT_EQ(pathsOf(*collection), (Paths{L"C:", L"C:\\Inetpub"}));
    EXPECT_TRUE(collection->hasRootEntry);
}

TEST_F(ScopeExpansion, ExpansionFailuresEndIt) {
    EXPECT_THROW(expand({templateOf(L"{windows}", L"", 0)}, site), vexception);
}

TEST_F(ScopeExpansion, SecurityDebuggingTellsEachStep) {
    PathMapTest::SecurityDebugging debugging;
    auto collection = expand({templateOf(vhosts, L"pathmap.test\\httpdocs", 0x4),
                              templateOf(vhosts, L"other.test", 0x10), templateOf(site, L"", 0x10)},
                             site);
    Path2Entries mapped(collection, site + L"\\httpdocs\\x");
    Path2Entries below(collection, site + L"\\cgi-bin");
    // A walk hands its paths over in long form; the lines show them as a person writes them.
    collectChildrenEntries(*collection, L"\\\\?\\" + site);
    collectChildrenEntries(*collection, L"\\\\?\\" + site + L"\\httpdocs");
    auto& log = LogRecorder::instance();
    for (const std::wstring& line : std::vector<std::wstring>{
             L"RealEntryCollection::getPathEntryCollection(" + site +
                 L"). Number of entries in collection: 3",
             L"C:\\Inetpub\\vhosts\\other.test is skipped, because it is out of scope " + site,
             L"RealEntryCollection::getPathEntryCollection(" + site + L"). Processed 2 entries.",
             L"Sorting entries from entry collection to Path2Entries structure for path: " + site +
                 L"\\httpdocs\\x",
             L"Path2Entries::_sortEntries() Entries for path '" + site + L"\\httpdocs': 1 ",
             L"Path2Entries::_sortEntries() Sorting entries for path: " + site +
                 L"\\httpdocs\\x finished. Entries added: 2, Indirect entries added: 0, Any path "
                 L"entries added: 0",
             L"Path2Entries::_entryIndexes() Break inheritance for path '" + site +
                 L"\\httpdocs\\x' on index: 4",
             L"No propogate is selected for " + site + L"\\cgi-bin by the entry with path " + site,
             L"Collecting children security entries for path " + site,
             L"Children security entries for path " + site + L":\n" + site + L"\\HttpDocs",
             L"No children security entries found for path " + site + L"\\httpdocs",
         }) {
        auto found = log.find(LogInfo, line);
        EXPECT_EQ(std::count(found.begin(), found.end(), line), 1) << Platform::toUtf8(line);
    }
    EXPECT_EQ(mapped.firstIndex(), 4);
}

TEST_F(ScopeExpansion, EntriesOutsideTheScopeOrTheConfinementAreTold) {
    const std::wstring other = L"C:\\Inetpub\\vhosts\\other.test";
    const std::wstring docs = site + L"\\httpdocs";
    struct Case {
        const char* what;
        std::wstring scope;
        std::wstring confinement;
        std::wstring debugLine;  // empty: none
        std::wstring warning;    // empty: none
    } cases[] = {
        {"outside the scope", docs, L"", other + L" is skipped, because it is out of scope " + docs,
         L""},
        {"outside the scope and the confinement", docs, site,
         other + L" is skipped, because it is out of scope " + docs,
         L"The entry path " + other + L" lies outside " + site + L" and is skipped"},
        // Metadata loaded for a whole drive holds such paths by nature: no warning.
        {"inside a drive's scope, outside the confinement", L"C:\\", site,
         other + L" is skipped, because it is out of scope " + site, L""},
    };
    PathMapTest::SecurityDebugging debugging;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LogRecorder::instance().clear();
        EntryTemplateSet set;
        set.insert(templateOf(vhosts, L"other.test", 0));
        TarnoComponentResolver resolver;
        auto collection =
            RealEntryCollection(set).getPathEntryCollection(c.scope, resolver, false, c.confinement);
        EXPECT_TRUE(collection->entries.empty());
        auto& log = LogRecorder::instance();
        auto skipped = log.find(LogInfo, L" is skipped, because it is out of scope ");
        EXPECT_EQ(skipped, std::vector<std::wstring>{c.debugLine});
        auto warned = log.find(LogWarning, L"The entry path ");
        EXPECT_EQ(warned, c.warning.empty() ? std::vector<std::wstring>{}
                                            : std::vector<std::wstring>{c.warning});
    }
}

}  // namespace
