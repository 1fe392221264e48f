// Expanding templates: roles bound to real accounts, sub paths placed below the webspace, the
// manager bound to the right metadata file, repeated expansions that change nothing, and
// names that could lead out of the webspace.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

#include "disksecurity/entry_collection.h"
#include "disksecurity/security_checker.h"
#include "manager/security_manager.h"
#include "manager_fixture.h"
#include "platform/dtyp/sddl.h"
#include "platform/dtyp/security_descriptor.h"
#include "platform/security.h"

namespace {
namespace fs = std::filesystem;
using Tavrel::SecurityManager;

const std::wstring etc = L"C:\\Program Files (x86)\\Tarno\\etc";
const std::wstring domainTemplate = etc + L"\\hosting_template.xml";
const std::wstring webUserTemplate = etc + L"\\webuser_template.xml";

class TemplateExpansion : public ManagerTests::ManagerTest {
protected:
    void SetUp() override {
        for (const char* name : {"exuser", "IWPG_exuser", "u1"}) {
            sids[name] = hostTool({"account", "add", name});
        }
        sids["ftp_subaccounts"] = hostTool({"account", "add", "ftp_subaccounts", "--group"});
        SecurityManager domain(accounts);
        domain.createDomainTemplate();
        domain.saveToFile(domainTemplate);
        SecurityManager webUser(accounts);
        webUser.createWebUserTemplate();
        webUser.saveToFile(webUserTemplate);
    }
    std::string sidOf(const DiskSecurity::EntryTemplate& entry) {
        return Platform::toUtf8(entry.account.toString());
    }
    // A template file in the panel's etc directory with the given "Entry" elements.
    std::wstring writeTemplate(const std::wstring& name, const std::string& entries) {
        TestSupport::writeFile(onDisk(etc + L"\\" + name), "<Entries>" + entries + "</Entries>");
        return etc + L"\\" + name;
    }
    std::map<std::string, std::string> sids;
};

TEST_F(TemplateExpansion, DomainTemplateForOneWebspace) {
    SecurityManager manager(accounts);
    manager.expandWebspaceTemplate(L"example", L"exuser", domainTemplate);
    ASSERT_EQ(manager.entries()->size(), 39u);
    EXPECT_EQ(manager.metadataPath(), L"C:\\Inetpub\\vhosts\\example\\.tarno\\.Security");
    EXPECT_EQ(manager.entries()->sourcePath(), manager.metadataPath());
    const std::map<std::wstring, std::string> accountOf{{L"DomainUser", "exuser"},
                                                        {L"AnonymousDomainUser", "IWPG_exuser"},
                                                        {L"FtpSubaccounts", "ftp_subaccounts"}};
    std::set<std::wstring> subPaths;
    for (const auto& entry : *manager.entries()) {
        subPaths.insert(entry.subPath);
        EXPECT_EQ(entry.path, L"[HTTPD_VHOSTS_D]");
        EXPECT_EQ(sidOf(entry), sids[accountOf.at(entry.tag)]) << Platform::toUtf8(entry.tag);
    }
    EXPECT_EQ(subPaths, (std::set<std::wstring>{
                            L"example", L"example\\cgi-bin", L"example\\error_docs",
                            L"example\\logs", L"example\\logs\\iis",
                            L"example\\logs\\FailedRequests", L"example\\logs\\php_errors",
                            L"example\\.tarno", L"example\\.tarno\\statistics"}));
}

// Every object below `root` (POSIX) with its DACL as SDDL, by Windows path.
std::map<std::wstring, std::wstring> daclsBelow(const fs::path& root, const std::wstring& winRoot) {
    std::map<std::wstring, std::wstring> dacls;
    auto add = [&](const std::wstring& path) {
        std::vector<std::uint8_t> descriptor;
        EXPECT_EQ(Platform::getNamedSecurityInfo(path, Platform::SeFileObject,
                                                 Platform::SecurityInformation::Dacl, descriptor),
                  0u);
        auto sd = Platform::Dtyp::decodeSecurityDescriptor(descriptor);
        dacls[path] =
            sd ? Platform::Dtyp::toSddl(*sd, nullptr, Platform::Dtyp::SddlPart::Dacl) : L"?";
    };
    add(winRoot);
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        std::wstring relative = Platform::fromUtf8(fs::relative(item.path(), root).string());
        std::replace(relative.begin(), relative.end(), L'/', L'\\');
        add(winRoot + L"\\" + relative);
    }
    return dacls;
}

TEST_F(TemplateExpansion, AWebspaceSecuredFromTheDomainTemplateConverges) {
    using namespace DiskSecurity;
    SecurityManager manager(accounts);
    manager.expandWebspaceTemplate(L"example", L"exuser", domainTemplate);
    const std::wstring webspace = L"C:\\Inetpub\\vhosts\\example";
    fs::path posix = onDisk(webspace);
    for (const char* file :
         {"httpdocs/index.html", "httpdocs/img/logo.png", "cgi-bin/run.pl", "logs/iis/access.log",
          "error_docs/404.html", "private/notes.txt", "web_users/u1/page.html"}) {
        fs::create_directories((posix / file).parent_path());
        TestSupport::writeFile(posix / file, "x");
    }
    hostTool({"acl", "set", "C:\\Inetpub\\vhosts\\example\\httpdocs", "D:P(A;OICI;FA;;;WD)"});

    auto run = [&](CheckMode mode) {
        TarnoComponentResolver resolver;
        auto collection =
            RealEntryCollection(*manager.entries()).getPathEntryCollection(webspace, resolver);
        auto root = std::make_shared<SecurityInformation>(collection);
        Callback callback;
        CompleteChecker checker(callback, CheckerOptions{mode, true, false}, nullptr);
        checker.checkPathSecurity(root, VPath(webspace));
        return checker.counts();
    };
    CheckerCounts first = run(CheckMode::Repair);
    EXPECT_GT(first.written, 0u);
    EXPECT_EQ(first.failed, 0u);
    auto repaired = daclsBelow(posix, webspace);
    EXPECT_EQ(first.checked, repaired.size());
    // The system user reaches every object; the foreign grant on httpdocs stays where it was set.
    std::wstring userSid = Platform::fromUtf8(sids["exuser"]);
    for (const auto& [path, sddl] : repaired) {
        EXPECT_NE(sddl.find(userSid), std::wstring::npos)
            << Platform::toUtf8(path) << " " << Platform::toUtf8(sddl);
    }
    EXPECT_NE(repaired[webspace + L"\\httpdocs"].find(L";WD)"), std::wstring::npos);

    EXPECT_EQ(run(CheckMode::CheckOnly).wrong, 0u);
    EXPECT_EQ(run(CheckMode::Repair).written, 0u);
    EXPECT_EQ(daclsBelow(posix, webspace), repaired);
}

// A walk outside the directory a manager is confined to is refused by the manager itself,
// whatever path a caller hands it: another webspace, a path that climbs out, the root above.
TEST_F(TemplateExpansion, AConfinedManagerRefusesToWalkOutside) {
    SecurityManager manager(accounts);
    manager.expandWebspaceTemplate(L"example", L"exuser", domainTemplate);
    fs::create_directories(onDisk(L"C:\\Inetpub\\vhosts\\example\\httpdocs"));
    fs::create_directories(onDisk(L"C:\\Inetpub\\vhosts\\other\\httpdocs"));
    hostTool({"acl", "set", "C:\\Inetpub\\vhosts\\other", "D:P(A;OICI;FA;;;WD)"});
    const std::string before = hostTool({"acl", "get", "C:\\Inetpub\\vhosts", "--tree"});
    manager.confineTo(VPath(L"C:\\Inetpub\\vhosts\\example"));
    for (const wchar_t* path :
         {L"C:\\Inetpub\\vhosts\\other", L"C:\\Inetpub\\vhosts\\example\\..\\other\\httpdocs",
          L"C:\\Inetpub\\vhosts", L"C:\\Inetpub\\vhosts\\examplex"}) {
        SCOPED_TRACE(Platform::toUtf8(path));
        try {
            manager.applyCompleteSecurity(VPath(path), nullptr, DiskSecurity::CheckMode::Repair,
                                          true);
            ADD_FAILURE() << "walked outside its confinement";
        } catch (const vexception& e) {
            EXPECT_NE(e.message().find(L"which this run may change"), std::wstring::npos)
                << Platform::toUtf8(e.message());
        }
    }
    EXPECT_EQ(hostTool({"acl", "get", "C:\\Inetpub\\vhosts", "--tree"}), before);
}

TEST_F(TemplateExpansion, TheAnonymousAccountComesFromTheSystemUsersAccountPart) {
    Platform::UserModalsInfo2 machine;
    ASSERT_EQ(Platform::netUserModalsGet2(L"", machine), 0u);
    SecurityManager manager(accounts);
    manager.expandWebspaceTemplate(L"example", machine.domainName + L"\\exuser", domainTemplate);
    int anonymous = 0;
    for (const auto& entry : *manager.entries()) {
        if (entry.tag == L"AnonymousDomainUser") {
            EXPECT_EQ(sidOf(entry), sids["IWPG_exuser"]);
            ++anonymous;
        }
    }
    EXPECT_GT(anonymous, 0);
    SecurityManager refused(accounts);
    EXPECT_THROW(refused.expandWebspaceTemplate(L"example", L"exuser\\", domainTemplate),
                 vexception);
}

TEST_F(TemplateExpansion, WebUserTemplateForOneWebUser) {
    SecurityManager manager(accounts);
    manager.expandWebUserTemplate(L"example", L"exuser", L"u1", webUserTemplate);
    ASSERT_EQ(manager.entries()->size(), 5u);
    EXPECT_EQ(manager.metadataPath(), L"C:\\Inetpub\\vhosts\\example\\.tarno\\.Web.u1.Security");
    std::multiset<std::string> accountsByTag;
    for (const auto& entry : *manager.entries()) {
        EXPECT_EQ(entry.subPath, L"example\\web_users\\u1");
        accountsByTag.insert(Platform::toUtf8(entry.tag) + "=" + sidOf(entry));
    }
    EXPECT_EQ(accountsByTag,
              (std::multiset<std::string>{"ParentUser=" + sids["exuser"],
                                          "DomainUser=" + sids["u1"], "DomainUser=" + sids["u1"],
                                          "AnonymousDomainUser=" + sids["IWPG_exuser"],
                                          "FtpSubaccounts=" + sids["ftp_subaccounts"]}));
}

TEST_F(TemplateExpansion, TagWithoutBindingStopsTheExpansion) {
    // Tags match case-sensitively. The untagged entry orders first and keeps its account.
    std::wstring file = writeTemplate(
        L"odd.xml",
        "<Entry Account=\"Administrators\" Path=\"[HTTPD_VHOSTS_D]\" AccessMask=\"FullAccess\"/>"
        "<Entry Account=\"Null\" Path=\"[HTTPD_VHOSTS_D]\" SubPath=\"x\" Tag=\"domainuser\"/>");
    SecurityManager manager(accounts);
    try {
        manager.expandWebspaceTemplate(L"example", L"exuser", file);
        FAIL() << "bound an unknown tag";
    } catch (const vexception& e) {
        EXPECT_EQ(e.message(), L"Unable to find account for TAG: domainuser");
        EXPECT_EQ(e.frames().at(0).function, "Tavrel::SecurityManager::_expandTemplate");
    }
    ASSERT_EQ(manager.entries()->size(), 1u);
    EXPECT_EQ(manager.entries()->begin()->account,
              VSID::wellKnown(WellKnownAccount::Administrators));
    EXPECT_TRUE(manager.metadataPath().empty());
    // The file-sharing area binds no role at all.
    EXPECT_THROW(SecurityManager(accounts).expandFileSharingTemplate(L"fs", domainTemplate),
                 vexception);
}

TEST_F(TemplateExpansion, RepeatedRepairLeavesTheMetadataFileUnchanged) {
    // What a repair does: load the webspace's metadata, expand the template over it, save.
    auto repair = [&] {
        SecurityManager manager(accounts);
        Tavrel::loadDomainMetadata(L"example", manager);
        manager.expandWebspaceTemplate(L"example", L"exuser", domainTemplate);
        manager.expandWebspaceTemplate(L"example", L"exuser", domainTemplate);
        manager.saveToFile(L"");
        return manager.entries()->size();
    };
    const fs::path file = onDisk(L"C:\\Inetpub\\vhosts\\example\\.tarno\\.Security");
    EXPECT_EQ(repair(), 39u);
    std::string first = TestSupport::readFile(file);
    EXPECT_EQ(repair(), 39u);
    EXPECT_EQ(TestSupport::readFile(file), first);
}

TEST_F(TemplateExpansion, FileSharingTemplates) {
    writeTemplate(
        L"a.xml",
        "<Entry Account=\"Null\" Path=\"[HTTPD_VHOSTS_D]\" SubPath=\"docs\" Tag=\"User\"/>"
        "<Entry Account=\"Null\" Path=\"[HTTPD_VHOSTS_D]\" Tag=\"FtpSubaccounts\"/>");
    SecurityManager user(accounts);
    user.expandUserFileSharingTemplate(L"fs", L"fs\\private\\7", L"u1", L"7", L"a.xml");
    // The commands pass the template already joined to the etc directory; that join holds.
    user.expandUserFileSharingTemplate(L"fs", L"fs", L"u1", L"7", etc + L"\\a.xml");
    EXPECT_EQ(user.metadataPath(), L"C:\\Inetpub\\vhosts\\fs\\.tarno\\.Security");
    std::set<std::string> seen;
    for (const auto& entry : *user.entries()) {
        EXPECT_EQ(entry.tag2, L"7");
        seen.insert(Platform::toUtf8(entry.subPath) + "=" + sidOf(entry));
    }
    EXPECT_EQ(seen,
              (std::set<std::string>{"fs\\private\\7\\docs=" + sids["u1"],
                                     "fs\\private\\7=" + sids["ftp_subaccounts"],
                                     "fs\\docs=" + sids["u1"], "fs=" + sids["ftp_subaccounts"]}));

    // The area itself: untagged entries keep account and sub path, the root's included.
    std::wstring rules =
        writeTemplate(L"FilesharingRules.xml",
                      "<Entry Account=\"Users\" Path=\"[HTTPD_VHOSTS_D]\" SubPath=\"fs\\shared\"/>"
                      "<Entry Account=\"Administrators\" Path=\"[HTTPD_VHOSTS_D]\"/>");
    SecurityManager area(accounts);
    area.expandFileSharingTemplate(L"fs", rules);
    ASSERT_EQ(area.entries()->size(), 2u);
    EXPECT_EQ(area.entries()->begin()->subPath, L"");
    EXPECT_EQ(std::next(area.entries()->begin())->subPath, L"fs\\shared");
}

TEST_F(TemplateExpansion, RemovingEntriesMatchesBothTagsIgnoringCase) {
    auto entry = [](const wchar_t* subPath, const wchar_t* tag, const wchar_t* tag2) {
        return DiskSecurity::EntryTemplate(VSID::wellKnown(WellKnownAccount::Everyone),
                                           L"[HTTPD_VHOSTS_D]", subPath, 3, 0x120089, 0x140, tag,
                                           tag2);
    };
    SecurityManager main(accounts);
    main.entries()->setSourcePath(L"C:\\source.xml");
    for (auto e :
         {entry(L"a", L"User", L"u7"), entry(L"b", L"USER", L"U7"), entry(L"c", L"user", L"u8"),
          entry(L"d", L"DomainUser", L"u7"), entry(L"e", L"", L"")}) {
        main.entries()->insert(e);
    }
    SecurityManager other(accounts);
    other.entries()->insert(entry(L"zzz", L"uSeR", L"u7"));
    main.removeEntriesOf(other);
    std::set<std::wstring> kept;
    for (const auto& e : *main.entries()) {
        kept.insert(e.subPath);
    }
    EXPECT_EQ(kept, (std::set<std::wstring>{L"c", L"d", L"e"}));
    EXPECT_EQ(main.entries()->sourcePath(), L"C:\\source.xml");
}

TEST_F(TemplateExpansion, NamesThatAreNoPlainComponentAreRefusedBeforeAnyWork) {
    for (const std::wstring bad : {L"..", L"a\\b", L"C:x", L""}) {
        SecurityManager manager(accounts);
        auto refused = [&](auto&& expand, const std::wstring& parameter) {
            try {
                expand();
                ADD_FAILURE() << "accepted '" << Platform::toUtf8(bad) << "' as "
                              << Platform::toUtf8(parameter);
            } catch (const vexception& e) {
                EXPECT_EQ(e.message().rfind(L"Invalid " + parameter + L" '" + bad + L"'", 0), 0u);
            }
        };
        refused([&] { manager.expandWebspaceTemplate(bad, L"exuser", domainTemplate); },
                L"webspace name");
        refused([&] { manager.expandWebUserTemplate(L"example", L"exuser", bad, webUserTemplate); },
                L"web user name");
        refused([&] { manager.expandFileSharingTemplate(bad, domainTemplate); }, L"vhost name");
        if (!bad.empty()) {
            refused([&] { manager.expandUserFileSharingTemplate(L"fs", L"fs", L"u1", bad, L"a"); },
                    L"user id");
        }
        EXPECT_TRUE(manager.entries()->empty());
        EXPECT_TRUE(manager.metadataPath().empty());
    }
    EXPECT_TRUE(fs::is_empty(onDisk(L"C:\\Inetpub\\vhosts")));
}

}  // namespace
