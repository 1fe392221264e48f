// The process-wide SID cache: every account the run resolved, by qualified name and by SID.
// Lookups ask it first, then the system (LookupAccountNameW / LookupAccountSidW), and once more
// when the system cannot answer, so that an account deleted during the run still resolves.
// The current cache sits in one process-wide slot with a stack of earlier ones, all guarded
// by one process-wide lock that is never held while the system is asked.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "accounts/vsid.h"

namespace SidCache {

class OfflineSidCache {
public:
    virtual ~OfflineSidCache();
    // The account stored under the qualified name (letter case ignored) into `account`;
    // false leaves `account` alone. `flag` is ignored.
    virtual bool findByName(const std::wstring& domain, const std::wstring& name, bool flag,
                            VSID& account) = 0;
    // The domain and name under which the SID was last added. `value` is ignored.
    virtual bool findBySid(const VSID& sid, bool value, std::wstring& domain,
                           std::wstring& name) = 0;
    // Records `account` under (domain, name) in both directions, replacing what was there.
    virtual void add(const VSID& account, const std::wstring& domain, const std::wstring& name) = 0;
    // Forgets the account of (domain, name) in both directions.
    virtual void remove(const std::wstring& domain, const std::wstring& name) = 0;
};

class OfflineSidCacheImpl : public OfflineSidCache {
public:
    bool findByName(const std::wstring& domain, const std::wstring& name, bool flag,
                    VSID& account) override;
    bool findBySid(const VSID& sid, bool value, std::wstring& domain, std::wstring& name) override;
    void add(const VSID& account, const std::wstring& domain, const std::wstring& name) override;
    void remove(const std::wstring& domain, const std::wstring& name) override;

private:
    struct SidRecord {
        VSID account;
        std::wstring qualifiedName;  // in the letter case of the last add
    };

    static std::wstring _key(const std::wstring& domain, const std::wstring& name);

    std::map<std::wstring, VSID> byName_;
    std::map<VSID, SidRecord> bySid_;
};

// "DOMAIN\name", or the name alone for an empty domain.
std::wstring qualifiedName(const std::wstring& domain, const std::wstring& name);
// Splits at every '\' and '/': no part gives two empty strings, one part a name, two parts
// domain and name; more raise "Invalid qualified name: <text>".
void getFromQualifiedName(const std::wstring& qualifiedName, std::wstring& domain,
                          std::wstring& name);

// Makes `cache` current; the one that was current (if any) waits on the stack.
void install(std::unique_ptr<OfflineSidCache> cache);
// Destroys the current cache and brings back the last one installed before it (none when the
// stack is empty).
void restore();
// Whether a cache is current.
bool hasCurrent();

// Name to SID: the cache under each candidate domain (the given one or this machine's account
// domain, then the domains of BUILTIN\Administrators and of LocalSystem), then the system
// candidate by candidate. On success `account` holds the SID, the domain that answered, the
// given name and the type. See VSID::lookupName for failures.
bool lookupAccountName(const std::wstring& domain, const std::wstring& name, VSID& account,
                       bool raiseOnFailure);
// SID to name on `systemName` (empty: this machine): the cache, the system, the cache again.
// `type` receives the account type when the system answered. Raises "Unable to lookup name
// for SID" through RunTime::throwError (1332 as RunTime::NoneMappedException).
void lookupAccountSid(const std::wstring& systemName, const VSID& sid, std::wstring& domain,
                      std::wstring& name, std::uint32_t* type = nullptr);

}  // namespace SidCache
