// What a run writes stays inside the scope it names, however the webspace's user rewrites the
// tree between a run and its undo, and what the first confinement mends refused works again the
// way the panel expects: real tavrel processes on a temporary host, everything outside the
// scope compared byte for byte.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "hosting_fixture.h"

namespace {
using namespace HostingTest;

const std::string other = vhosts + "\\fresh.com";
constexpr std::size_t JournalsKept = 20;
const std::string domainTemplate = "Program Files (x86)/Tarno/etc/hosting_template.xml";

// Metadata that gives Everyone full control of HTTPD_VHOSTS_D\<subPath>.
std::string everyoneEntries(const std::string& subPath) {
    return "<Entries><Entry AccounType=\"0\" Account=\"Everyone\" Path=\"[HTTPD_VHOSTS_D]\" "
           "SubPath=\"" +
           subPath +
           "\" AceFlags=\"ThisFolderSubfoldersAndFiles\" AccessMask=\"FullAccess\" "
           "EntryFlags=\"0x0\" Tag=\"\" Tag2=\"\"/></Entries>";
}

class UndoConfinement : public SecurityCommands {
protected:
    void SetUp() override {
        SecurityCommands::SetUp();
        file("Inetpub/vhosts/fresh.com/httpdocs/index.html");
        file("Inetpub/vhosts/fresh.com/.tarno/.Security", "<Entries/>");
        host_({"acl", "set", other, "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"});
    }
    // Everything on drive C: outside `scope`, the panel's folders included.
    std::string outsideOf(const std::string& scope) { return outside(scope); }
    std::string fileOnC(const std::string& relative) { return readFile(onC(relative)); }
};

// The tenant's own metadata in a folder, saved back by --update-path-security; then the folder
// is swapped for a link to another webspace's metadata folder and the journal restored.
TEST_F(UndoConfinement, ARestoreNeverPutsMetadataBackThroughALink) {
    const std::string sub = webspace + "\\httpdocs\\sub";
    file("Inetpub/vhosts/example/httpdocs/sub/.Security", everyoneEntries("fresh.com"));
    ASSERT_EQ(tavrel({"--update-path-security", "--path=" + sub}).exitCode, 0);
    ASSERT_EQ(journals().size(), 1u);
    fs::path journal = journals()[0];
    // A second run whose journal says that no file was there before: its restore deletes.
    fs::remove(onC("Inetpub/vhosts/example/httpdocs/sub/.Security"));
    ASSERT_EQ(tavrel({"--update-path-security", "--path=" + sub}).exitCode, 0);
    ASSERT_EQ(journals().size(), 2u);
    fs::path deleting = journals()[1];

    fs::remove_all(onC("Inetpub/vhosts/example/httpdocs/sub"));
    fs::create_directory_symlink(onC("Inetpub/vhosts/fresh.com/.tarno"),
                                 onC("Inetpub/vhosts/example/httpdocs/sub"));
    // A second name of the panel's template, and a link to it, planted where a staging copy
    // would go.
    fs::create_hard_link(onC(domainTemplate), onC("Inetpub/vhosts/fresh.com/.tarno/.Security.restoring"));
    const std::string templateBefore = fileOnC(domainTemplate);
    const std::string otherMetadata = fileOnC("Inetpub/vhosts/fresh.com/.tarno/.Security");
    const std::string before = outsideOf(sub);
    for (const fs::path& j : {journal, deleting}) {
        SCOPED_TRACE(j.filename().string());
        ProcessResult r = restore(j);
        EXPECT_EQ(r.exitCode, 1) << r.out;
        EXPECT_NE(log().find("is a link, another reparse point or a file"), std::string::npos);
        EXPECT_EQ(fileOnC("Inetpub/vhosts/fresh.com/.tarno/.Security"), otherMetadata);
        EXPECT_EQ(fileOnC(domainTemplate), templateBefore);
        EXPECT_EQ(outsideOf(sub), before);
    }
}

TEST_F(UndoConfinement, JournalsAreTakenOnlyFromTheJournalsFolder) {
    host_({"acl", "set", webspace + "\\httpdocs", "D:P(A;OICI;FA;;;WD)"});
    ASSERT_EQ(repair().exitCode, 0);
    ASSERT_EQ(journals().size(), 1u);
    std::string text = readFile(journals()[0]);
    // The tenant's copy in its own httpdocs, its scope and paths turned to another webspace.
    std::string forged = text;
    for (std::size_t at; (at = forged.find("\\example")) != std::string::npos;) {
        forged.replace(at, 8, "\\fresh.com");
    }
    for (std::size_t at; (at = forged.find("webspace\texample")) != std::string::npos;) {
        forged.replace(at, 16, "webspace\tfresh.com");
    }
    writeFile(onC("Inetpub/vhosts/example/httpdocs/undo.journal"), forged);
    // And links into the journals' folder.
    fs::create_symlink(journals()[0], journalDirectory() / "linked.journal");
    fs::create_hard_link(journals()[0], journalDirectory() / "second.journal");
    const std::string before = outside(vhosts);
    const std::string inside = tree(vhosts);
    const struct {
        const char* name;
        std::string journal;
        const char* says;
    } cases[] = {
        {"in a webspace", webspace + "\\httpdocs\\undo.journal", "journals are taken only from"},
        {"a link", windowsPath(journalDirectory() / "linked.journal"), "is a link"},
        {"a second name", windowsPath(journalDirectory() / "second.journal"), "has 2 names"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ProcessResult r = tavrel({"--restore-security", "--journal=" + c.journal});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
        EXPECT_EQ(tree(vhosts), inside);
        EXPECT_EQ(outside(vhosts), before);
    }
}

TEST_F(UndoConfinement, TheTenantsOwnTarnoBecomesThePanels) {
    // Made by the webspace's user before the first repair, with a file of its own in it.
    std::string exuser = host_({"account", "list"});
    exuser = exuser.substr(exuser.find("S-1-5-21", exuser.find("exuser")));
    exuser = exuser.substr(0, exuser.find_first_of(" \t\n"));
    file("Inetpub/vhosts/example/.tarno/.Security", "<Entries/>");
    // The DACL lets the tool in: only the owner stays the tenant's, and a check-only run, which
    // writes no DACL, must still take it back.
    host_({"acl", "set", webspace + "\\.tarno",
           "O:" + exuser + "D:P(A;OICI;FA;;;" + exuser + ")(A;OICI;FA;;;SY)"});
    host_({"acl", "set", webspace + "\\.tarno\\.Security", "O:" + exuser + "D:(A;;FA;;;" + exuser + ")"});
    ASSERT_EQ(repair({"--check-only"}).exitCode, 0);
    for (const std::string& object : {webspace + "\\.tarno", webspace + "\\.tarno\\.Security"}) {
        std::string sddl = host_({"acl", "get", object});
        EXPECT_TRUE(sddl.rfind("O:BA", 0) == 0 || sddl.rfind("O:SY", 0) == 0) << object << sddl;
    }
}

TEST_F(UndoConfinement, ScopesThatFoldAlikeKeepTheirOwnJournals) {
    file("Inetpub/vhosts/müller.de/index.html");
    file("Inetpub/vhosts/möller.de/index.html");
    auto repairOf = [&](const std::string& name) {
        host_({"acl", "set", vhosts + "\\" + name, "D:P(A;OICI;FA;;;WD)"});
        return tavrel({"--repair-webspace-security", "--webspace-name=" + name,
                       "--user-name=exuser"});
    };
    ASSERT_EQ(repairOf("müller.de").exitCode, 0);
    ASSERT_EQ(journals().size(), 1u);
    std::string name = journals()[0].filename().string();
    std::string tag = name.substr(name.find('-', 21));
    // 25 older journals of müller.de; 21 runs of möller.de must leave every one of them.
    for (int i = 0; i < 25; ++i) {
        writeFile(journalDirectory() / ("20200101T0000" + std::string(i < 10 ? "0" : "") +
                                        std::to_string(i) + ".000Z-1" + tag),
                  "#tavrel-journal\t1\r\n");
    }
    for (int i = 0; i < 21; ++i) {
        ASSERT_EQ(repairOf("möller.de").exitCode, 0);
    }
    std::size_t mueller = 0;
    for (const fs::path& j : journals()) {
        mueller += j.filename().string().ends_with(tag);
    }
    EXPECT_EQ(mueller, 26u);
    EXPECT_EQ(journals().size(), 26u + JournalsKept);
}

TEST_F(UndoConfinement, TheReportIsReachedWithoutALinkAndMadeOnlyForALine) {
    fs::create_directory_symlink(onC("Program Files (x86)/Tarno/etc"),
                                 onC("Inetpub/vhosts/example/httpdocs/rep"));
    const std::string templateBefore = fileOnC(domainTemplate);
    const std::string inside = tree();
    ProcessResult r = repair({"--check-only", "--report-file=" + webspace +
                                                  "\\httpdocs\\rep\\hosting_template.xml"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("is a link, another reparse point or a file"), std::string::npos)
        << r.out;
    EXPECT_EQ(fileOnC(domainTemplate), templateBefore);
    EXPECT_EQ(tree(), inside);
    fs::remove(onC("Inetpub/vhosts/example/httpdocs/rep"));

    // A run that reports nothing leaves no report; one that reports makes it.
    ASSERT_EQ(repair().exitCode, 0);
    ASSERT_EQ(repair({"--check-only", "--report-file=C:\\quiet.txt"}).exitCode, 0);
    EXPECT_FALSE(fs::exists(onC("quiet.txt")));
    host_({"acl", "set", webspace + "\\httpdocs", "D:P(A;OICI;FA;;;WD)"});
    ProcessResult loud = repair({"--check-only", "--full-scan", "--report-file=C:\\loud.txt"});
    ASSERT_EQ(loud.exitCode, 0) << loud.out;
    EXPECT_NE(readFile(onC("loud.txt")).find(webspace + "\\httpdocs\r\n"), std::string::npos)
        << log();
}

TEST_F(UndoConfinement, NothingIsCreatedThroughALinkedArea) {
    fs::create_directories(onC("target"));
    fs::create_directory_symlink(onC("target"), onC("Inetpub/vhosts/fs"));
    file("Program Files (x86)/Tarno/etc/FilesharingRules.xml", everyoneEntries("fs"));
    ProcessResult r = tavrel({"--repair-filesharing"});
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_FALSE(fs::exists(onC("target/.tarno")));
}

// What the confinement work refused, the panel's way again: the directories a run names are
// made when their entries ask, lists are read where the panel reads them, and every metadata
// save is journaled.
TEST_F(UndoConfinement, TheDirectoriesARunNamesAreMadeWhenTheirEntriesAskForThem) {
    // A web user without a folder: the web-user template's entry on its folder makes it.
    writeFile(onC("users.txt"), "u3\n");
    host_({"account", "add", "u3"});
    ProcessResult users = repair({"--web-users=C:\\users.txt"});
    EXPECT_EQ(users.exitCode, 0) << users.out;
    EXPECT_TRUE(fs::is_directory(onC("Inetpub/vhosts/example/web_users/u3")));

    // A new webspace: the domain template builds it; an update, which has no entries that
    // could, fails on it.
    host_({"account", "add", "newuser"});
    host_({"account", "add", "IWPG_newuser"});
    ProcessResult created = tavrel({"--repair-webspace-security", "--webspace-name=new.com",
                                    "--user-name=newuser"});
    EXPECT_EQ(created.exitCode, 0) << created.out;
    EXPECT_TRUE(fs::is_directory(onC("Inetpub/vhosts/new.com/cgi-bin")));
    EXPECT_TRUE(fs::exists(onC("Inetpub/vhosts/new.com/.tarno/.Security")));
    ProcessResult update = tavrel({"--update-webspace-security", "--webspace-name=nosuch.com"});
    EXPECT_EQ(update.exitCode, 1);
    EXPECT_FALSE(fs::exists(onC("Inetpub/vhosts/nosuch.com")));

    // The file-sharing area on a fresh host, and a new vhost of a user command.
    file("Program Files (x86)/Tarno/etc/FilesharingRules.xml",
         "<Entries><Entry AccounType=\"0\" Account=\"Administrators\" Path=\"[HTTPD_VHOSTS_D]\" "
         "SubPath=\"fs\" AceFlags=\"ThisFolderSubfoldersAndFiles\" AccessMask=\"FullAccess\" "
         "EntryFlags=\"0x40\" Tag=\"\" Tag2=\"\"/></Entries>");
    EXPECT_EQ(tavrel({"--repair-filesharing"}).exitCode, 0);
    EXPECT_TRUE(fs::is_directory(onC("Inetpub/vhosts/fs")));
    file("Program Files (x86)/Tarno/etc/share.xml",
         "<Entries><Entry AccounType=\"0\" Account=\"Null\" Path=\"[HTTPD_VHOSTS_D]\" "
         "AceFlags=\"ThisFolderSubfoldersAndFiles\" AccessMask=\"Read\" EntryFlags=\"0x40\" "
         "Tag=\"User\" Tag2=\"\"/></Entries>");
    ProcessResult vhost =
        tavrel({"--update-user-filesharing-security", "--vhost-name=newvhost", "--user=u1",
                "--user-id=7", "--template=share.xml", "--private-template="});
    EXPECT_EQ(vhost.exitCode, 0) << vhost.out;
    EXPECT_TRUE(fs::is_directory(onC("Inetpub/vhosts/newvhost")));
}

TEST_F(UndoConfinement, ListsAreReadWhereThePanelReadsThem) {
    writeFile(onC("nul.txt"), std::string("u1\0u2", 5));
    ASSERT_EQ(::mkfifo(onC("fifo.txt").c_str(), 0666), 0);
    const struct {
        const char* list;
        const char* says;
    } cases[] = {
        {"C:\\nosuch.txt", "Unable to open the list file"},
        {"C:\\nul.txt", "holds a NUL character"},
        {"C:\\fifo.txt", "not supported"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.list);
        fs::remove_all(onC("Inetpub/vhosts/example/.tarno"));
        host_({"acl", "set", webspace + "\\httpdocs", "D:P(A;OICI;FA;;;WD)"});
        const std::string wrong = host_({"acl", "get", webspace + "\\httpdocs"});
        // The webspace is repaired and saved; then the list fails the run.
        ProcessResult r = repair({"--full-scan", std::string("--web-users=") + c.list});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
        EXPECT_TRUE(fs::exists(onC("Inetpub/vhosts/example/.tarno/.Security")));
        EXPECT_NE(host_({"acl", "get", webspace + "\\httpdocs"}), wrong);
    }
}

TEST_F(UndoConfinement, ACheckOnlySaveIsJournaledApart) {
    ASSERT_EQ(repair().exitCode, 0);
    ASSERT_EQ(journals().size(), 1u);
    const std::string saved = metadata();
    writeFile(onC("Inetpub/vhosts/example/.tarno/.Security"), "<Entries/>");
    ASSERT_EQ(repair({"--check-only"}).exitCode, 0);
    ASSERT_EQ(journals().size(), 2u);
    fs::path checkOnly = journals()[1];
    EXPECT_TRUE(checkOnly.filename().string().ends_with(".check.journal")) << checkOnly;
    EXPECT_NE(readFile(checkOnly).find("#metadata\t" + webspace + "\\.tarno\\.Security\t"),
              std::string::npos);
    ProcessResult restored = restore(checkOnly);
    EXPECT_EQ(restored.exitCode, 0) << restored.out;
    EXPECT_EQ(metadata(), "<Entries/>");
    (void)saved;
}

// Two spellings of one webspace wait for each other: a file-sharing user command on
// "EXAMPLE" journals and locks as "example" does.
TEST_F(UndoConfinement, NamesAreTakenAsTheDiskSpellsThem) {
    file("Program Files (x86)/Tarno/etc/share.xml",
         "<Entries><Entry AccounType=\"0\" Account=\"Null\" Path=\"[HTTPD_VHOSTS_D]\" "
         "AceFlags=\"ThisFolderSubfoldersAndFiles\" AccessMask=\"Read\" EntryFlags=\"0x0\" "
         "Tag=\"User\" Tag2=\"\"/></Entries>");
    ProcessResult r = tavrel({"--update-user-filesharing-security", "--vhost-name=EXAMPLE",
                              "--user=u1", "--user-id=7", "--template=share.xml",
                              "--private-template="});
    ASSERT_EQ(r.exitCode, 0) << r.out;
    ASSERT_EQ(journals().size(), 1u);
    EXPECT_NE(readFile(journals()[0]).find("#scope\twebspace\texample\r\n"), std::string::npos);
    EXPECT_NE(metadata().find("Tag2=\"7\""), std::string::npos);
}

// A web user's folder is written by the webspace pass and by the web user's pass: the restore
// gives back what the run found, the first record of it.
TEST_F(UndoConfinement, AnObjectRecordedTwiceGetsWhatTheRunFound) {
    const std::string folder = webspace + "\\web_users\\u1";
    host_({"acl", "set", folder, "D:P(A;OICI;FA;;;WD)"});
    const std::string before = host_({"acl", "get", folder});
    writeFile(onC("users.txt"), "u1\n");
    ASSERT_EQ(repair({"--full-scan", "--web-users=C:\\users.txt"}).exitCode, 0);
    ASSERT_EQ(journals().size(), 1u);
    std::string text = readFile(journals()[0]);
    EXPECT_GE(count(text, folder + "\t"), 2u) << text;
    ASSERT_EQ(restore(journals()[0]).exitCode, 0);
    EXPECT_EQ(host_({"acl", "get", folder}), before);
}

// The whole promise of the undo: after a repair and an --update-path-security the tenant
// rewrites its tree; each restore changes nothing outside its scope, and inside it restores or
// refuses by name with exit 1.
TEST_F(UndoConfinement, AHostileTreeCannotTurnTheUndoOutward) {
    const std::string sub = webspace + "\\httpdocs\\sub";
    file("Inetpub/vhosts/example/httpdocs/sub/page.html");
    file("Inetpub/vhosts/example/httpdocs/sub/.Security", everyoneEntries("example\\httpdocs\\sub"));
    host_({"acl", "set", webspace + "\\httpdocs", "D:P(A;OICI;FA;;;WD)"});
    ASSERT_EQ(repair({"--full-scan"}).exitCode, 0);
    ASSERT_EQ(tavrel({"--update-path-security", "--path=" + sub}).exitCode, 0);
    std::vector<fs::path> runs = journals();
    ASSERT_EQ(runs.size(), 2u);

    // Every folder on the recorded paths swapped for a link elsewhere, staging names planted,
    // .tarno granted to everyone again.
    fs::rename(onC("Inetpub/vhosts/example/httpdocs"), onC("Inetpub/vhosts/example/moved"));
    fs::create_directory_symlink(onC("Inetpub/vhosts/fresh.com/httpdocs"),
                                 onC("Inetpub/vhosts/example/httpdocs"));
    fs::create_directory_symlink(onC("Program Files (x86)/Tarno/etc"),
                                 onC("Inetpub/vhosts/example/moved/sub/etc"));
    fs::create_hard_link(onC(domainTemplate), onC("Inetpub/vhosts/example/.tarno/~tvr00000000.tmp"));
    fs::create_symlink(onC(domainTemplate), onC("Inetpub/vhosts/example/.tarno/.Security.restoring"));
    host_({"acl", "set", webspace + "\\.tarno", "D:(A;OICI;FA;;;WD)"});
    const std::string templateBefore = fileOnC(domainTemplate);
    const std::string before = outsideOf(webspace);
    for (const fs::path& run : runs) {
        SCOPED_TRACE(run.filename().string());
        ProcessResult r = restore(run);
        EXPECT_EQ(outsideOf(webspace), before);
        EXPECT_EQ(fileOnC(domainTemplate), templateBefore);
        // The objects behind the swapped folder are refused by name.
        EXPECT_EQ(r.exitCode, 1) << r.out;
        EXPECT_NE(log().find(webspace + "\\httpdocs"), std::string::npos);
    }

    // The metadata folder itself swapped for a link to another webspace's: the repair's
    // metadata is not put back there.
    fs::remove_all(onC("Inetpub/vhosts/example/.tarno"));
    fs::create_directory_symlink(onC("Inetpub/vhosts/fresh.com/.tarno"),
                                 onC("Inetpub/vhosts/example/.tarno"));
    const std::string otherMetadata = fileOnC("Inetpub/vhosts/fresh.com/.tarno/.Security");
    ProcessResult r = restore(runs[0]);
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_NE(log().find("The folder " + webspace + "\\.tarno is a link"), std::string::npos);
    EXPECT_EQ(fileOnC("Inetpub/vhosts/fresh.com/.tarno/.Security"), otherMetadata);
    EXPECT_EQ(outsideOf(webspace), before);
}

}  // namespace

// A folder of the webspace renamed out of it while a repair walks it, a link to another webspace
// put in its place: the walk holds the folder without delete sharing, so a program of the host
// cannot rename it, as none can on Windows, and nothing outside the webspace changes; renamed
// by a program outside the host, the walk goes on in the folder it holds, never through the link.
TEST_F(UndoConfinement, AFolderRenamedAwayDuringARepairLeadsNoWriteOutside) {
    const std::string moved = webspace + "\\httpdocs\\moved";
    const fs::path away = onC("Inetpub/away");
    // Where the link leads holds files of the same names, which a walk by path would reach.
    const std::string target = onC("Inetpub/vhosts/fresh.com/httpdocs").string();
    file("Inetpub/vhosts/fresh.com/httpdocs/a.html");
    file("Inetpub/vhosts/fresh.com/httpdocs/b.html");
    for (const std::string kind : {"move-away", "move-away-natively"}) {
        SCOPED_TRACE(kind);
        fs::remove_all(away);
        fs::remove_all(onC("Inetpub/vhosts/example/httpdocs/moved"));
        file("Inetpub/vhosts/example/httpdocs/moved/a.html");
        file("Inetpub/vhosts/example/httpdocs/moved/b.html");
        host_({"acl", "set", moved + "\\b.html", "D:P(A;;FA;;;WD)"});
        const std::string wrong = host_({"acl", "get", moved + "\\b.html"});
        const std::string before = outside();
        const std::string otherBefore = host_({"acl", "get", other, "--tree", "--sddl"});
        ProcessResult r = runProgram(
            "tavrel",
            {"--repair-webspace-security", "--webspace-name=example", "--user-name=exuser",
             "--full-scan"},
            {"TAVREL_FAULTS=" + kind + ":b.html:" + away.string() + ":" + target});
        EXPECT_EQ(host_({"acl", "get", other, "--tree", "--sddl"}), otherBefore);
        if (kind == "move-away") {
            EXPECT_EQ(r.exitCode, 0) << r.out << log();
            EXPECT_FALSE(fs::exists(away));
            EXPECT_EQ(outside(), before);
            EXPECT_NE(host_({"acl", "get", moved + "\\b.html"}), wrong);  // still repaired
        }
    }
}
