// The commands under what real servers do to them: runs killed part-way, many runs at once,
// and concurrent account changes; real processes on a temporary host.
#include <signal.h>
#include <sys/xattr.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <regex>
#include <set>
#include <thread>

#include "hosting_fixture.h"
#include "platform/dtyp/sddl.h"
#include "platform/security.h"

namespace {
using namespace HostingTest;
using Clock = std::chrono::steady_clock;

class Reliability : public SecurityCommands {
protected:
    // `count` files in folders of 100 below httpdocs\bulk.
    void bulk(std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            file("Inetpub/vhosts/example/httpdocs/bulk/d" + std::to_string(i / 100) + "/f" +
                 std::to_string(i) + ".html");
        }
    }
    // Every object of the webspace's httpdocs given a wrong explicit DACL, through the seam.
    void makeEverythingWrong() {
        auto sd = Platform::Dtyp::fromSddl(L"D:P(A;OICI;FA;;;WD)");
        auto dacl = Platform::Dtyp::encodeAcl(*sd->dacl);
        fs::path root = onC("Inetpub/vhosts/example/httpdocs");
        for (const auto& item : fs::recursive_directory_iterator(root)) {
            std::string relative = fs::relative(item.path(), host.driveC()).string();
            std::replace(relative.begin(), relative.end(), '/', '\\');
            ASSERT_EQ(Platform::setNamedSecurityInfo(
                          Platform::fromUtf8("C:\\" + relative), Platform::SeFileObject,
                          Platform::SecurityInformation::Dacl |
                              Platform::SecurityInformation::ProtectedDacl,
                          nullptr, nullptr, dacl->data(), nullptr),
                      0u);
        }
    }
    // Every object of the webspace with its descriptor's bytes, read through the seam.
    std::map<std::string, std::vector<std::uint8_t>> descriptors() {
        std::map<std::string, std::vector<std::uint8_t>> all;
        fs::path root = onC("Inetpub/vhosts/example");
        for (const auto& item : fs::recursive_directory_iterator(root)) {
            if (item.is_symlink()) {
                continue;  // a link is not an object of the webspace
            }
            std::string relative = item.path().lexically_relative(host.driveC()).string();
            std::replace(relative.begin(), relative.end(), '/', '\\');
            if (relative.find(".tarno") != std::string::npos) {
                continue;
            }
            std::vector<std::uint8_t> bytes;
            EXPECT_EQ(Platform::getNamedSecurityInfo(Platform::fromUtf8("C:\\" + relative),
                                                     Platform::SeFileObject,
                                                     Platform::SecurityInformation::Dacl, bytes),
                      0u)
                << relative;
            all[relative] = std::move(bytes);
        }
        return all;
    }
    std::vector<std::string> repairArgs() {
        return {"--repair-webspace-security", "--webspace-name=example", "--user-name=exuser",
                "--full-scan"};
    }
    // Temporary files of saves left in the metadata directory.
    std::vector<std::string> leftovers() {
        std::vector<std::string> found;
        fs::path tarno = onC("Inetpub/vhosts/example/.tarno");
        if (fs::exists(tarno)) {
            for (const auto& item : fs::directory_iterator(tarno)) {
                if (item.path().extension() == ".tmp") {
                    found.push_back(item.path().filename().string());
                }
            }
        }
        return found;
    }
};

std::size_t objectsForCrashTest() {
    const char* configured = std::getenv("TAVREL_TEST_CRASH_OBJECTS");
    return configured ? std::strtoul(configured, nullptr, 10) : 20000;
}

TEST_F(Reliability, RepairsKilledAtAnyPointConvergeAndLeaveNothingHalfWritten) {
    bulk(objectsForCrashTest());
    makeEverythingWrong();
    auto start = Clock::now();
    ASSERT_EQ(tavrel(repairArgs()).exitCode, 0);
    auto uninterrupted = Clock::now() - start;
    auto expected = descriptors();
    std::string expectedMetadata = metadata();

    constexpr int killPoints = 20;
    for (int point = 1; point <= killPoints; ++point) {
        SCOPED_TRACE(point);
        makeEverythingWrong();
        const bool undo = point % 3 == 2;
        const auto wrong = undo ? descriptors() : decltype(descriptors()){};
        std::vector<fs::path> journalsBefore = journals();
        auto run = startProgram("tavrel", repairArgs());
        std::this_thread::sleep_for(uninterrupted * point / (killPoints + 1));
        run.kill();
        // Whatever the kill interrupted, the metadata file is the old one or a whole new one.
        EXPECT_EQ(metadata(), expectedMetadata);
        // And its journal undoes it: each record is on the disk before the write it records.
        std::vector<fs::path> kept = journals();
        if (undo && kept != journalsBefore) {
            ASSERT_EQ(restore(kept.back()).exitCode, 0);
            EXPECT_TRUE(descriptors() == wrong) << "a killed run's journal missed a write";
        }
        ASSERT_EQ(tavrel(repairArgs()).exitCode, 0);
        EXPECT_TRUE(descriptors() == expected) << "the repair after the kill ended elsewhere";
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
    }
}

TEST_F(Reliability, ASaveRemovesWhatKilledSavesLeftAndNothingElse) {
    ASSERT_EQ(tavrel(repairArgs()).exitCode, 0);
    fs::path tarno = onC("Inetpub/vhosts/example/.tarno");
    const char* stale = "~tvr0badf00d.tmp";
    const char* foreign = "~tvrnotours.tmp";
    const char* running = "~tvr12345678.tmp";
    for (const char* name : {stale, foreign, running}) {
        writeFile(tarno / name, "<Entries>");
    }
    auto hourAgo = fs::file_time_type::clock::now() - std::chrono::hours(1);
    fs::last_write_time(tarno / stale, hourAgo);
    fs::last_write_time(tarno / foreign, hourAgo);
    // A save running now in another process: written after this run started.
    fs::last_write_time(tarno / running, fs::file_time_type::clock::now() + std::chrono::hours(1));
    ASSERT_EQ(tavrel(repairArgs()).exitCode, 0);
    EXPECT_FALSE(fs::exists(tarno / stale));
    EXPECT_TRUE(fs::exists(tarno / foreign));
    EXPECT_TRUE(fs::exists(tarno / running));
}

TEST_F(Reliability, EightRunsOnOneWebspaceTakeTurnsAndEndAsOneRun) {
    host_({"reg", "set", configKey, "DebugSecuritySettings", "REG_DWORD", "1"});
    bulk(300);
    makeEverythingWrong();
    ASSERT_EQ(tavrel(repairArgs()).exitCode, 0);
    auto expected = descriptors();
    std::string expectedMetadata = metadata();
    makeEverythingWrong();
    fs::remove_all(onC("Program Files (x86)/Tarno/admin/logs"));

    std::vector<TestSupport::RunningProgram> runs;
    for (int i = 0; i < 8; ++i) {
        runs.push_back(startProgram("tavrel", repairArgs()));
    }
    for (auto& run : runs) {
        EXPECT_EQ(run.wait().exitCode, 0);
    }
    EXPECT_TRUE(descriptors() == expected);
    EXPECT_EQ(metadata(), expectedMetadata);
    EXPECT_EQ(walkTurns().size(), 8u) << "the walks of the runs interleaved";
}

TEST_F(Reliability, RunsOnDifferentWebspacesOverlap) {
    host_({"reg", "set", configKey, "DebugSecuritySettings", "REG_DWORD", "1"});
    for (const char* site : {"one", "two"}) {
        for (int i = 0; i < 400; ++i) {
            file("Inetpub/vhosts/" + std::string(site) + "/httpdocs/f" + std::to_string(i));
        }
    }
    auto one = startProgram("tavrel", {"--repair-webspace-security", "--webspace-name=one",
                                       "--user-name=exuser", "--full-scan"});
    auto two = startProgram("tavrel", {"--repair-webspace-security", "--webspace-name=two",
                                       "--user-name=exuser", "--full-scan"});
    EXPECT_EQ(one.wait().exitCode, 0);
    EXPECT_EQ(two.wait().exitCode, 0);
    EXPECT_GT(walkTurns().size(), 2u) << "the runs on two webspaces waited for each other";
}

TEST_F(Reliability, AKilledRunReleasesItsWebspace) {
    bulk(3000);
    makeEverythingWrong();
    auto killed = startProgram("tavrel", repairArgs());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    killed.kill();
    auto start = Clock::now();
    EXPECT_EQ(tavrel(repairArgs()).exitCode, 0);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(120));
}

TEST_F(Reliability, AFileSizeLimitIsAFullDiskNamedAndCleanedUp) {
    // Under a 4 KiB file-size limit a save of the 10 KiB domain template cannot complete.
    std::string command = "ulimit -f 4; exec " + (TestSupport::binDir() / "tavrel").string() +
                          " --create-domain-template '--file-name=C:\\limited.xml'";
    ProcessResult r = runProgram("/bin/sh", {"-c", command});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("(Error code 112)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Save entries to 'C:\\limited.xml'"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(onC("limited.xml")));
    for (const auto& item : fs::directory_iterator(host.driveC())) {
        EXPECT_NE(item.path().extension(), ".tmp") << item.path();
    }
    // The host's tool too: the shared change log cannot be made under a 1 KiB limit, and the
    // host goes on without it.
    fs::remove(host.dir() / "security.changes");
    ProcessResult tool = runProgram(
        "/bin/sh", {"-c", "ulimit -f 1; exec " + (TestSupport::binDir() / "tavrel-host").string() +
                              " acl set 'C:\\Windows' 'D:P(A;OICI;FA;;;SY)'"});
    EXPECT_EQ(tool.exitCode, 0) << tool.err;
    EXPECT_EQ(host_({"acl", "get", "C:\\Windows"}), "O:BAG:SYD:PAI(A;OICI;FA;;;SY)\n");
}

TEST_F(Reliability, ThirtyAccountsAddedAtOnceAreAllKept) {
    std::vector<TestSupport::RunningProgram> adds;
    for (int i = 0; i < 30; ++i) {
        adds.push_back(startProgram("tavrel-host", {"account", "add", "many" + std::to_string(i)}));
    }
    std::set<std::string> sids;
    for (auto& add : adds) {
        TestSupport::ProcessResult r = add.wait();
        EXPECT_EQ(r.exitCode, 0) << r.err;
        sids.insert(r.out);
    }
    EXPECT_EQ(sids.size(), 30u) << "two accounts got the same SID";
    std::string list = host_({"account", "list"});
    for (int i = 0; i < 30; ++i) {
        EXPECT_NE(list.find("many" + std::to_string(i) + "\t"), std::string::npos) << i;
    }
}

// One handle, opened before the walk, serves the webspace pass and every web-user pass; a line
// that cannot be written never stops the DACL write after it, but fails the run.
TEST_F(Reliability, TheReportIsOpenedOnceAndALostLineFailsTheRun) {
    writeFile(onC("users.txt"), "u1\r\n");
    const struct {
        const char* name;
        std::string faults;
        std::vector<std::string> extra;
        int exitCode;
    } cases[] = {
        {"FullDisk", "write-file:112:path=report.txt", {}, 1},
        // A second open by name fails.
        {"OpenedOnce", "create-file:5:after=1:path=report.txt", {"--web-users=C:\\users.txt"}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        host_({"acl", "set", webspace + "\\httpdocs", "D:P(A;OICI;FA;;;WD)"});
        fs::remove(onC("report.txt"));
        fs::remove(onC("after.txt"));
        std::vector<std::string> args = {"--repair-webspace-security", "--webspace-name=example",
                                         "--user-name=exuser", "--full-scan",
                                         "--report-file=C:\\report.txt"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        ProcessResult r = runProgram("tavrel", args, {"TAVREL_FAULTS=" + c.faults});
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
        std::string report = readFile(onC("report.txt"));
        if (c.exitCode == 1) {
            EXPECT_EQ(report, "");
            EXPECT_NE(r.out.find("Unable to write the report file C:\\report.txt"),
                      std::string::npos)
                << r.out;
            EXPECT_NE(r.out.find("(Error code 112)"), std::string::npos) << r.out;
            EXPECT_NE(log().find("Warning: Unable to write the report file C:\\report.txt for " +
                                 webspace + "\\httpdocs"),
                      std::string::npos);
        } else {
            EXPECT_NE(report.find(webspace + "\\httpdocs\r\n"), std::string::npos) << report;
        }
        // Every DACL was written: nothing is left to report.
        ASSERT_EQ(repair({"--check-only", "--full-scan", "--report-file=C:\\after.txt"}).exitCode,
                  0);
        EXPECT_EQ(readFile(onC("after.txt")), "");
    }
}

}  // namespace

// Faults of the host in the middle of a repair (TAVREL_FAULTS of the emulated host). Each
// run must name what failed, leave every object either as it was or as a clean run makes it,
// leave the metadata whole, and a rerun without the fault must end as a clean run does.
struct HostFault {
    const char* what;
    std::string rule;
    int exitCode;
    std::string said;  // in the output or the log
    bool removeMetadata = false;
};

TEST_F(Reliability, HostFaultsAreReportedAndLeaveNothingARerunCannotMend) {
    bulk(60);
    fs::path outside = host.driveC() / "Windows";
    fs::create_directories(outside);
    writeFile(outside / "win.ini", "x");
    std::string outsideBefore = tree("C:\\Windows");
    makeEverythingWrong();
    ASSERT_EQ(tavrel(repairArgs()).exitCode, 0);
    auto expected = descriptors();
    std::string expectedMetadata = metadata();

    // A failure of one object is logged with the object's name and the run goes on; one of
    // the metadata save stops the run.
    const std::string bulkPath = "C:\\Inetpub\\vhosts\\example\\httpdocs\\bulk\\";
    const HostFault faults[] = {
        {"DACL writes meet a full disk", "set-security:112:after=20", 1,
         "(Error code 112) at Unable to set the object security info"},
        {"DACL writes are refused", "set-security:5:after=20", 1, "security of C:\\Inetpub"},
        {"a folder vanishes after it is listed", "vanish:d0", 1,
         "Unable to open the object (" + bulkPath + "d0)"},
        {"a file becomes a link out of the webspace",
         "relink:f1.html:" + (outside / "win.ini").string(), 1,
         "Cannot apply security to path " + bulkPath +
             "d0\\f1.html, because it is a reparse point. Links are not allowed."},
        {"a folder becomes a link out of the webspace", "relink:d0:" + outside.string(), 1,
         "Cannot apply security to path " + bulkPath +
             "d0, because it is a reparse point. Links are not allowed."},
        {"the temporary metadata file cannot be created", "create-file:112:path=~tvr", 1,
         "CreateFile"},
        {"the metadata cannot be written", "write-file:112:path=~tvr", 1, "WriteFile"},
        {"the metadata cannot be flushed", "flush-file:112:path=~tvr", 1, "FlushFileBuffers"},
        {"the metadata cannot replace the old one", "replace-file:5:path=.Security", 1,
         ".Security"},
        {"new metadata cannot be moved in place", "move-file:112:path=.Security", 1, ".Security",
         true},
        {"the disk is full", "*:112", 1, "not enough space"},
        // The manager cannot be made without its COM apartment: nothing is read or written,
        // and the COM error is rendered as the frame renders every COM error.
        {"COM cannot be entered", "co-initialize:0x8000FFFF", 1,
         "(COM Error 8000FFFF)\n   at execute console command --repair-webspace-security \n"
         "   at (vconsoleapp::start line 93)"},
    };
    for (const HostFault& fault : faults) {
        SCOPED_TRACE(fault.what);
        makeEverythingWrong();
        if (fault.removeMetadata) {
            fs::remove(onC("Inetpub/vhosts/example/.tarno/.Security"));
        }
        auto before = descriptors();
        ProcessResult r =
            runProgram("tavrel", repairArgs(), {"TAVREL_FAULTS=" + fault.rule});
        std::string said = r.out + r.err + log();
        EXPECT_EQ(r.exitCode, fault.exitCode);
        EXPECT_NE(said.find(fault.said), std::string::npos) << said;
        for (const auto& [path, bytes] : descriptors()) {
            EXPECT_TRUE(bytes == before[path] || bytes == expected[path]) << path;
        }
        if (!fault.removeMetadata) {
            EXPECT_EQ(metadata(), expectedMetadata);
        }
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
        EXPECT_EQ(tree("C:\\Windows"), outsideBefore);

        // A link the fault left would fail the rerun too: it is what the tenant made.
        std::vector<fs::path> links;
        for (const auto& entry :
             fs::recursive_directory_iterator(onC("Inetpub/vhosts/example/httpdocs/bulk"))) {
            if (entry.is_symlink()) {
                links.push_back(entry.path());
            }
        }
        for (const fs::path& link : links) {
            fs::remove(link);
        }
        ProcessResult rerun = tavrel(repairArgs());
        ASSERT_EQ(rerun.exitCode, 0) << rerun.out << log();
        auto after = descriptors();
        for (const auto& [path, bytes] : after) {
            EXPECT_TRUE(bytes == expected[path]) << path;
        }
        EXPECT_EQ(metadata(), expectedMetadata);
        // What vanished or became a link is made again for the next row.
        fs::remove_all(onC("Inetpub/vhosts/example/httpdocs/bulk"));
        fs::remove_all(onC("Program Files (x86)/Tarno/admin/logs"));
        bulk(60);
    }
}

TEST_F(Reliability, ACorruptDescriptorIsNamedAndOnlyAWholeReplacementMendsIt) {
    const std::string img = webspace + "\\httpdocs\\img";
    // Everything wrong, but img\a inheriting from img.
    auto wrongState = [&] {
        makeEverythingWrong();
        host_({"acl", "set", img + "\\a", "D:"});
    };
    wrongState();
    ASSERT_EQ(tavrel(repairArgs()).exitCode, 0);
    auto expected = descriptors();
    const std::string index = webspace + "\\httpdocs\\index.html";
    std::string indexRepaired = host_({"acl", "get", index});
    wrongState();
    fs::path imgOnDisk = onC("Inetpub/vhosts/example/httpdocs/img");
    ASSERT_EQ(::setxattr(imgOnDisk.c_str(), "user.tavrel.sd", "\x01\x02", 2, 0), 0);

    // A read below it names the corrupt ancestor, not only the object asked for.
    ProcessResult below = runProgram("tavrel-host", {"acl", "get", img + "\\a"});
    EXPECT_EQ(below.exitCode, 1);
    EXPECT_NE(below.err.find("the descriptor stored for '" + img + "' is corrupt (2 bytes 0102)"),
              std::string::npos)
        << below.err;
    // A repair names it, leaves it and what is below it, mends the rest, and fails.
    ASSERT_EQ(tavrel(repairArgs()).exitCode, 1);
    EXPECT_NE(log().find("(Error code 1392) at Unable to open the object (" + img +
                         "): the security descriptor of " + img + " is corrupt"),
              std::string::npos)
        << log();
    EXPECT_EQ(host_({"acl", "get", index}), indexRepaired);

    // Only owner, group and DACL written whole, by SYSTEM or with the restore privilege,
    // replace what cannot be read.
    struct Write {
        std::vector<std::string> args;
        std::vector<std::string> env;
        int exitCode;
    };
    host_({"account", "add", "mallory"});
    const Write writes[] = {
        {{"acl", "set", img, "D:P(A;OICI;FA;;;WD)"}, {}, 1},
        {{"acl", "set", img, "O:BAG:SYD:P(A;OICI;FA;;;WD)"}, {"TAVREL_HOST_USER=mallory"}, 1},
        {{"acl", "reset", img}, {}, 0},
    };
    for (const Write& write : writes) {
        ProcessResult r = runProgram("tavrel-host", write.args, write.env);
        EXPECT_EQ(r.exitCode, write.exitCode) << write.args[1] << " " << r.err;
    }
    wrongState();
    ASSERT_EQ(tavrel(repairArgs()).exitCode, 0);
    EXPECT_TRUE(descriptors() == expected);
}

// POSIX names ending in a dot or a blank, which Windows would strip, are listed with that last
// character in private use (U+F02E, U+F020): the walk reaches them and what is below them, and
// repairs them like any other object.
TEST_F(Reliability, NamesEndingInADotOrABlankAreWalkedAndRepaired) {
    const std::string dot = "\xEF\x80\xAE";    // U+F02E in UTF-8
    const std::string blank = "\xEF\x80\xA0";  // U+F020
    const std::string httpdocs = webspace + "\\httpdocs\\";
    const struct {
        std::string posix;
        std::string windows;
        bool directory;
    } objects[] = {
        {"d.", "d" + dot, true},
        {"d./f.html", "d" + dot + "\\f.html", false},
        {"d./g.", "d" + dot + "\\g" + dot, false},
        {"e ", "e" + blank, true},
        {"e /x ", "e" + blank + "\\x" + blank, true},
        {"e /x /h.html", "e" + blank + "\\x" + blank + "\\h.html", false},
    };
    const std::string wrong = "D:P(A;OICI;FA;;;WD)";
    for (const auto& object : objects) {
        fs::path onDisk = onC("Inetpub/vhosts/example/httpdocs/" + object.posix);
        if (object.directory) {
            fs::create_directories(onDisk);
        } else {
            writeFile(onDisk, "x");
        }
        host_({"acl", "set", httpdocs + object.windows, wrong});
    }
    std::map<std::string, std::string> before;
    for (const auto& object : objects) {
        before[object.posix] = host_({"acl", "get", httpdocs + object.windows});
    }

    ASSERT_EQ(tavrel(repairArgs()).exitCode, 0);
    EXPECT_EQ(log().find("Unable to open the object"), std::string::npos) << log();
    for (const auto& object : objects) {
        EXPECT_NE(host_({"acl", "get", httpdocs + object.windows}), before[object.posix])
            << object.posix;
    }
    std::vector<std::string> check = repairArgs();
    check.insert(check.end(), {"--check-only", "--report-file=C:\\report.txt"});
    ASSERT_EQ(tavrel(check).exitCode, 0);
    EXPECT_EQ(readFile(onC("report.txt")), "");
}

// A file-sharing user update on a vhost and a repair of that webspace write one metadata file:
// they take turns, so whichever comes second starts from what the first saved, and the
// user's entries are never lost.
TEST_F(Reliability, AFileSharingUserUpdateBesideARepairOfItsWebspaceIsKept) {
    host_({"reg", "set", configKey, "DebugSecuritySettings", "REG_DWORD", "1"});
    file("Program Files (x86)/Tarno/etc/share.xml",
         "<Entries><Entry AccounType=\"0\" Account=\"Null\" Path=\"[HTTPD_VHOSTS_D]\" "
         "SubPath=\"httpdocs\" AceFlags=\"ThisFolderSubfoldersAndFiles\" "
         "AccessMask=\"ReadAndExecute\" EntryFlags=\"0x140\" Tag=\"User\" Tag2=\"\"/></Entries>");
    bulk(200);
    ASSERT_EQ(tavrel(repairArgs()).exitCode, 0);
    const std::string withoutUser = metadata();
    const fs::path logs = onC("Program Files (x86)/Tarno/admin/logs");
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE(run);
        writeFile(onC("Inetpub/vhosts/example/.tarno/.Security"), withoutUser);
        fs::remove_all(logs);
        auto repair = startProgram("tavrel", repairArgs());
        // The repair has read the metadata and is walking when the update comes.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ProcessResult update =
            tavrel({"--update-user-filesharing-security", "--vhost-name=example", "--user=u1",
                    "--user-id=7", "--template=share.xml", "--private-template="});
        EXPECT_EQ(update.exitCode, 0) << update.out;
        EXPECT_EQ(repair.wait().exitCode, 0);
        EXPECT_EQ(count(metadata(), "Tag2=\"7\""), 1u) << "the update was lost";
        EXPECT_EQ(walkTurns().size(), 2u) << "the walks of the two runs interleaved";
    }
}

// Leftovers of killed runs are removed only in the tool's own folders: the private temporary
// folder, where a file-sharing update killed while it reads a template leaves the template's
// copy, and .tarno. A user's folder that a save writes to keeps whatever it holds.
TEST_F(Reliability, LeftoversAreRemovedInTheToolsOwnFoldersOnly) {
    const fs::path privateTemp = onC("Program Files (x86)/Tarno/PrivateTemp");
    fs::remove_all(privateTemp);
    // A template that takes a while to read; written an hour ago.
    const fs::path big = onC("Program Files (x86)/Tarno/etc/big.xml");
    writeFile(big, "<Entries><!--" + std::string(std::size_t{8} << 20, 'x') + "--></Entries>");
    const auto hourAgo = fs::file_time_type::clock::now() - std::chrono::hours(1);
    fs::last_write_time(big, hourAgo);
    // The files of the private temporary folder; with `copied`, only whole copies of it.
    auto inPrivateTemp = [&](bool copied) {
        std::vector<fs::path> found;
        std::error_code error;
        for (const auto& item : fs::directory_iterator(privateTemp, error)) {
            if (!copied || item.file_size(error) == fs::file_size(big)) {
                found.push_back(item.path());
            }
        }
        return found;
    };
    const auto started = fs::file_time_type::clock::now();
    std::vector<fs::path> left;
    for (int attempt = 0; attempt < 10 && left.empty(); ++attempt) {
        auto update = startProgram(
            "tavrel", {"--update-user-filesharing-security", "--vhost-name=fs", "--user=u1",
                       "--user-id=7", "--template=big.xml", "--private-template="});
        for (auto until = Clock::now() + std::chrono::seconds(10);
             inPrivateTemp(true).empty() && Clock::now() < until;) {
        }
        // Killed while it parses the copy.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        update.kill();
        left = inPrivateTemp(false);
    }
    ASSERT_FALSE(left.empty()) << "no update was killed while it read its template";
    for (const fs::path& copy : left) {
        // Stamped when it was made, not with the template's time: a run going on keeps it.
        EXPECT_GE(fs::last_write_time(copy), started) << copy;
    }

    const fs::path httpdocs = onC("Inetpub/vhosts/example/httpdocs");
    const char* userFile = "~tvr0123abcd.tmp";  // the form of the tool's own saves
    writeFile(httpdocs / userFile, "mine");
    fs::last_write_time(httpdocs / userFile, hourAgo);
    const fs::path foreign = privateTemp / "notours.tmp";
    const fs::path running = privateTemp / "abc12.tmp";
    writeFile(foreign, "x");
    fs::last_write_time(foreign, hourAgo);
    writeFile(running, "x");
    fs::last_write_time(running, fs::file_time_type::clock::now() + std::chrono::hours(1));

    ProcessResult next = tavrel({"--update-path-security", "--path=" + webspace + "\\httpdocs"});
    ASSERT_EQ(next.exitCode, 0) << next.out;
    EXPECT_TRUE(fs::exists(httpdocs / ".Security"));
    EXPECT_EQ(readFile(httpdocs / userFile), "mine");
    for (const fs::path& copy : left) {
        EXPECT_FALSE(fs::exists(copy)) << copy;
    }
    EXPECT_TRUE(fs::exists(foreign));
    EXPECT_TRUE(fs::exists(running));
}
