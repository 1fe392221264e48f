// errno to Win32 error code, as a Wine prefix maps them.
#pragma once

#include <cstdint>

namespace Platform::Posix {

std::uint32_t winErrorFromErrno(int error);

// Sets the thread's last error from errno and returns false, for kernel32-style returns.
bool failWithErrno();
bool failWith(std::uint32_t code);

}  // namespace Platform::Posix
