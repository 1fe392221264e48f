// SDDL: every accepted input is written back in the one form Windows writes, and bad input is
// refused with the Windows error code and a description of where.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/dtyp/sddl.h"
#include "platform/text.h"

namespace {

using namespace Platform::Dtyp;
namespace E = Platform::WinError;

const Sid accountDomain(5, {21, 1, 2, 3});

std::string u8(const std::wstring& text) {
    return Platform::toUtf8(text);
}

TEST(DtypSddl, InputGivesCanonicalOutput) {
    // input -> canonical output
    const std::vector<std::pair<std::wstring, std::wstring>> table = {
        {L"O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;OICIID;FA;;;SY)",
         L"O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;OICIID;FA;;;SY)"},
        {L"O:S-1-5-32-544G:S-1-5-18D:AIP(A;CIOI;0x1F01FF;;;S-1-5-32-544)",
         L"O:BAG:SYD:PAI(A;OICI;FA;;;BA)"},
        {L"D:ARAIP(A;;FA;;;BA)", L"D:PARAI(A;;FA;;;BA)"},
        // Rights: whole-mask aliases, else one-bit aliases in bit order, else lower-case hex.
        {L"D:(A;;GRGW;;;WD)", L"D:(A;;GWGR;;;WD)"},
        {L"D:(A;OICIIO;GXGR;;;BU)", L"D:(A;OICIIO;GXGR;;;BU)"},
        {L"D:(A;;WOWDRCSDCRLODTWPRPSWLCDCCC;;;SY)", L"D:(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;SY)"},
        {L"D:(A;;0x1200A9;;;BU)", L"D:(A;;0x1200a9;;;BU)"},
        {L"D:(A;;1179817;;;BU)", L"D:(A;;0x1200a9;;;BU)"},
        {L"D:(A;;04400251;;;BU)", L"D:(A;;0x1200a9;;;BU)"},
        {L"D:(A;;0x120089;;;BU)", L"D:(A;;FR;;;BU)"},
        {L"D:(A;;FRFX;;;BU)", L"D:(A;;0x1200a9;;;BU)"},
        {L"D:(A;;0x1301bf;;;AU)", L"D:(A;;0x1301bf;;;AU)"},
        {L"D:(A;;0x10000000;;;CO)", L"D:(A;;GA;;;CO)"},
        {L"D:(A;;KX;;;BU)", L"D:(A;;KR;;;BU)"},
        {L"D:(A;;0x20000;;;BU)", L"D:(A;;RC;;;BU)"},
        {L"D:(A;;;;;WD)", L"D:(A;;;;;WD)"},
        // ACE flags in bit order.
        {L"D:(D;IDIONPCIOI;FA;;;AN)", L"D:(D;OICINPIOID;FA;;;AN)"},
        {L"D:(A;OICIIOID;GA;;;CO)", L"D:(A;OICIIOID;GA;;;CO)"},
        // NULL, empty and protected DACLs.
        {L"D:NO_ACCESS_CONTROL", L"D:NO_ACCESS_CONTROL"},
        {L"D:PNO_ACCESS_CONTROL", L"D:PNO_ACCESS_CONTROL"},
        {L"D:", L"D:"},
        {L"D:P", L"D:P"},
        // SIDs: aliases in any case, S- forms with an alias written as the alias.
        {L"O:wdG:sy", L"O:WDG:SY"},
        {L"O:S-1-1-0G:S-1-3-1", L"O:WDG:CG"},
        {L"O:S-1-5-32-568D:(A;;FA;;;S-1-16-12288)", L"O:ISD:(A;;FA;;;HI)"},
        {L"D:(A;;FA;;;S-1-0x123456789abc-1)", L"D:(A;;FA;;;S-1-0x123456789abc-1)"},
        {L"O:S-1-5-21-9-9-9-500", L"O:S-1-5-21-9-9-9-500"},
        // Parts in any order, white space between tokens.
        {L"D:(A;;FA;;;BA)O:SY", L"O:SYD:(A;;FA;;;BA)"},
        {L"  O:BA G:SY D:P (A;;FA;;;BA) ( A ; OI ; FR ; ; ; BU ) ",
         L"O:BAG:SYD:P(A;;FA;;;BA)(A;OI;FR;;;BU)"},
        // Object ACEs and SACLs.
        {L"D:(OA;;CR;AB721A53-1E2F-11D0-9819-00AA0040529B;;WD)",
         L"D:(OA;;CR;ab721a53-1e2f-11d0-9819-00aa0040529b;;WD)"},
        {L"D:(OA;CIIO;RP;4c164200-20c0-11d0-a768-00aa006e0529;4828cc14-1437-45bc-9b07-ad6f015e5f28;"
         L"RU)",
         L"D:(OA;CIIO;RP;4c164200-20c0-11d0-a768-00aa006e0529;4828cc14-1437-45bc-9b07-ad6f015e5f28;"
         L"RU)"},
        {L"S:PAI(AU;SAFA;FA;;;WD)", L"S:PAI(AU;SAFA;FA;;;WD)"},
        {L"S:(ML;;NW;;;LW)", L"S:(ML;;NW;;;LW)"},
    };
    for (const auto& [input, expected] : table) {
        Result<SecurityDescriptor> sd = fromSddl(input);
        ASSERT_TRUE(sd) << u8(input) << ": " << u8(sd.message());
        EXPECT_EQ(toSddl(*sd), expected) << u8(input);
        // Through the binary form and back nothing changes.
        Result<SecurityDescriptor> back =
            decodeSecurityDescriptor(encodeSecurityDescriptor(*sd).value());
        ASSERT_TRUE(back) << u8(input);
        EXPECT_EQ(toSddl(*back), expected) << u8(input);
    }
}

TEST(DtypSddl, DomainAliasesResolveAgainstTheAccountDomain) {
    const std::vector<std::pair<std::wstring, std::wstring>> table = {
        {L"O:LAG:DUD:(A;;FA;;;LG)", L"O:LAG:DUD:(A;;FA;;;LG)"},
        {L"O:S-1-5-21-1-2-3-500G:S-1-5-21-1-2-3-513", L"O:LAG:DU"},
        {L"O:S-1-5-21-1-2-3-1001", L"O:S-1-5-21-1-2-3-1001"},
        {L"O:S-1-5-21-9-9-9-500", L"O:S-1-5-21-9-9-9-500"},
        {L"O:da", L"O:DA"},
    };
    for (const auto& [input, expected] : table) {
        Result<SecurityDescriptor> sd = fromSddl(input, &accountDomain);
        ASSERT_TRUE(sd) << u8(input) << ": " << u8(sd.message());
        EXPECT_EQ(toSddl(*sd, &accountDomain), expected) << u8(input);
    }
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
