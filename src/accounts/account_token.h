// The identities that the access report checks webspace objects for: an account as it is
// once logged on, and the plain user of another webspace.
#pragma once

#include <string>

#include "accounts/vsid.h"
#include "platform/dtyp/access_check.h"

namespace AccountTokens {

// The account `name` ("name" or "DOMAIN\name") as LookupAccountNameW finds it on this
// machine: a well-known account first (Everyone, NT AUTHORITY\...), then BUILTIN, then the
// machine's or domain's own, with its name, domain and type. False for a name that no
// account has (ERROR_NONE_MAPPED); any other failure raises the operating-system exception.
bool findAccount(const std::wstring& name, VSID& account);

// The token of `account` (found by findAccount): its SID; for a user, the local groups it belongs
// to, directly or through other groups (NetUserGetLocalGroups, LG_INCLUDE_INDIRECT), Users
// among them where it is a member; Everyone; and Authenticated Users, except for Everyone and
// ANONYMOUS LOGON, which stand for callers who never logged on. No privileges. A failure of
// the group lookup raises the operating-system exception.
Platform::Dtyp::Token accountToken(const VSID& account);

// A plain member of Users with no other group: what the account of any other webspace gets.
// Its own SID is the NULL SID (S-1-0-0), which names no one.
Platform::Dtyp::Token plainUserToken();

}  // namespace AccountTokens
