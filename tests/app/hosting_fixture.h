// What the end-to-end tests of the security commands share: a temporary host with the
// accounts of webspace "example" (system user exuser, its anonymous account, web users u1 and
// u2, the FTP sub-accounts group), the panel's templates, Debug logging, a small webspace tree,
// and helpers that run the programs and read back what they left.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "platform/text.h"
#include "support/process.h"
#include "support/temp_host.h"

namespace HostingTest {
namespace fs = std::filesystem;
using TestSupport::ProcessResult;
using TestSupport::readFile;
using TestSupport::runProgram;
using TestSupport::startProgram;
using TestSupport::writeFile;

inline const char* const configKey = "HKLM\\SOFTWARE\\WOW6432Node\\Tarno\\Zel Config\\Config";
inline const std::string vhosts = "C:\\Inetpub\\vhosts";
inline const std::string webspace = vhosts + "\\example";
inline const std::string etc = "C:\\Program Files (x86)\\Tarno\\etc";

class SecurityCommands : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"exuser", "IWPG_exuser", "u1", "u2"}) {
            host_({"account", "add", name});
        }
        host_({"account", "add", "ftp_subaccounts", "--group"});
        ASSERT_EQ(
            tavrel({"--create-domain-template", "--file-name=" + etc + "\\hosting_template.xml"})
                .exitCode,
            0);
        ASSERT_EQ(
            tavrel({"--create-webuser-template", "--file-name=" + etc + "\\webuser_template.xml"})
                .exitCode,
            0);
        host_({"reg", "set", configKey, "Debug", "REG_DWORD", "1"});
        for (const char* item :
             {"httpdocs/index.html", "httpdocs/img/a/b/c/deep.png", "cgi-bin/run.pl",
              "web_users/u1/docs/page.html", "web_users/u2/home.html"}) {
            file("Inetpub/vhosts/example/" + std::string(item));
        }
    }

    ProcessResult tavrel(const std::vector<std::string>& args) {
        return runProgram("tavrel", args);
    }
    std::string host_(const std::vector<std::string>& args) {
        ProcessResult r = runProgram("tavrel-host", args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.out;
    }
    fs::path onC(const std::string& relative) const { return host.driveC() / relative; }
    void file(const std::string& relative, const std::string& content = "x") {
        fs::create_directories(onC(relative).parent_path());
        writeFile(onC(relative), content);
    }
    // Every object of the tree with its descriptor, one line each; the metadata directory,
    // which every run saves to, left out.
    std::string tree(const std::string& path = webspace) {
        std::string all = host_({"acl", "get", path, "--tree", "--sddl"});
        std::string kept;
        for (std::size_t begin = 0, end; begin < all.size(); begin = end + 1) {
            end = all.find('\n', begin);
            std::string line = all.substr(begin, end - begin);
            if (line.find("\\.tarno") == std::string::npos && line.rfind("Successfully", 0) != 0) {
                kept += line + "\n";
            }
        }
        return kept;
    }
    std::string metadata(const std::string& name = ".Security") {
        return readFile(onC("Inetpub/vhosts/example/.tarno/" + name));
    }
    // The debug log of the host, as UTF-8.
    std::string log() const {
        std::string all;
        for (const auto& entry :
             fs::directory_iterator(onC("Program Files (x86)/Tarno/admin/logs"))) {
            std::string bytes = readFile(entry.path());
            std::u16string units;
            for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
                units.push_back(
                    static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                          static_cast<unsigned char>(bytes[i + 1]) << 8));
            }
            all += Platform::toUtf8(Platform::fromUtf16(units));
        }
        return all;
    }
    static std::size_t count(const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos;
             at = text.find(what, at + 1)) {
            ++n;
        }
        return n;
    }
    ProcessResult repair(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--repair-webspace-security", "--webspace-name=example",
                                         "--user-name=exuser"};
        args.insert(args.end(), extra.begin(), extra.end());
        return tavrel(args);
    }

    // The process ids of the walk lines in the log, one per run of consecutive lines.
    std::vector<std::string> walkTurns() {
        std::regex walkLine(
            R"(\d\d:\d\d:\d\d\.\d+ (\d+) \d+ Info: SecurityChecker::checkPathSecurity)");
        std::vector<std::string> pids;
        std::string text = log();
        for (std::sregex_iterator it(text.begin(), text.end(), walkLine), end; it != end; ++it) {
            if (pids.empty() || pids.back() != (*it)[1]) {
                pids.push_back((*it)[1]);
            }
        }
        return pids;
    }

    fs::path journalDirectory() const { return onC("Program Files (x86)/Tarno/var/journal"); }
    // The journals of the host, oldest first.
    std::vector<fs::path> journals() const {
        std::vector<fs::path> found;
        if (fs::exists(journalDirectory())) {
            for (const auto& entry : fs::directory_iterator(journalDirectory())) {
                if (entry.path().extension() == ".journal") {
                    found.push_back(entry.path());
                }
            }
        }
        std::sort(found.begin(), found.end());
        return found;
    }
    std::string windowsPath(const fs::path& posix) {
        std::string path = host_({"path", "-w", posix.string()});
        return path.substr(0, path.find_last_not_of("\r\n") + 1);
    }
    ProcessResult restore(const fs::path& journal, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--restore-security", "--journal=" + windowsPath(journal)};
        args.insert(args.end(), extra.begin(), extra.end());
        return tavrel(args);
    }
    // Every descriptor on drive C: outside the webspace "example", one object a line; the
    // tool's own journals (PRODUCT_ROOT_D\var), which every run that writes keeps, left out.
    std::string outside(const std::string& inside = webspace) {
        std::string all = host_({"acl", "get", "C:\\", "--tree", "--sddl"});
        std::string kept;
        for (std::size_t begin = 0, end; begin < all.size(); begin = end + 1) {
            end = all.find('\n', begin);
            std::string line = all.substr(begin, end - begin);
            if (line.rfind(inside + "\\", 0) != 0 && line.rfind(inside + " ", 0) != 0 &&
                line.find("admin\\logs") == std::string::npos &&
                line.find("PrivateTemp") == std::string::npos &&
                line.rfind("C:\\Program Files (x86)\\Tarno\\var", 0) != 0 &&
                line.rfind("Successfully", 0) != 0) {
                kept += line + "\n";
            }
        }
        return kept;
    }

    TestSupport::TempHost host;
};

}  // namespace HostingTest
