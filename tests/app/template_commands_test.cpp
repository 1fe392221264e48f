// The three template commands end to end: real tavrel processes on a temporary host, the
// files they write compared element for element.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/temp_host.h"

namespace {
namespace fs = std::filesystem;
using TestSupport::runProgram;

const std::string declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\r\n";

// One row a line: SubPath;Tag;AceFlags;AccessMask;EntryFlags, in the order of the file (the
// set order: sub paths component by component with shorter components first, then apply-onto
// value, mapped access mask, entry flags and tag without regard to case).
const std::vector<std::string> domainFile = {
    ";FtpSubaccounts;ThisObjectOnly;FileRemovable;0x141",
    ";DomainUser;ThisObjectOnly;FileNonRemovable;0x140",
    ";AnonymousDomainUser;ThisFolderSubfoldersAndFiles;ReadAndExecute;0x140",
    ";DomainUser;SubfoldersAndFilesOnly;FullAccess;0x140",
    "logs;FtpSubaccounts;ThisObjectOnly;FileRemovable;0x141",
    "logs;AnonymousDomainUser;ThisObjectOnly;FileNonRemovable;0x140",
    "logs;DomainUser;ThisObjectOnly;FileNonRemovable;0x140",
    "logs;AnonymousDomainUser;SubfoldersAndFilesOnly;FullAccess;0x140",
    "logs;DomainUser;SubfoldersAndFilesOnly;FullAccess;0x140",
    "logs\\iis;DomainUser;ThisFolderAndSubfolders;ReadAndExecute;0x140",
    "logs\\iis;AnonymousDomainUser;ThisFolderSubfoldersAndFiles;NoAccess;0x140",
    "logs\\iis;FtpSubaccounts;ThisFolderSubfoldersAndFiles;FtpSubaccountsNonRemovable;0x141",
    "logs\\iis;DomainUser;FilesOnly;Read;0x140",
    "logs\\php_errors;FtpSubaccounts;ThisFolderAndSubfolders;FileRemovable;0x141",
    "logs\\php_errors;AnonymousDomainUser;ThisFolderAndSubfolders;0x1200ab;0x140",
    "logs\\php_errors;DomainUser;ThisFolderAndSubfolders;0x1200ab;0x140",
    "logs\\php_errors;FtpSubaccounts;FilesOnly;NoAccess;0x140",
    "logs\\php_errors;FtpSubaccounts;FilesOnly;NoAccess;0x141",
    "logs\\php_errors;AnonymousDomainUser;FilesOnly;0x1f01df;0x140",
    "logs\\php_errors;DomainUser;FilesOnly;0x1f01df;0x140",
    "logs\\FailedRequests;FtpSubaccounts;ThisObjectOnly;FileRemovable;0x141",
    "logs\\FailedRequests;DomainUser;ThisObjectOnly;FileNonRemovable;0x140",
    "logs\\FailedRequests;AnonymousDomainUser;ThisFolderSubfoldersAndFiles;0x1101df;0x140",
    "logs\\FailedRequests;FtpSubaccounts;SubfoldersAndFilesOnly;NoAccess;0x140",
    "logs\\FailedRequests;DomainUser;SubfoldersAndFilesOnly;FullAccess;0x140",
    ".tarno;DomainUser;ThisFolderAndSubfolders;ReadAndExecute;0x140",
    ".tarno;AnonymousDomainUser;ThisFolderSubfoldersAndFiles;NoAccess;0x140",
    ".tarno;FtpSubaccounts;ThisFolderSubfoldersAndFiles;FtpSubaccountsNonRemovable;0x141",
    ".tarno;DomainUser;FilesOnly;Read;0x140",
    ".tarno\\statistics;AnonymousDomainUser;ThisFolderSubfoldersAndFiles;ReadAndExecute;0x140",
    "cgi-bin;FtpSubaccounts;ThisObjectOnly;FileRemovable;0x141",
    "cgi-bin;DomainUser;ThisObjectOnly;FileNonRemovable;0x140",
    "cgi-bin;AnonymousDomainUser;ThisFolderSubfoldersAndFiles;ReadAndExecute;0x140",
    "cgi-bin;DomainUser;SubfoldersAndFilesOnly;FullAccess;0x140",
    "error_docs;FtpSubaccounts;ThisObjectOnly;FtpSubaccountsNonRemovable;0x141",
    "error_docs;DomainUser;ThisFolderAndSubfolders;ReadAndExecute;0x140",
    "error_docs;AnonymousDomainUser;ThisFolderSubfoldersAndFiles;ReadAndExecute;0x140",
    "error_docs;FtpSubaccounts;FilesOnly;0xd0000;0x141",
    "error_docs;DomainUser;FilesOnly;ReadWrite;0x140",
};

const std::vector<std::string> webUserFile = {
    ";FtpSubaccounts;ThisObjectOnly;FileRemovable;0x141",
    ";DomainUser;ThisObjectOnly;FileNonRemovable;0x140",
    ";AnonymousDomainUser;ThisFolderSubfoldersAndFiles;ReadAndExecute;0x140",
    ";ParentUser;ThisFolderSubfoldersAndFiles;FullAccess;0x140",
    ";DomainUser;SubfoldersAndFilesOnly;FullAccess;0x140",
};

const std::vector<std::string> frameForwardingFile = {
    "httpdocs;AnonymousDomainUser;ThisFolderSubfoldersAndFiles;ReadAndExecute;0x140",
};

// The whole file for these rows: every entry for the Null account below the webspace token,
// its attributes in the writer's order, SubPath only when there is one.
std::string documentOf(const std::vector<std::string>& rows) {
    std::string document = declaration + "<Entries>";
    for (const auto& row : rows) {
        std::vector<std::string> field;
        std::size_t begin = 0;
        for (std::size_t end; (end = row.find(';', begin)) != std::string::npos; begin = end + 1) {
            field.push_back(row.substr(begin, end - begin));
        }
        field.push_back(row.substr(begin));
        document += "<Entry AccounType=\"0\" Account=\"Null\" Path=\"[HTTPD_VHOSTS_D]\"";
        if (!field[0].empty()) {
            document += " SubPath=\"" + field[0] + "\"";
        }
        document += " AceFlags=\"" + field[2] + "\" AccessMask=\"" + field[3] + "\" EntryFlags=\"" +
                    field[4] + "\" Tag=\"" + field[1] + "\" Tag2=\"\"/>";
    }
    return document + "</Entries>";
}

class TemplateCommands : public ::testing::Test {
protected:
    TestSupport::ProcessResult tavrel(const std::vector<std::string>& args) {
        return runProgram("tavrel", args, {}, work.path());
    }

    std::vector<std::string> filesIn(const fs::path& directory) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(directory)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    TestSupport::TempHost host;
    TestSupport::TempDir work;
};

TEST_F(TemplateCommands, DomainTemplateGoesToTheCurrentDirectory) {
    TestSupport::writeFile(work.path() / "hosting_template.xml", "an earlier file");
    auto r = tavrel({"--create-domain-template"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(domainFile.size(), 39u);
    EXPECT_EQ(TestSupport::readFile(work.path() / "hosting_template.xml"), documentOf(domainFile));
    EXPECT_EQ(filesIn(work.path()), std::vector<std::string>{"hosting_template.xml"});
}

TEST_F(TemplateCommands, FrameForwardingAndWebUserTemplates) {
    ASSERT_EQ(tavrel({"--create-frame-forwarding-template"}).exitCode, 0);
    EXPECT_EQ(TestSupport::readFile(work.path() / "frame_forwarding_template.xml"),
              documentOf(frameForwardingFile));
    ASSERT_EQ(tavrel({"--create-webuser-template", "--internal-package-name=x"}).exitCode, 0);
    std::string webUser = TestSupport::readFile(work.path() / "webuser_template.xml");
    EXPECT_EQ(webUser, documentOf(webUserFile));
    EXPECT_EQ(webUser.find("SubPath"), std::string::npos);
}

TEST_F(TemplateCommands, FileNameInAMissingDirectory) {
    auto r = tavrel({"--create-webuser-template", "--file-name=C:\\t\\deeper\\w.xml"});
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(TestSupport::readFile(host.driveC() / "t" / "deeper" / "w.xml"),
              documentOf(webUserFile));
    // A relative name counts from the current directory.
    ASSERT_EQ(tavrel({"--create-domain-template", "--file-name=sub/d.xml"}).exitCode, 0);
    EXPECT_EQ(TestSupport::readFile(work.path() / "sub" / "d.xml"), documentOf(domainFile));
}

TEST_F(TemplateCommands, RefusedRunsWriteNothing) {
    TestSupport::expectRefused(tavrel({"--create-domain-template", "--file-name"}),
                               "Unable to save data to unknown path\n"
                               "   at (Tavrel::SecurityManager::saveToFile line ");
    TestSupport::expectRefused(tavrel({"--create-frame-forwarding-template", "--path=x"}),
                               "Unexpected parameter --path. Possible parameters:\n"
                               "    [--file-name]\n   at (Params::check line 105)");
    EXPECT_TRUE(fs::is_empty(work.path()));
}

}  // namespace
