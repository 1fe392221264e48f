// The event log of the emulated host: each report is one line appended to the file of the
// source's log (see eventlog_file.h for the line format).
#include "platform/eventlog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

#include "platform/posix/eventlog/eventlog_file.h"
#include "platform/posix/host/errors.h"
#include "platform/posix/host/handles.h"
#include "platform/posix/host/seam_count.h"
#include "platform/posix/host/unique_fd.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/unique.h"

namespace Platform::Posix {
namespace {

constexpr std::uint32_t RpcServerUnavailable = 1722;  // RPC_S_SERVER_UNAVAILABLE
const wchar_t* const eventLogRoot = L"SYSTEM\\CurrentControlSet\\Services\\EventLog";
const wchar_t* const defaultLog = L"Application";

class EventSourceObject : public HandleObject {
public:
    EventSourceObject(std::wstring source, std::wstring log)
        : source_(std::move(source)), log_(std::move(log)) {}
    const std::wstring& source() const { return source_; }
    const std::wstring& log() const { return log_; }

private:
    std::wstring source_;
    std::wstring log_;
};

bool isLocalServer(const std::wstring& server) {
    return server.empty() || server == L"." || server == L"\\\\.";
}

// As the event log service does: the first log (in registry order) that has a key for the
// source owns it; a source registered nowhere writes to Application.
std::wstring logOfSource(const std::wstring& source) {
    RegKey logs = nullptr;
    if (regOpenKeyEx(hkeyLocalMachine(), eventLogRoot, 0, Reg::KeyRead, &logs) != 0) {
        return defaultLog;
    }
    UniqueRegKey logsOwner(logs);
    std::wstring log;
    for (std::uint32_t index = 0; regEnumKeyEx(logs, index, log) == 0; ++index) {
        RegKey sourceKey = nullptr;
        if (regOpenKeyEx(logs, log + L"\\" + source, 0, Reg::KeyRead, &sourceKey) == 0) {
            regCloseKey(sourceKey);
            return log;
        }
    }
    return defaultLog;
}

bool appendLine(const std::wstring& log, const std::string& line) {
    std::filesystem::path file;
    try {
        file = eventLogFile(log);
    } catch (const std::exception&) {
        return failWith(WinError::PathNotFound);
    }
    UniqueFd fd(::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (!fd) {
        return failWithErrno();
    }
    // One write() per record: appends to a regular file are serialized by the kernel, so
    // lines of concurrent reporters (threads or processes) never interleave.
    ssize_t written;
    do {
        written = ::write(fd.get(), line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    if (written < 0) {
        return failWithErrno();
    }
    if (static_cast<std::size_t>(written) != line.size()) {
        return failWith(WinError::DiskFull);
    }
    return true;
}

}  // namespace
}  // namespace Platform::Posix

namespace Platform {

Handle registerEventSource(const std::wstring& server, const std::wstring& sourceName) {
    TAVREL_SEAM_CALL("RegisterEventSourceW");
    using namespace Posix;
    if (!isLocalServer(server)) {
        failWith(RpcServerUnavailable);
        return nullptr;
    }
    if (sourceName.empty()) {
        failWith(WinError::InvalidParameter);
        return nullptr;
    }
    return registerHandle(std::make_shared<EventSourceObject>(sourceName, logOfSource(sourceName)));
}

bool reportEvent(Handle eventSource, std::uint16_t type, std::uint16_t /*category*/,
                 std::uint32_t eventId, const std::vector<std::wstring>& strings) {
    TAVREL_SEAM_CALL("ReportEventW");
    using namespace Posix;
    auto source = lookupHandle<EventSourceObject>(eventSource);
    if (!source) {
        return failWith(WinError::InvalidHandle);
    }
    if (eventTypeName(type).empty()) {
        return failWith(WinError::InvalidParameter);
    }
    EventRecord record;
    record.time = getLocalTime();
    record.type = type;
    record.source = source->source();
    record.eventId = eventId;
    record.strings = strings;
    return appendLine(source->log(), formatEventLine(record));
}

bool deregisterEventSource(Handle handle) {
    TAVREL_SEAM_CALL("DeregisterEventSource");
    return Posix::unregisterHandle<Posix::EventSourceObject>(handle);
}

}  // namespace Platform
