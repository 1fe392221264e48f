// tavrel-host eventlog [LOG]: the event logs of the host as a reader would look at them in
// Event Viewer, one block per record with its insertion strings unescaped.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/posix/eventlog/eventlog_file.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/unique.h"
#include "tools/tavrel-host/commands.h"

namespace {

void printRecord(const Platform::Posix::EventRecord& record) {
    std::string block = "Time:   " + Platform::Posix::formatEventTime(record.time) + "\n" +
                        "Type:   " + Platform::toUtf8(Platform::Posix::eventTypeName(record.type)) +
                        "\n" + "Source: " + Platform::toUtf8(record.source) + "\n" +
                        "Event:  " + std::to_string(record.eventId) + "\n";
    for (const auto& text : record.strings) {
        block += Platform::toUtf8(text) + "\n";
    }
    block += "\n";
    std::fputs(block.c_str(), stdout);
}

void printLog(const std::filesystem::path& file) {
    for (const auto& record : Platform::Posix::readEventLog(file)) {
        printRecord(record);
    }
}

// A log without a file yet is still a log when the registry knows it: it is just empty.
bool isRegisteredLog(const std::wstring& log) {
    Platform::RegKey key = nullptr;
    if (Platform::regOpenKeyEx(Platform::hkeyLocalMachine(),
                               L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\" + log, 0,
                               Platform::Reg::KeyRead, &key) != 0) {
        return false;
    }
    Platform::UniqueRegKey owner(key);
    return true;
}

}  // namespace

int runEventlogCommand(const std::vector<std::string>& args) {
    if (args.size() > 1) {
        std::fputs("tavrel-host: usage: eventlog [LOG]\n", stderr);
        return 1;
    }
    if (args.empty()) {
        for (const auto& log : Platform::Posix::eventLogNames()) {
            std::printf("=== %s ===\n\n", Platform::toUtf8(log).c_str());
            printLog(Platform::Posix::findEventLogFile(log));
        }
        return 0;
    }
    std::wstring log = Platform::fromUtf8(args.front());
    auto file = Platform::Posix::findEventLogFile(log);
    if (file.empty()) {
        if (isRegisteredLog(log)) {
            return 0;
        }
        std::fprintf(stderr, "tavrel-host: no event log '%s'\n", args.front().c_str());
        return 1;
    }
    printLog(file);
    return 0;
}
