// The tavrel program end to end: real processes against a temporary host.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <regex>
#include <thread>

#include "platform/text.h"
#include "support/process.h"
#include "support/temp_host.h"

namespace {
namespace fs = std::filesystem;
using TestSupport::runProgram;

const char* const configKey = "HKLM\\SOFTWARE\\WOW6432Node\\Tarno\\Zel Config\\Config";

const std::string helpText =
    "\n"
    "usage: Tavrel [options] ...\n"
    "\n"
    "--help\n"
    "\n"
    "--create-domain-template    Creates a default domain security template.\n"
    "                            Optional parameter --file-name specifies the full\n"
    "                            output file name; if not specified,\n"
    "                            hosting_template.xml is created in\n"
    "                            the current directory.\n"
    "\n"
    "--create-frame-forwarding-template  The same as above except that the default\n"
    "                                    file name is frame_forwarding_template.xml.\n"
    "\n"
    "--create-webuser-template           The same as above except that the default\n"
    "                                    file name is webuser_template.xml.\n";

class Tavrel : public ::testing::Test {
protected:
    TestSupport::ProcessResult tavrel(const std::vector<std::string>& args) {
        return runProgram("tavrel", args);
    }

    void setConfig(const std::string& name, const std::string& type, const std::string& data) {
        auto r = runProgram("tavrel-host", {"reg", "set", configKey, name, type, data});
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }

    fs::path logDir() const {
        return host.driveC() / "Program Files (x86)" / "Tarno" / "admin" / "logs";
    }

    // The debug log files of the host (one per day; a run near midnight may leave two).
    std::vector<fs::path> logFiles() const {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(logDir())) {
            if (entry.path().filename().string().rfind("tarnolog_debug", 0) == 0) {
                files.push_back(entry.path());
            }
        }
        return files;
    }

    TestSupport::TempHost host;
};

TEST_F(Tavrel, NoArgumentPrintsHelpExactly) {
    auto r = tavrel({});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, helpText);
    auto again = tavrel({"--help", "--whatever=1"});
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(again.out, helpText);
}

TEST_F(Tavrel, UnknownCommandIsRenderedWithItsChain) {
    auto r = tavrel({"--foo"});
    EXPECT_EQ(r.exitCode, 1);
    const std::string expected =
        "command --foo not supported. Possible commands:\n"
        "   --help\n   --create-domain-template\n   --create-frame-forwarding-template\n"
        "   --create-webuser-template\n   --update-path-security\n   --repair-webspace-security\n"
        "   --repair-webspace-path-security\n   --update-webspace-security\n   "
        "--repair-filesharing\n"
        "   --update-user-filesharing-security\n   --remove-user-filesharing-security\n"
        "   --restore-security\n   --audit-webspace-security\n   --report-webspace-access\n"
        "   at (vconsoleapp::cmdNotSupported line 56)\n"
        "   at execute console command --foo (vconsoleapp::start line 93)\n"
        "   at execute ";
    ASSERT_EQ(r.out.substr(0, expected.size()), expected);
    std::string last = r.out.substr(expected.size());
    EXPECT_TRUE(std::regex_match(
        last, std::regex(R"([A-Z]:\\.*tavrel --foo \(vconsoleapp::run line 110\))")))
        << last;
}

TEST_F(Tavrel, ParameterErrorsEndTheRunWithCodeOne) {
    TestSupport::expectRefused(tavrel({"--update-path-security"}),
                               "Missing required parameter --path. Possible parameters:\n    "
                               "--path\n   at (Params::check line 72)");
    TestSupport::expectRefused(
        tavrel({"--create-domain-template", "--file-name=a.xml", "--x"}),
        "Unexpected parameter --x. Possible parameters:\n    [--file-name]\n");
    // A value refused before any lock names the function that read it.
    TestSupport::expectRefused(
        tavrel({"--update-webspace-security", "--webspace-name=nosuch"}),
        "Invalid value of parameter --webspace-name: the webspace directory "
        "C:\\Inetpub\\vhosts\\nosuch does not exist\n   at (readWebspace line ");
}

TEST_F(Tavrel, DebugRunWritesTheDailyUtf16LogFile) {
    setConfig("Debug", "REG_DWORD", "1");
    ASSERT_EQ(tavrel({"--help"}).exitCode, 0);
    ASSERT_EQ(tavrel({"--bogus", "--password=secret"}).exitCode, 1);

    auto files = logFiles();
    ASSERT_FALSE(files.empty());
    std::time_t now = std::time(nullptr);
    char today[32];
    std::strftime(today, sizeof(today), "tarnolog_debug%Y%m%d.log", std::localtime(&now));
    EXPECT_EQ(files.back().filename().string(), today);

    std::string bytes = TestSupport::readFile(files.back());
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
    EXPECT_EQ(bytes.find("\xFF\xFE", 2), std::string::npos) << "one byte-order mark only";
    std::u16string units;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
        units += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                       (static_cast<unsigned char>(bytes[i + 1]) << 8));
    }
    std::string text = Platform::toUtf8(Platform::fromUtf16(units));
    // A line of the log: the time, the process and thread ids, then `line`.
    auto logged = [&](const std::string& line) {
        const std::string prefix = R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \d+ \d+ )";
        return std::regex_search(text, std::regex(prefix + line));
    };
    EXPECT_TRUE(logged(R"(Info: start \S*tavrel --help \r\n)")) << text;
    EXPECT_TRUE(logged(R"(Info: end \S*tavrel --help  with code 0\r\n)")) << text;
    EXPECT_TRUE(logged(R"(Error: command --bogus not supported)")) << text;
    EXPECT_TRUE(logged(R"(Info: end \S*tavrel --bogus --password=\*  with code 1\r\n)")) << text;
    EXPECT_EQ(text.find("secret"), std::string::npos) << "the password reached the log";
}

TEST_F(Tavrel, LogFileCanBeDisabled) {
    setConfig("Debug", "REG_DWORD", "1");
    setConfig("log_debug_enabled", "REG_DWORD", "0");
    ASSERT_EQ(tavrel({"--nothing"}).exitCode, 1);
    EXPECT_TRUE(logFiles().empty());
}

TEST_F(Tavrel, WithoutDebugOnlyErrorsAreLoggedAndReported) {
    ASSERT_EQ(tavrel({"--help"}).exitCode, 0);
    EXPECT_TRUE(logFiles().empty()) << "Info lines need Debug on";
    ASSERT_EQ(tavrel({"--nope"}).exitCode, 1);
    ASSERT_EQ(logFiles().size(), 1u);

    auto events = runProgram("tavrel-host", {"eventlog", "Tarno"});
    ASSERT_EQ(events.exitCode, 0) << events.err;
    EXPECT_NE(events.out.find("command --nope not supported"), std::string::npos) << events.out;
    // The source registers itself in the Tarno log with its registry keys.
    auto key = runProgram(
        "tavrel-host",
        {"reg", "get", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Tarno", "MaxSize"});
    EXPECT_EQ(key.out, "8388608\n");
    auto source = runProgram(
        "tavrel-host",
        {"reg", "get", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Tarno\\tavrel",
         "TypesSupported"});
    EXPECT_EQ(source.out, "7\n");
}

TEST_F(Tavrel, SourceAlreadyInApplicationLogRegistersWithPrefix) {
    auto r = runProgram(
        "tavrel-host",
        {"reg", "set", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\tavrel",
         "TypesSupported", "REG_DWORD", "7"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_EQ(tavrel({"--nope"}).exitCode, 1);
    auto key = runProgram(
        "tavrel-host",
        {"reg", "get", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Tarno\\Tarno:  tavrel",
         "TypesSupported"});
    EXPECT_EQ(key.exitCode, 0) << key.err;
    auto events = runProgram("tavrel-host", {"eventlog", "Tarno"});
    EXPECT_NE(events.out.find("Tarno:  tavrel"), std::string::npos) << events.out;
}

}  // namespace
