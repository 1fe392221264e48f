// How a Windows mutex name becomes a lock of the emulated host: one lock file per name in
// <host>/locks/, shared by every process that uses the host.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace Platform::Posix {

// The machine-wide identity of a mutex name: the name without its "Global\", "Local\" or
// "Session\N\" prefix. False when a backslash is left that names no namespace (Windows
// fails those with ERROR_PATH_NOT_FOUND).
bool mutexIdentity(const std::wstring& name, std::wstring& identity);

// The lock file name of an identity: [A-Za-z0-9-_.{}] kept, every other UTF-8 byte (and a
// leading '.') written as %XX. An encoding longer than the file system likes is cut and
// suffixed with "~" and the FNV-1a hash of the whole identity, so long names stay distinct.
std::string lockFileName(const std::wstring& identity);

// 64-bit FNV-1a, stable across builds and machines.
std::uint64_t fnv1a64(std::string_view bytes);

}  // namespace Platform::Posix
