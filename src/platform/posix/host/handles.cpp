#include "platform/posix/host/handles.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/posix/host/errors.h"
#include "platform/posix/host/seam_count.h"
#include "platform/system.h"

namespace Platform::Posix {
namespace {

struct Table {
    std::mutex lock;
    std::unordered_map<std::uintptr_t, std::shared_ptr<HandleObject>> objects;
    std::uintptr_t next = 0x100;
};

Table& table() {
    static Table t;
    return t;
}

thread_local std::uint32_t lastError = 0;
thread_local std::wstring lastErrorDetail;

}  // namespace

Handle registerHandle(std::shared_ptr<HandleObject> object) {
    auto& t = table();
    std::lock_guard guard(t.lock);
    t.next += 4;  // handle values are multiples of four, as Windows hands them out
    t.objects.emplace(t.next, std::move(object));
    return reinterpret_cast<Handle>(t.next);
}

std::shared_ptr<HandleObject> findHandle(Handle handle) {
    auto& t = table();
    std::lock_guard guard(t.lock);
    auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == t.objects.end() ? nullptr : it->second;
}

bool unregisterHandleIf(Handle handle, bool (*matches)(const HandleObject*)) {
    std::shared_ptr<HandleObject> dying;
    {
        auto& t = table();
        std::lock_guard guard(t.lock);
        auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == t.objects.end() || !matches(it->second.get())) {
            setLastError(WinError::InvalidHandle);
            return false;
        }
        dying = std::move(it->second);
        t.objects.erase(it);
    }
    return true;  // the object is destroyed here, outside the table lock
}

void setLastErrorWithDetail(std::uint32_t code, std::wstring detail) {
    lastError = code;
    lastErrorDetail = std::move(detail);
}

void clearLastErrorDetail() {
    lastErrorDetail.clear();
}

}  // namespace Platform::Posix

namespace Platform {

std::uint32_t getLastError() {
    TAVREL_SEAM_CALL("GetLastError");
    return Posix::lastError;
}
void setLastError(std::uint32_t code) {
    TAVREL_SEAM_CALL("SetLastError");
    Posix::lastError = code;
    Posix::lastErrorDetail.clear();
}

std::wstring getLastErrorDetail() {
    return Posix::lastErrorDetail;
}

bool closeHandle(Handle handle) {
    TAVREL_SEAM_CALL("CloseHandle");
    return Posix::unregisterHandle<Posix::HandleObject>(handle);
}

}  // namespace Platform
