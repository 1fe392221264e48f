// The program itself on Windows: its help and error texts, the three template commands, and
// their files read back through MSXML. The byte-for-byte comparison with the Linux build is
// the Wine runner's (tests/wine/run.sh).
#include <windows.h>

#include <gtest/gtest.h>

#include <cwchar>

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

// The type, id and strings of the newest events of `source` in `logName`, newest first, one
// line per event.
std::vector<std::wstring> newestEvents(const wchar_t* logName, const wchar_t* source,
                                       std::size_t count) {
    std::vector<std::wstring> found;
    HANDLE log = ::OpenEventLogW(nullptr, logName);
    if (!log) {
        return found;
    }
    std::vector<BYTE> buffer(64 * 1024);
    DWORD read = 0, needed = 0;
    while (found.size() < count &&
           ::ReadEventLogW(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 0,
                           buffer.data(), static_cast<DWORD>(buffer.size()), &read, &needed)) {
        for (DWORD at = 0; at < read && found.size() < count;) {
            const auto* record = reinterpret_cast<const EVENTLOGRECORD*>(buffer.data() + at);
            const auto* name = reinterpret_cast<const wchar_t*>(record + 1);
            if (std::wstring(name) == source) {
                std::wstring line = std::to_wstring(record->EventType) + L" " +
                                    std::to_wstring(record->EventID & 0xFFFF);
                const auto* text = reinterpret_cast<const wchar_t*>(
                    reinterpret_cast<const BYTE*>(record) + record->StringOffset);
                for (WORD i = 0; i < record->NumStrings; ++i) {
                    line += L" " + std::wstring(text);
                    text += std::wcslen(text) + 1;
                }
                found.push_back(line);
            }
            at += record->Length;
        }
    }
    ::CloseEventLog(log);
    return found;
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

    SKIP_UNDER_WINE("Wine accepts events but keeps none");
    const std::vector<std::wstring> expected = {L"4 1000 one two", L"2 1000 one two",
                                                L"1 1000 one two"};
    // The program registers its source in the Tarno log; an unregistered one writes to the
    // Application log.
    std::vector<std::wstring> found = newestEvents(L"Tarno", L"Tavrel", 3);
    if (found.empty()) {
        found = newestEvents(L"Application", L"Tavrel", 3);
    }
    EXPECT_EQ(found, expected);
}

}  // namespace
