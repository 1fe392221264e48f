// What the commands of tavrel_impl.cpp and tavrel_commands.cpp share: the panel's paths, the
// checks of a webspace name, and the scope a command journals.
#pragma once

#include <string>
#include <vector>

#include "frontend/params.h"
#include "manager/journal.h"

namespace TavrelCommands {

// PRODUCT_ROOT_D\etc\<name>: where the panel keeps its templates.
std::wstring panelTemplate(const std::wstring& name);
// HTTPD_VHOSTS_D\<name>: the directory of a webspace (or of the file-sharing area).
std::wstring webspaceDirectory(const std::wstring& webspace);
// That directory, raising the parameter error when it does not exist.
std::wstring requireWebspaceDirectory(const std::wstring& webspace);

// The web users of "--web-users" (none when absent or empty), each name checked to be one plain
// name, read before any work so that a bad list leaves the webspace as it was.
std::vector<std::wstring> readWebUsers(const Params& params);

// The scope whose journal the command writes: its webspace, the file-sharing area or its
// path; nothing for the commands that write no security and for check-only runs.
Tavrel::JournalScope journalScopeFor(const std::wstring& command, const Params& params);

}  // namespace TavrelCommands
