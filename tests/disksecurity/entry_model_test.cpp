// The entry model: the name tables, the set order, the text of an entry and how one real entry
// splits into access control items.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <tuple>
#include <vector>

#include "disksecurity/access_control.h"
#include "disksecurity/entry_template.h"
#include "disksecurity/vocabularies.h"
#include "disksecurity_support.h"
#include "runtime/config.h"

namespace {

using namespace DiskSecurity;
using DiskSecurityTest::sharedHost;
using Kind = AccessItemKind;
using Target = AccessItemTarget;

VSID sid(const wchar_t* text) {
    return VSID::fromString(text);
}

class EntryModel : public ::testing::Test {
protected:
    void SetUp() override { sharedHost(); }
};

TEST_F(EntryModel, AccessMaskValuesNameAtMostOneEntry) {
    const auto& table = accessMaskNames();
    // DELETE with FILE_READ_DATA alone, not "Read" plus DELETE.
    EXPECT_EQ(table.at(L"ReadAndDelete"), 0x10001u);
    std::set<std::uint32_t> values;
    for (const auto& [name, value] : table) {
        EXPECT_TRUE(values.insert(value).second) << Platform::toUtf8(name);
    }
    EXPECT_FALSE(table.contains(L"fullaccess"));
    EXPECT_EQ(applyOntoNames().at(L"SubfoldersAndFilesOnly"), 11u);
}

TEST_F(EntryModel, WellKnownAccountsIncludeTheLocalAdministratorAndGuest) {
    const auto& table = wellKnownAccounts();
    EXPECT_EQ(table.size(), 37u);
    const std::vector<std::pair<std::wstring, std::wstring>> samples = {
        {L"Null", L"S-1-0-0"},
        {L"Everyone", L"S-1-1-0"},
        {L"CreatorOwner", L"S-1-3-0"},
        {L"ThisOrganization", L"S-1-5-15"},
        {L"System", L"S-1-5-18"},
        {L"Administrators", L"S-1-5-32-544"},
        {L"RemoteDesktopUsers", L"S-1-5-32-555"},
    };
    for (const auto& [name, text] : samples) {
        ASSERT_TRUE(table.contains(name)) << Platform::toUtf8(name);
        EXPECT_EQ(table.at(name).toString(), text);
    }
    // The host's own list is the reference for the two accounts of the account domain.
    std::istringstream listing(DiskSecurityTest::hostTool({"account", "list"}));
    std::map<std::string, std::string> local;
    for (std::string line; std::getline(listing, line);) {
        std::istringstream fields(line);
        std::string name, sidText;
        fields >> name >> sidText;
        local[name] = sidText;
    }
    EXPECT_EQ(Platform::toUtf8(table.at(L"Administrator").toString()), local["Administrator"]);
    EXPECT_EQ(Platform::toUtf8(table.at(L"Guest").toString()), local["Guest"]);
}

TEST_F(EntryModel, KindAndTargetTextsFallBackToHexadecimal) {
    const std::vector<std::pair<Kind, std::wstring>> kinds = {
        {Kind::Deny, L"Deny"},          {Kind::ImplicitAllow, L"ImplicitAllow"},
        {Kind::Stop, L"Stop"},          {Kind::Allow, L"Allow"},
        {Kind::Revoke, L"Revoke"},      {static_cast<Kind>(4), L"4"},
        {static_cast<Kind>(26), L"1A"}, {static_cast<Kind>(-2), L"FFFFFFFE"},
    };
    for (const auto& [kind, text] : kinds) {
        EXPECT_EQ(kindText(kind), text);
    }
    const std::vector<std::pair<Target, std::wstring>> targets = {
        {Target::ThisObject, L"ThisObject"}, {Target::Files, L"Files"},
        {Target::SubFolders, L"SubFolders"}, {static_cast<Target>(3), L"3"},
        {static_cast<Target>(255), L"FF"},
    };
    for (const auto& [target, text] : targets) {
        EXPECT_EQ(targetText(target), text);
    }
}

TEST_F(EntryModel, EntryTextNamesTheVerbAccountAndFlags) {
    RealEntry entry(sid(L"S-1-5-32-544"), L"C:\\Inetpub\\vhosts\\a.com", 3, 0x1f01ff, 0);
    EXPECT_EQ(entryToText(entry),
              L"C:\\Inetpub\\vhosts\\a.com: allow for BUILTIN\\Administrators 3 1F01FF");
    entry.entryFlags = 0x801;  // revoke wins for the items, the text still shows the deny bit
    EXPECT_EQ(entryToText(entry),
              L"C:\\Inetpub\\vhosts\\a.com: deny to BUILTIN\\Administrators 3 1F01FF");
    entry.entryFlags = 0x800;
    entry.account = sid(L"S-1-5-21-7-8-9-4242");  // nobody: shown by its number
    EXPECT_EQ(entryToText(entry),
              L"C:\\Inetpub\\vhosts\\a.com: allow for S-1-5-21-7-8-9-4242 3 1F01FF");
}

// ---- Set order ----

struct OrderCase {
    const char* what;
    EntryTemplate left;
    EntryTemplate right;
    int expected;  // sign of compareEntryTemplates(left, right)
};

EntryTemplate entry(const wchar_t* account, const wchar_t* path, const wchar_t* subPath = L"",
                    std::uint32_t aceFlags = 3, std::uint32_t mask = 0x1f01ff,
                    std::int32_t flags = 0, const wchar_t* tag = L"", const wchar_t* tag2 = L"") {
    return EntryTemplate(sid(account), path, subPath, aceFlags, mask, flags, tag, tag2);
}

int sign(int value) {
    return (value > 0) - (value < 0);
}

TEST_F(EntryModel, SetOrderFollowsTheFieldsInTurn) {
    const wchar_t* system = L"S-1-5-18";
    const wchar_t* admins = L"S-1-5-32-544";
    const std::vector<OrderCase> cases = {
        {"ancestor path first", entry(system, L"a"), entry(system, L"a\\b"), -1},
        {"descendant path last", entry(system, L"a\\b"), entry(system, L"a"), 1},
        {"shorter component first", entry(system, L"zz"), entry(system, L"aaa"), -1},
        {"path case ignored", entry(system, L"Web\\Logs"), entry(system, L"web\\logs"), 0},
        {"path decides before account", entry(admins, L"a"), entry(system, L"b"), -1},
        {"subPath next", entry(admins, L"a", L"x\\y"), entry(system, L"a", L"x"), 1},
        {"shorter SID first", entry(L"S-1-1-0", L"a"), entry(system, L"a"), -1},
        {"same length by bytes", entry(L"S-1-5-19", L"a"), entry(system, L"a"), 1},
        {"aceFlags", entry(system, L"a", L"", 9), entry(system, L"a", L"", 10), -1},
        {"generic mask mapped", entry(system, L"a", L"", 3, 0x10000000),
         entry(system, L"a", L"", 3, 0x1f01ff), 0},
        {"mask compared after mapping", entry(system, L"a", L"", 3, 0x80000001),
         entry(system, L"a", L"", 3, 0x1f01ff), -1},
        {"entryFlags signed", entry(system, L"a", L"", 3, 1, -1), entry(system, L"a", L"", 3, 1, 0),
         -1},
        {"tag ignores case", entry(system, L"a", L"", 3, 1, 0, L"DomainUser"),
         entry(system, L"a", L"", 3, 1, 0, L"domainuser"), 0},
        {"tag orders", entry(system, L"a", L"", 3, 1, 0, L"a"),
         entry(system, L"a", L"", 3, 1, 0, L"B"), -1},
        {"tag2 last", entry(system, L"a", L"", 3, 1, 0, L"t", L"Z"),
         entry(system, L"a", L"", 3, 1, 0, L"t", L"y"), 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sign(compareEntryTemplates(c.left, c.right)), c.expected) << c.what;
        EXPECT_EQ(sign(compareEntryTemplates(c.right, c.left)), -c.expected) << c.what;
    }
}

TEST_F(EntryModel, SetKeepsEntriesThatDifferOnlyInTagCase) {
    EntryTemplateSet set(L"C:\\t.xml");
    set.insert(entry(L"S-1-5-18", L"a", L"", 3, 1, 0, L"DomainUser"));
    set.insert(entry(L"S-1-5-18", L"a", L"", 3, 1, 0, L"DOMAINUSER"));
    set.insert(entry(L"S-1-5-18", L""));  // the root sorts first
    ASSERT_EQ(set.size(), 3u);
    auto it = set.begin();
    EXPECT_EQ(it->path, L"");
    EXPECT_EQ((++it)->tag, L"DomainUser");  // equal entries keep their insertion order
    EXPECT_EQ((++it)->tag, L"DOMAINUSER");
    EXPECT_EQ(set.sourcePath(), L"C:\\t.xml");
}

TEST_F(EntryModel, AnEntryWithoutSidCannotBeOrdered) {
    EntryTemplateSet set;
    set.insert(entry(L"S-1-5-18", L"a"));
    EntryTemplate noSid(VSID(), L"a", L"", 3, 1, 0);
    try {
        set.insert(noSid);
        FAIL() << "inserted";
    } catch (const vexception& e) {
        EXPECT_NE(e.message().find(L"Invalid sid(s)"), std::wstring::npos);
    }
}

// ---- Items of an entry ----

using Item = std::tuple<Target, Kind, std::uint32_t>;

struct ItemCase {
    const char* what;
    std::uint32_t aceFlags;
    std::int32_t entryFlags;
    std::uint32_t mask;
    bool inherited;
    bool isContainer;
    std::vector<Item> expected;  // in key order: ThisObject, Files, SubFolders
};

std::vector<Item> itemsOf(const RealEntry& real, bool inherited, bool isContainer,
                          std::int32_t index = 1) {
    VAccessControl control;
    addEntryItems(control, real, inherited, index, isContainer);
    std::vector<Item> items;
    for (const auto& [key, item] : control) {
        EXPECT_EQ(item.level, index);
        EXPECT_EQ(item.denyMask, 0u);
        EXPECT_EQ(key.sidText(), real.account.toString());
        items.emplace_back(key.target(), item.kind, item.allowMask);
    }
    return items;
}

TEST_F(EntryModel, EntriesSplitIntoItemsByInheritance) {
    constexpr std::uint32_t read = 0x120089;
    constexpr std::uint32_t full = 0x1f01ff;
    const Target self = Target::ThisObject, files = Target::Files, dirs = Target::SubFolders;
    const std::vector<ItemCase> cases = {
        {"explicit all three",
         3,
         0,
         read,
         false,
         true,
         {{self, Kind::Allow, read}, {files, Kind::Allow, read}, {dirs, Kind::Allow, read}}},
        {"stop entry, any flags",
         9,
         0x10,
         0,
         false,
         true,
         {{self, Kind::Stop, 0}, {files, Kind::Stop, 0}, {dirs, Kind::Stop, 0}}},
        {"stop entry, inherited with flags 0",
         0,
         0x10,
         0,
         true,
         false,
         {{self, Kind::Stop, 0}, {files, Kind::Stop, 0}, {dirs, Kind::Stop, 0}}},
        {"no-propagate with a mask is ordinary",
         1,
         0x11,
         read,
         false,
         true,
         {{self, Kind::Deny, read}, {files, Kind::Deny, read}}},
        {"FilesOnly inherited on a folder keeps inherit-only",
         9,
         0,
         read,
         true,
         true,
         {{files, Kind::Allow, read}}},
        {"FilesOnly explicit", 9, 0, read, false, true, {{files, Kind::Allow, read}}},
        {"flags 3 inherited on a file",
         3,
         0,
         read,
         true,
         false,
         {{self, Kind::Allow, read}, {files, Kind::Allow, read}, {dirs, Kind::Allow, read}}},
        {"FilesOnly inherited on a file reaches it",
         9,
         0,
         read,
         true,
         false,
         {{self, Kind::Allow, read}, {files, Kind::Allow, read}}},
        {"folders-only inherited on a file", 2, 0, read, true, false, {}},
        {"folder-and-files inherited on a folder", 1, 0, read, true, true, {}},
        {"SubfoldersOnly inherited on a folder applies to it",
         10,
         0,
         read,
         true,
         true,
         {{self, Kind::Allow, read}, {dirs, Kind::Allow, read}}},
        {"inherited flags 0", 0, 0, read, true, true, {}},
        {"inherited revoke flags 0", 0, 0x800, read, true, true, {}},
        {"explicit flags 0", 0, 0, read, false, false, {{self, Kind::Allow, read}}},
        {"explicit revoke flags 0 revokes everything",
         0,
         0x800,
         read,
         false,
         false,
         {{self, Kind::Revoke, read}, {files, Kind::Revoke, read}, {dirs, Kind::Revoke, read}}},
        {"revoke beats deny", 9, 0x801, read, false, true, {{files, Kind::Revoke, read}}},
        {"deny", 0, 0x1, read, false, true, {{self, Kind::Deny, read}}},
        {"generic rights mapped", 0, 0, 0x10000000, false, true, {{self, Kind::Allow, full}}},
        {"generic read mapped",
         2,
         0,
         0x80000000,
         false,
         true,
         {{self, Kind::Allow, read}, {dirs, Kind::Allow, read}}},
        {"allow of nothing stops", 0, 0, 0, false, true, {{self, Kind::Stop, 0}}},
        {"deny of nothing drops", 0, 0x1, 0, false, true, {}},
    };
    for (const auto& c : cases) {
        RealEntry real(sid(L"S-1-5-21-1-2-3-1000"), L"C:\\a", c.aceFlags, c.mask, c.entryFlags);
        EXPECT_EQ(itemsOf(real, c.inherited, c.isContainer), c.expected) << c.what;
    }
}

// ---- Merging ----

TEST_F(EntryModel, MergingFollowsLevelThenKind) {
    VSID user = sid(L"S-1-5-21-1-2-3-1000");
    AccessKey key(user, Target::ThisObject);
    struct MergeCase {
        const char* what;
        AccessItem first;
        AccessItem second;
        AccessItem expected;
    };
    const std::vector<MergeCase> cases = {
        {"deeper level replaces",
         {Kind::Allow, 0x1, 0, 1},
         {Kind::Deny, 0x2, 0, 3},
         {Kind::Deny, 0x2, 0, 3}},
        {"shallower level dropped",
         {Kind::Deny, 0x2, 0, 3},
         {Kind::Revoke, 0x1, 0, 1},
         {Kind::Deny, 0x2, 0, 3}},
        {"entry beats ACL item",
         {Kind::ImplicitAllow, 0x4, 0, LevelAcl},
         {Kind::Allow, 0x1, 0, 0},
         {Kind::Allow, 0x1, 0, 0}},
        {"ACL item does not beat entry",
         {Kind::Allow, 0x1, 0, 0},
         {Kind::ImplicitAllow, 0x4, 0, LevelAcl},
         {Kind::Allow, 0x1, 0, 0}},
        {"same kind ORs masks",
         {Kind::Allow, 0x1, 0, 2},
         {Kind::Allow, 0x6, 0, 2},
         {Kind::Allow, 0x7, 0, 2}},
        {"greater kind wins",
         {Kind::Allow, 0x1, 0, 2},
         {Kind::Revoke, 0x6, 0, 2},
         {Kind::Revoke, 0x6, 0, 2}},
        {"smaller kind dropped",
         {Kind::Allow, 0x1, 0, 2},
         {Kind::Deny, 0x6, 0, 2},
         {Kind::Allow, 0x1, 0, 2}},
        {"deny joins an implicit allow",
         {Kind::ImplicitAllow, 0x7, 0, LevelAcl},
         {Kind::Deny, 0x10, 0, LevelAcl},
         {Kind::ImplicitAllow, 0x7, 0x10, LevelAcl}},
        {"level-less meets any level by kind",
         {Kind::Allow, 0x1, 0, 4},
         {Kind::Revoke, 0x1, 0, LevelAnyPath},
         {Kind::Revoke, 0x1, 0, LevelAnyPath}},
        {"zero allow stops",
         {Kind::ImplicitAllow, 0x7, 0, 2},
         {Kind::Allow, 0, 0, 2},
         {Kind::Stop, 0, 0, 2}},
    };
    for (const auto& c : cases) {
        VAccessControl control;
        mapItem(control, key, c.first);
        mapItem(control, key, c.second);
        ASSERT_EQ(control.size(), 1u) << c.what;
        const AccessItem* item = control.find(key);
        ASSERT_NE(item, nullptr) << c.what;
        EXPECT_EQ(item->kind, c.expected.kind) << c.what;
        EXPECT_EQ(item->allowMask, c.expected.allowMask) << c.what;
        EXPECT_EQ(item->denyMask, c.expected.denyMask) << c.what;
        EXPECT_EQ(item->level, c.expected.level) << c.what;
    }
}

TEST_F(EntryModel, SecurityDebuggingLogsEachEntry) {
    const std::string key = "HKLM\\SOFTWARE\\WOW6432Node\\Tarno\\Zel Config\\Config";
    DiskSecurityTest::hostTool({"reg", "set", key, "Debug", "REG_DWORD", "1"});
    DiskSecurityTest::hostTool({"reg", "set", key, "DebugSecuritySettings", "REG_DWORD", "1"});
    resetDebugSwitchesForTesting();
    auto& log = DiskSecurityTest::LogRecorder::instance();
    log.clear();
    VAccessControl control;
    addEntryItems(control, RealEntry(sid(L"S-1-5-18"), L"C:\\a", 3, 0x1f01ff, 1), true, 2, true);
    DiskSecurityTest::hostTool({"reg", "del", key, "DebugSecuritySettings"});
    resetDebugSwitchesForTesting();
    EXPECT_EQ(
        log.find(LogInfo, L"2[inherited]Entry C:\\a: deny to NT AUTHORITY\\SYSTEM 3 1F01FF").size(),
        1u);
}

}  // namespace
