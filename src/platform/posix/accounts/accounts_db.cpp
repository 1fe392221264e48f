#include "platform/posix/accounts/accounts_db.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <map>
#include <mutex>
#include <stdexcept>

#include "platform/posix/host/errors.h"
#include "platform/posix/host/host.h"
#include "platform/posix/host/host_file.h"
#include "platform/posix/host/unique_fd.h"
#include "platform/security.h"
#include "platform/text.h"
#include "platform/types.h"

namespace Platform::Posix {
namespace {

namespace fs = std::filesystem;
using Dtyp::Sid;

constexpr std::uint32_t ErrorNoSuchUser = 1317;
constexpr std::uint32_t ErrorInvalidAccountName = 1315;
constexpr std::uint32_t ErrorUserExists = 1316;
constexpr std::uint32_t ErrorSpecialAccount = 1371;
constexpr std::uint32_t ErrorNoSuchAlias = 1376;
constexpr std::uint32_t ErrorMemberInAlias = 1378;
constexpr std::uint32_t ErrorInvalidMember = 1388;

constexpr std::uint32_t FirstUserRid = 1000;
const wchar_t* const NtAuthority = L"NT AUTHORITY";
const wchar_t* const Builtin = L"BUILTIN";

// The accounts Windows knows on every machine, with the domain, name and SID_NAME_USE that
// LookupAccountSidW reports for them (the English names of a Windows 10 machine). Bare names
// are looked up here first, as LookupAccountNameW does.
const std::vector<AccountInfo>& wellKnownAccounts() {
    using namespace SidType;
    static const std::vector<AccountInfo> table = [] {
        std::vector<AccountInfo> t = {
            {Sid(0, {0}), L"", L"NULL SID", WellKnownGroup},
            {Sid(1, {0}), L"", L"Everyone", WellKnownGroup},
            {Sid(2, {0}), L"", L"LOCAL", WellKnownGroup},
            {Sid(2, {1}), L"", L"CONSOLE LOGON", WellKnownGroup},
            {Sid(3, {0}), L"", L"CREATOR OWNER", WellKnownGroup},
            {Sid(3, {1}), L"", L"CREATOR GROUP", WellKnownGroup},
            {Sid(3, {2}), L"", L"CREATOR OWNER SERVER", WellKnownGroup},
            {Sid(3, {3}), L"", L"CREATOR GROUP SERVER", WellKnownGroup},
            {Sid(3, {4}), L"", L"OWNER RIGHTS", WellKnownGroup},
            {Sid(5, {1}), NtAuthority, L"DIALUP", WellKnownGroup},
            {Sid(5, {2}), NtAuthority, L"NETWORK", WellKnownGroup},
            {Sid(5, {3}), NtAuthority, L"BATCH", WellKnownGroup},
            {Sid(5, {4}), NtAuthority, L"INTERACTIVE", WellKnownGroup},
            {Sid(5, {6}), NtAuthority, L"SERVICE", WellKnownGroup},
            {Sid(5, {7}), NtAuthority, L"ANONYMOUS LOGON", WellKnownGroup},
            {Sid(5, {8}), NtAuthority, L"PROXY", WellKnownGroup},
            {Sid(5, {9}), NtAuthority, L"ENTERPRISE DOMAIN CONTROLLERS", WellKnownGroup},
            {Sid(5, {10}), NtAuthority, L"SELF", WellKnownGroup},
            {Sid(5, {11}), NtAuthority, L"Authenticated Users", WellKnownGroup},
            {Sid(5, {12}), NtAuthority, L"RESTRICTED", WellKnownGroup},
            {Sid(5, {13}), NtAuthority, L"TERMINAL SERVER USER", WellKnownGroup},
            {Sid(5, {14}), NtAuthority, L"REMOTE INTERACTIVE LOGON", WellKnownGroup},
            {Sid(5, {15}), NtAuthority, L"This Organization", WellKnownGroup},
            {Sid(5, {17}), NtAuthority, L"IUSR", WellKnownGroup},
            {Sid(5, {18}), NtAuthority, L"SYSTEM", WellKnownGroup},
            {Sid(5, {19}), NtAuthority, L"LOCAL SERVICE", WellKnownGroup},
            {Sid(5, {20}), NtAuthority, L"NETWORK SERVICE", WellKnownGroup},
            {Sid(5, {113}), NtAuthority, L"Local account", WellKnownGroup},
            {Sid(5, {114}), NtAuthority, L"Local account and member of Administrators group",
             WellKnownGroup},
            {Sid(5, {80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464}), L"NT SERVICE",
             L"TrustedInstaller", WellKnownGroup},
            {Sid(15, {2, 1}), L"APPLICATION PACKAGE AUTHORITY", L"ALL APPLICATION PACKAGES",
             WellKnownGroup},
            {Sid(15, {2, 2}), L"APPLICATION PACKAGE AUTHORITY",
             L"ALL RESTRICTED APPLICATION PACKAGES", WellKnownGroup},
            {Sid(16, {4096}), L"Mandatory Label", L"Low Mandatory Level", Label},
            {Sid(16, {8192}), L"Mandatory Label", L"Medium Mandatory Level", Label},
            {Sid(16, {12288}), L"Mandatory Label", L"High Mandatory Level", Label},
            {Sid(16, {16384}), L"Mandatory Label", L"System Mandatory Level", Label},
        };
        // The BUILTIN aliases (S-1-5-32-RID).
        const std::pair<std::uint32_t, const wchar_t*> aliases[] = {
            {544, L"Administrators"},
            {545, L"Users"},
            {546, L"Guests"},
            {547, L"Power Users"},
            {548, L"Account Operators"},
            {549, L"Server Operators"},
            {550, L"Print Operators"},
            {551, L"Backup Operators"},
            {552, L"Replicator"},
            {554, L"Pre-Windows 2000 Compatible Access"},
            {555, L"Remote Desktop Users"},
            {556, L"Network Configuration Operators"},
            {558, L"Performance Monitor Users"},
            {559, L"Performance Log Users"},
            {562, L"Distributed COM Users"},
            {568, L"IIS_IUSRS"},
            {569, L"Cryptographic Operators"},
            {573, L"Event Log Readers"},
            {578, L"Hyper-V Administrators"},
            {579, L"Access Control Assistance Operators"},
            {580, L"Remote Management Users"},
        };
        for (const auto& [rid, name] : aliases) {
            t.push_back({Sid(5, {32, rid}), Builtin, name, Alias});
        }
        return t;
    }();
    return table;
}

const Sid& builtinDomain() {
    static const Sid sid(5, {32});
    return sid;
}

std::wstring_view trim(std::wstring_view text) {
    std::size_t start = text.find_first_not_of(L" \t\r");
    if (start == std::wstring_view::npos) {
        return {};
    }
    std::size_t end = text.find_last_not_of(L" \t\r");
    return text.substr(start, end - start + 1);
}

std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        lines.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string joinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) {
        text += line;
        text += '\n';
    }
    return text;
}

bool parseNumber(std::wstring_view text, std::uint32_t& value) {
    if (text.empty() || text.size() > 10) {
        return false;
    }
    std::uint64_t n = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') {
            return false;
        }
        n = n * 10 + static_cast<std::uint64_t>(c - L'0');
    }
    if (n > 0xFFFFFFFFu) {
        return false;
    }
    value = static_cast<std::uint32_t>(n);
    return true;
}

// "NAME = VALUE"; also "NAME VALUE" (the value the last word), the older form.
bool splitAssignment(std::wstring_view text, std::wstring& name, std::wstring& value) {
    std::size_t equals = text.find(L'=');
    if (equals != std::wstring_view::npos) {
        name = trim(text.substr(0, equals));
        value = trim(text.substr(equals + 1));
    } else {
        std::size_t space = text.find_last_of(L" \t");
        if (space == std::wstring_view::npos) {
            return false;
        }
        name = trim(text.substr(0, space));
        value = trim(text.substr(space + 1));
    }
    return !name.empty() && !value.empty();
}

// Local account names as NetUserAdd accepts them: no characters of "\/[]:;|=,+*?<>, no
// control characters, not only dots and spaces, no space at either end; 20 characters for a
// user (the SAM's limit for logon names), 256 for a group.
bool isValidAccountName(const std::wstring& name, bool group, std::wstring& why) {
    std::size_t limit = group ? 256 : 20;
    if (name.empty() || name.size() > limit) {
        why = L"a " + std::wstring(group ? L"group" : L"user") + L" name has 1 to " +
              std::to_wstring(limit) + L" characters";
        return false;
    }
    for (wchar_t c : name) {
        if (c < 0x20 || std::wstring_view(L"\"\\/[]:;|=,+*?<>").find(c) != std::wstring::npos) {
            why = L"an account name cannot contain any of \"\\/[]:;|=,+*?<> or control characters";
            return false;
        }
    }
    if (name.find_first_not_of(L". ") == std::wstring::npos || name.front() == L' ' ||
        name.back() == L' ') {
        why = L"an account name cannot consist of dots and spaces or begin or end with a space";
        return false;
    }
    return true;
}

std::wstring lineText(std::size_t line, const std::wstring& what) {
    return L"line " + std::to_wstring(line) + L": " + what;
}

// How an account is written into a member line: local accounts and BUILTIN aliases by their
// name, the others qualified so that the line cannot be misread later.
std::wstring memberName(const AccountInfo& account, const std::wstring& machine) {
    if (account.domain.empty() || equalsNoCase(account.domain, machine) ||
        equalsNoCase(account.domain, Builtin)) {
        return account.name;
    }
    return account.domain + L"\\" + account.name;
}

std::optional<AccountInfo> wellKnownAccountByName(std::wstring_view name) {
    for (const auto& account : wellKnownAccounts()) {
        if (equalsNoCase(account.name, name)) {
            return account;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<AccountInfo> findWellKnownSid(const Sid& sid) {
    for (const auto& account : wellKnownAccounts()) {
        if (account.sid == sid) {
            return account;
        }
    }
    if (sid == builtinDomain()) {
        return AccountInfo{sid, Builtin, Builtin, SidType::Domain};
    }
    return std::nullopt;
}

std::wstring AccountsDatabase::_parseAccount(const std::wstring& keyword, std::wstring_view rest,
                                             std::size_t number) {
    LocalAccount account;
    std::wstring rid;
    account.group = keyword == L"group";
    account.line = number;
    if (!splitAssignment(rest, account.name, rid) || !parseNumber(rid, account.rid)) {
        return lineText(number, keyword + L" needs NAME = RID");
    }
    for (const auto& other : locals_) {
        if (equalsNoCase(other.name, account.name) || other.rid == account.rid) {
            return lineText(number, L"'" + account.name + L"' (RID " + rid +
                                        L") repeats the account of line " +
                                        std::to_wstring(other.line));
        }
    }
    locals_.push_back(std::move(account));
    return {};
}

std::wstring AccountsDatabase::_parseEntry(const std::wstring& keyword, std::wstring_view rest,
                                           std::size_t number, bool& haveDomain) {
    if (keyword == L"machine") {
        if (rest.empty()) {
            return lineText(number, L"machine needs a name");
        }
        machine_ = rest;
    } else if (keyword == L"domain") {
        auto sid = Sid::parse(rest);
        if (!sid) {
            return lineText(number, L"'" + std::wstring(rest) + L"' is not a SID");
        }
        domain_ = *sid;
        haveDomain = true;
    } else if (keyword == L"user" || keyword == L"group") {
        return _parseAccount(keyword, rest, number);
    } else if (keyword == L"member") {
        Membership membership;
        membership.line = number;
        std::size_t equals = rest.find(L'=');
        if (equals != std::wstring_view::npos) {
            membership.group = trim(rest.substr(0, equals));
            membership.member = trim(rest.substr(equals + 1));
        }
        if (membership.group.empty() || membership.member.empty()) {
            return lineText(number, L"member needs GROUP = ACCOUNT");
        }
        memberships_.push_back(std::move(membership));
    } else if (keyword == L"next-rid") {
        if (!parseNumber(rest, nextRidEntry_)) {
            return lineText(number, L"next-rid needs a number");
        }
        nextRidLine_ = number;
    } else {
        return lineText(number, L"unknown entry '" + keyword +
                                    L"' (expected machine, domain, user, group, member, "
                                    L"next-rid or a # comment)");
    }
    return {};
}

std::shared_ptr<const AccountsDatabase> AccountsDatabase::parse(std::string_view text,
                                                                std::wstring& detail) {
    auto db = std::make_shared<AccountsDatabase>();
    bool haveDomain = false;
    // An editor may have saved the file with a UTF-8 byte-order mark, as the registry file may.
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    std::vector<std::string> lines = splitLines(text);
    for (std::size_t index = 0; index < lines.size(); ++index) {
        std::wstring whole = fromUtf8(lines[index]);
        std::wstring_view line = trim(whole);
        if (line.empty() || line.front() == L'#') {
            continue;
        }
        std::size_t space = line.find_first_of(L" \t");
        std::wstring keyword(line.substr(0, space));
        std::wstring_view rest =
            space == std::wstring_view::npos ? std::wstring_view() : trim(line.substr(space));
        if (std::wstring error = db->_parseEntry(keyword, rest, index + 1, haveDomain);
            !error.empty()) {
            detail = std::move(error);
            return nullptr;
        }
    }
    if (!haveDomain) {
        detail = L"there is no 'domain S-1-5-21-...' line";
        return nullptr;
    }
    if (db->machine_.empty()) {
        detail = L"there is no 'machine NAME' line";
        return nullptr;
    }
    for (const auto& membership : db->memberships_) {
        auto group = db->findName(membership.group);
        auto member = db->findName(membership.member);
        if (group && member && group->use == SidType::Alias) {
            db->resolved_.emplace_back(group->sid, member->sid);
        }
    }
    return db;
}

std::optional<std::uint32_t> AccountsDatabase::nextRid() const {
    // Counted in 64 bits: past the last RID there is none left, not RID 0 again.
    std::uint64_t rid = std::max(FirstUserRid, nextRidEntry_);
    for (const auto& account : locals_) {
        if (account.rid >= rid) {
            rid = std::uint64_t{account.rid} + 1;
        }
    }
    // The last RID is never handed out: the next-rid line after it could not be written.
    if (rid >= std::numeric_limits<std::uint32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(rid);
}

std::optional<AccountInfo> AccountsDatabase::findLocal(std::wstring_view name) const {
    for (const auto& account : locals_) {
        if (equalsNoCase(account.name, name)) {
            auto sid = domain_.withRid(account.rid);
            if (!sid) {
                return std::nullopt;
            }
            return AccountInfo{*sid, machine_, account.name,
                               account.group ? SidType::Alias : SidType::User};
        }
    }
    return std::nullopt;
}

std::optional<AccountInfo> AccountsDatabase::findDomainName(std::wstring_view name) const {
    if (equalsNoCase(name, Builtin)) {
        return AccountInfo{builtinDomain(), Builtin, Builtin, SidType::Domain};
    }
    if (equalsNoCase(name, machine_)) {
        return AccountInfo{domain_, machine_, machine_, SidType::Domain};
    }
    return std::nullopt;
}

std::optional<AccountInfo> AccountsDatabase::findName(std::wstring_view accountName) const {
    std::size_t slash = accountName.find(L'\\');
    if (slash != std::wstring_view::npos) {
        std::wstring_view domain = accountName.substr(0, slash);
        std::wstring_view name = accountName.substr(slash + 1);
        if (name.empty()) {
            return std::nullopt;
        }
        if (equalsNoCase(domain, machine_)) {
            return findLocal(name);
        }
        for (const auto& account : wellKnownAccounts()) {
            if (equalsNoCase(account.domain, domain) && equalsNoCase(account.name, name)) {
                return account;
            }
        }
        return std::nullopt;
    }
    if (auto account = wellKnownAccountByName(accountName)) {
        return account;
    }
    if (auto account = findLocal(accountName)) {
        return account;
    }
    return findDomainName(accountName);
}

std::optional<AccountInfo> AccountsDatabase::findSid(const Sid& sid) const {
    if (auto account = findWellKnownSid(sid)) {
        return account;
    }
    if (sid == domain_) {
        return AccountInfo{domain_, machine_, machine_, SidType::Domain};
    }
    if (domain_.isDomainOf(sid)) {
        for (const auto& account : locals_) {
            if (account.rid == sid.rid()) {
                return AccountInfo{sid, machine_, account.name,
                                   account.group ? SidType::Alias : SidType::User};
            }
        }
    }
    return std::nullopt;
}

std::vector<Sid> AccountsDatabase::withGroups(std::vector<Sid> sids) const {
    bool added = true;
    while (added) {
        added = false;
        for (const auto& [group, member] : resolved_) {
            bool isMember = std::find(sids.begin(), sids.end(), member) != sids.end();
            if (isMember && std::find(sids.begin(), sids.end(), group) == sids.end()) {
                sids.push_back(group);
                added = true;
            }
        }
    }
    return sids;
}

namespace {

// The identity of one version of the accounts file. The editor replaces the file whole, so its
// inode changes with every write; size and time catch an edit made in place.
struct Stamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};

    static Stamp of(const struct stat& st) {
        return Stamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
    }
    bool operator==(const Stamp& o) const {
        return device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec;
    }
};

struct Cache {
    std::mutex lock;
    std::string file;
    Stamp stamp;
    // False while the file was younger than the timestamp granularity when read: an edit in
    // place within the same clock tick would keep size and time, so such a copy is read again.
    bool settled = false;
    std::shared_ptr<const AccountsDatabase> db;
};

Cache& cache() {
    static Cache instance;
    return instance;
}

bool settledAt(const struct stat& st) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec - st.st_mtim.tv_sec > 1;
}

bool accountsFile(fs::path& file, std::uint32_t& error, std::wstring& detail) {
    try {
        file = ensureHost() / "accounts";
        return true;
    } catch (const std::exception& e) {
        error = WinError::PathNotFound;
        detail = fromUtf8(e.what());
        return false;
    }
}

// An existing host never gets a new accounts file by itself: a new one would bring a new
// domain SID, and every local account named in a stored descriptor would become a stranger.
std::wstring missingText(const fs::path& file) {
    return fromUtf8(file.string()) +
           L" is missing: the local accounts of the host and its domain SID are gone; restore "
           L"the file, or run 'tavrel-host init' to write a new one (with a new domain SID, "
           L"which changes the SID of every local account)";
}

bool readText(const fs::path& file, std::string& text, struct stat& st, std::uint32_t& error,
              std::wstring& detail) {
    HostFileFailure failure;
    if (readHostFile(file, text, st, failure)) {
        return true;
    }
    error = failure.error;
    detail = failure.missing ? missingText(file) : fromUtf8(failure.detail);
    return false;
}

std::shared_ptr<const AccountsDatabase> parseFile(const fs::path& file, const std::string& text,
                                                  std::uint32_t& error, std::wstring& detail) {
    auto db = AccountsDatabase::parse(text, detail);
    if (!db) {
        error = WinError::InvalidData;
        detail = fromUtf8(file.string()) + L": " + detail;
    }
    return db;
}

// Runs `change` on the current file under the accounts lock: it gets the parsed file and its
// lines (index = line number - 1) and returns 0 after editing the lines, or an error code.
template <typename Change>
std::uint32_t editAccounts(std::wstring& detail, Change change) {
    std::uint32_t error = 0;
    fs::path file;
    if (!accountsFile(file, error, detail)) {
        return error;
    }
    fs::path lockPath = file.parent_path() / "accounts.lock";
    UniqueFd lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!lock) {
        detail = L"cannot open " + fromUtf8(lockPath.string());
        return winErrorFromErrno(errno);
    }
    while (::flock(lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            detail = L"cannot lock " + fromUtf8(lockPath.string());
            return winErrorFromErrno(errno);
        }
    }
    struct stat st;
    std::string text;
    if (!readText(file, text, st, error, detail)) {
        return error;
    }
    auto db = parseFile(file, text, error, detail);
    if (!db) {
        return error;
    }
    std::vector<std::string> lines = splitLines(text);
    if (std::uint32_t result = change(*db, lines)) {
        return result;
    }
    try {
        replaceFileAtomically(file, joinLines(lines));
    } catch (const std::exception& e) {
        detail = fromUtf8(e.what());
        return WinError::CannotMake;
    }
    std::lock_guard guard(cache().lock);
    cache().db.reset();
    return 0;
}

void eraseLines(std::vector<std::string>& lines, std::vector<std::size_t> numbers) {
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    for (auto it = numbers.rbegin(); it != numbers.rend(); ++it) {
        if (*it >= 1 && *it <= lines.size()) {
            lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(*it - 1));
        }
    }
}

}  // namespace

std::shared_ptr<const AccountsDatabase> loadAccounts(std::uint32_t& error, std::wstring& detail) {
    fs::path file;
    if (!accountsFile(file, error, detail)) {
        return nullptr;
    }
    Cache& c = cache();
    std::lock_guard guard(c.lock);
    struct stat st;
    if (::stat(file.c_str(), &st) != 0) {
        int cause = errno;
        error = winErrorFromErrno(cause);
        detail = cause == ENOENT ? missingText(file) : L"cannot read " + fromUtf8(file.string());
        c.db.reset();
        return nullptr;
    }
    if (c.db && c.file == file.string() && c.stamp == Stamp::of(st) && c.settled) {
        return c.db;
    }
    std::string text;
    auto db =
        readText(file, text, st, error, detail) ? parseFile(file, text, error, detail) : nullptr;
    if (!db) {
        c.db.reset();
        return nullptr;
    }
    c.file = file.string();
    c.stamp = Stamp::of(st);
    c.settled = settledAt(st);
    c.db = db;
    return db;
}

std::uint32_t addLocalAccount(const std::wstring& name, bool group, Sid& sid,
                              std::wstring& detail) {
    std::wstring why;
    if (!isValidAccountName(name, group, why)) {
        detail = L"'" + name + L"' is not a valid name: " + why;
        return ErrorInvalidAccountName;
    }
    return editAccounts(detail, [&](const AccountsDatabase& db, std::vector<std::string>& lines) {
        if (auto existing = db.findName(name)) {
            detail = L"the name '" + name + L"' is taken by " +
                     (existing->domain.empty() ? L"" : existing->domain + L"\\") + existing->name;
            return ErrorUserExists;
        }
        std::optional<std::uint32_t> free = db.nextRid();
        if (!free) {
            detail = L"every RID of the account domain is taken";
            return WinError::DsNoMoreRids;
        }
        std::uint32_t rid = *free;
        auto made = db.domainSid().withRid(rid);
        if (!made) {
            detail = L"the account domain " + db.domainSid().toString() + L" takes no RID";
            return WinError::InvalidSid;
        }
        sid = *made;
        std::string next = "next-rid " + std::to_string(rid + 1);
        if (db.nextRidLine() != 0) {
            lines[db.nextRidLine() - 1] = next;
        } else {
            lines.push_back(next);
        }
        // With the other accounts, so that the file stays easy to read.
        std::size_t after = 0;
        for (const auto& account : db.localAccounts()) {
            after = std::max(after, account.line);
        }
        if (after == 0 || after > lines.size()) {
            after = lines.size();
        }
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(after),
                     (group ? "group " : "user ") + toUtf8(name) + " = " + std::to_string(rid));
        return 0u;
    });
}

std::uint32_t deleteLocalAccount(const std::wstring& name, std::wstring& detail) {
    return editAccounts(detail, [&](const AccountsDatabase& db, std::vector<std::string>& lines) {
        auto account = db.findName(name);
        if (!account) {
            detail = L"there is no account named '" + name + L"'";
            return ErrorNoSuchUser;
        }
        const LocalAccount* local = nullptr;
        if (db.domainSid().isDomainOf(account->sid)) {
            for (const auto& candidate : db.localAccounts()) {
                if (candidate.rid == account->sid.rid()) {
                    local = &candidate;
                }
            }
        }
        if (!local || local->rid < FirstUserRid) {
            detail = L"'" + name + L"' is a built-in account and cannot be deleted";
            return ErrorSpecialAccount;
        }
        std::vector<std::size_t> doomed{local->line};
        for (const auto& membership : db.memberships()) {
            auto group = db.findName(membership.group);
            auto member = db.findName(membership.member);
            if ((group && group->sid == account->sid) || (member && member->sid == account->sid)) {
                doomed.push_back(membership.line);
            }
        }
        eraseLines(lines, doomed);
        return 0u;
    });
}

std::uint32_t addGroupMember(const std::wstring& group, const std::wstring& member,
                             std::wstring& detail) {
    return editAccounts(detail, [&](const AccountsDatabase& db, std::vector<std::string>& lines) {
        auto alias = db.findName(group);
        if (!alias || alias->use != SidType::Alias) {
            detail = L"'" + group + L"' is not a local group or BUILTIN alias";
            return ErrorNoSuchAlias;
        }
        auto account = db.findName(member);
        if (!account) {
            detail = L"there is no account named '" + member + L"'";
            return WinError::NoneMapped;
        }
        // As in a SAM: a local group holds users and well-known groups, not other local groups.
        if (account->use == SidType::Domain || account->use == SidType::Alias ||
            account->use == SidType::Label) {
            detail = L"'" + member + L"' cannot be a member of a local group";
            return ErrorInvalidMember;
        }
        for (const auto& membership : db.memberships()) {
            auto g = db.findName(membership.group);
            auto m = db.findName(membership.member);
            if (g && m && g->sid == alias->sid && m->sid == account->sid) {
                detail = L"'" + member + L"' is a member of '" + group + L"' already";
                return ErrorMemberInAlias;
            }
        }
        lines.push_back("member " + toUtf8(memberName(*alias, db.machineName())) + " = " +
                        toUtf8(memberName(*account, db.machineName())));
        return 0u;
    });
}

}  // namespace Platform::Posix
