// The process token of the emulated host: who the process is (SYSTEM, or the local user that
// TAVREL_HOST_USER names) and which privileges it holds and has enabled. Nothing impersonates,
// so there is no thread token. Enabling a privilege lasts for the rest of the process, as an
// adjustment of a Windows process token does; it is kept in memory only.
#include "platform/posix/accounts/token.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/dtyp/access_mask.h"
#include "platform/posix/accounts/accounts_db.h"
#include "platform/posix/host/errors.h"
#include "platform/posix/host/handles.h"
#include "platform/posix/host/host.h"
#include "platform/posix/host/seam_count.h"
#include "platform/security.h"
#include "platform/text.h"

namespace Platform {
namespace {

using Dtyp::Sid;
using Posix::failWith;

constexpr std::uint32_t RpcServerUnavailable = 1722;  // RPC_S_SERVER_UNAVAILABLE

// The privileges of Windows with the LUIDs that LookupPrivilegeValueW gives them (winnt.h's
// SE_*_PRIVILEGE values; the high part is 0 for all of them).
struct PrivilegeName {
    const wchar_t* name;
    std::uint32_t luid;
};
constexpr PrivilegeName privilegeNames[] = {
    {L"SeCreateTokenPrivilege", 2},
    {L"SeAssignPrimaryTokenPrivilege", 3},
    {L"SeLockMemoryPrivilege", 4},
    {L"SeIncreaseQuotaPrivilege", 5},
    {L"SeMachineAccountPrivilege", 6},
    {L"SeTcbPrivilege", 7},
    {L"SeSecurityPrivilege", 8},
    {L"SeTakeOwnershipPrivilege", 9},
    {L"SeLoadDriverPrivilege", 10},
    {L"SeSystemProfilePrivilege", 11},
    {L"SeSystemtimePrivilege", 12},
    {L"SeProfileSingleProcessPrivilege", 13},
    {L"SeIncreaseBasePriorityPrivilege", 14},
    {L"SeCreatePagefilePrivilege", 15},
    {L"SeCreatePermanentPrivilege", 16},
    {L"SeBackupPrivilege", 17},
    {L"SeRestorePrivilege", 18},
    {L"SeShutdownPrivilege", 19},
    {L"SeDebugPrivilege", 20},
    {L"SeAuditPrivilege", 21},
    {L"SeSystemEnvironmentPrivilege", 22},
    {L"SeChangeNotifyPrivilege", 23},
    {L"SeRemoteShutdownPrivilege", 24},
    {L"SeUndockPrivilege", 25},
    {L"SeSyncAgentPrivilege", 26},
    {L"SeEnableDelegationPrivilege", 27},
    {L"SeManageVolumePrivilege", 28},
    {L"SeImpersonatePrivilege", 29},
    {L"SeCreateGlobalPrivilege", 30},
    {L"SeTrustedCredManAccessPrivilege", 31},
    {L"SeRelabelPrivilege", 32},
    {L"SeIncreaseWorkingSetPrivilege", 33},
    {L"SeTimeZonePrivilege", 34},
    {L"SeCreateSymbolicLinkPrivilege", 35},
    {L"SeDelegateSessionUserImpersonatePrivilege", 36},
};

const PrivilegeName* privilegeByName(const std::wstring& name) {
    for (const auto& privilege : privilegeNames) {
        if (equalsNoCase(privilege.name, name)) {
            return &privilege;
        }
    }
    return nullptr;
}

const PrivilegeName* privilegeByLuid(const Luid& luid) {
    for (const auto& privilege : privilegeNames) {
        if (luid.highPart == 0 && luid.lowPart == privilege.luid) {
            return &privilege;
        }
    }
    return nullptr;
}

// What the SYSTEM token of the emulated host holds: the privileges that security work needs.
constexpr const wchar_t* systemPrivileges[] = {
    Dtyp::Privilege::TakeOwnership,
    Dtyp::Privilege::Backup,
    Dtyp::Privilege::Restore,
};

// The privileges this process has enabled, by LUID.
struct EnabledPrivileges {
    std::mutex lock;
    std::set<std::uint32_t> luids;
    std::uint64_t version = 0;  // counts the changes, for the cached token
};

EnabledPrivileges& enabledPrivileges() {
    static EnabledPrivileges state;
    return state;
}

bool isEnabled(const std::wstring& name) {
    const PrivilegeName* privilege = privilegeByName(name);
    auto& state = enabledPrivileges();
    std::lock_guard guard(state.lock);
    return privilege && state.luids.count(privilege->luid) != 0;
}

// The token's generic rights (winnt.h: TOKEN_READ, TOKEN_WRITE, TOKEN_EXECUTE,
// TOKEN_ALL_ACCESS).
constexpr Dtyp::GenericMapping tokenGenericMapping{0x00020008, 0x000200E0, 0x00020000, 0x000F01FF};

class TokenObject : public Posix::HandleObject {
public:
    TokenObject(std::uint32_t access, Dtyp::Token identity)
        : access_(access), identity_(std::move(identity)) {}
    bool grants(std::uint32_t right) const { return (access_ & right) == right; }
    // The identity with the privileges' current enabled state.
    Dtyp::Token current() const {
        Dtyp::Token token = identity_;
        for (auto& privilege : token.privileges) {
            privilege.enabled = isEnabled(privilege.name);
        }
        return token;
    }

private:
    std::uint32_t access_;
    Dtyp::Token identity_;
};

// Who the process is, without the enabled state of its privileges.
bool identity(Dtyp::Token& token) {
    const char* user = std::getenv("TAVREL_HOST_USER");
    if (!user || !*user) {
        token.user = Dtyp::WellKnownSid::localSystem();
        token.groups = {Dtyp::WellKnownSid::builtinAdministrators(), Dtyp::WellKnownSid::everyone(),
                        Dtyp::WellKnownSid::authenticatedUsers()};
        token.privileges.clear();
        for (const wchar_t* name : systemPrivileges) {
            token.privileges.push_back({name, false});
        }
        return true;
    }
    std::uint32_t error = 0;
    std::wstring detail;
    auto db = Posix::loadAccounts(error, detail);
    if (!db) {
        return failWith(error);
    }
    auto account = db->findName(fromUtf8(user));
    if (!account || account->use != SidType::User) {
        return failWith(Posix::ErrorNoSuchUser);
    }
    token.user = account->sid;
    token.groups =
        db->withGroups({account->sid, Dtyp::WellKnownSid::builtinUsers(),
                        Dtyp::WellKnownSid::everyone(), Dtyp::WellKnownSid::authenticatedUsers()});
    token.groups.erase(token.groups.begin());  // the user itself
    token.privileges.clear();
    return true;
}

std::shared_ptr<TokenObject> tokenWith(Handle handle, std::uint32_t right) {
    auto token = Posix::lookupHandle<TokenObject>(handle);
    if (!token) {
        failWith(WinError::InvalidHandle);
        return nullptr;
    }
    if (!token->grants(right)) {
        failWith(WinError::AccessDenied);
        return nullptr;
    }
    return token;
}

// Runs `read` on the identity of a token opened for query; false with the last error where the
// handle is no such token or lacks the right.
template <typename Read>
bool queryToken(Handle handle, Read read) {
    auto object = tokenWith(handle, TokenAccess::Query);
    if (!object) {
        return false;
    }
    read(object->current());
    setLastError(WinError::Success);
    return true;
}

}  // namespace

namespace Posix {

std::shared_ptr<const Dtyp::Token> currentToken() {
    // Built once and again only when who the process is, the accounts file (for a local
    // user) or the enabled privileges change: every access check of the host asks for it.
    static std::mutex lock;
    static std::shared_ptr<const Dtyp::Token> cached;
    static std::string user;
    static std::string accountsPath;
    static struct stat accountsStamp {};
    static std::uint64_t version = 0;
    const char* variable = std::getenv("TAVREL_HOST_USER");
    std::string wanted = variable ? variable : "";
    struct stat stamp {};
    std::string accounts;
    if (!wanted.empty()) {
        try {
            accounts = (ensureHost() / "accounts").string();
        } catch (const std::exception&) {
            failWith(WinError::PathNotFound);
            return nullptr;
        }
        ::stat(accounts.c_str(), &stamp);
    }
    std::uint64_t enabled = 0;
    {
        auto& state = enabledPrivileges();
        std::lock_guard guard(state.lock);
        enabled = state.version;
    }
    std::lock_guard guard(lock);
    bool sameAccounts =
        wanted.empty() ||
        (accounts == accountsPath && stamp.st_ino == accountsStamp.st_ino &&
         stamp.st_dev == accountsStamp.st_dev && stamp.st_size == accountsStamp.st_size &&
         stamp.st_mtim.tv_sec == accountsStamp.st_mtim.tv_sec &&
         stamp.st_mtim.tv_nsec == accountsStamp.st_mtim.tv_nsec);
    if (cached && wanted == user && sameAccounts && enabled == version) {
        return cached;
    }
    auto token = std::make_shared<Dtyp::Token>();
    if (!identity(*token)) {
        return nullptr;
    }
    for (auto& privilege : token->privileges) {
        privilege.enabled = isEnabled(privilege.name);
    }
    cached = std::move(token);
    user = wanted;
    accountsPath = accounts;
    accountsStamp = stamp;
    version = enabled;
    return cached;
}

bool processToken(Dtyp::Token& token) {
    auto current = currentToken();
    if (!current) {
        return false;
    }
    token = *current;
    return true;
}

Dtyp::Sid defaultOwnerOf(const Dtyp::Token& token) {
    // SYSTEM owns what it creates through Administrators (its TokenOwner), so that every
    // administrator can manage it.
    return token.user == Dtyp::WellKnownSid::localSystem()
               ? Dtyp::WellKnownSid::builtinAdministrators()
               : token.user;
}

}  // namespace Posix

bool openProcessToken(std::uint32_t desiredAccess, Handle* token) {
    TAVREL_SEAM_CALL("OpenProcessToken");
    if (!token) {
        return failWith(WinError::InvalidParameter);
    }
    Dtyp::Token who;
    if (!identity(who)) {
        return false;
    }
    // The process may open its own token for anything.
    std::uint32_t access = desiredAccess & Dtyp::Access::MaximumAllowed
                               ? tokenGenericMapping.genericAll
                               : Dtyp::mapGenericMask(desiredAccess, tokenGenericMapping);
    *token = Posix::registerHandle(std::make_shared<TokenObject>(access, std::move(who)));
    setLastError(WinError::Success);
    return true;
}

bool openThreadToken(std::uint32_t /*desiredAccess*/, bool /*openAsSelf*/, Handle* token) {
    TAVREL_SEAM_CALL("OpenThreadToken");
    if (token) {
        *token = nullptr;
    }
    return failWith(ErrorNoToken);
}

bool lookupPrivilegeValue(const std::wstring& systemName, const std::wstring& name, Luid& luid) {
    TAVREL_SEAM_CALL("LookupPrivilegeValueW");
    if (!systemName.empty() && systemName != L"." && systemName != L"\\\\.") {
        std::uint32_t error = 0;
        std::wstring detail;
        auto db = Posix::loadAccounts(error, detail);
        std::wstring_view machine = systemName;
        if (machine.substr(0, 2) == L"\\\\") {
            machine.remove_prefix(2);
        }
        if (!db || !equalsNoCase(machine, db->machineName())) {
            return failWith(RpcServerUnavailable);
        }
    }
    const PrivilegeName* privilege = privilegeByName(name);
    if (!privilege) {
        return failWith(WinError::NoSuchPrivilege);
    }
    luid = Luid{privilege->luid, 0};
    setLastError(WinError::Success);
    return true;
}

bool getTokenPrivileges(Handle token, std::vector<LuidAndAttributes>& privileges) {
    TAVREL_SEAM_CALL("GetTokenInformation(TokenPrivileges)");
    return queryToken(token, [&](const Dtyp::Token& identity) {
        privileges.clear();
        for (const auto& held : identity.privileges) {
            const PrivilegeName* privilege = privilegeByName(held.name);
            privileges.push_back(
                {Luid{privilege->luid, 0}, held.enabled ? SePrivilegeEnabled : std::uint32_t{0}});
        }
    });
}

bool getTokenOwner(Handle token, std::vector<std::uint8_t>& ownerSid) {
    TAVREL_SEAM_CALL("GetTokenInformation(TokenOwner)");
    return queryToken(token, [&](const Dtyp::Token& identity) {
        ownerSid = Posix::defaultOwnerOf(identity).toBytes();
    });
}

bool getTokenUser(Handle token, std::vector<std::uint8_t>& userSid) {
    TAVREL_SEAM_CALL("GetTokenInformation(TokenUser)");
    return queryToken(token,
                      [&](const Dtyp::Token& identity) { userSid = identity.user.toBytes(); });
}

bool adjustTokenPrivileges(Handle token, const std::vector<LuidAndAttributes>& newState) {
    TAVREL_SEAM_CALL("AdjustTokenPrivileges");
    auto object = tokenWith(token, TokenAccess::AdjustPrivileges);
    if (!object) {
        return false;
    }
    Dtyp::Token current = object->current();
    bool allAssigned = true;
    auto& state = enabledPrivileges();
    std::lock_guard guard(state.lock);
    for (const auto& change : newState) {
        const PrivilegeName* privilege = privilegeByLuid(change.luid);
        bool held = privilege && std::any_of(current.privileges.begin(), current.privileges.end(),
                                             [&](const Dtyp::HeldPrivilege& p) {
                                                 return equalsNoCase(p.name, privilege->name);
                                             });
        if (!held) {
            // A privilege the token does not hold cannot be enabled or disabled: the call
            // succeeds for the others and says so with ERROR_NOT_ALL_ASSIGNED.
            allAssigned = false;
            continue;
        }
        if (change.attributes & SePrivilegeEnabled) {
            state.version += state.luids.insert(privilege->luid).second ? 1 : 0;
        } else {
            state.version += state.luids.erase(privilege->luid);
        }
    }
    setLastError(allAssigned ? WinError::Success : WinError::NotAllAssigned);
    return true;
}

}  // namespace Platform
