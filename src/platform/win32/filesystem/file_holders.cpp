// The holders of a file from a Restart Manager session of its own.
#include "platform/win32/host/win32.h"

#include <restartmanager.h>

#include "platform/file_holders.h"

namespace Platform {
namespace {

class RestartManagerSession {
public:
    RestartManagerSession() {
        wchar_t key[CCH_RM_SESSION_KEY + 1] = {};
        started_ = ::RmStartSession(&handle_, 0, key) == ERROR_SUCCESS;
    }
    ~RestartManagerSession() {
        if (started_) {
            ::RmEndSession(handle_);
        }
    }
    RestartManagerSession(const RestartManagerSession&) = delete;
    RestartManagerSession& operator=(const RestartManagerSession&) = delete;
    bool started() const { return started_; }
    DWORD handle() const { return handle_; }

private:
    DWORD handle_ = 0;
    bool started_ = false;
};

}  // namespace

std::vector<FileHolder> processesHoldingFile(const std::wstring& path) {
    std::vector<FileHolder> holders;
    RestartManagerSession session;
    if (!session.started()) {
        return holders;
    }
    std::wstring file = Win32::longPath(path);
    LPCWSTR files[] = {file.c_str()};
    if (::RmRegisterResources(session.handle(), 1, files, 0, nullptr, 0, nullptr) !=
        ERROR_SUCCESS) {
        return holders;
    }
    std::vector<RM_PROCESS_INFO> info(4);
    while (true) {
        UINT needed = 0;
        UINT count = static_cast<UINT>(info.size());
        DWORD reasons = 0;
        DWORD status = ::RmGetList(session.handle(), &needed, &count, info.data(), &reasons);
        if (status == ERROR_MORE_DATA) {
            info.resize(needed);  // the list grew between the calls: ask again
            continue;
        }
        if (status != ERROR_SUCCESS) {
            return holders;
        }
        for (UINT i = 0; i < count; ++i) {
            holders.push_back({info[i].Process.dwProcessId, info[i].strAppName});
        }
        return holders;
    }
}

}  // namespace Platform
