// The program itself on Windows: its help and error texts, the three template commands, and
// their files read back through MSXML. The byte-for-byte comparison with the Linux build is
// the Wine runner's (tests/wine/run.sh).
#include <gtest/gtest.h>

#include "accounts/user_information.h"
#include "disksecurity/template_xml.h"
#include "platform/eventlog.h"
#include "platform/system.h"
#include "platform/unique.h"
#include "windows/support/win_support.h"

namespace {
using TestSupport::runProgram;

TEST(WinApp, HelpAndUnknownCommand) {
    auto help = runProgram(L"tavrel.exe", {L"--help"});
    EXPECT_EQ(help.exitCode, 0u);
    EXPECT_NE(help.out.find("--create-domain-template"), std::string::npos) << help.out;
    EXPECT_EQ(help.out.find('\r'), std::string::npos) << "text-mode translation of the output";

    auto unknown = runProgram(L"tavrel.exe", {L"--no-such-command"});
    EXPECT_EQ(unknown.exitCode, 1u);
    EXPECT_NE((unknown.out + unknown.err).find("no-such-command"), std::string::npos)
        << unknown.out << unknown.err;
}

TEST(WinApp, TemplateCommandsWriteFilesThatLoadThroughMsxml) {
    TestSupport::ScratchDir dir;
    ASSERT_GE(Platform::coInitialize(), 0);
    for (const wchar_t* kind : {L"domain", L"frame-forwarding", L"webuser"}) {
        // A name outside the ANSI code page proves the arguments arrive as Unicode.
        const std::wstring file = dir / (std::wstring(kind) + L"-\u4e2d.xml");
        auto run = runProgram(L"tavrel.exe",
                              {std::wstring(L"--create-") + kind + L"-template", L"--file-name=" + file});
        ASSERT_EQ(run.exitCode, 0u) << run.out << run.err;
        auto loaded = DiskSecurity::loadTemplate(
            file, std::make_shared<LocalUserInformation>(), false, true);
        ASSERT_TRUE(loaded) << kind;
        EXPECT_FALSE(TestSupport::readBytes(file).empty());
    }
    Platform::coUninitialize();
}

TEST(WinEventLog, SourceReportsEveryEventType) {
    Platform::UniqueEventSource source(Platform::registerEventSource(L"", L"Tavrel"));
    ASSERT_TRUE(source);
    for (std::uint16_t type : {Platform::EventlogErrorType, Platform::EventlogWarningType,
                               Platform::EventlogInformationType}) {
        EXPECT_TRUE(Platform::reportEvent(source.get(), type, 0, 1000, {L"one", L"two"})) << type;
    }
    EXPECT_FALSE(Platform::reportEvent(source.get(), 0x20, 0, 1000, {}));
    EXPECT_EQ(Platform::getLastError(), Platform::WinError::InvalidParameter);
}

}  // namespace
