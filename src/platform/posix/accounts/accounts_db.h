// The accounts of the emulated host: the Windows names of the well-known SIDs, and the local
// users and groups kept in `<host>/accounts`, a text file that a Linux user can read and edit:
//
//   # comment
//   machine WEBHOST                   the machine name, which is also the account domain's name
//   domain S-1-5-21-1-2-3             the account-domain SID; local accounts are it plus a RID
//   user Administrator = 500          a local user
//   group Web Users = 1000            a local group (an alias, as those of BUILTIN are)
//   member Administrators = Administrator
//                                     an account (local, BUILTIN, well-known, DOMAIN\name or a
//                                     SID string) belongs to a local group or BUILTIN alias
//   next-rid 1001                     the RID the next new account gets at least
//
// Names compare case-insensitively. A member line naming an account that no longer exists is
// ignored. RIDs are never handed out twice, as a SAM does not reuse them: a SID left in an ACL
// by a deleted account never names a later one. POSIX only: the seam (platform/security.h)
// and `tavrel-host account` reach the file through here.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/dtyp/sid.h"

namespace Platform::Posix {

// An account as LookupAccountSidW and LookupAccountNameW report it.
struct AccountInfo {
    Dtyp::Sid sid;
    std::wstring domain;  // "NT AUTHORITY", "BUILTIN", the machine name, or empty
    std::wstring name;
    std::uint32_t use = 0;  // SID_NAME_USE (Platform::SidType)
};

// A local user or group of the accounts file.
struct LocalAccount {
    std::wstring name;
    std::uint32_t rid = 0;
    bool group = false;
    std::size_t line = 0;  // where the file defines it (1-based)
};

// A member line as written.
struct Membership {
    std::wstring group;
    std::wstring member;
    std::size_t line = 0;
};

// One version of the accounts file, parsed and checked.
class AccountsDatabase {
public:
    const std::wstring& machineName() const { return machine_; }
    const Dtyp::Sid& domainSid() const { return domain_; }
    const std::vector<LocalAccount>& localAccounts() const { return locals_; }
    const std::vector<Membership>& memberships() const { return memberships_; }
    // The RID a new account gets: above every RID in use and the next-rid line, 1000 at least;
    // none when that would pass the last RID.
    std::optional<std::uint32_t> nextRid() const;
    // The line of the next-rid entry, 0 without one.
    std::size_t nextRidLine() const { return nextRidLine_; }

    // LookupAccountNameW: "DOMAIN\name" within that domain (NT AUTHORITY, BUILTIN, the machine),
    // a bare name among the well-known accounts, then BUILTIN, then the machine's accounts and
    // the two domain names themselves.
    std::optional<AccountInfo> findName(std::wstring_view accountName) const;
    // LookupAccountSidW.
    std::optional<AccountInfo> findSid(const Dtyp::Sid& sid) const;
    // `sids` with every group that one of them belongs to through the member lines, repeated
    // until nothing more is added (a group that holds Authenticated Users applies to every
    // user, say).
    std::vector<Dtyp::Sid> withGroups(std::vector<Dtyp::Sid> sids) const;

    // Parses the file's text. Null with `detail` ("line N: ...") when it does not parse.
    static std::shared_ptr<const AccountsDatabase> parse(std::string_view text,
                                                         std::wstring& detail);

private:
    // One entry of the file ("line N: ..." when it does not parse, else empty).
    std::wstring _parseEntry(const std::wstring& keyword, std::wstring_view rest,
                             std::size_t number, bool& haveDomain);
    // A user or group line: NAME = RID, neither the name nor the RID taken before.
    std::wstring _parseAccount(const std::wstring& keyword, std::wstring_view rest,
                               std::size_t number);
    std::optional<AccountInfo> findLocal(std::wstring_view name) const;
    std::optional<AccountInfo> findDomainName(std::wstring_view name) const;

    std::wstring machine_;
    Dtyp::Sid domain_;
    std::vector<LocalAccount> locals_;
    std::vector<Membership> memberships_;
    std::uint32_t nextRidEntry_ = 0;
    std::size_t nextRidLine_ = 0;
    // The member lines that resolve: (group, member).
    std::vector<std::pair<Dtyp::Sid, Dtyp::Sid>> resolved_;
};

// The accounts of the current host, re-read whenever the file changes (another process may
// have added or deleted an account). Null with a Win32 code in `error` and the reason in
// `detail`: ERROR_INVALID_DATA (13) for a file that does not parse, or the error of reading it.
std::shared_ptr<const AccountsDatabase> loadAccounts(std::uint32_t& error, std::wstring& detail);

// The well-known accounts only, which need no file: null when `sid` is none of them.
std::optional<AccountInfo> findWellKnownSid(const Dtyp::Sid& sid);

// The changes `tavrel-host account` makes. Each returns 0, or a Win32 code with `detail`
// saying what was wrong; the file is changed under an exclusive flock of
// `<host>/accounts.lock` and replaced whole (temporary file, rename), comments and the order
// of lines kept.

// NetUserAdd / NetLocalGroupAdd: a new local user or group with the next free RID (1000 up).
std::uint32_t addLocalAccount(const std::wstring& name, bool group, Dtyp::Sid& sid,
                              std::wstring& detail);
// NetUserDel / NetLocalGroupDel, with the member lines that name the account.
std::uint32_t deleteLocalAccount(const std::wstring& name, std::wstring& detail);
// NetLocalGroupAddMembers: `member` joins the local group or BUILTIN alias `group`.
std::uint32_t addGroupMember(const std::wstring& group, const std::wstring& member,
                             std::wstring& detail);

}  // namespace Platform::Posix
