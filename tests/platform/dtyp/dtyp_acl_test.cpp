// ACEs and ACLs: the binary layouts, and the Win32 ACL calls over a caller's buffer with the
// error codes Windows gives.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/dtyp/acl.h"
#include "platform/text.h"

namespace {

using namespace Platform::Dtyp;
namespace E = Platform::WinError;

Ace allow(std::uint32_t mask, const Sid& sid, std::uint8_t flags = 0) {
    Ace ace;
    ace.type = AceType::AccessAllowed;
    ace.flags = flags;
    ace.mask = mask;
    ace.sid = sid;
    return ace;
}

Ace objectAce() {
    Ace ace;
    ace.type = AceType::AccessAllowedObject;
    ace.mask = 0x100;
    ace.sid = Sid(1, {0});
    ace.objectFlags = ObjectAceFlag::InheritedObjectTypePresent;
    ace.inheritedObjectType = *Guid::parse(L"bf967aba-0de6-11d0-a285-00aa003049e2");
    return ace;
}

// An ACL buffer of `size` bytes, initialized, and the ACEs it holds read back.
class AclBuffer : public ::testing::Test {
protected:
    void init(std::uint32_t size, std::uint32_t revision = AclRevision::Standard) {
        buffer.assign(size + 16, 0xCC);  // a guard zone that no call may touch
        ASSERT_TRUE(initializeAcl(buffer.data(), size, revision));
    }
    Status add(const Ace& ace, std::uint32_t index = AppendAce,
               std::uint32_t revision = AclRevision::Standard) {
        std::vector<std::uint8_t> bytes = encodeAce(ace);
        return addAce(buffer.data(), revision, index, bytes.data(),
                      static_cast<std::uint32_t>(bytes.size()));
    }
    std::vector<std::uint32_t> masks() {
        Result<Acl> acl = decodeAcl(buffer);
        EXPECT_TRUE(acl) << Platform::toUtf8(acl.message());
        std::vector<std::uint32_t> result;
        for (const Ace& ace : acl->aces) {
            result.push_back(ace.mask);
        }
        return result;
    }
    AclSizeInformation sizeInfo() {
        AclSizeInformation info;
        EXPECT_TRUE(
            getAclInformation(buffer.data(), &info, sizeof info, AclInformationClass::Size));
        return info;
    }

    std::vector<std::uint8_t> buffer;
    Sid users = Sid(5, {32, 545});
};

TEST_F(AclBuffer, InitializeAclChecksLikeWindows) {
    std::vector<std::uint8_t> acl(0x10000);
    EXPECT_EQ(initializeAcl(acl.data(), 7, AclRevision::Standard).error, E::InsufficientBuffer);
    EXPECT_EQ(initializeAcl(acl.data(), 0x10000, AclRevision::Standard).error, E::InvalidParameter);
    EXPECT_EQ(initializeAcl(acl.data(), 64, 1).error, E::InvalidParameter);
    EXPECT_EQ(initializeAcl(acl.data(), 64, 5).error, E::InvalidParameter);
    for (std::uint32_t revision : {2u, 3u, 4u}) {
        EXPECT_TRUE(initializeAcl(acl.data(), 64, revision));
        EXPECT_TRUE(isValidAcl(acl.data()));
    }
    // The length is taken DWORD-aligned, never beyond the caller's buffer.
    ASSERT_TRUE(initializeAcl(acl.data(), 0x7F, AclRevision::Standard));
    EXPECT_EQ(acl[2] | (acl[3] << 8), 0x7C);
}

TEST_F(AclBuffer, AddAceInsertsAtTheStartingIndex) {
    init(256);
    ASSERT_TRUE(add(allow(1, users)));
    ASSERT_TRUE(add(allow(2, users), AppendAce));
    ASSERT_TRUE(add(allow(3, users), 0));
    ASSERT_TRUE(add(allow(4, users), 2));
    ASSERT_TRUE(add(allow(5, users), 99));  // past the count: appended
    EXPECT_EQ(masks(), (std::vector<std::uint32_t>{3, 1, 4, 2, 5}));

    AclSizeInformation info = sizeInfo();
    EXPECT_EQ(info.aceCount, 5u);
    EXPECT_EQ(info.aclBytesInUse, 8u + 5 * 24);  // each ACE for S-1-5-32-545 is 24 bytes
    EXPECT_EQ(info.aclBytesFree, 256u - 8 - 5 * 24);
    EXPECT_EQ(buffer[256], 0xCC);
}

TEST_F(AclBuffer, AddAceTakesAListOfAces) {
    init(128);
    ASSERT_TRUE(add(allow(9, users)));
    std::vector<std::uint8_t> list = encodeAce(allow(1, users));
    std::vector<std::uint8_t> second = encodeAce(allow(2, Sid(5, {18})));
    list.insert(list.end(), second.begin(), second.end());
    ASSERT_TRUE(addAce(buffer.data(), 2, 0, list.data(), static_cast<std::uint32_t>(list.size())));
    EXPECT_EQ(masks(), (std::vector<std::uint32_t>{1, 2, 9}));
}

TEST_F(AclBuffer, AddAceRefusesWhatWindowsRefuses) {
    init(8 + 24 + 10);  // room for one ACE of 24 bytes, not two
    ASSERT_TRUE(add(allow(1, users)));
    std::vector<std::uint8_t> before = buffer;
    EXPECT_EQ(add(allow(2, users)).error, E::InsufficientBuffer);
    EXPECT_EQ(buffer, before);

    std::vector<std::uint8_t> ace = encodeAce(allow(2, users));
    auto addBytes = [&](std::vector<std::uint8_t> bytes, std::uint32_t revision = 2) {
        return addAce(buffer.data(), revision, AppendAce, bytes.data(),
                      static_cast<std::uint32_t>(bytes.size()))
            .error;
    };
    std::vector<std::uint8_t> zeroSize = ace;
    zeroSize[2] = zeroSize[3] = 0;
    EXPECT_EQ(addBytes(zeroSize), E::InvalidParameter);
    std::vector<std::uint8_t> overrun = ace;
    overrun[2] = 28;  // AceSize beyond the list's length
    EXPECT_EQ(addBytes(overrun), E::InvalidParameter);
    EXPECT_EQ(addBytes({0, 0}), E::InvalidParameter);
    EXPECT_EQ(addBytes(ace, 1), E::InvalidParameter);
    // Object ACEs need ACL_REVISION_DS.
    EXPECT_EQ(addBytes(encodeAce(objectAce()), 2), E::InvalidParameter);
    EXPECT_EQ(buffer, before);

    buffer[0] = 9;  // no longer a valid ACL
    EXPECT_EQ(add(allow(3, users)).error, E::InvalidParameter);
}

TEST_F(AclBuffer, ObjectAceRaisesTheRevision) {
    init(256);
    ASSERT_TRUE(add(allow(1, users)));
    ASSERT_TRUE(add(objectAce(), AppendAce, AclRevision::Ds));
    EXPECT_EQ(buffer[0], AclRevision::Ds);
    ASSERT_TRUE(add(allow(2, users), AppendAce, AclRevision::Standard));
    EXPECT_EQ(buffer[0], AclRevision::Ds);  // never lowered
    Result<Acl> acl = decodeAcl(buffer);
    ASSERT_TRUE(acl);
    EXPECT_EQ(acl->aces[1], objectAce());
}

TEST_F(AclBuffer, AceReadWithGetAceCanBeAddedToTheSameAcl) {
    init(256);
    ASSERT_TRUE(add(allow(1, users)));
    ASSERT_TRUE(add(allow(2, users)));
    std::uint8_t* ace = nullptr;
    ASSERT_TRUE(getAce(buffer.data(), 1, &ace));
    ASSERT_TRUE(addAce(buffer.data(), 2, 0, ace, 24));
    EXPECT_EQ(masks(), (std::vector<std::uint32_t>{2, 1, 2}));
}

TEST_F(AclBuffer, GetAceAndDeleteAce) {
    init(256);
    for (std::uint32_t mask = 1; mask <= 4; ++mask) {
        ASSERT_TRUE(add(allow(mask, users)));
    }
    const std::uint8_t* ace = nullptr;
    ASSERT_TRUE(getAce(static_cast<const std::uint8_t*>(buffer.data()), 2, &ace));
    EXPECT_EQ(decodeAce({ace, 24})->mask, 3u);
    EXPECT_EQ(getAce(static_cast<const std::uint8_t*>(buffer.data()), 4, &ace).error,
              E::InvalidParameter);

    ASSERT_TRUE(deleteAce(buffer.data(), 1));
    EXPECT_EQ(masks(), (std::vector<std::uint32_t>{1, 3, 4}));
    EXPECT_EQ(sizeInfo().aclBytesInUse, 8u + 3 * 24);
    // The freed space is zeroed.
    for (std::size_t i = 8 + 3 * 24; i < 8 + 4 * 24; ++i) {
        EXPECT_EQ(buffer[i], 0) << i;
    }
    EXPECT_EQ(deleteAce(buffer.data(), 3).error, E::InvalidParameter);
}

TEST_F(AclBuffer, GetAclInformationChecksItsBuffer) {
    init(64, AclRevision::Ds);
    AclRevisionInformation revision;
    ASSERT_TRUE(getAclInformation(buffer.data(), &revision, sizeof revision,
                                  AclInformationClass::Revision));
    EXPECT_EQ(revision.aclRevision, 4u);
    AclSizeInformation size;
    EXPECT_EQ(
        getAclInformation(buffer.data(), &size, sizeof size - 1, AclInformationClass::Size).error,
        E::InsufficientBuffer);
    EXPECT_EQ(
        getAclInformation(buffer.data(), &size, sizeof size, static_cast<AclInformationClass>(3))
            .error,
        E::InvalidParameter);
}

TEST_F(AclBuffer, IsValidAclSeesThroughLies) {
    init(64);
    ASSERT_TRUE(add(allow(1, users)));
    ASSERT_TRUE(isValidAcl(buffer.data()));
    auto corrupted = [&](std::size_t index, std::uint8_t value) {
        std::vector<std::uint8_t> copy = buffer;
        copy[index] = value;
        return copy;
    };
    EXPECT_FALSE(isValidAcl(corrupted(4, 3).data()));    // AceCount 3, one ACE there
    EXPECT_FALSE(isValidAcl(corrupted(10, 60).data()));  // AceSize past AclSize
    EXPECT_FALSE(isValidAcl(corrupted(10, 18).data()));  // AceSize not a multiple of 4
    EXPECT_FALSE(isValidAcl(corrupted(10, 0).data()));   // AceSize 0
    EXPECT_FALSE(isValidAcl(corrupted(2, 63).data()));   // odd AclSize
    EXPECT_FALSE(isValidAcl(corrupted(2, 4).data()));    // AclSize below the header
    EXPECT_FALSE(isValidAcl(corrupted(17, 16).data()));  // the SID claims 16 sub-authorities
    EXPECT_FALSE(isValidAcl(corrupted(16, 2).data()));   // SID revision 2
}

TEST(DtypAcl, EncodeDecodeRoundTrip) {
    Acl acl;
    acl.aces.push_back(
        allow(0x1F01FF, Sid(5, {32, 544}), AceFlag::ObjectInherit | AceFlag::ContainerInherit));
    Ace deny = allow(0x120116, Sid(1, {0}), AceFlag::Inherited);
    deny.type = AceType::AccessDenied;
    acl.aces.push_back(deny);
    acl.aces.push_back(objectAce());
    Ace callback = allow(1, Sid(5, {18}));
    callback.type = AceType::AccessAllowedCallback;
    callback.applicationData = {'a', 'r', 't', 'x', 0, 0, 0, 0};
    acl.aces.push_back(callback);

    std::vector<std::uint8_t> bytes = encodeAcl(acl).value();
    EXPECT_EQ(bytes.size(), acl.size());
    EXPECT_EQ(bytes[0], AclRevision::Ds);  // the object ACE needs it
    Result<Acl> decoded = decodeAcl(bytes);
    ASSERT_TRUE(decoded) << Platform::toUtf8(decoded.message());
    EXPECT_EQ(decoded->aces, acl.aces);
    EXPECT_EQ(encodeAcl(*decoded).value(), bytes);
}

TEST(DtypAcl, ObjectAceLayoutCarriesOnlyThePresentGuids) {
    std::vector<std::uint8_t> bytes = encodeAce(objectAce());
    // header 4, mask 4, flags 4, one GUID 16, SID S-1-1-0 12
    ASSERT_EQ(bytes.size(), 40u);
    EXPECT_EQ(bytes[8], ObjectAceFlag::InheritedObjectTypePresent);
    // Data1 of bf967aba-... little-endian right after the flags.
    EXPECT_EQ(bytes[12], 0xBA);
    EXPECT_EQ(bytes[15], 0xBF);
    EXPECT_EQ(bytes[28], 1);  // the SID's revision
    EXPECT_EQ(objectAce().inheritedObjectType.toString(), L"bf967aba-0de6-11d0-a285-00aa003049e2");
}

TEST(DtypAcl, TooLargeAclIsNotEncoded) {
    Acl acl;
    acl.aces.assign(3500, allow(1, Sid(5, {32, 544})));  // 3500 * 24 bytes
    std::vector<std::uint8_t> out{7};
    EXPECT_EQ(encodeAcl(acl, out).error, E::InvalidAcl);
    EXPECT_EQ(out, std::vector<std::uint8_t>{7});
}

}  // namespace
