#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/system.h"
#include "platform/types.h"

namespace {
using namespace Platform;

TEST(CommandLineToArgv, WindowsQuotingRules) {
    struct Case {
        const wchar_t* line;
        std::vector<std::wstring> args;
    };
    const Case cases[] = {
        {L"prog a b", {L"prog", L"a", L"b"}},
        {L"prog  \t a\t\tb ", {L"prog", L"a", L"b"}},
        {L"\"C:\\Program Files\\t.exe\" x", {L"C:\\Program Files\\t.exe", L"x"}},
        {L"prog \"a b\" c", {L"prog", L"a b", L"c"}},
        {L"prog a\\\\\\b", {L"prog", L"a\\\\\\b"}},    // backslashes without a quote stay
        {L"prog a\\\\\\\"b", {L"prog", L"a\\\"b"}},    // 2n+1 backslashes: n and a literal quote
        {L"prog a\\\\\"b c\"", {L"prog", L"a\\b c"}},  // 2n backslashes: n and a quote toggle
        {L"prog \"a\"\"b\"", {L"prog", L"a\"b"}},      // "" inside quotes is a quote
        {L"prog \"\"", {L"prog", L""}},
        {L"prog --path=\"C:\\a b\\\\\"", {L"prog", L"--path=C:\\a b\\"}},
        {L"C:\\dir\\prog\\\"x y", {L"C:\\dir\\prog\\\"x", L"y"}},  // no escapes in the program name
    };
    for (const auto& c : cases) {
        EXPECT_EQ(commandLineToArgv(c.line), c.args) << std::wstring(c.line);
    }
    // An empty command line yields the program's own path.
    auto empty = commandLineToArgv(L"");
    ASSERT_EQ(empty.size(), 1u);
    EXPECT_EQ(empty[0], getModuleFileName());
}

TEST(CommandLine, ArgumentsSurviveTheRoundTrip) {
    std::vector<std::string> args{"prog",          "plain",      "with space",        "tab\there",
                                  "quote\"inside", "trailing\\", "both \\\" mixed\\", "",
                                  "--key=a b=c"};
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    std::string error;
    ASSERT_TRUE(initializeProcess(static_cast<int>(argv.size()), argv.data(), error)) << error;
    auto split = commandLineToArgv(getCommandLine());
    ASSERT_EQ(split.size(), args.size());
    EXPECT_EQ(split[0], getModuleFileName());
    for (std::size_t i = 1; i < args.size(); ++i) {
        EXPECT_EQ(split[i], std::wstring(args[i].begin(), args[i].end())) << i;
    }
}

TEST(Environment, WindowsDefaultsUnderTheRealEnvironment) {
    std::wstring value;
    ASSERT_TRUE(getEnvironmentVariable(L"SystemRoot", value));
    EXPECT_EQ(value, L"C:\\Windows");
    ASSERT_TRUE(getEnvironmentVariable(L"PROGRAMFILES(X86)", value));  // names ignore case
    EXPECT_EQ(value, L"C:\\Program Files (x86)");

    std::wstring programData;
    ASSERT_TRUE(getEnvironmentVariable(L"ProgramData", programData));
    ASSERT_TRUE(setEnvironmentVariable(L"ProgramData", L"D:\\Data"));
    ASSERT_TRUE(setEnvironmentVariable(L"TAVREL_TEST_VARIABLE", L"from linux"));
    ASSERT_TRUE(getEnvironmentVariable(L"programdata", value));
    EXPECT_EQ(value, L"D:\\Data");
    ASSERT_TRUE(getEnvironmentVariable(L"tavrel_test_variable", value));
    EXPECT_EQ(value, L"from linux");
    ASSERT_TRUE(setEnvironmentVariable(L"ProgramData", programData.c_str()));
    ASSERT_TRUE(setEnvironmentVariable(L"TAVREL_TEST_VARIABLE", nullptr));

    setLastError(0);
    EXPECT_FALSE(getEnvironmentVariable(L"NO_SUCH_VARIABLE_HERE", value));
    EXPECT_EQ(getLastError(), WinError::EnvvarNotFound);
}

TEST(Environment, ExpansionKeepsUnknownNames) {
    std::wstring out;
    ASSERT_TRUE(expandEnvironmentStrings(L"%SystemRoot%\\Temp", out));
    EXPECT_EQ(out, L"C:\\Windows\\Temp");
    expandEnvironmentStrings(L"%NOPE%\\%windir%", out);
    EXPECT_EQ(out, L"%NOPE%\\C:\\Windows");
    expandEnvironmentStrings(L"100% sure %", out);
    EXPECT_EQ(out, L"100% sure %");
    expandEnvironmentStrings(L"%%SystemDrive%%", out);
    EXPECT_EQ(out, L"%C:%");
}

TEST(SystemMessages, KnownCodesAndUnknownOnes) {
    std::wstring text;
    ASSERT_TRUE(formatSystemMessage(5, 1024, text));
    EXPECT_EQ(text, L"Access is denied.\r\n");
    ASSERT_TRUE(formatSystemMessage(1332, 1024, text));
    EXPECT_EQ(text, L"No mapping between account names and security IDs was done.\r\n");
    EXPECT_FALSE(formatSystemMessage(0x7777, 1024, text));
    EXPECT_EQ(getLastError(), WinError::MrMidNotFound);
}

TEST(Uuid, RandomVersionFour) {
    Guid a{}, b{};
    ASSERT_TRUE(uuidCreate(a));
    ASSERT_TRUE(uuidCreate(b));
    EXPECT_NE(a, b);
    EXPECT_EQ(a[7] & 0xF0, 0x40);
    EXPECT_EQ(a[8] & 0xC0, 0x80);
}

}  // namespace
