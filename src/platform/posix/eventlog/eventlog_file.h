// The event log files of the emulated host: <host>/eventlog/<log>.log, UTF-8, one record a
// line. Fields are separated by tabs: local time "YYYY/MM/DD hh:mm:ss.mmm", type name,
// source, event id, then one field per insertion string. Backslash, tab, CR and LF inside a
// field are written as \\, \t, \r and \n, so a rendered exception with its "\n   at ..."
// lines still takes one line, and appends of whole lines never interleave.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace Platform::Posix {

struct EventRecord {
    SystemTime time;
    std::uint16_t type = 0;
    std::wstring source;
    std::uint32_t eventId = 0;
    std::vector<std::wstring> strings;
};

// The name an event type is shown with ("Information", "Error", "Audit Success", ...);
// empty for a type Windows does not define.
std::wstring eventTypeName(std::uint16_t type);

// "YYYY/MM/DD hh:mm:ss.mmm".
std::string formatEventTime(const SystemTime& time);

// The record as its line of the file, final '\n' included.
std::string formatEventLine(const EventRecord& record);

// Reads a line (without its '\n') back; false when the line is not a record.
bool parseEventLine(std::string_view line, EventRecord& record);

// The file of a log in the host's eventlog directory (the log's name, with '/', '%' and
// control characters percent-encoded, and ".log").
std::filesystem::path eventLogFile(const std::wstring& logName);

// The file of an existing log, its name matched case-insensitively as Windows matches log
// names; empty when the log has no file.
std::filesystem::path findEventLogFile(const std::wstring& logName);

// The names of the logs that have a file, sorted case-insensitively.
std::vector<std::wstring> eventLogNames();

// The records of a log file in the order they were written; lines that are not records (a
// line cut short by a crash, a hand edit) are skipped. Empty when the file does not exist.
std::vector<EventRecord> readEventLog(const std::filesystem::path& file);

}  // namespace Platform::Posix
