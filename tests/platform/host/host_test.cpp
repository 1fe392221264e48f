#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "platform/posix/host/host.h"
#include "support/process.h"
#include "support/temp_host.h"

namespace {
namespace fs = std::filesystem;

TEST(Host, FreshHostHasItsLayoutAndDefaults) {
    TestSupport::TempDir dir;
    Platform::Posix::completeHost(dir.path());
    EXPECT_EQ(fs::read_symlink(dir.path() / "dosdevices" / "c:"), "../drive_c");
    EXPECT_EQ(fs::read_symlink(dir.path() / "dosdevices" / "z:"), "/");
    for (const char* sub : {"locks", "eventlog", "drive_c/Program Files (x86)/Tarno/admin/logs",
                            "drive_c/Inetpub/vhosts", "drive_c/Windows"}) {
        EXPECT_TRUE(fs::is_directory(dir.path() / sub)) << sub;
    }
    std::string reg = TestSupport::readFile(dir.path() / "system.reg");
    EXPECT_EQ(reg.rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
    EXPECT_NE(reg.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Tarno\\Zel Config\\Config]\n"
                       "\"PRODUCT_ROOT_D\"=\"C:\\\\Program Files (x86)\\\\Tarno\"\n"
                       "\"HTTPD_VHOSTS_D\"=\"C:\\\\Inetpub\\\\vhosts\"\n"),
              std::string::npos);
    std::string accounts = TestSupport::readFile(dir.path() / "accounts");
    EXPECT_TRUE(std::regex_search(accounts, std::regex(R"(\ndomain S-1-5-21-\d+-\d+-\d+\n)")))
        << accounts;
}

TEST(Host, PartialHostIsCompletedWithoutTouchingWhatExists) {
    TestSupport::TempDir dir;
    fs::create_directories(dir.path() / "dosdevices");
    fs::create_symlink("/tmp", dir.path() / "dosdevices" / "c:");
    TestSupport::writeFile(dir.path() / "system.reg",
                           "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\X]\n");
    Platform::Posix::completeHost(dir.path());
    EXPECT_EQ(fs::read_symlink(dir.path() / "dosdevices" / "c:"), "/tmp");
    EXPECT_EQ(TestSupport::readFile(dir.path() / "system.reg"),
              "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\X]\n");
    EXPECT_TRUE(fs::exists(dir.path() / "accounts"));
    EXPECT_TRUE(fs::is_directory(dir.path() / "drive_c" / "Windows"));
}

TEST(Host, ProcessesStartingAtOnceAgreeOnOneHost) {
    TestSupport::TempDir dir;
    fs::path host = dir.path() / "new-host";
    std::vector<TestSupport::RunningProgram> running;
    for (int i = 0; i < 6; ++i) {
        running.push_back(
            TestSupport::startProgram("tavrel-host", {"init"}, {"TAVREL_HOST=" + host.string()}));
    }
    for (auto& p : running) {
        auto r = p.wait();
        EXPECT_EQ(r.exitCode, 0) << r.err;
    }
    // One domain SID for everybody, and no temporary files left behind.
    std::string accounts = TestSupport::readFile(host / "accounts");
    EXPECT_EQ(std::count(accounts.begin(), accounts.end(), '\n'), 6) << accounts;
    for (const auto& entry : fs::directory_iterator(host)) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp."), std::string::npos)
            << entry.path();
    }
    auto reg = TestSupport::runProgram(
        "tavrel-host",
        {"reg", "get", "HKLM\\SOFTWARE\\WOW6432Node\\Tarno\\Zel Config\\Config", "HTTPD_VHOSTS_D"},
        {"TAVREL_HOST=" + host.string()});
    EXPECT_EQ(reg.out, "C:\\Inetpub\\vhosts\n");
}

TEST(Host, UnusableHostIsAClearError) {
    TestSupport::TempDir dir;
    TestSupport::writeFile(dir.path() / "file", "not a directory");
    auto r = TestSupport::runProgram("tavrel", {"--help"},
                                     {"TAVREL_HOST=" + (dir.path() / "file" / "host").string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("emulated Windows host is not usable"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

}  // namespace
