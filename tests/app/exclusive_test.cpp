// Runs of tavrel that touch the same webspace wait for each other through the machine-wide
// named mutex; proven with real processes.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/process.h"
#include "support/temp_host.h"

namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using TestSupport::runProgram;
using TestSupport::startProgram;

const std::string baseMutex = "Global\\{88B0E47B-31B8-463c-9F1C-042CEB27267A}";

std::int64_t monotonicNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The time of the first mark `what` ("enter" or "leave") in the holder's marks file, or -1.
std::int64_t markTime(const fs::path& marks, const std::string& what) {
    std::ifstream in(marks);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string kind, pid;
        std::int64_t time = -1;
        fields >> kind >> pid >> time;
        if (kind == what) {
            return time;
        }
    }
    return -1;
}

std::int64_t waitForMark(const fs::path& marks, const std::string& what) {
    for (int i = 0; i < 1000; ++i) {
        if (std::int64_t t = markTime(marks, what); t >= 0) {
            return t;
        }
        std::this_thread::sleep_for(10ms);
    }
    return -1;
}

class Exclusive : public ::testing::Test {
protected:
    // A webspace command works only on a webspace that exists.
    void SetUp() override { fs::create_directories(host.driveC() / "Inetpub/vhosts/example"); }

    TestSupport::TempHost host;
    TestSupport::TempDir scratch;
    fs::path marks = scratch.path() / "marks";
};

TEST_F(Exclusive, SameWebspaceWaitsForTheHolder) {
    // A repair, and the access report, which reads what a repair writes.
    for (const char* command : {"--repair-webspace-security", "--report-webspace-access"}) {
        SCOPED_TRACE(command);
        fs::remove(marks);
        auto holder =
            startProgram("mutex_holder", {"hold", baseMutex + "-example", "1500", marks.string()});
        ASSERT_GE(waitForMark(marks, "enter"), 0);
        auto r = runProgram("tavrel", {command, "--webspace-name=example", "--user-name=u"});
        std::int64_t tavrelEnd = monotonicNow();
        ASSERT_EQ(holder.wait().exitCode, 0);
        EXPECT_GT(tavrelEnd, markTime(marks, "leave"))
            << "tavrel ran while another process held the mutex";
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    }
}

TEST_F(Exclusive, OtherWebspaceDoesNotWait) {
    auto holder =
        startProgram("mutex_holder", {"hold", baseMutex + "-other", "3000", marks.string()});
    ASSERT_GE(waitForMark(marks, "enter"), 0);
    runProgram("tavrel", {"--update-webspace-security", "--webspace-name=example"});
    std::int64_t tavrelEnd = monotonicNow();
    ASSERT_EQ(holder.wait().exitCode, 0);
    EXPECT_LT(tavrelEnd, markTime(marks, "leave"));
}

TEST_F(Exclusive, ParameterErrorsNeverTakeTheMutex) {
    auto holder = startProgram("mutex_holder", {"hold", baseMutex, "3000", marks.string()});
    ASSERT_GE(waitForMark(marks, "enter"), 0);
    auto r = runProgram("tavrel", {"--update-path-security"});
    std::int64_t tavrelEnd = monotonicNow();
    ASSERT_EQ(holder.wait().exitCode, 0);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_LT(tavrelEnd, markTime(marks, "leave"));
}

TEST_F(Exclusive, HolderThatDiesReleasesTheMutex) {
    auto holder = startProgram("mutex_holder", {"die", baseMutex + "-fs", "200", marks.string()});
    ASSERT_GE(waitForMark(marks, "enter"), 0);
    holder.wait();
    auto r = runProgram("tavrel", {"--repair-filesharing"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
}

}  // namespace
