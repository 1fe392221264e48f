// ACL and ACE buffers: canonical insertion, growth, duplicate handling, ACE equality, the
// access-mask comparisons after generic mapping, and the readable forms of ACEs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/dtyp/ace.h"
#include "platform/dtyp/acl.h"
#include "platform/text.h"
#include "runtime/exceptions.h"
#include "support/temp_host.h"
#include "winsecurity/access.h"
#include "winsecurity/vacl.h"

namespace {

namespace AceType = Platform::Dtyp::AceType;
constexpr std::uint8_t ID = Platform::Dtyp::AceFlag::Inherited;

VAce ace(std::uint8_t type, std::uint8_t flags, std::uint32_t mask, const wchar_t* sid) {
    return VAce::create(type, flags, mask, VSID::fromString(sid));
}

// "type/flags/mask" of every ACE in index order, for compact expectations.
std::vector<std::string> layout(const VAcl& acl) {
    std::vector<std::string> result;
    for (int i = 0; i < acl.aceCount(); ++i) {
        VAce a = acl.aceAt(i);
        char text[40];
        std::snprintf(text, sizeof text, "%u/%X/%X", a.type(), a.flags(), a.mask());
        result.push_back(text);
    }
    return result;
}

template <typename F>
std::uint32_t osErrorOf(F action, std::wstring& message) {
    try {
        action();
    } catch (const vosexception& e) {
        message = e.message();
        return e.errorCode();
    }
    ADD_FAILURE() << "no vosexception";
    return 0xFFFFFFFF;
}

TEST(VAclCanonicalOrder, MixedInsertionsComeOutDenyFirstExplicitFirst) {
    struct Case {
        const char* name;
        std::vector<VAce> added;  // each added alone, in this order
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"explicit allow, inherited deny, explicit deny",
         {ace(AceType::AccessAllowed, 0, 1, L"S-1-1-0"),
          ace(AceType::AccessDenied, ID, 2, L"S-1-1-0"),
          ace(AceType::AccessDenied, 0, 3, L"S-1-1-0")},
         {"1/0/3", "0/0/1", "1/10/2"}},
        {"inherited allow before everything explicit",
         {ace(AceType::AccessAllowed, ID, 1, L"S-1-5-18"),
          ace(AceType::AccessAllowed, 0, 2, L"S-1-5-18"),
          ace(AceType::AccessDenied, ID, 3, L"S-1-5-18")},
         {"0/0/2", "1/10/3", "0/10/1"}},
        {"object forms follow their plain forms",
         {ace(AceType::AccessAllowedObject, 0, 1, L"S-1-1-0"),
          ace(AceType::AccessAllowed, 0, 2, L"S-1-1-0"),
          ace(AceType::AccessDeniedObject, 0, 3, L"S-1-1-0"),
          ace(AceType::AccessDenied, 0, 4, L"S-1-1-0")},
         {"1/0/4", "6/0/3", "0/0/2", "5/0/1"}},
        {"one class keeps the reverse order of insertion",
         {ace(AceType::AccessAllowed, 0, 1, L"S-1-1-0"),
          ace(AceType::AccessAllowed, 0, 2, L"S-1-1-0"),
          ace(AceType::AccessAllowed, 0, 3, L"S-1-1-0")},
         {"0/0/3", "0/0/2", "0/0/1"}},
    };
    for (const Case& c : cases) {
        VAcl acl;
        for (const VAce& a : c.added) {
            acl.addAces({a});
        }
        EXPECT_EQ(layout(acl), c.expected) << c.name;
    }
}

TEST(VAclCanonicalOrder, CopyReordersAnyAclAndReversesInsideAClass) {
    // A non-canonical ACL as another tool may leave it: allow, inherited deny, deny, allow.
    namespace D = Platform::Dtyp;
    D::Acl raw;
    auto plain = [](std::uint8_t type, std::uint8_t flags, std::uint32_t mask) {
        D::Ace a;
        a.type = type;
        a.flags = flags;
        a.mask = mask;
        a.sid = D::WellKnownSid::everyone();
        return a;
    };
    raw.aces = {plain(AceType::AccessAllowed, 0, 1), plain(AceType::AccessDenied, ID, 2),
                plain(AceType::AccessDenied, 0, 3), plain(AceType::AccessAllowed, 0, 4)};
    auto bytes = D::encodeAcl(raw);
    ASSERT_TRUE(bytes);

    VAcl copy(bytes->data());
    EXPECT_EQ(layout(copy), (std::vector<std::string>{"1/0/3", "0/0/4", "0/0/1", "1/10/2"}));
    VAcl second = copy;
    EXPECT_EQ(layout(second), (std::vector<std::string>{"1/0/3", "0/0/1", "0/0/4", "1/10/2"}));
    EXPECT_TRUE(second == copy);

    // An ACL with object ACEs keeps the revision that allows them in its copies.
    VAcl objects;
    objects.addAces({ace(AceType::AccessAllowedObject, 0, 1, L"S-1-1-0"),
                     ace(AceType::AccessDeniedObject, 0, 2, L"S-1-1-0")});
    VAcl objectsCopy = objects;
    EXPECT_EQ(layout(objectsCopy), (std::vector<std::string>{"6/0/2", "5/0/1"}));
}

TEST(VAclCanonicalOrder, AuditAcesHaveNoPlace) {
    VAcl acl;
    std::wstring message;
    EXPECT_EQ(
        osErrorOf([&] { acl.addAces({ace(AceType::SystemAudit, 0, 1, L"S-1-1-0")}); }, message),
        87u);
    EXPECT_NE(message.find(L" at Invalid ACE type"), std::wstring::npos)
        << Platform::toUtf8(message);
    EXPECT_EQ(acl.aceCount(), 0);
}

TEST(VAclContent, AddAcesSuppressesDuplicatesMergeKeepsThem) {
    VAce admins = ace(AceType::AccessAllowed, 3, 0x1F01FF, L"S-1-5-32-544");
    VAce system = ace(AceType::AccessAllowed, 3, 0x1F01FF, L"S-1-5-18");

    VAcl acl;
    acl.addAces({admins, system, admins});
    acl.addAces({system});
    EXPECT_EQ(acl.aceCount(), 2);

    VAcl merged = VAcl::merge(acl, acl);
    EXPECT_EQ(merged.aceCount(), 4);
    EXPECT_EQ(merged.findAce(admins), merged.findAce(admins, 0));
    int first = merged.findAce(admins);
    ASSERT_GE(first, 0);
    EXPECT_GT(merged.findAce(admins, first + 1), first);
    EXPECT_EQ(merged.findAce(admins, merged.findAce(admins, first + 1) + 1), -1);

    VAcl two = VAcl::ofTwoAces(admins, admins);
    EXPECT_EQ(two.aceCount(), 1);
}

TEST(VAclContent, GrowsPastItsFirstBufferAndStaysCanonical) {
    VAcl acl;
    // 200 ACEs of 20 bytes each are far beyond the first 268 bytes.
    for (std::uint32_t rid = 1000; rid < 1200; ++rid) {
        std::uint8_t type = rid % 2 ? AceType::AccessDenied : AceType::AccessAllowed;
        std::uint8_t flags = rid % 3 ? 0 : ID;
        acl.addAces({VAce::create(type, flags, rid, VSID(5, {21, rid}))});
    }
    ASSERT_EQ(acl.aceCount(), 200);
    int lastClass = -1;
    for (int i = 0; i < acl.aceCount(); ++i) {
        VAce a = acl.aceAt(i);
        int cls = (a.type() == AceType::AccessDenied ? 0 : 1) + (a.isInherited() ? 2 : 0);
        EXPECT_GE(cls, lastClass) << "at " << i;
        lastClass = cls;
    }
    EXPECT_TRUE(acl.hasInheritedAce());
    EXPECT_EQ(acl.parsed().aces.size(), 200u);

    std::wstring message;
    EXPECT_EQ(osErrorOf([&] { acl.aceAt(200); }, message), 87u);
    EXPECT_NE(message.find(L"Unable to get ACL ACE (200)"), std::wstring::npos);
    acl.deleteAce(0);
    EXPECT_EQ(acl.aceCount(), 199);
    EXPECT_EQ(osErrorOf([&] { acl.deleteAce(199); }, message), 87u);
    EXPECT_NE(message.find(L"Unable to delete ACL ACE (199)"), std::wstring::npos);
}

TEST(VAclContent, EqualityIgnoresOrderInsideAClassButNotContent) {
    VAce a = ace(AceType::AccessAllowed, 0, 1, L"S-1-1-0");
    VAce b = ace(AceType::AccessAllowed, 0, 2, L"S-1-1-0");
    VAcl ab;
    ab.addAces({a, b});
    VAcl ba;
    ba.addAces({b, a});
    EXPECT_NE(layout(ab), layout(ba));
    EXPECT_TRUE(ab == ba);

    VAcl onlyA;
    onlyA.addAces({a});
    EXPECT_FALSE(ab == onlyA);
    VAcl aTwice = VAcl::merge(onlyA, onlyA);
    EXPECT_FALSE(ab == aTwice);
    EXPECT_TRUE(VAcl() == VAcl());
    EXPECT_FALSE(VAcl().hasInheritedAce());
}

TEST(VAceEquality, HeadsAndSidsMustMatchExactly) {
    VAce base = ace(AceType::AccessAllowed, 3, 0x1F01FF, L"S-1-5-32-544");
    EXPECT_TRUE(base.equals(ace(AceType::AccessAllowed, 3, 0x1F01FF, L"S-1-5-32-544")));
    // INHERITED_ACE alone makes a difference.
    EXPECT_FALSE(base.equals(ace(AceType::AccessAllowed, 3 | ID, 0x1F01FF, L"S-1-5-32-544")));
    // Masks are compared raw: GENERIC_ALL is not FILE_ALL_ACCESS here.
    EXPECT_FALSE(base.equals(ace(AceType::AccessAllowed, 3, 0x10000000, L"S-1-5-32-544")));
    EXPECT_FALSE(base.equals(ace(AceType::AccessDenied, 3, 0x1F01FF, L"S-1-5-32-544")));
    EXPECT_FALSE(base.equals(ace(AceType::AccessAllowed, 3, 0x1F01FF, L"S-1-5-32-545")));
    EXPECT_FALSE(base.equals(ace(AceType::AccessAllowed, 3, 0x1F01FF, L"S-1-5-21-1-2-3-544")));
}

TEST(VAceLayout, HeadSizesAndUnsupportedTypes) {
    VAce plain = ace(AceType::AccessDenied, 0, 5, L"S-1-5-32-544");
    EXPECT_EQ(plain.size(), 8 + 16);
    EXPECT_EQ(plain.sid().toString(), L"S-1-5-32-544");
    EXPECT_EQ(plain.mask(), 5u);

    VAce object = ace(AceType::AccessAllowedObject, 2, 7, L"S-1-5-18");
    EXPECT_EQ(object.size(), 44 + 12);
    EXPECT_EQ(object.sid().toString(), L"S-1-5-18");
    EXPECT_EQ(object.mask(), 7u);
    EXPECT_TRUE(object.equals(ace(AceType::AccessAllowedObject, 2, 7, L"S-1-5-18")));

    for (std::uint8_t type : {std::uint8_t{4}, std::uint8_t{9}, std::uint8_t{0x11}}) {
        std::wstring message;
        EXPECT_EQ(osErrorOf([&] { VAce::create(type, 0, 1, VSID::everyone().data()); }, message),
                  0u);
        EXPECT_NE(message.find(L"Unsupported ACE type (" + std::to_wstring(type) + L")"),
                  std::wstring::npos)
            << Platform::toUtf8(message);
    }
    std::wstring message;
    EXPECT_EQ(osErrorOf([&] { VAce::create(AceType::AccessAllowed, 0, 1, VSID()); }, message),
              Platform::WinError::InvalidSid);
    EXPECT_NE(message.find(L"Unable to copy SID"), std::wstring::npos);
}

TEST(VAceText, InheritanceWording) {
    const std::vector<std::pair<std::uint8_t, std::wstring>> table = {
        {0x00, L"this object only"},
        {0x01, L"this folder and files"},
        {0x02, L"this folder and subfolders"},
        {0x03, L"this folder, subfolders and files"},
        {0x09, L"files only"},
        {0x0A, L"subfolders only"},
        {0x0B, L"subfolders and files only"},
        {0x13, L"this folder, subfolders and files"},  // INHERITED_ACE does not count
        {0x1A, L"subfolders only"},
        {0x04, L"4"},
        {0x08, L"8"},
        {0x14, L"14"},  // unusual flags are shown whole, INHERITED_ACE included
        {0x07, L"7"},
    };
    for (const auto& [flags, text] : table) {
        EXPECT_EQ(ace(AceType::AccessAllowed, flags, 1, L"S-1-1-0").inheritanceText(), text)
            << "flags " << int(flags);
    }
}

TEST(AccessMask, ComparisonsMapGenericRights) {
    struct Case {
        std::uint32_t a, b;
        bool contains, equals;
    };
    const Case cases[] = {
        {0x80000000, 0x1F01FF, true, false},   // GENERIC_READ within full control
        {0x10000000, 0x1F01FF, true, true},    // GENERIC_ALL is FILE_ALL_ACCESS
        {0x80000001, 0x120089, true, true},    // 0x1 is part of FILE_GENERIC_READ
        {0x1F01FF, 0x80000000, false, false},  // full control is not within read
        {0xA0000000, 0x1200A9, true, true},    // read and execute
        {0x40000000, 0x120116, true, true},    // GENERIC_WRITE
        {0x40000000, 0x120089, false, false}, {0x0, 0x120089, true, false},
        {0x10000, 0x10000000, true, false},  // DELETE within GENERIC_ALL
    };
    for (const Case& c : cases) {
        EXPECT_EQ(accessContains(c.a, c.b), c.contains) << std::hex << c.a << " in " << c.b;
        EXPECT_EQ(accessEquals(c.a, c.b), c.equals) << std::hex << c.a << " == " << c.b;
    }
    EXPECT_EQ(mapGenericAccess(0xF0000000), 0x1F01FFu);
    EXPECT_EQ(mapGenericAccess(0x80010000), 0x130089u);
    EXPECT_EQ(mapGenericAccess(0x0100), 0x0100u);
}

TEST(VAclDump, EmptyAclDumpsNothing) {
    EXPECT_EQ(VAcl().dump(), L"");
}

TEST(VAclDump, LinesNameAccountsAndMapMasksOnRequest) {
    TestSupport::TempHost host;
    VAcl acl;
    acl.addAces({ace(AceType::AccessAllowed, 0x13, 0x10000000, L"S-1-5-32-544"),
                 ace(AceType::AccessDenied, 0x9, 0x80000000, L"S-1-5-21-1-2-3-4444")});
    EXPECT_EQ(acl.dump(),
              L"S-1-5-21-1-2-3-4444: deny for files only ACE with access mask 80000000\r\n"
              L"BUILTIN\\Administrators: allow for this folder, subfolders and files ACE with "
              L"access mask 10000000\r\n");
    EXPECT_EQ(acl.dump(mapGenericAccess),
              L"S-1-5-21-1-2-3-4444: deny for files only ACE with access mask 120089\r\n"
              L"BUILTIN\\Administrators: allow for this folder, subfolders and files ACE with "
              L"access mask 1F01FF\r\n");
}

}  // namespace
