// errno to Win32 error code, as a Wine prefix maps them.
#pragma once

#include <cstdint>
#include <string>

namespace Platform::Posix {

std::uint32_t winErrorFromErrno(int error);

// Sets the thread's last error from errno and returns false, for kernel32-style returns.
bool failWithErrno();
bool failWith(std::uint32_t code);

// Sets the thread's last error with the host's own words for it (which file, which line), which
// getLastErrorDetail hands to the caller; a plain setLastError clears them.
void setLastErrorWithDetail(std::uint32_t code, std::wstring detail);
// Forgets those words, leaving the last error as it is: for the registry calls, which return
// their code and leave the last error alone, so that no older words pass for theirs.
void clearLastErrorDetail();

}  // namespace Platform::Posix
