// What the commands of tavrel_impl.cpp and tavrel_commands.cpp share: the panel's paths, the
// checks of a webspace name, COM for a command's thread, and the scope a command journals.
#pragma once

#include <cstdint>
#include <string>

#include "frontend/params.h"
#include "manager/journal.h"
#include "platform/system.h"
#include "runtime/exceptions.h"

namespace TavrelCommands {

// PRODUCT_ROOT_D\etc\<name>: where the panel keeps its templates.
std::wstring panelTemplate(const std::wstring& name);
// HTTPD_VHOSTS_D\<name>: the directory of a webspace (or of the file-sharing area).
std::wstring webspaceDirectory(const std::wstring& webspace);
// That directory, raising the parameter error when it does not exist.
std::wstring requireWebspaceDirectory(const std::wstring& webspace);

// The scope whose journal the command writes: its webspace, the file-sharing area or its
// path; nothing for the commands that write no security and for check-only runs.
Tavrel::JournalScope journalScopeFor(const std::wstring& command, const Params& params);

// COM for the thread for the command's lifetime; a thread already in another apartment model
// is fine as it is.
class ComScope {
public:
    ComScope() {
        std::int32_t result = Platform::coInitialize();
        if (result < 0 && result != Platform::RpcEChangedMode) {
            throw vexceptionFromComError(ComError(result), L"CoInitialize", "ComScope::ComScope",
                                         __LINE__);
        }
        initialized_ = result >= 0;
    }
    ~ComScope() {
        if (initialized_) {
            Platform::coUninitialize();
        }
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

private:
    bool initialized_ = false;
};

}  // namespace TavrelCommands
