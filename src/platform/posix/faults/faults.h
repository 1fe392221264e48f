// Faults a test asks the emulated host to make, so that the tools can be seen meeting a full
// disk, a refused write or a tree that changes under them. Only test builds compile them in;
// elsewhere every question answers "no fault".
//
// TAVREL_FAULTS holds rules separated by ';':
//   <operation>:<error>[:after=<n>][:path=<text>]
//       the operation fails with the Windows error <error> once <n> (default 0) of its calls
//       whose POSIX path holds <text> have succeeded in this process; operations: set-security,
//       create-file (a create or an open for writing), write-file, flush-file, replace-file,
//       move-file, create-directory, or * for all of them; and co-initialize, whose <error> is
//       the HRESULT (0x... or decimal) that CoInitialize answers, which * leaves out.
//   vanish:<name>
//       the first directory search that lists an entry <name> removes it, with all below it,
//       just after listing it.
//   relink:<name>:<target>
//       likewise, the entry <name> is replaced by a symbolic link to the POSIX path <target>.
//   move-away:<name>:<to>:<target>
//       when a listing reaches the entry <name>, the directory being listed is renamed to the
//       POSIX path <to> as a program of this host renames it (refused while the directory is
//       held without delete sharing, as Windows refuses it), and a symbolic link to <target>
//       takes its place. move-away-natively renames it with rename(2), as a program outside
//       the host may.
#pragma once

#include <cstdint>
#include <string>

#include "platform/posix/filesystem/posix_path.h"

namespace Platform::Posix::Faults {

enum class Operation {
    SetSecurity,
    CreateFile,
    WriteFile,
    FlushFile,
    ReplaceFile,
    MoveFile,
    CreateDirectory,
    CoInitialize,
};

#ifdef TAVREL_FAULT_INJECTION
// Whether any fault is planned.
bool active();
// The Windows error `operation` on `posixPath` is to fail with, or 0 to go on.
std::uint32_t injected(Operation operation, const std::string& posixPath);
// What a directory search does to an entry it just listed.
void afterListing(const std::string& posixDirectory, const char* name);
#else
inline bool active() { return false; }
inline std::uint32_t injected(Operation, const std::string&) { return 0; }
inline void afterListing(const std::string&, const char*) {}
#endif

// The same for a path made whole only when a fault is planned.
inline std::uint32_t injected(Operation operation, const SharedPath& posixPath) {
    return active() ? injected(operation, posixPath.str()) : 0;
}

}  // namespace Platform::Posix::Faults
