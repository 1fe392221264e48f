// --report-webspace-access end to end: real tavrel processes on a temporary host, the report
// read back line by line and held against what the panel's templates grant each role.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "hosting_fixture.h"

namespace {
using namespace HostingTest;

const char* const classes[] = {"read", "write", "execute", "delete", "change-permissions"};

// One line of the report: ACCOUNT, CLASS, PATH, OBJECTS.
struct Line {
    std::string account;
    std::string right;
    std::string path;
    long objects = 0;
    friend bool operator==(const Line&, const Line&) = default;
    friend void PrintTo(const Line& line, std::ostream* out) {
        *out << line.account << "|" << line.right << "|" << line.path << "|" << line.objects;
    }
};

struct Report {
    std::vector<Line> runs;
    long objects = -1;
    // Per account, in the order of the table: the objects where each class holds.
    std::vector<std::pair<std::string, std::vector<long>>> summary;

    std::vector<Line> of(const std::string& account, const std::string& right) const {
        std::vector<Line> found;
        for (const Line& run : runs) {
            if (run.account == account && run.right == right) {
                found.push_back(run);
            }
        }
        return found;
    }
    long total(const std::string& account, const std::string& right) const {
        auto row = std::find_if(summary.begin(), summary.end(),
                                [&](const auto& r) { return r.first == account; });
        auto column = std::find(std::begin(classes), std::end(classes), right) - classes;
        return row == summary.end() ? -1 : row->second.at(std::size_t(column));
    }
};

Report parse(const std::string& text) {
    Report report;
    std::istringstream in(text);
    std::string line;
    bool table = false;
    while (std::getline(in, line)) {
        if (line.empty()) {
            continue;
        }
        if (line.rfind("Access of ", 0) == 0) {
            report.objects = std::stol(line.substr(line.find(" to ") + 4));
            std::getline(in, line);  // the header
            table = true;
            continue;
        }
        if (!table) {
            std::vector<std::string> fields;
            std::istringstream parts(line);
            for (std::string field; std::getline(parts, field, '\t');) {
                fields.push_back(field);
            }
            EXPECT_EQ(fields.size(), 4u) << line;
            if (fields.size() == 4) {
                report.runs.push_back({fields[0], fields[1], fields[2], std::stol(fields[3])});
            }
            continue;
        }
        // The account (which may hold blanks), then five counts.
        std::vector<long> counts;
        std::string rest = line;
        for (int i = 0; i < 5; ++i) {
            rest.erase(rest.find_last_not_of(' ') + 1);
            std::size_t blank = rest.rfind(' ');
            counts.insert(counts.begin(), std::stol(rest.substr(blank + 1)));
            rest.erase(blank);
        }
        rest.erase(rest.find_last_not_of(' ') + 1);
        report.summary.emplace_back(rest, counts);
    }
    return report;
}

class AccessReport : public SecurityCommands {
protected:
    void SetUp() override {
        SecurityCommands::SetUp();
        writeFile(onC("web-users.txt"), "u1\r\n");
        ProcessResult repaired = repair({"--full-scan", "--web-users=C:\\web-users.txt"});
        ASSERT_EQ(repaired.exitCode, 0) << repaired.out << repaired.err;
    }
    ProcessResult reportRun(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--report-webspace-access", "--webspace-name=example",
                                         "--user-name=exuser", "--web-users=C:\\web-users.txt"};
        args.insert(args.end(), extra.begin(), extra.end());
        return tavrel(args);
    }
    Report report(std::vector<std::string> extra = {}) {
        ProcessResult r = reportRun(extra);
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        return parse(r.out);
    }
    std::string sidOf(const std::string& account) {
        std::istringstream list(host_({"account", "list"}));
        for (std::string name, sid, type; list >> name >> sid >> type;) {
            if (name == account) {
                return sid;
            }
        }
        return "?";
    }
    // Every file and folder of drive C: with its size, the tool's log folder left out.
    std::string everything() {
        std::string listing;
        for (const auto& entry : fs::recursive_directory_iterator(host.driveC())) {
            std::string path = entry.path().string();
            if (path.find("admin/logs") == std::string::npos) {
                listing += path +
                           (entry.is_regular_file() ? " " + std::to_string(entry.file_size())
                                                    : std::string()) +
                           "\n";
            }
        }
        return listing;
    }
    static bool below(const std::string& path, const std::string& folder) {
        return path == folder || path.rfind(folder + "\\", 0) == 0;
    }
};

// The domain template grants the system user everything below the root and, on the root, all
// but delete and rewriting its DACL; the anonymous account reads and runs everywhere but in
// .tarno (where only statistics are its), and writes only in logs; the FTP sub-accounts are
// denied, and neither Everyone nor another webspace's user is granted anything. The web-user
// template gives the web user its folder as the domain template gives the system user the
// root.
TEST_F(AccessReport, ARepairedWebspaceGivesEachRoleWhatTheTemplateGrants) {
    const std::string tarno = webspace + "\\.tarno";
    const std::string logs = webspace + "\\logs";
    const std::string u1 = webspace + "\\web_users\\u1";
    Report r = report();
    ASSERT_GT(r.objects, 15);
    ASSERT_EQ(r.summary.size(), 6u) << "exuser, IWPG_exuser, ftp_subaccounts, u1, Everyone and "
                                       "another site";
    EXPECT_EQ(r.summary[5].first, "(another site)");

    EXPECT_EQ(r.of("exuser", "read"), (std::vector<Line>{{"exuser", "read", webspace, r.objects}}));
    ASSERT_FALSE(r.of("exuser", "write").empty());
    EXPECT_EQ(r.of("exuser", "write").front().path, webspace);
    for (const char* right : {"delete", "change-permissions"}) {
        SCOPED_TRACE(right);
        EXPECT_GT(r.total("exuser", right), 0);
        for (const Line& run : r.of("exuser", right)) {
            EXPECT_NE(run.path, webspace);
            EXPECT_TRUE(below(run.path, webspace)) << run.path;
        }
    }

    // The anonymous account.
    EXPECT_EQ(r.of("IWPG_exuser", "read").front().path, webspace);
    EXPECT_EQ(r.of("IWPG_exuser", "execute").front().path, webspace);
    for (const char* right : {"read", "execute"}) {
        for (const Line& run : r.of("IWPG_exuser", right)) {
            EXPECT_TRUE(run.path == webspace || run.path == tarno + "\\statistics") << run.path;
        }
    }
    for (const char* right : {"write", "delete", "change-permissions"}) {
        for (const Line& run : r.of("IWPG_exuser", right)) {
            EXPECT_TRUE(below(run.path, logs)) << right << " " << run.path;
        }
    }
    ASSERT_FALSE(r.of("IWPG_exuser", "write").empty());
    EXPECT_EQ(r.of("IWPG_exuser", "write").front().path, logs);

    // The web user: on its own folder what the system user has on the root, all below it, and
    // nothing elsewhere.
    for (const char* right : {"read", "write", "execute"}) {
        EXPECT_EQ(r.of("u1", right), (std::vector<Line>{{"u1", right, u1, 3}})) << right;
    }
    for (const char* right : {"delete", "change-permissions"}) {
        EXPECT_EQ(r.of("u1", right), (std::vector<Line>{{"u1", right, u1 + "\\docs", 2}})) << right;
    }

    for (const char* account : {"ftp_subaccounts", "Everyone", "(another site)"}) {
        SCOPED_TRACE(account);
        for (const char* right : classes) {
            EXPECT_TRUE(r.of(account, right).empty());
            EXPECT_EQ(r.total(account, right), 0);
        }
    }
    // The lines of a class add up to its count in the table.
    for (const auto& [account, counts] : r.summary) {
        for (std::size_t c = 0; c < 5; ++c) {
            long sum = 0;
            for (const Line& run : r.of(account, classes[c])) {
                sum += run.objects;
            }
            EXPECT_EQ(sum, counts[c]) << account << " " << classes[c];
        }
    }
}

TEST_F(AccessReport, EveryoneWithFullControlOnAFolderShowsForEveryAccountThere) {
    const std::string img = webspace + "\\httpdocs\\img";
    host_({"acl", "set", img, "D:(A;OICI;FA;;;WD)"});
    Report r = report();
    // img, a, b, c and deep.png.
    for (const std::string account : {"ftp_subaccounts", "Everyone", "(another site)"}) {
        for (const char* right : classes) {
            EXPECT_EQ(r.of(account, right), (std::vector<Line>{{account, right, img, 5}}))
                << account << " " << right;
        }
    }
    // The web user: there, besides its own folder.
    for (const char* right : classes) {
        std::vector<Line> runs = r.of("u1", right);
        EXPECT_EQ(runs.size(), 2u) << right;
        EXPECT_NE(std::find(runs.begin(), runs.end(), Line{"u1", right, img, 5}), runs.end())
            << right;
    }
    // The anonymous account read and ran there already: only what it gains starts at img.
    for (const char* right : {"write", "delete", "change-permissions"}) {
        std::vector<Line> runs = r.of("IWPG_exuser", right);
        EXPECT_NE(std::find(runs.begin(), runs.end(), Line{"IWPG_exuser", right, img, 5}),
                  runs.end())
            << right;
    }
    for (const Line& run : r.runs) {
        if (run.path == img) {
            EXPECT_NE(run.account, "exuser") << "the system user had it all from httpdocs";
        }
    }
}

// A grant to Users reaches the users of the machine, whose membership the accounts give, and
// not Everyone nor the FTP sub-accounts' group.
TEST_F(AccessReport, AGrantToUsersReachesItsMembersOnly) {
    const std::string cgi = webspace + "\\cgi-bin";
    host_({"acl", "set", cgi, "D:(A;OICI;FR;;;BU)"});
    Report r = report();
    for (const char* account : {"u1", "(another site)"}) {
        std::vector<Line> runs = r.of(account, "read");
        EXPECT_NE(std::find(runs.begin(), runs.end(), Line{account, "read", cgi, 2}), runs.end())
            << account;
    }
    for (const char* account : {"Everyone", "ftp_subaccounts"}) {
        EXPECT_TRUE(r.of(account, "read").empty()) << account;
    }
}

TEST_F(AccessReport, ADenyForTheAnonymousAccountTakesAwayExactlyWhatItDenies) {
    const std::string img = webspace + "\\httpdocs\\img";
    Report before = report();
    // No script below img runs: execute (with what FX adds beside it) denied.
    host_({"acl", "set", img, "D:(D;OICI;FX;;;" + sidOf("IWPG_exuser") + ")"});
    Report after = report();
    EXPECT_EQ(after.objects, before.objects);
    for (const Line& run : before.runs) {
        if (run.account == "IWPG_exuser" && run.right == std::string("execute")) {
            continue;
        }
        EXPECT_NE(std::find(after.runs.begin(), after.runs.end(), run), after.runs.end())
            << run.account << " " << run.right << " " << run.path;
    }
    EXPECT_EQ(after.runs.size(), before.runs.size());
    EXPECT_EQ(after.total("IWPG_exuser", "execute"), before.total("IWPG_exuser", "execute") - 5);
    EXPECT_EQ(after.total("IWPG_exuser", "read"), before.total("IWPG_exuser", "read"));
    for (const Line& run : after.of("IWPG_exuser", "execute")) {
        EXPECT_FALSE(below(run.path, img)) << run.path;
    }
}

// The report reads; it writes no DACL, folder, metadata, journal or temporary file, and walks
// as the repair does: a file with two names is refused, not counted, and fails the run.
TEST_F(AccessReport, TheReportWritesNothingAndRefusesWhatTheWalkRefuses) {
    fs::create_hard_link(onC("Inetpub/vhosts/example/httpdocs/index.html"), onC("elsewhere.html"));
    fs::remove_all(onC("Inetpub/vhosts/example/logs"));
    const std::string tree_ = tree();
    const std::string files = everything();
    const std::string saved = metadata();
    // The object it could not see fails the run, after the report of the others.
    ProcessResult r = reportRun();
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("exuser\tread\t" + webspace), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1 objects could not be checked"), std::string::npos) << r.out;
    EXPECT_EQ(tree(), tree_);
    EXPECT_EQ(everything(), files) << "no folder of the template made, no journal, no temp file";
    EXPECT_EQ(metadata(), saved);
    EXPECT_EQ(r.out.find("index.html"), std::string::npos);
    EXPECT_NE(log().find("Cannot apply security to path " + webspace +
                         "\\httpdocs\\index.html, because it has 2 hard links"),
              std::string::npos);

    fs::remove(onC("elsewhere.html"));
    const std::string unlinked = everything();

    // The accounts named instead of the roles', in the order given; an unknown one fails the
    // run before any walk.
    Report named = report({"--account=Everyone", "--account=exuser"});
    ASSERT_EQ(named.summary.size(), 2u);
    EXPECT_EQ(named.summary[0].first, "Everyone");
    EXPECT_EQ(named.summary[1].first, "exuser");
    ProcessResult unknown = reportRun({"--account=exuser", "--account=nobody"});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_NE(unknown.out.find("nobody is no account of this machine"), std::string::npos)
        << unknown.out;
    ProcessResult missing =
        tavrel({"--report-webspace-access", "--webspace-name=nothere", "--user-name=exuser"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(everything(), unlinked);
}

}  // namespace
