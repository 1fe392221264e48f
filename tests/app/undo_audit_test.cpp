// The journal, --restore-security and --audit-webspace-security end to end: real tavrel
// processes on a temporary host, descriptors compared as tavrel-host prints them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <regex>
#include <set>
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
    // Two siblings whose descriptors differ in their bytes and not in their length, journaled
    // side by side.
    file("Inetpub/vhosts/example/httpdocs/a.txt");
    file("Inetpub/vhosts/example/httpdocs/b.txt");
    host_({"acl", "set", webspace + "\\httpdocs\\a.txt", "D:P(A;;FA;;;BU)"});
    host_({"acl", "set", webspace + "\\httpdocs\\b.txt", "D:P(A;;FR;;;BU)"});
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

// Every file and folder of the host with its type, size and times (a descriptor written
// changes the ctime), listed by find, which goes deeper than a path can say; the mutexes' lock
// files, the event log and the log folder aside: a run that fails says so there. The change
// log is mapped by every process, which may touch its times: its bytes count the writes.
std::string hostListing(const fs::path& root) {
    std::string command = "cd '" + root.string() +
                          "' && find . \\( -path ./locks -o -path ./eventlog -o -path "
                          "'./drive_c/Program Files (x86)/Tarno/admin/logs' -o -path "
                          "./security.changes \\) -prune -o -printf '%p %m %s %T@ %C@\\n'";
    std::string listing = TestSupport::readFile(root / "security.changes");
    std::unique_ptr<FILE, int (*)(FILE*)> find(::popen(command.c_str(), "r"), ::pclose);
    char line[8192];
    while (find && std::fgets(line, sizeof line, find.get())) {
        listing += line;
    }
    return listing;
}

// The objects that the audit's lines name, extra and skipped lines aside, and whether any of
// them is named in two places.
struct Named {
    std::set<std::string> objects;
    bool twice = false;
};
Named namedByAudit(const std::string& out) {
    Named named;
    std::string last;
    for (std::size_t begin = 0, end; (end = out.find('\n', begin)) != std::string::npos;
         begin = end + 1) {
        std::string line = out.substr(begin, end - begin);
        std::size_t tab = line.find('\t');
        if (tab == std::string::npos) {
            continue;
        }
        std::string path = line.substr(0, tab);
        std::string kind = line.substr(tab + 1, line.find('\t', tab + 1) - tab - 1);
        if (kind == "extra" || kind == "skipped") {
            continue;
        }
        if (path != last && !named.objects.insert(path).second) {
            named.twice = true;
        }
        last = path;
    }
    return named;
}

std::set<std::string> reportLines(const std::string& report) {
    std::set<std::string> lines;
    for (std::size_t begin = 0, end; (end = report.find("\r\n", begin)) != std::string::npos;
         begin = end + 2) {
        lines.insert(report.substr(begin, end - begin));
    }
    return lines;
}

// An over-broad grant to the anonymous account is shown as the repair then treats it: taken
// away and replaced, not as a grant that lacks rights; a root and a folder set to inherit are
// said to be protected again, as the repair then does.
TEST_F(UndoAudit, AuditSaysWhatTheRepairThenDoes) {
    ASSERT_EQ(repair({"--full-scan"}).exitCode, 0);
    const std::string cgi = webspace + "\\cgi-bin";
    std::string anonymous = host_({"account", "list"});
    anonymous = anonymous.substr(anonymous.find("IWPG_exuser\t") + 12);
    anonymous = anonymous.substr(0, anonymous.find_first_of("\t\r\n"));
    for (const std::string& path : {webspace, cgi}) {
        std::string sddl = host_({"acl", "get", path});
        sddl = sddl.substr(0, sddl.find_first_of("\r\n"));
        // Inheriting, and the anonymous account's read and execute made full control.
        sddl.replace(sddl.find("D:PAI"), 5, "D:AI");
        if (path == cgi) {
            std::string rx = "(A;OICI;0x1200a9;;;" + anonymous + ")";
            ASSERT_NE(sddl.find(rx), std::string::npos) << sddl;
            sddl.replace(sddl.find(rx), rx.size(), "(A;OICI;FA;;;" + anonymous + ")");
        }
        host_({"acl", "set", path, sddl});
    }
    ProcessResult audit = tavrel({"--audit-webspace-security", "--webspace-name=example",
                                  "--user-name=exuser", "--full-scan"});
    ASSERT_EQ(audit.exitCode, 0) << audit.out << audit.err;
    // The anonymous account as its machine names it.
    std::string iwpg = audit.out.substr(0, audit.out.find("\\IWPG_exuser\t"));
    iwpg = iwpg.substr(iwpg.find_last_of('\t') + 1) + "\\IWPG_exuser";
    for (const std::string& line :
         {cgi + "\tsurplus\t" + iwpg + "\t(F)\t(OI)(CI)\n",
          cgi + "\tmissing\t" + iwpg + "\t(RX)\t(OI)(CI)\n",
          cgi + "\tinheritance\t-\t-\tinherits, must be protected\n",
          webspace + "\tinheritance\t-\t-\tinherits, must be protected\n"}) {
        EXPECT_NE(audit.out.find(line), std::string::npos) << line << audit.out;
    }
    EXPECT_NE(audit.out.find(", 2 inheritance, 0 skipped\n"), std::string::npos) << audit.out;
    ProcessResult check = repair({"--full-scan", "--check-only", "--report-file=C:\\report.txt"});
    ASSERT_EQ(check.exitCode, 0) << check.out;
    EXPECT_EQ(namedByAudit(audit.out).objects, reportLines(readFile(onC("report.txt"))));

    // The repair then does just that.
    ASSERT_EQ(repair({"--full-scan"}).exitCode, 0);
    std::string repaired = host_({"acl", "get", cgi});
    EXPECT_EQ(repaired.find("(A;OICI;FA;;;" + anonymous + ")"), std::string::npos) << repaired;
    EXPECT_NE(repaired.find("(A;OICI;0x1200a9;;;" + anonymous + ")"), std::string::npos);
    EXPECT_EQ(repaired.find("D:PAI"), repaired.find("D:"));
    EXPECT_EQ(host_({"acl", "get", webspace}).find("D:PAI"), host_({"acl", "get", webspace}).find("D:"));
}

// On trees of random shape and random DACLs, the objects the audit names are exactly those a
// check-only repair reports, each once, with the web users' pass too.
TEST_F(UndoAudit, AuditNamesExactlyWhatACheckOnlyRepairReports) {
    writeFile(onC("users.txt"), "u1\r\nu2\r\n");
    ASSERT_EQ(repair({"--full-scan", "--web-users=C:\\users.txt"}).exitCode, 0);
    const std::vector<std::string> dacls = {
        "D:P(A;OICI;FA;;;WD)",
        "D:(A;OICI;FA;;;WD)",
        "D:AI",
        "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
        "D:P(D;;FA;;;BU)(A;;FA;;;BA)",
        "D:(A;;0x1200a9;;;BU)",
    };
    const std::vector<std::string> folders = {"httpdocs", "cgi-bin", "web_users/u1",
                                              "web_users/u2", "private", "logs"};
    for (unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        std::mt19937 random(seed);
        auto pick = [&](std::size_t n) { return std::size_t(random() % n); };
        std::vector<std::string> made;
        for (int i = 0; i < 40; ++i) {
            std::string path = folders[pick(folders.size())];
            for (std::size_t depth = pick(4); depth > 0; --depth) {
                path += "/" + std::string(1, char('a' + pick(3)));
            }
            bool isFile = pick(2) == 0;
            std::string relative =
                path + (isFile ? "/f" + std::to_string(i) + ".txt" : "/d" + std::to_string(i));
            if (isFile) {
                file("Inetpub/vhosts/example/" + relative);
            } else {
                fs::create_directories(onC("Inetpub/vhosts/example/" + relative));
            }
            made.push_back(relative);
        }
        for (const std::string& relative : made) {
            if (pick(3) != 0) {
                std::string windows = webspace + "\\" + relative;
                std::replace(windows.begin(), windows.end(), '/', '\\');
                host_({"acl", "set", windows, dacls[pick(dacls.size())]});
            }
        }
        for (const std::string& folder : folders) {
            if (pick(4) == 0) {
                std::string windows = webspace + "\\" + folder;
                std::replace(windows.begin(), windows.end(), '/', '\\');
                host_({"acl", "set", windows, dacls[pick(dacls.size())]});
            }
        }
        for (const auto& scan : {std::vector<std::string>{"--full-scan"},
                                 std::vector<std::string>{}}) {
            std::vector<std::string> args = {"--audit-webspace-security", "--webspace-name=example",
                                             "--user-name=exuser", "--web-users=C:\\users.txt"};
            args.insert(args.end(), scan.begin(), scan.end());
            ProcessResult audit = tavrel(args);
            ASSERT_EQ(audit.exitCode, 0) << audit.out << audit.err;
            fs::remove(onC("report.txt"));
            std::vector<std::string> check = scan;
            check.insert(check.end(), {"--check-only", "--report-file=C:\\report.txt",
                                       "--web-users=C:\\users.txt"});
            ASSERT_EQ(repair(check).exitCode, 0);
            Named named = namedByAudit(audit.out);
            EXPECT_FALSE(named.twice) << audit.out.substr(0, 6000);
            EXPECT_EQ(named.objects, reportLines(readFile(onC("report.txt")))) << audit.out;
            if (!scan.empty()) {
                EXPECT_FALSE(named.objects.empty());
            }
        }
        ASSERT_EQ(repair({"--full-scan", "--web-users=C:\\users.txt"}).exitCode, 0);
    }
}

// Each object the audit could not check is named with its reason, counted, and fails the
// audit; the host is left as it was, file for file, no PrivateTemp folder made.
TEST_F(UndoAudit, AuditNamesWhatItSkippedAndWritesNothing) {
    writeFile(onC("users.txt"), "u1\r\n");
    ASSERT_EQ(repair({"--full-scan", "--web-users=C:\\users.txt"}).exitCode, 0);
    const fs::path example = onC("Inetpub/vhosts/example");
    file("Inetpub/vhosts/fresh.com/httpdocs/index.html");
    fs::create_directory_symlink(onC("Inetpub/vhosts/fresh.com"), example / "httpdocs/other");
    fs::create_hard_link(example / "web_users/u2/home.html", example / "httpdocs/second.html");
    fs::create_directories(example / "httpdocs/closed/inside");
    host_({"acl", "set", webspace + "\\httpdocs\\closed", "D:P(A;;0x60080;;;SY)"});
    file("Inetpub/vhosts/example/httpdocs/locked.txt");
    host_({"acl", "set", webspace + "\\httpdocs\\locked.txt", "O:BUD:P"});
    writeFile(example / ".tarno/.Web.u1.Security", "<Entries><Entry Tag=\"cut short");
    // Past what a Windows path can hold.
    std::string beyond = "httpdocs";
    int at = ::open((example / beyond).c_str(), O_DIRECTORY | O_RDONLY);
    const std::string name(250, 'z');
    for (int i = 0; i < 132 && at >= 0; ++i) {
        ::mkdirat(at, name.c_str(), 0755);
        int next = ::openat(at, name.c_str(), O_DIRECTORY | O_RDONLY);
        ::close(at);
        at = next;
    }
    ASSERT_GE(at, 0);
    ::close(at);
    fs::remove_all(onC("Program Files (x86)/Tarno/PrivateTemp"));
    host_({"reg", "set", configKey, "Debug", "REG_DWORD", "0"});
    const std::string before = hostListing(host.dir());

    ProcessResult r = tavrel({"--audit-webspace-security", "--webspace-name=example",
                              "--user-name=exuser", "--full-scan"});
    EXPECT_EQ(r.exitCode, 1);
    const std::string httpdocs = webspace + "\\httpdocs\\";
    for (const std::string& line :
         {httpdocs + "other\tskipped\t-\t-\tlink\n",
          httpdocs + "second.html\tskipped\t-\t-\thard link, 2 links\n",
          webspace + "\\web_users\\u2\\home.html\tskipped\t-\t-\thard link, 2 links\n",
          httpdocs + "closed\tskipped\t-\t-\tlisting refused\n",
          httpdocs + "locked.txt\tskipped\t-\t-\topen refused\n",
          webspace + "\\web_users\\u1\tskipped\t-\t-\tdamaged metadata\n"}) {
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
    }
    std::regex tooLong("\\\\z{250}\tskipped\t-\t-\ttoo long, [0-9]+ characters\n");
    EXPECT_TRUE(std::regex_search(r.out, tooLong)) << r.out;
    EXPECT_NE(r.out.find(", 7 skipped\n"), std::string::npos) << r.out;
    const std::string after = hostListing(host.dir());
    EXPECT_EQ(after.size(), before.size());
    std::string changed;
    for (std::size_t begin = 0, end; (end = after.find('\n', begin)) != std::string::npos;
         begin = end + 1) {
        std::string line = after.substr(begin, end - begin + 1);
        if (before.find(line) == std::string::npos) {
            changed += line.substr(0, 200) + "\n";
        }
    }
    EXPECT_EQ(changed, "") << "the audit changed the host";
    EXPECT_FALSE(fs::exists(onC("Program Files (x86)/Tarno/PrivateTemp")));
    std::system(("rm -rf '" + (example / beyond / name).string() + "'").c_str());
}

// A name that is not UTF-8 beside the decoy that it would otherwise show as: each is checked,
// repaired, journaled and restored under a name of its own.
TEST_F(UndoAudit, ANameThatIsNotUtf8AndItsDecoyAreEachRepairedAndRestored) {
    ASSERT_EQ(repair({"--full-scan"}).exitCode, 0);
    const fs::path httpdocs = onC("Inetpub/vhosts/example/httpdocs");
    writeFile(httpdocs / "\xff\xfe" "bad", "hidden");
    writeFile(httpdocs / "\xef\xbf\xbd\xef\xbf\xbd" "bad", "decoy");
    // U+F0FF U+F0FE, and the two replacement characters.
    const std::string hidden = webspace + "\\httpdocs\\\xef\x83\xbf\xef\x83\xbe" "bad";
    const std::string decoy = webspace + "\\httpdocs\\\xef\xbf\xbd\xef\xbf\xbd" "bad";
    host_({"acl", "set", hidden, "D:P(A;;FA;;;WD)"});
    host_({"acl", "set", decoy, "D:P(A;;FA;;;BU)"});
    const std::string hiddenBefore = host_({"acl", "get", hidden});
    const std::string decoyBefore = host_({"acl", "get", decoy});
    ASSERT_NE(hiddenBefore, decoyBefore);

    ASSERT_EQ(repair({"--full-scan", "--check-only", "--report-file=C:\\report.txt"}).exitCode, 0);
    std::set<std::string> reported = reportLines(readFile(onC("report.txt")));
    EXPECT_EQ(reported, (std::set<std::string>{hidden, decoy}));

    std::size_t journaled = journals().size();
    ASSERT_EQ(repair({"--full-scan"}).exitCode, 0);
    ASSERT_EQ(journals().size(), journaled + 1);
    std::vector<std::string> lines = objectLines(readFile(journals().back()));
    for (const std::string& path : {hidden, decoy}) {
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [&](const std::string& line) {
                                    return line.rfind(path + "\t", 0) == 0;
                                }),
                  1)
            << path;
        EXPECT_EQ(host_({"acl", "get", path}).find("D:P(A;;FA;;;"), std::string::npos);
    }
    ProcessResult restored = restore(journals().back());
    ASSERT_EQ(restored.exitCode, 0) << restored.out << restored.err;
    EXPECT_EQ(host_({"acl", "get", hidden}), hiddenBefore);
    EXPECT_EQ(host_({"acl", "get", decoy}), decoyBefore);
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
