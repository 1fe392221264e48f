// Where metadata lives: paths relative to the root of all webspaces, the file that governs a
// path, the scope of a set, and the names that may become directories.
#include <gtest/gtest.h>

#include "manager/security_manager.h"
#include "manager_fixture.h"

namespace {
using Tavrel::SecurityManager;

class MetadataPaths : public ManagerTests::ManagerTest {
protected:
    void SetUp() override { setVhostsRoot("C:\\vhosts"); }
    SecurityManager manager{accounts};
};

TEST_F(MetadataPaths, RootRelativePath) {
    const struct {
        const wchar_t* fullPath;
        bool firstOnly;
        const wchar_t* expected;
    } cases[] = {
        {L"C:\\vhosts", false, L""},
        {L"c:/VHOSTS/", false, L""},
        {L"C:\\vhosts\\example\\web_users\\u1", false, L"example\\web_users\\u1"},
        {L"C:\\vhosts\\example\\web_users\\u1", true, L"example"},
        {L"C:/vhosts/example//web_users\\u1/", false, L"example\\web_users\\u1"},
        {L"\\\\?\\C:\\vhosts\\a\\b", false, L"a\\b"},
        {L"C:\\vhosts\\a\\..\\b\\.\\c", false, L"b\\c"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(manager.getRootRelativePath(c.fullPath, c.firstOnly), c.expected)
            << Platform::toUtf8(c.fullPath);
    }
    for (const wchar_t* outside : {L"C:\\other", L"C:\\", L"C:\\vhostsX\\a", L"C:\\vhosts\\..\\a",
                                   L"C:\\vhosts\\a\\..\\..\\b"}) {
        try {
            manager.getRootRelativePath(outside, false);
            ADD_FAILURE() << "accepted " << Platform::toUtf8(outside);
        } catch (const Tavrel::RootCorrelationException& e) {
            EXPECT_EQ(e.message(), std::wstring(L"Invalid full path '") + outside +
                                       L"' and root 'C:\\vhosts' correlation.");
            EXPECT_EQ(e.frames().at(0).function, "Tavrel::SecurityManager::getRootRelativePath");
        }
    }
}

TEST_F(MetadataPaths, MetadataFileOfAPath) {
    const struct {
        const wchar_t* path;
        const wchar_t* expected;
    } cases[] = {
        {L"C:\\vhosts", L"C:\\vhosts\\.Security"},
        {L"C:\\vhosts\\example\\httpdocs", L"C:\\vhosts\\example\\.tarno\\.Security"},
        {L"C:\\vhosts\\example\\web_users", L"C:\\vhosts\\example\\.tarno\\.Security"},
        {L"C:\\vhosts\\example\\web_users\\u1\\docs",
         L"C:\\vhosts\\example\\.tarno\\.Web.u1.Security"},
        {L"C:\\vhosts\\example\\WEB_USERS\\u1", L"C:\\vhosts\\example\\.tarno\\.Web.u1.Security"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(manager.metadataFileFor(c.path), c.expected) << Platform::toUtf8(c.path);
    }
    EXPECT_EQ(SecurityManager::domainMetadataFile(L"w", L"E:\\b\\"),
              L"E:\\b\\w\\.tarno\\.Security");
    // Webspace and web-user files count from HTTPD_VHOSTS_D; only the root's own file lies in
    // a root set apart from it.
    manager.setRoot(L"D:\\other");
    EXPECT_EQ(manager.metadataFileFor(L"D:\\other"), L"D:\\other\\.Security");
    EXPECT_EQ(manager.metadataFileFor(L"D:\\other\\w\\x"), L"C:\\vhosts\\w\\.tarno\\.Security");
}

TEST_F(MetadataPaths, ScopeIsTheWebspaceOrWebUserOfTheFirstSubPath) {
    EXPECT_EQ(manager.scopePath(), L"C:\\vhosts");
    auto scopeOf = [&](std::initializer_list<const wchar_t*> subPaths) {
        SecurityManager m(accounts);
        for (const wchar_t* subPath : subPaths) {
            m.entries()->insert(
                DiskSecurity::EntryTemplate(VSID::wellKnown(WellKnownAccount::Everyone),
                                            L"[HTTPD_VHOSTS_D]", subPath, 0, 0, 0));
        }
        return m.scopePath();
    };
    EXPECT_EQ(scopeOf({L"", L"\\"}), L"C:\\vhosts");
    EXPECT_EQ(scopeOf({L"", L"example\\cgi-bin"}), L"C:\\vhosts\\example");
    EXPECT_EQ(scopeOf({L"example\\web_users"}), L"C:\\vhosts\\example");
    EXPECT_EQ(scopeOf({L"example\\Web_Users\\u1\\docs"}), L"C:\\vhosts\\example\\web_users\\u1");
}

TEST(PlainNames, OnlyOnePlainComponentPasses) {
    for (const wchar_t* good : {L"example", L"example.com", L"a b", L"x..y"}) {
        EXPECT_NO_THROW(Tavrel::requirePlainName(L"webspace name", good));
    }
    for (const wchar_t* bad : {L"", L".", L"..", L"...", L"a\\b", L"a/b", L"C:x", L"x.", L"x "}) {
        try {
            Tavrel::requirePlainName(L"webspace name", bad);
            ADD_FAILURE() << "accepted '" << Platform::toUtf8(bad) << "'";
        } catch (const vexception& e) {
            EXPECT_EQ(e.message().rfind(std::wstring(L"Invalid webspace name '") + bad + L"': ", 0),
                      0u);
        }
    }
    EXPECT_NO_THROW(Tavrel::requireRelativePath(L"base path", L"fs\\private\\7"));
    for (const wchar_t* bad : {L"fs\\..\\x", L"\\fs", L"fs\\", L"C:\\fs"}) {
        EXPECT_THROW(Tavrel::requireRelativePath(L"base path", bad), vexception);
    }
}

}  // namespace
