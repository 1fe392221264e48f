// The event log seam on advapi32: a source is registered by name (its log is the one under
// whose EventLog key the source is installed, as Windows decides) and reports records with
// insertion strings.
#include "platform/win32/host/win32.h"

#include "platform/eventlog.h"

#include <vector>


namespace Platform {

Handle registerEventSource(const std::wstring& server, const std::wstring& sourceName) {
    const wchar_t* machine = server.empty() || server == L"." ? nullptr : server.c_str();
    return ::RegisterEventSourceW(machine, sourceName.c_str());
}

bool reportEvent(Handle eventSource, std::uint16_t type, std::uint16_t category,
                 std::uint32_t eventId, const std::vector<std::wstring>& strings) {
    switch (type) {
        case EventlogSuccess:
        case EventlogErrorType:
        case EventlogWarningType:
        case EventlogInformationType:
        case EventlogAuditSuccess:
        case EventlogAuditFailure:
            break;
        default:
            return Win32::failWith(ERROR_INVALID_PARAMETER);
    }
    if (strings.size() > 0xFFFF) {
        return Win32::failWith(ERROR_INVALID_PARAMETER);
    }
    std::vector<LPCWSTR> pointers;
    pointers.reserve(strings.size());
    for (const auto& s : strings) {
        pointers.push_back(s.c_str());
    }
    return ::ReportEventW(eventSource, type, category, eventId, nullptr,
                          static_cast<WORD>(pointers.size()), 0,
                          pointers.empty() ? nullptr : pointers.data(), nullptr) != FALSE;
}

bool deregisterEventSource(Handle handle) {
    return ::DeregisterEventSource(handle) != FALSE;
}

}  // namespace Platform
