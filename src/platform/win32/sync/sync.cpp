// Named mutexes on kernel32. The seam's "Global\", "Local\" and "Session\N\" prefixes name one
// machine-wide lock; Windows keeps Local\ per session, so every name is created in the global
// namespace here to keep the promise on a terminal server too.
#include "platform/win32/host/win32.h"

#include "platform/sync.h"


namespace Platform {
namespace {

// The name without its namespace prefix ("Global\", "Local\", "Session\N\"), case-insensitively.
std::wstring withoutNamespace(const std::wstring& name) {
    auto startsWith = [&](std::wstring_view prefix) {
        return name.size() >= prefix.size() &&
               ::CompareStringOrdinal(name.c_str(), static_cast<int>(prefix.size()),
                                      prefix.data(), static_cast<int>(prefix.size()),
                                      TRUE) == CSTR_EQUAL;
    };
    if (startsWith(L"Global\\")) {
        return name.substr(7);
    }
    if (startsWith(L"Local\\")) {
        return name.substr(6);
    }
    if (startsWith(L"Session\\")) {
        std::size_t end = name.find(L'\\', 8);
        return end == std::wstring::npos ? name : name.substr(end + 1);
    }
    return name;
}

}  // namespace

Handle createMutex(const std::wstring& name, bool initialOwner) {
    if (name.empty()) {
        return ::CreateMutexW(nullptr, initialOwner, nullptr);
    }
    std::wstring global = L"Global\\" + withoutNamespace(name);
    return ::CreateMutexW(nullptr, initialOwner, global.c_str());
}

std::uint32_t waitForSingleObject(Handle handle, std::uint32_t timeoutMs) {
    return ::WaitForSingleObject(handle, timeoutMs);
}

bool releaseMutex(Handle handle) {
    return ::ReleaseMutex(handle) != FALSE;
}

}  // namespace Platform
