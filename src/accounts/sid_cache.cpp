#include "accounts/sid_cache.h"

#include <cwchar>
#include <mutex>
#include <vector>

#include "platform/account_lookup.h"
#include "platform/text.h"
#include "runtime/exceptions.h"

namespace SidCache {
namespace {

namespace WinError = Platform::WinError;

// The current cache and the ones it displaced. A recursive lock, as a critical section is,
// so that a cache call may itself ask for names.
struct Slot {
    std::recursive_mutex lock;
    std::unique_ptr<OfflineSidCache> current;
    std::vector<std::unique_ptr<OfflineSidCache>> stack;
};

Slot& slot() {
    static Slot instance;
    return instance;
}

// Runs `action` on the current cache under the lock; false without a current cache.
template <typename Action>
bool withCurrent(Action action) {
    Slot& s = slot();
    std::lock_guard guard(s.lock);
    return s.current != nullptr && action(*s.current);
}

// The domains tried after the given one. They do not change while the process runs, so they
// are asked for once.
struct CandidateDomains {
    std::wstring accountDomain;  // this machine's, for a name given without a domain
    std::wstring builtin;        // of BUILTIN\Administrators
    std::wstring system;         // of LocalSystem
};

std::wstring domainOfSid(Platform::Dtyp::Sid sid) {
    std::wstring domain;
    std::wstring name;
    lookupAccountSid(std::wstring(), VSID(sid), domain, name);
    return domain;
}

CandidateDomains computeCandidateDomains() {
    CandidateDomains domains;
    Platform::UserModalsInfo2 info;
    if (std::uint32_t error = Platform::netUserModalsGet2(std::wstring(), info)) {
        throwOsError(L"Unable to get domain name", error, VSITE("SidCache::lookupAccountName"));
    }
    domains.accountDomain = info.domainName;
    domains.builtin = domainOfSid(Platform::Dtyp::WellKnownSid::builtinAdministrators());
    domains.system = domainOfSid(Platform::Dtyp::WellKnownSid::localSystem());
    return domains;
}

const CandidateDomains& candidateDomains() {
    static const CandidateDomains domains = computeCandidateDomains();
    return domains;
}

bool findByName(const std::wstring& domain, const std::wstring& name, VSID& account) {
    VSID found;
    if (!withCurrent(
            [&](OfflineSidCache& cache) { return cache.findByName(domain, name, false, found); })) {
        return false;
    }
    found.setAccount(domain, name, found.type());
    account = std::move(found);
    return true;
}

bool findBySid(const VSID& sid, std::wstring& domain, std::wstring& name) {
    std::wstring foundDomain;
    std::wstring foundName;
    if (!withCurrent([&](OfflineSidCache& cache) {
            return cache.findBySid(sid, false, foundDomain, foundName);
        })) {
        return false;
    }
    domain = std::move(foundDomain);
    name = std::move(foundName);
    return true;
}

void record(const VSID& account, const std::wstring& domain, const std::wstring& name) {
    withCurrent([&](OfflineSidCache& cache) {
        cache.add(account, domain, name);
        return true;
    });
}

}  // namespace

OfflineSidCache::~OfflineSidCache() = default;

std::wstring OfflineSidCacheImpl::_key(const std::wstring& domain, const std::wstring& name) {
    // The qualified name is lower-cased as a whole, so EXAMPLE\User1 and example\user1 meet.
    return Platform::toLower(qualifiedName(domain, name));
}

bool OfflineSidCacheImpl::findByName(const std::wstring& domain, const std::wstring& name,
                                     bool /*flag*/, VSID& account) {
    auto found = byName_.find(_key(domain, name));
    if (found == byName_.end()) {
        return false;
    }
    account = found->second;
    return true;
}

bool OfflineSidCacheImpl::findBySid(const VSID& sid, bool /*value*/, std::wstring& domain,
                                    std::wstring& name) {
    auto found = bySid_.find(sid);
    if (found == bySid_.end()) {
        return false;
    }
    getFromQualifiedName(found->second.qualifiedName, domain, name);
    return true;
}

void OfflineSidCacheImpl::add(const VSID& account, const std::wstring& domain,
                              const std::wstring& name) {
    VSID copy = account;
    copy.setAccount(domain, name, account.type());
    byName_.insert_or_assign(_key(domain, name), copy);
    bySid_.insert_or_assign(copy, SidRecord{copy, qualifiedName(domain, name)});
}

void OfflineSidCacheImpl::remove(const std::wstring& domain, const std::wstring& name) {
    VSID account;
    if (findByName(domain, name, false, account)) {
        bySid_.erase(account);
    }
    byName_.erase(_key(domain, name));
}

std::wstring qualifiedName(const std::wstring& domain, const std::wstring& name) {
    return domain.empty() ? name : domain + L"\\" + name;
}

void getFromQualifiedName(const std::wstring& qualifiedName, std::wstring& domain,
                          std::wstring& name) {
    // Separators split as wcstok splits: runs of them count once, and none at either end
    // makes a part.
    std::vector<std::wstring> parts;
    std::wstring part;
    for (wchar_t c : qualifiedName) {
        if (c == L'\\' || c == L'/') {
            if (!part.empty()) {
                parts.push_back(std::move(part));
                part.clear();
            }
        } else {
            part.push_back(c);
        }
    }
    if (!part.empty()) {
        parts.push_back(std::move(part));
    }
    switch (parts.size()) {
        case 0:
            domain.clear();
            name.clear();
            return;
        case 1:
            domain.clear();
            name = parts[0];
            return;
        case 2:
            domain = parts[0];
            name = parts[1];
            return;
        default:
            throw vexception(L"Invalid qualified name: " + qualifiedName,
                             VSITE("SidCache::getFromQualifiedName"));
    }
}

void install(std::unique_ptr<OfflineSidCache> cache) {
    Slot& s = slot();
    std::lock_guard guard(s.lock);
    s.stack.push_back(std::move(s.current));
    s.current = std::move(cache);
}

void restore() {
    Slot& s = slot();
    std::lock_guard guard(s.lock);
    if (s.stack.empty()) {
        s.current.reset();
        return;
    }
    s.current = std::move(s.stack.back());
    s.stack.pop_back();
}

bool hasCurrent() {
    Slot& s = slot();
    std::lock_guard guard(s.lock);
    return s.current != nullptr;
}

bool lookupAccountName(const std::wstring& domain, const std::wstring& name, VSID& account,
                       bool raiseOnFailure) {
    const CandidateDomains& known = candidateDomains();
    const std::wstring candidates[] = {domain.empty() ? known.accountDomain : domain, known.builtin,
                                       known.system};

    for (const std::wstring& candidate : candidates) {
        if (findByName(candidate, name, account)) {
            return true;
        }
    }

    std::uint32_t error = WinError::NoneMapped;
    for (const std::wstring& candidate : candidates) {
        Platform::AccountLookup query;
        if (!Platform::lookupAccountName(std::wstring(), qualifiedName(candidate, name), query)) {
            // A refusal of the first call passes the name on to the next candidate; one of the
            // second, with buffers of the sizes asked for, ends the search.
            if (!query.askedAgain) {
                continue;
            }
            error = Platform::getLastError();
            if (findByName(candidate, name, account)) {
                return true;
            }
            break;
        }
        VSID answer(query.sid.data());
        answer.setAccount(query.domain, name, query.use);
        record(answer, query.domain, name);
        account = std::move(answer);
        return true;
    }

    if (raiseOnFailure) {
        RunTime::throwError(L"Unable to lookup SID for name %s", error, name);
    }
    return false;
}

void lookupAccountSid(const std::wstring& systemName, const VSID& sid, std::wstring& domain,
                      std::wstring& name, std::uint32_t* type) {
    if (!sid.hasSid()) {
        RunTime::throwError(L"Unable to lookup name for SID", WinError::InvalidSid);
    }
    if (findBySid(sid, domain, name)) {
        return;
    }

    Platform::AccountLookup answer;
    bool ok = Platform::lookupAccountSid(systemName, sid.sid(), answer);
    std::uint32_t error = ok ? 0 : Platform::getLastError();
    if (ok) {
        domain = answer.domain;
        name = answer.name;
        if (type != nullptr) {
            *type = answer.use;
        }
        VSID account(sid.sid());
        account.setAccount(domain, name, answer.use);
        record(account, domain, name);
        return;
    }

    if (findBySid(sid, domain, name)) {
        return;
    }
    RunTime::throwError(L"Unable to lookup name for SID", error);
}

}  // namespace SidCache
