// The security seam on advapi32 and netapi32: account lookups, the account domain, object
// security descriptors by handle and by name, and the token's owner and privileges. Buffers
// the API allocates are copied into the seam's byte vectors and freed at once.
#include "platform/win32/host/win32.h"

#include "platform/security.h"

#include <aclapi.h>
#include <lm.h>

#include <cstring>

namespace Platform {
namespace {

PSID sidOf(const std::uint8_t* sid) {
    return const_cast<std::uint8_t*>(sid);
}

PACL aclOf(const std::uint8_t* acl) {
    return reinterpret_cast<PACL>(const_cast<std::uint8_t*>(acl));
}

const wchar_t* systemOf(const std::wstring& name) {
    return name.empty() ? nullptr : name.c_str();
}

std::vector<std::uint8_t> sidBytes(PSID sid) {
    if (!sid || !::IsValidSid(sid)) {
        return {};
    }
    const auto* bytes = static_cast<const std::uint8_t*>(sid);
    return {bytes, bytes + ::GetLengthSid(sid)};
}

// The descriptor the API allocated, as self-relative bytes.
std::uint32_t selfRelative(PSECURITY_DESCRIPTOR sd, std::vector<std::uint8_t>& descriptor) {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!::GetSecurityDescriptorControl(sd, &control, &revision)) {
        return ::GetLastError();
    }
    if (control & SE_SELF_RELATIVE) {
        const auto* bytes = static_cast<const std::uint8_t*>(sd);
        descriptor.assign(bytes, bytes + ::GetSecurityDescriptorLength(sd));
        return ERROR_SUCCESS;
    }
    DWORD size = 0;
    ::MakeSelfRelativeSD(sd, nullptr, &size);
    descriptor.assign(size, 0);
    if (!::MakeSelfRelativeSD(sd, descriptor.data(), &size)) {
        descriptor.clear();
        return ::GetLastError();
    }
    return ERROR_SUCCESS;
}

// GetTokenInformation with the sizing call made first.
bool tokenInformation(Handle token, TOKEN_INFORMATION_CLASS what,
                      std::vector<std::uint8_t>& buffer) {
    DWORD size = 0;
    ::GetTokenInformation(token, what, nullptr, 0, &size);
    if (size == 0) {
        return false;
    }
    // DWORD-aligned storage for the structures the bytes hold.
    buffer.assign(size, 0);
    return ::GetTokenInformation(token, what, buffer.data(), size, &size) != FALSE;
}

void netApiFree(void* p) {
    ::NetApiBufferFree(p);
}

// The buffers of the network management API.
template <typename T>
using NetApiBuffer = Win32::ApiBuffer<T, netApiFree>;

}  // namespace

bool lookupAccountName(const std::wstring& systemName, const std::wstring& accountName,
                       std::uint8_t* sid, std::uint32_t* sidSize, wchar_t* domain,
                       std::uint32_t* domainChars, std::uint32_t* use) {
    DWORD sidBytesSize = *sidSize;
    DWORD domainSize = *domainChars;
    SID_NAME_USE kind = SidTypeUnknown;
    BOOL ok = ::LookupAccountNameW(systemOf(systemName), accountName.c_str(), sid, &sidBytesSize,
                                   domain, &domainSize, &kind);
    DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
    *sidSize = sidBytesSize;
    *domainChars = domainSize;
    if (use) {
        *use = static_cast<std::uint32_t>(kind);
    }
    ::SetLastError(error);
    return ok != FALSE;
}

bool lookupAccountSid(const std::wstring& systemName, const std::uint8_t* sid, wchar_t* name,
                      std::uint32_t* nameChars, wchar_t* domain, std::uint32_t* domainChars,
                      std::uint32_t* use) {
    DWORD nameSize = *nameChars;
    DWORD domainSize = *domainChars;
    SID_NAME_USE kind = SidTypeUnknown;
    BOOL ok = ::LookupAccountSidW(systemOf(systemName), sidOf(sid), name, &nameSize, domain,
                                  &domainSize, &kind);
    DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
    *nameChars = nameSize;
    *domainChars = domainSize;
    if (use) {
        *use = static_cast<std::uint32_t>(kind);
    }
    ::SetLastError(error);
    return ok != FALSE;
}

std::uint32_t netUserModalsGet2(const std::wstring& server, UserModalsInfo2& info) {
    NetApiBuffer<BYTE> raw;
    NET_API_STATUS status = ::NetUserModalsGet(systemOf(server), 2, raw.put());
    if (status != NERR_Success) {
        return status;
    }
    const auto* modals = reinterpret_cast<const USER_MODALS_INFO_2*>(raw.get());
    info.domainName = modals->usrmod2_domain_name ? modals->usrmod2_domain_name : L"";
    info.domainId = sidBytes(modals->usrmod2_domain_id);
    return NERR_Success;
}

std::uint32_t netUserGetLocalGroups(const std::wstring& server, const std::wstring& userName,
                                    std::uint32_t flags, std::vector<std::wstring>& groups) {
    NetApiBuffer<BYTE> raw;
    DWORD read = 0;
    DWORD total = 0;
    NET_API_STATUS status = ::NetUserGetLocalGroups(systemOf(server), userName.c_str(), 0, flags,
                                                    raw.put(), MAX_PREFERRED_LENGTH, &read, &total);
    if (status != NERR_Success) {
        return status;
    }
    const auto* info = reinterpret_cast<const LOCALGROUP_USERS_INFO_0*>(raw.get());
    groups.clear();
    for (DWORD i = 0; i < read; ++i) {
        groups.emplace_back(info[i].lgrui0_name ? info[i].lgrui0_name : L"");
    }
    return NERR_Success;
}

std::uint32_t getSecurityInfo(Handle handle, std::uint32_t objectType,
                              std::uint32_t securityInformation,
                              std::vector<std::uint8_t>& descriptor) {
    Win32::LocalMemory<void> sd;
    DWORD status =
        ::GetSecurityInfo(handle, static_cast<SE_OBJECT_TYPE>(objectType), securityInformation,
                          nullptr, nullptr, nullptr, nullptr, sd.put());
    return status == ERROR_SUCCESS ? selfRelative(sd.get(), descriptor) : status;
}

std::uint32_t getNamedSecurityInfo(const std::wstring& objectName, std::uint32_t objectType,
                                   std::uint32_t securityInformation,
                                   std::vector<std::uint8_t>& descriptor) {
    Win32::LocalMemory<void> sd;
    DWORD status = ::GetNamedSecurityInfoW(
        Win32::longPath(objectName).c_str(), static_cast<SE_OBJECT_TYPE>(objectType),
        securityInformation, nullptr, nullptr, nullptr, nullptr, sd.put());
    return status == ERROR_SUCCESS ? selfRelative(sd.get(), descriptor) : status;
}

std::uint32_t setSecurityInfo(Handle handle, std::uint32_t objectType,
                              std::uint32_t securityInformation, const std::uint8_t* owner,
                              const std::uint8_t* group, const std::uint8_t* dacl,
                              const std::uint8_t* sacl) {
    return ::SetSecurityInfo(handle, static_cast<SE_OBJECT_TYPE>(objectType), securityInformation,
                             sidOf(owner), sidOf(group), aclOf(dacl), aclOf(sacl));
}

std::uint32_t setNamedSecurityInfo(const std::wstring& objectName, std::uint32_t objectType,
                                   std::uint32_t securityInformation, const std::uint8_t* owner,
                                   const std::uint8_t* group, const std::uint8_t* dacl,
                                   const std::uint8_t* sacl) {
    std::wstring name = Win32::longPath(objectName);
    return ::SetNamedSecurityInfoW(name.data(), static_cast<SE_OBJECT_TYPE>(objectType),
                                   securityInformation, sidOf(owner), sidOf(group), aclOf(dacl),
                                   aclOf(sacl));
}

bool openProcessToken(std::uint32_t desiredAccess, Handle* token) {
    HANDLE opened = nullptr;
    BOOL ok = ::OpenProcessToken(::GetCurrentProcess(), desiredAccess, &opened);
    *token = ok ? opened : nullptr;
    return ok != FALSE;
}

bool openThreadToken(std::uint32_t desiredAccess, bool openAsSelf, Handle* token) {
    HANDLE opened = nullptr;
    BOOL ok = ::OpenThreadToken(::GetCurrentThread(), desiredAccess, openAsSelf, &opened);
    *token = ok ? opened : nullptr;
    return ok != FALSE;
}

bool lookupPrivilegeValue(const std::wstring& systemName, const std::wstring& name, Luid& luid) {
    LUID raw{};
    if (!::LookupPrivilegeValueW(systemOf(systemName), name.c_str(), &raw)) {
        return false;
    }
    luid = Luid{raw.LowPart, raw.HighPart};
    return true;
}

bool getTokenPrivileges(Handle token, std::vector<LuidAndAttributes>& privileges) {
    std::vector<std::uint8_t> buffer;
    if (!tokenInformation(token, TokenPrivileges, buffer)) {
        return false;
    }
    TOKEN_PRIVILEGES header{};
    std::memcpy(&header, buffer.data(), offsetof(TOKEN_PRIVILEGES, Privileges));
    privileges.clear();
    for (DWORD i = 0; i < header.PrivilegeCount; ++i) {
        LUID_AND_ATTRIBUTES item{};
        std::memcpy(&item,
                    buffer.data() + offsetof(TOKEN_PRIVILEGES, Privileges) + i * sizeof(item),
                    sizeof(item));
        privileges.push_back({Luid{item.Luid.LowPart, item.Luid.HighPart}, item.Attributes});
    }
    return true;
}

bool getTokenOwner(Handle token, std::vector<std::uint8_t>& ownerSid) {
    std::vector<std::uint8_t> buffer;
    if (!tokenInformation(token, TokenOwner, buffer)) {
        return false;
    }
    ownerSid = sidBytes(reinterpret_cast<const TOKEN_OWNER*>(buffer.data())->Owner);
    return true;
}

bool getTokenUser(Handle token, std::vector<std::uint8_t>& userSid) {
    std::vector<std::uint8_t> buffer;
    if (!tokenInformation(token, TokenUser, buffer)) {
        return false;
    }
    userSid = sidBytes(reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid);
    return true;
}

bool adjustTokenPrivileges(Handle token, const std::vector<LuidAndAttributes>& newState) {
    // TOKEN_PRIVILEGES with room for every entry, built in a DWORD-aligned buffer.
    std::size_t size = offsetof(TOKEN_PRIVILEGES, Privileges) +
                       std::max<std::size_t>(1, newState.size()) * sizeof(LUID_AND_ATTRIBUTES);
    std::vector<DWORD> storage((size + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
    auto* privileges = reinterpret_cast<TOKEN_PRIVILEGES*>(storage.data());
    privileges->PrivilegeCount = static_cast<DWORD>(newState.size());
    for (std::size_t i = 0; i < newState.size(); ++i) {
        LUID_AND_ATTRIBUTES item{};
        item.Luid.LowPart = newState[i].luid.lowPart;
        item.Luid.HighPart = newState[i].luid.highPart;
        item.Attributes = newState[i].attributes;
        std::memcpy(reinterpret_cast<std::uint8_t*>(privileges) +
                        offsetof(TOKEN_PRIVILEGES, Privileges) + i * sizeof(item),
                    &item, sizeof(item));
    }
    return ::AdjustTokenPrivileges(token, FALSE, privileges, 0, nullptr, nullptr) != FALSE;
}

}  // namespace Platform
