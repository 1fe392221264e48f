#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "support/process.h"
#include "support/temp_host.h"

namespace {
namespace fs = std::filesystem;
using TestSupport::runProgram;

class StructuredException : public ::testing::Test {
protected:
    fs::path dumpDir() const {
        return host.driveC() / "Program Files (x86)" / "Tarno" / "etc" / "crashdumps";
    }
    std::vector<fs::path> dumps() const {
        std::vector<fs::path> found;
        if (fs::exists(dumpDir())) {
            for (const auto& e : fs::directory_iterator(dumpDir())) {
                found.push_back(e.path());
            }
        }
        return found;
    }
    TestSupport::TempHost host;
};

TEST_F(StructuredException, FaultBecomesExitCodeOneWithWindowsCodeAndDump) {
    auto r = runProgram("crashing_app", {"--segv"});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    // The Crash line comes first, then the rendered failure the frame logs at level Error.
    EXPECT_EQ(r.out.rfind("C structured exception: 0xc0000005\nC structured exception: 0xc0000005\n"
                          "   at execute console command --segv (vconsoleapp::start line 93)\n",
                          0),
              0u)
        << r.out;
    auto files = dumps();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(std::regex_match(files[0].filename().string(),
                                 std::regex(R"(crashing_app\d{8}_\d{6}\.dmp)")))
        << files[0];
    std::string dump = TestSupport::readFile(files[0]);
    EXPECT_NE(dump.find("0xc0000005"), std::string::npos) << dump;
    EXPECT_NE(dump.find("Backtrace"), std::string::npos) << dump;
}

TEST_F(StructuredException, DivideFaultAndDisabledDumps) {
    auto set = runProgram("tavrel-host",
                          {"reg", "set", "HKLM\\SOFTWARE\\WOW6432Node\\Tarno\\Zel Config\\Config",
                           "CrashDumpsEnabled", "REG_DWORD", "0"});
    ASSERT_EQ(set.exitCode, 0) << set.err;
    auto r = runProgram("crashing_app", {"--fpe"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("C structured exception: 0xc0000094"), std::string::npos) << r.out;
    EXPECT_TRUE(dumps().empty());
}

TEST_F(StructuredException, DumpCountIsLimited) {
    auto set = runProgram("tavrel-host",
                          {"reg", "set", "HKLM\\SOFTWARE\\WOW6432Node\\Tarno\\Zel Config\\Config",
                           "CrashDumpsMaxCount", "REG_DWORD", "2"});
    ASSERT_EQ(set.exitCode, 0) << set.err;
    fs::create_directories(dumpDir());
    for (const char* old : {"crashing_app20200101_000000.dmp", "crashing_app20200102_000000.dmp",
                            "crashing_app20200103_000000.dmp"}) {
        TestSupport::writeFile(dumpDir() / old, "old");
    }
    ASSERT_EQ(runProgram("crashing_app", {"--segv"}).exitCode, 1);
    auto files = dumps();
    std::sort(files.begin(), files.end());
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].filename(), "crashing_app20200103_000000.dmp");
}

TEST_F(StructuredException, NormalRunIsUntouched) {
    auto r = runProgram("crashing_app", {});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
}

}  // namespace
