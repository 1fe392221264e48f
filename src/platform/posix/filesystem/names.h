// The names of the emulated host: how one POSIX name shows on Windows, and which POSIX name a
// Windows name leads to.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace Platform::Posix {

// One POSIX name as Windows sees it: each character Windows refuses in a name (\ : * ? " < >
// | and the controls 0x01-0x1F) moved to U+F000 plus its code, as Cygwin and WSL show them,
// so that a name like "..\..\x" stays one component and cannot climb out of its directory;
// and a last character that is a dot or a blank, which Windows would strip, moved the same
// way, as Cygwin does ("d." is "d" U+F02E). A byte that is not part of well-formed UTF-8, and
// each byte of a character in U+F000-U+F0FF, is seen as U+F000 plus the byte (U+F080-U+F0FF):
// two different names never show as one, and each shown name leads back to its own.
std::wstring windowsNameOf(std::string_view posixName);
// windowsNameOf, appended to `out`.
void appendWindowsName(std::string_view posixName, std::wstring& out);

// The POSIX name one Windows name leads to: the inverse of windowsNameOf. Nothing for a name
// holding a character Windows refuses (or a separator), which names no file, nor for one that
// would come out as "." or ".." (the dot and U+F02E, say). A trailing dot or blank written as
// such (a "\\?\" path keeps it) is taken as it is.
std::optional<std::string> posixNameOf(std::wstring_view windowsName);
// posixNameOf, appended to `out`; false for a name that leads to no POSIX name.
bool appendPosixName(std::wstring_view windowsName, std::string& out);

}  // namespace Platform::Posix
