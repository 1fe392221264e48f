// Self-relative security descriptors: a descriptor written out byte by byte from the MS-DTYP
// 2.4.6 layout is read correctly and written back identically, and corrupt or hostile bytes
// are refused without reading outside them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/dtyp/sddl.h"
#include "platform/dtyp/security_descriptor.h"
#include "platform/text.h"

namespace {

using namespace Platform::Dtyp;
namespace E = Platform::WinError;

// O:BA G:SY D:PAI(A;OICI;FA;;;BA)(A;ID;0x1200a9;;;S-1-5-21-1-2-3-1001), as the MS-DTYP layout
// spells it.
const std::vector<std::uint8_t> descriptor = {
    // header: revision 1, Sbz1 0, control 0x9404 (SELF_RELATIVE | DACL_PROTECTED |
    // DACL_AUTO_INHERITED | DACL_PRESENT), owner at 20, group at 36, no SACL, DACL at 48
    0x01,
    0x00,
    0x04,
    0x94,
    20,
    0,
    0,
    0,
    36,
    0,
    0,
    0,
    0,
    0,
    0,
    0,
    48,
    0,
    0,
    0,
    // owner S-1-5-32-544
    0x01,
    0x02,
    0,
    0,
    0,
    0,
    0,
    5,
    0x20,
    0,
    0,
    0,
    0x20,
    0x02,
    0,
    0,
    // group S-1-5-18
    0x01,
    0x01,
    0,
    0,
    0,
    0,
    0,
    5,
    0x12,
    0,
    0,
    0,
    // DACL: revision 2, Sbz1, AclSize 68, AceCount 2, Sbz2
    0x02,
    0x00,
    68,
    0,
    2,
    0,
    0,
    0,
    // ACCESS_ALLOWED, OI|CI, size 24, mask 0x1F01FF, S-1-5-32-544
    0x00,
    0x03,
    24,
    0,
    0xFF,
    0x01,
    0x1F,
    0x00,
    0x01,
    0x02,
    0,
    0,
    0,
    0,
    0,
    5,
    0x20,
    0,
    0,
    0,
    0x20,
    0x02,
    0,
    0,
    // ACCESS_ALLOWED, INHERITED, size 36, mask 0x1200A9, S-1-5-21-1-2-3-1001
    0x00,
    0x10,
    36,
    0,
    0xA9,
    0x00,
    0x12,
    0x00,
    0x01,
    0x05,
    0,
    0,
    0,
    0,
    0,
    5,
    21,
    0,
    0,
    0,
    1,
    0,
    0,
    0,
    2,
    0,
    0,
    0,
    3,
    0,
    0,
    0,
    0xE9,
    0x03,
    0,
    0,
};

TEST(DtypSecurityDescriptor, HandBuiltBytesDecodeAndEncodeBack) {
    ASSERT_EQ(descriptor.size(), 116u);
    Result<SecurityDescriptor> sd = decodeSecurityDescriptor(descriptor);
    ASSERT_TRUE(sd) << Platform::toUtf8(sd.message());
    EXPECT_EQ(sd->owner, Sid(5, {32, 544}));
    EXPECT_EQ(sd->group, Sid(5, {18}));
    EXPECT_EQ(sd->control & ~Control::SelfRelative,
              Control::DaclPresent | Control::DaclProtected | Control::DaclAutoInherited);
    EXPECT_FALSE(sd->hasSacl());
    ASSERT_TRUE(sd->dacl);
    ASSERT_EQ(sd->dacl->aces.size(), 2u);
    const Ace& second = sd->dacl->aces[1];
    EXPECT_EQ(second.type, AceType::AccessAllowed);
    EXPECT_EQ(second.flags, AceFlag::Inherited);
    EXPECT_EQ(second.mask, 0x1200A9u);
    EXPECT_EQ(second.sid.toString(), L"S-1-5-21-1-2-3-1001");

    EXPECT_EQ(encodeSecurityDescriptor(*sd).value(), descriptor);
    EXPECT_EQ(toSddl(*sd), L"O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;ID;0x1200a9;;;S-1-5-21-1-2-3-1001)");
}

TEST(DtypSecurityDescriptor, EqualDescriptorsEncodeToIdenticalBytes) {
    // Parsed from SDDL written in another order and spelling, the descriptor is the same bytes.
    Result<SecurityDescriptor> parsed = fromSddl(
        L"D:AIP(A;CIOI;0x1F01FF;;;S-1-5-32-544)(A;ID;0x1200a9;;;S-1-5-21-1-2-3-1001) G:SY O:BA");
    ASSERT_TRUE(parsed) << Platform::toUtf8(parsed.message());
    EXPECT_EQ(encodeSecurityDescriptor(*parsed).value(), descriptor);
}

TEST(DtypSecurityDescriptor, NullAbsentAndEmptyDaclsStayApart) {
    SecurityDescriptor nullDacl;
    nullDacl.owner = Sid(5, {18});
    nullDacl.setNullDacl();
    SecurityDescriptor emptyDacl = nullDacl;
    emptyDacl.setDacl(Acl{});
    SecurityDescriptor noDacl = nullDacl;
    noDacl.removeDacl();

    for (const SecurityDescriptor& sd : {nullDacl, emptyDacl, noDacl}) {
        Result<SecurityDescriptor> back =
            decodeSecurityDescriptor(encodeSecurityDescriptor(sd).value());
        ASSERT_TRUE(back);
        EXPECT_EQ(*back, sd);
    }
    EXPECT_TRUE(
        decodeSecurityDescriptor(encodeSecurityDescriptor(nullDacl).value())->hasNullDacl());
    EXPECT_EQ(toSddl(nullDacl), L"O:SYD:NO_ACCESS_CONTROL");
    EXPECT_EQ(toSddl(emptyDacl), L"O:SYD:");
    EXPECT_EQ(toSddl(noDacl), L"O:SY");

    // Without SE_DACL_PRESENT a DACL offset is ignored, as GetSecurityDescriptorDacl does.
    std::vector<std::uint8_t> bytes = descriptor;
    bytes[2] &= ~Control::DaclPresent;
    EXPECT_FALSE(decodeSecurityDescriptor(bytes)->hasDacl());
}

TEST(DtypSecurityDescriptor, CorruptDescriptorsAreRefused) {
    auto with = [](std::size_t index, std::uint8_t value) {
        std::vector<std::uint8_t> bytes = descriptor;
        bytes[index] = value;
        return bytes;
    };
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
    };
    const std::vector<Case> table = {
        {"shorter than the header", {descriptor.begin(), descriptor.begin() + 19}},
        {"revision 2", with(0, 2)},
        {"absolute, not self-relative", with(3, 0x14)},
        {"owner offset past the end", with(4, 200)},
        {"owner offset inside the header", with(4, 8)},
        {"group offset 4 GiB away", with(11, 0xFF)},
        {"DACL offset at the last byte", with(16, 115)},
        {"owner SID with 16 sub-authorities", with(21, 16)},
        {"group SID running past the end", with(8, 110)},
        {"AclSize larger than what is left", with(50, 72)},
        {"AclSize smaller than its ACEs", with(50, 40)},
        {"AceCount too large", with(52, 3)},
        {"first AceSize running past the ACL", with(58, 80)},
        {"second AceSize running past the ACL", with(82, 40)},
        {"AceSize too small for its SID", with(82, 28)},
        {"ACE SID revision 0", with(88, 0)},
        {"ACE of a compound type", with(80, AceType::AccessAllowedCompound)},
    };
    for (const Case& c : table) {
        Result<SecurityDescriptor> sd = decodeSecurityDescriptor(c.bytes);
        EXPECT_FALSE(sd) << c.what;
        EXPECT_EQ(sd.error(), E::InvalidSecurityDescr) << c.what;
        EXPECT_FALSE(sd.message().empty()) << c.what;
    }
}

TEST(DtypSecurityDescriptor, EveryTruncationAndByteFlipIsHandled) {
    for (std::size_t length = 0; length < descriptor.size(); ++length) {
        std::vector<std::uint8_t> bytes(descriptor.begin(),
                                        descriptor.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_FALSE(decodeSecurityDescriptor(bytes)) << length;
    }
    // Flipping any byte either still decodes to something that re-encodes, or is refused;
    // the sanitizer build makes sure no flip reads outside the vector.
    for (std::size_t index = 0; index < descriptor.size(); ++index) {
        for (int value : {0x00, 0x01, 0x7F, 0x80, 0xFF}) {
            std::vector<std::uint8_t> bytes = descriptor;
            bytes[index] = static_cast<std::uint8_t>(value);
            Result<SecurityDescriptor> sd = decodeSecurityDescriptor(bytes);
            if (sd) {
                EXPECT_TRUE(encodeSecurityDescriptor(*sd)) << index;
            }
        }
    }
}

}  // namespace
