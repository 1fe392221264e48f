// The emulated host's registry file: HKEY_LOCAL_MACHINE kept in `<host>/system.reg` in the
// text syntax of regedit ("Windows Registry Editor Version 5.00"), which a Linux user can read
// and edit, and which regedit and Wine's regedit import as they are. POSIX only: the companion
// tool and the tests reach the file through here; the engine goes through platform/registry.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace Platform::Posix {

struct RegFileValue {
    std::wstring name;    // empty: the key's default value, written "@"
    bool remove = false;  // "name"=- : delete the value (imports only)
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;  // as RegQueryValueEx returns it (UTF-16LE strings)
};

struct RegFileSection {
    std::wstring path;    // below HKEY_LOCAL_MACHINE, components joined by '\'; empty: the root
    bool remove = false;  // [-KEY] : delete the key and its subtree (imports only)
    std::vector<RegFileValue> values;
    std::size_t line = 0;  // where the section starts, for messages
};

struct RegFileError {
    std::size_t line = 0;  // 1-based; 0 when the whole file is at fault
    std::string reason;
    std::string text() const;  // "line N: reason"
};

// Parses regedit text: UTF-8 with or without a byte-order mark, or UTF-16LE with FF FE. Accepts
// what regedit writes (`@=`, `"n"="text"`, `dword:`, `hex:`, `hex(N):`, hex data continued by
// a final backslash, `;` comments) plus the `\n` and `\r` string escapes of Wine's regedit.
// Only HKEY_LOCAL_MACHINE (or HKLM) keys are accepted. False with `error` on any fault.
bool parseRegFile(std::string_view bytes, std::vector<RegFileSection>& sections,
                  RegFileError& error);

// Writes sections as regedit text (UTF-8, "\n" line ends), each value in the form regedit
// chooses for its type; a string that has no text form (embedded NUL, no terminator) is
// written as hex(1). parseRegFile reads the result back to the same sections.
std::string formatRegFile(const std::vector<RegFileSection>& sections);

// `<host>/system.reg` of the current host (the host is completed first).
std::filesystem::path registryFilePath();

// Reads and checks system.reg: 0, or ERROR_REGISTRY_CORRUPT (1015) with `detail` naming the
// faulty line, or the error that prevented the read.
std::uint32_t checkRegistryFile(std::string& detail);

// Merges a regedit file into the registry in one locked rewrite of system.reg, section by
// section as regedit does ([-KEY] deletes a subtree, "name"=- a value). Returns 0, or
// ERROR_INVALID_DATA (13) for a file that does not parse (`detail` says where), or the error
// of reading the file or writing the registry. Nothing is changed on failure.
std::uint32_t importRegistryFile(const std::filesystem::path& file, std::string& detail);
std::uint32_t importRegistryText(std::string_view bytes, std::string& detail);

// Regedit text of `keyPath` (below HKEY_LOCAL_MACHINE, taken literally: no view redirection)
// and its whole subtree, or of every key when keyPath is empty. Subkeys in the order
// RegEnumKeyEx gives them. ERROR_FILE_NOT_FOUND when the key does not exist.
std::uint32_t exportRegistry(const std::wstring& keyPath, std::string& text);

}  // namespace Platform::Posix
