// The access check: DACL order, the owner's implicit rights, NULL and empty DACLs, and the
// privileges that count only when enabled.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/dtyp/access_check.h"
#include "platform/dtyp/sddl.h"
#include "platform/text.h"

namespace {

using namespace Platform::Dtyp;
namespace A = Platform::Dtyp::Access;

const Sid domain(5, {21, 1, 2, 3});

// alice (RID 1001) and bob (1002) are members of Users (BU).
Token user(std::uint32_t rid, std::vector<HeldPrivilege> privileges = {}) {
    return Token{
        domain.withRid(rid).value(), {Sid(5, {32, 545}), Sid(1, {0})}, std::move(privileges)};
}
const Token alice = user(1001);
const Token bob = user(1002);

Token system(bool takeOwnership, bool backup, bool restore) {
    return Token{Sid(5, {18}),
                 {Sid(5, {32, 544})},
                 {{Privilege::TakeOwnership, takeOwnership},
                  {L"sebackupprivilege", backup},
                  {Privilege::Restore, restore}}};
}

SecurityDescriptor sd(const std::wstring& sddl) {
    Result<SecurityDescriptor> result = fromSddl(sddl, &domain);
    EXPECT_TRUE(result) << Platform::toUtf8(sddl) << ": " << Platform::toUtf8(result.message());
    return result ? *result : SecurityDescriptor{};
}

TEST(DtypAccessCheck, DaclTable) {
    struct Case {
        const wchar_t* sddl;
        const Token& token;
        std::uint32_t desired;
        std::uint32_t missing;
    };
    const std::wstring aliceSid = L"S-1-5-21-1-2-3-1001";
    // Denies the data and attribute writes, not the READ_CONTROL and SYNCHRONIZE that FW includes.
    const std::wstring denyAliceWrite = L"O:BAD:(D;;0x116;;;" + aliceSid + L")(A;;FA;;;BU)";
    const std::wstring denyAliceFw = L"O:BAD:(D;;FW;;;" + aliceSid + L")(A;;FA;;;BU)";
    const std::wstring allowBeforeDeny = L"O:BAD:(A;;FA;;;BU)(D;;FA;;;" + aliceSid + L")";
    const std::wstring aliceOwnsEmpty = L"O:" + aliceSid + L"D:";
    const std::wstring aliceOwnsDenied = L"O:" + aliceSid + L"D:(D;;FA;;;" + aliceSid + L")";
    const std::wstring ownerRights = L"O:" + aliceSid + L"D:(A;;FR;;;OW)";
    const std::vector<Case> table = {
        // Deny before allow, as they come in order.
        {denyAliceWrite.c_str(), alice, A::FileGenericRead, 0},
        {denyAliceWrite.c_str(), alice, A::FileWriteData, A::FileWriteData},
        {denyAliceWrite.c_str(), bob, A::FileAllAccess, 0},
        {allowBeforeDeny.c_str(), alice, A::FileAllAccess, 0},
        // FW holds READ_CONTROL and SYNCHRONIZE too: denying it denies them to every reader.
        {denyAliceFw.c_str(), alice, A::FileGenericRead, A::ReadControl | A::Synchronize},
        // The owner may always read and rewrite the DACL, deny ACEs notwithstanding.
        {aliceOwnsEmpty.c_str(), alice, A::ReadControl | A::WriteDac, 0},
        {aliceOwnsEmpty.c_str(), alice, A::FileReadData, A::FileReadData},
        {aliceOwnsEmpty.c_str(), bob, A::ReadControl, A::ReadControl},
        {aliceOwnsDenied.c_str(), alice, A::WriteDac, 0},
        {aliceOwnsDenied.c_str(), alice, A::WriteOwner, A::WriteOwner},
        // OWNER RIGHTS ACEs replace the implicit rights.
        {ownerRights.c_str(), alice, A::FileGenericRead, 0},
        {ownerRights.c_str(), alice, A::WriteDac, A::WriteDac},
        // NULL or missing DACL: everything; empty DACL: nothing.
        {L"O:BAD:NO_ACCESS_CONTROL", bob, A::FileAllAccess | A::WriteOwner, 0},
        {L"O:BA", bob, A::GenericAll, 0},
        {L"O:BAD:", bob, A::GenericRead, A::FileGenericRead},
        // Inherit-only ACEs do not apply to the object itself.
        {L"O:BAD:(A;OICIIO;FA;;;BU)", alice, A::FileReadData, A::FileReadData},
        // Generic rights map with the file mapping, in the request and in the ACEs.
        {L"O:BAD:(A;;GR;;;BU)", alice, A::FileReadData | A::Synchronize, 0},
        {L"O:BAD:(A;;FR;;;BU)", alice, A::GenericRead, 0},
        {L"O:BAD:(A;;FR;;;BU)", alice, A::GenericWrite, A::FileGenericWrite & ~A::FileGenericRead},
        // Rights add up across ACEs.
        {L"O:BAD:(A;;FR;;;BU)(A;;FW;;;WD)", alice, A::FileGenericRead | A::FileGenericWrite, 0},
    };
    for (const Case& c : table) {
        AccessResult result = accessCheck(sd(c.sddl), c.token, c.desired);
        EXPECT_EQ(result.missing, c.missing)
            << Platform::toUtf8(c.sddl) << " desired 0x" << std::hex << c.desired;
        EXPECT_EQ(result.allowed(), c.missing == 0);
    }
}

TEST(DtypAccessCheck, PrivilegesCountOnlyWhenEnabled) {
    SecurityDescriptor locked = sd(L"O:BUD:");
    EXPECT_FALSE(accessCheck(locked, system(false, false, false), A::WriteOwner).allowed());
    EXPECT_TRUE(accessCheck(locked, system(true, false, false), A::WriteOwner).allowed());

    const std::uint32_t read = A::ReadControl | A::FileGenericRead;
    EXPECT_FALSE(accessCheck(locked, system(false, true, false), read, false).allowed());
    EXPECT_TRUE(accessCheck(locked, system(false, true, false), read, true).allowed());
    EXPECT_FALSE(accessCheck(locked, system(false, false, false), read, true).allowed());
    EXPECT_FALSE(accessCheck(locked, system(false, true, false), A::WriteDac, true).allowed());

    EXPECT_TRUE(accessCheck(locked, system(false, false, true), A::WriteDac | A::WriteOwner, true)
                    .allowed());
    EXPECT_FALSE(accessCheck(locked, system(false, false, true), A::WriteDac, false).allowed());

    // ACCESS_SYSTEM_SECURITY comes from a privilege even where the DACL grants everything.
    SecurityDescriptor open = sd(L"O:BUD:NO_ACCESS_CONTROL");
    EXPECT_FALSE(accessCheck(open, bob, A::AccessSystemSecurity).allowed());
    Token auditor = user(1003, {{Privilege::Security, true}});
    EXPECT_TRUE(accessCheck(open, auditor, A::AccessSystemSecurity).allowed());
}

TEST(DtypAccessCheck, MaximumAllowed) {
    const std::wstring aliceSid = L"S-1-5-21-1-2-3-1001";
    SecurityDescriptor d = sd(L"O:BAD:(D;;FW;;;" + aliceSid + L")(A;;FA;;;BU)");
    AccessResult result = accessCheck(d, alice, A::MaximumAllowed);
    EXPECT_TRUE(result.allowed());
    // FILE_ALL_ACCESS without what FW denied (SYNCHRONIZE and READ_CONTROL included in FW).
    EXPECT_EQ(result.granted, A::FileAllAccess & ~A::FileGenericWrite);
    EXPECT_FALSE(accessCheck(sd(L"O:BAD:"), alice, A::MaximumAllowed).allowed());
}

}  // namespace
