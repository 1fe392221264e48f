#include "accounts/account_token.h"

#include <algorithm>
#include <string>
#include <vector>

#include "platform/account_lookup.h"
#include "platform/security.h"
#include "platform/types.h"
#include "runtime/exceptions.h"
#include "runtime/format.h"

namespace AccountTokens {

namespace Dtyp = Platform::Dtyp;

namespace {

void addGroup(Dtyp::Token& token, const Dtyp::Sid& sid) {
    if (!token.hasSid(sid)) {
        token.groups.push_back(sid);
    }
}

// "DOMAIN\name" as the account lookups answered it, or the name alone.
std::wstring qualifiedName(const VSID& account) {
    const std::wstring& domain = account.domain();
    return domain.empty() ? account.name() : domain + L"\\" + account.name();
}

}  // namespace

bool findAccount(const std::wstring& name, VSID& account) {
    Platform::AccountLookup found;
    if (!Platform::lookupAccountName(std::wstring(), name, found)) {
        std::uint32_t error = Platform::getLastError();
        if (error == Platform::WinError::NoneMapped) {
            return false;
        }
        throwOsError(formatString(L"Unable to lookup SID for name %s", name), error,
                     VSITE("AccountTokens::findAccount"));
    }
    account = VSID(found.sid.data());
    account.setAccount(found.domain, name.substr(name.rfind(L'\\') + 1), found.use);
    return true;
}

Dtyp::Token accountToken(const VSID& account) {
    Dtyp::Token token;
    token.user = account.dtypSid();
    const Dtyp::Sid everyone = Dtyp::WellKnownSid::everyone();
    const Dtyp::Sid anonymous(5, {7});
    if (account.type() == Platform::SidType::User) {
        std::vector<std::wstring> groups;
        std::uint32_t status = Platform::netUserGetLocalGroups(
            std::wstring(), qualifiedName(account), Platform::LgIncludeIndirect, groups);
        if (status != Platform::WinError::Success) {
            throwOsError(
                formatString(L"Unable to read the local groups of %s", qualifiedName(account)),
                status, VSITE("AccountTokens::accountToken"));
        }
        for (const std::wstring& name : groups) {
            VSID group;
            if (findAccount(name, group)) {
                addGroup(token, group.dtypSid());
            }
        }
    }
    addGroup(token, everyone);
    if (token.user != everyone && token.user != anonymous) {
        addGroup(token, Dtyp::WellKnownSid::authenticatedUsers());
    }
    return token;
}

Dtyp::Token plainUserToken() {
    Dtyp::Token token;
    token.user = Dtyp::Sid(0, {0});
    token.groups = {Dtyp::WellKnownSid::builtinUsers(), Dtyp::WellKnownSid::everyone(),
                    Dtyp::WellKnownSid::authenticatedUsers()};
    return token;
}

}  // namespace AccountTokens
