// SDDL: every accepted input is written back in the one form Windows writes, and bad input is
// refused with the Windows error code and a description of where.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/dtyp/sddl.h"
#include "platform/text.h"
#include "support/corpus.h"

namespace {

using namespace Platform::Dtyp;
namespace E = Platform::WinError;

const Sid accountDomain(5, {21, 1, 2, 3});

std::string u8(const std::wstring& text) {
    return Platform::toUtf8(text);
}

TEST(DtypSddl, InputGivesCanonicalOutput) {
    TestSupport::forEachCase("sddl_canonical", [](const auto& input, const auto& expected) {
        Result<SecurityDescriptor> sd = fromSddl(input);
        ASSERT_TRUE(sd) << u8(sd.message());
        EXPECT_EQ(toSddl(*sd), expected);
        // Through the binary form and back nothing changes.
        Result<SecurityDescriptor> back =
            decodeSecurityDescriptor(encodeSecurityDescriptor(*sd).value());
        ASSERT_TRUE(back);
        EXPECT_EQ(toSddl(*back), expected);
    });
}

TEST(DtypSddl, DomainAliasesResolveAgainstTheAccountDomain) {
    TestSupport::forEachCase("sddl_account_domain", [](const auto& input, const auto& expected) {
        Result<SecurityDescriptor> sd = fromSddl(input, &accountDomain);
        ASSERT_TRUE(sd) << u8(sd.message());
        EXPECT_EQ(toSddl(*sd, &accountDomain), expected);
    });
    EXPECT_EQ(fromSddl(L"O:LA", &accountDomain)->owner, Sid(5, {21, 1, 2, 3, 500}));
    // Without a domain they are written in full and cannot be read.
    EXPECT_EQ(toSddl(*fromSddl(L"O:LA", &accountDomain)), L"O:S-1-5-21-1-2-3-500");
    EXPECT_EQ(fromSddl(L"O:LA").error(), E::InvalidSid);
}

TEST(DtypSddl, SidStringsAcceptedAsConvertStringSidToSidDoes) {
    EXPECT_EQ(sidFromSddl(L"wD").value(), Sid(1, {0}));
    EXPECT_EQ(sidFromSddl(L"S-1-5-18").value(), Sid(5, {18}));
    EXPECT_EQ(sidFromSddl(L"DU", &accountDomain).value().toString(), L"S-1-5-21-1-2-3-513");
    for (const wchar_t* bad : {L"ZZ", L"WDX", L"W", L"", L"S-1-5"}) {
        EXPECT_EQ(sidFromSddl(bad).error(), E::InvalidSid) << u8(bad);
    }
}

TEST(DtypSddl, BadInputIsRefusedWithTheWindowsCode) {
    // input -> error code
    const std::vector<std::pair<std::wstring, std::uint32_t>> table = {
        {L"X:BA", E::InvalidParameter},
        {L"O", E::InvalidParameter},
        {L"OBA", E::InvalidParameter},
        {L"O:BAO:SY", E::InvalidParameter},
        {L"O:", E::InvalidSid},
        {L"O:ZZ", E::InvalidSid},
        {L"O:S-1-5", E::InvalidSid},
        {L"D:(A;;FA;;;S-1-5-x)", E::InvalidSid},
        {L"D:(A;;FA;;;BA", E::InvalidAcl},
        {L"D:A;;FA;;;BA)", E::InvalidAcl},
        {L"D:(Q;;FA;;;BA)", E::InvalidAcl},
        {L"D:(A;XX;FA;;;BA)", E::InvalidAcl},
        {L"D:(A;O;FA;;;BA)", E::InvalidAcl},
        {L"D:(A;;QQ;;;BA)", E::InvalidAcl},
        {L"D:(A;;0x100000000;;;BA)", E::InvalidAcl},
        {L"D:(A;;0xZ;;;BA)", E::InvalidAcl},
        {L"D:(A;;FA;;BA)", E::InvalidAcl},
        {L"D:(A;;FA;;;BA;(x))", E::InvalidAcl},
        {L"D:(A;;FA;ab721a53-1e2f-11d0-9819-00aa0040529b;;BA)", E::InvalidAcl},
        {L"D:(OA;;FA;not-a-guid;;BA)", E::InvalidAcl},
        {L"D:NO_ACCESS_CONTROL(A;;FA;;;BA)", E::InvalidAcl},
        {L"D:Z(A;;FA;;;BA)", E::InvalidAcl},
        {L"D:(A;;FA;;;BA)junk", E::InvalidAcl},
    };
    for (const auto& [input, error] : table) {
        Result<SecurityDescriptor> sd = fromSddl(input);
        EXPECT_FALSE(sd) << u8(input);
        EXPECT_EQ(sd.error(), error) << u8(input) << ": " << u8(sd.message());
        EXPECT_FALSE(sd.message().empty()) << u8(input);
    }
}

TEST(DtypSddl, FailureSaysWhere) {
    Result<SecurityDescriptor> sd = fromSddl(L"O:BAD:(A;;FA;;;BA)(Q;;FA;;;BA)");
    ASSERT_FALSE(sd);
    EXPECT_NE(sd.message().find(L"DACL"), std::wstring::npos) << u8(sd.message());
    EXPECT_NE(sd.message().find(L"ACE 2"), std::wstring::npos) << u8(sd.message());
    EXPECT_NE(sd.message().find(L"character 19"), std::wstring::npos) << u8(sd.message());
    EXPECT_NE(sd.message().find(L"\"Q\""), std::wstring::npos) << u8(sd.message());
}

TEST(DtypSddl, AccessMaskTable) {
    const std::vector<std::pair<std::uint32_t, std::wstring>> table = {
        {0, L""},         {0x1F01FF, L"FA"},       {0x120116, L"FW"},       {0x1200A0, L"FX"},
        {0xF003F, L"KA"}, {0x20006, L"KW"},        {0xA0000000, L"GXGR"},   {0x10000000, L"GA"},
        {0x3, L"CCDC"},   {0x100000, L"0x100000"}, {0x1301BF, L"0x1301bf"},
    };
    for (const auto& [mask, text] : table) {
        EXPECT_EQ(accessMaskToSddl(mask), text) << mask;
        EXPECT_EQ(accessMaskFromSddl(text).value(), mask) << u8(text);
    }
}

}  // namespace
