#include "accounts/vsid.h"

#include <algorithm>
#include <new>
#include <span>

#include "accounts/sid_cache.h"
#include "platform/dtyp/sddl.h"
#include "runtime/exceptions.h"

namespace {

namespace WinError = Platform::WinError;
using Platform::Dtyp::Sid;

// AllocateAndInitializeSid takes one to eight sub-authorities; the authority is six bytes.
Sid allocateAndInitializeSid(std::uint64_t authority, std::span<const std::uint32_t> subAuthorities,
                             const std::wstring& message, const char* function) {
    if (subAuthorities.size() < 1 || subAuthorities.size() > 8 || authority > Sid::MaxAuthority) {
        throwOsError(message, WinError::InvalidParameter, VSITE(function));
    }
    return Sid(authority, subAuthorities);
}

struct WellKnownRow {
    std::uint64_t authority;
    std::vector<std::uint32_t> subAuthorities;
};

// Identifier authorities (MS-DTYP 2.4.1.1) and the RIDs of MS-DTYP 2.4.2.4. The BUILTIN
// groups live under SECURITY_BUILTIN_DOMAIN_RID (32).
WellKnownRow wellKnownRow(WellKnownAccount account) {
    constexpr std::uint64_t nullAuthority = 0;
    constexpr std::uint64_t world = 1;
    constexpr std::uint64_t local = 2;
    constexpr std::uint64_t creator = 3;
    constexpr std::uint64_t nt = 5;
    constexpr std::uint32_t builtin = 32;
    switch (account) {
        case WellKnownAccount::Null:
            return {nullAuthority, {0}};
        case WellKnownAccount::Everyone:
            return {world, {0}};
        case WellKnownAccount::Local:
            return {local, {0}};
        case WellKnownAccount::CreatorOwner:
            return {creator, {0}};
        case WellKnownAccount::CreatorGroup:
            return {creator, {1}};
        case WellKnownAccount::CreatorOwnerServer:
            return {creator, {2}};
        case WellKnownAccount::CreatorGroupServer:
            return {creator, {3}};
        case WellKnownAccount::Dialup:
            return {nt, {1}};
        case WellKnownAccount::Network:
            return {nt, {2}};
        case WellKnownAccount::Batch:
            return {nt, {3}};
        case WellKnownAccount::Interactive:
            return {nt, {4}};
        case WellKnownAccount::Service:
            return {nt, {6}};
        case WellKnownAccount::AnonymousLogon:
            return {nt, {7}};
        case WellKnownAccount::Proxy:
            return {nt, {8}};
        case WellKnownAccount::ServerLogon:
            return {nt, {9}};
        case WellKnownAccount::Self:
            return {nt, {10}};
        case WellKnownAccount::AuthenticatedUser:
            return {nt, {11}};
        case WellKnownAccount::RestrictedCode:
            return {nt, {12}};
        case WellKnownAccount::TerminalServer:
            return {nt, {13}};
        case WellKnownAccount::ThisOrganization:
            return {nt, {15}};
        case WellKnownAccount::System:
            return {nt, {18}};
        case WellKnownAccount::LocalService:
            return {nt, {19}};
        case WellKnownAccount::NetworkService:
            return {nt, {20}};
        case WellKnownAccount::Administrators:
            return {nt, {builtin, 544}};
        case WellKnownAccount::Users:
            return {nt, {builtin, 545}};
        case WellKnownAccount::Guests:
            return {nt, {builtin, 546}};
        case WellKnownAccount::PowerUsers:
            return {nt, {builtin, 547}};
        case WellKnownAccount::AccountOps:
            return {nt, {builtin, 548}};
        case WellKnownAccount::SystemOps:
            return {nt, {builtin, 549}};
        case WellKnownAccount::PrintOps:
            return {nt, {builtin, 550}};
        case WellKnownAccount::BackupOps:
            return {nt, {builtin, 551}};
        case WellKnownAccount::Replicator:
            return {nt, {builtin, 552}};
        case WellKnownAccount::RasServers:
            return {nt, {builtin, 553}};
        case WellKnownAccount::PreW2kCompAccess:
            return {nt, {builtin, 554}};
        case WellKnownAccount::RemoteDesktopUsers:
            return {nt, {builtin, 555}};
        case WellKnownAccount::Administrator:
        case WellKnownAccount::Guest:
            break;
    }
    throwOsError(L"Unable to allocate and initialize sid", WinError::InvalidParameter,
                 VSITE("VSID::wellKnown"));
}

}  // namespace

VSID::VSID(const std::uint8_t* sid) {
    if (sid == nullptr) {
        return;
    }
    if (!Platform::Dtyp::isValidSid(sid)) {
        throwOsError(L"Unable to copy sid", WinError::InvalidSid, VSITE("VSID::VSID"));
    }
    std::uint32_t length = Platform::Dtyp::getLengthSid(sid);
    try {
        sid_.resize(length);
    } catch (const std::bad_alloc&) {
        throwOsError(L"Unable to allocate memory for SID", WinError::NotEnoughMemory,
                     VSITE("VSID::VSID"));
    }
    if (auto status = Platform::Dtyp::copySid(length, sid_.data(), sid); !status) {
        throwOsError(L"Unable to copy sid", status.error, VSITE("VSID::VSID"));
    }
}

VSID::VSID(const Sid& sid) : sid_(sid.toBytes()) {}

VSID::VSID(std::uint64_t authority, std::initializer_list<std::uint32_t> subAuthorities)
    : sid_(allocateAndInitializeSid(authority,
                                    std::span(subAuthorities.begin(), subAuthorities.size()),
                                    L"Unable to allocate and initialize sid", "VSID::VSID")
               .toBytes()) {}

VSID VSID::fromString(const std::wstring& text) {
    auto sid = Platform::Dtyp::sidFromSddl(text);
    if (!sid) {
        throwOsError(L"Unable to convert a string to SID", sid.error(), VSITE("VSID::fromString"));
    }
    return VSID(*sid);
}

VSID VSID::getWellKnownUserSIDFromRID(const std::wstring& server, std::uint32_t rid) {
    Platform::UserModalsInfo2 info;
    if (std::uint32_t error = Platform::netUserModalsGet2(server, info)) {
        throwOsError(
            withHostDetail(formatString(L"Unable to get the domain (%s) SID", server), error),
            error, VSITE("VSID::getWellKnownUserSIDFromRID"));
    }
    auto domain = Sid::fromBytes(info.domainId);
    if (!domain) {
        throwOsError(L"Unable to copy domain sid", domain.error(),
                     VSITE("VSID::getWellKnownUserSIDFromRID"));
    }
    // The account SID is the domain SID with the RID as one more sub-authority; a domain SID
    // that already has the most a SID can hold leaves no room for it.
    auto account = domain->withRid(rid);
    if (!account) {
        throwOsError(L"Unable to copy domain sid", account.error(),
                     VSITE("VSID::getWellKnownUserSIDFromRID"));
    }
    return VSID(*account);
}

VSID VSID::wellKnown(WellKnownAccount account) {
    if (account == WellKnownAccount::Administrator) {
        return getWellKnownUserSIDFromRID(std::wstring(), 500);
    }
    if (account == WellKnownAccount::Guest) {
        return getWellKnownUserSIDFromRID(std::wstring(), 501);
    }
    WellKnownRow row = wellKnownRow(account);
    return VSID(allocateAndInitializeSid(row.authority, row.subAuthorities,
                                         L"Unable to allocate and initialize sid", "VSID::VSID"));
}

bool VSID::lookupName(const std::wstring& domain, const std::wstring& name, VSID& account,
                      bool raiseOnFailure) {
    return SidCache::lookupAccountName(domain, name, account, raiseOnFailure);
}

VSID VSID::fromName(const std::wstring& domain, const std::wstring& name) {
    VSID account;
    SidCache::lookupAccountName(domain, name, account, true);
    return account;
}

std::vector<std::uint8_t> VSID::admins() {
    const std::uint32_t subAuthorities[] = {32, 544};
    return allocateAndInitializeSid(5, subAuthorities, L"AllocateAndInitializeSid", "VSID::admins")
        .toBytes();
}

std::vector<std::uint8_t> VSID::everyone() {
    const std::uint32_t subAuthorities[] = {0};
    return allocateAndInitializeSid(1, subAuthorities, L"AllocateAndInitializeSid",
                                    "VSID::everyone")
        .toBytes();
}

std::vector<std::uint8_t> VSID::system() {
    const std::uint32_t subAuthorities[] = {18};
    return allocateAndInitializeSid(5, subAuthorities, L"AllocateAndInitializeSid", "VSID::system")
        .toBytes();
}

Sid VSID::dtypSid() const {
    auto sid = Sid::fromBytes(sid_);
    if (!sid) {
        throwOsError(L"Invalid sid", WinError::InvalidSid, VSITE("VSID::dtypSid"));
    }
    return *sid;
}

void VSID::setSid(const std::uint8_t* sid) {
    sid_.clear();
    if (sid == nullptr) {
        return;
    }
    if (!Platform::Dtyp::isValidSid(sid)) {
        RunTime::throwError(L"Invalid sid", WinError::InvalidSid);
    }
    std::uint32_t length = Platform::Dtyp::getLengthSid(sid);
    std::vector<std::uint8_t> copy;
    try {
        copy.resize(length);
    } catch (const std::bad_alloc&) {
        RunTime::throwError(L"Unable to allocate (%d) bytes", WinError::NotEnoughMemory, length);
    }
    if (auto status = Platform::Dtyp::copySid(length, copy.data(), sid); !status) {
        RunTime::throwError(L"Unable to copy sid", status.error);
    }
    sid_ = std::move(copy);
}

void VSID::setAccount(const std::wstring& domain, const std::wstring& name, std::uint32_t type) {
    domain_ = domain;
    name_ = name;
    type_ = type;
}

std::wstring VSID::toString() const {
    auto sid = Sid::fromBytes(sid_);
    if (!sid) {
        throwOsError(L"Unable to convert a SID to it's string form", sid.error(),
                     VSITE("VSID::toString"));
    }
    return sid->toString();
}

void VSID::_lookupNames() const {
    std::wstring domain;
    std::wstring name;
    std::uint32_t type = type_;
    SidCache::lookupAccountSid(std::wstring(), *this, domain, name, &type);
    domain_ = std::move(domain);
    name_ = std::move(name);
    type_ = type;
}

const std::wstring& VSID::name() const {
    if (domain_.empty()) {
        _lookupNames();
    }
    return name_;
}

const std::wstring& VSID::domain() const {
    if (domain_.empty()) {
        _lookupNames();
    }
    return domain_;
}

std::wstring VSID::displayName() const {
    // Only an unmapped SID is shown by its number; any other failure of the lookup is the
    // caller's to see.
    try {
        _lookupNames();
    } catch (const RunTime::NoneMappedException&) {
        return toString();
    }
    return domain_ + L"\\" + name_;
}

int VSID::compare(const VSID& other) const {
    if (!Platform::Dtyp::isValidSid(sid()) || !Platform::Dtyp::isValidSid(other.sid())) {
        throwOsError(L"Invalid sid(s)", WinError::InvalidSid, VSITE("VSID::compare"));
    }
    if (Platform::Dtyp::equalSid(sid(), other.sid())) {
        return 0;
    }
    if (sid_.size() != other.sid_.size()) {
        return sid_.size() < other.sid_.size() ? -1 : 1;
    }
    // Byte by byte as unsigned values; the SIDs differ somewhere.
    auto [mine, theirs] = std::mismatch(sid_.begin(), sid_.end(), other.sid_.begin());
    return *mine < *theirs ? -1 : 1;
}
