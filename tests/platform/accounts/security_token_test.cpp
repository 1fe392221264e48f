// The process identity of the emulated host: the SYSTEM token with its privileges, and a local
// user's token under TAVREL_HOST_USER.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "platform/dtyp/sddl.h"
#include "platform/dtyp/sid.h"
#include "platform/filesystem.h"
#include "platform/text.h"
#include "platform/posix/accounts/token.h"
#include "platform/security.h"
#include "platform/types.h"
#include "platform/unique.h"
#include "support/process.h"
#include "support/temp_host.h"

namespace {

using namespace Platform;

Luid privilege(const wchar_t* name) {
    Luid luid;
    EXPECT_TRUE(lookupPrivilegeValue(L"", name, luid)) << getLastError();
    return luid;
}

UniqueHandle processToken(std::uint32_t access) {
    Handle token = nullptr;
    EXPECT_TRUE(openProcessToken(access, &token)) << getLastError();
    return UniqueHandle(token);
}

// Runs the test body as another identity and goes back to SYSTEM afterwards; leaves every
// privilege of this process disabled, as it found them.
class AsUser {
public:
    explicit AsUser(const char* name) { ::setenv("TAVREL_HOST_USER", name, 1); }
    ~AsUser() { ::unsetenv("TAVREL_HOST_USER"); }
};

class TokenTest : public ::testing::Test {
protected:
    TestSupport::TempHost host;

    void TearDown() override {
        UniqueHandle token = processToken(TokenAccess::AdjustPrivileges);
        adjustTokenPrivileges(token.get(), {{privilege(L"SeTakeOwnershipPrivilege"), 0},
                                            {privilege(L"SeBackupPrivilege"), 0},
                                            {privilege(L"SeRestorePrivilege"), 0}});
    }
    static std::wstring sidText(const std::vector<std::uint8_t>& sid) {
        return Dtyp::Sid::fromBytes(sid)->toString();
    }
};

TEST_F(TokenTest, PrivilegeNamesHaveTheirWindowsLuids) {
    const std::pair<const wchar_t*, std::uint32_t> cases[] = {
        {L"SeSecurityPrivilege", 8}, {L"SeTakeOwnershipPrivilege", 9}, {L"sebackupprivilege", 17},
        {L"SeRestorePrivilege", 18}, {L"SeChangeNotifyPrivilege", 23},
    };
    for (const auto& [name, value] : cases) {
        EXPECT_EQ(privilege(name), (Luid{value, 0}));
    }
    Luid luid;
    EXPECT_FALSE(lookupPrivilegeValue(L"", L"SeMadeUpPrivilege", luid));
    EXPECT_EQ(getLastError(), WinError::NoSuchPrivilege);
}

TEST_F(TokenTest, SystemHoldsSecurityPrivilegesDisabledUntilEnabled) {
    UniqueHandle token = processToken(TokenAccess::Query | TokenAccess::AdjustPrivileges);
    std::vector<std::uint8_t> sid;
    ASSERT_TRUE(getTokenUser(token.get(), sid));
    EXPECT_EQ(sidText(sid), L"S-1-5-18");
    ASSERT_TRUE(getTokenOwner(token.get(), sid));
    EXPECT_EQ(sidText(sid), L"S-1-5-32-544");

    std::vector<LuidAndAttributes> held;
    ASSERT_TRUE(getTokenPrivileges(token.get(), held));
    ASSERT_EQ(held.size(), 3u);
    for (const auto& p : held) {
        EXPECT_EQ(p.attributes, 0u) << p.luid.lowPart;
    }

    ASSERT_TRUE(adjustTokenPrivileges(
        token.get(), {{privilege(L"SeTakeOwnershipPrivilege"), SePrivilegeEnabled}}));
    EXPECT_EQ(getLastError(), 0u);
    // Another handle to the same process token sees the change.
    UniqueHandle again = processToken(TokenAccess::Read);
    ASSERT_TRUE(getTokenPrivileges(again.get(), held));
    for (const auto& p : held) {
        EXPECT_EQ(p.attributes, p.luid.lowPart == 9 ? SePrivilegeEnabled : 0u) << p.luid.lowPart;
    }

    // A privilege the token does not hold: the call succeeds and says so.
    ASSERT_TRUE(adjustTokenPrivileges(token.get(),
                                      {{privilege(L"SeSecurityPrivilege"), SePrivilegeEnabled},
                                       {privilege(L"SeBackupPrivilege"), SePrivilegeEnabled}}));
    EXPECT_EQ(getLastError(), WinError::NotAllAssigned);
    ASSERT_TRUE(getTokenPrivileges(token.get(), held));
    EXPECT_EQ(std::count_if(held.begin(), held.end(),
                            [](const auto& p) { return p.attributes == SePrivilegeEnabled; }),
              2);
}

TEST_F(TokenTest, TokenRightsAndThreadTokenAreWindowsLike) {
    UniqueHandle queryOnly = processToken(TokenAccess::Query);
    EXPECT_FALSE(adjustTokenPrivileges(queryOnly.get(), {}));
    EXPECT_EQ(getLastError(), WinError::AccessDenied);
    UniqueHandle adjustOnly = processToken(TokenAccess::AdjustPrivileges);
    std::vector<LuidAndAttributes> held;
    EXPECT_FALSE(getTokenPrivileges(adjustOnly.get(), held));
    EXPECT_EQ(getLastError(), WinError::AccessDenied);

    Handle thread = nullptr;
    EXPECT_FALSE(openThreadToken(TokenAccess::Query, true, &thread));
    EXPECT_EQ(getLastError(), ErrorNoToken);
}

TEST_F(TokenTest, LocalUserRunsWithItsGroupsAndNoPrivileges) {
    ASSERT_EQ(TestSupport::runProgram("tavrel-host", {"account", "add", "exuser"}).exitCode, 0);
    ASSERT_EQ(TestSupport::runProgram("tavrel-host", {"account", "add", "web", "--group"}).exitCode,
              0);
    ASSERT_EQ(TestSupport::runProgram("tavrel-host", {"account", "join", "web", "exuser"}).exitCode,
              0);
    AsUser user("EXUSER");
    UniqueHandle token = processToken(TokenAccess::Query | TokenAccess::AdjustPrivileges);
    std::vector<std::uint8_t> sid;
    ASSERT_TRUE(getTokenUser(token.get(), sid));
    std::wstring userSid = sidText(sid);
    EXPECT_EQ(userSid.substr(userSid.rfind(L'-')), L"-1000");
    ASSERT_TRUE(getTokenOwner(token.get(), sid));
    EXPECT_EQ(sidText(sid), userSid);

    Dtyp::Token checked;
    ASSERT_TRUE(Posix::processToken(checked));
    auto has = [&](const std::wstring& text) { return checked.hasSid(*Dtyp::Sid::parse(text)); };
    EXPECT_TRUE(has(userSid.substr(0, userSid.rfind(L'-')) + L"-1001"));  // web
    EXPECT_TRUE(has(L"S-1-5-32-545"));
    EXPECT_TRUE(has(L"S-1-1-0"));
    EXPECT_TRUE(has(L"S-1-5-11"));
    EXPECT_FALSE(has(L"S-1-5-32-544"));

    std::vector<LuidAndAttributes> held;
    ASSERT_TRUE(getTokenPrivileges(token.get(), held));
    EXPECT_TRUE(held.empty());
    ASSERT_TRUE(adjustTokenPrivileges(
        token.get(), {{privilege(L"SeTakeOwnershipPrivilege"), SePrivilegeEnabled}}));
    EXPECT_EQ(getLastError(), WinError::NotAllAssigned);
}

TEST_F(TokenTest, LocalUsersTokenFollowsTheAccountsFile) {
    auto host = [](const std::vector<std::string>& args) {
        auto result = TestSupport::runProgram("tavrel-host", args);
        EXPECT_EQ(result.exitCode, 0) << result.err;
    };
    host({"account", "add", "exuser"});
    host({"account", "add", "web", "--group"});
    AsUser user("exuser");
    auto inWeb = [] {
        Dtyp::Token token;
        EXPECT_TRUE(Posix::processToken(token));
        return token.groups.size();
    };
    std::size_t before = inWeb();
    // Another process changes the user's groups: the next access check sees them.
    host({"account", "join", "web", "exuser"});
    EXPECT_EQ(inWeb(), before + 1);
    host({"account", "del", "exuser"});
    Dtyp::Token gone;
    EXPECT_FALSE(Posix::processToken(gone));
    EXPECT_EQ(getLastError(), Posix::ErrorNoSuchUser);
}

TEST_F(TokenTest, UnknownUserFailsClearly) {
    AsUser user("nobody");
    Handle token = nullptr;
    EXPECT_FALSE(openProcessToken(TokenAccess::Query, &token));
    EXPECT_EQ(getLastError(), Posix::ErrorNoSuchUser);
    std::vector<std::uint8_t> descriptor;
    EXPECT_EQ(
        getNamedSecurityInfo(L"C:\\Windows", SeFileObject, SecurityInformation::Dacl, descriptor),
        Posix::ErrorNoSuchUser);
    // A group is no identity to run as either.
    AsUser group("Administrators");
    EXPECT_FALSE(openProcessToken(TokenAccess::Query, &token));
    EXPECT_EQ(getLastError(), Posix::ErrorNoSuchUser);
}

}  // namespace

namespace {

// Creating an object needs FILE_ADD_FILE or FILE_ADD_SUBDIRECTORY on its directory.
TEST_F(TokenTest, CreatingNeedsTheRightToAddToTheDirectory) {
    ASSERT_EQ(TestSupport::runProgram("tavrel-host", {"account", "add", "exuser"}).exitCode, 0);
    struct Case {
        const char* dacl;  // of C:\box, for Users
        bool file;
        bool directory;
    };
    const Case cases[] = {
        {"D:P(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)", false, false},  // read and execute
        {"D:P(A;OICI;FA;;;SY)(A;OICI;0x1200ab;;;BU)", true, false},   // and add a file
        {"D:P(A;OICI;FA;;;SY)(A;OICI;0x1200ad;;;BU)", false, true},   // and add a folder
        {"D:P(A;OICI;FA;;;SY)(A;OICI;0x1301bf;;;BU)", true, true},    // modify
    };
    ASSERT_TRUE(createDirectory(L"C:\\box"));
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dacl);
        auto sd = Dtyp::fromSddl(fromUtf8(c.dacl));
        auto dacl = Dtyp::encodeAcl(*sd->dacl);
        ASSERT_EQ(setNamedSecurityInfo(L"C:\\box", SeFileObject,
                                       SecurityInformation::Dacl |
                                           SecurityInformation::ProtectedDacl,
                                       nullptr, nullptr, dacl->data(), nullptr),
                  0u);
        std::wstring name = L"C:\\box\\" + std::to_wstring(++n);
        AsUser user("exuser");
        UniqueHandle file(createFile(name + L".txt", File::GenericWrite, 0, File::CreateNew, 0));
        EXPECT_EQ(static_cast<bool>(file), c.file);
        EXPECT_EQ(file ? 0u : getLastError(), c.file ? 0u : WinError::AccessDenied);
        bool made = createDirectory(name);
        EXPECT_EQ(made, c.directory);
        EXPECT_EQ(made ? 0u : getLastError(), c.directory ? 0u : WinError::AccessDenied);
    }
}

}  // namespace
