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

// Runs `ask` over `first`, its size, a domain buffer of `domainChars` and its size (the order in
// which both lookups take them); when it fails for a short buffer, enlarges both to the sizes it
// reported and runs it once more. A lookup that succeeds sets the account's domain.
template <typename T, typename Ask>
bool askTwice(std::vector<T>& first, std::size_t domainChars, Ask ask, AccountLookup& account) {
    std::vector<wchar_t> domain(domainChars);
    std::uint32_t firstSize = 0;
    std::uint32_t domainSize = 0;
    auto once = [&] {
        firstSize = static_cast<std::uint32_t>(first.size());
        domainSize = static_cast<std::uint32_t>(domain.size());
        return ask(first.data(), &firstSize, domain.data(), &domainSize);
    };
    bool ok = once();
    if (!ok && getLastError() == WinError::InsufficientBuffer) {
        first.resize(std::max<std::size_t>(firstSize, first.size()));
        domain.resize(std::max<std::size_t>(domainSize, domain.size()));
        account.askedAgain = true;
        ok = once();
    }
    if (ok) {
        account.domain = textOf(domain);
    }
    return ok;
}

}  // namespace

bool lookupAccountSid(const std::wstring& systemName, const std::uint8_t* sid,
                      AccountLookup& account) {
    std::vector<wchar_t> name(nameChars);
    auto ask = [&](auto... buffers) {
        return Platform::lookupAccountSid(systemName, sid, buffers..., &account.use);
    };
    if (!askTwice(name, nameChars, ask, account)) {
        return false;
    }
    account.name = textOf(name);
    return true;
}

bool lookupAccountName(const std::wstring& systemName, const std::wstring& accountName,
                       AccountLookup& account) {
    std::vector<std::uint8_t> sid(sidBytes);
    auto ask = [&](auto... buffers) {
        return Platform::lookupAccountName(systemName, accountName, buffers..., &account.use);
    };
    if (!askTwice(sid, domainChars, ask, account)) {
        return false;
    }
    account.sid = std::move(sid);
    return true;
}

}  // namespace Platform
