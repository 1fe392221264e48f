// The commands of tavrel-host, one entry point each, given the arguments after the command
// name. Each prints plain text and returns the exit code: 0, or 1 after a message on stderr.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// path -u WINPATH | -w POSIXPATH: a path of the host translated from Windows to POSIX or back.
int runPathCommand(const std::vector<std::string>& args);

// reg get|set|del|import|export: the host's registry (HKEY_LOCAL_MACHINE).
int runRegCommand(const std::vector<std::string>& args);

// eventlog [LOG]: the records of one event log, or of every log, one block each.
int runEventlogCommand(const std::vector<std::string>& args);

// account add|del|list|join: the local users and groups of the host.
int runAccountCommand(const std::vector<std::string>& args);

// acl get|set: the security descriptor of one object, in SDDL (or icacls-like text).
int runAclCommand(const std::vector<std::string>& args);

// A command's name and its entry point, one row of a dispatch table.
struct CommandEntry {
    std::string_view name;
    int (*run)(const std::vector<std::string>& args);
};

// The row of `table` named `name`, or null.
const CommandEntry* findCommand(std::span<const CommandEntry> table, std::string_view name);

// The system's message for a Win32 code without its line end, else "error N".
std::string systemText(std::uint32_t code);
// The system's message followed by " (error N)", else "error N" alone.
std::string systemTextWithCode(std::uint32_t code);
