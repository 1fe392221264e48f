// The SID cache: the cache object itself, the process-wide slot with its stack, and the name
// and SID lookups that go through it to the host's accounts.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "accounts/sid_cache.h"
#include "accounts/vsid.h"
#include "platform/security.h"
#include "platform/text.h"
#include "runtime/exceptions.h"
#include "support/process.h"
#include "support/temp_host.h"

namespace {

namespace SidType = Platform::SidType;

VSID account(const wchar_t* sid, std::uint32_t type = SidType::User) {
    VSID value = VSID::fromString(sid);
    value.setAccount(L"ignored", L"ignored", type);
    return value;
}

TEST(QualifiedName, SplitsIntoDomainAndName) {
    struct Case {
        std::wstring text, domain, name;
    };
    const Case cases[] = {
        {L"user", L"", L"user"},
        {L"dom/user", L"dom", L"user"},
        {L"dom\\user", L"dom", L"user"},
        {L"NT AUTHORITY\\SYSTEM", L"NT AUTHORITY", L"SYSTEM"},
        {L"", L"", L""},
        {L"\\", L"", L""},
        {L"\\user", L"", L"user"},
        {L"dom\\\\user", L"dom", L"user"},
    };
    for (const Case& c : cases) {
        std::wstring domain = L"old";
        std::wstring name = L"old";
        SidCache::getFromQualifiedName(c.text, domain, name);
        EXPECT_EQ(domain, c.domain) << Platform::toUtf8(c.text);
        EXPECT_EQ(name, c.name) << Platform::toUtf8(c.text);
    }
    EXPECT_EQ(SidCache::qualifiedName(L"", L"user"), L"user");
    EXPECT_EQ(SidCache::qualifiedName(L"dom", L"user"), L"dom\\user");
}

TEST(QualifiedName, MoreThanTwoPartsIsAnError) {
    for (const std::wstring text : {L"a\\b\\c", L"a/b\\c"}) {
        std::wstring domain;
        std::wstring name;
        try {
            SidCache::getFromQualifiedName(text, domain, name);
            ADD_FAILURE() << "accepted " << Platform::toUtf8(text);
        } catch (const vexception& e) {
            EXPECT_EQ(e.message(), L"Invalid qualified name: " + text);
            ASSERT_EQ(e.frames().size(), 1u);
            EXPECT_EQ(e.frames()[0].function, "SidCache::getFromQualifiedName");
        }
    }
}

TEST(OfflineSidCacheImpl, NamesIgnoreCaseSidsKeepTheLastSpelling) {
    SidCache::OfflineSidCacheImpl cache;
    VSID user = account(L"S-1-5-21-1-2-3-1000");
    cache.add(user, L"Example", L"User1");

    VSID found;
    EXPECT_FALSE(cache.findByName(L"Example", L"User2", false, found));
    EXPECT_FALSE(found.hasSid());
    ASSERT_TRUE(cache.findByName(L"EXAMPLE", L"user1", false, found));
    EXPECT_TRUE(found == user);
    EXPECT_EQ(found.storedDomain(), L"Example");
    EXPECT_EQ(found.storedName(), L"User1");
    EXPECT_EQ(found.type(), SidType::User);

    std::wstring domain;
    std::wstring name;
    ASSERT_TRUE(cache.findBySid(user, false, domain, name));
    EXPECT_EQ(domain, L"Example");
    EXPECT_EQ(name, L"User1");

    // The same account again in other letters: one name entry, the SID entry takes the new
    // spelling.
    cache.add(user, L"example", L"USER1");
    ASSERT_TRUE(cache.findBySid(user, false, domain, name));
    EXPECT_EQ(domain, L"example");
    EXPECT_EQ(name, L"USER1");

    // Without a domain the name alone is the key.
    VSID everyone = account(L"S-1-1-0", SidType::WellKnownGroup);
    cache.add(everyone, L"", L"Everyone");
    ASSERT_TRUE(cache.findByName(L"", L"everyone", false, found));
    EXPECT_TRUE(found == everyone);
    ASSERT_TRUE(cache.findBySid(everyone, false, domain, name));
    EXPECT_EQ(domain, L"");
    EXPECT_EQ(name, L"Everyone");

    cache.remove(L"EXAMPLE", L"User1");
    EXPECT_FALSE(cache.findByName(L"Example", L"User1", false, found));
    EXPECT_FALSE(cache.findBySid(user, false, domain, name));
    EXPECT_TRUE(cache.findBySid(everyone, false, domain, name));
    cache.remove(L"nobody", L"at all");  // nothing to remove is fine
}

// A cache installed for one scope.
class InstalledCache {
public:
    explicit InstalledCache(std::unique_ptr<SidCache::OfflineSidCache> cache) {
        SidCache::install(std::move(cache));
    }
    ~InstalledCache() { SidCache::restore(); }
    InstalledCache(const InstalledCache&) = delete;
    InstalledCache& operator=(const InstalledCache&) = delete;
};

// Lookups against a fresh host, with a fresh cache installed for the test.
class SidLookup : public ::testing::Test {
protected:
    void SetUp() override {
        SidCache::install(std::make_unique<SidCache::OfflineSidCacheImpl>());
        ASSERT_EQ(Platform::netUserModalsGet2(L"", modals), 0u);
    }
    void TearDown() override { SidCache::restore(); }

    std::string tavrelHost(const std::vector<std::string>& args) {
        TestSupport::ProcessResult result = TestSupport::runProgram("tavrel-host", args);
        EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
        return result.out;
    }
    void addAccount(const std::string& name) { tavrelHost({"account", "add", name}); }
    void deleteAccount(const std::string& name) { tavrelHost({"account", "del", name}); }

    TestSupport::TempHost host;
    Platform::UserModalsInfo2 modals;
};

TEST_F(SidLookup, NamesResolveThroughTheCandidateDomains) {
    VSID admins;
    ASSERT_TRUE(VSID::lookupName(L"", L"administrators", admins, true));
    EXPECT_EQ(admins.toString(), L"S-1-5-32-544");
    EXPECT_EQ(admins.storedDomain(), L"BUILTIN");
    EXPECT_EQ(admins.storedName(), L"administrators");
    EXPECT_EQ(admins.type(), SidType::Alias);

    VSID system = VSID::fromName(L"", L"SYSTEM");
    EXPECT_EQ(system.toString(), L"S-1-5-18");
    EXPECT_EQ(system.storedDomain(), L"NT AUTHORITY");

    VSID administrator = VSID::fromName(L"", L"Administrator");
    EXPECT_EQ(administrator.storedDomain(), modals.domainName);
    EXPECT_EQ(administrator.type(), SidType::User);
    EXPECT_TRUE(VSID::fromName(modals.domainName, L"ADMINISTRATOR") == administrator);
}

TEST_F(SidLookup, UnknownNamesFailOnlyWhenAskedTo) {
    VSID untouched = VSID::fromString(L"S-1-1-0");
    EXPECT_FALSE(VSID::lookupName(L"", L"nobody-here", untouched, false));
    EXPECT_EQ(untouched.toString(), L"S-1-1-0");
    try {
        VSID::lookupName(L"", L"nobody-here", untouched, true);
        ADD_FAILURE() << "an unknown name resolved";
    } catch (const RunTime::NoneMappedException& e) {
        EXPECT_EQ(
            std::string(e.what()).rfind("Unable to lookup SID for name nobody-here: (1332) ", 0),
            0u)
            << e.what();
    }
    try {
        VSID::fromString(L"S-1-5-21-7-8-9-4321").name();
        ADD_FAILURE() << "an unknown SID resolved";
    } catch (const RunTime::NoneMappedException& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Unable to lookup name for SID: (1332) ", 0), 0u)
            << e.what();
    }
}

TEST_F(SidLookup, AnotherSpellingIsAnsweredFromTheCache) {
    addAccount("User1");
    VSID first = VSID::fromName(modals.domainName, L"User1");
    deleteAccount("User1");

    // The system no longer knows the account; only the cache can answer.
    std::wstring lower = Platform::toLower(modals.domainName);
    VSID second = VSID::fromName(lower, L"USER1");
    EXPECT_TRUE(second == first);
    EXPECT_EQ(second.storedDomain(), lower);
    EXPECT_EQ(second.storedName(), L"USER1");
}

TEST_F(SidLookup, ADeletedAccountResolvesForTheRestOfTheRun) {
    addAccount("Leaver");
    VSID leaver = VSID::fromName(L"", L"Leaver");
    EXPECT_EQ(leaver.storedDomain(), modals.domainName);
    deleteAccount("Leaver");

    EXPECT_TRUE(VSID::fromName(L"", L"leaver") == leaver);
    VSID bySid(leaver.sid());
    EXPECT_EQ(bySid.name(), L"Leaver");
    EXPECT_EQ(bySid.domain(), modals.domainName);
    EXPECT_EQ(bySid.displayName(), modals.domainName + L"\\Leaver");

    // A run without the cache asks the system only.
    {
        InstalledCache none(nullptr);
        EXPECT_FALSE(VSID::lookupName(L"", L"Leaver", bySid, false));
        EXPECT_EQ(VSID(leaver.sid()).displayName(), leaver.toString());
    }
    EXPECT_TRUE(VSID::lookupName(L"", L"Leaver", bySid, false));
}

TEST_F(SidLookup, ASidResolvedOnceIsKnownByNameToo) {
    std::string printed = tavrelHost({"account", "add", "Visitor"});
    VSID visitor = VSID::fromString(Platform::fromUtf8(printed.substr(0, printed.find('\n'))));
    EXPECT_EQ(visitor.name(), L"Visitor");  // the first the cache hears of the account
    deleteAccount("Visitor");
    EXPECT_TRUE(VSID::fromName(modals.domainName, L"visitor") == visitor);
}

TEST_F(SidLookup, InstallKeepsEarlierCachesRestoreBringsThemBack) {
    // A record that only a cache can know.
    VSID ghost = VSID::fromString(L"S-1-5-21-7-8-9-1000");
    auto seeded = std::make_unique<SidCache::OfflineSidCacheImpl>();
    seeded->add(ghost, L"FARAWAY", L"Ghost");
    {
        InstalledCache seededCache(std::move(seeded));
        EXPECT_EQ(VSID(ghost.sid()).displayName(), L"FARAWAY\\Ghost");
        {
            InstalledCache empty(std::make_unique<SidCache::OfflineSidCacheImpl>());
            EXPECT_EQ(VSID(ghost.sid()).displayName(), L"S-1-5-21-7-8-9-1000");
        }
        EXPECT_EQ(VSID(ghost.sid()).displayName(), L"FARAWAY\\Ghost");
    }
    // Back to the fixture's cache.
    EXPECT_TRUE(SidCache::hasCurrent());
    EXPECT_EQ(VSID(ghost.sid()).displayName(), L"S-1-5-21-7-8-9-1000");
}

TEST(SidCacheSlot, RestoreWithAnEmptyStackLeavesNoCache) {
    TestSupport::TempHost host;
    ASSERT_FALSE(SidCache::hasCurrent());
    SidCache::restore();
    EXPECT_FALSE(SidCache::hasCurrent());

    auto seeded = std::make_unique<SidCache::OfflineSidCacheImpl>();
    VSID ghost = VSID::fromString(L"S-1-5-21-7-8-9-1000");
    seeded->add(ghost, L"FARAWAY", L"Ghost");
    SidCache::install(std::move(seeded));
    EXPECT_TRUE(SidCache::hasCurrent());
    SidCache::restore();  // the empty slot that was current before comes back
    EXPECT_FALSE(SidCache::hasCurrent());
    SidCache::restore();
    EXPECT_FALSE(SidCache::hasCurrent());
    // Lookups now go to the system alone.
    EXPECT_EQ(VSID(ghost.sid()).displayName(), L"S-1-5-21-7-8-9-1000");
    EXPECT_EQ(VSID::fromString(L"S-1-5-18").name(), L"SYSTEM");
}

}  // namespace
