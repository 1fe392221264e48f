// The identity of the emulated host's process, for the access checks of the security store.
// POSIX only; the engine sees the token through platform/security.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/dtyp/access_check.h"

namespace Platform::Posix {

// ERROR_NO_SUCH_USER: what every call that needs the identity fails with when
// TAVREL_HOST_USER names no local user.
constexpr std::uint32_t ErrorNoSuchUser = 1317;

// The process token as the access check sees it: SYSTEM (member of Administrators, Everyone
// and Authenticated Users, holding SeTakeOwnershipPrivilege, SeBackupPrivilege and
// SeRestorePrivilege, each disabled until adjustTokenPrivileges enables it), or the local user
// that TAVREL_HOST_USER names (its groups, BUILTIN\Users, Everyone, Authenticated Users; no
// privileges). False with the last error set: ERROR_NO_SUCH_USER (1317) for a name that is not
// a local user, or the error of reading the accounts file.
bool processToken(Dtyp::Token& token);
// The same, shared: built once and again only when the identity, the accounts file or the
// enabled privileges change. Null with the last error set.
std::shared_ptr<const Dtyp::Token> currentToken();

// The owner the token gives to what it creates and takes ownership with: Administrators for
// SYSTEM, the user itself otherwise (TokenOwner).
Dtyp::Sid defaultOwnerOf(const Dtyp::Token& token);

}  // namespace Platform::Posix
