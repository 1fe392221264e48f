// The journal, --restore-security and --audit-webspace-security end to end: real tavrel
// processes on a temporary host, descriptors compared as tavrel-host prints them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "hosting_fixture.h"

namespace {
using namespace HostingTest;

class UndoAudit : public SecurityCommands {
protected:
    void SetUp() override {
        SecurityCommands::SetUp();
        host_({"acl", "set", webspace + "\\httpdocs", "D:P(A;OICI;FA;;;WD)(A;OICI;FA;;;SY)"});
        host_({"acl", "set", webspace + "\\cgi-bin\\run.pl", "D:P(D;;FA;;;BU)(A;;FA;;;BA)"});
    }
    // The lines of `now` for the objects that `then` lists: a restore gives back descriptors,
    // and leaves the folders a repair created (they may hold files by now).
    static std::string sameObjects(const std::string& now, const std::string& then) {
        std::string kept;
        for (std::size_t begin = 0, end; (end = now.find('\n', begin)) != std::string::npos;
             begin = end + 1) {
            std::string line = now.substr(begin, end - begin + 1);
            if (then.find("\n" + line.substr(0, line.find(' ') + 1)) != std::string::npos ||
                then.rfind(line.substr(0, line.find(' ') + 1), 0) == 0) {
                kept += line;
            }
        }
        return kept;
    }
    // The object lines of a journal.
    static std::vector<std::string> objectLines(const std::string& text) {
        std::vector<std::string> lines;
        for (std::size_t begin = 0, end; (end = text.find("\r\n", begin)) != std::string::npos;
             begin = end + 2) {
            if (text[begin] != '#') {
                lines.push_back(text.substr(begin, end - begin));
            }
        }
        return lines;
    }
};

TEST_F(UndoAudit, RestoreGivesBackEveryDescriptorAndIsItselfUndone) {
    std::string before = tree();
    ASSERT_FALSE(fs::exists(onC("Inetpub/vhosts/example/.tarno/.Security")));
    ProcessResult repaired = repair({"--full-scan"});
    ASSERT_EQ(repaired.exitCode, 0) << repaired.out << repaired.err;
    std::string after = tree();
    std::string savedMetadata = metadata();
    ASSERT_NE(after, before);
    ASSERT_EQ(journals().size(), 1u);
    fs::path journal = journals()[0];
    std::string text = readFile(journal);
    EXPECT_EQ(text.rfind("#tavrel-journal\t1\r\n#time\t", 0), 0u) << text;
    EXPECT_NE(text.find("\r\n#scope\twebspace\texample\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find(webspace + "\\httpdocs\tO:BAG:SYD:PAI(A;OICI;FA;;;WD)(A;OICI;FA;;;SY)\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("#metadata\t" + webspace + "\\.tarno\\.Security\t\r\n"), std::string::npos)
        << "no metadata before the run: " << text;
    EXPECT_EQ(host_({"acl", "get", windowsPath(journalDirectory())}),
              "O:BAG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)\n");

    // Check-only lists each object, last recorded first, and writes nothing.
    ProcessResult listed = restore(journal, {"--check-only"});
    ASSERT_EQ(listed.exitCode, 0) << listed.out << listed.err;
    std::vector<std::string> lines = objectLines(text);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(listed.out.rfind(lines.back() + "\n", 0), 0u) << listed.out;
    EXPECT_EQ(count(listed.out, "\n"), lines.size() + 1) << listed.out;
    EXPECT_EQ(tree(), after);
    EXPECT_EQ(metadata(), savedMetadata);
    EXPECT_EQ(journals().size(), 1u) << "a check-only restore journals nothing";

    ProcessResult restored = restore(journal);
    ASSERT_EQ(restored.exitCode, 0) << restored.out << restored.err;
    EXPECT_EQ(sameObjects(tree(), before), before);
    EXPECT_FALSE(fs::exists(onC("Inetpub/vhosts/example/.tarno/.Security")));

    // The restore journaled what it replaced: restoring that gives the repair back.
    ASSERT_EQ(journals().size(), 2u);
    ProcessResult undone = restore(journals()[1]);
    ASSERT_EQ(undone.exitCode, 0) << undone.out << undone.err;
    EXPECT_EQ(tree(), after);
    EXPECT_EQ(metadata(), savedMetadata);
}

TEST_F(UndoAudit, ABadJournalLineFailsTheRestoreWithNothingWritten) {
    ASSERT_EQ(repair({"--full-scan"}).exitCode, 0);
    ASSERT_EQ(journals().size(), 1u);
    std::string good = readFile(journals()[0]);
    std::string after = tree();
    std::string savedMetadata = metadata();
    struct Case {
        const char* name;
        std::string tail;
        const char* says;
    };
    const Case cases[] = {
        {"outside HTTPD_VHOSTS_D", "C:\\Windows\tO:BAG:SYD:PAI(A;;FA;;;WD)\r\n", "outside"},
        {"climbing out", vhosts + "\\..\\Windows\tO:BAG:SYD:PAI(A;;FA;;;WD)\r\n", "outside"},
        {"another webspace", vhosts + "\\other\tO:BAG:SYD:PAI(A;;FA;;;WD)\r\n",
         "directory of its scope"},
        {"descriptor", webspace + "\\httpdocs\tO:BAG:SYD:PAI(A;;XX;;;WD)\r\n", "does not parse"},
        {"no owner", webspace + "\\httpdocs\tD:PAI(A;;FA;;;WD)\r\n", "owner"},
        {"cut short", webspace + "\\httpdocs\tO:BAG:SYD:PAI(A;;FA;;;WD)", "CR LF"},
        {"metadata elsewhere", "#metadata\t" + webspace + "\\.tarno\\.Security\t..\\x\r\n",
         "beside"},
        {"unknown header", "#frobnicate\tyes\r\n", "does not parse"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path bad = journalDirectory() / "bad.journal";
        // The bad line last: nothing before it may have been written either.
        writeFile(bad, good + c.tail);
        ProcessResult r = restore(bad);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out << r.err;
        EXPECT_EQ(tree(), after);
        EXPECT_EQ(metadata(), savedMetadata);
        fs::remove(bad);
    }
    EXPECT_EQ(journals().size(), 1u) << "a failed restore leaves no journal";
}

// A second name made after the repair: the file's one descriptor is anyone's under that name.
TEST_F(UndoAudit, RestoreNeverWritesAFileWithTwoNames) {
    std::string before = tree();
    ASSERT_EQ(repair({"--full-scan"}).exitCode, 0);
    ASSERT_EQ(journals().size(), 1u);
    const std::string run = webspace + "\\cgi-bin\\run.pl";
    ASSERT_NE(readFile(journals()[0]).find(run + "\t"), std::string::npos);
    const std::string repaired = host_({"acl", "get", run});
    fs::create_hard_link(onC("Inetpub/vhosts/example/cgi-bin/run.pl"), onC("elsewhere.pl"));

    ProcessResult r = restore(journals()[0]);
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("1 objects of the journal"), std::string::npos) << r.out;
    EXPECT_NE(log().find("Cannot apply security to path " + run + ", because it has 2 hard links"),
              std::string::npos);
    EXPECT_EQ(host_({"acl", "get", run}), repaired);
    // The other objects are restored all the same.
    std::string now = tree();
    std::string httpdocs = before.substr(before.find(webspace + "\\httpdocs "));
    EXPECT_NE(now.find(httpdocs.substr(0, httpdocs.find('\n') + 1)), std::string::npos) << now;
}

TEST_F(UndoAudit, AFullDiskWhileJournalingStopsTheRunBeforeItsNextWrite) {
    std::string before = tree();
    // The header and two object lines reach the journal; the third line finds the disk full.
    ProcessResult r = runProgram("tavrel", {"--repair-webspace-security",
                                            "--webspace-name=example", "--user-name=exuser",
                                            "--full-scan"},
                                 {"TAVREL_FAULTS=write-file:112:after=3:path=journal"});
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("Unable to write the journal"), std::string::npos) << r.out;
    // The run ended there, not logged as one failed object with the walk going on.
    EXPECT_EQ(count(log(), "Unable to write the journal"), 1u) << log();
    ASSERT_EQ(journals().size(), 1u);
    std::string text = readFile(journals()[0]);
    EXPECT_EQ(objectLines(text).size(), 2u) << text;
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    EXPECT_NE(tree(), before);

    // Only what was journaled was written: the partial journal gives everything back.
    ProcessResult restored = restore(journals()[0]);
    ASSERT_EQ(restored.exitCode, 0) << restored.out << restored.err;
    EXPECT_EQ(sameObjects(tree(), before), before);
}

TEST_F(UndoAudit, AuditListsTheDifferencesAndChangesNothing) {
    ASSERT_EQ(repair({"--full-scan"}).exitCode, 0);
    // A required grant taken away again.
    std::string cgi = webspace + "\\cgi-bin";
    host_({"acl", "set", cgi, "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"});
    std::string after = tree();
    std::string savedMetadata = metadata();
    std::size_t journaled = journals().size();

    ProcessResult r = tavrel({"--audit-webspace-security", "--webspace-name=example",
                              "--user-name=exuser", "--full-scan"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(webspace + "\\httpdocs\textra\tEveryone\t(F)\t(OI)(CI)\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(cgi + "\tmissing\t"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\\IWPG_exuser\t(RX)\t(OI)(CI)\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\\run.pl\textra\tBUILTIN\\Users\t(F)\t(DENY)\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("\\httpdocs\\img\t"), std::string::npos) << "repaired objects are right";
    EXPECT_NE(r.out.find("Audited "), std::string::npos);
    EXPECT_NE(r.out.find(" extra, "), std::string::npos);
    EXPECT_EQ(tree(), after);
    EXPECT_EQ(metadata(), savedMetadata);
    EXPECT_EQ(journals().size(), journaled);

    // On a webspace without metadata the audit creates none, and no folder either.
    fs::remove_all(onC("Inetpub/vhosts/example/.tarno"));
    ProcessResult fresh = tavrel({"--audit-webspace-security", "--webspace-name=example",
                                  "--user-name=exuser"});
    ASSERT_EQ(fresh.exitCode, 0) << fresh.out << fresh.err;
    EXPECT_FALSE(fs::exists(onC("Inetpub/vhosts/example/.tarno")));
    EXPECT_EQ(tree(), after);
}

TEST_F(UndoAudit, OnlyTheNewestJournalsOfAScopeAreKept) {
    // A first run names the journals of this webspace; 25 older ones of the same scope, each
    // with a kept metadata file, and one of another scope are put beside it.
    ASSERT_EQ(repair().exitCode, 0);
    ASSERT_EQ(journals().size(), 1u);
    std::string name = journals()[0].filename().string();
    std::string tag = name.substr(name.find('-', 21));  // "-<tag>.journal", after the pid
    for (int i = 0; i < 25; ++i) {
        std::string base = "20200101T0000" + std::string(i < 10 ? "0" : "") + std::to_string(i) +
                           ".000Z-1" + tag.substr(0, tag.size() - 8);
        writeFile(journalDirectory() / (base + ".journal"), "#tavrel-journal\t1\r\n");
        writeFile(journalDirectory() / (base + ".1.Security"), "<Entries/>");
    }
    writeFile(journalDirectory() / "20190101T000000.000Z-1-ws.other.0123456789abcdef.journal", "");
    host_({"acl", "set", webspace + "\\httpdocs", "D:P(A;OICI;FA;;;WD)"});
    ASSERT_EQ(repair().exitCode, 0);
    std::vector<fs::path> kept = journals();
    ASSERT_EQ(kept.size(), 21u);
    EXPECT_EQ(kept[0].filename(), "20190101T000000.000Z-1-ws.other.0123456789abcdef.journal");
    std::string oldestKept = "20200101T000007.000Z-1" + tag.substr(0, tag.size() - 8);
    EXPECT_EQ(kept[1].filename(), oldestKept + ".journal");
    EXPECT_FALSE(fs::exists(journalDirectory() /
                            ("20200101T000006.000Z-1" + tag.substr(0, tag.size() - 8) +
                             ".1.Security")));
    EXPECT_TRUE(fs::exists(journalDirectory() / (oldestKept + ".1.Security")));
}

TEST_F(UndoAudit, AJournalThatCannotBeFlushedFailsTheRunAndPrunesNothing) {
    fs::create_directories(journalDirectory());
    for (int i = 0; i < 25; ++i) {
        writeFile(journalDirectory() / ("20200101T0000" + std::string(i < 10 ? "0" : "") +
                                        std::to_string(i) + ".000Z-1-ws.example.journal"),
                  "#tavrel-journal\t1\r\n");
    }
    ProcessResult r = runProgram("tavrel", {"--repair-webspace-security",
                                            "--webspace-name=example", "--user-name=exuser"},
                                 {"TAVREL_FAULTS=flush-file:112:path=journal"});
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("Unable to flush the journal"), std::string::npos) << r.out;
    // The older journals are all there, and so is the run's own, which still restores what
    // reached it.
    EXPECT_EQ(journals().size(), 26u);
}

}  // namespace
