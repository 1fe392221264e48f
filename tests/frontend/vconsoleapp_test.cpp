#include <gtest/gtest.h>

#include "frontend/tavrel_impl.h"
#include "runtime/exceptions.h"
#include "support/temp_host.h"

namespace {

TEST(CommandLineMasking, PasswordLikeKeysLoseTheirValues) {
    EXPECT_EQ(vconsoleapp::maskCommandLine(L"tavrel --help"), L"tavrel --help ");
    EXPECT_EQ(vconsoleapp::maskCommandLine(L"t --password=secret --pwd=a=b --x=1"),
              L"t --password=* --pwd=*=* --x=1 ");
    EXPECT_EQ(vconsoleapp::maskCommandLine(L"t --user-pwd"), L"t --user-pwd ");
    EXPECT_EQ(vconsoleapp::maskCommandLine(L"t --Password=x"),
              L"t --Password=x ");  // case-sensitive
    EXPECT_EQ(vconsoleapp::maskCommandLine(L"t \"--path=C:\\a b\" --pwd==x"),
              L"t --path=C:\\a b --pwd=* ");
    EXPECT_EQ(vconsoleapp::maskCommandLine(L"--foo"), L"--foo ");
}

TEST(MutexNames, WebspaceNameIsCutTo260Characters) {
    EXPECT_EQ(TavrelImpl::webspaceMutexName(L"example.com"),
              L"Global\\{88B0E47B-31B8-463c-9F1C-042CEB27267A}-example.com");
    EXPECT_EQ(TavrelImpl::filesharingMutexName(),
              L"Global\\{88B0E47B-31B8-463c-9F1C-042CEB27267A}-fs");
    std::wstring longName(400, L'w');
    std::wstring cut = TavrelImpl::webspaceMutexName(longName);
    EXPECT_EQ(cut.size(), 260u);
    EXPECT_EQ(cut, TavrelImpl::webspaceMutexName(longName + L"other"));
}

class Dispatch : public ::testing::Test {
protected:
    std::wstring failureOf(std::vector<const wchar_t*> argv) {
        TavrelImpl app;
        try {
            app.start(static_cast<int>(argv.size()), argv.data());
        } catch (const vexception& e) {
            return renderException(e);
        }
        return L"no failure";
    }
    TestSupport::TempHost host;
};

TEST_F(Dispatch, UnknownCommandListsEveryCommandInOrder) {
    EXPECT_EQ(
        failureOf({L"tavrel", L"--HELP"}),
        L"command --HELP not supported. Possible commands:\n"
        L"   --help\n   --create-domain-template\n   --create-frame-forwarding-template\n"
        L"   --create-webuser-template\n   --update-path-security\n   --repair-webspace-security\n"
        L"   --repair-webspace-path-security\n   --update-webspace-security\n   "
        L"--repair-filesharing\n"
        L"   --update-user-filesharing-security\n   --remove-user-filesharing-security\n"
        L"   --restore-security\n   --audit-webspace-security\n   --report-webspace-access\n"
        L"   at (vconsoleapp::cmdNotSupported line 56)\n"
        L"   at execute console command --HELP (vconsoleapp::start line 93)");
}

TEST_F(Dispatch, ParameterChecksOfEachCommand) {
    struct Case {
        std::vector<const wchar_t*> argv;
        std::wstring expectedStart;
    };
    const Case cases[] = {
        {{L"t", L"--create-domain-template", L"--file-name=a.xml", L"--x"},
         L"Unexpected parameter --x. Possible parameters:\n    [--file-name]\n"},
        {{L"t", L"--create-frame-forwarding-template", L"--path=x"},
         L"Unexpected parameter --path. Possible parameters:\n    [--file-name]\n"},
        {{L"t", L"--update-path-security"},
         L"Missing required parameter --path. Possible parameters:\n    --path\n"},
        {{L"t", L"--repair-webspace-path-security", L"--webspace-name=w", L"--user-name=u"},
         L"Missing required parameter --path. Possible parameters:\n    --webspace-name\n    "
         L"--user-name\n    --path\n"},
        {{L"t", L"--update-webspace-security", L"--webspace-name=w", L"--report-file=r"},
         L"Unexpected parameter --report-file. Possible parameters:\n    --webspace-name\n    "
         L"[--pathes-file]\n    [--full-scan]\n"},
        {{L"t", L"--update-user-filesharing-security", L"--vhost-name=v"},
         L"Missing required parameter --user. Possible parameters:\n    --vhost-name\n    --user\n "
         L"   --user-id\n"
         L"    --private-template\n    --template\n"},
        {{L"t", L"--remove-user-filesharing-security", L"--vhost-name=v", L"--user=u",
          L"--user-id=1"},
         L"Missing required parameter --template. Possible parameters:\n    --vhost-name\n    "
         L"--user\n    --user-id\n"
         L"    --template\n    --private-template\n"},
    };
    for (const auto& c : cases) {
        std::wstring text = failureOf(c.argv);
        EXPECT_EQ(text.substr(0, c.expectedStart.size()), c.expectedStart)
            << std::wstring(c.argv[1]);
    }
}

TEST_F(Dispatch, HelpIgnoresParametersAndSucceeds) {
    TavrelImpl app;
    std::vector<const wchar_t*> argv{L"t", L"--help", L"--x=1"};
    testing::internal::CaptureStdout();
    EXPECT_EQ(app.start(3, argv.data()), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("usage: Tavrel [options] ..."),
              std::string::npos);
}

}  // namespace
