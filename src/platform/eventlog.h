// The Windows event log (RegisterEventSourceW, ReportEventW, DeregisterEventSource): the log a
// source writes to is the one under whose registry key
// HKLM\SYSTEM\CurrentControlSet\Services\EventLog\<log>\<source> the source is registered,
// Application when there is none.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"

namespace Platform {

// Event types (winnt.h).
constexpr std::uint16_t EventlogSuccess = 0x0000;
constexpr std::uint16_t EventlogErrorType = 0x0001;
constexpr std::uint16_t EventlogWarningType = 0x0002;
constexpr std::uint16_t EventlogInformationType = 0x0004;
constexpr std::uint16_t EventlogAuditSuccess = 0x0008;
constexpr std::uint16_t EventlogAuditFailure = 0x0010;

// RegisterEventSourceW. `server` empty (or ".") is the local machine; another machine is
// unreachable (RPC_S_SERVER_UNAVAILABLE). The log is chosen now, as Windows does. Null with
// the last error on failure.
Handle registerEventSource(const std::wstring& server, const std::wstring& sourceName);

// ReportEventW without user SID and raw data: appends one record with the given insertion
// strings. False with the last error (ERROR_INVALID_PARAMETER for an unknown type).
bool reportEvent(Handle eventSource, std::uint16_t type, std::uint16_t category,
                 std::uint32_t eventId, const std::vector<std::wstring>& strings);

// DeregisterEventSource is declared with the owners (platform/unique.h).

}  // namespace Platform
