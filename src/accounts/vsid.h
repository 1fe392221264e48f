// VSID: a security identifier together with the account name, domain and SID_NAME_USE that
// belong to it. The names are looked up lazily, through the process-wide SID cache
// (accounts/sid_cache.h), the first time they are asked for.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/dtyp/sid.h"
#include "platform/security.h"

// The trustees that templates may name without a SID (the "Account" names of AccounType 0).
// Each builds its VSID with VSID::wellKnown; the name table itself belongs to the entry model.
enum class WellKnownAccount {
    Null,                // S-1-0-0
    Everyone,            // S-1-1-0
    Local,               // S-1-2-0
    CreatorOwner,        // S-1-3-0
    CreatorGroup,        // S-1-3-1
    CreatorOwnerServer,  // S-1-3-2
    CreatorGroupServer,  // S-1-3-3
    Dialup,              // S-1-5-1
    Network,             // S-1-5-2
    Batch,               // S-1-5-3
    Interactive,         // S-1-5-4
    Service,             // S-1-5-6
    AnonymousLogon,      // S-1-5-7
    Proxy,               // S-1-5-8
    ServerLogon,         // S-1-5-9
    Self,                // S-1-5-10
    AuthenticatedUser,   // S-1-5-11
    RestrictedCode,      // S-1-5-12
    TerminalServer,      // S-1-5-13
    ThisOrganization,    // S-1-5-15
    System,              // S-1-5-18
    LocalService,        // S-1-5-19
    NetworkService,      // S-1-5-20
    Administrators,      // S-1-5-32-544
    Users,               // S-1-5-32-545
    Guests,              // S-1-5-32-546
    PowerUsers,          // S-1-5-32-547
    AccountOps,          // S-1-5-32-548
    SystemOps,           // S-1-5-32-549
    PrintOps,            // S-1-5-32-550
    BackupOps,           // S-1-5-32-551
    Replicator,          // S-1-5-32-552
    RasServers,          // S-1-5-32-553
    PreW2kCompAccess,    // S-1-5-32-554
    RemoteDesktopUsers,  // S-1-5-32-555
    Administrator,       // account domain + 500
    Guest,               // account domain + 501
};

class VSID {
public:
    // No SID: names and comparisons of such a value fail.
    VSID() = default;
    // A copy of the SID at `sid` (none when null). Raises "Unable to copy sid" for an invalid
    // one.
    explicit VSID(const std::uint8_t* sid);
    explicit VSID(const Platform::Dtyp::Sid& sid);
    // AllocateAndInitializeSid: 1 to 8 sub-authorities under a 48-bit authority.
    VSID(std::uint64_t authority, std::initializer_list<std::uint32_t> subAuthorities);

    VSID(const VSID& other) = default;
    VSID& operator=(const VSID& other) = default;
    VSID(VSID&& other) noexcept = default;
    VSID& operator=(VSID&& other) noexcept = default;

    // ConvertStringSidToSidW: "S-1-..." or an SDDL alias ("BA").
    static VSID fromString(const std::wstring& text);
    // The account domain SID of `server` (empty: this machine, NetUserModalsGet level 2) plus
    // `rid`; no name yet.
    static VSID getWellKnownUserSIDFromRID(const std::wstring& server, std::uint32_t rid);
    // The account of one row of the well-known table.
    static VSID wellKnown(WellKnownAccount account);

    // Name to SID through the SID cache (SidCache::lookupAccountName): the account with its SID,
    // the given name, the domain that answered and the account type. Without `raiseOnFailure` a
    // failure returns false and leaves `account` alone; with it, the failure is raised through
    // RunTime::throwError ("Unable to lookup SID for name %s"), 1332 as
    // RunTime::NoneMappedException.
    static bool lookupName(const std::wstring& domain, const std::wstring& name, VSID& account,
                           bool raiseOnFailure);
    // The same, always raising.
    static VSID fromName(const std::wstring& domain, const std::wstring& name);

    // Plain SIDs for security descriptors.
    static std::vector<std::uint8_t> admins();    // S-1-5-32-544
    static std::vector<std::uint8_t> everyone();  // S-1-1-0
    static std::vector<std::uint8_t> system();    // S-1-5-18

    bool hasSid() const { return !sid_.empty(); }
    // The SID's bytes (PSID), null when there is none.
    const std::uint8_t* sid() const { return sid_.empty() ? nullptr : sid_.data(); }
    std::uint32_t sidLength() const { return static_cast<std::uint32_t>(sid_.size()); }
    const std::vector<std::uint8_t>& bytes() const { return sid_; }
    // The parsed SID; raises "Invalid sid" when there is none.
    Platform::Dtyp::Sid dtypSid() const;

    // The SID assignment of a cache record: replaces the SID (none for null), keeps the names.
    // Failures go through RunTime::throwError ("Invalid sid", "Unable to copy sid").
    void setSid(const std::uint8_t* sid);
    // Stores names and type as a lookup reported them.
    void setAccount(const std::wstring& domain, const std::wstring& name, std::uint32_t type);

    // ConvertSidToStringSidW: "S-1-...".
    std::wstring toString() const;

    // The account name and domain; while the domain is unknown, the SID-to-name lookup on
    // this machine runs first and fills name, domain and type.
    const std::wstring& name() const;
    const std::wstring& domain() const;
    // SID_NAME_USE of the last lookup; Unknown (8) until one ran.
    std::uint32_t type() const { return type_; }
    // The stored names, without a lookup.
    const std::wstring& storedName() const { return name_; }
    const std::wstring& storedDomain() const { return domain_; }

    // DOMAIN\name, or the string form when the system cannot map the SID (1332).
    std::wstring displayName() const;

    // EqualSid, and the order of sorted containers: shorter SIDs first, then byte by byte.
    // Both raise "Invalid sid(s)" when either side has no SID.
    int compare(const VSID& other) const;
    friend bool operator==(const VSID& a, const VSID& b) { return a.compare(b) == 0; }
    friend bool operator<(const VSID& a, const VSID& b) { return a.compare(b) < 0; }

private:
    void _lookupNames() const;

    std::vector<std::uint8_t> sid_;
    mutable std::wstring name_;
    mutable std::wstring domain_;
    mutable std::uint32_t type_ = Platform::SidType::Unknown;
};
