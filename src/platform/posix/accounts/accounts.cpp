// The account services of the emulated host (LookupAccountNameW, LookupAccountSidW,
// NetUserModalsGet level 2) over the accounts database of accounts_db.h.
#include <algorithm>
#include <cstring>

#include "platform/posix/accounts/accounts_db.h"
#include "platform/posix/host/errors.h"
#include "platform/posix/host/seam_count.h"
#include "platform/security.h"
#include "platform/text.h"

namespace Platform {
namespace {

using Posix::AccountInfo;
using Posix::failWith;

constexpr std::uint32_t RpcServerUnavailable = 1722;  // RPC_S_SERVER_UNAVAILABLE

// "", ".", "\\." and the machine's own name (with or without the leading backslashes) all
// name this machine.
bool isThisMachine(const std::wstring& systemName, const Posix::AccountsDatabase* db) {
    std::wstring_view name = systemName;
    if (name.size() >= 2 && name[0] == L'\\' && name[1] == L'\\') {
        name.remove_prefix(2);
    }
    return name.empty() || name == L"." || (db && equalsNoCase(name, db->machineName()));
}

// The accounts of the host; null with `error` also left as the last error, with the host's
// words for it (which file, which line), so that the caller's message can name them.
std::shared_ptr<const Posix::AccountsDatabase> accounts(std::uint32_t& error) {
    std::wstring detail;
    auto db = Posix::loadAccounts(error, detail);
    if (!db) {
        Posix::setLastErrorWithDetail(error, std::move(detail));
    }
    return db;
}

// Copies `text` and its NUL into a caller's buffer of `*chars` characters.
void copyText(const std::wstring& text, wchar_t* buffer) {
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = L'\0';
}

bool roomFor(const std::wstring& text, const wchar_t* buffer, const std::uint32_t* chars) {
    return buffer != nullptr && *chars > text.size();
}

}  // namespace

bool lookupAccountName(const std::wstring& systemName, const std::wstring& accountName,
                       std::uint8_t* sid, std::uint32_t* sidSize, wchar_t* domain,
                       std::uint32_t* domainChars, std::uint32_t* use) {
    TAVREL_SEAM_CALL("LookupAccountNameW");
    if (!sidSize || !domainChars || !use) {
        return failWith(WinError::InvalidParameter);
    }
    std::uint32_t error = 0;
    auto db = accounts(error);
    if (!db) {
        return false;
    }
    if (!isThisMachine(systemName, db.get())) {
        return failWith(RpcServerUnavailable);
    }
    std::optional<AccountInfo> account = db->findName(accountName);
    if (!account) {
        return failWith(WinError::NoneMapped);
    }
    std::vector<std::uint8_t> bytes = account->sid.toBytes();
    bool sidFits = sid != nullptr && *sidSize >= bytes.size();
    if (!sidFits || !roomFor(account->domain, domain, domainChars)) {
        // Both sizes, so that one retry with buffers of these sizes succeeds.
        *sidSize = static_cast<std::uint32_t>(bytes.size());
        *domainChars = static_cast<std::uint32_t>(account->domain.size() + 1);
        return failWith(WinError::InsufficientBuffer);
    }
    std::memcpy(sid, bytes.data(), bytes.size());
    copyText(account->domain, domain);
    *sidSize = static_cast<std::uint32_t>(bytes.size());
    *domainChars = static_cast<std::uint32_t>(account->domain.size());
    *use = account->use;
    setLastError(WinError::Success);
    return true;
}

bool lookupAccountSid(const std::wstring& systemName, const std::uint8_t* sid, wchar_t* name,
                      std::uint32_t* nameChars, wchar_t* domain, std::uint32_t* domainChars,
                      std::uint32_t* use) {
    TAVREL_SEAM_CALL("LookupAccountSidW");
    if (!nameChars || !domainChars || !use) {
        return failWith(WinError::InvalidParameter);
    }
    if (!sid || !Dtyp::isValidSid(sid)) {
        return failWith(WinError::InvalidSid);
    }
    auto parsed = Dtyp::Sid::fromBytes({sid, Dtyp::getLengthSid(sid)});
    if (!parsed) {
        return failWith(WinError::InvalidSid);
    }
    // The well-known accounts need no accounts file: a broken file does not hide them.
    std::uint32_t error = 0;
    auto db = accounts(error);
    if (!isThisMachine(systemName, db.get())) {
        return db ? failWith(RpcServerUnavailable) : false;
    }
    std::optional<AccountInfo> account =
        db ? db->findSid(*parsed) : Posix::findWellKnownSid(*parsed);
    if (!account) {
        return db ? failWith(WinError::NoneMapped) : false;
    }
    if (!roomFor(account->name, name, nameChars) ||
        !roomFor(account->domain, domain, domainChars)) {
        *nameChars = static_cast<std::uint32_t>(account->name.size() + 1);
        *domainChars = static_cast<std::uint32_t>(account->domain.size() + 1);
        return failWith(WinError::InsufficientBuffer);
    }
    copyText(account->name, name);
    copyText(account->domain, domain);
    *nameChars = static_cast<std::uint32_t>(account->name.size());
    *domainChars = static_cast<std::uint32_t>(account->domain.size());
    *use = account->use;
    setLastError(WinError::Success);
    return true;
}

// The accounts of `server` for the network-management calls: this machine's, or the error
// they return (ERROR_BAD_NETPATH for another machine).
std::uint32_t thisMachineAccounts(const std::wstring& server,
                                  std::shared_ptr<const Posix::AccountsDatabase>& db) {
    std::uint32_t error = 0;
    db = accounts(error);
    if (!db) {
        return error;
    }
    return isThisMachine(server, db.get()) ? WinError::Success : WinError::BadNetpath;
}

std::uint32_t netUserModalsGet2(const std::wstring& server, UserModalsInfo2& info) {
    TAVREL_SEAM_CALL("NetUserModalsGet");
    std::shared_ptr<const Posix::AccountsDatabase> db;
    if (std::uint32_t error = thisMachineAccounts(server, db)) {
        return error;
    }
    info.domainName = db->machineName();
    info.domainId = db->domainSid().toBytes();
    return WinError::Success;
}

std::uint32_t netUserGetLocalGroups(const std::wstring& server, const std::wstring& userName,
                                    std::uint32_t flags, std::vector<std::wstring>& groups) {
    TAVREL_SEAM_CALL("NetUserGetLocalGroups");
    std::shared_ptr<const Posix::AccountsDatabase> db;
    if (std::uint32_t error = thisMachineAccounts(server, db)) {
        return error;
    }
    std::optional<AccountInfo> user = db->findName(userName);
    if (!user || user->use != SidType::User) {
        return WinError::UserNotFound;
    }
    // Every local user is a member of Users, as Windows makes each new account one (the host's
    // tokens carry it for the same reason); the member lines add the rest, directly or, with
    // LG_INCLUDE_INDIRECT, through the groups the user is already in.
    std::vector<Dtyp::Sid> sids{user->sid, Dtyp::WellKnownSid::builtinUsers()};
    if (flags & LgIncludeIndirect) {
        sids = db->withGroups(std::move(sids));
    } else {
        for (const Posix::Membership& line : db->memberships()) {
            std::optional<AccountInfo> member = db->findName(line.member);
            std::optional<AccountInfo> group = db->findName(line.group);
            if (member && group && member->sid == user->sid &&
                std::find(sids.begin(), sids.end(), group->sid) == sids.end()) {
                sids.push_back(group->sid);
            }
        }
    }
    groups.clear();
    for (const Dtyp::Sid& sid : sids) {
        std::optional<AccountInfo> group = db->findSid(sid);
        if (group && group->use == SidType::Alias) {
            groups.push_back(group->name);
        }
    }
    return WinError::Success;
}

}  // namespace Platform
