#include "platform/eventlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "event_payload.h"
#include "platform/posix/eventlog/eventlog_file.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/unique.h"
#include "support/process.h"
#include "support/temp_host.h"

namespace {

using Platform::Posix::EventRecord;

class EventLogTest : public ::testing::Test {
protected:
    TestSupport::TempHost host;

    // Registers `source` in `log` as an installer would.
    static void registerInLog(const std::wstring& log, const std::wstring& source) {
        Platform::RegKey key = nullptr;
        ASSERT_EQ(Platform::regCreateKeyEx(
                      Platform::hkeyLocalMachine(),
                      L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\" + log + L"\\" + source, 0,
                      Platform::Reg::KeyAllAccess, &key, nullptr),
                  0u);
        Platform::regCloseKey(key);
    }
    static Platform::UniqueEventSource open(const std::wstring& source) {
        Platform::UniqueEventSource handle(Platform::registerEventSource(L"", source));
        EXPECT_TRUE(handle) << Platform::getLastError();
        return handle;
    }
    std::vector<EventRecord> read(const char* log) const {
        return Platform::Posix::readEventLog(host.dir() / "eventlog" / log);
    }
};

TEST_F(EventLogTest, RegistryKeyChoosesTheLog) {
    registerInLog(L"Tarno", L"Tavrel.exe");
    auto registered = open(L"Tavrel.exe");
    auto unregistered = open(L"Other.exe");
    ASSERT_TRUE(Platform::reportEvent(registered.get(), Platform::EventlogErrorType, 0, 1, {L"x"}));
    ASSERT_TRUE(Platform::reportEvent(unregistered.get(), Platform::EventlogWarningType, 0, 2, {}));

    auto tarno = read("Tarno.log");
    ASSERT_EQ(tarno.size(), 1u);
    EXPECT_EQ(tarno[0].source, L"Tavrel.exe");
    EXPECT_EQ(tarno[0].type, Platform::EventlogErrorType);
    auto application = read("Application.log");
    ASSERT_EQ(application.size(), 1u);
    EXPECT_EQ(application[0].source, L"Other.exe");
    EXPECT_EQ(application[0].eventId, 2u);
    EXPECT_TRUE(application[0].strings.empty());
}

TEST_F(EventLogTest, RecordsRoundTripAsOneLineEach) {
    const std::vector<std::wstring> strings = {
        L"Unexpected parameter --x.\n   at Params::check (line 105)\r\n   at vconsoleapp::start",
        L"C:\\Inetpub\\vhosts\\\\n literal backslash-n\\",
        L"tab\there",
        L"",
        L"Журнал 日本語 \U0001F600",
    };
    auto source = open(L"Tavrel.exe");
    const std::uint16_t types[] = {
        Platform::EventlogSuccess,      Platform::EventlogErrorType,
        Platform::EventlogWarningType,  Platform::EventlogInformationType,
        Platform::EventlogAuditSuccess, Platform::EventlogAuditFailure};
    for (auto type : types) {
        ASSERT_TRUE(Platform::reportEvent(source.get(), type, 0, 0xC0000001u, strings));
    }

    std::string raw = host.read("eventlog/Application.log");
    EXPECT_EQ(std::count(raw.begin(), raw.end(), '\n'), 6);
    auto records = read("Application.log");
    ASSERT_EQ(records.size(), 6u);
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].type, types[i]);
        EXPECT_EQ(records[i].eventId, 0xC0000001u);
        EXPECT_EQ(records[i].strings, strings);
        EXPECT_GE(records[i].time.year, 2024);
    }
}

TEST_F(EventLogTest, ConcurrentWritersNeverInterleave) {
    constexpr int perWriter = 60;
    std::vector<std::future<bool>> writers;
    for (int t = 0; t < 3; ++t) {
        writers.push_back(std::async(std::launch::async, [t] {
            Platform::UniqueEventSource source(Platform::registerEventSource(L"", L"Tavrel.exe"));
            bool ok = bool(source);
            for (int i = 0; i < perWriter && ok; ++i) {
                ok = Platform::reportEvent(
                    source.get(), Platform::EventlogInformationType, 0, 1,
                    {L"thread" + std::to_wstring(t) + L"#" + std::to_wstring(i),
                     TestPayload::text(i)});
            }
            return ok;
        }));
    }
    for (const char* tag : {"processA", "processB"}) {
        writers.push_back(std::async(std::launch::async, [tag] {
            return TestSupport::runProgram("event_reporter",
                                           {"Tavrel.exe", tag, std::to_string(perWriter)})
                       .exitCode == 0;
        }));
    }
    for (auto& writer : writers) {
        EXPECT_TRUE(writer.get());
    }

    std::string raw = host.read("eventlog/Application.log");
    EXPECT_EQ(std::count(raw.begin(), raw.end(), '\n'), 5 * perWriter);
    std::set<std::wstring> seen;
    for (const auto& record : read("Application.log")) {
        ASSERT_EQ(record.strings.size(), 2u);
        int index = std::stoi(record.strings[0].substr(record.strings[0].find(L'#') + 1));
        EXPECT_EQ(record.strings[1], TestPayload::text(index)) << "a record was cut or mixed";
        seen.insert(record.strings[0]);
    }
    EXPECT_EQ(seen.size(), 5u * perWriter);
}

TEST_F(EventLogTest, FailuresSetTheLastError) {
    EXPECT_EQ(Platform::registerEventSource(L"\\\\REMOTE", L"Tavrel.exe"), nullptr);
    EXPECT_EQ(Platform::getLastError(), 1722u);
    auto source = open(L"Tavrel.exe");
    EXPECT_FALSE(Platform::reportEvent(source.get(), 3, 0, 1, {}));
    EXPECT_EQ(Platform::getLastError(), Platform::WinError::InvalidParameter);

    Platform::Handle raw = source.release();
    EXPECT_TRUE(Platform::deregisterEventSource(raw));
    EXPECT_FALSE(Platform::reportEvent(raw, Platform::EventlogErrorType, 0, 1, {}));
    EXPECT_EQ(Platform::getLastError(), Platform::WinError::InvalidHandle);
    EXPECT_FALSE(Platform::deregisterEventSource(raw));
}

TEST(EventLogFile, LinesThatAreNoRecordsAreRejected) {
    const char* lines[] = {
        "",
        "2024/01/31 12:00:00.123\tError\tTavrel.exe",            // no event id
        "2024/01/31 12:00:00\tError\tTavrel.exe\t1",             // no milliseconds
        "2024/01/31 12:00:00.123\tFatal\tTavrel.exe\t1",         // no such type
        "2024/01/31 12:00:00.123\tError\tTavrel.exe\t-1",        // id out of range
        "2024/01/31 12:00:00.123\tError\tTavrel.exe\t1x\ttext",  // id with junk
    };
    for (const char* line : lines) {
        EventRecord record;
        EXPECT_FALSE(Platform::Posix::parseEventLine(line, record)) << line;
    }
    EventRecord record;
    ASSERT_TRUE(Platform::Posix::parseEventLine(
        "2024/01/31 23:59:58.007\tWarning\tA\\tB\t4294967295\t\\q\\\\\t", record));
    EXPECT_EQ(Platform::Posix::formatEventTime(record.time), "2024/01/31 23:59:58.007");
    EXPECT_EQ(record.source, L"A\tB");
    EXPECT_EQ(record.eventId, 4294967295u);
    EXPECT_EQ(record.strings, (std::vector<std::wstring>{L"\\q\\", L""}));
}

TEST_F(EventLogTest, CompanionToolPrintsTheLogs) {
    registerInLog(L"Tarno", L"Tavrel.exe");
    auto source = open(L"Tavrel.exe");
    ASSERT_TRUE(Platform::reportEvent(source.get(), Platform::EventlogErrorType, 0, 1,
                                      {L"failed\n   at here", L"C:\\tavrel.exe"}));
    auto other = open(L"Other.exe");
    ASSERT_TRUE(Platform::reportEvent(other.get(), Platform::EventlogInformationType, 0, 7, {}));

    auto tarno = TestSupport::runProgram("tavrel-host", {"eventlog", "tarno"});
    EXPECT_EQ(tarno.exitCode, 0) << tarno.err;
    EXPECT_NE(tarno.out.find("Type:   Error\nSource: Tavrel.exe\nEvent:  1\n"
                             "failed\n   at here\nC:\\tavrel.exe\n"),
              std::string::npos)
        << tarno.out;
    EXPECT_EQ(tarno.out.find("Other.exe"), std::string::npos);

    auto all = TestSupport::runProgram("tavrel-host", {"eventlog"});
    EXPECT_EQ(all.exitCode, 0) << all.err;
    EXPECT_LT(all.out.find("=== Application ==="), all.out.find("=== Tarno ==="));
    EXPECT_NE(all.out.find("Source: Other.exe"), std::string::npos);

    EXPECT_EQ(TestSupport::runProgram("tavrel-host", {"eventlog", "System"}).exitCode, 0)
        << "a registered log without events is empty, not missing";
    auto missing = TestSupport::runProgram("tavrel-host", {"eventlog", "NoSuchLog"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("NoSuchLog"), std::string::npos);
}

}  // namespace
