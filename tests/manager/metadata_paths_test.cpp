// Where metadata lives: paths relative to the root of all webspaces, the file that governs a
// path, the scope of a set, and the names that may become directories.
#include <gtest/gtest.h>

#include "manager/metadata_paths.h"
#include "manager/security_manager.h"
#include "manager_fixture.h"
#include "support/corpus.h"

namespace {
namespace MetadataPaths = Tavrel::MetadataPaths;
using Tavrel::SecurityManager;

TEST(MetadataPaths, RootRelativePath) {
    const std::wstring root = L"C:\\vhosts";
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
        EXPECT_EQ(MetadataPaths::getRootRelativePath(c.fullPath, root, c.firstOnly), c.expected)
            << Platform::toUtf8(c.fullPath);
    }
    for (const wchar_t* outside : {L"C:\\other", L"C:\\", L"C:\\vhostsX\\a", L"C:\\vhosts\\..\\a",
                                   L"C:\\vhosts\\a\\..\\..\\b"}) {
        try {
            MetadataPaths::getRootRelativePath(outside, root, false);
            ADD_FAILURE() << "accepted " << Platform::toUtf8(outside);
        } catch (const Tavrel::RootCorrelationException& e) {
            EXPECT_EQ(e.message(), std::wstring(L"Invalid full path '") + outside +
                                       L"' and root 'C:\\vhosts' correlation.");
            EXPECT_EQ(e.frames().at(0).function, "Tavrel::SecurityManager::getRootRelativePath");
        }
    }
}

TEST(MetadataPaths, FilesScopesAndDirectoryNames) {
    using namespace MetadataPaths;
    const struct {
        std::wstring computed;
        const wchar_t* expected;
    } cases[] = {
        {domainMetadataFile(L"w", L"E:\\b\\"), L"E:\\b\\w\\.tarno\\.Security"},
        {domainMetadataFile(L"", L"E:\\b"), L"E:\\b\\.Security"},
        {webUserMetadataFile(L"w", L"u", L"E:\\b"), L"E:\\b\\w\\.tarno\\.Web.u.Security"},
        {pathMetadataFile(L"C:\\somewhere\\"), L"C:\\somewhere\\.Security"},
        // The root's own file lies in the root; the others count from the base.
        {metadataFileFor(L"", L"D:\\root", L"E:\\b"), L"D:\\root\\.Security"},
        {metadataFileFor(L"w\\web_users", L"D:\\root", L"E:\\b"), L"E:\\b\\w\\.tarno\\.Security"},
        {metadataFileFor(L"w\\Web_Users\\u\\docs", L"D:\\root", L"E:\\b"),
         L"E:\\b\\w\\.tarno\\.Web.u.Security"},
        {metadataFileFor(L"w/httpdocs", L"D:\\root", L"E:\\b"), L"E:\\b\\w\\.tarno\\.Security"},
        {scopeOfSubPath(L"", L"C:\\v"), L""},
        {scopeOfSubPath(L"\\", L"C:\\v"), L""},
        {scopeOfSubPath(L"w\\cgi-bin", L"C:\\v"), L"C:\\v\\w"},
        {scopeOfSubPath(L"w\\web_users", L"C:\\v"), L"C:\\v\\w"},
        {scopeOfSubPath(L"w\\WEB_USERS\\u\\docs", L"C:\\v"), L"C:\\v\\w\\web_users\\u"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.computed, c.expected);
    }
    // Only ".tarno" exactly is the panel's own; every letter case of it reaches the same
    // directory on the disk.
    const struct {
        const wchar_t* directory;
        bool own;
        bool names;
    } directories[] = {
        {L"C:\\v\\w\\.tarno", true, true},   {L"C:\\v\\w\\.tarno\\", true, true},
        {L"C:\\v\\w\\.Tarno", false, true},  {L"C:\\v\\w\\.tarnox", false, false},
        {L"C:\\v\\.tarno\\w", false, false}, {L".tarno", true, true},
    };
    for (const auto& d : directories) {
        EXPECT_EQ(isMetadataDirectory(d.directory), d.own) << Platform::toUtf8(d.directory);
        EXPECT_EQ(namesMetadataDirectory(d.directory), d.names) << Platform::toUtf8(d.directory);
    }
}

// The manager's path operations count from its root and from HTTPD_VHOSTS_D.
class MetadataPathsOfAManager : public ManagerTests::ManagerTest {
protected:
    void SetUp() override { setVhostsRoot("C:\\vhosts"); }
    SecurityManager manager{accounts};
};

TEST_F(MetadataPathsOfAManager, MetadataFileOfAPath) {
    TestSupport::expectCorpus(
        "metadata_file", [&](const std::wstring& path) { return manager.metadataFileFor(path); });
    EXPECT_EQ(SecurityManager::domainMetadataFile(L"w", L"E:\\b\\"),
              L"E:\\b\\w\\.tarno\\.Security");
    // Webspace and web-user files count from HTTPD_VHOSTS_D; only the root's own file lies in
    // a root set apart from it, and follows the root when it moves.
    EXPECT_EQ(manager.metadataFileFor(L"C:\\vhosts"), L"C:\\vhosts\\.Security");
    manager.setRoot(L"D:\\other");
    EXPECT_EQ(manager.metadataFileFor(L"D:\\other"), L"D:\\other\\.Security");
    EXPECT_EQ(manager.metadataFileFor(L"D:\\other\\w\\x"), L"C:\\vhosts\\w\\.tarno\\.Security");
}

TEST_F(MetadataPathsOfAManager, ScopeIsTheWebspaceOrWebUserOfTheFirstSubPath) {
    EXPECT_EQ(manager.scopePath().shown(), L"C:\\vhosts");
    auto scopeOf = [&](std::initializer_list<const wchar_t*> subPaths) {
        SecurityManager m(accounts);
        for (const wchar_t* subPath : subPaths) {
            m.entries()->insert(
                DiskSecurity::EntryTemplate(VSID::wellKnown(WellKnownAccount::Everyone),
                                            L"[HTTPD_VHOSTS_D]", subPath, 0, 0, 0));
        }
        return m.scopePath().shownText();
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
