// Named mutexes (CreateMutexW, WaitForSingleObject, ReleaseMutex) with the Windows semantics
// the console frame and the log rely on: machine-wide by name, re-entrant within the owning
// thread, abandoned (not lost) when the owner goes away. Close the handle with closeHandle.
#pragma once

#include <cstdint>
#include <string>

#include "platform/types.h"

namespace Platform {

// Results of waitForSingleObject (winbase.h values).
constexpr std::uint32_t WaitObject0 = 0x00000000;
constexpr std::uint32_t WaitAbandoned = 0x00000080;
constexpr std::uint32_t WaitTimeout = 0x00000102;
constexpr std::uint32_t WaitFailed = 0xFFFFFFFF;

// CreateMutexW(NULL, initialOwner, name). An empty name makes an unnamed mutex. The
// namespace prefixes "Global\", "Local\" and "Session\N\" name the same machine-wide lock;
// the rest of the name is case-sensitive. Returns null with the last error set on failure.
// On success the last error is ERROR_ALREADY_EXISTS when the mutex existed already (the
// caller then does not own it, whatever `initialOwner` asked), else 0.
Handle createMutex(const std::wstring& name, bool initialOwner);

// WaitForSingleObject on a mutex: WaitObject0 when acquired, WaitAbandoned when acquired
// from an owner that ended without releasing it (the caller owns it then too), WaitTimeout
// after `timeoutMs` milliseconds (Infinite waits forever), WaitFailed with the last error.
std::uint32_t waitForSingleObject(Handle handle, std::uint32_t timeoutMs);

// ReleaseMutex: undoes one acquisition by the calling thread; the mutex is free when every
// acquisition is undone. False with ERROR_NOT_OWNER (288) when the thread does not own it.
bool releaseMutex(Handle handle);

}  // namespace Platform
