// Which processes hold a file open: what the Restart Manager tells on Windows (RmStartSession,
// RmRegisterResources, RmGetList), so that a file that cannot be replaced can be reported with
// the programs that keep it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Platform {

struct FileHolder {
    std::uint32_t processId = 0;
    std::wstring name;  // the program's name as the system shows it ("w3wp.exe")
};

// The processes that have `path` (a Windows path) open, this one included. Empty when none
// does or when the system cannot tell (the list is a diagnostic, never a reason to fail).
std::vector<FileHolder> processesHoldingFile(const std::wstring& path);

}  // namespace Platform
