// The two-call form of the account lookups: the call with buffers of a first guess, and when
// they were short, once more with buffers of the sizes the first call reported.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Platform {

// What one lookup of an account answered.
struct AccountLookup {
    std::wstring domain;
    std::wstring name;              // lookupAccountSid only
    std::vector<std::uint8_t> sid;  // lookupAccountName only
    std::uint32_t use = 0;          // the SidType of the account
    // The first buffers were short and the lookup asked a second time: a refusal then is of an
    // account that exists.
    bool askedAgain = false;
};

// LookupAccountSidW. False with the error of the last call as the thread's last error.
bool lookupAccountSid(const std::wstring& systemName, const std::uint8_t* sid,
                      AccountLookup& account);
// LookupAccountNameW, the same way.
bool lookupAccountName(const std::wstring& systemName, const std::wstring& accountName,
                       AccountLookup& account);

}  // namespace Platform
