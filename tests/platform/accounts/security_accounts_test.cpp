// Accounts of the emulated host: `tavrel-host account`, LookupAccountNameW /
// LookupAccountSidW semantics over the accounts file, NetUserModalsGet level 2 and
// NetUserGetLocalGroups.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/account_lookup.h"
#include "platform/dtyp/sid.h"
#include "platform/registry.h"
#include "platform/security.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/types.h"
#include "support/process.h"
#include "support/temp_host.h"

namespace {

using namespace Platform;

struct Lookup {
    bool ok = false;
    std::uint32_t error = 0;
    std::wstring sid;
    std::wstring domain;
    std::wstring name;
    std::uint32_t use = 0;
};

Lookup byName(const std::wstring& account) {
    std::uint8_t sid[68];
    wchar_t domain[256];
    std::uint32_t sidSize = sizeof(sid);
    std::uint32_t domainChars = 256;
    Lookup result;
    result.ok = lookupAccountName(L"", account, sid, &sidSize, domain, &domainChars, &result.use);
    result.error = getLastError();
    if (result.ok) {
        result.sid = Dtyp::Sid::fromBytes({sid, sidSize})->toString();
        result.domain = domain;
    }
    return result;
}

Lookup bySid(const std::wstring& text) {
    std::vector<std::uint8_t> sid = Dtyp::Sid::parse(text)->toBytes();
    wchar_t name[256];
    wchar_t domain[256];
    std::uint32_t nameChars = 256;
    std::uint32_t domainChars = 256;
    Lookup result;
    result.ok =
        lookupAccountSid(L"", sid.data(), name, &nameChars, domain, &domainChars, &result.use);
    result.error = getLastError();
    if (result.ok) {
        result.name = name;
        result.domain = domain;
    }
    return result;
}

// An account asked for by name or by SID, and what the lookup answers: the other of the two, the
// domain and the use.
struct ResolveCase {
    std::wstring asked;
    std::wstring answer;
    std::wstring domain;
    std::uint32_t use;
};

// Runs `lookup` over the cases; `answer` is the part of its result each case expects.
void expectResolved(const std::vector<ResolveCase>& cases, Lookup (*lookup)(const std::wstring&),
                    std::wstring Lookup::*answer) {
    for (const auto& c : cases) {
        SCOPED_TRACE(toUtf8(c.asked));
        Lookup r = lookup(c.asked);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.*answer, c.answer);
        EXPECT_EQ(r.domain, c.domain);
        EXPECT_EQ(r.use, c.use);
    }
}

void expectNoneMapped(const std::vector<std::wstring>& asked,
                      Lookup (*lookup)(const std::wstring&)) {
    for (const std::wstring& text : asked) {
        Lookup r = lookup(text);
        EXPECT_FALSE(r.ok) << toUtf8(text);
        EXPECT_EQ(r.error, WinError::NoneMapped) << toUtf8(text);
    }
}

class AccountsTest : public ::testing::Test {
protected:
    TestSupport::TempHost host;
    std::wstring machine;
    std::wstring domainSid;

    void SetUp() override {
        UserModalsInfo2 info;
        ASSERT_EQ(netUserModalsGet2(L"", info), 0u);
        machine = info.domainName;
        domainSid = Dtyp::Sid::fromBytes(info.domainId)->toString();
    }

    static TestSupport::ProcessResult account(const std::vector<std::string>& args) {
        std::vector<std::string> all{"account"};
        all.insert(all.end(), args.begin(), args.end());
        return TestSupport::runProgram("tavrel-host", all);
    }
    std::string sidOf(std::uint32_t rid) const {
        return toUtf8(domainSid) + "-" + std::to_string(rid);
    }
};

TEST_F(AccountsTest, AddHandsOutRidsFrom1000AndNeverReusesThem) {
    EXPECT_EQ(account({"add", "exuser"}).out, sidOf(1000) + "\n");
    EXPECT_EQ(account({"add", "webusers", "--group"}).out, sidOf(1001) + "\n");
    EXPECT_EQ(account({"del", "webusers"}).exitCode, 0);
    // A SID left in an ACL by the deleted group must not come to name a new account.
    EXPECT_EQ(account({"add", "other"}).out, sidOf(1002) + "\n");

    auto list = account({"list"});
    EXPECT_EQ(list.out, "Administrator\t" + sidOf(500) + "\tUser\n" + "Guest\t" + sidOf(501) +
                            "\tUser\n" + "exuser\t" + sidOf(1000) + "\tUser\n" + "other\t" +
                            sidOf(1002) + "\tUser\n");
}

TEST_F(AccountsTest, RidsNeverWrapAndTheFileStaysReadable) {
    const std::string original = host.read("accounts");
    const struct {
        const char* extra;     // lines added to the accounts file
        const char* firstAdd;  // the SID's RID of the first add, or "" when it must fail
    } cases[] = {
        {"next-rid 4294967294\n", "4294967294"},
        {"next-rid 4294967295\n", ""},
        {"user last = 4294967295\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.extra);
        TestSupport::writeFile(host.dir() / "accounts", original + c.extra);
        auto first = account({"add", "first"});
        if (*c.firstAdd) {
            EXPECT_EQ(first.out, sidOf(std::stoul(c.firstAdd)) + "\n") << first.err;
        } else {
            EXPECT_EQ(first.exitCode, 1);
        }
        auto second = account({"add", "second"});
        EXPECT_EQ(second.exitCode, 1);
        EXPECT_NE(second.err.find("every RID of the account domain is taken"), std::string::npos)
            << second.err;
        // Whatever was written reads back.
        EXPECT_EQ(account({"list"}).exitCode, 0);
    }
}

TEST_F(AccountsTest, AFileSavedWithAByteOrderMarkIsRead) {
    ASSERT_EQ(account({"add", "marked"}).exitCode, 0);
    TestSupport::writeFile(host.dir() / "accounts", "\xEF\xBB\xBF" + host.read("accounts"));
    auto list = account({"list"});
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_NE(list.out.find("marked\t"), std::string::npos);
    EXPECT_EQ(account({"add", "after"}).exitCode, 0);
    EXPECT_NE(account({"list"}).out.find("after\t"), std::string::npos);
}

TEST_F(AccountsTest, AccountCommandRefusesBadRequestsClearly) {
    ASSERT_EQ(account({"add", "exuser"}).exitCode, 0);
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"add", "EXUSER"}, "taken by"},
        {{"add", "Administrators"}, "taken by BUILTIN\\Administrators"},
        {{"add", "SYSTEM"}, "taken by NT AUTHORITY\\SYSTEM"},
        {{"add", "bad:name"}, "not a valid name"},
        {{"add", "averyveryverylongusername"}, "1 to 20 characters"},
        {{"del", "nobody"}, "no account named 'nobody'"},
        {{"del", "Administrator"}, "built-in account"},
        {{"del", "Users"}, "built-in account"},
        {{"join", "exuser", "Guest"}, "not a local group"},
        {{"join", "Administrators", "nobody"}, "no account named"},
        {{"frobnicate"}, "usage:"},
    };
    for (const auto& c : cases) {
        auto r = account(c.args);
        EXPECT_EQ(r.exitCode, 1) << c.args[0];
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args[0] << ": " << r.err;
    }
    ASSERT_EQ(account({"join", "Administrators", "exuser"}).exitCode, 0);
    EXPECT_NE(account({"join", "administrators", "EXUSER"}).err.find("already"), std::string::npos);
}

TEST_F(AccountsTest, NamesResolveLikeLookupAccountName) {
    ASSERT_EQ(account({"add", "exuser"}).exitCode, 0);
    ASSERT_EQ(account({"add", "webusers", "--group"}).exitCode, 0);
    expectResolved(
        {
            {L"SYSTEM", L"S-1-5-18", L"NT AUTHORITY", SidType::WellKnownGroup},
            {L"nt authority\\system", L"S-1-5-18", L"NT AUTHORITY", SidType::WellKnownGroup},
            {L"Everyone", L"S-1-1-0", L"", SidType::WellKnownGroup},
            {L"creator owner", L"S-1-3-0", L"", SidType::WellKnownGroup},
            {L"Authenticated Users", L"S-1-5-11", L"NT AUTHORITY", SidType::WellKnownGroup},
            {L"administrators", L"S-1-5-32-544", L"BUILTIN", SidType::Alias},
            {L"BUILTIN\\Users", L"S-1-5-32-545", L"BUILTIN", SidType::Alias},
            {L"BUILTIN", L"S-1-5-32", L"BUILTIN", SidType::Domain},
            {L"EXUSER", domainSid + L"-1000", machine, SidType::User},
            {toLower(machine) + L"\\exuser", domainSid + L"-1000", machine, SidType::User},
            {L"WebUsers", domainSid + L"-1001", machine, SidType::Alias},
            {L"administrator", domainSid + L"-500", machine, SidType::User},
            {machine, domainSid, machine, SidType::Domain},
        },
        byName, &Lookup::sid);
    expectNoneMapped({L"nobody", L"BUILTIN\\exuser", L"NT AUTHORITY\\Administrators",
                      L"OTHER\\exuser", machine + L"\\SYSTEM", L""},
                     byName);
}

TEST_F(AccountsTest, SidsResolveLikeLookupAccountSid) {
    ASSERT_EQ(account({"add", "exuser"}).exitCode, 0);
    expectResolved(
        {
            {L"S-1-5-18", L"SYSTEM", L"NT AUTHORITY", SidType::WellKnownGroup},
            {L"S-1-1-0", L"Everyone", L"", SidType::WellKnownGroup},
            {L"S-1-3-0", L"CREATOR OWNER", L"", SidType::WellKnownGroup},
            {L"S-1-5-32-544", L"Administrators", L"BUILTIN", SidType::Alias},
            {domainSid + L"-1000", L"exuser", machine, SidType::User},
            {domainSid + L"-501", L"Guest", machine, SidType::User},
            {domainSid, machine, machine, SidType::Domain},
        },
        bySid, &Lookup::name);
    expectNoneMapped({domainSid + L"-1001", L"S-1-5-21-1-2-3-1000", L"S-1-5-32-999"}, bySid);
}

TEST_F(AccountsTest, LookupsFollowTheWin32BufferProtocol) {
    // LookupAccountName: too small (or no) buffers give both sizes, NUL included for the domain.
    std::uint32_t sidSize = 0;
    std::uint32_t domainChars = 0;
    std::uint32_t use = 0;
    EXPECT_FALSE(lookupAccountName(L"", L"SYSTEM", nullptr, &sidSize, nullptr, &domainChars, &use));
    EXPECT_EQ(getLastError(), WinError::InsufficientBuffer);
    EXPECT_EQ(sidSize, 12u);
    EXPECT_EQ(domainChars, 13u);  // "NT AUTHORITY" and its NUL
    std::vector<std::uint8_t> sid(sidSize);
    std::wstring domain(domainChars, L'?');
    domainChars = 12;  // one short: the NUL does not fit
    EXPECT_FALSE(
        lookupAccountName(L"", L"SYSTEM", sid.data(), &sidSize, domain.data(), &domainChars, &use));
    EXPECT_EQ(getLastError(), WinError::InsufficientBuffer);
    EXPECT_EQ(domainChars, 13u);
    ASSERT_TRUE(
        lookupAccountName(L"", L"SYSTEM", sid.data(), &sidSize, domain.data(), &domainChars, &use));
    EXPECT_EQ(domainChars, 12u);  // on success: the length without the NUL
    EXPECT_EQ(std::wstring(domain.c_str()), L"NT AUTHORITY");
    EXPECT_EQ(Dtyp::Sid::fromBytes(sid)->toString(), L"S-1-5-18");

    // LookupAccountSid: both sizes when either buffer is short.
    std::vector<std::uint8_t> everyone = Dtyp::WellKnownSid::everyone().toBytes();
    wchar_t name[4];
    wchar_t emptyDomain[1];
    std::uint32_t nameChars = 4;
    domainChars = 1;
    EXPECT_FALSE(
        lookupAccountSid(L"", everyone.data(), name, &nameChars, emptyDomain, &domainChars, &use));
    EXPECT_EQ(getLastError(), WinError::InsufficientBuffer);
    EXPECT_EQ(nameChars, 9u);  // "Everyone" and its NUL
    EXPECT_EQ(domainChars, 1u);
    EXPECT_FALSE(lookupAccountName(L"\\\\ELSEWHERE", L"SYSTEM", sid.data(), &sidSize, domain.data(),
                                   &domainChars, &use));
    EXPECT_EQ(getLastError(), 1722u);
}

TEST_F(AccountsTest, TheTwoCallLookupsAskAgainOnlyForAShortBuffer) {
    // A name longer than the first guess of the buffers costs the SID lookup a second call; the
    // name lookup's first buffers hold any SID and domain.
    std::string longName(40, 'g');
    ASSERT_EQ(account({"add", longName, "--group"}).exitCode, 0);
    std::wstring wideName = fromUtf8(longName);
    AccountLookup byName;
    ASSERT_TRUE(lookupAccountName(L"", wideName, byName));
    EXPECT_FALSE(byName.askedAgain);
    EXPECT_EQ(byName.domain, machine);
    AccountLookup bySid;
    ASSERT_TRUE(lookupAccountSid(L"", byName.sid.data(), bySid));
    EXPECT_TRUE(bySid.askedAgain);
    EXPECT_EQ(bySid.name, wideName);
    EXPECT_EQ(bySid.use, SidType::Alias);
    AccountLookup unknown;
    EXPECT_FALSE(lookupAccountName(L"", L"no-such-account", unknown));
    EXPECT_EQ(getLastError(), WinError::NoneMapped);
    EXPECT_FALSE(unknown.askedAgain);
}

TEST_F(AccountsTest, ChangesByAnotherProcessAreSeenByTheNextLookup) {
    ASSERT_EQ(account({"add", "exuser"}).exitCode, 0);
    ASSERT_TRUE(byName(L"exuser").ok);
    ASSERT_TRUE(bySid(domainSid + L"-1000").ok);
    ASSERT_EQ(account({"del", "exuser"}).exitCode, 0);
    EXPECT_EQ(byName(L"exuser").error, WinError::NoneMapped);
    EXPECT_EQ(bySid(domainSid + L"-1000").error, WinError::NoneMapped);
}

TEST_F(AccountsTest, HandEditedFileIsReadAndABrokenOneIsReported) {
    std::string text = host.read("accounts");
    TestSupport::writeFile(host.dir() / "accounts",
                           text +
                               "# added by hand\ngroup  Site Owners =  1200 \nuser bob 1201\n"
                               "member Site Owners = bob\n");
    Lookup group = byName(L"site owners");
    ASSERT_TRUE(group.ok);
    EXPECT_EQ(group.sid, domainSid + L"-1200");
    EXPECT_EQ(byName(L"BOB").sid, domainSid + L"-1201");
    EXPECT_EQ(account({"add", "carol"}).out, sidOf(1202) + "\n");

    TestSupport::writeFile(host.dir() / "accounts", text + "usr typo = 1300\n");
    auto r = account({"list"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("line 7: unknown entry 'usr'"), std::string::npos) << r.err;
    EXPECT_EQ(byName(L"Administrator").error, WinError::InvalidData);
    // The well-known accounts do not depend on the file.
    EXPECT_TRUE(bySid(L"S-1-5-32-544").ok);
    UserModalsInfo2 info;
    EXPECT_EQ(netUserModalsGet2(L"", info), WinError::InvalidData);
}

TEST_F(AccountsTest, TheHostsWordsForAFailureGoWithItAlone) {
    std::filesystem::remove(host.dir() / "accounts");
    EXPECT_EQ(byName(L"Administrator").error, WinError::FileNotFound);
    EXPECT_NE(toUtf8(getLastErrorDetail()).find("accounts is missing"), std::string::npos);
    // A later failure of the same code, elsewhere, is not explained by them.
    RegKey key = nullptr;
    EXPECT_EQ(regOpenKeyEx(hkeyLocalMachine(), L"SOFTWARE\\NoSuchKey", 0, Reg::KeyRead, &key),
              WinError::FileNotFound);
    EXPECT_EQ(getLastErrorDetail(), L"");
    EXPECT_FALSE(std::filesystem::exists(host.dir() / "accounts"));
}

TEST_F(AccountsTest, AccountDomainIsTheMachine) {
    UserModalsInfo2 info;
    ASSERT_EQ(netUserModalsGet2(L"\\\\" + machine, info), 0u);
    EXPECT_EQ(info.domainName, machine);
    EXPECT_EQ(Dtyp::Sid::fromBytes(info.domainId)->toString().rfind(L"S-1-5-21-", 0), 0u);
    EXPECT_EQ(netUserModalsGet2(L"\\\\ELSEWHERE", info), WinError::BadNetpath);
}

// Users for every local user and the groups of its member lines (local groups hold no
// groups, so LG_INCLUDE_INDIRECT adds nothing here); a group or unknown name is no user.
TEST_F(AccountsTest, LocalGroupsOfAUser) {
    const std::vector<std::vector<std::string>> setup = {{"add", "exuser"},
                                                         {"add", "web", "--group"},
                                                         {"add", "lonely", "--group"},
                                                         {"join", "web", "exuser"}};
    for (const auto& args : setup) {
        ASSERT_EQ(account(args).exitCode, 0);
    }
    struct Case {
        std::wstring user;
        std::uint32_t flags;
        std::uint32_t status;
        std::vector<std::wstring> groups;
    };
    const std::vector<Case> cases = {
        {L"exuser", 0, 0, {L"Users", L"web"}},
        {L"exuser", LgIncludeIndirect, 0, {L"Users", L"web"}},
        {L"EXUSER", LgIncludeIndirect, 0, {L"Users", L"web"}},
        {machine + L"\\exuser", 0, 0, {L"Users", L"web"}},
        {L"Administrator", 0, 0, {L"Users", L"Administrators"}},
        {L"web", 0, WinError::UserNotFound, {}},
        {L"Everyone", 0, WinError::UserNotFound, {}},
        {L"nobody", 0, WinError::UserNotFound, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(toUtf8(c.user) + " flags " + std::to_string(c.flags));
        std::vector<std::wstring> groups{L"left over"};
        ASSERT_EQ(netUserGetLocalGroups(L"", c.user, c.flags, groups), c.status);
        if (c.status == 0) {
            std::vector<std::wstring> expected = c.groups;
            std::sort(groups.begin(), groups.end());
            std::sort(expected.begin(), expected.end());
            EXPECT_EQ(groups, expected);
        }
    }
    std::vector<std::wstring> groups;
    EXPECT_EQ(netUserGetLocalGroups(L"\\\\ELSEWHERE", L"exuser", 0, groups), WinError::BadNetpath);
}

}  // namespace
