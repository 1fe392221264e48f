// Account values: construction from every source, the string form, the order of sorted
// containers, the well-known accounts and the lazy names.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "accounts/sid_cache.h"
#include "accounts/vsid.h"
#include "platform/security.h"
#include "platform/text.h"
#include "runtime/exceptions.h"
#include "support/errors.h"
#include "support/temp_host.h"

namespace {

namespace SidType = Platform::SidType;

using TestSupport::mentions;
using TestSupport::osErrorOf;

TEST(VSIDWellKnown, EveryRowBuildsItsSid) {
    const std::vector<std::pair<WellKnownAccount, std::wstring>> table = {
        {WellKnownAccount::Null, L"S-1-0-0"},
        {WellKnownAccount::Everyone, L"S-1-1-0"},
        {WellKnownAccount::Local, L"S-1-2-0"},
        {WellKnownAccount::CreatorOwner, L"S-1-3-0"},
        {WellKnownAccount::CreatorGroup, L"S-1-3-1"},
        {WellKnownAccount::CreatorOwnerServer, L"S-1-3-2"},
        {WellKnownAccount::CreatorGroupServer, L"S-1-3-3"},
        {WellKnownAccount::Dialup, L"S-1-5-1"},
        {WellKnownAccount::Network, L"S-1-5-2"},
        {WellKnownAccount::Batch, L"S-1-5-3"},
        {WellKnownAccount::Interactive, L"S-1-5-4"},
        {WellKnownAccount::Service, L"S-1-5-6"},
        {WellKnownAccount::AnonymousLogon, L"S-1-5-7"},
        {WellKnownAccount::Proxy, L"S-1-5-8"},
        {WellKnownAccount::ServerLogon, L"S-1-5-9"},
        {WellKnownAccount::Self, L"S-1-5-10"},
        {WellKnownAccount::AuthenticatedUser, L"S-1-5-11"},
        {WellKnownAccount::RestrictedCode, L"S-1-5-12"},
        {WellKnownAccount::TerminalServer, L"S-1-5-13"},
        {WellKnownAccount::ThisOrganization, L"S-1-5-15"},
        {WellKnownAccount::System, L"S-1-5-18"},
        {WellKnownAccount::LocalService, L"S-1-5-19"},
        {WellKnownAccount::NetworkService, L"S-1-5-20"},
        {WellKnownAccount::Administrators, L"S-1-5-32-544"},
        {WellKnownAccount::Users, L"S-1-5-32-545"},
        {WellKnownAccount::Guests, L"S-1-5-32-546"},
        {WellKnownAccount::PowerUsers, L"S-1-5-32-547"},
        {WellKnownAccount::AccountOps, L"S-1-5-32-548"},
        {WellKnownAccount::SystemOps, L"S-1-5-32-549"},
        {WellKnownAccount::PrintOps, L"S-1-5-32-550"},
        {WellKnownAccount::BackupOps, L"S-1-5-32-551"},
        {WellKnownAccount::Replicator, L"S-1-5-32-552"},
        {WellKnownAccount::RasServers, L"S-1-5-32-553"},
        {WellKnownAccount::PreW2kCompAccess, L"S-1-5-32-554"},
        {WellKnownAccount::RemoteDesktopUsers, L"S-1-5-32-555"},
    };
    for (const auto& [account, text] : table) {
        VSID sid = VSID::wellKnown(account);
        EXPECT_EQ(sid.toString(), text);
        EXPECT_EQ(sid.type(), SidType::Unknown) << Platform::toUtf8(text);
        EXPECT_TRUE(VSID::fromString(text) == sid) << Platform::toUtf8(text);
    }
}

TEST(VSIDWellKnown, PlainSidsAndTheStringForms) {
    EXPECT_EQ(VSID(VSID::admins().data()).toString(), L"S-1-5-32-544");
    EXPECT_EQ(VSID(VSID::everyone().data()).toString(), L"S-1-1-0");
    EXPECT_EQ(VSID(VSID::system().data()).toString(), L"S-1-5-18");
    EXPECT_EQ(VSID::admins().size(), 16u);

    // ConvertStringSidToSidW reads SDDL aliases as well.
    EXPECT_TRUE(VSID::fromString(L"BA") == VSID::wellKnown(WellKnownAccount::Administrators));
    EXPECT_TRUE(VSID::fromString(L"s-1-5-0x12") == VSID::wellKnown(WellKnownAccount::System));

    for (const wchar_t* bad : {L"", L"S-1", L"S-1-5-x", L"user", L"S-1-5-18 "}) {
        vosexception e = osErrorOf([&] { VSID::fromString(bad); });
        EXPECT_TRUE(mentions(e, L" at Unable to convert a string to SID")) << Platform::toUtf8(bad);
        EXPECT_EQ(e.errorCode(), Platform::WinError::InvalidSid);
    }
    vosexception e = osErrorOf([] { VSID().toString(); });
    EXPECT_TRUE(mentions(e, L"Unable to convert a SID to it's string form"));
}

TEST(VSIDConstruction, AuthorityAndSubAuthoritiesAsAllocateAndInitializeSidTakesThem) {
    EXPECT_EQ(VSID(5, {21, 1, 2, 3, 1000}).toString(), L"S-1-5-21-1-2-3-1000");
    EXPECT_EQ(VSID(5, {1, 2, 3, 4, 5, 6, 7, 8}).sidLength(), 40u);
    for (auto make : {+[] { VSID(5, {}); },
                      +[] {
                          VSID(5, {1, 2, 3, 4, 5, 6, 7, 8, 9});
                      },
                      +[] { VSID(std::uint64_t{1} << 48, {1}); }}) {
        vosexception e = osErrorOf(make);
        EXPECT_TRUE(mentions(e, L"Unable to allocate and initialize sid"));
        EXPECT_EQ(e.errorCode(), Platform::WinError::InvalidParameter);
    }
}

TEST(VSIDConstruction, CopiesOwnTheirSid) {
    std::vector<std::uint8_t> bytes = VSID(5, {32, 544}).bytes();
    VSID fromBytes(bytes.data());
    bytes[8] = 0x99;  // the value keeps its own copy
    EXPECT_EQ(fromBytes.toString(), L"S-1-5-32-544");

    VSID copy = fromBytes;
    copy.setSid(VSID::system().data());
    EXPECT_EQ(fromBytes.toString(), L"S-1-5-32-544");
    EXPECT_EQ(copy.toString(), L"S-1-5-18");

    EXPECT_FALSE(VSID(static_cast<const std::uint8_t*>(nullptr)).hasSid());
    copy.setSid(nullptr);
    EXPECT_FALSE(copy.hasSid());

    std::uint8_t invalid[8] = {2, 1, 0, 0, 0, 0, 0, 5};
    vosexception e = osErrorOf([&] { VSID{invalid}; });
    EXPECT_TRUE(mentions(e, L"Unable to copy sid"));
    try {
        copy.setSid(invalid);
        ADD_FAILURE() << "an invalid SID was stored";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()).rfind("Invalid sid: (1337) ", 0), 0u) << error.what();
    }
}

TEST(VSIDOrder, ShorterSidsFirstThenBytes) {
    std::vector<std::wstring> texts = {L"S-1-5-32-545", L"S-1-5-32-544",       L"S-1-5-18",
                                       L"S-1-1-0",      L"S-1-5-21-1-2-3-500", L"S-1-5-19"};
    std::set<VSID> sorted;
    for (const auto& text : texts) {
        sorted.insert(VSID::fromString(text));
    }
    sorted.insert(VSID::fromString(L"S-1-5-18"));  // equal: not added twice
    std::vector<std::wstring> order;
    for (const VSID& sid : sorted) {
        order.push_back(sid.toString());
    }
    EXPECT_EQ(order,
              (std::vector<std::wstring>{L"S-1-1-0", L"S-1-5-18", L"S-1-5-19", L"S-1-5-32-544",
                                         L"S-1-5-32-545", L"S-1-5-21-1-2-3-500"}));
    // The bytes decide, as unsigned values in their little-endian layout: 0x80 after 0x7F,
    // but 0x100 (00 01 ..) before 0x1 (01 00 ..).
    EXPECT_TRUE(VSID(5, {0x7F}) < VSID(5, {0x80}));
    EXPECT_TRUE(VSID(5, {0x100}) < VSID(5, {0x1}));
    EXPECT_FALSE(VSID(5, {0x1}) < VSID(5, {0x100}));
}

TEST(VSIDOrder, ComparingWithoutASidFails) {
    VSID none;
    VSID system = VSID::wellKnown(WellKnownAccount::System);
    for (auto compare : {+[](const VSID&a, const VSID&b) { return a == b; },
                         +[](const VSID&a, const VSID&b) { return a < b; }}) {
        vosexception e = osErrorOf([&] { compare(none, system); });
        EXPECT_TRUE(mentions(e, L" at Invalid sid(s)"));
        e = osErrorOf([&] { compare(system, none); });
        EXPECT_TRUE(mentions(e, L" at Invalid sid(s)"));
        e = osErrorOf([&] { compare(none, none); });
        EXPECT_TRUE(mentions(e, L" at Invalid sid(s)"));
    }
}

class VSIDOnHost : public ::testing::Test {
protected:
    TestSupport::TempHost host;
};

TEST_F(VSIDOnHost, NamesAreLookedUpOnlyWhenAsked) {
    VSID admins = VSID::fromString(L"S-1-5-32-544");
    EXPECT_EQ(admins.type(), SidType::Unknown);
    EXPECT_EQ(admins.storedName(), L"");
    EXPECT_EQ(admins.storedDomain(), L"");
    EXPECT_EQ(admins.name(), L"Administrators");
    EXPECT_EQ(admins.domain(), L"BUILTIN");
    EXPECT_EQ(admins.type(), SidType::Alias);
    EXPECT_EQ(admins.displayName(), L"BUILTIN\\Administrators");
    EXPECT_EQ(VSID::wellKnown(WellKnownAccount::System).displayName(), L"NT AUTHORITY\\SYSTEM");
}

TEST_F(VSIDOnHost, UnmappedSidsShowTheirNumber) {
    VSID ghost = VSID::fromString(L"S-1-5-21-7-8-9-4321");
    EXPECT_EQ(ghost.displayName(), L"S-1-5-21-7-8-9-4321");
    EXPECT_THROW(ghost.name(), RunTime::NoneMappedException);
}

TEST_F(VSIDOnHost, MachineAccountsAreTheAccountDomainPlusTheirRid) {
    Platform::UserModalsInfo2 info;
    ASSERT_EQ(Platform::netUserModalsGet2(L"", info), 0u);
    std::wstring domain = VSID(info.domainId.data()).toString();
    ASSERT_EQ(domain.rfind(L"S-1-5-21-", 0), 0u);

    VSID administrator = VSID::wellKnown(WellKnownAccount::Administrator);
    EXPECT_EQ(administrator.toString(), domain + L"-500");
    EXPECT_EQ(administrator.storedName(), L"");
    EXPECT_EQ(administrator.name(), L"Administrator");
    EXPECT_EQ(administrator.domain(), info.domainName);
    EXPECT_EQ(administrator.type(), SidType::User);
    EXPECT_EQ(VSID::wellKnown(WellKnownAccount::Guest).toString(), domain + L"-501");
    EXPECT_EQ(VSID::getWellKnownUserSIDFromRID(L"", 1234).toString(), domain + L"-1234");
}

}  // namespace
