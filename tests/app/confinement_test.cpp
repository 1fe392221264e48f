// What a webspace's own user can build in its tree (links, hard links, forged metadata, odd
// names) must never steer a run outside the webspace or path it names: real tavrel processes
// on a temporary host, the descriptors of everything else compared byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "hosting_fixture.h"

namespace {
using namespace HostingTest;

// An entry of metadata that gives Everyone full control of HTTPD_VHOSTS_D\<subPath>.
std::string everyoneFullControl(const std::string& subPath, const std::string& flags = "0x0") {
    return "<Entry AccounType=\"0\" Account=\"Everyone\" Path=\"[HTTPD_VHOSTS_D]\" SubPath=\"" +
           subPath +
           "\" AceFlags=\"ThisFolderSubfoldersAndFiles\" AccessMask=\"FullAccess\" "
           "EntryFlags=\"" +
           flags + "\" Tag=\"\" Tag2=\"\"/>";
}

class Confinement : public SecurityCommands {
protected:
    void SetUp() override {
        SecurityCommands::SetUp();
        // Another webspace, and a folder of the server outside all webspaces.
        file("Inetpub/vhosts/fresh.com/httpdocs/index.html");
        file("target/kept.txt");
        host_({"acl", "set", vhosts + "\\fresh.com", "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"});
        host_({"acl", "set", "C:\\target", "D:P(A;OICI;FA;;;SY)"});
        // A descriptor of its own, which a write through another name would change.
        host_({"acl", "set", etc + "\\hosting_template.xml", "D:P(A;;FA;;;SY)(A;;FA;;;BA)"});
    }

};

TEST_F(Confinement, ARunStaysInTheWebspaceItNamesWhateverItsMetadataSays) {
    std::string before = outside();
    // A directory's own metadata, which its users may write, steers nothing outside that
    // directory; its entries on the directory itself apply.
    file("Inetpub/vhosts/example/httpdocs/.Security",
         "<Entries>" + everyoneFullControl("fresh.com") + everyoneFullControl("example\\httpdocs") +
             "</Entries>");
    ProcessResult path = tavrel({"--update-path-security", "--path=" + webspace + "\\httpdocs"});
    ASSERT_EQ(path.exitCode, 0) << path.out;
    EXPECT_EQ(outside(), before);
    EXPECT_NE(log().find("lies outside"), std::string::npos);
    EXPECT_NE(host_({"acl", "get", webspace + "\\httpdocs\\index.html"}).find("WD"),
              std::string::npos);
    fs::remove(onC("Inetpub/vhosts/example/httpdocs/.Security"));

    // Metadata forged by the user before the first repair: its first entry names another
    // webspace, which once made that webspace the scope of the run.
    file("Inetpub/vhosts/example/.tarno/.Security",
         "<Entries>" + everyoneFullControl("fresh.com") + "</Entries>");
    ProcessResult r = repair({"--full-scan"});
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(outside(), before);
    // The named webspace itself was repaired: a second check reports nothing.
    ProcessResult check = repair({"--full-scan", "--check-only", "--report-file=C:\\r.txt"});
    ASSERT_EQ(check.exitCode, 0) << check.out;
    EXPECT_EQ(readFile(onC("r.txt")), "");
}

TEST_F(Confinement, MetadataReachedThroughALinkIsRefused) {
    file("Inetpub/vhosts/fresh.com/.tarno/.Security",
         "<Entries>" + everyoneFullControl("fresh.com") + "</Entries>");
    const std::string other = readFile(onC("Inetpub/vhosts/fresh.com/.tarno/.Security"));
    // Any letter case: the file system finds ".tarno" under either name.
    for (const char* name : {".tarno", ".TARNO"}) {
        SCOPED_TRACE(name);
        fs::path link = onC("Inetpub/vhosts/example") / name;
        fs::create_directory_symlink(onC("Inetpub/vhosts/fresh.com/.tarno"), link);
        std::string before = tree(vhosts);
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"--repair-webspace-security", "--webspace-name=example",
                                       "--user-name=exuser", "--full-scan"},
              std::vector<std::string>{"--update-webspace-security", "--webspace-name=example"}}) {
            ProcessResult r = tavrel(args);
            EXPECT_EQ(r.exitCode, 1) << r.out;
            EXPECT_NE(r.out.find("is a link or another reparse point"), std::string::npos) << r.out;
        }
        EXPECT_EQ(tree(vhosts), before);
        EXPECT_EQ(readFile(onC("Inetpub/vhosts/fresh.com/.tarno/.Security")), other);
        fs::remove(link);
    }
    // The metadata file itself as a link.
    fs::create_directories(onC("Inetpub/vhosts/example/.tarno"));
    fs::create_symlink(onC("Inetpub/vhosts/fresh.com/.tarno/.Security"),
                       onC("Inetpub/vhosts/example/.tarno/.Security"));
    ProcessResult r = repair();
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_NE(r.out.find("is a link or another reparse point"), std::string::npos) << r.out;
    EXPECT_EQ(readFile(onC("Inetpub/vhosts/fresh.com/.tarno/.Security")), other);
}

TEST_F(Confinement, FoldersOfTheTemplateAreNeverCreatedThroughALink) {
    // "logs" is a folder the template creates; the user put a link to C:\target there.
    fs::create_directory_symlink(onC("target"), onC("Inetpub/vhosts/example/logs"));
    std::string before = outside();
    // The link is named, and what it kept from the walk fails the run.
    ProcessResult r = repair({"--full-scan"});
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_NE(r.out.find("could not be checked or repaired"), std::string::npos) << r.out;
    EXPECT_EQ(outside(), before);
    for (const char* made : {"iis", "php_errors", "FailedRequests"}) {
        EXPECT_FALSE(fs::exists(onC("target") / made)) << made;
    }
    EXPECT_NE(log().find("is a link, another reparse point or a file"), std::string::npos);
    EXPECT_NE(log().find("Warning: Cannot apply security to path " + webspace +
                         "\\logs, because it is a link or another reparse point."),
              std::string::npos)
        << log();
    // Without the link the folders are made, inside the webspace.
    fs::remove(onC("Inetpub/vhosts/example/logs"));
    ASSERT_EQ(repair().exitCode, 0);
    EXPECT_TRUE(fs::is_directory(onC("Inetpub/vhosts/example/logs/php_errors")));
}

TEST_F(Confinement, PanelFoldersThatAimARunElsewhereAreRefused) {
    // The tenant's own "panel" in its httpdocs, where a run started there would look first.
    file("Inetpub/vhosts/example/httpdocs/etc/hosting_template.xml",
         "<Entries>" + everyoneFullControl("example") + "</Entries>");
    fs::create_directory_symlink(onC("Inetpub/vhosts"), onC("linked"));
    const fs::path httpdocs = onC("Inetpub/vhosts/example/httpdocs");
    const std::vector<std::string> repairArgs = {"--repair-webspace-security",
                                                 "--webspace-name=example", "--user-name=exuser"};
    const std::string productRoot = "C:\\Program Files (x86)\\Tarno";
    const struct {
        const char* name;
        const char* parameter;
        std::string value;
        std::vector<std::string> args;
        std::string why;
    } cases[] = {
        {"EmptyProductRoot", "PRODUCT_ROOT_D", "", repairArgs, "it is not an absolute path"},
        {"RelativeProductRoot", "PRODUCT_ROOT_D", "Tarno", repairArgs,
         "it is not an absolute path"},
        {"EmptyVhosts", "HTTPD_VHOSTS_D", "", {"--repair-filesharing"},
         "it is not an absolute path"},
        {"VhostsOnADriveRoot", "HTTPD_VHOSTS_D", "C:\\",
         {"--repair-webspace-security", "--webspace-name=Program Files (x86)",
          "--user-name=exuser"},
         "it is the root of a drive or share"},
        {"VhostsInTheProductRoot", "HTTPD_VHOSTS_D", productRoot + "\\vhosts",
         {"--repair-filesharing"}, "it overlaps the folder '" + productRoot + "' of the panel "
         "parameter PRODUCT_ROOT_D"},
        // HTTPD_VHOSTS_D is read first, and refused for lying in PRODUCT_ROOT_D.
        {"ProductRootAboveVhosts", "PRODUCT_ROOT_D", "C:\\Inetpub", repairArgs,
         "it overlaps the folder 'C:\\Inetpub' of the panel parameter PRODUCT_ROOT_D"},
        {"VhostsThroughALink", "HTTPD_VHOSTS_D", "C:\\linked", repairArgs,
         "its folder C:\\linked is a link or another reparse point"},
    };
    auto listing = [&] {
        std::string names;
        for (const auto& entry : fs::recursive_directory_iterator(httpdocs)) {
            names += entry.path().string() + "\n";
        }
        return names;
    };
    const std::string before = outside();
    const std::string inside = tree();
    const std::string files = listing();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string kept = c.parameter == std::string("PRODUCT_ROOT_D") ? productRoot : vhosts;
        host_({"reg", "set", configKey, c.parameter, "REG_SZ", c.value});
        ProcessResult r = TestSupport::runProgram("tavrel", c.args, {}, httpdocs);
        host_({"reg", "set", configKey, c.parameter, "REG_SZ", kept});
        EXPECT_EQ(r.exitCode, 1) << r.out;
        EXPECT_NE(r.out.find("of the panel parameter "), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(c.why), std::string::npos) << r.out;
        EXPECT_EQ(outside(), before);
        EXPECT_EQ(tree(), inside);
        EXPECT_EQ(listing(), files);
    }
    // With the values back, the same run works.
    EXPECT_EQ(repair().exitCode, 0);
}

TEST_F(Confinement, ADamagedWebUserFileHoldsUpOnlyThatWebUser) {
    ASSERT_EQ(repair({"--full-scan"}).exitCode, 0);
    const std::string damaged = "<Entries><Entry Tag=\"cut short";
    file("Inetpub/vhosts/example/.tarno/.Web.u1.Security", damaged);
    host_({"acl", "set", webspace + "\\web_users\\u1\\docs", "D:P(A;OICI;FA;;;WD)"});
    host_({"acl", "set", webspace + "\\httpdocs", "D:P(A;OICI;FA;;;SY)"});
    const std::string u1Before = tree(webspace + "\\web_users\\u1");

    // The webspace pass: the rest of the webspace is repaired, u1 left alone, exit 1.
    ProcessResult webspacePass = repair({"--full-scan"});
    EXPECT_EQ(webspacePass.exitCode, 1) << webspacePass.out;
    EXPECT_NE(webspacePass.out.find(".Web.u1.Security"), std::string::npos) << webspacePass.out;
    EXPECT_EQ(tree(webspace + "\\web_users\\u1"), u1Before);
    EXPECT_NE(host_({"acl", "get", webspace + "\\httpdocs"}), "O:BAG:SYD:P(A;OICI;FA;;;SY)\n");
    EXPECT_EQ(metadata(".Web.u1.Security"), damaged);

    // The web-user pass keeps the damaged file aside and builds the user's metadata anew.
    writeFile(onC("users.txt"), "u1\n");
    // The run fails all the same, naming the kept copy: the user's own entries are gone.
    ProcessResult userPass = repair({"--full-scan", "--web-users=C:\\users.txt"});
    EXPECT_EQ(userPass.exitCode, 1) << userPass.out;
    EXPECT_NE(userPass.out.find("was built anew"), std::string::npos) << userPass.out;
    EXPECT_NE(metadata(".Web.u1.Security").find("<Entries>"), std::string::npos);
    std::vector<std::string> kept;
    for (const auto& entry : fs::directory_iterator(onC("Inetpub/vhosts/example/.tarno"))) {
        if (entry.path().filename().string().rfind(".Web.u1.Security.damaged-", 0) == 0) {
            kept.push_back(readFile(entry.path()));
            EXPECT_NE(userPass.out.find(entry.path().filename().string()), std::string::npos);
        }
    }
    EXPECT_EQ(kept, std::vector<std::string>{damaged});
    EXPECT_NE(tree(webspace + "\\web_users\\u1"), u1Before);

    // The journal kept the damaged file before it was moved aside: the restore puts it back.
    ProcessResult restored = restore(journals().back());
    EXPECT_EQ(restored.exitCode, 0) << restored.out;
    EXPECT_EQ(metadata(".Web.u1.Security"), damaged);
}

}  // namespace

namespace {

// Every object below `path` with its descriptor, one line each.
std::string linesBelow(const std::string& all, const std::string& path) {
    std::string kept;
    for (std::size_t begin = 0, end; begin < all.size(); begin = end + 1) {
        end = all.find('\n', begin);
        std::string line = all.substr(begin, end - begin);
        if (line.rfind(path, 0) == 0) {
            kept += line + "\n";
        }
    }
    return kept;
}

}  // namespace

TEST_F(Confinement, AHostileTreeIsRepairedAndNothingOutsideItChanges) {
    const fs::path example = onC("Inetpub/vhosts/example");
    // Links at every depth, to folders and files outside the webspace; a hard link to the
    // panel's domain template; a link in place of a folder the template creates and of the
    // metadata directory; names Windows cannot hold.
    fs::create_directory_symlink(onC("target"), example / "httpdocs/l1");
    fs::create_directory_symlink(onC("Inetpub/vhosts/fresh.com"), example / "httpdocs/img/a/l2");
    fs::create_directory_symlink(onC("Windows"), example / "web_users/u1/docs/l3");
    fs::create_symlink(onC("target/kept.txt"), example / "httpdocs/kept.txt");
    fs::create_hard_link(onC("Program Files (x86)/Tarno/etc/hosting_template.xml"),
                         example / "httpdocs/template.xml");
    fs::create_directory_symlink(onC("target"), example / "logs");
    fs::create_directories(onC("Inetpub/vhosts/fresh.com/.tarno"));
    fs::create_directory_symlink(onC("Inetpub/vhosts/fresh.com/.tarno"), example / ".tarno");
    for (const char* odd : {"d./f.txt", "e /f.txt", "g:h/f.txt"}) {
        file("Inetpub/vhosts/example/httpdocs/" + std::string(odd));
    }
    // Windows sees the odd names with the character in private use.
    const char* const oddNames[] = {"\\d\xef\x80\xae", "\\e\xef\x80\xa0", "\\g\xef\x80\xbah"};
    for (const char* odd : oddNames) {
        host_({"acl", "set", webspace + "\\httpdocs" + odd, "D:P(A;OICI;FA;;;SY)"});
    }
    const std::string before = outside();

    // The metadata directory is a link: the run refuses before it changes anything.
    std::string webspaceBefore = tree();
    ProcessResult refused = repair({"--full-scan"});
    EXPECT_EQ(refused.exitCode, 1) << refused.out;
    EXPECT_EQ(tree(), webspaceBefore);
    EXPECT_EQ(outside(), before);
    fs::remove(example / ".tarno");

    // Both walks leave everything outside as it was, byte for byte.
    for (const std::vector<std::string>& extra :
         {std::vector<std::string>{"--full-scan"}, std::vector<std::string>{}}) {
        repair(extra);
        EXPECT_EQ(outside(), before);
    }
    for (const char* made : {"iis", "php_errors", "FailedRequests"}) {
        EXPECT_FALSE(fs::exists(onC("target") / made)) << made;
    }
    // The odd names were reached and repaired with the rest of httpdocs.
    std::string repaired = host_({"acl", "get", webspace + "\\httpdocs", "--tree", "--sddl"});
    for (const char* odd : oddNames) {
        std::string below = linesBelow(repaired, webspace + "\\httpdocs" + odd);
        EXPECT_NE(below, "") << odd;
        EXPECT_EQ(below.find("D:P(A;OICI;FA;;;SY)"), std::string::npos) << below;
    }
    // A second check finds nothing left to write but the panel's template, which its second
    // name kept from the repair; it names what it refused and fails.
    ProcessResult check = repair({"--full-scan", "--check-only", "--report-file=C:\\r.txt"});
    EXPECT_EQ(check.exitCode, 1) << check.out;
    EXPECT_EQ(readFile(onC("r.txt")), webspace + "\\httpdocs\\template.xml\r\n");
    EXPECT_NE(log().find(webspace + "\\httpdocs\\template.xml, because it has 2 hard links"),
              std::string::npos);
}
