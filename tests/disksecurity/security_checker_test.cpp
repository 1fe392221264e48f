// The checkers on real webspace trees of a temporary host: what a walk visits, what it finds
// wrong, what it writes and reports, how the callback steers it, and that a repair converges.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "checker_support.h"
#include "disksecurity/security_checker.h"
#include "runtime/exceptions.h"

namespace {

using namespace DiskSecurity;
using CheckerTest::Entry;
using CheckerTest::RecordingCallback;
using CheckerTest::Webspace;
using DiskSecurityTest::LogRecorder;
namespace fs = std::filesystem;

const std::vector<std::string> siteTree = {
    "httpdocs/index.html", "httpdocs/img/logo.png", "httpdocs/img/big/photo.jpg",
    "private/secret.txt",  "logs/access.log",       "logs/error.log",
    "cgi-bin/run.pl",      "error_docs/404.html",
};

// Entries of the kinds a webspace template holds, the two mended comparisons among them: a stop
// that must shut the users out of private, and a log file with an exact ACL of its own.
const std::vector<Entry> siteEntries = {
    {L"BU", L"", 3, 0x1200A9, 0},
    {L"IU", L"httpdocs", 3, 0x1301BF, 0},
    {L"BU", L"private", 3, 0, 0},
    {L"NS", L"logs", 3, 0x1F01FF, 0},
    {L"IU", L"logs\\access.log", 0, 0x1200A9, 0x100},
    {L"IU", L"cgi-bin", 3, 0x1200A9, 0x4},
    {L"BG", L"error_docs", 3, 0x1F01FF, 0x1},
};

std::wstring daclSddlOf(const std::wstring& path) {
    return CheckerTest::daclSddl(path);
}

bool grants(const std::wstring& sddl, const std::wstring& alias) {
    // An allow ACE of the account: "(A;<flags>;<mask>;;;<alias>)".
    for (std::size_t at = sddl.find(L"(A;"); at != std::wstring::npos;
         at = sddl.find(L"(A;", at + 1)) {
        std::size_t end = sddl.find(L')', at);
        if (sddl.compare(end - alias.size() - 1, alias.size() + 1, L";" + alias) == 0) {
            return true;
        }
    }
    return false;
}

std::vector<std::wstring> relativeTo(const Webspace& site, const std::vector<std::wstring>& paths) {
    std::vector<std::wstring> relative;
    for (const std::wstring& path : paths) {
        relative.push_back(path == site.root() ? L"" : path.substr(site.root().size() + 1));
    }
    return relative;
}

TEST(SecurityChecker, ARepairConvergesAndWhatItWroteHolds) {
    Webspace site("converge", siteTree);
    site.set("httpdocs/index.html", L"D:P(A;;FA;;;WD)");
    site.set("private", L"D:(A;OICI;FA;;;IU)");
    site.set("logs/access.log", L"D:(A;;FA;;;WD)");
    site.set("logs/error.log", L"D:(A;;FA;;;WD)");

    Webspace::Run first = site.run(siteEntries);
    EXPECT_GT(first.counts.written, 0u);
    EXPECT_EQ(first.counts.failed, 0u);
    EXPECT_EQ(first.counts.checked, site.dacls().size());
    auto repaired = site.dacls();

    // The stop shuts the users out of private and everything in it, foreign grants stay.
    for (std::string path : {"private", "private/secret.txt"}) {
        EXPECT_FALSE(grants(repaired[path], L"BU"))
            << path << " " << Platform::toUtf8(repaired[path]);
        EXPECT_TRUE(grants(repaired[path], L"IU")) << path;
    }
    EXPECT_TRUE(grants(repaired["httpdocs/index.html"], L"BU"));
    EXPECT_TRUE(grants(repaired["httpdocs/img/big/photo.jpg"], L"IU"));
    EXPECT_TRUE(grants(repaired["httpdocs/index.html"], L"WD"));
    // The exact ACL of the log file drops the foreign grant; what it inherits is what it needs.
    // Its sibling without an entry of its own keeps the grant, whichever is listed first.
    EXPECT_FALSE(grants(repaired["logs/access.log"], L"WD"));
    EXPECT_TRUE(grants(repaired["logs/error.log"], L"WD"));
    EXPECT_TRUE(grants(repaired["logs/access.log"], L"NS"));
    EXPECT_EQ(repaired["cgi-bin"].rfind(L"D:P", 0), 0u);
    EXPECT_NE(repaired["error_docs/404.html"].find(L"(D;"), std::wstring::npos);

    Webspace::Run check = site.run(siteEntries, CheckMode::CheckOnly);
    EXPECT_EQ(check.counts.wrong, 0u);
    EXPECT_EQ(check.counts.checked, first.counts.checked);
    Webspace::Run second = site.run(siteEntries);
    EXPECT_EQ(second.counts.written, 0u);
    EXPECT_EQ(site.dacls(), repaired);

    // The plain checker converges too. It handles files with their folder's information, so
    // the files of the folder that breaks inheritance stop inheriting as well.
    EXPECT_GT(site.run(siteEntries, CheckMode::Repair, false).counts.written, 0u);
    EXPECT_EQ(site.dacl("cgi-bin/run.pl").rfind(L"D:P", 0), 0u);
    EXPECT_EQ(site.run(siteEntries, CheckMode::CheckOnly, false).counts.wrong, 0u);
}

TEST(SecurityChecker, CheckOnlyAndSimulateWriteNothing) {
    struct Case {
        CheckMode mode;
        bool reports;
        bool writes;
        std::uint64_t wrong;  // a repaired folder makes its files right
    };
    for (Case c :
         {Case{CheckMode::CheckOnly, false, false, 4}, Case{CheckMode::Simulate, true, false, 4},
          Case{CheckMode::Repair, true, true, 3}}) {
        SCOPED_TRACE(static_cast<int>(c.mode));
        Webspace site("modes", {"httpdocs/index.html", "logs/"});
        auto before = site.dacls();
        fs::path report = site.posix().parent_path() / "modes-report.txt";
        fs::remove(report);
        std::wstring reportPath = L"C:\\webspaces\\modes-report.txt";
        RecordingCallback callback;
        Webspace::Run run = site.run(siteEntries, c.mode, true, &callback, reportPath);
        EXPECT_EQ(run.counts.wrong, c.wrong);
        EXPECT_EQ(run.counts.written, c.reports ? c.wrong : 0u);
        EXPECT_EQ(site.dacls() != before, c.writes);
        std::string expected;
        for (const std::wstring& path : callback.applied) {
            // Shown as the walk was given it, not in the long form it carries.
            EXPECT_EQ(path.rfind(site.root(), 0), 0u) << Platform::toUtf8(path);
            expected += Platform::toUtf8(path) + "\r\n";
        }
        EXPECT_EQ(TestSupport::readFile(report), c.reports ? expected : "");
        if (c.reports) {
            // A second run appends.
            site.run(siteEntries, CheckMode::Simulate, true, nullptr, reportPath);
            EXPECT_EQ(TestSupport::readFile(report), c.writes ? expected : expected + expected);
        }
        fs::remove(report);
    }
}

TEST(SecurityChecker, WhatTheWalkVisits) {
    struct Case {
        const char* name;
        std::vector<Entry> entries;
        bool walkAll;
        std::vector<std::wstring> visited;
    };
    const std::vector<std::string> tree = {"a/f.txt", "a/b/g.txt", "a/b/c/h.txt", "d/i.txt"};
    const Case cases[] = {
        {"FullWalk",
         {{L"BU", L"", 3, 0x1200A9, 0}},
         true,
         {L"", L"a", L"a\\b", L"a\\b\\c", L"a\\b\\c\\h.txt", L"a\\b\\g.txt", L"a\\f.txt", L"d",
          L"d\\i.txt"}},
        {"NoPropagateStopsTheFullWalkBelowThePath",
         {{L"BU", L"", 3, 0x1200A9, 0}, {L"IU", L"a", 3, 0x1200A9, 0x10}},
         true,
         {L"", L"a", L"d", L"d\\i.txt"}},
        {"NoPropagateLeavesTheFastAlgorithmsChildren",
         {{L"BU", L"", 3, 0x1200A9, 0},
          {L"IU", L"a", 3, 0x1200A9, 0x10},
          {L"IU", L"a\\b\\c", 3, 0x1200A9, 0}},
         false,
         {L"", L"a", L"a\\b\\c"}},
        {"SkipPathIsNeverOpened",
         {{L"BU", L"", 3, 0x1200A9, 0}, {L"IU", L"a\\b", 3, 0x1200A9, 0x20}},
         true,
         {L"", L"a", L"a\\f.txt", L"d", L"d\\i.txt"}},
        {"FastAlgorithmVisitsThePathsWithEntries",
         {{L"BU", L"", 3, 0x1200A9, 0}, {L"IU", L"d", 3, 0x1200A9, 0}},
         false,
         {L"", L"d"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Webspace site("visits", tree);
        RecordingCallback callback;
        site.run(c.entries, CheckMode::CheckOnly, true, &callback, {}, c.walkAll);
        auto visited = relativeTo(site, callback.checked);
        std::sort(visited.begin(), visited.end());
        auto expected = c.visited;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(visited, expected);
    }
}

TEST(SecurityChecker, ALinkInTheParentPathIsRefused) {
    Webspace site("links", {"real/inside/deep/file.txt"});
    fs::create_directory_symlink(site.posix() / "real", site.posix() / "link");
    LogRecorder::instance().clear();
    RecordingCallback callback;
    Webspace::Run run =
        site.run({{L"BU", L"", 3, 0x1200A9, 0}, {L"IU", L"link\\inside", 3, 0x1F01FF, 0}},
                 CheckMode::Repair, true, &callback, {}, false);
    EXPECT_EQ(relativeTo(site, callback.checked),
              (std::vector<std::wstring>{L"", L"link\\inside"}));
    auto refused = LogRecorder::instance().find(LogWarning, L"Links are not allowed.");
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_NE(refused[0].find(L"Cannot apply security to path " + site.path("link/inside") +
                              L", because it points to another path " + site.path("real/inside")),
              std::wstring::npos)
        << Platform::toUtf8(refused[0]);
    EXPECT_FALSE(grants(site.dacl("real/inside"), L"IU"));
    EXPECT_EQ(run.counts.written, 1u);  // the root alone

    // A full walk does not follow the link at all.
    RecordingCallback full;
    site.run({{L"BU", L"", 3, 0x1200A9, 0}}, CheckMode::CheckOnly, true, &full);
    for (const std::wstring& path : relativeTo(site, full.checked)) {
        EXPECT_EQ(path.find(L"link"), std::wstring::npos) << Platform::toUtf8(path);
    }
}

TEST(SecurityChecker, NamesWindowsCannotHoldStayInsideTheWebspace) {
    // One POSIX name each, which Windows would read as a way out of the webspace.
    Webspace site("names", {"..\\..\\..\\Windows", "sub/a:b/c?.txt"});
    std::wstring windows = daclSddlOf(L"C:\\Windows");
    RecordingCallback callback;
    Webspace::Run run =
        site.run({{L"BU", L"", 3, 0x1200A9, 0}}, CheckMode::Repair, true, &callback);
    EXPECT_EQ(run.counts.failed, 0u);
    EXPECT_EQ(daclSddlOf(L"C:\\Windows"), windows);
    std::vector<std::wstring> visited = relativeTo(site, callback.checked);
    std::sort(visited.begin(), visited.end());
    EXPECT_EQ(visited,
              (std::vector<std::wstring>{L"", L"..\uF05C..\uF05C..\uF05CWindows", L"sub",
                                         L"sub\\a\uF03Ab", L"sub\\a\uF03Ab\\c\uF03F.txt"}));
    // What the walk wrote landed on those objects themselves.
    for (const std::wstring& path : callback.checked) {
        EXPECT_TRUE(grants(daclSddlOf(path), L"BU")) << Platform::toUtf8(path);
    }
    EXPECT_EQ(site.run({{L"BU", L"", 3, 0x1200A9, 0}}).counts.written, 0u);
}

TEST(SecurityChecker, BreakingInheritanceRewritesWhatStillInherits) {
    Webspace site("breaks", {"cgi-bin/run.pl"});
    // The explicit part is already what the entry asks; only the inherited part is wrong.
    site.set("cgi-bin", L"D:(A;OICI;0x1200a9;;;IU)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
    std::vector<Entry> entries = {{L"IU", L"cgi-bin", 3, 0x1200A9, 0x4}};
    Webspace::Run run = site.run(entries);
    EXPECT_EQ(site.dacl("cgi-bin").rfind(L"D:P", 0), 0u) << Platform::toUtf8(site.dacl("cgi-bin"));
    EXPECT_GE(run.counts.written, 1u);
    EXPECT_EQ(site.run(entries).counts.written, 0u);
}

// Owned by another account with an empty protected DACL: SYSTEM may not even open it.
void lockOut(const Webspace& site, const std::string& relative) {
    DiskSecurityTest::hostTool(
        {"acl", "set", Platform::toUtf8(site.path(relative)), "O:BGG:SYD:P"});
}

TEST(SecurityChecker, TheCallbackSteersTheWalk) {
    struct Case {
        const char* name;
        std::vector<CallbackResult> answers;  // onError's, one after another
        std::vector<std::wstring> visited;
        bool aborted;
    };
    const Case cases[] = {
        {"RetryHandlesThePathAgain",
         {CallbackResult::Retry, CallbackResult::Ignore},
         {L"", L"a", L"a", L"d"},
         false},
        {"IgnoreSkipsTheSubtree", {CallbackResult::Ignore}, {L"", L"a", L"d"}, false},
        {"ContinueCountsAsIgnore", {CallbackResult::Continue}, {L"", L"a", L"d"}, false},
        {"AbortEndsTheWholeWalk", {CallbackResult::Abort}, {L"", L"a"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Webspace site("steer", {"a/f.txt", "d/"});
        lockOut(site, "a");
        RecordingCallback callback;
        callback.errorAnswers[site.path("a")] = c.answers;
        LogRecorder::instance().clear();
        Webspace::Run run =
            site.run({{L"BU", L"", 3, 0x1200A9, 0}}, CheckMode::Repair, true, &callback);
        EXPECT_EQ(run.aborted, c.aborted);
        EXPECT_EQ(relativeTo(site, callback.checked), c.visited);
        ASSERT_FALSE(callback.errors.empty());
        EXPECT_EQ(callback.errors[0].category, ErrorCategory::AccessDenied);
        EXPECT_EQ(callback.errors[0].path, site.path("a"));
        EXPECT_EQ(run.counts.failed, callback.errors.size());
        // The error is logged as a warning, or as an error when it ends the run.
        std::int32_t level = c.aborted ? LogError : LogWarning;
        EXPECT_EQ(LogRecorder::instance().find(level, L"Access is denied").size(),
                  callback.errors.size());
    }
}

TEST(SecurityChecker, ErrorsGoToTheCallbackByCategory) {
    struct Case {
        std::exception_ptr error;
        std::int32_t category;
    };
    const Case cases[] = {
        {std::make_exception_ptr(RunTime::InvalidPathException("x")), 1},
        {std::make_exception_ptr(RunTime::PathNotAllowedException("x")), 2},
        {std::make_exception_ptr(VAccessDeniedException(5, L"x", {})), 3},
        {std::make_exception_ptr(RunTime::AccessDeniedException("x")), 3},
        {std::make_exception_ptr(VFileNotFoundException(2, L"x", {})), 4},
        {std::make_exception_ptr(VPathNotFoundException(3, L"x", {})), 4},
        {std::make_exception_ptr(RunTime::PathNotFoundException("x")), 4},
        {std::make_exception_ptr(RunTime::AlreadyExistsException("x")), 5},
        {std::make_exception_ptr(VSharingViolationException(32, L"x", {})), 6},
        {std::make_exception_ptr(RunTime::SharingViolationException("x")), 6},
        {std::make_exception_ptr(RunTime::DirectoryNotEmptyException("x")), 8},
        {std::make_exception_ptr(VAlreadyExistsException(183, L"x", {})), 9},
        {std::make_exception_ptr(std::runtime_error("x")), 9},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(static_cast<int>(errorCategory(c.error).category), c.category);
    }
}

}  // namespace
