// SIDs: the string form as ConvertStringSidToSidW reads it and ConvertSidToStringSidW writes
// it, the binary form as IsValidSid judges it, and the byte-level Win32 calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/dtyp/sid.h"
#include "platform/text.h"
#include "support/corpus.h"

namespace {

using namespace Platform::Dtyp;
namespace E = Platform::WinError;

TEST(DtypSid, StringFormsReadAndWrittenAsWindowsDoes) {
    TestSupport::forEachCase("sid_string_forms", [](const auto& input, const auto& expected) {
        Result<Sid> sid = Sid::parse(input);
        ASSERT_TRUE(sid) << Platform::toUtf8(sid.message());
        EXPECT_EQ(sid->toString(), expected);
        EXPECT_EQ(Sid::parse(sid->toString())->toString(), expected);
    });
}

TEST(DtypSid, InvalidStringsAreRefusedWithInvalidSid) {
    const std::vector<std::wstring> table = {
        L"",
        L"S",
        L"S-",
        L"S-1",
        L"S-1-5",  // no sub-authority: ConvertStringSidToSidW refuses it
        L"S-2-5-18",
        L"S-1-5-",
        L"S-1--5",
        L"S-1-5-x",
        L"S-1-5-18x",
        L"S-1-5-0x",
        L"S-1-4294967296-1",  // a decimal authority stops at 2^32 - 1
        L"S-1-0x1000000000000-1",
        L"S-1-5-4294967296",
        L"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16",
        L" S-1-5-18",
        L"S-1-5-18 ",
        L"S-1-5-18)",
        L"BA",  // aliases belong to SDDL
        L"WD",
        L"X-1-5-18",
    };
    for (const std::wstring& input : table) {
        Result<Sid> sid = Sid::parse(input);
        EXPECT_FALSE(sid) << Platform::toUtf8(input);
        EXPECT_EQ(sid.error(), E::InvalidSid) << Platform::toUtf8(input);
        EXPECT_FALSE(sid.message().empty());
    }
}

TEST(DtypSid, BinaryLayoutHasBigEndianAuthorityAndLittleEndianSubAuthorities) {
    Sid admins(5, {32, 544});
    EXPECT_EQ(admins.toBytes(),
              (std::vector<std::uint8_t>{1, 2, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 2, 0, 0}));
    EXPECT_EQ(admins.length(), 16u);

    Sid wide(0x123456789ABCull, {1});
    EXPECT_EQ(wide.toBytes(),
              (std::vector<std::uint8_t>{1, 1, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 1, 0, 0, 0}));
    EXPECT_EQ(Sid::fromBytes(wide.toBytes()).value(), wide);

    // The SID may be followed by other data: only its own length is read.
    std::vector<std::uint8_t> bytes = admins.toBytes();
    bytes.insert(bytes.end(), {0xFF, 0xFF});
    EXPECT_EQ(Sid::fromBytes(bytes).value(), admins);
}

TEST(DtypSid, BinaryFormsIsValidSidRejects) {
    std::vector<std::uint8_t> good = Sid(5, {32, 544}).toBytes();
    auto withByte = [&](std::size_t index, std::uint8_t value) {
        std::vector<std::uint8_t> bytes = good;
        bytes[index] = value;
        return bytes;
    };
    const std::vector<std::vector<std::uint8_t>> table = {
        {},
        {1, 0, 0, 0, 0, 0, 0},           // shorter than the fixed part
        withByte(0, 2),                  // revision 2
        withByte(1, 16),                 // 16 sub-authorities
        withByte(1, 3),                  // claims a third sub-authority that is not there
        {good.begin(), good.end() - 1},  // truncated
    };
    for (const auto& bytes : table) {
        Result<Sid> sid = Sid::fromBytes(bytes);
        EXPECT_FALSE(sid);
        EXPECT_EQ(sid.error(), E::InvalidSid);
    }
    EXPECT_TRUE(Sid::fromBytes(Sid(5, {}).toBytes()));  // S-1-5 is a valid binary SID
}

TEST(DtypSid, Win32ByteCalls) {
    std::vector<std::uint8_t> system = Sid(5, {18}).toBytes();
    std::vector<std::uint8_t> admins = Sid(5, {32, 544}).toBytes();
    EXPECT_TRUE(isValidSid(system.data()));
    EXPECT_EQ(getLengthSid(admins.data()), 16u);
    EXPECT_TRUE(equalSid(system.data(), system.data()));
    EXPECT_FALSE(equalSid(system.data(), admins.data()));

    std::vector<std::uint8_t> copy(16, 0xEE);
    EXPECT_EQ(copySid(15, copy.data(), admins.data()).error, E::InsufficientBuffer);
    EXPECT_TRUE(copySid(16, copy.data(), admins.data()));
    EXPECT_EQ(copy, admins);
    std::vector<std::uint8_t> bad = admins;
    bad[0] = 3;
    EXPECT_FALSE(isValidSid(bad.data()));
    EXPECT_EQ(copySid(16, copy.data(), bad.data()).error, E::InvalidSid);
}

TEST(DtypSid, DomainsAndOrdering) {
    Sid domain(5, {21, 1, 2, 3});
    Sid user = domain.withRid(1001).value();
    EXPECT_EQ(user.toString(), L"S-1-5-21-1-2-3-1001");
    EXPECT_EQ(user.rid(), 1001u);
    EXPECT_TRUE(domain.isDomainOf(user));
    EXPECT_FALSE(user.isDomainOf(domain));
    EXPECT_FALSE(Sid(5, {21, 1, 2}).isDomainOf(user));
    EXPECT_EQ(Sid(5, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}).withRid(1).error(),
              E::InvalidSid);

    std::vector<Sid> sids = {user, Sid(5, {32, 544}), Sid(1, {0}), Sid(5, {18}), Sid(5, {})};
    std::sort(sids.begin(), sids.end());
    std::vector<std::wstring> names;
    for (const Sid& sid : sids) {
        names.push_back(sid.toString());
    }
    EXPECT_EQ(names, (std::vector<std::wstring>{L"S-1-1-0", L"S-1-5", L"S-1-5-18",
                                                L"S-1-5-21-1-2-3-1001", L"S-1-5-32-544"}));
}

}  // namespace
