// The security services of advapi32 and netapi32 that the engine calls: account lookups,
// the account domain, object security descriptors by handle and by name, and the process
// token's owner and privileges. Win32-shaped: the same inputs as the API, kernel32-style
// calls return bool and leave the last error, the *SecurityInfo family returns the error code
// as the API does. SIDs, ACLs and descriptors travel in their binary layouts (MS-DTYP), which
// platform/dtyp reads and writes; where the API hands back a LocalAlloc'd structure, the seam
// hands back its self-relative bytes instead.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"

namespace Platform {

// SID_NAME_USE.
namespace SidType {
constexpr std::uint32_t User = 1;
constexpr std::uint32_t Group = 2;
constexpr std::uint32_t Domain = 3;
constexpr std::uint32_t Alias = 4;
constexpr std::uint32_t WellKnownGroup = 5;
constexpr std::uint32_t DeletedAccount = 6;
constexpr std::uint32_t Invalid = 7;
constexpr std::uint32_t Unknown = 8;
constexpr std::uint32_t Computer = 9;
constexpr std::uint32_t Label = 10;
}  // namespace SidType

// LookupAccountNameW: `accountName` is "name" or "DOMAIN\name". With the Win32 buffer
// protocol: `*sidSize` bytes at `sid` and `*domainChars` characters at `domain` (room for the
// terminating NUL included); when either is too small (or null), false with
// ERROR_INSUFFICIENT_BUFFER and both sizes set to what is needed. An unknown account is
// ERROR_NONE_MAPPED (1332). `systemName` empty: this machine.
bool lookupAccountName(const std::wstring& systemName, const std::wstring& accountName, std::uint8_t* sid,
                       std::uint32_t* sidSize, wchar_t* domain, std::uint32_t* domainChars, std::uint32_t* use);

// LookupAccountSidW with the same buffer protocol for `name` and `domain`.
bool lookupAccountSid(const std::wstring& systemName, const std::uint8_t* sid, wchar_t* name,
                      std::uint32_t* nameChars, wchar_t* domain, std::uint32_t* domainChars, std::uint32_t* use);

// NetUserModalsGet level 2 (USER_MODALS_INFO_2): the account domain of `server` (empty: this
// machine). Returns NERR_Success (0) or the error code.
struct UserModalsInfo2 {
    std::wstring domainName;
    std::vector<std::uint8_t> domainId;  // the domain SID
};
std::uint32_t netUserModalsGet2(const std::wstring& server, UserModalsInfo2& info);

// NetUserGetLocalGroups level 0 (LOCALGROUP_USERS_INFO_0): the names of the local groups (and
// BUILTIN aliases) that the user `userName` ("name" or "DOMAIN\name") of `server` belongs to;
// with LG_INCLUDE_INDIRECT also those it belongs to through other groups. Returns NERR_Success
// (0) or the error code: NERR_UserNotFound (2221) for a name that is no user (a group, say).
constexpr std::uint32_t LgIncludeIndirect = 0x0001;
std::uint32_t netUserGetLocalGroups(const std::wstring& server, const std::wstring& userName,
                                    std::uint32_t flags, std::vector<std::wstring>& groups);

// SECURITY_INFORMATION bits.
namespace SecurityInformation {
constexpr std::uint32_t Owner = 0x00000001;
constexpr std::uint32_t Group = 0x00000002;
constexpr std::uint32_t Dacl = 0x00000004;
constexpr std::uint32_t Sacl = 0x00000008;
constexpr std::uint32_t UnprotectedSacl = 0x10000000;
constexpr std::uint32_t UnprotectedDacl = 0x20000000;
constexpr std::uint32_t ProtectedSacl = 0x40000000;
constexpr std::uint32_t ProtectedDacl = 0x80000000;
}  // namespace SecurityInformation

// SE_OBJECT_TYPE.
constexpr std::uint32_t SeFileObject = 1;

// GetSecurityInfo / GetNamedSecurityInfoW: the parts of the object's security descriptor
// that `securityInformation` asks for, as a self-relative descriptor. The DACL read is the
// effective one (explicit ACEs, then those inherited, flagged INHERITED_ACE). Return the
// Win32 error code.
std::uint32_t getSecurityInfo(Handle handle, std::uint32_t objectType, std::uint32_t securityInformation,
                              std::vector<std::uint8_t>& descriptor);
std::uint32_t getNamedSecurityInfo(const std::wstring& objectName, std::uint32_t objectType,
                                   std::uint32_t securityInformation, std::vector<std::uint8_t>& descriptor);

// SetSecurityInfo / SetNamedSecurityInfoW. `owner`, `group` (SIDs) and `dacl`, `sacl` (ACLs)
// are read only for the parts `securityInformation` names; a null `dacl` with the DACL bit is
// a NULL DACL. UnprotectedDacl drops the ACEs flagged INHERITED_ACE (they come again from
// the parent), ProtectedDacl keeps them as explicit ones. Return the Win32 error code.
std::uint32_t setSecurityInfo(Handle handle, std::uint32_t objectType, std::uint32_t securityInformation,
                              const std::uint8_t* owner, const std::uint8_t* group, const std::uint8_t* dacl,
                              const std::uint8_t* sacl);
std::uint32_t setNamedSecurityInfo(const std::wstring& objectName, std::uint32_t objectType,
                                   std::uint32_t securityInformation, const std::uint8_t* owner,
                                   const std::uint8_t* group, const std::uint8_t* dacl, const std::uint8_t* sacl);

// Token access rights.
namespace TokenAccess {
constexpr std::uint32_t Query = 0x0008;
constexpr std::uint32_t AdjustPrivileges = 0x0020;
constexpr std::uint32_t Read = 0x00020008;
}  // namespace TokenAccess

// ERROR_NO_TOKEN: the thread is not impersonating.
constexpr std::uint32_t ErrorNoToken = 1008;

// OpenProcessToken(GetCurrentProcess()) / OpenThreadToken(GetCurrentThread()). The handle is
// closed with closeHandle.
bool openProcessToken(std::uint32_t desiredAccess, Handle* token);
bool openThreadToken(std::uint32_t desiredAccess, bool openAsSelf, Handle* token);

struct Luid {
    std::uint32_t lowPart = 0;
    std::int32_t highPart = 0;
    friend bool operator==(const Luid&, const Luid&) = default;
};
constexpr std::uint32_t SePrivilegeEnabled = 0x00000002;
struct LuidAndAttributes {
    Luid luid;
    std::uint32_t attributes = 0;
};

// LookupPrivilegeValueW: false with ERROR_NO_SUCH_PRIVILEGE (1313) for an unknown name.
bool lookupPrivilegeValue(const std::wstring& systemName, const std::wstring& name, Luid& luid);

// GetTokenInformation for TokenPrivileges, TokenOwner and TokenUser, with the sizing call
// already made: the privileges with their attributes, the default owner SID, the user SID.
bool getTokenPrivileges(Handle token, std::vector<LuidAndAttributes>& privileges);
bool getTokenOwner(Handle token, std::vector<std::uint8_t>& ownerSid);
bool getTokenUser(Handle token, std::vector<std::uint8_t>& userSid);

// AdjustTokenPrivileges(token, FALSE, newState): true when the call succeeded; then the last
// error is 0, or ERROR_NOT_ALL_ASSIGNED (1300) when the token holds some privilege not at all.
bool adjustTokenPrivileges(Handle token, const std::vector<LuidAndAttributes>& newState);

}  // namespace Platform
