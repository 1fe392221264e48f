// The security seam and the portable MS-DTYP code against the real advapi32: the account
// lookups with their buffer protocol, the account domain, the token, the binary SID and
// descriptor layouts as Windows reads and writes them, and (where the file system keeps them)
// DACLs on files.
#include <windows.h>

#include <sddl.h>

#include <gtest/gtest.h>

#include "platform/dtyp/sddl.h"
#include "platform/dtyp/security_descriptor.h"
#include "platform/dtyp/sid.h"
#include "platform/filesystem.h"
#include "platform/security.h"
#include "platform/unique.h"
#include "windows/support/win_support.h"

namespace {
using namespace Platform;

std::vector<std::uint8_t> windowsSid(const wchar_t* text) {
    PSID sid = nullptr;
    if (!::ConvertStringSidToSidW(text, &sid)) {
        return {};
    }
    const auto* bytes = static_cast<const std::uint8_t*>(sid);
    std::vector<std::uint8_t> out(bytes, bytes + ::GetLengthSid(sid));
    ::LocalFree(sid);
    return out;
}

TEST(WinSecurity, SidBytesAreTheOnesWindowsWrites) {
    for (const wchar_t* text : {L"S-1-1-0", L"S-1-5-18", L"S-1-5-32-544", L"S-1-5-80-0",
                                L"S-1-5-21-1004336348-1177238915-682003330-512",
                                L"S-1-16-12288", L"S-1-5-21-4294967295-1-2-3"}) {
        auto parsed = Dtyp::Sid::parse(text);
        ASSERT_TRUE(parsed.ok()) << text;
        EXPECT_EQ(parsed.value().toBytes(), windowsSid(text)) << text;
    }
}

TEST(WinSecurity, DescriptorBytesRoundTripThroughWindows) {
    for (const wchar_t* sddl :
         {L"O:BAG:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200a9;;;BU)",
          L"D:(D;;FW;;;WD)(A;OICIIO;GA;;;CO)(A;ID;FR;;;AU)", L"D:AI(A;CIID;0x1f01ff;;;S-1-5-21-1-2-3-1001)",
          L"O:SYG:BAD:"}) {
        auto ours = Dtyp::fromSddl(sddl);
        ASSERT_TRUE(ours.ok()) << sddl;
        auto bytes = Dtyp::encodeSecurityDescriptor(ours.value());
        ASSERT_TRUE(bytes.ok());
        // Windows reads our bytes and writes the same text back; its own bytes decode to ours.
        LPWSTR text = nullptr;
        ASSERT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorW(
            bytes.value().data(), SDDL_REVISION_1,
            OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
            &text, nullptr));
        auto again = Dtyp::fromSddl(text);
        ::LocalFree(text);
        ASSERT_TRUE(again.ok()) << sddl;
        EXPECT_EQ(Dtyp::toSddl(again.value()), Dtyp::toSddl(ours.value())) << sddl;
        PSECURITY_DESCRIPTOR windows = nullptr;
        ULONG size = 0;
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                                           &windows, &size));
        auto decoded = Dtyp::decodeSecurityDescriptor(
            std::span(static_cast<const std::uint8_t*>(windows), size));
        ::LocalFree(windows);
        ASSERT_TRUE(decoded.ok()) << sddl;
        EXPECT_EQ(Dtyp::toSddl(decoded.value()), Dtyp::toSddl(ours.value())) << sddl;
    }
}

TEST(WinSecurity, NullDaclTextIsANullDacl) {
    SKIP_UNDER_WINE("Wine reads D:NO_ACCESS_CONTROL as an empty DACL");
    PSECURITY_DESCRIPTOR windows = nullptr;
    ULONG size = 0;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:NO_ACCESS_CONTROL", SDDL_REVISION_1, &windows, &size));
    auto decoded = Dtyp::decodeSecurityDescriptor(std::span(static_cast<const std::uint8_t*>(windows), size));
    ::LocalFree(windows);
    ASSERT_TRUE(decoded.ok());
    EXPECT_TRUE(decoded.value().hasNullDacl());
}

TEST(WinSecurity, LookupAccountNameAsksForItsBuffersFirst) {
    std::uint32_t sidSize = 0, domainChars = 0, use = 0;
    EXPECT_FALSE(lookupAccountName(L"", L"SYSTEM", nullptr, &sidSize, nullptr, &domainChars, &use));
    EXPECT_EQ(getLastError(), WinError::InsufficientBuffer);
    ASSERT_GT(sidSize, 0u);
    ASSERT_GT(domainChars, 0u);
    std::vector<std::uint8_t> sid(sidSize);
    std::wstring domain(domainChars, L'\0');
    ASSERT_TRUE(lookupAccountName(L"", L"SYSTEM", sid.data(), &sidSize, domain.data(), &domainChars, &use));
    EXPECT_EQ(sid, windowsSid(L"S-1-5-18"));
    EXPECT_EQ(use, SidType::WellKnownGroup);

    sidSize = 0;
    domainChars = 0;
    EXPECT_FALSE(lookupAccountName(L"", L"no-such-account-tavrel", nullptr, &sidSize, nullptr,
                                   &domainChars, &use));
    EXPECT_EQ(getLastError(), WinError::NoneMapped);
}

TEST(WinSecurity, LookupAccountSidNamesBuiltinAdministrators) {
    std::vector<std::uint8_t> sid = windowsSid(L"S-1-5-32-544");
    wchar_t name[64] = {}, domain[64] = {};
    std::uint32_t nameChars = 64, domainChars = 64, use = 0;
    ASSERT_TRUE(lookupAccountSid(L"", sid.data(), name, &nameChars, domain, &domainChars, &use));
    EXPECT_EQ(std::wstring(name), L"Administrators");
    EXPECT_EQ(std::wstring(domain), L"BUILTIN");
    EXPECT_EQ(use, SidType::Alias);
}

TEST(WinSecurity, AccountDomainIsAMachineDomainSid) {
    UserModalsInfo2 info;
    ASSERT_EQ(netUserModalsGet2(L"", info), 0u);
    EXPECT_FALSE(info.domainName.empty());
    auto sid = Dtyp::Sid::fromBytes(info.domainId);
    ASSERT_TRUE(sid.ok());
    EXPECT_EQ(sid.value().toString().rfind(L"S-1-5-21-", 0), 0u) << sid.value().toString();
    EXPECT_EQ(sid.value().subAuthorityCount(), 4u);
}

// The local groups of this process's user, through NetUserGetLocalGroups: names the lookups
// resolve.
TEST(WinSecurity, LocalGroupsOfTheProcessUser) {
    Handle raw = nullptr;
    ASSERT_TRUE(openProcessToken(TokenAccess::Query, &raw));
    UniqueHandle token(raw);
    std::vector<std::uint8_t> user;
    ASSERT_TRUE(getTokenUser(token.get(), user));
    wchar_t name[256] = {}, domain[256] = {};
    std::uint32_t nameChars = 256, domainChars = 256, use = 0;
    ASSERT_TRUE(lookupAccountSid(L"", user.data(), name, &nameChars, domain, &domainChars, &use));
    std::vector<std::wstring> groups{L"left over"};
    ASSERT_EQ(netUserGetLocalGroups(L"", name, LgIncludeIndirect, groups), 0u);
    for (const std::wstring& group : groups) {
        std::uint8_t sid[68];
        std::uint32_t sidSize = sizeof(sid);
        domainChars = 256;
        EXPECT_NE(group, L"left over");
        EXPECT_TRUE(lookupAccountName(L"", group, sid, &sidSize, domain, &domainChars, &use))
            << std::string(group.begin(), group.end());
    }
}

TEST(WinSecurity, LocalGroupsOfANameThatIsNoUserAreRefused) {
    SKIP_UNDER_WINE("Wine's NetUserGetLocalGroups answers for any name");
    std::vector<std::wstring> groups;
    EXPECT_EQ(netUserGetLocalGroups(L"", L"no-such-user-tavrel", 0, groups),
              WinError::UserNotFound);
    EXPECT_EQ(netUserGetLocalGroups(L"", L"Administrators", 0, groups), WinError::UserNotFound);
}

TEST(WinSecurity, TokenNamesItsUserAndTakesPrivileges) {
    Handle raw = nullptr;
    ASSERT_TRUE(openProcessToken(TokenAccess::Query | TokenAccess::AdjustPrivileges, &raw));
    UniqueHandle token(raw);
    std::vector<std::uint8_t> user, owner;
    ASSERT_TRUE(getTokenUser(token.get(), user));
    ASSERT_TRUE(getTokenOwner(token.get(), owner));
    EXPECT_TRUE(Dtyp::Sid::fromBytes(user).ok());
    EXPECT_TRUE(Dtyp::Sid::fromBytes(owner).ok());

    Luid backup;
    ASSERT_TRUE(lookupPrivilegeValue(L"", L"SeBackupPrivilege", backup));
    Luid none;
    EXPECT_FALSE(lookupPrivilegeValue(L"", L"SeNoSuchPrivilege", none));
    EXPECT_EQ(getLastError(), WinError::NoSuchPrivilege);

    ASSERT_TRUE(adjustTokenPrivileges(token.get(), {{backup, SePrivilegeEnabled}}));
    std::vector<LuidAndAttributes> held;
    ASSERT_TRUE(getTokenPrivileges(token.get(), held));
    bool enabled = false;
    for (const auto& p : held) {
        enabled = enabled || (p.luid == backup && (p.attributes & SePrivilegeEnabled));
    }
    EXPECT_TRUE(enabled);
}

Dtyp::SecurityDescriptor readDacl(const std::wstring& path) {
    std::vector<std::uint8_t> bytes;
    EXPECT_EQ(getNamedSecurityInfo(path, SeFileObject, SecurityInformation::Dacl, bytes), 0u);
    auto sd = Dtyp::decodeSecurityDescriptor(bytes);
    EXPECT_TRUE(sd.ok());
    return sd.ok() ? sd.value() : Dtyp::SecurityDescriptor{};
}

TEST(WinSecurity, ProtectedDaclIsKeptAndInheritedBelow) {
    SKIP_WITHOUT_DACLS();
    TestSupport::ScratchDir scratch;
    const std::wstring dir = scratch / L"protected";
    ASSERT_TRUE(createDirectory(dir));
    auto wanted = Dtyp::fromSddl(L"D:P(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)");
    auto dacl = Dtyp::encodeAcl(*wanted.value().dacl);
    ASSERT_EQ(setNamedSecurityInfo(dir, SeFileObject,
                                   SecurityInformation::Dacl | SecurityInformation::ProtectedDacl,
                                   nullptr, nullptr, dacl.value().data(), nullptr),
              0u);
    EXPECT_EQ(Dtyp::toSddl(readDacl(dir)), L"D:P(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)");

    TestSupport::writeBytes(dir + L"\\child.txt", "x");
    EXPECT_EQ(Dtyp::toSddl(readDacl(dir + L"\\child.txt")), L"D:AI(A;ID;FA;;;SY)(A;ID;0x1200a9;;;BU)");
}

TEST(WinSecurity, DaclByHandleMatchesDaclByName) {
    SKIP_WITHOUT_DACLS();
    TestSupport::ScratchDir scratch;
    UniqueHandle dir(createFile(scratch.path(), File::ReadControl, File::ShareRead | File::ShareWrite,
                                File::OpenExisting, File::FlagBackupSemantics));
    ASSERT_TRUE(dir);
    std::vector<std::uint8_t> byHandle;
    ASSERT_EQ(getSecurityInfo(dir.get(), SeFileObject, SecurityInformation::Dacl, byHandle), 0u);
    EXPECT_EQ(Dtyp::decodeSecurityDescriptor(byHandle).value(), readDacl(scratch.path()));
}

}  // namespace
