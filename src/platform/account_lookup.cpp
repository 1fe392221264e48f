#include "platform/account_lookup.h"

#include <algorithm>
#include <cwchar>

#include "platform/security.h"
#include "platform/system.h"
#include "platform/types.h"

namespace Platform {
namespace {

// The first guess: SECURITY_MAX_SID_SIZE bytes, and names that fit most accounts.
constexpr std::size_t sidBytes = 68;
constexpr std::size_t domainChars = 256;
constexpr std::size_t nameChars = 32;

std::wstring textOf(const std::vector<wchar_t>& buffer) {
    return std::wstring(buffer.data(), wcsnlen(buffer.data(), buffer.size()));
}

// Runs `ask`; when it fails for a short buffer, lets `grow` enlarge the buffers to the sizes it
// reported and runs it once more.
template <typename Ask, typename Grow>
bool askTwice(Ask ask, Grow grow, AccountLookup& account) {
    if (ask()) {
        return true;
    }
    if (getLastError() != WinError::InsufficientBuffer) {
        return false;
    }
    grow();
    account.askedAgain = true;
    return ask();
}

}  // namespace

bool lookupAccountSid(const std::wstring& systemName, const std::uint8_t* sid,
                      AccountLookup& account) {
    std::vector<wchar_t> name(nameChars);
    std::vector<wchar_t> domain(nameChars);
    std::uint32_t nameSize = 0;
    std::uint32_t domainSize = 0;
    bool ok = askTwice(
        [&] {
            nameSize = static_cast<std::uint32_t>(name.size());
            domainSize = static_cast<std::uint32_t>(domain.size());
            return Platform::lookupAccountSid(systemName, sid, name.data(), &nameSize,
                                              domain.data(), &domainSize, &account.use);
        },
        [&] {
            name.resize(std::max<std::size_t>(nameSize, name.size()));
            domain.resize(std::max<std::size_t>(domainSize, domain.size()));
        },
        account);
    if (ok) {
        account.name = textOf(name);
        account.domain = textOf(domain);
    }
    return ok;
}

bool lookupAccountName(const std::wstring& systemName, const std::wstring& accountName,
                       AccountLookup& account) {
    std::vector<std::uint8_t> sid(sidBytes);
    std::vector<wchar_t> domain(domainChars);
    std::uint32_t sidSize = 0;
    std::uint32_t domainSize = 0;
    bool ok = askTwice(
        [&] {
            sidSize = static_cast<std::uint32_t>(sid.size());
            domainSize = static_cast<std::uint32_t>(domain.size());
            return Platform::lookupAccountName(systemName, accountName, sid.data(), &sidSize,
                                               domain.data(), &domainSize, &account.use);
        },
        [&] {
            sid.resize(std::max<std::size_t>(sidSize, sid.size()));
            domain.resize(std::max<std::size_t>(domainSize, domain.size()));
        },
        account);
    if (ok) {
        account.sid = std::move(sid);
        account.domain = textOf(domain);
    }
    return ok;
}

}  // namespace Platform
